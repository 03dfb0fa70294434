#ifndef SELVANE_TEXT_UTF8_H_
#define SELVANE_TEXT_UTF8_H_

#include <array>
#include <cstddef>
#include <cstdint>
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

// Utf8Lead
//
// The well-formed UTF-8 sequences that a lead byte starts: their length, and
// the range of their second byte (every later byte is 80..BF). The second
// byte's range is what rules out overlong forms (E0, F0), surrogates (ED)
// and values above U+10FFFF (F4).
struct Utf8Lead {
  // 1 to 4; 0 for a byte that starts no well-formed sequence.
  std::uint8_t length = 0;
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
};

// utf8_lead()
//
// Returns the table row of `lead`.
constexpr Utf8Lead utf8_lead(std::uint8_t lead) {
  if (lead < 0x80) return {1, 0x80, 0xBF};
  if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
  if (lead >= 0xE0 && lead <= 0xEF) {
    return {3, lead == 0xE0 ? std::uint8_t{0xA0} : std::uint8_t{0x80},
            lead == 0xED ? std::uint8_t{0x9F} : std::uint8_t{0xBF}};
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    return {4, lead == 0xF0 ? std::uint8_t{0x90} : std::uint8_t{0x80},
            lead == 0xF4 ? std::uint8_t{0x8F} : std::uint8_t{0xBF}};
  }
  return {};
}

// append_code_point()
//
// Appends the UTF-8 form of the code point `c` (at most U+10FFFF) to `out`;
// a surrogate, which UTF-8 cannot encode, becomes U+FFFD.
void append_code_point(std::string& out, char32_t c);

// next_valid_code_point()
//
// Returns the code point that starts at `p` and moves `p` past it. The bytes
// must be valid UTF-8 (checked earlier), so the lead byte alone tells the
// sequence's length.
inline char32_t next_valid_code_point(const unsigned char*& p) {
  const unsigned lead = p[0];
  if (lead < 0x80u) {
    p += 1;
    return lead;
  }
  if (lead < 0xE0u) {
    const char32_t c = ((lead & 0x1Fu) << 6) | (p[1] & 0x3Fu);
    p += 2;
    return c;
  }
  if (lead < 0xF0u) {
    const char32_t c =
        ((lead & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
    p += 3;
    return c;
  }
  const char32_t c = ((lead & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) |
                     ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
  p += 4;
  return c;
}

// The code points of a valid UTF-8 string: how many, the largest (0 for the
// empty string), and the first few as 16-bit units.
struct CodePointShape {
  // The most code points that `head` holds.
  static constexpr std::size_t kHeadLength = 4;

  std::uint32_t count = 0;
  char32_t max = 0;
  // The first code points, zero after the last; each one below U+10000 is
  // exact, so the whole string is here when count <= kHeadLength and
  // max < 0x10000.
  std::array<std::uint16_t, kHeadLength> head{};
};

// Returns the shape of `bytes`, which must be valid UTF-8.
CodePointShape code_point_shape(std::string_view bytes);

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
