#include "codec/rank_merge.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "testing/plain_rank_merge.h"

namespace selvane::codec {
namespace {

using model::Merges;
using model::pair_key;
using model::TokenId;
using Ids = std::vector<TokenId>;
using Widths = std::vector<std::uint32_t>;

Merges make_merges(
    std::initializer_list<std::pair<std::pair<TokenId, TokenId>, TokenId>>
        merges) {
  Merges out;
  for (const auto& [pair, merged] : merges) {
    out[pair_key(pair.first, pair.second)] = merged;
  }
  return out;
}

Ids ranked(const Merges& merges, Ids ids, Widths* widths = nullptr) {
  merge_by_rank(RankTable(merges), ids, widths);
  return ids;
}

std::string show(const Ids& ids) {
  std::string out;
  for (const TokenId id : ids) out += std::to_string(id) + " ";
  return out;
}

// Checks both ways of the fast rule against the plain loop, ids and widths
// alike.
void expect_same_as_plain(const Merges& merges, const RankTable& table,
                          const Ids& ids) {
  Ids plain = ids;
  Widths plain_widths;
  testing::plain_merge_by_rank(merges, plain, &plain_widths);
  for (const auto way :
       {&merge_by_rank_in_passes, &merge_by_rank_with_heap, &merge_by_rank}) {
    Ids fast = ids;
    Widths fast_widths;
    way(table, fast, &fast_widths);
    ASSERT_EQ(fast, plain) << "input " << show(ids);
    ASSERT_EQ(fast_widths, plain_widths) << "input " << show(ids);
  }
}

constexpr TokenId kA = 1, kB = 2, kC = 3;

// ---- Hand-checked cases -----------------------------------------------------

TEST(RankMerge, TakesTheSmallestMergedIdFirstAndGoesOnUntilNoPairMerges) {
  // (b, c) -> 10 comes before (a, b) -> 11: a (b c) a b, then a 10 stays
  // apart but the last a b merges.
  const Merges merges = make_merges({{{kB, kC}, 10}, {{kA, kB}, 11}});
  EXPECT_EQ(ranked(merges, {kA, kB, kC, kA, kB}), (Ids{kA, 10, 11}));
  // The frequency rule would stop at (a, b), the most frequent pair; rank
  // merges every pair that has a merge.
  EXPECT_EQ(ranked(make_merges({{{kB, kC}, 10}}), {kA, kB, kC, kA, kB}),
            (Ids{kA, 10, kA, kB}));
}

TEST(RankMerge, RewritesOverlappingRunsLeftmostFirst) {
  const Merges pair_only = make_merges({{{kA, kA}, 7}});
  EXPECT_EQ(ranked(pair_only, {kA, kA, kA}), (Ids{7, kA}));
  EXPECT_EQ(ranked(pair_only, {kA, kA, kA, kA, kA}), (Ids{7, 7, kA}));
  // The merged pair merges again in a later pass, (7, a) last.
  const Merges chain = make_merges({{{kA, kA}, 7}, {{7, 7}, 8}, {{7, kA}, 9}});
  EXPECT_EQ(ranked(chain, {kA, kA, kA, kA, kA}), (Ids{8, kA}));
  Widths widths;
  EXPECT_EQ(ranked(chain, {kA, kA, kA}, &widths), (Ids{9}));
  EXPECT_EQ(widths, (Widths{3}));
}

TEST(RankMerge, AMergeWhoseResultIsItsOwnPartWaitsForTheNextPass) {
  // (a, b) -> a: one pass over a b b gives a b, the next gives a.
  const Merges merges = make_merges({{{kA, kB}, kA}});
  Widths widths;
  EXPECT_EQ(ranked(merges, {kA, kB, kB, kB}, &widths), (Ids{kA}));
  EXPECT_EQ(widths, (Widths{4}));
  expect_same_as_plain(merges, RankTable(merges), {kB, kA, kB, kA, kB, kB});
}

TEST(RankMerge, ShortSequencesAndEmptyMergesComeBackAsTheyAre) {
  const Merges merges = make_merges({{{kA, kB}, 9}});
  Widths widths;
  EXPECT_EQ(ranked(merges, {}, &widths), Ids{});
  EXPECT_TRUE(widths.empty());
  EXPECT_EQ(ranked(merges, {kA}, &widths), (Ids{kA}));
  EXPECT_EQ(widths, (Widths{1}));
  EXPECT_EQ(ranked({}, {kA, kB}, &widths), (Ids{kA, kB}));
  EXPECT_EQ(widths, (Widths{1, 1}));
  EXPECT_EQ(ranked(merges, {kA, kB}), (Ids{9}));
}

TEST(RankMerge, PairsSharingAMergedIdGoBySmallerPair) {
  // Training never writes two pairs for one id, but a model file can.
  const Merges merges = make_merges({{{kB, kC}, 9}, {{kA, kB}, 9}});
  EXPECT_EQ(ranked(merges, {kA, kB, kC}), (Ids{9, kC}));
  expect_same_as_plain(merges, RankTable(merges), {kB, kC, kA, kB, kC, kB});
}

TEST(RankMerge, MergedIdsAtTheTopOfTheIdRange) {
  // 65535 is the highest id a model can hold; the fast ways name merges by
  // their merged ids and must not take it for "no merge".
  const Merges merges =
      make_merges({{{kA, kB}, 65534}, {{65534, kC}, 65535}, {{kC, kC}, 40000}});
  ASSERT_TRUE(RankTable(merges).ordered());
  Ids motif;
  for (int k = 0; k < 100; ++k) {
    motif.insert(motif.end(), {kA, kB, kC});
    if (k % 3 == 0) motif.push_back(kC);
  }
  expect_same_as_plain(merges, RankTable(merges), motif);
  EXPECT_EQ(ranked(merges, {kA, kB, kC}), (Ids{65535}));
  EXPECT_EQ(ranked(merges, {kA, kB, kC, kC, kC}), (Ids{65534, 40000, kC}));
}

TEST(RankMerge, TablesOfDifferentSizesOneAfterAnotherOnOneThread) {
  // The fast way keeps its buckets from one text to the next; a small table
  // after a large one, and the large one again, must not see old entries.
  Merges large;
  TokenId next = 10;
  for (TokenId first = 1; first <= 6; ++first) {
    for (TokenId second = 1; second <= 6; ++second) {
      large[pair_key(first, second)] = next++;
    }
  }
  large[pair_key(10, 10)] = 3000;
  const Merges small = make_merges({{{kB, kA}, 7}, {{7, 7}, 8}});
  std::mt19937 random(5);
  std::uniform_int_distribution<int> id(1, 6);
  for (int round = 0; round < 30; ++round) {
    Ids ids(static_cast<std::size_t>(150 + round * 37));
    for (TokenId& value : ids) value = static_cast<TokenId>(id(random));
    expect_same_as_plain(round % 2 == 0 ? large : small,
                         RankTable(round % 2 == 0 ? large : small), ids);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// ---- Against the plain loop ---------------------------------------------

// Every sequence of up to 7 ids over {1, 2, 3}, on merge tables that include
// results equal to their parts, shared merged ids and chains through every
// pair.
TEST(RankMerge, MatchesThePlainLoopOnEverySmallSequence) {
  std::mt19937 random(21);
  std::vector<Merges> tables = {
      make_merges({{{kA, kA}, 4}, {{4, 4}, 5}, {{4, kA}, 6}, {{kA, 4}, 7}}),
      make_merges({{{kA, kA}, kA}, {{kB, kB}, kA}, {{kA, kB}, kB}}),
      make_merges({{{kA, kB}, 4}, {{kB, kA}, 4}, {{4, 4}, 4}, {{kC, 4}, kC}}),
  };
  std::uniform_int_distribution<int> id(1, 6);
  std::uniform_int_distribution<int> size(1, 10);
  for (int t = 0; t < 40; ++t) {
    Merges table;
    Merges ordered;  // as training writes them: each result new and higher
    TokenId next = 7;
    for (int k = size(random); k > 0; --k) {
      const auto first = static_cast<TokenId>(id(random));
      const auto second = static_cast<TokenId>(id(random));
      table[pair_key(first, second)] = static_cast<TokenId>(id(random));
      if (ordered.try_emplace(pair_key(first, second), next).second) ++next;
    }
    ASSERT_TRUE(RankTable(ordered).ordered());
    tables.push_back(std::move(table));
    tables.push_back(std::move(ordered));
  }
  for (const Merges& merges : tables) {
    const RankTable table(merges);
    for (std::size_t length = 0; length <= 7; ++length) {
      std::size_t count = 1;
      for (std::size_t k = 0; k < length; ++k) count *= 3;
      for (std::size_t code = 0; code < count; ++code) {
        Ids ids(length);
        std::size_t rest = code;
        for (TokenId& value : ids) {
          value = static_cast<TokenId>(1 + rest % 3);
          rest /= 3;
        }
        expect_same_as_plain(merges, table, ids);
        if (::testing::Test::HasFatalFailure()) return;
      }
    }
  }
}

// Long runs and repeated motifs, where rounds of one pair overlap most.
TEST(RankMerge, MatchesThePlainLoopOnAdversarialRepetition) {
  std::mt19937 random(7);
  const Merges doubling = make_merges({{{kA, kA}, 10},
                                       {{10, 10}, 11},
                                       {{11, 11}, 12},
                                       {{10, kA}, 13},
                                       {{kA, 10}, 14},
                                       {{kB, kA}, 15},
                                       {{15, kA}, 16},
                                       {{kA, kB}, kA}});
  // The same without its one merge into a lower id: an ordered table.
  Merges ordered = doubling;
  ordered.erase(pair_key(kA, kB));
  ASSERT_FALSE(RankTable(doubling).ordered());
  ASSERT_TRUE(RankTable(ordered).ordered());
  std::uniform_int_distribution<int> id(1, 3);
  std::uniform_int_distribution<int> pieces(1, 300);
  for (const Merges* merges :
       std::initializer_list<const Merges*>{&doubling, &ordered}) {
    const RankTable table(*merges);
    for (std::size_t run = 1; run <= 200; run += run < 40 ? 1 : 7) {
      expect_same_as_plain(*merges, table, Ids(run, kA));
      Ids motif;
      for (std::size_t k = 0; k < run; ++k) {
        motif.push_back(kB);
        motif.insert(motif.end(), k % 4 + 1, kA);
      }
      expect_same_as_plain(*merges, table, motif);
    }
    for (int round = 0; round < 200; ++round) {
      Ids ids;
      for (int k = pieces(random); k > 0; --k) {
        ids.insert(ids.end(), static_cast<std::size_t>(id(random)),
                   static_cast<TokenId>(id(random)));
      }
      expect_same_as_plain(*merges, table, ids);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

}  // namespace
}  // namespace selvane::codec
