#ifndef SELVANE_CODEC_POSITION_LIST_H_
#define SELVANE_CODEC_POSITION_LIST_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "base/panic.h"
#include "codec/position_pool.h"

namespace selvane::codec {

// PositionList
//
// A growable list of node indices that keeps up to two of them in place and
// larger ones in a block of a `PositionPool`, which every call that may
// allocate or give back takes. A merge engine keeps one list per pair it has
// ever seen, and most of those pairs (hundreds of thousands on a training
// chunk) occur once or twice: in place, such a list takes 16 bytes and no
// block. The list owns nothing the pool does not: it needs no destructor,
// and the engine's array of lists moves as plain bytes when it grows.
class PositionList {
 public:
  std::size_t size() const { return size_; }
  std::span<const std::uint32_t> view() const { return {data(), size_}; }
  std::span<std::uint32_t> view() { return {data(), size_}; }

  // Makes room for `count` entries in all, so that as many appends do not
  // move the list.
  void reserve(std::size_t count, PositionPool& pool) {
    if (count > capacity_) {
      // A list outgrowing 32-bit counts would hold more windows than a
      // sequence of 32-bit node indices can ever create.
      if (count > kMaxCapacity) panic("Sequence too long");
      move_to(static_cast<std::uint32_t>(count), pool);
    }
  }

  void push_back(std::uint32_t position, PositionPool& pool) {
    if (size_ == capacity_) {
      if (capacity_ == kMaxCapacity) panic("Sequence too long");
      move_to(capacity_ > kMaxCapacity / 2 ? kMaxCapacity : 2 * capacity_,
              pool);
    }
    data()[size_++] = position;
  }

  // Empties the list and gives its block back to `pool`.
  void release(PositionPool& pool) {
    if (capacity_ > kInPlace) pool.release(block_, capacity_);
    size_ = 0;
    capacity_ = kInPlace;
  }

 private:
  static constexpr std::uint32_t kInPlace = 2;
  static constexpr std::uint32_t kMaxCapacity = 0xFFFFFFFFu;

  std::uint32_t* data() { return capacity_ > kInPlace ? block_ : in_place_; }
  const std::uint32_t* data() const {
    return capacity_ > kInPlace ? block_ : in_place_;
  }

  // Moves the entries into a block of at least `capacity` entries.
  void move_to(std::uint32_t capacity, PositionPool& pool) {
    std::uint32_t* block = pool.allocate(&capacity);
    std::copy_n(data(), size_, block);
    if (capacity_ > kInPlace) pool.release(block_, capacity_);
    block_ = block;
    capacity_ = capacity;
  }

  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = kInPlace;
  union {
    std::uint32_t in_place_[kInPlace] = {};
    std::uint32_t* block_;
  };
};

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_POSITION_LIST_H_
