#include "training/chunk_reader.h"

#include <fcntl.h>

#include <cerrno>

namespace selvane::training {

ChunkReader::ChunkReader(const std::string& path, std::size_t chunk_size)
    : file_(open_file(path, O_RDONLY, "Train File Not Existed")),
      chunk_size_(chunk_size),
      buffer_(std::make_unique_for_overwrite<char[]>(chunk_size)) {}

std::string_view ChunkReader::next() {
  const ssize_t got = read_retrying(file_.get(), buffer_.get(), chunk_size_);
  if (got < 0) fail_os("To Work", errno);
  return {buffer_.get(), static_cast<std::size_t>(got)};
}

}  // namespace selvane::training
