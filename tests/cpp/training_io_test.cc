// Files and output streams of training: the console, the log sink, chunk
// reading and the atomic replacement of the model file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "base/file_io.h"
#include "base/os_error.h"
#include "base/panic.h"
#include "panic_message.h"
#include "scoped_temp_dir.h"
#include "training/chunk_reader.h"
#include "training/console.h"
#include "training/log_sink.h"

namespace selvane::training {
namespace {

using selvane::testing::make_full_device;
using selvane::testing::read_file;
using selvane::testing::ScopedTempDir;
using selvane::testing::write_file;

using selvane::testing::panic_message;

std::string os_failure(const std::string& prefix, int code) {
  return prefix + ": " + describe_os_error(code);
}

// Returns what can be read from `fd` right now without blocking.
std::string drain(int fd) {
  std::string out;
  char buffer[256];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got <= 0) return out;
    out.append(buffer, static_cast<std::size_t>(got));
  }
}

// ---- console --------------------------------------------------------------

TEST(FdConsole, WritesEachLineWhenItsLineFeedArrives) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_NONBLOCK), 0);
  {
    FdConsole console(ends[1]);
    console.print("Token 2 | Merge ");
    EXPECT_EQ(drain(ends[0]), "");
    console.print("(1, 1)\nJust");
    EXPECT_EQ(drain(ends[0]), "Token 2 | Merge (1, 1)\n");
    console.print(" Started\nA\nB\n");
    EXPECT_EQ(drain(ends[0]), "Just Started\nA\nB\n");
    console.print("tail");
  }
  // An unfinished line still goes out when the console ends.
  EXPECT_EQ(drain(ends[0]), "tail");
  ::close(ends[0]);
  ::close(ends[1]);
}

TEST(FdConsole, FailedWriteNamesTheStream) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ::close(ends[0]);
  ::signal(SIGPIPE, SIG_IGN);
  FdConsole console(ends[1], "stdout");
  EXPECT_EQ(panic_message([&] { console.print("Just Started\n"); }),
            "failed printing to stdout: Os { code: 32, kind: BrokenPipe, "
            "message: \"Broken pipe\" }");
  // The failed line is not written again by the next print.
  EXPECT_EQ(panic_message([&] { console.print("x\n"); }),
            os_failure("failed printing to stdout", EPIPE));
  ::close(ends[1]);
}

// ---- log sink -------------------------------------------------------------

TEST(OpenLogSink, WithoutPrintLogsTheLogsFileIsTheSink) {
  ScopedTempDir dir;
  write_file("train.log", "old content");
  {
    FileLogSink sink = open_log_sink("train.log", false);
    EXPECT_EQ(read_file("train.log"), "");
    sink.write("one\n");
    // Unbuffered: the bytes are in the file before the sink closes.
    EXPECT_EQ(read_file("train.log"), "one\n");
  }
  EXPECT_FALSE(std::filesystem::exists("log.txt"));
}

TEST(OpenLogSink, WithPrintLogsTheLogAppendsToLogTxt) {
  ScopedTempDir dir;
  write_file("log.txt", "earlier\n");
  {
    FileLogSink sink = open_log_sink("train.log", true);
    sink.write("line\n");
  }
  {
    FileLogSink sink = open_log_sink("train.log", true);
    sink.write("again\n");
  }
  EXPECT_EQ(read_file("train.log"), "Started \n ");
  EXPECT_EQ(read_file("log.txt"), "earlier\nline\nagain\n");
}

TEST(OpenLogSink, FailuresCarryTheirPrefixes) {
  ScopedTempDir dir;
  EXPECT_EQ(panic_message([] { open_log_sink("missing/train.log", false); }),
            "To Work: Os { code: 2, kind: NotFound, message: \"No such file "
            "or directory\" }");
  EXPECT_EQ(panic_message(
                [] { open_log_sink(std::string("train\0.log", 10), false); }),
            "To Work: Error { kind: InvalidInput, message: \"file name "
            "contained an unexpected NUL byte\" }");
  // A full device opens twice, then refuses the "Started" bytes.
  if (!make_full_device("full")) GTEST_SKIP() << "cannot make a device here";
  EXPECT_EQ(panic_message([] { open_log_sink("full", true); }),
            os_failure("Logs File throws an error To Work", ENOSPC));
  std::filesystem::create_directory("log.txt");
  EXPECT_EQ(panic_message([] { open_log_sink("train.log", true); }),
            os_failure("To Work", EISDIR));
  EXPECT_EQ(read_file("train.log"), "Started \n ");
}

TEST(FileLogSink, FailedWriteIsToWork) {
  ScopedTempDir dir;
  if (!make_full_device("full")) GTEST_SKIP() << "cannot make a device here";
  FileLogSink sink = open_log_sink("full", false);
  EXPECT_EQ(panic_message([&] { sink.write("\n---\n"); }),
            os_failure("To Work", ENOSPC));
}

// ---- chunk reader ---------------------------------------------------------

TEST(ChunkReader, OneReadPerChunkUntilTheEnd) {
  ScopedTempDir dir;
  write_file("small.txt", "0123456789");
  ChunkReader small("small.txt", 4);
  EXPECT_EQ(small.next(), "0123");
  EXPECT_EQ(small.next(), "4567");
  EXPECT_EQ(small.next(), "89");
  EXPECT_EQ(small.next(), "");

  // One byte more than the full buffer gives a full chunk and a 1-byte one.
  write_file("big.txt", std::string(kChunkSize, 'a') + "b");
  ChunkReader big("big.txt");
  EXPECT_EQ(big.next().size(), 3'067'833u);
  EXPECT_EQ(big.next(), "b");
  EXPECT_EQ(big.next(), "");
}

TEST(ChunkReader, FailuresCarryTheirPrefixes) {
  ScopedTempDir dir;
  EXPECT_EQ(panic_message([] { ChunkReader reader("missing.txt"); }),
            "Train File Not Existed: Os { code: 2, kind: NotFound, message: "
            "\"No such file or directory\" }");
  EXPECT_EQ(panic_message([] { ChunkReader reader(std::string("a\0b", 3)); }),
            "Train File Not Existed: Error { kind: InvalidInput, message: "
            "\"file name contained an unexpected NUL byte\" }");
  // A directory opens for reading, and the read fails.
  std::filesystem::create_directory("corpus");
  ChunkReader reader("corpus");
  EXPECT_EQ(panic_message([&] { reader.next(); }),
            os_failure("To Work", EISDIR));
}

// ---- atomic replacement ---------------------------------------------------

bool only_file_is(const std::string& name) {
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    ++files;
    if (entry.path().filename() != name) return false;
  }
  return files == 1;
}

TEST(ReplaceFile, ReplacesWholeFileWithPlainCreatePermissions) {
  ScopedTempDir dir;
  const mode_t old_mask = ::umask(022);
  replace_file("tokenizer", "first, longer content", "Should work");
  replace_file("tokenizer", "second", "Should work");
  ::umask(old_mask);
  EXPECT_EQ(read_file("tokenizer"), "second");
  EXPECT_EQ(std::filesystem::status("tokenizer").permissions(),
            std::filesystem::perms(0644));
  EXPECT_TRUE(only_file_is("tokenizer"));
}

TEST(ReplaceFile, FailedWriteKeepsTheOldFile) {
  ScopedTempDir dir;
  replace_file("tokenizer", "good model", "Should work");
  // A file size limit makes the write fail with EFBIG once SIGXFSZ no longer
  // kills the process.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 4;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string message = panic_message(
      [] { replace_file("tokenizer", "a bigger model", "Should work"); });
  ::setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_EQ(message,
            "Should work: Os { code: 27, kind: FileTooLarge, "
            "message: \"File too large\" }");
  EXPECT_EQ(read_file("tokenizer"), "good model");
  EXPECT_TRUE(only_file_is("tokenizer"));
}

TEST(ReplaceFile, FailedRenameRemovesTheTemporaryFile) {
  ScopedTempDir dir;
  std::filesystem::create_directory("tokenizer");
  write_file("tokenizer/keep", "x");
  EXPECT_EQ(
      panic_message([] { replace_file("tokenizer", "model", "Should work"); }),
      os_failure("Should work", EISDIR));
  EXPECT_TRUE(only_file_is("tokenizer"));
  EXPECT_EQ(read_file("tokenizer/keep"), "x");
}

TEST(ReplaceFile, ReplacesASymlinksTargetAndKeepsItsMode) {
  ScopedTempDir dir;
  std::filesystem::create_directory("models");
  write_file("models/mine", "old");
  std::filesystem::permissions("models/mine", std::filesystem::perms(0640));
  std::filesystem::create_symlink("models/mine", "tokenizer");
  // A relative link in another directory resolves from that directory.
  std::filesystem::create_symlink("mine", "models/current");
  std::filesystem::create_symlink("models/current", "via-two-links");
  replace_file("tokenizer", "new", "Should work");
  replace_file("via-two-links", "newer", "Should work");
  EXPECT_TRUE(std::filesystem::is_symlink("tokenizer"));
  EXPECT_EQ(read_file("models/mine"), "newer");
  EXPECT_EQ(std::filesystem::status("models/mine").permissions(),
            std::filesystem::perms(0640));
  std::size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator("models")) {
    static_cast<void>(entry);
    ++entries;
  }
  EXPECT_EQ(entries, 2u);  // "mine" and the link, no temporary file

  // A dangling link's target is created, as writing through it would.
  std::filesystem::create_symlink("models/new", "dangling");
  replace_file("dangling", "created", "Should work");
  EXPECT_EQ(read_file("models/new"), "created");
  EXPECT_TRUE(std::filesystem::is_symlink("dangling"));

  std::filesystem::create_symlink("loop-b", "loop-a");
  std::filesystem::create_symlink("loop-a", "loop-b");
  EXPECT_EQ(
      panic_message([] { replace_file("loop-a", "model", "Should work"); }),
      os_failure("Should work", ELOOP));
}

}  // namespace
}  // namespace selvane::training
