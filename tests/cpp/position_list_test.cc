#include "codec/position_list.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "codec/position_pool.h"

namespace selvane::codec {
namespace {

std::vector<std::uint32_t> entries(const PositionList& list) {
  const auto view = list.view();
  return {view.begin(), view.end()};
}

std::vector<std::uint32_t> counting(std::uint32_t count, std::uint32_t from) {
  std::vector<std::uint32_t> expected;
  for (std::uint32_t i = 0; i < count; ++i) expected.push_back(i * 7 + from);
  return expected;
}

// Lists are kept in place up to two entries and in a pool's block beyond:
// many lists growing side by side, across both sides and through blocks
// given back and handed out again, each keep their own entries in order.
TEST(PositionList, ListsSharingAPoolKeepTheirEntries) {
  PositionPool pool;
  std::vector<PositionList> lists(41);
  for (std::uint32_t round = 0; round < 3; ++round) {
    for (std::uint32_t step = 0; step < 40; ++step) {
      for (std::uint32_t count = step + 1; count < lists.size(); ++count) {
        lists[count].push_back(step * 7 + count, pool);
      }
    }
    for (std::uint32_t count = 0; count < lists.size(); ++count) {
      ASSERT_EQ(entries(lists[count]), counting(count, count))
          << count << " round " << round;
    }
    // Giving every block back and growing again reuses the spare blocks;
    // a block handed out twice would mix two lists' entries above.
    for (PositionList& list : lists) list.release(pool);
    for (const PositionList& list : lists) EXPECT_EQ(list.size(), 0u);
  }
}

TEST(PositionList, ReserveAndReleaseKeepItUsable) {
  PositionPool pool;
  PositionList list;
  list.push_back(4, pool);
  list.reserve(1000, pool);
  EXPECT_EQ(entries(list), std::vector<std::uint32_t>{4});
  for (std::uint32_t i = 0; i < 999; ++i) list.push_back(i, pool);
  EXPECT_EQ(list.size(), 1000u);
  EXPECT_EQ(list.view()[999], 998u);

  list.release(pool);
  EXPECT_EQ(list.size(), 0u);
  list.push_back(1, pool);
  list.push_back(2, pool);
  list.push_back(3, pool);
  EXPECT_EQ(entries(list), (std::vector<std::uint32_t>{1, 2, 3}));
  list.reserve(1, pool);  // never shrinks
  EXPECT_EQ(list.size(), 3u);
}

// The pool hands out blocks that never overlap while in use, at least as
// large as asked, across slab ends (a request larger than what a slab has
// left, and one larger than a whole slab) and through its spare blocks.
TEST(PositionPool, BlocksInUseNeverOverlap) {
  PositionPool pool;
  struct Block {
    std::uint32_t* start;
    std::uint32_t capacity;
  };
  std::vector<Block> in_use;
  const auto overlaps_nothing = [&](const Block& block) {
    for (const Block& other : in_use) {
      if (block.start < other.start + other.capacity &&
          other.start < block.start + block.capacity) {
        return false;
      }
    }
    return true;
  };
  const std::vector<std::uint32_t> requests = {
      3, 1, 5, 1000, 600'000, 600'000, 3'000'000, 17, 4, 2, 9, 33, 1u << 19};
  for (int round = 0; round < 2; ++round) {
    for (const std::uint32_t request : requests) {
      std::uint32_t capacity = request;
      std::uint32_t* start = pool.allocate(&capacity);
      ASSERT_GE(capacity, request);
      const Block block{start, capacity};
      ASSERT_TRUE(overlaps_nothing(block)) << request;
      // Writable to its last entry (the sanitizer builds check the bounds).
      start[0] = request;
      start[capacity - 1] = request;
      in_use.push_back(block);
    }
    // Give back every other block, so the next round mixes spare blocks
    // with fresh ones.
    std::vector<Block> kept;
    for (std::size_t i = 0; i < in_use.size(); ++i) {
      if (i % 2 == 0) {
        pool.release(in_use[i].start, in_use[i].capacity);
      } else {
        kept.push_back(in_use[i]);
      }
    }
    in_use = kept;
  }
  // A spare block is handed out again for a request it can serve whole.
  std::uint32_t capacity = 64;
  std::uint32_t* start = pool.allocate(&capacity);
  pool.release(start, capacity);
  std::uint32_t again = 40;
  EXPECT_EQ(pool.allocate(&again), start);
  EXPECT_EQ(again, 64u);
}

// A block given back serves later requests to its last entry: whole, as
// pieces of whatever size it had, and split for smaller requests, before
// the pool cuts any fresh memory.
TEST(PositionPool, BlocksGivenBackServeLaterRequestsWhole) {
  PositionPool pool;
  std::uint32_t big = 1000;
  std::uint32_t* const start = pool.allocate(&big);
  ASSERT_EQ(big, 1000u);
  pool.release(start, big);
  const auto inside = [&](const std::uint32_t* block, std::uint32_t size) {
    return block >= start && block + size <= start + 1000;
  };
  // 1000 = 512 + 256 + 128 + 64 + 32 + 8, in any order of requests.
  std::vector<std::uint32_t*> got;
  std::uint32_t served = 0;
  for (const std::uint32_t request : {30u, 200u, 7u, 64u, 400u, 100u}) {
    std::uint32_t capacity = request;
    std::uint32_t* block = pool.allocate(&capacity);
    EXPECT_TRUE(inside(block, capacity)) << request;
    for (const std::uint32_t* other : got) EXPECT_NE(block, other);
    got.push_back(block);
    served += capacity;
  }
  EXPECT_EQ(served, 1000u);

  // A large block split for a small request leaves the rest for the next.
  std::uint32_t whole = 1024;
  std::uint32_t* const large = pool.allocate(&whole);
  pool.release(large, whole);
  std::uint32_t small = 3;
  EXPECT_EQ(pool.allocate(&small), large);
  EXPECT_EQ(small, 4u);
  std::uint32_t rest = 512;
  EXPECT_EQ(pool.allocate(&rest), large + 512);
}

}  // namespace
}  // namespace selvane::codec
