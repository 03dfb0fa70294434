#ifndef SELVANE_MODEL_DATA_H_
#define SELVANE_MODEL_DATA_H_

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "model/lookup.h"
#include "model/token_id.h"

namespace selvane::model {

// Hash for text keys that also accepts `std::string_view`, so lookups of a
// cluster need no temporary string.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const {
    return std::hash<std::string_view>{}(text);
  }
};

// Ordered pair of neighbouring ids -> the merged id.
using Merges = std::unordered_map<PairKey, TokenId>;

// Text of one grapheme cluster (or the reserved "oov") -> its id.
using UnicodeLookup =
    std::unordered_map<std::string, TokenId, TextHash, std::equal_to<>>;

// The reserved key of `unicode_lookup` whose id stands for unknown clusters.
inline constexpr std::string_view kOovKey = "oov";

// Data
//
// The tokenizer model: its three maps, in the order in which a model file
// stores them.
struct Data {
  Lookup lookup;
  Merges merges;
  UnicodeLookup unicode_lookup;
};

}  // namespace selvane::model

#endif  // SELVANE_MODEL_DATA_H_
