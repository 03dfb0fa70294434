#ifndef SELVANE_CODEC_ENCODE_H_
#define SELVANE_CODEC_ENCODE_H_

#include <string_view>
#include <vector>

#include "model/data.h"

namespace selvane::codec {

// Returns the token ids of the UTF-8 text `st`: its grapheme clusters mapped
// through `unicode_lookup`, then merged by the text's own most frequent pairs
// for as long as `merges` holds the most frequent one.
std::vector<model::TokenId> encode(const model::Data& data,
                                   std::string_view st);

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_ENCODE_H_
