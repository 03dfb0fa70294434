// Loading decodes while it reads: for every regular file, the model or the
// exact error text equals decoding the file's bytes held whole, shown over
// every truncation and many random mutations of real model files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <string>

#include "base/panic.h"
#include "model/load.h"
#include "model/model_file.h"
#include "scoped_temp_dir.h"
#include "testing/capture.h"
#include "training/train.h"

namespace selvane::model {
namespace {

using selvane::testing::read_file;
using selvane::testing::ScopedTempDir;
using selvane::testing::write_file;

// The outcome of decoding `bytes` held whole: the model re-encoded, or the
// message that loading them gives.
std::string whole_outcome(const std::string& bytes) {
  try {
    return encode_model(decode_model(bytes));
  } catch (const ModelFileError& error) {
    return "Should work: " + error.description();
  }
}

// The outcome of loading the file at `path` block by block.
std::string loaded_outcome(const std::string& path) {
  try {
    return encode_model(load_from_file(path));
  } catch (const Panic& panic) {
    return panic.message();
  }
}

// Sends standard error to /dev/null for its lifetime: thousands of failing
// loads would each write a panic report.
class QuietStderr {
 public:
  QuietStderr() : saved_(::dup(STDERR_FILENO)) {
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(null, STDERR_FILENO);
    ::close(null);
  }
  ~QuietStderr() {
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }

 private:
  int saved_;
};

// A model as training writes it, from the start of the bundled sample.
std::string trained_model_file() {
  std::ifstream in(SELVANE_SOURCE_DIR "/data/sample/tashkeela-msa-excerpt.txt",
                   std::ios::binary);
  std::string text(5'000, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  write_file("corpus.txt", text);
  write_file("start.model", std::string(24, '\0'));
  Data data = load_from_file("start.model");
  selvane::testing::StringConsole console;
  training::train(data, "corpus.txt", false, "train.log", console);
  return read_file("tokenizer");
}

// A model larger than several read blocks, with tokens that straddle them.
std::string large_model_file() {
  Data data;
  for (std::size_t id = 0; id < 700; ++id) {
    data.lookup.insert_or_assign(static_cast<TokenId>(id),
                                 std::string(id * 7 % 1500, 'a'));
    data.merges.emplace(pair_key(static_cast<TokenId>(id), 1),
                        static_cast<TokenId>(id + 1));
    data.unicode_lookup.emplace(std::string(id % 300 + 1, 'b'),
                                static_cast<TokenId>(id));
  }
  return encode_model(data);
}

void expect_same_outcomes(const std::string& model, std::size_t truncations,
                          std::size_t mutations) {
  const QuietStderr quiet;
  std::mt19937 rng(13);
  auto check = [](const std::string& bytes) {
    write_file("probe", bytes);
    ASSERT_EQ(loaded_outcome("probe"), whole_outcome(bytes))
        << "file of " << bytes.size() << " bytes";
  };
  // Every truncation when asked for as many as there are bytes; otherwise
  // random ones plus those around each block boundary.
  if (truncations >= model.size()) {
    for (std::size_t size = 0; size <= model.size(); ++size) {
      check(model.substr(0, size));
    }
  } else {
    for (std::size_t block = 1 << 16; block < model.size(); block += 1 << 16) {
      for (std::size_t size = block - 12; size < block + 12; ++size) {
        check(model.substr(0, size));
      }
    }
    for (std::size_t i = 0; i < truncations; ++i) {
      check(model.substr(0, rng() % model.size()));
    }
  }
  for (std::size_t i = 0; i < mutations; ++i) {
    std::string bytes = model;
    const std::size_t at = rng() % bytes.size();
    switch (rng() % 4) {
      case 0:  // a flipped byte
        bytes[at] = static_cast<char>(bytes[at] ^ (1 << (rng() % 8)));
        break;
      case 1:  // a byte set to a large value: lengths and counts run away
        bytes[at] = static_cast<char>(0xFF);
        break;
      case 2:  // a byte removed
        bytes.erase(at, 1);
        break;
      default:  // random bytes appended, after a cut
        bytes.resize(at);
        for (std::size_t j = rng() % 64; j > 0; --j) {
          bytes += static_cast<char>(rng());
        }
    }
    check(bytes);
  }
}

TEST(StreamingLoad, EveryTruncationAndMutationOfATrainedModel) {
  ScopedTempDir dir;
  const std::string model = trained_model_file();
  ASSERT_GT(model.size(), 1000u);
  expect_same_outcomes(model, model.size(), 1000);
}

TEST(StreamingLoad, TruncationsAndMutationsAcrossReadBlocks) {
  ScopedTempDir dir;
  const std::string model = large_model_file();
  ASSERT_GT(model.size(), std::size_t{4} << 16);
  expect_same_outcomes(model, 300, 300);
}

TEST(StreamingLoad, ReadsOnlyAsFarAsTheModel) {
  // A model followed by more bytes than any reader would want: the file
  // offset shows how far the load read.
  ScopedTempDir dir;
  write_file("padded", std::string(24, '\0') + std::string(10 << 20, 'x'));
  const int fd = ::open("padded", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  class Source final : public ByteSource {
   public:
    explicit Source(int file) : fd_(file) {}
    std::size_t read(char* out, std::size_t size) override {
      return static_cast<std::size_t>(::read(fd_, out, size));
    }
    std::size_t size_hint() const override { return SIZE_MAX; }

   private:
    int fd_;
  } source(fd);
  EXPECT_TRUE(decode_model(source).lookup.empty());
  EXPECT_LE(::lseek(fd, 0, SEEK_CUR), 1 << 16);
  ::close(fd);
}

}  // namespace
}  // namespace selvane::model
