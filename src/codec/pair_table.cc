#include "codec/pair_table.h"

#include <algorithm>

namespace selvane::codec {
namespace {

// The smallest table.
constexpr std::uint32_t kMinSlotBits = 4;

}  // namespace

void PairTable::reset(std::size_t windows) {
  // Twice the windows leaves the table at most half full before any growth.
  std::uint32_t bits = kMinSlotBits;
  while (bits < max_presized_bits_ && (std::size_t{1} << bits) < 2 * windows) {
    ++bits;
  }
  // Within the capacity, assign() rewrites the slots in place: a reused
  // table costs a short text no allocation, only clearing what it uses.
  slots_.assign(std::size_t{1} << bits, Slot{});
  mask_ = (std::uint32_t{1} << bits) - 1;
  shift_ = 32 - bits;
  // One pair per window at most: as many as the windows in a short
  // sequence, far fewer in a long one, so the reservation is capped. It
  // saves a short text the regrowths of its keys.
  keys_.clear();
  keys_.reserve(std::min<std::size_t>(windows, std::size_t{1} << 15));
}

void PairTable::grow() {
  slots_.assign(2 * slots_.size(), Slot{});
  mask_ = 2 * mask_ + 1;
  --shift_;
  // Keys are distinct, so each probe ends on an empty slot.
  for (std::size_t i = 0; i < keys_.size(); ++i) {
    slots_[probe(keys_[i])] = Slot{keys_[i], static_cast<std::uint32_t>(i + 1)};
  }
}

}  // namespace selvane::codec
