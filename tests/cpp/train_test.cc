// Whole training calls, in a directory of their own, with the console
// captured.
#include "training/train.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "base/os_error.h"
#include "base/panic.h"
#include "model/model_file.h"
#include "panic_message.h"
#include "scoped_temp_dir.h"
#include "testing/capture.h"
#include "testing/unicode_lookup_extras.h"
#include "training/chunk_reader.h"
#include "training/console.h"
#include "training/log_lines.h"

namespace selvane::training {
namespace {

using selvane::testing::StringConsole;

using model::pair_key;
using selvane::testing::make_full_device;
using selvane::testing::read_file;
using selvane::testing::ScopedTempDir;
using selvane::testing::write_file;

const std::string kStart = "Just Started\n";
const std::string kChunk = "Finish converting new read chunk to tokens\n";
const std::string kSaved =
    "--------------------------------------------- \n Saved Successfully \n"
    "---------------------------------------------\n";
const std::string kSeparator = "\n" + std::string(83, '-') + "\n";
const std::string kFound =
    "Found a match between the max occur with already learned | Pair is ";
const std::string kFailed =
    "Failed to find a match between the max occur with already learned | "
    "Failed Count ";

using selvane::testing::panic_message;

class TrainTest : public ::testing::Test {
 protected:
  void train_on(const std::string& corpus, bool print_logs = false) {
    write_file("corpus.txt", corpus);
    train(data_, "corpus.txt", print_logs, "train.log", console_);
  }

  ScopedTempDir dir_;
  model::Data data_;
  StringConsole console_;
};

TEST_F(TrainTest, GoldenSmallCorpus) {
  train_on("abababababababababab");
  EXPECT_EQ(console_.text(),
            kStart + kChunk + "Token 3 | Merge (1, 2) | 10 Times | Loop 0\n" +
                kSaved);
  EXPECT_EQ(read_file("train.log"), kSeparator);
  EXPECT_FALSE(std::filesystem::exists("log.txt"));

  const model::Data saved = model::decode_model(read_file("tokenizer"));
  EXPECT_EQ(saved.merges, (model::Merges{{pair_key(1, 2), 3}}));
  EXPECT_EQ(saved.unicode_lookup,
            (model::lookup_of({{"oov", 0}, {"a", 1}, {"b", 2}})));
  ASSERT_EQ(saved.lookup.size(), 4u);
  EXPECT_EQ(*saved.lookup.find(0), "");
  EXPECT_EQ(*saved.lookup.find(3), "ab");
  EXPECT_EQ(read_file("tokenizer"), model::encode_model(data_));
}

TEST_F(TrainTest, ContinuingOnTheSameModelMeetsTheKnownMerge) {
  train_on("abababababababababab");
  data_.lookup.insert_or_assign(0, "changed");
  const std::string first_call = console_.text();
  train_on("abababababababababab");
  // The first chunk of the call sees the merge as a no-news iteration.
  EXPECT_EQ(console_.text().substr(first_call.size()),
            kStart + kChunk + "No News Loop count is 3\n" + kSaved);
  EXPECT_EQ(data_.merges.size(), 1u);
  EXPECT_EQ(*data_.lookup.find(0), "");
}

TEST_F(TrainTest, EmptyFileSavesNothing) {
  write_file("train.log", "stale");
  train_on("");
  EXPECT_EQ(console_.text(), kStart);
  EXPECT_EQ(read_file("train.log"), "");
  EXPECT_FALSE(std::filesystem::exists("tokenizer"));
  EXPECT_EQ(data_.lookup.size(), 1u);
  EXPECT_EQ(data_.unicode_lookup, (model::lookup_of({{"oov", 0}})));
}

TEST_F(TrainTest, SingleClusterChunkIsSavedLikeAnyOther) {
  train_on("x");
  EXPECT_EQ(console_.text(), kStart + kChunk + kSaved);
  EXPECT_EQ(read_file("train.log"), kSeparator);
  EXPECT_EQ(model::decode_model(read_file("tokenizer")).lookup.size(), 2u);
}

TEST_F(TrainTest, SecondChunkAppliesKnownMergesFirst) {
  // Chunk 1 is "ab" repeated with a final "a"; chunk 2 is "ababab".
  std::string corpus;
  corpus.reserve(kChunkSize + 6);
  while (corpus.size() + 2 <= kChunkSize) corpus += "ab";
  corpus += "a";
  ASSERT_EQ(corpus.size(), kChunkSize);
  corpus += "ababab";
  train_on(corpus);
  // (1, 2) and (2, 1) tie in chunk 1, and the smaller pair wins.
  EXPECT_EQ(data_.merges.at(pair_key(1, 2)), 3);
  EXPECT_EQ(data_.merges.at(pair_key(3, 3)), 4);
  const std::string& text = console_.text();
  const std::size_t first_save = text.find(kSaved);
  ASSERT_NE(first_save, std::string::npos);
  // Chunk 2: (1, 2) and then (3, 3) are known, (4, 3) is not, and [4, 3]
  // has nothing left to try or learn.
  EXPECT_EQ(text.substr(first_save + kSaved.size()),
            kFound + "(1, 2)\n" + kFound + "(3, 3)\n" + kFailed + "1\n" +
                kChunk + kSaved);
  EXPECT_EQ(read_file("train.log"), kSeparator + kSeparator);
}

TEST_F(TrainTest, PrintLogsSendsMergeLinesToLogTxt) {
  write_file("log.txt", "before\n");
  train_on("abababababababababab", true);
  train_on("cdcdcdcdcdcdcdcdcdcd", true);
  EXPECT_EQ(read_file("train.log"), "Started \n ");
  EXPECT_EQ(read_file("log.txt"),
            "before\nToken 3 | Merge (1, 2) | 10 Times | Loop 0\n" +
                kSeparator + "Token 6 | Merge (4, 5) | 10 Times | Loop 0\n" +
                kSeparator);
}

TEST_F(TrainTest, SameCorpusSameModelGivesTheSameBytes) {
  // Many equal counts: only the tie rule fixes which merges are learned.
  std::string corpus;
  for (int round = 0; round < 40; ++round) corpus += "the cat sat on the mat ";
  train_on(corpus);
  const std::string first = read_file("tokenizer");
  data_ = model::Data();
  train_on(corpus);
  EXPECT_EQ(read_file("tokenizer"), first);
  EXPECT_GT(model::decode_model(first).merges.size(), 5u);
}

TEST_F(TrainTest, MissingTrainFileFailsAfterTheLogsFile) {
  write_file("train.log", "stale");
  EXPECT_EQ(panic_message([&] {
              train(data_, "missing.txt", false, "train.log", console_);
            }),
            "Train File Not Existed: Os { code: 2, kind: NotFound, message: "
            "\"No such file or directory\" }");
  EXPECT_EQ(read_file("train.log"), "");
  EXPECT_EQ(id_at(data_.unicode_lookup, "oov"), 0);
  EXPECT_EQ(console_.text(), "");
}

TEST_F(TrainTest, FailedSeparatorComesAfterTheSave) {
  if (!make_full_device("full")) GTEST_SKIP() << "cannot make a device here";
  write_file("corpus.txt", "abababababababababab");
  EXPECT_EQ(panic_message(
                [&] { train(data_, "corpus.txt", false, "full", console_); }),
            "To Work: " + describe_os_error(ENOSPC));
  EXPECT_EQ(model::decode_model(read_file("tokenizer")).merges.size(), 1u);
}

TEST_F(TrainTest, FailedMergeLogKeepsTheMergeInMemory) {
  if (!make_full_device("full")) GTEST_SKIP() << "cannot make a device here";
  std::filesystem::create_symlink("full", "log.txt");
  EXPECT_EQ(panic_message([&] { train_on("abababababababababab", true); }),
            "To Work: " + describe_os_error(ENOSPC));
  EXPECT_EQ(data_.merges.size(), 1u);
  EXPECT_FALSE(std::filesystem::exists("tokenizer"));
  EXPECT_EQ(console_.text(), kStart + kChunk);
}

TEST_F(TrainTest, FailedSaveWritesNoSeparator) {
  std::filesystem::create_directory("tokenizer");
  EXPECT_EQ(panic_message([&] { train_on("abababababababababab"); }),
            "Should work: " + describe_os_error(EISDIR));
  EXPECT_EQ(read_file("train.log"), "");
  EXPECT_EQ(console_.text(),
            kStart + kChunk + "Token 3 | Merge (1, 2) | 10 Times | Loop 0\n");
}

}  // namespace
}  // namespace selvane::training
