#include "codec/merge_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "codec/merge_loop.h"
#include "codec/plain_merge_sequence.h"
#include "lockstep.h"
#include "model/model_file.h"
#include "testing/capture.h"
#include "testing/merge_learning_on_ids.h"
#include "testing/train_chunk.h"
#include "training/id_allocation.h"
#include "training/pretokenize.h"

namespace selvane::codec {
namespace {

using lockstep::describe;
using lockstep::motif_ids;
using lockstep::random_ids;
using lockstep::read_sample;
using lockstep::real_text_ids;
using lockstep::run_learning;
using lockstep::run_random;
using lockstep::StepMix;
using lockstep::to_vector;

using model::pair_first;
using model::pair_key;
using model::pair_second;

// The heap key is an optimisation of the tie-break, so it must order every
// pair of entries exactly as `ranks_before` does: extremes of both fields and
// random ones.
TEST(MergeEngine, HeapRankOrdersLikeTheTieBreak) {
  std::vector<PairCount> entries;
  for (const std::uint32_t count : {0u, 1u, 10u, 0xFFFFFFFFu}) {
    for (const PairKey pair : {0u, 1u, pair_key(1, 0), 0xFFFFFFFFu}) {
      entries.push_back(PairCount{pair, count});
    }
  }
  std::mt19937 rng(11);
  for (int i = 0; i < 200; ++i) {
    // Few distinct counts, so that ties are common.
    entries.push_back(PairCount{static_cast<PairKey>(rng()),
                                static_cast<std::uint32_t>(rng() % 4)});
  }
  for (const PairCount& a : entries) {
    for (const PairCount& b : entries) {
      ASSERT_EQ(heap_rank(a) > heap_rank(b), ranks_before(a, b))
          << a.pair << "/" << a.count << " vs " << b.pair << "/" << b.count;
    }
  }
}

TEST(MergeEngine, EmptyAndSingleIdSequences) {
  for (const std::vector<TokenId>& ids :
       {std::vector<TokenId>{}, std::vector<TokenId>{5}}) {
    MergeEngine engine(ids);
    EXPECT_EQ(engine.size(), ids.size());
    EXPECT_FALSE(engine.top().has_value());
    engine.ban(pair_key(5, 5));
    engine.apply(pair_key(5, 5), 9);
    EXPECT_EQ(to_vector(engine.ids()), ids);
    EXPECT_FALSE(engine.top().has_value());
  }
}

TEST(MergeEngine, RunsAndReformingPairsByHand) {
  // a a a a a with (a, a): the windows on both sides of each occurrence are
  // (a, a) too, and the recount of X X a has (X, X) and (X, a) once each.
  MergeEngine run({7, 7, 7, 7, 7});
  EXPECT_EQ(describe(run.top()), "(7, 7) x4");
  run.apply(pair_key(7, 7), 9);
  EXPECT_EQ(to_vector(run.ids()), (std::vector<TokenId>{9, 9, 7}));
  EXPECT_EQ(describe(run.top()), "(9, 7) x1");
  EXPECT_EQ(run.size(), 3u);

  // a b a b: the window (X, a) is created and destroyed in the same pass.
  MergeEngine alternating({1, 2, 1, 2});
  alternating.apply(pair_key(1, 2), 3);
  EXPECT_EQ(to_vector(alternating.ids()), (std::vector<TokenId>{3, 3}));
  EXPECT_EQ(describe(alternating.top()), "(3, 3) x1");

  // Merged id equal to the pair's own first id: a a a becomes a a, and the
  // pair that was just applied is back with one window.
  MergeEngine same({4, 4, 4});
  same.apply(pair_key(4, 4), 4);
  EXPECT_EQ(to_vector(same.ids()), (std::vector<TokenId>{4, 4}));
  EXPECT_EQ(describe(same.top()), "(4, 4) x1");

  // The largest ids form the largest pair key.
  MergeEngine high({65535, 65535, 65535, 0});
  EXPECT_EQ(describe(high.top()), "(65535, 65535) x2");
  high.apply(pair_key(65535, 65535), 0);
  EXPECT_EQ(to_vector(high.ids()), (std::vector<TokenId>{0, 65535, 0}));
}

TEST(MergeEngine, TopIsStableAndBansHold) {
  MergeEngine engine({1, 2, 1, 2, 3, 1, 2});
  EXPECT_EQ(describe(engine.top()), "(1, 2) x3");
  // Asking again must not consume the winner.
  EXPECT_EQ(describe(engine.top()), "(1, 2) x3");
  engine.ban(pair_key(1, 2));
  // Ties between (2, 1), (2, 3) and (3, 1) go to the smallest pair.
  EXPECT_EQ(describe(engine.top()), "(2, 1) x1");
  // A pair banned before it exists stays banned once a merge creates it.
  engine.ban(pair_key(8, 3));
  engine.ban(pair_key(2, 1));
  engine.apply(pair_key(1, 2), 8);
  EXPECT_EQ(to_vector(engine.ids()), (std::vector<TokenId>{8, 8, 3, 8}));
  EXPECT_EQ(describe(engine.top()), "(3, 8) x1");
  engine.ban(pair_key(3, 8));
  EXPECT_EQ(describe(engine.top()), "(8, 8) x1");
  engine.ban(pair_key(8, 8));
  EXPECT_FALSE(engine.top().has_value());
  // Banned pairs can still be applied.
  engine.apply(pair_key(8, 8), 5);
  EXPECT_EQ(to_vector(engine.ids()), (std::vector<TokenId>{5, 3, 8}));
  EXPECT_EQ(describe(engine.top()), "(5, 3) x1");
}

TEST(MergeEngineDifferential, SmallAlphabetsWithLongRuns) {
  std::mt19937 rng(1);
  for (int round = 0; round < 300 && !HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const int alphabet = 1 + round % 3;
    const auto ids = random_ids(rng, rng() % 200, alphabet);
    run_random<MergeEngine>(ids, rng, StepMix{50, 100, 0});
  }
}

TEST(MergeEngineDifferential, LargeAlphabets) {
  std::mt19937 rng(2);
  for (int round = 0; round < 40 && !HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // From a few dozen ids, where pairs repeat, to the whole id range,
    // where almost every pair is unique and all counts tie.
    const int alphabet = round % 2 == 0 ? 40 : 65536;
    const auto ids = random_ids(rng, 200 + rng() % 800, alphabet);
    run_random<MergeEngine>(ids, rng, StepMix{30, 50, 0, 300});
  }
}

TEST(MergeEngineDifferential, TiesAndReformingMotifs) {
  std::mt19937 rng(3);
  for (int round = 0; round < 300 && !HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const auto ids = motif_ids(rng, rng() % 300);
    run_random<MergeEngine>(ids, rng, StepMix{150, 100, 0, 10000, 60});
  }
}

TEST(MergeEngineDifferential, MergedIdsThatCollide) {
  std::mt19937 rng(4);
  for (int round = 0; round < 300 && !HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const auto ids = round % 2 == 0
                         ? motif_ids(rng, rng() % 200)
                         : random_ids(rng, rng() % 200, 1 + round % 5);
    // Colliding ids can keep the sequence from shrinking, so cap the steps.
    run_random<MergeEngine>(ids, rng, StepMix{50, 150, 500, 400});
  }
}

TEST(MergeEngineDifferential, LearningOnRealText) {
  const auto code_points = real_text_ids(200'000, true);
  ASSERT_FALSE(code_points.empty());
  run_learning<MergeEngine>(code_points);
  run_learning<MergeEngine>(real_text_ids(30'000, false));
}

// How the ids at or above the middle distinct id of a sequence are settled
// after the engine is built with placeholders for them.
enum class Settle {
  // Placeholders just above the other ids, rising replacements: the order of
  // every pair is kept.
  kRising,
  // Placeholders at the top of the id range: the replacements lie below them.
  kFromTheTop,
  // Replacements in order of first occurrence, as new clusters get theirs.
  kFirstSeen,
};

struct WithPlaceholders {
  std::vector<TokenId> ids;
  TokenId first = 0;
  std::vector<TokenId> replacements;
};

WithPlaceholders with_placeholders(const std::vector<TokenId>& ids,
                                   Settle settle) {
  std::vector<TokenId> distinct = ids;
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  WithPlaceholders out;
  if (distinct.empty()) {
    out.ids = ids;
    return out;
  }
  const TokenId from = distinct[distinct.size() / 2];
  out.replacements.assign(
      std::lower_bound(distinct.begin(), distinct.end(), from), distinct.end());
  if (settle == Settle::kFirstSeen) {
    out.replacements.clear();
    for (const TokenId id : ids) {
      if (id >= from &&
          std::find(out.replacements.begin(), out.replacements.end(), id) ==
              out.replacements.end()) {
        out.replacements.push_back(id);
      }
    }
  }
  out.first = settle == Settle::kFromTheTop
                  ? static_cast<TokenId>(65536 - out.replacements.size())
                  : from;
  for (const TokenId id : ids) {
    if (id < from) {
      out.ids.push_back(id);
      continue;
    }
    const auto at =
        std::find(out.replacements.begin(), out.replacements.end(), id);
    out.ids.push_back(
        static_cast<TokenId>(out.first + (at - out.replacements.begin())));
  }
  return out;
}

// An engine built on placeholders whose ids are settled before any step:
// it must then behave as one built on the settled ids.
template <Settle kSettle>
class SettledEngine : public MergeEngine {
 public:
  explicit SettledEngine(const std::vector<TokenId>& ids)
      : SettledEngine(with_placeholders(ids, kSettle)) {}

 private:
  explicit SettledEngine(WithPlaceholders built)
      : MergeEngine(std::move(built.ids)) {
    replace_placeholders(built.first, built.replacements);
  }
};

template <Settle kSettle>
void run_settled(std::uint32_t seed) {
  std::mt19937 rng(seed);
  for (int round = 0; round < 200 && !::testing::Test::HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    switch (round % 3) {
      case 0:
        run_random<SettledEngine<kSettle>>(
            random_ids(rng, rng() % 200, 1 + round % 5), rng,
            StepMix{50, 100, 0});
        break;
      case 1:
        run_random<SettledEngine<kSettle>>(motif_ids(rng, rng() % 300), rng,
                                           StepMix{150, 100, 0, 10000, 60});
        break;
      default:
        run_random<SettledEngine<kSettle>>(
            random_ids(rng, 200 + rng() % 800, round % 2 == 0 ? 40 : 65536),
            rng, StepMix{30, 50, 0, 300});
        break;
    }
  }
}

TEST(MergeEngineDifferential, PlaceholdersSettledAfterTheBuild) {
  run_settled<Settle::kRising>(21);
  run_settled<Settle::kFromTheTop>(22);
  run_settled<Settle::kFirstSeen>(23);
  const auto text = real_text_ids(100'000, true);
  run_learning<SettledEngine<Settle::kRising>>(text);
  run_learning<SettledEngine<Settle::kFirstSeen>>(text);
}

// An engine built from its ids in parts of uneven sizes (empty ones
// among them), with room made for all of them or for only a third: it must
// behave as one built from the ids at once.
class EngineBuiltInParts : public MergeEngine {
 public:
  explicit EngineBuiltInParts(const std::vector<TokenId>& ids)
      : MergeEngine(built_in_parts(ids)) {}

 private:
  static MergeEngine built_in_parts(const std::vector<TokenId>& ids) {
    Builder builder(ids.size() % 2 == 0 ? ids.size() : ids.size() / 3);
    const std::span<const TokenId> all(ids);
    std::size_t at = 0;
    for (std::size_t part = 0; at < all.size(); ++part) {
      const std::size_t size = std::min(all.size() - at, (part * 7) % 23);
      builder.append(all.subspan(at, size));
      at += size;
    }
    return std::move(builder).finish();
  }
};

TEST(MergeEngineDifferential, BuiltInParts) {
  std::mt19937 rng(24);
  for (int round = 0; round < 200 && !::testing::Test::HasFailure(); ++round) {
    run_random<EngineBuiltInParts>(
        round % 2 == 0 ? random_ids(rng, rng() % 300, 1 + round % 5)
                       : motif_ids(rng, rng() % 300),
        rng, StepMix{50, 100, 0});
  }
  run_learning<EngineBuiltInParts>(real_text_ids(100'000, true));
}

TEST(MergeEngine, PlaceholdersKeepingTheOrderAreRekeyedInPlace) {
  // 7 and 8 stand for 20 and 30; a placeholder next to itself, at both ends.
  MergeEngine engine({7, 7, 1, 8, 1, 8, 2, 7});
  const std::vector<TokenId> replacements{20, 30};
  engine.replace_placeholders(7, replacements);
  EXPECT_EQ(to_vector(engine.ids()),
            (std::vector<TokenId>{20, 20, 1, 30, 1, 30, 2, 20}));
  EXPECT_EQ(describe(engine.top()), "(1, 30) x2");
  // The placeholders' pairs are gone: applying one changes nothing.
  engine.apply(pair_key(1, 8), 40);
  EXPECT_EQ(describe(engine.top()), "(1, 30) x2");
  engine.apply(pair_key(1, 30), 40);
  EXPECT_EQ(to_vector(engine.ids()),
            (std::vector<TokenId>{20, 20, 40, 40, 2, 20}));
  EXPECT_EQ(describe(engine.top()), "(2, 20) x1");

  MergeEngine single({9});
  single.replace_placeholders(9, std::vector<TokenId>{3});
  EXPECT_EQ(to_vector(single.ids()), (std::vector<TokenId>{3}));
}

// Everything that two chunks of training produce.
struct TrainingRun {
  std::vector<TokenId> first_chunk;
  std::vector<TokenId> after_known_merges;
  std::vector<TokenId> second_chunk;
  std::string model;
  std::string console;
  std::string log;
};

// Trains on two chunks with the training loops over `Sequence`: learning on
// the first, then the known merges and learning on the second.
template <class Sequence>
TrainingRun train_two_chunks(const std::string& first,
                             const std::string& second) {
  model::Data data;
  training::write_reserved_entries(data);
  testing::StringConsole console;
  testing::StringLogSink log;
  TrainingRun run;
  run.first_chunk =
      testing::train_chunk<Sequence>(data, first, true, true, log, console);
  run.second_chunk = testing::train_chunk<Sequence>(
      data, second, false, true, log, console, &run.after_known_merges);
  run.model = model::encode_model(data);
  run.console = console.text();
  run.log = log.text();
  return run;
}

TEST(MergeEngineLoops, TrainingGivesTheSameModelLinesAndIds) {
  const std::string text = read_sample(0, 120'000);
  ASSERT_EQ(text.size(), 120'000u);
  const std::string first = text.substr(0, 60'000);
  const std::string second = text.substr(60'000);
  const TrainingRun plain = train_two_chunks<PlainMergeSequence>(first, second);
  const TrainingRun engine = train_two_chunks<MergeEngine>(first, second);
  EXPECT_EQ(engine.first_chunk, plain.first_chunk);
  EXPECT_EQ(engine.after_known_merges, plain.after_known_merges);
  EXPECT_EQ(engine.second_chunk, plain.second_chunk);
  EXPECT_EQ(engine.model, plain.model);
  EXPECT_EQ(engine.console, plain.console);
  EXPECT_EQ(engine.log, plain.log);
  // The second chunk meets merges of the first: the known-merge pass applies
  // merged ids that already occur elsewhere in the sequence.
  EXPECT_NE(plain.console.find("Found a match"), std::string::npos);
  EXPECT_NE(plain.log.find("Token "), std::string::npos);
}

TEST(MergeEngineLoops, EncodingLoopOnRandomModels) {
  std::mt19937 rng(5);
  for (int round = 0; round < 300 && !HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const int alphabet = 2 + round % 4;
    const auto ids = round % 2 == 0 ? random_ids(rng, rng() % 150, alphabet)
                                    : motif_ids(rng, rng() % 150);
    // A random model: merges of random pairs into ids that may already be
    // in the text or be other merges' results.
    model::Merges merges;
    const std::size_t merge_count = rng() % 12;
    for (std::size_t m = 0; m < merge_count; ++m) {
      merges.emplace(pair_key(static_cast<TokenId>(rng() % 6),
                              static_cast<TokenId>(rng() % 6)),
                     static_cast<TokenId>(rng() % 8));
    }
    PlainMergeSequence plain(ids);
    MergeEngine engine(ids);
    merge_by_frequency(plain, merges);
    merge_by_frequency(engine, merges);
    EXPECT_EQ(to_vector(engine.ids()), to_vector(plain.ids()));
  }
}

TEST(MergeEngineLoops, EncodingLoopOnRealText) {
  const std::string training_text = read_sample(0, 100'000);
  // Text like the training text, so that many merges apply.
  const std::string document = read_sample(100'000, 50'000);
  ASSERT_EQ(document.size(), 50'000u);
  model::Data data;
  training::write_reserved_entries(data);
  testing::StringConsole console;
  testing::StringLogSink log;
  training::learn_merges<MergeEngine>(
      training::pretokenize_chunk(data, training_text), data, false, log,
      console);
  const std::vector<TokenId> ids = training::pretokenize_chunk(data, document);
  PlainMergeSequence plain(ids);
  MergeEngine engine(ids);
  merge_by_frequency(plain, data.merges);
  merge_by_frequency(engine, data.merges);
  EXPECT_EQ(to_vector(engine.ids()), to_vector(plain.ids()));
  EXPECT_LT(plain.size(), ids.size());
}

}  // namespace
}  // namespace selvane::codec
