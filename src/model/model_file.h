#ifndef SELVANE_MODEL_MODEL_FILE_H_
#define SELVANE_MODEL_MODEL_FILE_H_

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

}  // namespace selvane::model

#endif  // SELVANE_MODEL_MODEL_FILE_H_
