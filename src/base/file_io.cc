#include "base/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "base/os_error.h"
#include "base/panic.h"

namespace selvane {
namespace {

// The buffer size when a file's size is unknown, and the least room added
// each time the buffer fills up.
constexpr std::size_t kMinReadRoom = 64 * 1024;

// Tells temporary files of one process apart, so that a leftover of an
// earlier save never blocks the next one.
unsigned temp_file_counter = 0;

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

void UniqueFd::reset() {
  // A failing close of a descriptor given up here loses nothing the caller
  // could act on, and retrying it after EINTR could close a descriptor
  // reused meanwhile.
  if (fd_ >= 0) ::close(release());
}

int UniqueFd::close() {
  if (fd_ < 0) return 0;
  // Linux releases the descriptor even when close reports an error, so it
  // is never retried.
  return ::close(release()) == 0 ? 0 : errno;
}

std::string failure_message(std::string_view prefix,
                            std::string_view description) {
  std::string message(prefix);
  message += ": ";
  message += description;
  return message;
}

void fail(std::string_view prefix, std::string_view description) {
  panic(failure_message(prefix, description));
}

void fail_os(std::string_view prefix, int code) {
  fail(prefix, describe_os_error(code));
}

void check_path(std::string_view path, std::string_view prefix) {
  if (path.find('\0') != std::string_view::npos) {
    fail(prefix, kNulInPathDescription);
  }
}

int open_retrying(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, kCreateMode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

UniqueFd open_file(const std::string& path, int flags,
                   std::string_view prefix) {
  check_path(path, prefix);
  const int fd = open_retrying(path, flags);
  if (fd < 0) fail_os(prefix, errno);
  return UniqueFd(fd);
}

std::string read_all(int fd, std::string_view prefix) {
  // The size from fstat only sizes the buffer: the loop reads until a read
  // returns 0, so a file that grows or lies about its size (as /proc files
  // do) is still read whole.
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
      fail_os(prefix, errno);
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  buffer.resize(filled);
  return buffer;
}

std::string try_write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return describe_os_error(errno);
    }
    if (written == 0) return std::string(kWriteZeroDescription);
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

void write_all(int fd, std::string_view bytes, std::string_view prefix) {
  const std::string error = try_write_all(fd, bytes);
  if (!error.empty()) fail(prefix, error);
}

void replace_file(const std::string& path, std::string_view bytes,
                  std::string_view prefix) {
  check_path(path, prefix);
  // The temporary name extends `path`, so it lies in the same directory and
  // the rename below never crosses a file system.
  const std::string stem = path + ".tmp-" + std::to_string(::getpid()) + "-";
  std::string temp_path;
  UniqueFd file;
  for (;;) {
    temp_path = stem + std::to_string(temp_file_counter++);
    // O_EXCL: never write into a file that someone else may hold.
    const int fd = open_retrying(temp_path, O_WRONLY | O_CREAT | O_EXCL);
    if (fd >= 0) {
      file = UniqueFd(fd);
      break;
    }
    if (errno != EEXIST) fail_os(prefix, errno);
  }
  std::string error = try_write_all(file.get(), bytes);
  // The bytes must be on disk before the rename makes them the file, or a
  // crash right after it could leave an empty file in place of the old one.
  if (error.empty()) {
    int synced;
    do {
      synced = ::fsync(file.get());
    } while (synced != 0 && errno == EINTR);
    if (synced != 0) error = describe_os_error(errno);
  }
  if (const int close_error = file.close(); error.empty() && close_error) {
    error = describe_os_error(close_error);
  }
  if (error.empty() && std::rename(temp_path.c_str(), path.c_str()) != 0) {
    error = describe_os_error(errno);
  }
  if (!error.empty()) {
    ::unlink(temp_path.c_str());
    fail(prefix, error);
  }
}

}  // namespace selvane
