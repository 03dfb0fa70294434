#include "codec/decode.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "base/panic.h"
#include "text/utf8.h"

namespace selvane::codec {
namespace {

// Writes the code points of the valid UTF-8 `bytes` to `out` and returns
// the end of what it wrote. The bytes were validated when the entry was
// set.
template <class Unit>
Unit* transcode(std::string_view bytes, std::size_t code_points, Unit* out) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  if (code_points == bytes.size()) {
    // ASCII only: a widening copy.
    for (std::size_t i = 0; i < bytes.size(); ++i) out[i] = p[i];
    return out + bytes.size();
  }
  const unsigned char* const end = p + bytes.size();
  // The caller chose a unit wide enough for the largest code point.
  while (p < end) *out++ = static_cast<Unit>(text::next_valid_code_point(p));
  return out;
}

template <class Unit>
void write_units(const model::Data& data, std::span<const model::TokenId> ids,
                 std::span<Unit> units) {
  constexpr std::size_t kHead = text::CodePointShape::kHeadLength;
  Unit* out = units.data();
  Unit* const end = units.data() + units.size();
  for (const model::TokenId id : ids) {
    const text::CodePointShape& shape = data.lookup.shape(id);
    // Most tokens are a few code points that fit the unit, and their head
    // holds them all: written as a whole head, with no branch per code
    // point, while the units past them are still inside the string (a later
    // token or the end overwrites them). The bytes are left for the rest.
    if (shape.count <= kHead && shape.max < 0x10000 &&
        static_cast<std::size_t>(end - out) >= kHead) {
      for (std::size_t k = 0; k < kHead; ++k) {
        out[k] = static_cast<Unit>(shape.head[k]);
      }
      out += shape.count;
      continue;
    }
    // Present by text_shape(); the test only spares a null dereference.
    if (const std::string* bytes = data.lookup.find(id)) {
      out = transcode(*bytes, shape.count, out);
    }
  }
}

}  // namespace

std::string decode(const model::Data& data,
                   std::span<const model::TokenId> ids) {
  // First pass: every id must be present before anything is built, and the
  // total size lets the joined bytes be allocated once.
  std::size_t total = 0;
  for (const model::TokenId id : ids) {
    const std::string* bytes = data.lookup.find(id);
    if (bytes == nullptr) panic("This should not happend");
    total += bytes->size();
  }
  // Copying into a buffer sized up front avoids append's capacity check per
  // token, which dominates for tokens of a few bytes.
  std::string joined(total, '\0');
  char* out = joined.data();
  for (const model::TokenId id : ids) {
    // Present by the first pass; the test only spares a null dereference.
    if (const std::string* bytes = data.lookup.find(id)) {
      std::memcpy(out, bytes->data(), bytes->size());
      out += bytes->size();
    }
  }

  // Joined before decoding, so a character split over tokens comes out
  // whole. A trained model only holds valid UTF-8, and then the joined bytes
  // are already the answer: the lookup knows it from checking each entry
  // once, and otherwise checking is cheaper than copying them again.
  if (data.lookup.all_utf8() || !text::validate_utf8(joined)) return joined;
  return text::decode_utf8_lossy(joined);
}

TextShape text_shape(const model::Data& data,
                     std::span<const model::TokenId> ids) {
  TextShape shape;
  for (const model::TokenId id : ids) {
    if (!data.lookup.contains(id)) panic("This should not happend");
    const text::CodePointShape& token = data.lookup.shape(id);
    shape.length += token.count;
    shape.max_code_point = std::max(shape.max_code_point, token.max);
  }
  return shape;
}

void write_text(const model::Data& data, std::span<const model::TokenId> ids,
                std::span<std::uint8_t> out) {
  write_units(data, ids, out);
}

void write_text(const model::Data& data, std::span<const model::TokenId> ids,
                std::span<std::uint16_t> out) {
  write_units(data, ids, out);
}

void write_text(const model::Data& data, std::span<const model::TokenId> ids,
                std::span<std::uint32_t> out) {
  write_units(data, ids, out);
}

}  // namespace selvane::codec
