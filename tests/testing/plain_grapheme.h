#ifndef SELVANE_TESTS_TESTING_PLAIN_GRAPHEME_H_
#define SELVANE_TESTS_TESTING_PLAIN_GRAPHEME_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "text/grapheme_break_tables_generated.h"

namespace selvane::text {

// PlainCodePoint
//
// One code point of a text: where it starts, how many bytes it takes, and its
// property byte.
struct PlainCodePoint {
  std::size_t offset = 0;
  std::size_t length = 0;
  std::uint8_t properties = 0;
};

// plain_code_points()
//
// Returns the code points of `text` one by one. A byte that does not start a
// well-formed sequence is a code point of its own with the property Control,
// as in the segmenter. Decodes by the arithmetic and range checks rather than
// by the lead-byte table, so that the two decoders can be compared.
inline std::vector<PlainCodePoint> plain_code_points(std::string_view text) {
  std::vector<PlainCodePoint> points;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<std::uint8_t>(text[i]);
    std::size_t length = 1;
    char32_t value = lead;
    bool valid = lead < 0x80;
    if (lead >= 0xC0 && lead < 0xF8) {
      length = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
      value = lead & (0x7Fu >> length);
      valid = i + length <= text.size();
      for (std::size_t k = 1; valid && k < length; ++k) {
        const auto byte = static_cast<std::uint8_t>(text[i + k]);
        valid = (byte & 0xC0) == 0x80;
        value = (value << 6) | (byte & 0x3Fu);
      }
      constexpr char32_t kLowest[] = {0, 0, 0x80, 0x800, 0x10000};
      valid = valid && value >= kLowest[length] && value <= 0x10FFFF &&
              (value < 0xD800 || value > 0xDFFF);
    }
    if (!valid) {
      length = 1;
      points.push_back(
          {i, 1, static_cast<std::uint8_t>(GraphemeBreak::kControl)});
    } else {
      points.push_back({i, length, grapheme_properties(value)});
    }
    i += length;
  }
  return points;
}

// plain_grapheme_breaks()
//
// Returns the end offset of each extended grapheme cluster of `text`,
// deciding each boundary from the code points on both sides and looking back
// as far as the rule needs. This is the obvious form of the rules, kept as the
// reference that the segmenter must match; it allocates and is slow.
inline std::vector<std::size_t> plain_grapheme_breaks(std::string_view text) {
  using enum GraphemeBreak;
  const std::vector<PlainCodePoint> points = plain_code_points(text);
  const auto gcb = [&](std::size_t k) {
    return static_cast<GraphemeBreak>(points[k].properties &
                                      kGraphemeBreakMask);
  };
  const auto pictographic = [&](std::size_t k) {
    return (points[k].properties & kExtendedPictographicBit) != 0;
  };
  const auto control = [](GraphemeBreak p) {
    return p == kControl || p == kCr || p == kLf;
  };
  const auto is_break = [&](std::size_t k) {  // Between points k-1 and k.
    const GraphemeBreak left = gcb(k - 1);
    const GraphemeBreak right = gcb(k);
    if (left == kCr && right == kLf) return false;  // GB3
    if (control(left)) return true;                 // GB4
    if (control(right)) return true;                // GB5
    if (left == kL &&
        (right == kL || right == kV || right == kLv || right == kLvt)) {
      return false;  // GB6
    }
    if ((left == kLv || left == kV) && (right == kV || right == kT)) {
      return false;  // GB7
    }
    if ((left == kLvt || left == kT) && right == kT) return false;  // GB8
    if (right == kExtend || right == kZwj) return false;            // GB9
    if (right == kSpacingMark) return false;                        // GB9a
    if (left == kPrepend) return false;                             // GB9b
    if (left == kZwj && pictographic(k)) {                          // GB11
      std::size_t j = k - 1;
      while (j > 0 && gcb(j - 1) == kExtend) --j;
      if (j > 0 && pictographic(j - 1)) return false;
    }
    if (left == kRegionalIndicator && right == kRegionalIndicator) {
      std::size_t count = 0;  // GB12, GB13
      for (std::size_t j = k; j > 0 && gcb(j - 1) == kRegionalIndicator; --j) {
        ++count;
      }
      if (count % 2 == 1) return false;
    }
    return true;  // GB999
  };
  std::vector<std::size_t> ends;
  for (std::size_t k = 1; k < points.size(); ++k) {
    if (is_break(k)) ends.push_back(points[k].offset);
  }
  if (!points.empty()) ends.push_back(text.size());  // GB2
  return ends;
}

}  // namespace selvane::text

#endif  // SELVANE_TESTS_TESTING_PLAIN_GRAPHEME_H_
