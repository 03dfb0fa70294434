#include "base/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/interrupt.h"
#include "base/os_error.h"
#include "base/panic.h"

namespace selvane {
namespace {

// Tells temporary names of one process apart, so that a leftover of an
// earlier save never blocks the next one.
unsigned temp_file_counter = 0;

// The most symbolic links followed to find the file a save replaces, as the
// kernel's own limit for a path.
constexpr int kMaxSymlinkHops = 40;

// Above the largest process id Linux hands out (2^22).
constexpr long kMaxPid = 1L << 22;

// Returns `fd` itself, or a copy of it at 3 or above when it took one of the
// standard streams' numbers (-1 with errno set if that fails). With
// descriptor 1 closed, a file opened here would otherwise receive every
// console line, and with 2 closed every panic report.
int off_standard_streams(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int saved_errno = errno;
  ::close(fd);
  errno = saved_errno;
  return moved;
}

// The result of a system call that a signal interrupted is no answer: the
// host's handlers run (and may end the call), then the call is repeated.
bool interrupted(long result) {
  if (result >= 0 || errno != EINTR) return false;
  check_interrupts();
  return true;
}

// Writes every byte of `bytes` to `fd`; returns the description of the
// failure, or an empty string. With `interruptible`, a write that a signal
// interrupts first runs the host's handlers, which may end the call; without
// it (destructors, panic reports, which must not throw) it is simply
// repeated.
std::string write_all_or_describe(int fd, std::string_view bytes,
                                  bool interruptible) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) {
      if (interruptible) check_interrupts();
      continue;
    }
    if (written < 0) return describe_os_error(errno);
    if (written == 0) return std::string(kWriteZeroDescription);
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

// A named temporary file, removed when the save does not get as far as
// renaming it, whether it fails or an interrupt unwinds it.
class TempName {
 public:
  TempName() = default;
  TempName(const TempName&) = delete;
  TempName& operator=(const TempName&) = delete;
  ~TempName() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  void set(std::string path) { path_ = std::move(path); }
  const std::string& path() const { return path_; }
  // The file has its final name: nothing to remove any more.
  void release() { path_.clear(); }

 private:
  std::string path_;
};

// Returns the path of the file that `path` finally names: symbolic links of
// the last component are followed, relative ones from the link's directory,
// so that a save replaces the target and the link stays a link. A path that
// names nothing (a dangling link's target included) is returned as it is,
// to be created there.
std::string final_target(std::string path, std::string_view prefix) {
  for (int hop = 0; hop < kMaxSymlinkHops; ++hop) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      return path;
    }
    std::string link(static_cast<std::size_t>(info.st_size) + 1, '\0');
    const ssize_t length = ::readlink(path.c_str(), link.data(), link.size());
    // A link that changed meanwhile is taken as the path itself; the
    // operations below then report what they find.
    if (length <= 0 || static_cast<std::size_t>(length) >= link.size()) {
      return path;
    }
    link.resize(static_cast<std::size_t>(length));
    const std::size_t slash = path.rfind('/');
    if (link.front() != '/' && slash != std::string::npos) {
      link.insert(0, path, 0, slash + 1);
    }
    path = std::move(link);
  }
  fail_os(prefix, ELOOP);
}

// Returns the directory that holds `path`, where its replacement is made.
std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Returns the part of `path` after its last slash.
std::string_view base_name(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Removes the temporary names `<base>.tmp-<pid>-<n>` in `directory` whose
// process is gone. An unnamed file has a name only between its link and its
// rename, a moment that a kill can still hit; the next save clears it. A
// name whose process is alive, or cannot be judged, is left alone.
void remove_stale_temp_names(const std::string& directory,
                             std::string_view base) {
  const int fd = open_retrying(directory, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  DIR* listing = ::fdopendir(fd);
  if (listing == nullptr) {
    ::close(fd);
    return;
  }
  const std::string prefix = std::string(base) + ".tmp-";
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (!name.starts_with(prefix)) continue;
    long pid = 0;
    std::size_t at = prefix.size();
    for (; at < name.size() && name[at] >= '0' && name[at] <= '9'; ++at) {
      pid = pid * 10 + (name[at] - '0');
      if (pid > kMaxPid) break;
    }
    if (at == prefix.size() || at >= name.size() || name[at] != '-' ||
        pid > kMaxPid) {
      continue;
    }
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    ::unlinkat(::dirfd(listing), entry->d_name, 0);
  }
  ::closedir(listing);
}

// Writes `bytes` to `path` in place, truncating it: the way left when the
// directory takes no new file although the file itself may be written.
void write_in_place(const std::string& path, std::string_view bytes,
                    std::string_view prefix) {
  const UniqueFd file = open_file(path, O_WRONLY | O_CREAT | O_TRUNC, prefix);
  write_all(file.get(), bytes, prefix);
}

// Returns the description of the failure of writing `bytes` to `fd` and
// flushing them to disk, or an empty string.
std::string write_and_sync(int fd, std::string_view bytes) {
  std::string error = write_all_or_describe(fd, bytes, true);
  // The bytes must be on disk before a link or rename makes them the file,
  // or a crash right after it could leave an empty file in place of the old
  // one.
  if (error.empty()) {
    int synced;
    do {
      synced = ::fsync(fd);
    } while (interrupted(synced));
    if (synced != 0) error = describe_os_error(errno);
  }
  return error;
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
  } while (interrupted(fd));
  return off_standard_streams(fd);
}

UniqueFd open_file(const std::string& path, int flags,
                   std::string_view prefix) {
  check_path(path, prefix);
  const int fd = open_retrying(path, flags);
  if (fd < 0) fail_os(prefix, errno);
  return UniqueFd(fd);
}

std::string try_write_all(int fd, std::string_view bytes) {
  return write_all_or_describe(fd, bytes, false);
}

void write_all(int fd, std::string_view bytes, std::string_view prefix) {
  const std::string error = write_all_or_describe(fd, bytes, true);
  if (!error.empty()) fail(prefix, error);
}

ssize_t read_retrying(int fd, char* out, std::size_t size) {
  ssize_t got;
  do {
    got = ::read(fd, out, size);
  } while (interrupted(got));
  return got;
}

void replace_file(const std::string& path, std::string_view bytes,
                  std::string_view prefix) {
  check_path(path, prefix);
  const std::string target = final_target(path, prefix);
  // The replacement takes over what the user set on the old file, and is
  // refused where writing the old file in place would be.
  struct stat old {};
  const bool exists = ::stat(target.c_str(), &old) == 0;
  if (exists && !S_ISREG(old.st_mode)) {
    // Only a regular file is replaced. A device reached through a link
    // (/dev/null) must never be renamed over, and a directory gives the
    // error of writing it.
    write_in_place(target, bytes, prefix);
    return;
  }
  if (exists) {
    const UniqueFd probe(open_retrying(target, O_WRONLY));
    if (probe.get() < 0) fail_os(prefix, errno);
  }

  // An unnamed file gets a name only once complete, so a process killed
  // while writing it leaves nothing behind. Where the file system has no
  // unnamed files, a named one beside the target stands in.
  const std::string directory = directory_of(target);
  remove_stale_temp_names(directory, base_name(target));
  TempName temp;
  UniqueFd file(open_retrying(directory, O_WRONLY | O_TMPFILE));
  const bool unnamed = file.get() >= 0;
  if (!unnamed) {
    if (errno == EACCES || errno == EPERM) {
      // The directory takes no new file; the file itself may still be
      // writable, as a save in place needs.
      write_in_place(target, bytes, prefix);
      return;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      fail_os(prefix, errno);
    }
  }
  // The name extends the target's, so it lies in the same directory and the
  // rename below never crosses a file system.
  const std::string stem = target + ".tmp-" + std::to_string(::getpid()) + "-";
  while (!unnamed) {
    temp.set(stem + std::to_string(temp_file_counter++));
    // O_EXCL: never write into a file that someone else may hold.
    file = UniqueFd(open_retrying(temp.path(), O_WRONLY | O_CREAT | O_EXCL));
    if (file.get() >= 0) break;
    temp.release();
    if (errno != EEXIST) fail_os(prefix, errno);
  }

  if (exists) {
    // The owner first: changing it may clear the set-id bits that the mode
    // then restores. Only a privileged process may give a file away, so a
    // refusal leaves the process's own ids, as a new file would have.
    if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
      static_cast<void>(::fchown(file.get(), old.st_uid, old.st_gid));
    }
    if (::fchmod(file.get(), old.st_mode & 07777) != 0) {
      fail_os(prefix, errno);
    }
  }
  std::string error = write_and_sync(file.get(), bytes);
  if (error.empty() && unnamed) {
    const std::string fd_path = "/proc/self/fd/" + std::to_string(file.get());
    for (;;) {
      temp.set(stem + std::to_string(temp_file_counter++));
      if (::linkat(AT_FDCWD, fd_path.c_str(), AT_FDCWD, temp.path().c_str(),
                   AT_SYMLINK_FOLLOW) == 0) {
        break;
      }
      const int link_error = errno;
      temp.release();
      if (link_error != EEXIST) {
        error = describe_os_error(link_error);
        break;
      }
    }
  }
  if (const int close_error = file.close(); error.empty() && close_error) {
    error = describe_os_error(close_error);
  }
  if (error.empty() && std::rename(temp.path().c_str(), target.c_str()) != 0) {
    error = describe_os_error(errno);
  }
  if (!error.empty()) fail(prefix, error);
  temp.release();
}

}  // namespace selvane
