#ifndef SELVANE_CODEC_PAIR_COUNTS_H_
#define SELVANE_CODEC_PAIR_COUNTS_H_

#include <cstdint>
#include <source_location>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/token_id.h"

namespace selvane::codec {

using model::PairKey;
using model::TokenId;

// Ordered neighbouring pair -> number of positions where it occurs.
using PairCounts = std::unordered_map<PairKey, std::uint32_t>;

// A pair chosen from a `PairCounts`, with its count.
struct PairCount {
  PairKey pair = 0;
  std::uint32_t count = 0;
};

// ranks_before()
//
// Returns whether `a` is chosen before `b` as the most frequent pair: a
// higher count, or the smaller pair among equal counts. The one tie-break of
// every merge choice; it keeps results independent of hash order.
constexpr bool ranks_before(const PairCount& a, const PairCount& b) {
  return a.count > b.count || (a.count == b.count && a.pair < b.pair);
}

// Returns `pair` as "(first, second)", for panic reports.
std::string describe_pair(PairKey pair);

// Panics with "This should not happen", reporting that `owner` found a
// window of `pair` to remove while its count was already 0. Out of line,
// so that the check costs the counting loops no code but a branch.
[[noreturn]] void panic_uncounted_window(
    const char* owner, PairKey pair,
    std::source_location where = std::source_location::current());

// Returns the counts of every neighbouring pair of `ids`; overlapping
// occurrences all count, so [7, 7, 7] gives {(7, 7): 2}.
PairCounts count_occur(std::span<const TokenId> ids);

// Returns `ids` with every occurrence of `pair` replaced by `merged`, leftmost
// first and without overlap: with (7, 7), [7, 7, 7] becomes [merged, 7].
std::vector<TokenId> replace_pair(std::span<const TokenId> ids, PairKey pair,
                                  TokenId merged);

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_PAIR_COUNTS_H_
