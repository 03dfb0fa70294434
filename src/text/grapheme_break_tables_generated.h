// generated: edit tools/gen_grapheme_tables.py, rerun make generate; do not edit
#ifndef SELVANE_TEXT_GRAPHEME_BREAK_TABLES_GENERATED_H_
#define SELVANE_TEXT_GRAPHEME_BREAK_TABLES_GENERATED_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace selvane::text {

// Version of the Unicode data the tables come from.
inline constexpr std::string_view kUnicodeVersion = "15.0.0";

// Grapheme_Cluster_Break values, as stored in the low bits of a property byte.
enum class GraphemeBreak : std::uint8_t {
  kOther = 0,  // Other
  kCr = 1,  // CR
  kLf = 2,  // LF
  kControl = 3,  // Control
  kExtend = 4,  // Extend
  kZwj = 5,  // ZWJ
  kRegionalIndicator = 6,  // Regional_Indicator
  kPrepend = 7,  // Prepend
  kSpacingMark = 8,  // SpacingMark
  kL = 9,  // L
  kV = 10,  // V
  kT = 11,  // T
  kLv = 12,  // LV
  kLvt = 13,  // LVT
};

// Number of GraphemeBreak values.
inline constexpr std::size_t kGraphemeBreakCount = 14;

// Bits of a property byte that hold its GraphemeBreak value.
inline constexpr std::uint8_t kGraphemeBreakMask = 0x0F;

// Bit of a property byte set for Extended_Pictographic code points.
inline constexpr std::uint8_t kExtendedPictographicBit = 0x10;

// Highest code point in the tables.
inline constexpr char32_t kMaxCodePoint = 0x10FFFF;

// Page number for each 256 code points (cp >> 8).
extern const std::uint8_t kGraphemeStage1[4352];

// The 103 distinct pages of property bytes, 256 each.
extern const std::uint8_t kGraphemeStage2[26368];

// Property bytes of U+0000..U+07FF (the code points of one and two
// UTF-8 bytes), indexed by code point without the page lookup.
extern const std::uint8_t kGraphemeDirect[2048];

// Returns the property byte of `cp` (GraphemeBreak in the low bits,
// kExtendedPictographicBit); values above kMaxCodePoint read as Other.
inline std::uint8_t grapheme_properties(char32_t cp) {
  if (cp > kMaxCodePoint) return 0;
  return kGraphemeStage2[(std::size_t{kGraphemeStage1[cp >> 8]} << 8) |
                         (cp & 0xFF)];
}

}  // namespace selvane::text

#endif  // SELVANE_TEXT_GRAPHEME_BREAK_TABLES_GENERATED_H_
