#ifndef SELVANE_FUZZ_UTF8_CHECK_H_
#define SELVANE_FUZZ_UTF8_CHECK_H_

#include <optional>
#include <string>
#include <string_view>

#include "property.h"
#include "text/utf8.h"

namespace selvane::fuzz {

// The UTF-8 form of U+FFFD.
inline constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Returns the lossy decoding of `bytes` built from validation alone: the
// valid prefix, one U+FFFD for the ill-formed part (or for the truncated
// sequence at the end), then the same again for what follows.
inline std::string lossy_by_validation(std::string_view bytes) {
  std::string out;
  for (;;) {
    const std::optional<text::Utf8Error> error = text::validate_utf8(bytes);
    if (!error) {
      out.append(bytes);
      return out;
    }
    require(error->valid_up_to < bytes.size(),
            "an error lies inside the bytes");
    out.append(bytes.substr(0, error->valid_up_to));
    out.append(kReplacement);
    if (!error->error_len) {
      // Only the very end can be a sequence cut short.
      require(bytes.size() - error->valid_up_to <= 3,
              "a truncated sequence has at most three bytes");
      return out;
    }
    require(*error->error_len >= 1 && *error->error_len <= 3,
            "error_len is 1, 2 or 3");
    require(error->valid_up_to + *error->error_len <= bytes.size(),
            "error_len stays inside the bytes");
    bytes.remove_prefix(error->valid_up_to + *error->error_len);
  }
}

// check_utf8()
//
// Lossy decoding of `input` is valid UTF-8, leaves valid input unchanged,
// agrees with the substitution that validation implies, and appends to what
// the output already holds.
inline void check_utf8(std::string_view input) {
  const std::string lossy = text::decode_utf8_lossy(input);
  require(!text::validate_utf8(lossy), "lossy output is valid UTF-8");
  if (!text::validate_utf8(input)) {
    require(lossy == input, "valid input decodes unchanged");
  }
  require(lossy == lossy_by_validation(input),
          "lossy decoding equals the validation-guided expectation");
  std::string appended = "prefix";
  text::append_utf8_lossy(appended, input);
  require(appended == "prefix" + lossy, "append keeps what was there");
  // Splitting where validation says the valid part ends gives the same text.
  if (const auto error = text::validate_utf8(input)) {
    require(text::decode_utf8_lossy(input.substr(0, error->valid_up_to)) ==
                std::string_view(lossy).substr(0, error->valid_up_to),
            "the valid prefix decodes as itself");
  }
}

}  // namespace selvane::fuzz

#endif  // SELVANE_FUZZ_UTF8_CHECK_H_
