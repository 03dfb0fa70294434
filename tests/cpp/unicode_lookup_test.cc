#include "model/unicode_lookup.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <stdexcept>
#include <string>

namespace selvane::model {
namespace {

// Every operation against std::map, on keys that stress the hash: lengths
// around the eight-byte word, keys that differ only by trailing NUL bytes or
// in their last byte, and enough of them to grow the index many times.
TEST(UnicodeLookup, AgreesWithAnOrderedMap) {
  std::mt19937 rng(31);
  UnicodeLookup table;
  std::map<std::string, TokenId> expected;
  for (int step = 0; step < 40'000; ++step) {
    std::string key(rng() % 18, '\0');
    for (char& c : key)
      c = static_cast<char>(rng() % (step % 3 == 0 ? 2 : 256));
    const auto id = static_cast<TokenId>(rng());
    switch (rng() % 4) {
      case 0: {
        const auto [it, added] = table.emplace(key, id);
        const auto [want, want_added] = expected.emplace(key, id);
        ASSERT_EQ(added, want_added) << step;
        ASSERT_EQ(it->second, want->second);
        break;
      }
      case 1:
        table.insert_or_assign(key, id);
        expected.insert_or_assign(key, id);
        break;
      case 2:
        ++table[key];
        ++expected[key];
        break;
      default: {
        const auto found = table.find(key);
        const auto want = expected.find(key);
        ASSERT_EQ(found == table.end(), want == expected.end()) << step;
        if (want != expected.end()) {
          ASSERT_EQ(found->second, want->second);
        }
        ASSERT_EQ(table.contains(key), want != expected.end());
        break;
      }
    }
  }
  ASSERT_EQ(table.size(), expected.size());
  std::map<std::string, TokenId> listed(table.begin(), table.end());
  EXPECT_EQ(listed, expected);
  for (const auto& [key, id] : expected) ASSERT_EQ(table.at(key), id);
}

TEST(UnicodeLookup, EqualityIgnoresOrderAndReserveKeepsEntries) {
  const UnicodeLookup ab{{"oov", 0}, {"a", 1}, {"b", 2}};
  UnicodeLookup ba;
  EXPECT_TRUE(ba.empty());
  EXPECT_FALSE(ba.contains("a"));
  EXPECT_THROW(static_cast<void>(ba.at("a")), std::out_of_range);
  ba.emplace("b", 2);
  ba.emplace("a", 1);
  ba.reserve(5000);
  ba["oov"] = 0;
  EXPECT_EQ(ab, ba);
  ba.insert_or_assign("a", 3);
  EXPECT_FALSE(ab == ba);
  EXPECT_FALSE(ab == (UnicodeLookup{{"oov", 0}, {"a", 1}}));
  EXPECT_EQ(ba.at("a"), 3);
  // Keys that differ by a trailing NUL are different keys.
  ba.emplace(std::string("a\0", 2), 7);
  EXPECT_EQ(ba.at("a"), 3);
  EXPECT_EQ(ba.at(std::string("a\0", 2)), 7);
  EXPECT_EQ(ba.count(""), 0u);
}

}  // namespace
}  // namespace selvane::model
