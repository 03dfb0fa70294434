#ifndef SELVANE_CODEC_RANK_MERGE_H_
#define SELVANE_CODEC_RANK_MERGE_H_

#include <cstdint>
#include <vector>

#include "codec/rank_table.h"
#include "model/data.h"

namespace selvane::codec {

// merge_by_rank()
//
// Merges `ids` in place by rank, with the merges of `table`: while some
// neighbouring pair has a merge, takes the pair whose merged id is smallest
// (the smaller (first, second) among pairs sharing a merged id, which training
// never writes) and rewrites all its occurrences leftmost first, without
// overlap; stops when no neighbouring pair has a merge. When `widths` is not
// null it receives, per final id, the number of base ids it covers. Panics when
// `ids` holds 2^32 - 1 ids or more.
void merge_by_rank(const RankTable& table, std::vector<model::TokenId>& ids,
                   std::vector<std::uint32_t>* widths = nullptr);

// The two ways `merge_by_rank()` has of doing it, with the same results:
// passes over arrays that keep each pair's rank, for short sequences, and a
// linked list with a heap of candidate merges, for long ones.
void merge_by_rank_in_passes(const RankTable& table,
                             std::vector<model::TokenId>& ids,
                             std::vector<std::uint32_t>* widths = nullptr);
void merge_by_rank_with_heap(const RankTable& table,
                             std::vector<model::TokenId>& ids,
                             std::vector<std::uint32_t>* widths = nullptr);

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_RANK_MERGE_H_
