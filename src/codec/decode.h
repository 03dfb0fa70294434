#ifndef SELVANE_CODEC_DECODE_H_
#define SELVANE_CODEC_DECODE_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "model/data.h"

namespace selvane::codec {

// Returns the text of `ids`: their `lookup` bytes joined, then decoded as
// UTF-8 with replacement. Panics with "This should not happend" on an id that
// `lookup` does not hold.
std::string decode(const model::Data& data,
                   std::span<const model::TokenId> ids);

// The text that valid tokens decode to, before it is written: its length in
// code points and its largest code point, which fix the string's width.
struct TextShape {
  std::size_t length = 0;
  char32_t max_code_point = 0;
};

// text_shape()
//
// Returns the shape of the text of `ids`, for a `lookup` whose entries are
// all valid UTF-8 (`all_utf8()`), without joining their bytes. Panics with
// "This should not happend" on an id that `lookup` does not hold.
TextShape text_shape(const model::Data& data,
                     std::span<const model::TokenId> ids);

// write_text()
//
// Writes the code points of the text of `ids` to `out`, one unit each. `out`
// holds text_shape(data, ids).length units, wide enough for its
// max_code_point. Needs the conditions of `text_shape()`, which must have
// accepted `ids`.
void write_text(const model::Data& data, std::span<const model::TokenId> ids,
                std::span<std::uint8_t> out);
void write_text(const model::Data& data, std::span<const model::TokenId> ids,
                std::span<std::uint16_t> out);
void write_text(const model::Data& data, std::span<const model::TokenId> ids,
                std::span<std::uint32_t> out);

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_DECODE_H_
