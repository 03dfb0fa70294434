#ifndef SELVANE_CODEC_UNIT_ENCODE_H_
#define SELVANE_CODEC_UNIT_ENCODE_H_

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "codec/encoding_model.h"
#include "codec/rule.h"
#include "codec/special_matcher.h"
#include "codec/token_spans.h"
#include "model/data.h"

namespace selvane::codec {

// How a unit of text is encoded beyond its rule.
struct UnitOptions {
  Rule rule = Rule::kFrequency;
  // The special tokens to emit where their text occurs; null for none.
  const SpecialMatcher* specials = nullptr;
  // An id to append after the unit's ids, if any.
  std::optional<model::TokenId> eos;
};

// encode_unit()
//
// Appends the ids of the UTF-8 text `text` to `ids` and returns the number of
// its clusters that the model does not know. The text is split at the
// occurrences of `options.specials`, each emitted as its id; every piece
// between them is encoded alone under `options.rule`, exactly as
// `encode_by_rule()` encodes it, except that with byte fallback each unknown
// cluster left standing after the merging becomes the ids of its UTF-8
// bytes instead of the oov id. Then `options.eos` follows.
std::uint64_t encode_unit(const EncodingModel& model, std::string_view text,
                          const UnitOptions& options,
                          std::vector<model::TokenId>& ids);

// encode_unit_spans()
//
// Appends the tokens of the valid UTF-8 text `text` with their spans in code
// points to `spans`, with the ids of `encode_unit()`, and returns its unknown
// cluster count. The spans are contiguous and cover the text: a special id
// spans its text; of the byte ids of an unknown cluster the first spans the
// cluster and the others are empty at its end; the eos id is empty at the
// end of the text.
std::uint64_t encode_unit_spans(const EncodingModel& model,
                                std::string_view text,
                                const UnitOptions& options,
                                std::vector<TokenSpan>& spans);

// The plain way of `encode_unit()` for a piece without special tokens, kept
// as the reference for tests: it expands unknown clusters by the position
// of every token, where `encode_unit()` takes a shortcut when it can.
std::uint64_t encode_piece_by_position(const EncodingModel& model,
                                       std::string_view piece, Rule rule,
                                       std::vector<model::TokenId>& ids);

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_UNIT_ENCODE_H_
