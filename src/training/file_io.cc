#include "training/file_io.h"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/panic.h"
#include "model/os_error.h"

namespace selvane::training {
namespace {

// Permission bits of every file that training creates, before the umask.
constexpr mode_t kCreateMode = 0666;

// Tells temporary files of one process apart, so that a leftover of an
// earlier save never blocks the next one.
unsigned temp_file_counter = 0;

bool has_nul(const std::string& path) {
  return path.find('\0') != std::string::npos;
}

// Opens `path`, repeating interrupted calls; returns -1 with errno set.
int open_retrying(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, kCreateMode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Writes all of `bytes`; returns the description of the failure, or an empty
// string once every byte is written.
std::string try_write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return model::describe_os_error(errno);
    }
    if (written == 0) return std::string(model::kWriteZeroDescription);
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

void UniqueFd::reset() {
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

UniqueFd open_file(const std::string& path, int flags,
                   std::string_view prefix) {
  if (has_nul(path)) {
    panic(failure_message(prefix, model::kNulInPathDescription));
  }
  const int fd = open_retrying(path, flags);
  if (fd < 0) panic(failure_message(prefix, model::describe_os_error(errno)));
  return UniqueFd(fd);
}

void write_all(int fd, std::string_view bytes, std::string_view prefix) {
  const std::string error = try_write_all(fd, bytes);
  if (!error.empty()) panic(failure_message(prefix, error));
}

void replace_file(const std::string& path, std::string_view bytes,
                  std::string_view prefix) {
  if (has_nul(path)) {
    panic(failure_message(prefix, model::kNulInPathDescription));
  }
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
    if (errno != EEXIST) {
      panic(failure_message(prefix, model::describe_os_error(errno)));
    }
  }
  std::string error = try_write_all(file.get(), bytes);
  // The bytes must be on disk before the rename makes them the model, or a
  // crash right after it could leave an empty file in place of the old one.
  if (error.empty()) {
    int synced;
    do {
      synced = ::fsync(file.get());
    } while (synced != 0 && errno == EINTR);
    if (synced != 0) error = model::describe_os_error(errno);
  }
  if (const int close_error = file.close(); error.empty() && close_error) {
    error = model::describe_os_error(close_error);
  }
  if (error.empty() && std::rename(temp_path.c_str(), path.c_str()) != 0) {
    error = model::describe_os_error(errno);
  }
  if (!error.empty()) {
    ::unlink(temp_path.c_str());
    panic(failure_message(prefix, error));
  }
}

}  // namespace selvane::training
