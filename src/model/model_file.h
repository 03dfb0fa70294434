#ifndef SELVANE_MODEL_MODEL_FILE_H_
#define SELVANE_MODEL_MODEL_FILE_H_

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "model/data.h"

namespace selvane::model {

// ModelFileError
//
// A byte buffer that does not decode as a model file. `description()` is the
// text that loading puts after "Should work: ".
class ModelFileError : public std::exception {
 public:
  explicit ModelFileError(std::string description)
      : description_(std::move(description)) {}
  const char* what() const noexcept override { return description_.c_str(); }
  // Returns the description text, for example "Io(Kind(UnexpectedEof))".
  const std::string& description() const noexcept { return description_; }

 private:
  std::string description_;
};

// The description of data that ends before a count, length, id or `lookup`
// byte string is complete.
inline constexpr std::string_view kUnexpectedEofDescription =
    "Io(Kind(UnexpectedEof))";

// The description of a `unicode_lookup` text longer than the bytes left.
inline constexpr std::string_view kShortTextDescription =
    "Io(Custom { kind: UnexpectedEof, error: \"\" })";

// The largest count or byte length a model file may hold, 2^32 - 1.
inline constexpr std::uint64_t kMaxModelFileSize = 0xFFFFFFFFu;

// ByteSource
//
// Where the decoder pulls the bytes of a model from, block by block, so that
// it reads no further than the model reaches.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `size` bytes into `out`; returns how many, 0 only at the end
  // of the data. Reports its own failures by throwing.
  virtual std::size_t read(char* out, std::size_t size) = 0;
  // Returns how many bytes are still to come, as far as known, and
  // `SIZE_MAX` when unknown. It only pre-sizes maps.
  virtual std::size_t size_hint() const = 0;
};

// encode_model()
//
// Returns the complete model file image of `data`, allocated once at its exact
// size. Entries are written in a fixed order so that equal models give equal
// bytes: `lookup` by ascending id, `merges` by ascending (merged id, first,
// second), `unicode_lookup` by ascending (id, text bytes).
std::string encode_model(const Data& data);

// decode_model()
//
// Returns the model held at the start of `bytes`; bytes after its end are
// ignored and later duplicate keys replace earlier ones. Throws
// `ModelFileError` at the first error in reading order.
Data decode_model(std::string_view bytes);

// Returns the model at the start of the bytes of `source`, exactly as
// `decode_model()` does for the same bytes, reading only as far as the model
// reaches. A failed allocation throws `AllocationFailure` saying what was
// being allocated.
Data decode_model(ByteSource& source);

}  // namespace selvane::model

#endif  // SELVANE_MODEL_MODEL_FILE_H_
