#include "codec/pair_table.h"

#include <algorithm>
#include <bit>

namespace selvane::codec {
namespace {

// The smallest table, and the largest one sized in advance: past it the
// number of distinct pairs, far below the number of windows in a long
// sequence, decides, so the table grows as pairs appear.
constexpr std::uint32_t kMinSlotBits = 4;
constexpr std::uint32_t kMaxPresizedSlotBits = 17;

}  // namespace

void PairTable::reset(std::size_t windows) {
  // Twice the windows leaves the table at most half full before any growth.
  std::uint32_t bits = kMinSlotBits;
  while (bits < kMaxPresizedSlotBits &&
         (std::size_t{1} << bits) < 2 * windows) {
    ++bits;
  }
  // Within the capacity, assign() rewrites the slots in place: a reused
  // table costs a short text no allocation, only clearing what it uses.
  keys_.clear();
  rehash(std::size_t{1} << bits);
  // One pair per window at most: as many as the windows in a short
  // sequence, far fewer in a long one, so the reservation is capped. It
  // saves a short text the regrowths of its keys.
  keys_.reserve(std::min<std::size_t>(windows, std::size_t{1} << 15));
}

void PairTable::clear() {
  slots_.assign(slots_.size(), Slot{});
  keys_.clear();
}

void PairTable::reserve(std::size_t pairs) {
  // At most half full, as add() keeps it.
  std::size_t slots =
      std::max<std::size_t>(slots_.size(), std::size_t{1} << kMinSlotBits);
  while (slots < 2 * pairs) slots *= 2;
  if (slots != slots_.size()) rehash(slots);
  keys_.reserve(pairs);
}

void PairTable::rehash(std::size_t slots) {
  slots_.assign(slots, Slot{});
  mask_ = static_cast<std::uint32_t>(slots - 1);
  shift_ = 32 - static_cast<std::uint32_t>(std::countr_zero(slots));
  // Keys are distinct, so each probe ends on an empty slot.
  for (std::size_t i = 0; i < keys_.size(); ++i) {
    slots_[probe(keys_[i])] = Slot{keys_[i], static_cast<std::uint32_t>(i + 1)};
  }
}

}  // namespace selvane::codec
