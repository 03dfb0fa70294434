#ifndef SELVANE_TRAINING_CHUNK_READER_H_
#define SELVANE_TRAINING_CHUNK_READER_H_

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "base/file_io.h"

namespace selvane::training {

// The most bytes one chunk of a training file holds (not 3 MiB).
inline constexpr std::size_t kChunkSize = 3'067'833;

// ChunkReader
//
// Reads a training file chunk by chunk into one buffer, allocated once.
class ChunkReader {
 public:
  // Opens `path` for reading and allocates the buffer of `chunk_size` bytes.
  // Panics with "Train File Not Existed: " and the error's description when
  // the file cannot be opened, whatever the reason.
  explicit ChunkReader(const std::string& path,
                       std::size_t chunk_size = kChunkSize);

  // Returns the bytes of one read call, which is not repeated after a short
  // read: whatever it delivers is the chunk. Empty at the end of the file.
  // The view stays valid until the next call. Panics with "To Work: " and
  // the error's description when the read fails.
  std::string_view next();

  // Same as `next()`, but a failed read sets `error` to its error number and
  // returns an empty view instead of panicking, so that a helper thread can
  // leave the report to the calling one.
  std::string_view next(int& error);

  // Returns whether the file is a regular file: a read of it returns at once
  // and may be made ahead of time, where a pipe's may wait for its writer.
  bool regular_file() const { return regular_file_; }

  // Returns whether the open descriptor `fd` refers to the file being read
  // (same device and inode).
  bool same_file_as(int fd) const;

 private:
  UniqueFd file_;
  std::size_t chunk_size_;
  bool regular_file_;
  std::unique_ptr<char[]> buffer_;
};

}  // namespace selvane::training

#endif  // SELVANE_TRAINING_CHUNK_READER_H_
