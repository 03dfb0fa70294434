#include "text/utf8.h"

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

// Returns the length of the run of ASCII bytes starting at `i`.
std::size_t ascii_run(std::string_view bytes, std::size_t i) {
  std::size_t j = i;
  // Eight bytes at a time while none has its high bit set.
  while (j + 8 <= bytes.size()) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + j, sizeof word);
    if ((word & 0x8080808080808080ull) != 0) break;
    j += 8;
  }
  while (j < bytes.size() && byte_at(bytes, j) < 0x80) ++j;
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
    i += ascii_run(bytes, i);
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
    i += ascii_run(bytes, i);
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
