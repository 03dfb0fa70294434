#ifndef SELVANE_CODEC_PAIR_TABLE_H_
#define SELVANE_CODEC_PAIR_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/mapped_allocator.h"
#include "model/token_id.h"

namespace selvane::codec {

// PairTable
//
// An open-addressing table that numbers the distinct pairs of a sequence
// 0, 1, 2, ... in the order they are first interned. Its owner keeps what
// it knows of each pair in arrays of its own, indexed by that number, and
// appends to them whenever `intern()` hands out the next one. Pairs are
// never removed.
class PairTable {
 public:
  // Returned by `find()` for a pair that was never interned.
  static constexpr std::uint32_t kAbsent = 0xFFFFFFFFu;

  // An empty table without slots, to be sized by `reset()` before use.
  PairTable() = default;

  // Sizes the table for a sequence of `windows` neighbouring pairs.
  explicit PairTable(std::size_t windows) { reset(windows); }

  // Forgets every pair and sizes the table for `windows` windows, keeping
  // the storage it already has where that is large enough.
  void reset(std::size_t windows);

  // Forgets every pair, keeping the slots it has.
  void clear();

  // Makes room for `pairs` pairs in all, so that the table does not grow
  // before it holds more. An owner that will intern many more pairs than it
  // starts with saves the regrowths on the way.
  void reserve(std::size_t pairs);

  // Returns the bytes the table holds on to, used or not.
  std::size_t capacity_bytes() const {
    return slots_.capacity() * sizeof(Slot) +
           keys_.capacity() * sizeof(model::PairKey);
  }

  // Returns how many pairs the table holds before it grows.
  std::size_t room() const { return slots_.size() / 2; }

  // Returns the number of pairs interned so far.
  std::uint32_t size() const {
    return static_cast<std::uint32_t>(keys_.size());
  }

  // Returns the pair numbered `index`.
  model::PairKey key(std::uint32_t index) const { return keys_[index]; }

  // Returns every pair interned so far, the one numbered i at index i.
  std::span<const model::PairKey> keys() const { return keys_; }

  // Returns the number of `key`, or kAbsent.
  std::uint32_t find(model::PairKey key) const {
    const Slot& slot = slots_[probe(key)];
    return slot.index == 0 ? kAbsent : slot.index - 1;
  }

  // Asks the processor to fetch the slot where a probe for `key` starts.
  // Only a hint: it never faults and changes nothing.
  void prefetch(model::PairKey key) const {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(slots_.data() + ((key * kHashFactor) >> shift_));
#else
    static_cast<void>(key);
#endif
  }

  // Returns the number of `key`, giving it `size()` when it is new.
  std::uint32_t intern(model::PairKey key) {
    return intern(key, [] {});
  }

  // Returns the number of `key` as `intern(key)` does, calling `on_new()`
  // first when the key is new, so that the owner appends to its arrays
  // there instead of comparing every number it gets with their size.
  template <class OnNew>
  std::uint32_t intern(model::PairKey key, OnNew&& on_new) {
    const std::uint32_t at = probe(key);
    if (slots_[at].index != 0) return slots_[at].index - 1;
    on_new();
    return add(at, key);
  }

 private:
  // One slot: the key beside its number, so that a probe reads one cache
  // line and never the owner's arrays.
  struct Slot {
    model::PairKey key = 0;
    // The pair's number plus one; 0 marks an empty slot.
    std::uint32_t index = 0;
  };

  // Multiplicative (Fibonacci) hashing: the top bits of the product mix
  // both ids of the pair, and the table takes as many of them as it has
  // slot bits.
  static constexpr std::uint32_t kHashFactor = 0x9E3779B1u;

  // Returns the slot that holds `key`, or the empty slot where it would go.
  std::uint32_t probe(model::PairKey key) const {
    std::uint32_t at = (key * kHashFactor) >> shift_;
    while (slots_[at].index != 0 && slots_[at].key != key) {
      at = (at + 1) & mask_;
    }
    return at;
  }

  // Puts the new pair `key` into the empty slot `at` and returns its number.
  // Inline: a short text adds a pair for almost every window.
  std::uint32_t add(std::uint32_t at, model::PairKey key) {
    // Pairs never outnumber the windows ever created plus the bans, which
    // stays far below 2^32 for the sequences the owners accept.
    const auto index = static_cast<std::uint32_t>(keys_.size());
    keys_.push_back(key);
    slots_[at] = Slot{key, index + 1};
    // Linear probing slows down sharply past half full.
    if (2 * keys_.size() > slots_.size()) grow();
    return index;
  }

  // Doubles the slots and reinserts every pair.
  void grow() { rehash(2 * slots_.size()); }

  // Puts every pair into `slots` fresh slots, a power of two.
  void rehash(std::size_t slots);

  std::vector<Slot, MappedAllocator<Slot>> slots_;
  std::vector<model::PairKey> keys_;
  std::uint32_t mask_ = 0;
  std::uint32_t shift_ = 0;
};

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_PAIR_TABLE_H_
