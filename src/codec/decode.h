#ifndef SELVANE_CODEC_DECODE_H_
#define SELVANE_CODEC_DECODE_H_

#include <span>
#include <string>

#include "model/data.h"

namespace selvane::codec {

// Returns the text of `ids`: their `lookup` bytes joined, then decoded as
// UTF-8 with replacement. Panics with "This should not happend" on an id that
// `lookup` does not hold.
std::string decode(const model::Data& data,
                   std::span<const model::TokenId> ids);

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_DECODE_H_
