#include "training/chunk_reader.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace selvane::training {

ChunkReader::ChunkReader(const std::string& path, std::size_t chunk_size)
    : file_(open_file(path, O_RDONLY, "Train File Not Existed")),
      chunk_size_(chunk_size),
      regular_file_(false),
      buffer_(std::make_unique_for_overwrite<char[]>(chunk_size)) {
  struct stat status {};
  regular_file_ = ::fstat(file_.get(), &status) == 0 && S_ISREG(status.st_mode);
}

bool ChunkReader::same_file_as(int fd) const {
  struct stat ours {};
  struct stat theirs {};
  return ::fstat(file_.get(), &ours) == 0 && ::fstat(fd, &theirs) == 0 &&
         ours.st_dev == theirs.st_dev && ours.st_ino == theirs.st_ino;
}

std::string_view ChunkReader::next() {
  int error = 0;
  const std::string_view chunk = next(error);
  if (error != 0) fail_os("To Work", error);
  return chunk;
}

std::string_view ChunkReader::next(int& error) {
  error = 0;
  const ssize_t got = read_retrying(file_.get(), buffer_.get(), chunk_size_);
  if (got < 0) {
    error = errno;
    return {};
  }
  return {buffer_.get(), static_cast<std::size_t>(got)};
}

}  // namespace selvane::training
