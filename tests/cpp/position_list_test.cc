#include "codec/position_list.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace selvane::codec {
namespace {

std::vector<std::uint32_t> entries(const PositionList& list) {
  const auto view = list.view();
  return {view.begin(), view.end()};
}

std::vector<std::uint32_t> counting(std::uint32_t count) {
  std::vector<std::uint32_t> expected;
  for (std::uint32_t i = 0; i < count; ++i) expected.push_back(i * 7 + 1);
  return expected;
}

// Lists are kept in place up to two entries and in a block beyond: every
// length across both sides, moved either way, keeps its entries in order.
TEST(PositionList, KeepsEntriesInOrderInPlaceAndInABlock) {
  for (std::uint32_t count = 0; count <= 40; ++count) {
    PositionList list;
    for (const std::uint32_t position : counting(count)) {
      list.push_back(position);
    }
    ASSERT_EQ(entries(list), counting(count)) << count;

    PositionList moved(std::move(list));
    EXPECT_EQ(entries(moved), counting(count)) << count;
    EXPECT_EQ(list.size(), 0u);  // NOLINT(bugprone-use-after-move)
    list.push_back(99);          // a moved-from list is usable again
    EXPECT_EQ(entries(list), std::vector<std::uint32_t>{99});

    // Assignment over a list that holds a block gives that block back (the
    // sanitizer builds catch a leak or a double free here).
    PositionList target;
    for (const std::uint32_t position : counting(5)) {
      target.push_back(position);
    }
    target = std::move(moved);
    EXPECT_EQ(entries(target), counting(count)) << count;
    target.push_back(123);
    EXPECT_EQ(target.size(), count + 1);
    EXPECT_EQ(target.view().back(), 123u);
  }
}

TEST(PositionList, ReserveAndReleaseKeepItUsable) {
  PositionList list;
  list.push_back(4);
  list.reserve(1000);
  EXPECT_EQ(entries(list), std::vector<std::uint32_t>{4});
  for (std::uint32_t i = 0; i < 999; ++i) list.push_back(i);
  EXPECT_EQ(list.size(), 1000u);
  EXPECT_EQ(list.view()[999], 998u);

  list.release();
  EXPECT_EQ(list.size(), 0u);
  list.push_back(1);
  list.push_back(2);
  list.push_back(3);
  EXPECT_EQ(entries(list), (std::vector<std::uint32_t>{1, 2, 3}));
  list.reserve(1);  // never shrinks
  EXPECT_EQ(list.size(), 3u);
}

}  // namespace
}  // namespace selvane::codec
