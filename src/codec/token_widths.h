#ifndef SELVANE_CODEC_TOKEN_WIDTHS_H_
#define SELVANE_CODEC_TOKEN_WIDTHS_H_

#include <cstdint>
#include <vector>

#include "model/data.h"

namespace selvane::codec {

// TokenWidths
//
// How many base clusters each id stands for, where the model alone says so:
// a cluster id is one, and a merged id is the sum of its pair's widths. That
// holds when no id is both a cluster and a merge result, no merged id has two
// pairs and no merge is built from itself, as in every trained model; then
// `exact()` is true. Otherwise a token's width depends on how it was formed,
// and callers must track widths while merging.
class TokenWidths {
 public:
  explicit TokenWidths(const model::Data& data);

  // Returns whether `width()` holds for every id that a merge can produce.
  bool exact() const { return exact_; }

  // Returns the width of `id`: 0 for an id no text can produce, and
  // 2^32 - 1 for one wider than that (which no text can produce either).
  std::uint32_t width(model::TokenId id) const { return widths_[id]; }

 private:
  std::vector<std::uint32_t> widths_;
  bool exact_ = true;
};

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_TOKEN_WIDTHS_H_
