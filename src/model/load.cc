#include "model/load.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "base/file_io.h"
#include "model/model_file.h"

namespace selvane::model {
namespace {

constexpr std::string_view kPrefix = "Should work";

// An open model file as the decoder's source: read as the decoder asks, so
// that an endless or huge file costs no more than the model it starts with.
class FileSource final : public ByteSource {
 public:
  explicit FileSource(int fd) : fd_(fd) {
    // Only a regular file's size is worth anything, and only for pre-sizing:
    // the decoder still stops at the data's real end.
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
      expected_ = static_cast<std::size_t>(info.st_size);
    }
  }

  std::size_t read(char* out, std::size_t size) override {
    const ssize_t got = read_retrying(fd_, out, size);
    if (got < 0) fail_os(kPrefix, errno);
    consumed_ += static_cast<std::size_t>(got);
    return static_cast<std::size_t>(got);
  }

  std::size_t size_hint() const override {
    if (expected_ == SIZE_MAX) return SIZE_MAX;
    return expected_ > consumed_ ? expected_ - consumed_ : 0;
  }

 private:
  int fd_;
  std::size_t expected_ = SIZE_MAX;
  std::size_t consumed_ = 0;
};

}  // namespace

Data load_from_file(std::string_view filename) {
  check_path(filename, kPrefix);
  const UniqueFd file = open_file(std::string(filename), O_RDONLY, kPrefix);
  FileSource source(file.get());
  try {
    return decode_model(source);
  } catch (const ModelFileError& error) {
    fail(kPrefix, error.description());
  }
}

}  // namespace selvane::model
