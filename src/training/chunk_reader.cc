#include "training/chunk_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/panic.h"
#include "model/os_error.h"

namespace selvane::training {

ChunkReader::ChunkReader(const std::string& path, std::size_t chunk_size)
    : file_(open_file(path, O_RDONLY, "Train File Not Existed")),
      chunk_size_(chunk_size),
      buffer_(std::make_unique_for_overwrite<char[]>(chunk_size)) {}

std::string_view ChunkReader::next() {
  ssize_t got;
  do {
    got = ::read(file_.get(), buffer_.get(), chunk_size_);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    panic(failure_message("To Work", model::describe_os_error(errno)));
  }
  return {buffer_.get(), static_cast<std::size_t>(got)};
}

}  // namespace selvane::training
