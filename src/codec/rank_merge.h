#ifndef SELVANE_CODEC_RANK_MERGE_H_
#define SELVANE_CODEC_RANK_MERGE_H_

#include <cstdint>
#include <vector>

#include "model/data.h"

namespace selvane::codec {

// merge_by_rank()
//
// Merges `ids` in place by rank: while some neighbouring pair has a merge,
// takes the pair whose merged id is smallest (the smaller (first, second)
// among pairs sharing a merged id, which training never writes) and rewrites
// all its occurrences leftmost first, without overlap; stops when no
// neighbouring pair has a merge. When `widths` is not null it receives, per
// final id, the number of base ids it covers. Panics when `ids` holds 2^32 - 1
// ids or more.
void merge_by_rank(const model::Merges& merges,
                   std::vector<model::TokenId>& ids,
                   std::vector<std::uint32_t>* widths = nullptr);

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_RANK_MERGE_H_
