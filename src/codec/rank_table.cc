#include "codec/rank_table.h"

namespace selvane::codec {

RankTable::RankTable(const model::Merges& merges) : empty_(merges.empty()) {
  // At most half the slots are used, so probes stay short and always reach
  // an empty slot; two slots at least keep the shift below 64.
  int bits = 1;
  while ((std::size_t{1} << bits) < 2 * merges.size()) ++bits;
  slots_.assign(std::size_t{1} << bits, kNoRank);
  mask_ = slots_.size() - 1;
  shift_ = 64 - bits;
  for (const auto& [pair, merged] : merges) {
    std::size_t slot = slot_of(pair);
    while (slots_[slot] != kNoRank) slot = (slot + 1) & mask_;
    slots_[slot] = rank_of(merged, pair);
  }
}

}  // namespace selvane::codec
