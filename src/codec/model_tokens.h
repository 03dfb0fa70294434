#ifndef SELVANE_CODEC_MODEL_TOKENS_H_
#define SELVANE_CODEC_MODEL_TOKENS_H_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "model/data.h"

namespace selvane::codec {

// The number of byte-fallback tokens: one per byte value.
inline constexpr std::size_t kByteTokenCount = 256;

// A token that no cluster or merge produces and whose bytes are text: it is
// only ever emitted where a caller asks for it by name.
struct SpecialToken {
  std::string text;
  model::TokenId id = 0;

  bool operator==(const SpecialToken&) const = default;
};

// ModelTokens
//
// What a model's ids are for, beyond its clusters and merges, worked out once
// per model. An id that is neither a value of `unicode_lookup` nor a merged
// id is one of two kinds:
// - a byte token: the model has byte fallback when it holds 256 consecutive
//   such ids b, ..., b + 255 whose bytes are exactly the single bytes 0x00,
//   ..., 0xFF in that order (the lowest b when there are several runs);
// - a special token: any other such id but 0 whose bytes are non-empty valid
//   UTF-8.
struct ModelTokens {
  explicit ModelTokens(const model::Data& data);

  // The id of unknown clusters (the value of "oov"), if the model has one.
  std::optional<model::TokenId> oov;
  // Whether the oov id stands for unknown clusters only: no known cluster
  // has it and no merge takes or gives it. Then the oov ids left after
  // merging are the text's unknown clusters one for one, in order.
  bool oov_stands_alone = true;
  // The first of the 256 byte tokens, when the model has byte fallback.
  std::optional<model::TokenId> byte_base;
  // The special tokens in ascending id order; of several ids with the same
  // text only the lowest is one.
  std::vector<SpecialToken> specials;

  // Returns the special token `id`, or nullptr when it is not one.
  const SpecialToken* special(model::TokenId id) const;
};

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_MODEL_TOKENS_H_
