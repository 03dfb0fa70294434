#ifndef SELVANE_TRAINING_PRETOKENIZE_H_
#define SELVANE_TRAINING_PRETOKENIZE_H_

#include <string>
#include <string_view>
#include <vector>

#include "model/data.h"

namespace selvane::training {

// Returns `text` with every "<|im_start|>" and then every "<|im_end|>"
// replaced by "^", each scanned left to right without overlap.
std::string replace_markers(std::string text);

// pretokenize_chunk()
//
// Returns the id sequence of one chunk: its bytes decoded as UTF-8 with
// U+FFFD for ill-formed parts, the markers replaced, and one id per extended
// grapheme cluster. A cluster new to `data` takes a new id, entered into
// `unicode_lookup` and then `lookup`.
std::vector<model::TokenId> pretokenize_chunk(model::Data& data,
                                              std::string_view chunk);

}  // namespace selvane::training

#endif  // SELVANE_TRAINING_PRETOKENIZE_H_
