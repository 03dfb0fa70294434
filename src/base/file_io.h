#ifndef SELVANE_BASE_FILE_IO_H_
#define SELVANE_BASE_FILE_IO_H_

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace selvane {

// UniqueFd
//
// Owns one open file descriptor and closes it when destroyed, so that every
// file of a call is closed on failure too.
class UniqueFd {
 public:
  // Holds no descriptor.
  UniqueFd() = default;
  // Takes ownership of `fd`.
  explicit UniqueFd(int fd) : fd_(fd) {}
  // Takes the descriptor of `other`, which is left empty.
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  // Closes the held descriptor and takes the one of `other`.
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  // Returns the descriptor, or -1 when none is held.
  int get() const { return fd_; }

  // Gives up ownership and returns the descriptor.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

  // Closes the descriptor, if any, ignoring errors.
  void reset();

  // Closes the descriptor and returns 0, or the error number of a failed
  // close.
  int close();

 private:
  int fd_ = -1;
};

// Permission bits of every file the module creates, before the umask.
inline constexpr mode_t kCreateMode = 0666;

// Returns `prefix`, a colon, a blank and `description`: the shape of every
// failure message of a file operation.
std::string failure_message(std::string_view prefix,
                            std::string_view description);

// fail()
//
// Panics with `failure_message(prefix, description)`.
[[noreturn]] void fail(std::string_view prefix, std::string_view description);

// Panics with "`prefix`: " and the description of the error number `code`.
[[noreturn]] void fail_os(std::string_view prefix, int code);

// Panics with "`prefix`: " and the NUL-in-path description when `path` holds
// a NUL byte, which no system call can take: passing it on would silently
// name a shorter path.
void check_path(std::string_view path, std::string_view prefix);

// open_retrying()
//
// Opens `path` with `flags` plus close-on-exec and permission bits
// `kCreateMode` for a created file, repeating the call when a signal
// interrupts it (after `check_interrupts()`, which may end the call). The
// descriptor is never 0, 1 or 2, so a closed standard stream is not
// replaced by a data file. Returns the descriptor, or -1 with errno set.
int open_retrying(const std::string& path, int flags);

// Opens `path` as `open_retrying()` does. Panics with "`prefix`: " and the
// error's description on failure, and without any system call when `path`
// holds a NUL byte.
UniqueFd open_file(const std::string& path, int flags, std::string_view prefix);

// Reads up to `size` bytes of `fd` into `out` with one read call, repeated
// only when a signal interrupts it (after `check_interrupts()`). Returns what
// read returns.
ssize_t read_retrying(int fd, char* out, std::size_t size);

// try_write_all()
//
// Writes every byte of `bytes` to `fd`, with further calls for partial writes
// and for interrupted ones (without running the host's handlers, so it never
// throws: for destructors and panic reports). Returns the description of the
// failure (an error, or a write that transferred nothing), or an empty string
// once every byte is written.
std::string try_write_all(int fd, std::string_view bytes);

// Writes every byte of `bytes` as `try_write_all()` does, but an
// interrupted write first calls `check_interrupts()`. Panics with
// "`prefix`: " and the description of the failure.
void write_all(int fd, std::string_view bytes, std::string_view prefix);

// replace_file()
//
// Replaces the file that `path` names (a symbolic link's target, the link
// staying a link) by one holding exactly `bytes`. They go to an unnamed file
// in the same directory (a named one where the file system has none), which
// takes the old file's permission bits, and its owner and group where the
// process may set them, and is then linked and renamed over the old file. A
// new file gets `kCreateMode` less the umask. A file that the process may
// not write is refused as writing it in place would be; a directory that
// takes no new file gets the bytes written in place. On failure the
// temporary file is removed, the old file is left as it was, and the call
// panics with "`prefix`: " and the error's description.
void replace_file(const std::string& path, std::string_view bytes,
                  std::string_view prefix);

}  // namespace selvane

#endif  // SELVANE_BASE_FILE_IO_H_
