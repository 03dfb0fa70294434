#ifndef SELVANE_TESTS_CPP_SCOPED_TEMP_DIR_H_
#define SELVANE_TESTS_CPP_SCOPED_TEMP_DIR_H_

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace selvane::testing {

// ScopedTempDir
//
// A fresh directory that becomes the current directory for the lifetime of
// the object, for code that writes fixed file names such as "tokenizer". Each
// test case runs in a process of its own, so changing directory is safe.
class ScopedTempDir {
 public:
  ScopedTempDir() : previous_(std::filesystem::current_path()) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "selvane-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
    std::filesystem::current_path(path_);
  }
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;
  ~ScopedTempDir() {
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  // Returns the directory.
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path previous_;
  std::filesystem::path path_;
};

// Returns the whole content of the file at `path`.
inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Replaces the file at `path` with `bytes`.
inline void write_file(const std::filesystem::path& path,
                       const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Makes at `path` a character device that, like the system's "full" device,
// accepts opens and fails every write with ENOSPC, so that tests never write
// to a real device. Returns false where the process may not make devices.
inline bool make_full_device(const std::filesystem::path& path) {
  return ::mknod(path.c_str(), S_IFCHR | 0600, makedev(1, 7)) == 0;
}

}  // namespace selvane::testing

#endif  // SELVANE_TESTS_CPP_SCOPED_TEMP_DIR_H_
