#include "model/load.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <string>

#include "base/panic.h"
#include "model/model_file.h"
#include "model/os_error.h"

namespace selvane::model {
namespace {

constexpr std::string_view kPrefix = "Should work: ";

// The buffer size when the file's size is unknown, and the least room added
// each time the buffer fills up.
constexpr std::size_t kMinReadRoom = 64 * 1024;

[[noreturn]] void fail(std::string_view description) {
  std::string message(kPrefix);
  message += description;
  panic(std::move(message));
}

[[noreturn]] void fail_os(int code) { fail(describe_os_error(code)); }

// Owns an open descriptor, so that every way out of loading closes it.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  // A failing close of a file opened only for reading loses nothing, and
  // retrying it after EINTR could close a descriptor reused meanwhile.
  ~FileDescriptor() { ::close(fd_); }
  int get() const { return fd_; }

 private:
  int fd_;
};

int open_for_reading(const std::string& path) {
  for (;;) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return fd;
    if (errno != EINTR) fail_os(errno);
  }
}

// Reads from the current offset to end of file. The size from fstat only
// sizes the buffer: the loop reads until a read returns 0, so a file that
// grows or lies about its size (as /proc files do) is still read whole.
std::string read_all(int fd) {
  std::size_t expected = kMinReadRoom;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    // One spare byte lets the read that reports end of file succeed without
    // first growing the buffer.
    expected = static_cast<std::size_t>(info.st_size) + 1;
  }
  std::string buffer(expected, '\0');
  std::size_t filled = 0;
  for (;;) {
    if (filled == buffer.size()) {
      buffer.resize(std::max(buffer.size() * 2, filled + kMinReadRoom));
    }
    const ssize_t got =
        ::read(fd, buffer.data() + filled, buffer.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      fail_os(errno);
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  buffer.resize(filled);
  return buffer;
}

}  // namespace

Data load_from_file(std::string_view filename) {
  // No system call can take a path with a NUL in it; passing it on would
  // silently open a shorter path.
  if (filename.find('\0') != std::string_view::npos) {
    fail(kNulInPathDescription);
  }
  const std::string path(filename);
  std::string bytes;
  {
    const FileDescriptor file(open_for_reading(path));
    bytes = read_all(file.get());
  }
  try {
    return decode_model(bytes);
  } catch (const ModelFileError& error) {
    fail(error.description());
  }
}

}  // namespace selvane::model
