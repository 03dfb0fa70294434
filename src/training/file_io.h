#ifndef SELVANE_TRAINING_FILE_IO_H_
#define SELVANE_TRAINING_FILE_IO_H_

#include <string>
#include <string_view>

namespace selvane::training {

// UniqueFd
//
// Owns one open file descriptor and closes it when destroyed, so that every
// file of a training call is closed on failure too.
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

// Returns `prefix`, a colon, a blank and `description`: the shape of every
// failure message of a file operation.
std::string failure_message(std::string_view prefix,
                            std::string_view description);

// Opens `path` with `flags` (plus close-on-exec) and permission bits 0o666
// for a created file, repeating the call when a signal interrupts it. Panics
// with "`prefix`: " and the error's description on failure, and without any
// system call when `path` holds a NUL byte.
UniqueFd open_file(const std::string& path, int flags, std::string_view prefix);

// Writes every byte of `bytes` to `fd`, with further calls for partial writes
// and for interrupted ones. Panics with "`prefix`: " and the description of
// the error, or of a write that transferred nothing.
void write_all(int fd, std::string_view bytes, std::string_view prefix);

// Replaces the file at `path` by one holding exactly `bytes`: they go to a
// new temporary file beside it, which is renamed over `path` once complete.
// On failure the temporary file is removed, `path` is left as it was, and the
// call panics with "`prefix`: " and the error's description.
void replace_file(const std::string& path, std::string_view bytes,
                  std::string_view prefix);

}  // namespace selvane::training

#endif  // SELVANE_TRAINING_FILE_IO_H_
