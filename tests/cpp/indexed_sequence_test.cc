#include "codec/indexed_sequence.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "codec/plain_merge_sequence.h"
#include "lockstep.h"

namespace selvane::codec {
namespace {

using lockstep::describe;
using lockstep::Lockstep;
using lockstep::random_ids;
using lockstep::real_text_ids;
using lockstep::run_learning;
using lockstep::run_mixed_round;
using lockstep::run_random;
using lockstep::StepMix;
using lockstep::to_vector;
using model::pair_key;

TEST(IndexedSequence, MergedTokensKeepTheirNeighboursByHand) {
  // a a a a a with (a, a), then again on the merged ids: tokens grow on
  // both sides of a swallowed slot, and their neighbours are found across
  // the dead slots.
  IndexedSequence run({7, 7, 7, 7, 7, 7, 7, 7, 5});
  run.apply(pair_key(7, 7), 9);
  EXPECT_EQ(to_vector(run.ids()), (std::vector<TokenId>{9, 9, 9, 9, 5}));
  run.apply(pair_key(9, 9), 10);
  EXPECT_EQ(to_vector(run.ids()), (std::vector<TokenId>{10, 10, 5}));
  EXPECT_EQ(describe(run.top()), "(10, 5) x1");
  run.apply(pair_key(10, 5), 11);
  run.apply(pair_key(10, 11), 12);
  EXPECT_EQ(to_vector(run.ids()), (std::vector<TokenId>{12}));
  EXPECT_EQ(run.size(), 1u);
  EXPECT_FALSE(run.top().has_value());

  // The merged id equal to the pair's first: the window it re-forms in
  // place waits for the next call, as the plain single pass leaves it.
  IndexedSequence same({1, 2, 2, 2});
  same.apply(pair_key(1, 2), 1);
  EXPECT_EQ(to_vector(same.ids()), (std::vector<TokenId>{1, 2, 2}));
  EXPECT_EQ(describe(same.top()), "(1, 2) x1");
  same.apply(pair_key(1, 2), 1);
  EXPECT_EQ(to_vector(same.take_ids()), (std::vector<TokenId>{1, 2}));

  // A pair that never occurred, and one that is gone.
  IndexedSequence gone({3, 4, 3, 4});
  gone.apply(pair_key(4, 4), 8);
  gone.apply(pair_key(3, 4), 5);
  gone.apply(pair_key(3, 4), 6);
  EXPECT_EQ(to_vector(gone.ids()), (std::vector<TokenId>{5, 5}));
}

TEST(IndexedSequence, EmptyAndSingleIdSequences) {
  for (const std::vector<TokenId>& ids :
       {std::vector<TokenId>{}, std::vector<TokenId>{5}}) {
    IndexedSequence sequence(ids);
    EXPECT_FALSE(sequence.top().has_value());
    sequence.apply(pair_key(5, 5), 9);
    EXPECT_EQ(to_vector(sequence.ids()), ids);
    EXPECT_EQ(sequence.take_ids(), ids);
  }
}

TEST(IndexedSequence, RarePairsJoinTheChoiceWhenCountsFallLow) {
  // Every pair but one occurs below the heap's floor: they must still win
  // in smallest-pair order once the frequent one is merged away.
  std::vector<TokenId> ids;
  for (int k = 0; k < 6; ++k) ids.insert(ids.end(), {1, 2});
  ids.insert(ids.end(), {9, 8, 7, 6, 5});
  Lockstep<IndexedSequence> both(ids);
  TokenId fresh = 100;
  while (const auto top = both.check()) {
    if (::testing::Test::HasFailure()) return;
    both.apply(top->pair, fresh++);
  }
  EXPECT_EQ(both.ids().size(), 1u);
}

TEST(IndexedSequenceDifferential, RandomRunsTiesAndCollisions) {
  std::mt19937 rng(41);
  for (int round = 0; round < 400 && !HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    run_mixed_round<IndexedSequence>(round, rng, 400);
  }
}

TEST(IndexedSequenceDifferential, LongTextsAndRealText) {
  std::mt19937 rng(44);
  for (int round = 0; round < 2 && !HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    run_random<IndexedSequence>(random_ids(rng, 10'000, 300), rng,
                                StepMix{100, 50, 100, 400, 30});
  }
  run_learning<IndexedSequence>(real_text_ids(50'000, true));
  run_learning<IndexedSequence>(real_text_ids(20'000, false));
}

TEST(IndexedSequenceDifferential, TakenIdsAfterFewAndManySteps) {
  // Taking the ids moves runs of eight untouched slots as blocks and copies
  // the slots of a block with swallowed ones one by one; lengths around the
  // block's width and merges at either end of a run must give the plain
  // ids.
  std::mt19937 rng(45);
  for (int round = 0; round < 300 && !HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::size_t length =
        round % 10 == 9 ? 3000 + rng() % 3000 : rng() % 40;
    const std::vector<TokenId> ids =
        random_ids(rng, length, round % 2 == 0 ? 3 : 30);
    PlainMergeSequence plain(ids);
    IndexedSequence indexed(ids);
    TokenId fresh = 1000;
    const int steps = static_cast<int>(rng() % 6);
    for (int step = 0; step < steps; ++step) {
      const auto top = plain.top();
      if (!top) break;
      plain.apply(top->pair, fresh);
      indexed.apply(top->pair, fresh++);
    }
    ASSERT_EQ(indexed.take_ids(), to_vector(plain.ids()));
  }
}

}  // namespace
}  // namespace selvane::codec
