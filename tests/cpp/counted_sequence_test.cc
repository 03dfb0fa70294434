#include "codec/counted_sequence.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "lockstep.h"

namespace selvane::codec {
namespace {

using lockstep::describe;
using lockstep::Lockstep;
using lockstep::motif_ids;
using lockstep::random_ids;
using lockstep::real_text_ids;
using lockstep::run_learning;
using lockstep::run_mixed_round;
using lockstep::run_random;
using lockstep::StepMix;
using lockstep::to_vector;
using model::pair_key;

TEST(CountedSequence, RunsAndReformingPairsByHand) {
  // a a a a a with (a, a): both neighbouring windows of each occurrence are
  // (a, a) as well, and only the output's windows may be counted again.
  CountedSequence run({7, 7, 7, 7, 7});
  EXPECT_EQ(describe(run.top()), "(7, 7) x4");
  run.apply(pair_key(7, 7), 9);
  EXPECT_EQ(to_vector(run.ids()), (std::vector<TokenId>{9, 9, 7}));
  EXPECT_EQ(describe(run.top()), "(9, 7) x1");

  // a b a b c: the window (b, a) between two occurrences is destroyed once,
  // and (X, X) and (X, c) are created once each.
  CountedSequence alternating({1, 2, 1, 2, 5});
  alternating.apply(pair_key(1, 2), 3);
  EXPECT_EQ(to_vector(alternating.ids()), (std::vector<TokenId>{3, 3, 5}));
  EXPECT_EQ(describe(alternating.top()), "(3, 3) x1");
  alternating.ban(pair_key(3, 3));
  EXPECT_EQ(describe(alternating.top()), "(3, 5) x1");

  // The merged id equal to the pair's own first id: a a a becomes a a.
  CountedSequence same({4, 4, 4});
  same.apply(pair_key(4, 4), 4);
  EXPECT_EQ(to_vector(same.ids()), (std::vector<TokenId>{4, 4}));
  EXPECT_EQ(describe(same.top()), "(4, 4) x1");

  // Occurrences at both ends, and a pair that is not there at all.
  CountedSequence ends({65535, 0, 8, 65535, 0});
  ends.apply(pair_key(1, 1), 2);
  ends.apply(pair_key(65535, 0), 1);
  EXPECT_EQ(to_vector(ends.ids()), (std::vector<TokenId>{1, 8, 1}));
  EXPECT_EQ(describe(ends.top()), "(1, 8) x1");
  EXPECT_EQ(to_vector(ends.take_ids()), (std::vector<TokenId>{1, 8, 1}));
}

TEST(CountedSequence, BansRepeatedLiftedAndOfAbsentPairs) {
  // A pair banned twice and lifted once is eligible again; a ban of a pair
  // the text lacks excludes nothing else; ties go to the smallest pair,
  // also when the largest ids are involved.
  CountedSequence sequence({65535, 65535, 1, 65535, 65535, 1, 2, 2});
  EXPECT_EQ(describe(sequence.top()), "(65535, 1) x2");
  sequence.ban(pair_key(65535, 1));
  sequence.ban(pair_key(65535, 1));
  EXPECT_EQ(describe(sequence.top()), "(65535, 65535) x2");
  sequence.clear_bans();
  EXPECT_EQ(describe(sequence.top()), "(65535, 1) x2");
  sequence.ban(pair_key(9, 9));
  EXPECT_EQ(describe(sequence.top()), "(65535, 1) x2");
  sequence.ban(pair_key(65535, 65535));
  sequence.ban(pair_key(65535, 1));
  EXPECT_EQ(describe(sequence.top()), "(1, 2) x1");
  sequence.ban(pair_key(1, 2));
  sequence.ban(pair_key(1, 65535));
  sequence.ban(pair_key(2, 2));
  EXPECT_FALSE(sequence.top().has_value());
  sequence.clear_bans();
  sequence.apply(pair_key(65535, 65535), 0);
  EXPECT_EQ(to_vector(sequence.ids()),
            (std::vector<TokenId>{0, 1, 0, 1, 2, 2}));
  EXPECT_EQ(describe(sequence.top()), "(0, 1) x2");
}

TEST(CountedSequence, EmptyAndSingleIdSequences) {
  for (const std::vector<TokenId>& ids :
       {std::vector<TokenId>{}, std::vector<TokenId>{5}}) {
    CountedSequence sequence(ids);
    EXPECT_FALSE(sequence.top().has_value());
    sequence.apply(pair_key(5, 5), 9);
    EXPECT_EQ(to_vector(sequence.ids()), ids);
  }
}

TEST(CountedSequenceDifferential, RandomRunsTiesAndCollisions) {
  std::mt19937 rng(21);
  for (int round = 0; round < 600 && !HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    run_mixed_round<CountedSequence>(round, rng, 200);
  }
}

TEST(CountedSequenceDifferential, OneLongTextWithManyDistinctPairs) {
  // A long text over a large alphabet keeps many pairs tied at small
  // counts, so the heap chooses among many equal entries, most of them
  // stale; bans and lifts drop entries and bring them back.
  std::mt19937 rng(24);
  for (int round = 0; round < 6 && !HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    run_random<CountedSequence>(random_ids(rng, 20'000, 300), rng,
                                StepMix{100, 50, 100, 400, 30});
  }
}

TEST(CountedSequenceDifferential, StorageLeftBehindOrHeldByAnother) {
  // A thread hands one sequence's storage on to its next: whatever an
  // earlier text left there (bans, a built heap, many records, a larger
  // table) must not show in the next, and a sequence that still holds the
  // storage must not share it with one made beside it.
  const auto rounds = [](std::mt19937& rng) {
    for (int round = 0; round < 40 && !::testing::Test::HasFailure(); ++round) {
      SCOPED_TRACE("round " + std::to_string(round));
      Lockstep<CountedSequence> alive(motif_ids(rng, 100 + rng() % 400));
      TokenId fresh = 50000;
      for (int step = 0; step < 12; ++step) {
        const auto top = alive.check();
        if (!top) break;
        if (step % 3 == 2) {
          alive.ban(top->pair);
        } else {
          alive.apply(top->pair, fresh++);
        }
      }
      // Made and gone while `alive` holds its storage, then made again
      // from what the first of them left behind.
      run_random<CountedSequence>(motif_ids(rng, rng() % 300), rng,
                                  StepMix{150, 100, 0, 10000, 60});
      run_random<CountedSequence>(random_ids(rng, rng() % 90, 2), rng,
                                  StepMix{50, 100, 0});
      for (int step = 0; step < 12; ++step) {
        const auto top = alive.check();
        if (!top) break;
        alive.apply(top->pair, fresh++);
      }
    }
  };
  std::mt19937 rng(31);
  rounds(rng);
  std::mt19937 other_rng(32);
  std::thread other([&] { rounds(other_rng); });
  other.join();
}

TEST(CountedSequenceDifferential, LearningOnRealText) {
  const auto code_points = real_text_ids(100'000, true);
  ASSERT_FALSE(code_points.empty());
  run_learning<CountedSequence>(code_points);
  run_learning<CountedSequence>(real_text_ids(20'000, false));
}

}  // namespace
}  // namespace selvane::codec
