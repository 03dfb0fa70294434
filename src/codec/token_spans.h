#ifndef SELVANE_CODEC_TOKEN_SPANS_H_
#define SELVANE_CODEC_TOKEN_SPANS_H_

#include <cstddef>
#include <string_view>
#include <vector>

#include "codec/rank_table.h"
#include "codec/rule.h"
#include "codec/token_widths.h"
#include "model/data.h"

namespace selvane::codec {

// One token of an encoded text and the code points [start, end) of the text
// that it stands for.
struct TokenSpan {
  model::TokenId id = 0;
  std::size_t start = 0;
  std::size_t end = 0;
};

// encode_spans()
//
// Returns the tokens of the valid UTF-8 text `st` under `rule`, with the ids
// of `encode_by_rule()`, each with its span in code points: the spans are
// contiguous and cover the text. A token spans the clusters it was merged
// from, so an unknown cluster's id spans that cluster. `widths` and
// `ranks` must be those of `data`.
std::vector<TokenSpan> encode_spans(const model::Data& data,
                                    const TokenWidths& widths,
                                    const RankTable& ranks, std::string_view st,
                                    Rule rule);

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_TOKEN_SPANS_H_
