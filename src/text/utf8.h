#ifndef SELVANE_TEXT_UTF8_H_
#define SELVANE_TEXT_UTF8_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace selvane::text {

// Where a byte string stops being valid UTF-8.
struct Utf8Error {
  // Number of leading bytes that form valid UTF-8.
  std::size_t valid_up_to = 0;
  // Length (1 to 3) of the ill-formed sequence at `valid_up_to`, or nullopt
  // when the bytes end inside a sequence that is valid as far as it goes.
  std::optional<std::size_t> error_len;
};

// Returns nullopt when `bytes` is valid UTF-8, else where it first is not.
std::optional<Utf8Error> validate_utf8(std::string_view bytes);

// Appends `bytes` to `out` as UTF-8, with one U+FFFD for each maximal
// ill-formed subpart (the substitution that CPython's "replace" error handler
// performs).
void append_utf8_lossy(std::string& out, std::string_view bytes);

// Returns `bytes` as valid UTF-8, as `append_utf8_lossy` produces it.
std::string decode_utf8_lossy(std::string_view bytes);

}  // namespace selvane::text

#endif  // SELVANE_TEXT_UTF8_H_
