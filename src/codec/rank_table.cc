#include "codec/rank_table.h"

#include <algorithm>
#include <cstdint>

namespace selvane::codec {

RankTable::RankTable(const model::Merges& merges) : empty_(merges.empty()) {
  // At most half the slots are used, so probes stay short and always reach
  // an empty slot; two slots at least keep the shift below 64.
  int bits = 1;
  while ((std::size_t{1} << bits) < 2 * merges.size()) ++bits;
  slots_.assign(std::size_t{1} << bits, kNoRank);
  mask_ = slots_.size() - 1;
  shift_ = 64 - bits;
  // Indexed by merged id, up to the highest one only: a small table costs
  // little to build.
  std::size_t id_bound = 0;
  for (const auto& entry : merges) {
    id_bound = std::max<std::size_t>(id_bound, std::size_t{entry.second} + 1);
  }
  pairs_by_merged_.assign(id_bound, 0);
  std::vector<std::uint8_t> seen(id_bound, 0);
  for (const auto& [pair, merged] : merges) {
    if (seen[merged] != 0 || merged <= model::pair_first(pair) ||
        merged <= model::pair_second(pair)) {
      ordered_ = false;
    }
    seen[merged] = 1;
    pairs_by_merged_[merged] = pair;
    std::size_t slot = slot_of(pair);
    while (slots_[slot] != kNoRank) slot = (slot + 1) & mask_;
    slots_[slot] = rank_of(merged, pair);
  }
}

}  // namespace selvane::codec
