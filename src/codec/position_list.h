#ifndef SELVANE_CODEC_POSITION_LIST_H_
#define SELVANE_CODEC_POSITION_LIST_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "base/panic.h"

namespace selvane::codec {

// PositionList
//
// A growable list of node indices that keeps up to two of them in place.
// A merge engine keeps one list per pair it has ever seen, and most of those
// pairs (hundreds of thousands on a training chunk) occur once or twice: in
// place, such a list takes 16 bytes and no block of the heap, where a
// std::vector takes 24 bytes plus a 32-byte block. Fewer small blocks also
// leave the heap less scattered between chunks.
class PositionList {
 public:
  PositionList() = default;
  PositionList(const PositionList&) = delete;
  PositionList& operator=(const PositionList&) = delete;
  PositionList(PositionList&& other) noexcept { take_from(other); }
  PositionList& operator=(PositionList&& other) noexcept {
    if (this != &other) {
      release();
      take_from(other);
    }
    return *this;
  }
  ~PositionList() { release(); }

  std::size_t size() const { return size_; }
  std::span<const std::uint32_t> view() const { return {data(), size_}; }

  // Makes room for `count` entries in all, so that as many appends do not
  // move the list.
  void reserve(std::size_t count) {
    if (count > capacity_) move_to(static_cast<std::uint32_t>(count));
  }

  void push_back(std::uint32_t position) {
    if (size_ == capacity_) {
      // A list outgrowing 32-bit counts would hold more windows than a
      // sequence of 32-bit node indices can ever create.
      if (capacity_ == kMaxCapacity) panic("Sequence too long");
      move_to(capacity_ > kMaxCapacity / 2 ? kMaxCapacity : 2 * capacity_);
    }
    data()[size_++] = position;
  }

  // Empties the list and gives back its block.
  void release() {
    if (capacity_ > kInPlace) delete[] block_;
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

  // Moves the entries into a new block of `capacity` entries.
  void move_to(std::uint32_t capacity) {
    auto* block = new std::uint32_t[capacity];
    std::copy_n(data(), size_, block);
    if (capacity_ > kInPlace) delete[] block_;
    block_ = block;
    capacity_ = capacity;
  }

  void take_from(PositionList& other) {
    size_ = other.size_;
    capacity_ = other.capacity_;
    if (capacity_ > kInPlace) {
      block_ = other.block_;
    } else {
      std::copy_n(other.in_place_, kInPlace, in_place_);
    }
    other.size_ = 0;
    other.capacity_ = kInPlace;
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
