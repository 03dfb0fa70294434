#ifndef SELVANE_CODEC_VOCAB_H_
#define SELVANE_CODEC_VOCAB_H_

#include <vector>

#include "model/data.h"

namespace selvane::codec {

// Returns every id that `lookup` holds, in ascending order.
std::vector<model::TokenId> vocab(const model::Data& data);

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_VOCAB_H_
