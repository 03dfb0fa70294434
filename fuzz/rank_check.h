#ifndef SELVANE_FUZZ_RANK_CHECK_H_
#define SELVANE_FUZZ_RANK_CHECK_H_

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <string_view>
#include <vector>

#include "codec/rank_merge.h"
#include "model/data.h"
#include "property.h"
#include "testing/plain_rank_merge.h"

namespace selvane::fuzz {

// Holds both ways of the fast rank rule to the plain loop on `ids`.
inline void check_rank_rule(const model::Merges& merges,
                            const std::vector<model::TokenId>& ids) {
  const codec::RankTable table(merges);
  std::vector<model::TokenId> plain = ids;
  std::vector<std::uint32_t> plain_widths;
  testing::plain_merge_by_rank(merges, plain, &plain_widths);
  // Both ways of the fast rule, whatever the length of the input.
  for (const auto way :
       {&codec::merge_by_rank_in_passes, &codec::merge_by_rank_with_heap}) {
    std::vector<model::TokenId> fast = ids;
    std::vector<std::uint32_t> fast_widths;
    way(table, fast, &fast_widths);
    require(fast == plain, "the rank rule gives the plain loop's ids");
    require(fast_widths == plain_widths,
            "the rank rule gives the plain loop's widths");
  }
  require(std::accumulate(plain_widths.begin(), plain_widths.end(),
                          std::uint64_t{0}) == ids.size(),
          "the widths of the merged ids cover the sequence");
}

// check_rank()
//
// The input is a merge table and an id sequence over a small alphabet, so
// that pairs repeat and merges chain: the first byte gives the alphabet size
// (1 to 8) and the number of merges (0 to 31), each merge takes three bytes
// (first, second, merged, each reduced to the alphabet plus eight merged
// ids), and the remaining bytes are the ids. Both ways of the rank rule must
// give the ids and widths of the plain loop, which must cover the sequence.
inline void check_rank(std::string_view input) {
  if (input.empty()) return;
  const auto head = static_cast<std::uint8_t>(input[0]);
  input.remove_prefix(1);
  const unsigned alphabet = 1u + (head & 0x7u);
  const unsigned ids_in_merges = alphabet + 8u;
  // The same merges as drawn, and as a trained model could hold them: each
  // merged id above its pair's ids and used once, which the fast rule
  // handles with a queue of its own.
  model::Merges merges;
  model::Merges ordered;
  std::vector<bool> used(ids_in_merges + 16, false);
  for (unsigned k = head >> 3; k > 0 && input.size() >= 3; --k) {
    const auto id = [&](std::size_t at) {
      return static_cast<model::TokenId>(static_cast<std::uint8_t>(input[at]) %
                                         ids_in_merges);
    };
    const model::PairKey pair = model::pair_key(id(0), id(1));
    merges[pair] = id(2);
    const auto above =
        static_cast<model::TokenId>(std::max(id(0), id(1)) + 1 + id(2) % 4);
    if (!used[above] && !ordered.contains(pair)) {
      used[above] = true;
      ordered[pair] = above;
    }
    input.remove_prefix(3);
  }
  std::vector<model::TokenId> ids;
  for (const char byte : input) {
    ids.push_back(static_cast<model::TokenId>(static_cast<std::uint8_t>(byte) %
                                              alphabet));
  }
  check_rank_rule(merges, ids);
  check_rank_rule(ordered, ids);
}

}  // namespace selvane::fuzz

#endif  // SELVANE_FUZZ_RANK_CHECK_H_
