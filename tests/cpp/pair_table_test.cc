#include "codec/pair_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <unordered_map>
#include <vector>

namespace selvane::codec {
namespace {

using model::pair_key;

TEST(PairTable, NumbersPairsInFirstInternOrder) {
  PairTable table(0);
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.find(pair_key(1, 2)), PairTable::kAbsent);
  EXPECT_EQ(table.intern(pair_key(1, 2)), 0u);
  EXPECT_EQ(table.intern(pair_key(2, 1)), 1u);
  EXPECT_EQ(table.intern(pair_key(1, 2)), 0u);
  // The extreme keys are pairs like any other: 0 is not an empty marker.
  EXPECT_EQ(table.intern(pair_key(0, 0)), 2u);
  EXPECT_EQ(table.intern(pair_key(65535, 65535)), 3u);
  EXPECT_EQ(table.size(), 4u);
  EXPECT_EQ(table.find(pair_key(0, 0)), 2u);
  EXPECT_EQ(table.key(3), pair_key(65535, 65535));
  EXPECT_EQ(table.find(pair_key(0, 1)), PairTable::kAbsent);
}

TEST(PairTable, KeepsEveryNumberThroughGrowth) {
  // Far more pairs than the smallest and the presized tables hold, in keys
  // that collide in the low bits, so the table grows many times.
  for (const std::size_t windows : {std::size_t{0}, std::size_t{1} << 20}) {
    PairTable table(windows);
    std::unordered_map<model::PairKey, std::uint32_t> expected;
    std::mt19937 rng(7);
    std::uniform_int_distribution<std::uint32_t> id(0, 1023);
    for (int i = 0; i < 300'000; ++i) {
      const model::PairKey key =
          pair_key(static_cast<model::TokenId>(id(rng) << 6),
                   static_cast<model::TokenId>(id(rng)));
      const auto it = expected.try_emplace(key, table.size()).first;
      ASSERT_EQ(table.intern(key), it->second);
      ASSERT_EQ(table.size(), expected.size());
    }
    for (const auto& [key, index] : expected) {
      ASSERT_EQ(table.find(key), index);
      ASSERT_EQ(table.key(index), key);
    }
  }
}

// An owner's larger presize holds for the table's whole life: a reset
// sizes it the same way, and no pair is lost or renumbered through it.
TEST(PairTable, KeepsTheOwnersPresizeThroughResets) {
  constexpr std::size_t kWindows = std::size_t{1} << 20;
  const PairTable usual(kWindows);
  PairTable larger(kWindows, 20);
  const std::size_t usual_bytes = usual.capacity_bytes();
  const std::size_t larger_bytes = larger.capacity_bytes();
  EXPECT_GT(larger_bytes, usual_bytes);
  for (int round = 0; round < 2; ++round) {
    larger.reset(kWindows);
    EXPECT_EQ(larger.capacity_bytes(), larger_bytes);
    for (std::uint32_t i = 0; i < 1000; ++i) {
      ASSERT_EQ(larger.intern(pair_key(static_cast<model::TokenId>(i), 1)), i);
    }
    EXPECT_EQ(larger.find(pair_key(999, 1)), 999u);
  }
}

}  // namespace
}  // namespace selvane::codec
