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

// Room made for more pairs keeps every number, and the table then takes
// that many pairs without growing again.
TEST(PairTable, ReserveKeepsNumbersAndAvoidsRegrowth) {
  for (PairTable table : {PairTable(), PairTable(100)}) {
    if (table.capacity_bytes() != 0) {
      for (std::uint32_t i = 0; i < 40; ++i) {
        ASSERT_EQ(table.intern(pair_key(static_cast<model::TokenId>(i), 2)), i);
      }
    }
    const std::uint32_t before = table.size();
    table.reserve(100'000);
    const std::size_t reserved = table.capacity_bytes();
    for (std::uint32_t i = 0; i < before; ++i) {
      ASSERT_EQ(table.find(pair_key(static_cast<model::TokenId>(i), 2)), i);
    }
    for (std::uint32_t i = before; i < 100'000; ++i) {
      ASSERT_EQ(table.intern(static_cast<model::PairKey>(i) * 65599u), i);
    }
    EXPECT_EQ(table.capacity_bytes(), reserved);
    EXPECT_EQ(table.find(pair_key(3, 2)), before > 3 ? 3u : PairTable::kAbsent);
  }
}

}  // namespace
}  // namespace selvane::codec
