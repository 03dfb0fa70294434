#include "text/utf8.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace selvane::text {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The outcome of reading one sequence at a position.
struct Step {
  // Bytes consumed: the sequence when `valid`, else the maximal subpart.
  std::size_t length;
  bool valid;
  // True when the input ended inside a sequence that was valid so far.
  bool truncated;
};

std::uint8_t byte_at(std::string_view bytes, std::size_t i) {
  return static_cast<std::uint8_t>(bytes[i]);
}

// Reads the sequence starting at `i` by the table of well-formed UTF-8 byte
// sequences: the second byte's range depends on the lead byte, which is what
// rules out overlong forms, surrogates and values above U+10FFFF.
Step read_sequence(std::string_view bytes, std::size_t i) {
  // Arabic letters and marks are two-byte sequences, whose second byte has
  // the full range: settle them before the table.
  if (const std::uint8_t lead = byte_at(bytes, i);
      lead >= 0xC2 && lead <= 0xDF && i + 1 < bytes.size() &&
      (byte_at(bytes, i + 1) & 0xC0u) == 0x80u) {
    return {2, true, false};
  }
  const Utf8Lead form = utf8_lead(byte_at(bytes, i));
  if (form.length == 0) return {1, false, false};
  for (std::size_t k = 1; k < form.length; ++k) {
    if (i + k >= bytes.size()) return {k, false, true};
    const std::uint8_t next = byte_at(bytes, i + k);
    const std::uint8_t lo = k == 1 ? form.low : std::uint8_t{0x80};
    const std::uint8_t hi = k == 1 ? form.high : std::uint8_t{0xBF};
    if (next < lo || next > hi) return {k, false, false};
  }
  return {form.length, true, false};
}

// Returns how many bytes from `data` the eight-byte window there takes when
// it holds only ASCII and well-formed two-byte sequences, 8 or 9 (the last
// sequence may end one byte past the window), and 0 when it holds anything
// else. `available` (at least 8) is the number of bytes readable there.
// Arabic text is mostly such windows, so they are checked as one word
// instead of a sequence at a time.
std::size_t short_sequence_window(const std::uint8_t* data,
                                  std::size_t available) {
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  // Byte k of the window in bits 8k..8k+7.
  std::uint64_t word = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&word, data, sizeof word);
  } else {
    for (std::size_t k = 0; k < sizeof word; ++k) {
      word |= std::uint64_t{data[k]} << (8 * k);
    }
  }
  if ((word & kHigh) == 0) return 8;
  // Bits 7, 6 and 5 of each byte, each moved to bit 7.
  const std::uint64_t bit7 = word & kHigh;
  const std::uint64_t bit6 = (word << 1) & kHigh;
  const std::uint64_t bit5 = (word << 2) & kHigh;
  const std::uint64_t continuation = bit7 & ~bit6;
  const std::uint64_t two_lead = bit7 & bit6 & ~bit5;
  // C0 and C1 start overlong forms: a two-byte lead needs one of bits 1..4,
  // which the add carries into bit 7 (no byte carries into the next).
  const std::uint64_t value_bits =
      (word & 0x1E1E1E1E1E1E1E1Eull) + 0x7F7F7F7F7F7F7F7Full;
  std::uint64_t bad = bit7 & bit6 & bit5;  // E0..FF
  bad |= two_lead & ~value_bits;
  // Every continuation byte follows a two-byte lead and every two-byte lead
  // is followed by one; the last byte's lead is checked past the window.
  bad |= continuation ^ (two_lead << 8);
  if (bad != 0) return 0;
  if ((two_lead >> 63) == 0) return 8;
  if (available == 8 || (data[8] & 0xC0u) != 0x80u) return 0;
  return 9;
}

// Returns the length of the valid run of ASCII and two-byte sequences
// starting at `i`, as far as whole windows and single ASCII bytes reach.
std::size_t short_sequence_run(std::string_view bytes, std::size_t i) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  std::size_t j = i;
  while (bytes.size() - j >= 8) {
    const std::size_t taken = short_sequence_window(data + j, bytes.size() - j);
    if (taken == 0) break;
    j += taken;
  }
  while (j < bytes.size() && data[j] < 0x80) ++j;
  return j - i;
}

}  // namespace

void append_code_point(std::string& out, char32_t c) {
  if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

CodePointShape code_point_shape(std::string_view bytes) {
  CodePointShape shape;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const unsigned char* const end = p + bytes.size();
  while (p < end) {
    const char32_t c = next_valid_code_point(p);
    shape.max = c > shape.max ? c : shape.max;
    if (shape.count < CodePointShape::kHeadLength) {
      shape.head[shape.count] = static_cast<std::uint16_t>(c);
    }
    ++shape.count;
  }
  return shape;
}

std::optional<Utf8Error> validate_utf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    i += short_sequence_run(bytes, i);
    if (i >= bytes.size()) break;
    const Step step = read_sequence(bytes, i);
    if (!step.valid) {
      Utf8Error error{i, std::nullopt};
      if (!step.truncated) error.error_len = step.length;
      return error;
    }
    i += step.length;
  }
  return std::nullopt;
}

void append_utf8_lossy(std::string& out, std::string_view bytes) {
  out.reserve(out.size() + bytes.size());
  std::size_t i = 0;
  std::size_t valid_from = 0;  // Start of the valid run not yet copied.
  while (i < bytes.size()) {
    i += short_sequence_run(bytes, i);
    if (i >= bytes.size()) break;
    const Step step = read_sequence(bytes, i);
    if (step.valid) {
      i += step.length;
      continue;
    }
    out.append(bytes.data() + valid_from, i - valid_from);
    out.append(kReplacement);
    i += step.length;
    valid_from = i;
  }
  out.append(bytes.data() + valid_from, bytes.size() - valid_from);
}

std::string decode_utf8_lossy(std::string_view bytes) {
  std::string out;
  append_utf8_lossy(out, bytes);
  return out;
}

}  // namespace selvane::text
