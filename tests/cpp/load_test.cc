#include "model/load.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "base/panic.h"
#include "model/model_file.h"

namespace selvane::model {
namespace {

class LoadFromFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "selvane-load-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }

  std::string write(const std::string& name, const std::string& bytes) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  // Returns the panic message of loading `path`, or "" when it loads.
  static std::string load_error(std::string_view path) {
    try {
      load_from_file(path);
      return "";
    } catch (const Panic& panic) {
      return panic.message();
    }
  }

  std::string dir_;
};

// A trained-looking model: the reserved entries plus beh and a merge.
Data small_model() {
  Data data;
  data.lookup.insert_or_assign(0, "");
  data.lookup.insert_or_assign(1, "\xD8\xA8");
  data.lookup.insert_or_assign(2, "\xD8\xA8\xD8\xA8");
  data.merges.emplace(pair_key(1, 1), TokenId{2});
  data.unicode_lookup.emplace("oov", TokenId{0});
  data.unicode_lookup.emplace("\xD8\xA8", TokenId{1});
  return data;
}

TEST_F(LoadFromFile, OperatingSystemFailures) {
  EXPECT_EQ(load_error(dir_ + "/missing"),
            "Should work: Os { code: 2, kind: NotFound, message: \"No such "
            "file or directory\" }");
  // A directory opens for reading; the read is what fails.
  EXPECT_EQ(load_error(dir_),
            "Should work: Os { code: 21, kind: IsADirectory, message: \"Is a "
            "directory\" }");
  const std::string file = write("plain", std::string(24, '\0'));
  EXPECT_EQ(load_error(file + "/below"),
            "Should work: Os { code: 20, kind: NotADirectory, message: \"Not "
            "a directory\" }");
}

TEST_F(LoadFromFile, NulInPathIsRefusedBeforeOpening) {
  // The part before the NUL names a loadable file: it must not be opened.
  const std::string file = write("model", std::string(24, '\0'));
  std::string path = file;
  path += '\0';
  path += "rest";
  EXPECT_EQ(load_error(path),
            "Should work: Error { kind: InvalidInput, message: \"file name "
            "contained an unexpected NUL byte\" }");
}

TEST_F(LoadFromFile, DecodeFailures) {
  EXPECT_EQ(load_error(write("empty", "")),
            "Should work: Io(Kind(UnexpectedEof))");
  const std::string bytes = encode_model(small_model());
  EXPECT_EQ(load_error(write("cut", bytes.substr(0, bytes.size() - 1))),
            "Should work: Io(Kind(UnexpectedEof))");
}

TEST_F(LoadFromFile, LoadsModels) {
  const Data empty = load_from_file(write("zeros", std::string(24, '\0')));
  EXPECT_TRUE(empty.lookup.empty());
  EXPECT_TRUE(empty.merges.empty());
  EXPECT_TRUE(empty.unicode_lookup.empty());

  const std::string bytes = encode_model(small_model());
  const Data plain = load_from_file(write("model", bytes));
  EXPECT_EQ(encode_model(plain), bytes);
  // Extra bytes after the model change nothing.
  const Data padded = load_from_file(write("padded", bytes + "tail\xFF"));
  EXPECT_EQ(encode_model(padded), bytes);
}

TEST_F(LoadFromFile, ReadsLargeFilesWhole) {
  // Larger than any single read buffer: the whole file must arrive.
  Data data;
  for (std::size_t id = 0; id < 3000; ++id) {
    data.lookup.insert_or_assign(static_cast<TokenId>(id),
                                 std::string(id % 1000, 'a'));
  }
  const std::string bytes = encode_model(data);
  ASSERT_GT(bytes.size(), std::size_t{1} << 20);
  EXPECT_EQ(encode_model(load_from_file(write("big", bytes))), bytes);

  // A pipe has no size to go by, so the buffer has to grow as data arrives.
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] { std::ofstream(fifo, std::ios::binary) << bytes; });
  const std::string loaded = encode_model(load_from_file(fifo));
  writer.join();
  EXPECT_EQ(loaded, bytes);
}

TEST_F(LoadFromFile, ClosesTheFileOnEveryPath) {
  const std::string good = write("good", std::string(24, '\0'));
  const std::string bad = write("bad", std::string(5, '\0'));
  const int probe_before = ::dup(0);
  ASSERT_GE(probe_before, 0);
  ::close(probe_before);
  for (int i = 0; i < 50; ++i) {
    load_from_file(good);
    EXPECT_NE(load_error(bad), "");
    EXPECT_NE(load_error(dir_), "");
  }
  // Had any descriptor leaked, the lowest free number would have moved.
  const int probe_after = ::dup(0);
  EXPECT_EQ(probe_after, probe_before);
  ::close(probe_after);
}

}  // namespace
}  // namespace selvane::model
