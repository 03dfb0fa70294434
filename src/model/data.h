#ifndef SELVANE_MODEL_DATA_H_
#define SELVANE_MODEL_DATA_H_

#include <string_view>
#include <unordered_map>

#include "model/lookup.h"
#include "model/token_id.h"
#include "model/unicode_lookup.h"

namespace selvane::model {

// Ordered pair of neighbouring ids -> the merged id.
using Merges = std::unordered_map<PairKey, TokenId>;

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
