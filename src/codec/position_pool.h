#ifndef SELVANE_CODEC_POSITION_POOL_H_
#define SELVANE_CODEC_POSITION_POOL_H_

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "base/mapped_allocator.h"

namespace selvane::codec {

// PositionPool
//
// The blocks of a merge engine's position lists. A training chunk has
// hundreds of thousands of lists that are sized once, grow by doubling and
// are given back when their pair is applied; from the heap, each of those
// steps is a call into the allocator, and the engine built on one thread and
// freed on another pays for every block twice. Here a block is cut from
// large slabs and a block given back waits, by its size class, for the next
// request of that class; the whole pool goes back to the system at once.
class PositionPool {
 public:
  PositionPool() = default;
  PositionPool(const PositionPool&) = delete;
  PositionPool& operator=(const PositionPool&) = delete;
  PositionPool(PositionPool&& other) noexcept { *this = std::move(other); }
  PositionPool& operator=(PositionPool&& other) noexcept {
    if (this != &other) {
      free_slabs();
      slabs_ = std::exchange(other.slabs_, {});
      next_ = std::exchange(other.next_, nullptr);
      left_ = std::exchange(other.left_, 0);
      spare_ = std::exchange(other.spare_, {});
      filled_ = std::exchange(other.filled_, 0);
    }
    return *this;
  }
  ~PositionPool() { free_slabs(); }

  // Returns a block of at least `*capacity` entries (at least 1) and sets
  // `*capacity` to the number it holds.
  std::uint32_t* allocate(std::uint32_t* capacity) {
    // A spare block of class k holds 2^k entries: the smallest class that
    // is large enough is the request rounded up.
    const auto size_class =
        static_cast<unsigned>(std::bit_width(*capacity - 1u));
    // The smallest spare block that serves the request whole. One of a
    // larger class is split, its unused halves becoming spare blocks of
    // their own, before fresh memory is cut: the blocks of the frequent
    // pairs, given back early in a pass, then serve the many small lists
    // that grow later instead of lying idle beside new slabs.
    const std::uint64_t larger = filled_ >> size_class;
    if (larger != 0) {
      const unsigned from =
          size_class + static_cast<unsigned>(std::countr_zero(larger));
      std::uint32_t* block = take_spare(from);
      for (unsigned piece = size_class; piece < from; ++piece) {
        put_spare(piece, block + (std::size_t{1} << piece));
      }
      *capacity = std::uint32_t{1} << size_class;
      return block;
    }
    return cut(*capacity);
  }

  // Takes back a block of `capacity` entries (at least 1) from `allocate()`.
  void release(std::uint32_t* block, std::uint32_t capacity) {
    // Filed whole, as pieces of 2^k entries: one per bit of `capacity`.
    while (capacity != 0) {
      const std::uint32_t piece = std::bit_floor(capacity);
      put_spare(static_cast<unsigned>(std::countr_zero(piece)), block);
      block += piece;
      capacity -= piece;
    }
  }

 private:
  // Entries of an ordinary slab: 4 MiB, two whole blocks of the allocator.
  static constexpr std::size_t kSlabEntries = std::size_t{1} << 20;

  // Returns `count` entries from the current slab, or from a new one.
  std::uint32_t* cut(std::uint32_t count) {
    if (left_ < count) {
      // What is left of the slab would otherwise be lost until the pool is
      // freed: it becomes spare blocks, largest first.
      while (left_ != 0) {
        const auto piece = static_cast<std::uint32_t>(
            std::min<std::size_t>(left_, 0xFFFFFFFFu));
        release(next_, piece);
        next_ += piece;
        left_ -= piece;
      }
      const std::size_t entries = std::max<std::size_t>(kSlabEntries, count);
      next_ = MappedAllocator<std::uint32_t>().allocate(entries);
      slabs_.emplace_back(next_, entries);
      left_ = entries;
    }
    std::uint32_t* block = next_;
    next_ += count;
    left_ -= count;
    return block;
  }

  void put_spare(unsigned size_class, std::uint32_t* block) {
    spare_[size_class].push_back(block);
    filled_ |= std::uint64_t{1} << size_class;
  }

  std::uint32_t* take_spare(unsigned size_class) {
    std::vector<std::uint32_t*>& spare = spare_[size_class];
    std::uint32_t* block = spare.back();
    spare.pop_back();
    if (spare.empty()) filled_ &= ~(std::uint64_t{1} << size_class);
    return block;
  }

  void free_slabs() {
    for (const auto& [slab, entries] : slabs_) {
      MappedAllocator<std::uint32_t>().deallocate(slab, entries);
    }
    slabs_.clear();
  }

  std::vector<std::pair<std::uint32_t*, std::size_t>> slabs_;
  std::uint32_t* next_ = nullptr;
  std::size_t left_ = 0;
  // Blocks given back, by class: class k holds blocks of 2^k entries.
  std::array<std::vector<std::uint32_t*>, 33> spare_;
  // Bit k is set when class k has a block.
  std::uint64_t filled_ = 0;
};

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_POSITION_POOL_H_
