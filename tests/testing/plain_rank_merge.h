#ifndef SELVANE_TESTS_TESTING_PLAIN_RANK_MERGE_H_
#define SELVANE_TESTS_TESTING_PLAIN_RANK_MERGE_H_

// The rank rule as the loop reads, for tests only: the reference that
// `codec::merge_by_rank()` must match id for id and width for width.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "model/data.h"

namespace selvane::testing {

// Merges `ids` by rank the plain way: each pass looks at every neighbouring
// pair, takes the one whose merged id is smallest (then the smaller pair)
// and rewrites all its occurrences leftmost first, without overlap; it stops
// when no pair has a merge. `widths`, when not null, starts as all ones and
// ends as the number of base ids per final id.
inline void plain_merge_by_rank(const model::Merges& merges,
                                std::vector<model::TokenId>& ids,
                                std::vector<std::uint32_t>* widths = nullptr) {
  std::vector<std::uint32_t> spans(ids.size(), 1);
  for (;;) {
    std::optional<std::uint64_t> best;
    for (std::size_t i = 0; i + 1 < ids.size(); ++i) {
      const model::PairKey pair = model::pair_key(ids[i], ids[i + 1]);
      const auto merge = merges.find(pair);
      if (merge == merges.end()) continue;
      const std::uint64_t rank = (std::uint64_t{merge->second} << 32) | pair;
      if (!best || rank < *best) best = rank;
    }
    if (!best) break;
    const auto pair = static_cast<model::PairKey>(*best & 0xFFFFFFFFu);
    const auto merged = static_cast<model::TokenId>(*best >> 32);
    std::vector<model::TokenId> next_ids;
    std::vector<std::uint32_t> next_spans;
    for (std::size_t i = 0; i < ids.size();) {
      if (i + 1 < ids.size() && model::pair_key(ids[i], ids[i + 1]) == pair) {
        next_ids.push_back(merged);
        next_spans.push_back(spans[i] + spans[i + 1]);
        i += 2;
      } else {
        next_ids.push_back(ids[i]);
        next_spans.push_back(spans[i]);
        ++i;
      }
    }
    ids = std::move(next_ids);
    spans = std::move(next_spans);
  }
  if (widths != nullptr) *widths = std::move(spans);
}

}  // namespace selvane::testing

#endif  // SELVANE_TESTS_TESTING_PLAIN_RANK_MERGE_H_
