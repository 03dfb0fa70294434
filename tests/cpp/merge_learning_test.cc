#include "training/merge_learning.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/panic.h"
#include "codec/merge_engine.h"
#include "codec/plain_merge_sequence.h"
#include "testing/capture.h"
#include "testing/merge_learning_on_ids.h"
#include "training/console.h"
#include "training/id_allocation.h"
#include "training/log_sink.h"

namespace selvane::training {
namespace {

using selvane::testing::StringConsole;
using selvane::testing::StringLogSink;

using model::pair_key;
using model::TokenId;
using Ids = std::vector<TokenId>;

// A model with the reserved entries and base tokens 1 to `count`; token i is
// the letter 'a' + i - 1 while letters last, "<i>" after that.
model::Data base_model(int count) {
  model::Data data;
  write_reserved_entries(data);
  for (int i = 1; i <= count; ++i) {
    const auto id = static_cast<TokenId>(i);
    std::string bytes = i <= 26 ? std::string(1, static_cast<char>('a' + i - 1))
                                : "<" + std::to_string(i) + ">";
    data.unicode_lookup.emplace(bytes, id);
    data.lookup.insert_or_assign(id, std::move(bytes));
  }
  return data;
}

Ids repeated(const Ids& pattern, int times) {
  Ids ids;
  for (int i = 0; i < times; ++i)
    ids.insert(ids.end(), pattern.begin(), pattern.end());
  return ids;
}

// Every merge sequence must give the same lines and models: add faster ones
// here.
template <class Sequence>
class MergeLearningTest : public ::testing::Test {
 protected:
  Ids learn(Ids ids, model::Data& data, bool print_logs = true) {
    return learn_merges<Sequence>(std::move(ids), data, print_logs, log_,
                                  console_);
  }
  Ids apply_known(Ids ids, const model::Data& data) {
    return apply_known_merges<Sequence>(std::move(ids), data.merges, console_);
  }

  StringConsole console_;
  StringLogSink log_;
};

using SequenceTypes =
    ::testing::Types<codec::PlainMergeSequence, codec::MergeEngine>;
TYPED_TEST_SUITE(MergeLearningTest, SequenceTypes);

// ---- learn_merges ---------------------------------------------------------

TYPED_TEST(MergeLearningTest, TwentyEqualIdsLearnExactlyOneMerge) {
  model::Data data = base_model(1);
  const Ids result = this->learn(Ids(20, 1), data);
  // (a, a) occurs 19 times and is merged; (X, X) then occurs 9 times.
  EXPECT_EQ(result, Ids(10, 2));
  const std::string line = "Token 2 | Merge (1, 1) | 19 Times | Loop 0\n";
  EXPECT_EQ(this->console_.text(), line);
  EXPECT_EQ(this->log_.text(), line);
  EXPECT_EQ(data.merges, (model::Merges{{pair_key(1, 1), 2}}));
  ASSERT_EQ(data.lookup.size(), 3u);
  EXPECT_EQ(*data.lookup.find(2), "aa");
}

TYPED_TEST(MergeLearningTest, ElevenEqualIdsMergeAtTheMinimumCount) {
  model::Data data = base_model(1);
  EXPECT_EQ(this->learn(Ids(11, 1), data, /*print_logs=*/false),
            (Ids{2, 2, 2, 2, 2, 1}));
  EXPECT_EQ(this->console_.text(),
            "Token 2 | Merge (1, 1) | 10 Times | Loop 0\n");
  // Without print_logs the log sink sees no merge line.
  EXPECT_EQ(this->log_.text(), "");
}

TYPED_TEST(MergeLearningTest, TopCountNineLearnsNothing) {
  model::Data data = base_model(1);
  EXPECT_EQ(this->learn(Ids(10, 1), data), Ids(10, 1));
  EXPECT_EQ(this->console_.text(), "");
  EXPECT_EQ(this->log_.text(), "");
  EXPECT_TRUE(data.merges.empty());
  EXPECT_EQ(data.lookup.size(), 2u);
}

TYPED_TEST(MergeLearningTest, ShortSequencesLearnNothing) {
  model::Data data = base_model(1);
  EXPECT_EQ(this->learn(Ids{}, data), Ids{});
  EXPECT_EQ(this->learn(Ids{1}, data), Ids{1});
  EXPECT_EQ(this->console_.text(), "");
  EXPECT_TRUE(data.merges.empty());
}

TYPED_TEST(MergeLearningTest, KnownMergePrintsNoNewsAndLeavesModelAlone) {
  model::Data data = base_model(2);
  data.merges.emplace(pair_key(1, 2), 3);
  data.lookup.insert_or_assign(3, "ab");
  EXPECT_EQ(this->learn(repeated({1, 2}, 10), data), Ids(10, 3));
  // The number is the merged id, not the iteration.
  EXPECT_EQ(this->console_.text(), "No News Loop count is 3\n");
  EXPECT_EQ(this->log_.text(), "");
  EXPECT_EQ(data.merges.size(), 1u);
  EXPECT_EQ(data.lookup.size(), 4u);
}

TYPED_TEST(MergeLearningTest, TiesGoToTheSmallestPair) {
  model::Data data = base_model(4);
  // (1, 2), (3, 4) and (4, 1) all occur 10 times.
  EXPECT_EQ(this->learn(repeated({3, 4, 1, 2}, 10), data), Ids(10, 7));
  EXPECT_EQ(this->console_.text(),
            "Token 5 | Merge (1, 2) | 10 Times | Loop 0\n"
            "Token 6 | Merge (3, 4) | 10 Times | Loop 1\n"
            "Token 7 | Merge (6, 5) | 10 Times | Loop 2\n");
  EXPECT_EQ(this->log_.text(), this->console_.text());
  EXPECT_EQ(*data.lookup.find(7), "cdab");
}

TYPED_TEST(MergeLearningTest, StopsAfterSevenHundredIterations) {
  // 710 disjoint pairs (2k - 1, 2k), each repeated 10 times in a row: every
  // iteration learns one of them, smallest first.
  constexpr int kPairs = 710;
  model::Data data = base_model(2 * kPairs);
  Ids ids;
  for (int k = 1; k <= kPairs; ++k) {
    const auto first = static_cast<TokenId>(2 * k - 1);
    const Ids run = repeated({first, static_cast<TokenId>(first + 1)}, 10);
    ids.insert(ids.end(), run.begin(), run.end());
  }
  this->learn(ids, data, /*print_logs=*/false);
  EXPECT_EQ(data.merges.size(), 700u);
  EXPECT_EQ(data.lookup.size(), 1u + 2 * kPairs + 700);
  EXPECT_TRUE(this->console_.text().ends_with(
      "Token 2120 | Merge (1399, 1400) | 10 Times | Loop 699\n"));
  EXPECT_FALSE(data.merges.contains(pair_key(1401, 1402)));
}

TYPED_TEST(MergeLearningTest, MissingLookupEntryFailsWithoutHalfMadeMerge) {
  model::Data data = base_model(1);
  // Id 5 came from a model whose maps disagree: it has no bytes.
  const Ids ids = repeated({1, 5}, 10);
  ::testing::internal::CaptureStderr();
  try {
    this->learn(ids, data);
    ::testing::internal::GetCapturedStderr();
    FAIL() << "expected a panic";
  } catch (const Panic& failure) {
    // The report names the pair and the id; the message stays bare.
    const std::string report = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(failure.message(), "This should not happen");
    EXPECT_TRUE(report.ends_with(
        "\nThis should not happen\n"
        "merging pair (1, 5): id 5 has no bytes in the model\n"))
        << report;
  }
  EXPECT_TRUE(data.merges.empty());
  EXPECT_EQ(data.lookup.size(), 2u);
  EXPECT_EQ(this->log_.text(), "");
}

TYPED_TEST(MergeLearningTest, ExhaustedIdSpaceFailsWithoutOverwriting) {
  model::Data data = base_model(1);
  for (std::size_t id = 2; id < model::kTokenIdCount; ++id) {
    data.lookup.insert_or_assign(static_cast<TokenId>(id), "x");
  }
  try {
    this->learn(Ids(11, 1), data);
    FAIL() << "expected a panic";
  } catch (const Panic& failure) {
    EXPECT_EQ(failure.message(),
              "All 65,536 token ids are in use: the model has no id left for "
              "a new token");
  }
  EXPECT_TRUE(data.merges.empty());
  EXPECT_EQ(*data.lookup.find(0), "");
  EXPECT_EQ(*data.lookup.find(65535), "x");
}

// ---- apply_known_merges ---------------------------------------------------

TYPED_TEST(MergeLearningTest, KnownMergesThenEveryPairRejected) {
  model::Data data = base_model(2);
  data.merges.emplace(pair_key(1, 2), 3);
  EXPECT_EQ(this->apply_known(repeated({1, 2}, 3), data), (Ids{3, 3, 3}));
  // (3, 3) is rejected, and with no pair left the pass ends normally.
  EXPECT_EQ(this->console_.text(),
            "Found a match between the max occur with already learned | Pair "
            "is (1, 2)\n"
            "Failed to find a match between the max occur with already "
            "learned | Failed Count 1\n");
}

TYPED_TEST(MergeLearningTest, KnownMergesOnShortSequences) {
  model::Data data = base_model(2);
  data.merges.emplace(pair_key(1, 2), 3);
  EXPECT_EQ(this->apply_known(Ids{1}, data), Ids{1});
  EXPECT_EQ(this->console_.text(), "");
  // A merge that leaves one id ends the pass too.
  EXPECT_EQ(this->apply_known(Ids{1, 2}, data), Ids{3});
  EXPECT_EQ(this->console_.text(),
            "Found a match between the max occur with already learned | Pair "
            "is (1, 2)\n");
}

TYPED_TEST(MergeLearningTest, SevenFailuresInARowEndThePass) {
  model::Data data = base_model(9);
  data.merges.emplace(pair_key(2, 2), 20);
  // (8, 9) is known too but occurs once: the pass stops before it.
  data.merges.emplace(pair_key(8, 9), 21);
  Ids ids;
  for (TokenId run = 1; run <= 7; ++run) {
    ids.insert(ids.end(), {run, run, run});
  }
  ids.insert(ids.end(), {8, 9});
  Ids expected = ids;
  expected.erase(expected.begin() + 3, expected.begin() + 5);
  expected.insert(expected.begin() + 3, 20);
  EXPECT_EQ(this->apply_known(ids, data), expected);
  // (1, 1) fails, (2, 2) matches and resets the counter, then (3, 3) to
  // (7, 7), (1, 20) and (2, 3) fail seven times in a row.
  std::string lines =
      "Failed to find a match between the max occur with already learned | "
      "Failed Count 1\n"
      "Found a match between the max occur with already learned | Pair is "
      "(2, 2)\n";
  for (int failures = 1; failures <= 7; ++failures) {
    lines +=
        "Failed to find a match between the max occur with already learned "
        "| Failed Count " +
        std::to_string(failures) + "\n";
  }
  EXPECT_EQ(this->console_.text(), lines);
}

TYPED_TEST(MergeLearningTest, KnownMergesApplyWhateverTheirCount) {
  model::Data data = base_model(3);
  data.merges.emplace(pair_key(2, 3), 4);
  data.merges.emplace(pair_key(1, 4), 5);
  EXPECT_EQ(this->apply_known(Ids{1, 2, 3}, data), Ids{5});
  // (1, 2) has no merge; (2, 3) and then (1, 4) occur once each.
  EXPECT_EQ(this->console_.text(),
            "Failed to find a match between the max occur with already "
            "learned | Failed Count 1\n"
            "Found a match between the max occur with already learned | Pair "
            "is (2, 3)\n"
            "Found a match between the max occur with already learned | Pair "
            "is (1, 4)\n");
}

}  // namespace
}  // namespace selvane::training
