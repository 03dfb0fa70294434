#include "codec/pair_counts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/panic.h"
#include "codec/plain_merge_sequence.h"
#include "testing/max_occur.h"

namespace selvane::codec {
namespace {

using model::pair_key;
using testing::max_occur;

TEST(CountOccur, CountsOverlappingWindows) {
  EXPECT_TRUE(count_occur(std::vector<TokenId>{}).empty());
  EXPECT_TRUE(count_occur(std::vector<TokenId>{5}).empty());
  EXPECT_EQ(count_occur(std::vector<TokenId>{7, 7, 7}),
            (PairCounts{{pair_key(7, 7), 2}}));
  EXPECT_EQ(count_occur(std::vector<TokenId>{1, 2, 1, 2}),
            (PairCounts{{pair_key(1, 2), 2}, {pair_key(2, 1), 1}}));
  EXPECT_EQ(count_occur(std::vector<TokenId>{2, 1}),
            (PairCounts{{pair_key(2, 1), 1}}));
}

TEST(MaxOccur, HighestCountThenSmallestPair) {
  const PairCount top =
      max_occur(count_occur(std::vector<TokenId>{1, 2, 1, 2}));
  EXPECT_EQ(top.pair, pair_key(1, 2));
  EXPECT_EQ(top.count, 2u);
  // Equal counts: the smallest (first, second) pair wins, whatever the order
  // of the table.
  const PairCount tie =
      max_occur(count_occur(std::vector<TokenId>{9, 3, 1, 2}));
  EXPECT_EQ(tie.pair, pair_key(1, 2));
  EXPECT_THROW(max_occur(PairCounts{}), Panic);
}

TEST(ReplacePair, LeftmostFirstWithoutOverlap) {
  EXPECT_EQ(replace_pair(std::vector<TokenId>{7, 7, 7}, pair_key(7, 7), 9),
            (std::vector<TokenId>{9, 7}));
  EXPECT_EQ(
      replace_pair(std::vector<TokenId>{1, 2, 3, 1, 2}, pair_key(1, 2), 8),
      (std::vector<TokenId>{8, 3, 8}));
  EXPECT_EQ(replace_pair(std::vector<TokenId>{2, 1}, pair_key(1, 2), 8),
            (std::vector<TokenId>{2, 1}));
  EXPECT_TRUE(replace_pair(std::vector<TokenId>{}, pair_key(1, 2), 8).empty());
}

TEST(PlainMergeSequence, TopSkipsBannedPairs) {
  PlainMergeSequence sequence({1, 2, 1, 2, 3});
  ASSERT_TRUE(sequence.top().has_value());
  EXPECT_EQ(sequence.top()->pair, pair_key(1, 2));
  sequence.ban(pair_key(1, 2));
  EXPECT_EQ(sequence.top()->pair, pair_key(2, 1));
  sequence.ban(pair_key(2, 1));
  sequence.ban(pair_key(2, 3));
  EXPECT_FALSE(sequence.top().has_value());
  sequence.apply(pair_key(1, 2), 4);
  EXPECT_EQ(std::vector<TokenId>(sequence.ids().begin(), sequence.ids().end()),
            (std::vector<TokenId>{4, 4, 3}));
}

}  // namespace
}  // namespace selvane::codec

namespace selvane::codec {
namespace {

TEST(PanicUncountedWindow, ReportsTheOwnerAndThePairNotTheMessage) {
  ::testing::internal::CaptureStderr();
  try {
    panic_uncounted_window("counted sequence", model::pair_key(3, 65535));
    ADD_FAILURE() << "no panic";
  } catch (const Panic& failure) {
    EXPECT_EQ(failure.message(), "This should not happen");
  }
  const std::string report = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(report.ends_with(
      "\nThis should not happen\ncounted sequence: a window of pair "
      "(3, 65535) is to be removed but its count is already 0\n"))
      << report;
  // The report names the caller's file, not the helper's.
  EXPECT_NE(report.find("tests/cpp/pair_counts_test.cc"), std::string::npos)
      << report;
}

}  // namespace
}  // namespace selvane::codec
