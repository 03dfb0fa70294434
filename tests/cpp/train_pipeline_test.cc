// Training with the next chunk read and pretokenized on a helper thread,
// held to the plain path (one thread, the plain merge sequence): the same
// console, log, model file and model in memory, and the same failure, for
// many small chunks of real text.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "base/interrupt.h"
#include "base/panic.h"
#include "codec/merge_engine.h"
#include "codec/plain_merge_sequence.h"
#include "lockstep.h"
#include "model/model_file.h"
#include "scoped_temp_dir.h"
#include "testing/capture.h"
#include "testing/merge_learning_on_ids.h"
#include "testing/train_chunk.h"
#include "text/utf8.h"
#include "training/chunk_reader.h"
#include "training/id_allocation.h"
#include "training/log_lines.h"
#include "training/merge_learning.h"
#include "training/pretokenize.h"
#include "training/read_ahead.h"
#include "training/train.h"

namespace selvane::training {
namespace {

using selvane::testing::read_file;
using selvane::testing::ScopedTempDir;
using selvane::testing::StringConsole;
using selvane::testing::write_file;

constexpr std::size_t kSmallChunk = 5000;

// The number of threads of this process: a helper thread that has returned
// is gone from the list even before it is joined.
std::ptrdiff_t thread_count() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                       std::filesystem::directory_iterator());
}

// The first `size` bytes of the sample corpus.
std::string sample(std::size_t size) {
  return codec::lockstep::read_sample(0, size);
}

// Everything a training call leaves behind.
struct Outcome {
  std::string console;
  std::string log_txt;
  std::string train_log;
  std::string model_file;
  std::string in_memory;
  std::string failure = "none";
};

const TrainOptions kPlain{kSmallChunk, false, true};
const TrainOptions kPipelined{kSmallChunk, true, false};

// The hook of the interrupt tests: says "stop" at its kStopAt-th call.
int interrupt_calls = 0;
int stop_at = 0;
bool stop_at_call() { return ++interrupt_calls == stop_at; }

Outcome train_with(const std::string& corpus, const TrainOptions& options,
                   model::Data data = {}, InterruptCheck check = nullptr,
                   const std::string& train_file = "corpus.txt") {
  ScopedTempDir dir;
  write_file("log.txt", "earlier\n");
  // Written after "log.txt", so that a call may train on its own merge log.
  write_file(train_file, corpus);
  StringConsole console;
  Outcome out;
  interrupt_calls = 0;
  try {
    const InterruptCheckScope scope(check);
    train(data, train_file, true, "train.log", console, options);
  } catch (const Panic& failure) {
    out.failure = failure.message();
  } catch (const Interrupted&) {
    out.failure = "interrupted";
  }
  out.console = console.text();
  out.log_txt = read_file("log.txt");
  out.train_log = read_file("train.log");
  out.model_file = read_file("tokenizer");
  out.in_memory = model::encode_model(data);
  return out;
}

void expect_same(const Outcome& plain, const Outcome& fast) {
  EXPECT_EQ(plain.failure, fast.failure);
  EXPECT_EQ(plain.console, fast.console);
  EXPECT_EQ(plain.log_txt, fast.log_txt);
  EXPECT_EQ(plain.train_log, fast.train_log);
  EXPECT_EQ(plain.model_file, fast.model_file);
  EXPECT_EQ(plain.in_memory, fast.in_memory);
}

// A model whose `lookup` holds `count` ids, so that few are left.
model::Data nearly_full(std::size_t count) {
  model::Data data;
  write_reserved_entries(data);
  for (std::size_t id = 1; id < count; ++id) {
    data.lookup.insert_or_assign(static_cast<model::TokenId>(id),
                                 "#" + std::to_string(id));
  }
  return data;
}

TEST(TrainPipeline, ManyChunksGiveThePlainPathsBytes) {
  // Latin text in the middle brings new clusters to later chunks, between
  // chunks that have none.
  const std::string arabic = sample(60'000);
  const std::string corpus = arabic.substr(0, 30'000) +
                             " The quick brown fox, 0123456789! " +
                             arabic.substr(30'000);
  // Both kinds of later chunk occur.
  model::Data scratch;
  write_reserved_entries(scratch);
  int with_new = 0;
  int without_new = 0;
  for (std::size_t at = 0; at < corpus.size(); at += kSmallChunk) {
    const std::size_t before = scratch.lookup.size();
    pretokenize_chunk(scratch,
                      std::string_view(corpus).substr(at, kSmallChunk));
    if (at == 0) continue;
    ++(scratch.lookup.size() > before ? with_new : without_new);
  }
  EXPECT_GT(with_new, 0);
  EXPECT_GT(without_new, 0);

  const Outcome plain = train_with(corpus, kPlain);
  EXPECT_EQ(plain.failure, "none");
  expect_same(plain, train_with(corpus, kPipelined));
  // The engine without the helper, and the default chunk size (one chunk).
  expect_same(plain, train_with(corpus, {kSmallChunk, false, false}));
  expect_same(train_with(corpus, {kChunkSize, false, true}),
              train_with(corpus, TrainOptions{}));
}

// A first chunk large enough to be pretokenized in pieces, which the
// engine links and counts one by one as they come: the same merges and
// log lines as an engine built on the whole chunk's ids at once.
TEST(TrainPipeline, AFirstChunkInPiecesLearnsAsAWholeChunk) {
  const std::string corpus = sample(300'000);
  const Outcome trained = train_with(corpus, {corpus.size(), true, false});
  EXPECT_EQ(trained.failure, "none");

  model::Data data;
  write_reserved_entries(data);
  StringConsole console;
  testing::StringLogSink log;
  testing::train_chunk<codec::MergeEngine>(data, corpus, true, true, log,
                                           console);
  EXPECT_EQ(trained.in_memory, model::encode_model(data));
  EXPECT_FALSE(log.text().empty());
  EXPECT_EQ(trained.log_txt,
            "earlier\n" + log.text() + std::string(kChunkSeparator));
}

TEST(TrainPipeline, ContinuingAModelGivesThePlainPathsBytes) {
  const std::string corpus = sample(40'000);
  model::Data first;
  {
    ScopedTempDir dir;
    write_file("corpus.txt", sample(200'000).substr(100'000, 20'000));
    StringConsole console;
    train(first, "corpus.txt", false, "train.log", console, kPlain);
  }
  expect_same(train_with(corpus, kPlain, first),
              train_with(corpus, kPipelined, first));
}

TEST(TrainPipeline, ExhaustedIdsFailAtTheSamePlace) {
  const std::string corpus = sample(30'000) + " Latin letters come late " +
                             sample(40'000).substr(30'000);
  // The ids the whole corpus takes, less some: from an exhaustion among the
  // first chunk's clusters to one among the new clusters or merges of a
  // later chunk.
  const Outcome unbounded = train_with(corpus, kPlain);
  const std::size_t used =
      model::decode_model(unbounded.model_file).lookup.size() - 1;
  ASSERT_GT(used, 100u);
  for (const std::size_t left :
       {std::size_t{5}, used / 3, used / 2, 2 * used / 3, used - 2}) {
    SCOPED_TRACE(left);
    const model::Data start = nearly_full(model::kTokenIdCount - left);
    const Outcome plain = train_with(corpus, kPlain, start);
    EXPECT_NE(plain.failure.find("All 65,536 token ids are in use"),
              std::string::npos);
    expect_same(plain, train_with(corpus, kPipelined, start));
  }
}

TEST(TrainPipeline, InterruptBetweenChunksStopsAtTheSameChunk) {
  const std::string corpus = sample(40'000);
  for (const int stop : {1, 2, 5}) {
    SCOPED_TRACE(stop);
    stop_at = stop;
    const Outcome plain = train_with(corpus, kPlain, {}, stop_at_call);
    EXPECT_EQ(plain.failure, "interrupted");
    stop_at = stop;
    expect_same(plain, train_with(corpus, kPipelined, {}, stop_at_call));
  }
}

TEST(TrainPipeline, TrainingOnItsOwnMergeLogReadsInStep) {
  // The merge log grows while a chunk learns; the next chunk must see what
  // the plain path sees, not what the helper's timing happened to catch.
  // Every chunk appends at least a separator, so such a call reads on for
  // ever: an interrupt before the sixth chunk ends it.
  stop_at = 6;
  const Outcome plain =
      train_with(sample(12'000), kPlain, {}, stop_at_call, "log.txt");
  EXPECT_EQ(plain.failure, "interrupted");
  stop_at = 6;
  expect_same(plain, train_with(sample(12'000), kPipelined, {}, stop_at_call,
                                "log.txt"));
}

TEST(TrainPipeline, PreparedAndCommittedChunksMatchPretokenize) {
  const std::string text = sample(200'000);
  model::Data plain;
  write_reserved_entries(plain);
  model::Data staged = plain;
  for (std::size_t at = 0; at < text.size(); at += 7'919) {
    const std::string_view chunk = std::string_view(text).substr(at, 7'919);
    PreparedChunk prepared = prepare_chunk(staged.unicode_lookup, chunk);
    EXPECT_EQ(commit_chunk(staged, std::move(prepared)),
              pretokenize_chunk(plain, chunk));
  }
  EXPECT_EQ(model::encode_model(staged), model::encode_model(plain));
}

// Appends one cluster, chosen by `step`: a CJK ideograph (3 bytes), or an
// Arabic letter with two marks (6 bytes, the lookup cache's largest) or
// with four (10 bytes, past it).
void append_cluster(std::string& out, std::uint32_t step) {
  if (step % 3 != 0) {
    text::append_code_point(out, 0x4E00 + step);
    return;
  }
  text::append_code_point(out, 0x0628 + step % 20);
  text::append_code_point(out, 0x064B + step / 20 % 5);
  text::append_code_point(out, 0x0651);
  if (step % 2 == 0) {
    text::append_code_point(out, 0x064E);
    text::append_code_point(out, 0x0652);
  }
}

TEST(TrainPipeline, ManyDistinctClustersPrepareAsTheyPretokenize) {
  // Far more distinct clusters than the lookup cache has entries, so known
  // and new clusters evict each other, and some are found again in it at
  // once. The model knows a third of them beforehand.
  std::string known;
  for (std::uint32_t step = 0; step < 9'000; step += 3) {
    append_cluster(known, step);
  }
  std::string text;
  for (std::uint32_t round = 0; round < 3; ++round) {
    for (std::uint32_t k = 0; k < 9'000; ++k) {
      const std::uint32_t step = (k * 7'919 + round * 104'729) % 9'000;
      append_cluster(text, step);
      if (step % 4 == 0) append_cluster(text, step);
    }
  }
  model::Data plain;
  write_reserved_entries(plain);
  pretokenize_chunk(plain, known);
  const std::size_t known_clusters = plain.unicode_lookup.size();
  model::Data staged = plain;
  EXPECT_EQ(commit_chunk(staged, prepare_chunk(staged.unicode_lookup, text)),
            pretokenize_chunk(plain, text));
  EXPECT_EQ(model::encode_model(staged), model::encode_model(plain));
  EXPECT_GT(plain.unicode_lookup.size(), known_clusters + 5'000);
}

TEST(TrainPipeline, PiecesOfALargeChunkMatchPretokenize) {
  // Several pieces; new clusters in every piece and some only in the last;
  // one piece with a marker and an ill-formed byte, so that it is decoded
  // and segmented from a copy while the others are segmented in place.
  const std::string text =
      sample(300'000) + "\nLatin late\n" + sample(700'000).substr(300'000) +
      "\n<|im_start|>x\xC3\n" + sample(1'200'000).substr(700'000) + "\nZ\n";
  for (const std::size_t ids_used : {std::size_t{1}, std::size_t{65'480}}) {
    SCOPED_TRACE(ids_used);
    model::Data plain = nearly_full(ids_used);
    model::Data pieces = plain;
    // Returns the failure of `pretokenize` on `data`, keeping its ids.
    const auto failure_of = [&](auto pretokenize, model::Data& data,
                                std::vector<model::TokenId>& ids) {
      try {
        ids = pretokenize(data, text);
      } catch (const Panic& failure) {
        return failure.message();
      }
      return std::string("none");
    };
    std::vector<model::TokenId> expected;
    std::vector<model::TokenId> got;
    const std::string plain_failure =
        failure_of(pretokenize_chunk, plain, expected);
    const std::string pieces_failure = failure_of(
        [](model::Data& data, std::string_view chunk) {
          return pretokenize_chunk_in_pieces(data, chunk);
        },
        pieces, got);
    EXPECT_EQ(pieces_failure, plain_failure);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(model::encode_model(pieces), model::encode_model(plain));
  }
}

TEST(ChunkReadAhead, HandsBackChunksEnginesAndTheEnd) {
  ScopedTempDir dir;
  // Two chunks: the second has clusters the first did not.
  write_file("corpus.txt",
             "abcab"
             "abxyz");
  ChunkReader reader("corpus.txt", 5);
  ASSERT_TRUE(reader.regular_file());
  model::Data data;
  write_reserved_entries(data);
  commit_chunk(data, prepare_chunk(data.unicode_lookup, reader.next()));

  ChunkReadAhead ahead;
  ahead.start(reader, data.unicode_lookup, true);
  ReadAheadResult next = ahead.take();
  EXPECT_EQ(next.error, 0);
  EXPECT_FALSE(next.end);
  EXPECT_EQ(next.chunk.new_clusters, (std::vector<std::string>{"x", "y", "z"}));
  // The new clusters stand as placeholders above the chunk's known ids
  // until they get their ids.
  ASSERT_TRUE(next.engine);
  EXPECT_EQ(next.first_placeholder, 3);
  std::span<const model::TokenId> ids = next.engine->ids();
  EXPECT_EQ(std::vector<model::TokenId>(ids.begin(), ids.end()),
            (std::vector<model::TokenId>{1, 2, 3, 4, 5}));
  const std::vector<model::TokenId> assigned =
      commit_new_clusters(data, std::move(next.chunk.new_clusters));
  EXPECT_EQ(assigned, (std::vector<model::TokenId>{4, 5, 6}));
  next.engine->replace_placeholders(next.first_placeholder, assigned);
  ids = next.engine->ids();
  EXPECT_EQ(std::vector<model::TokenId>(ids.begin(), ids.end()),
            (std::vector<model::TokenId>{1, 2, 4, 5, 6}));

  ahead.start(reader, data.unicode_lookup, true);
  EXPECT_TRUE(ahead.take().end);

  // A chunk of known clusters comes with its engine built.
  ChunkReader again("corpus.txt", 5);
  ahead.start(again, data.unicode_lookup, true);
  next = ahead.take();
  ASSERT_TRUE(next.engine);
  ids = next.engine->ids();
  EXPECT_EQ(std::vector<model::TokenId>(ids.begin(), ids.end()),
            (std::vector<model::TokenId>{1, 2, 3, 1, 2}));
}

TEST(ChunkReadAhead, KnownMergesHeadThenTheRestEqualsTheWholePass) {
  ScopedTempDir dir;
  const std::string text = sample(120'000);
  write_file("corpus.txt", text);
  // A model trained on the first half; the second half has no new cluster
  // once the whole text's clusters are in.
  model::Data data;
  write_reserved_entries(data);
  pretokenize_chunk(data, text);
  {
    write_file("first.txt", text.substr(0, 60'000));
    StringConsole console;
    train(data, "first.txt", false, "train.log", console, kPlain);
  }
  const model::Merges known = data.merges;
  // However long the helper runs before take() stops it (here: all the way,
  // or not at all), its head and the rest give the whole pass.
  for (const bool to_the_end : {false, true}) {
    SCOPED_TRACE(to_the_end);
    ChunkReader reader("corpus.txt", 60'000);
    reader.next();
    ChunkReadAhead ahead;
    const std::ptrdiff_t threads = thread_count();
    ahead.start(reader, data.unicode_lookup, true, &known);
    if (to_the_end) {
      // The helper ends on its own once the known head is applied; a
      // generous limit only keeps a broken helper from hanging the test.
      const auto deadline =
          std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (thread_count() > threads &&
             std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      ASSERT_EQ(thread_count(), threads);
    }
    ReadAheadResult next = ahead.take();
    ASSERT_TRUE(next.engine);
    // A chunk of the same text meets known merges first.
    if (to_the_end) {
      EXPECT_FALSE(next.known_lines.empty());
    }
    StringConsole fast;
    fast.print(next.known_lines);
    apply_known_merges(*next.engine, data.merges, fast);

    StringConsole plain;
    const auto expected = apply_known_merges<codec::PlainMergeSequence>(
        pretokenize_chunk(data, std::string_view(text).substr(60'000)),
        data.merges, plain);
    EXPECT_EQ(fast.text(), plain.text());
    const auto ids = next.engine->ids();
    EXPECT_EQ(std::vector<model::TokenId>(ids.begin(), ids.end()), expected);
  }
}

TEST(ChunkReadAhead, FailedReadIsHandedBackNotRaised) {
  // Reading a process's memory at address 0 fails with EIO.
  ChunkReader reader("/proc/self/mem", 16);
  model::Data data;
  ChunkReadAhead ahead;
  ahead.start(reader, data.unicode_lookup, true);
  const ReadAheadResult next = ahead.take();
  EXPECT_EQ(next.error, EIO);
  EXPECT_FALSE(next.end);
}

TEST(ChunkReadAhead, UnusedHelperIsJoinedOnDestruction) {
  ScopedTempDir dir;
  write_file("corpus.txt", std::string(100'000, 'a'));
  ChunkReader reader("corpus.txt", 50'000);
  model::Data data;
  write_reserved_entries(data);
  // Never taken: the destructor waits for the helper.
  ChunkReadAhead ahead;
  ahead.start(reader, data.unicode_lookup, true);
}

}  // namespace
}  // namespace selvane::training
