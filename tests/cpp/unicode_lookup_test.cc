#include "model/unicode_lookup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "testing/unicode_lookup_extras.h"

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
        ++table.emplace(key, 0).first->second;
        ++expected[key];
        break;
      default: {
        const auto found = table.find(key);
        const auto want = expected.find(key);
        ASSERT_EQ(found == table.end(), want == expected.end()) << step;
        if (want != expected.end()) {
          ASSERT_EQ(found->second, want->second);
        }
        ASSERT_EQ(contains(table, key), want != expected.end());
        break;
      }
    }
  }
  ASSERT_EQ(table.size(), expected.size());
  std::map<std::string, TokenId> listed(table.begin(), table.end());
  EXPECT_EQ(listed, expected);
  for (const auto& [key, id] : expected) ASSERT_EQ(id_at(table, key), id);
}

TEST(UnicodeLookup, EqualityIgnoresOrderAndReserveKeepsEntries) {
  const UnicodeLookup ab = lookup_of({{"oov", 0}, {"a", 1}, {"b", 2}});
  UnicodeLookup ba;
  EXPECT_TRUE(ba.empty());
  EXPECT_FALSE(contains(ba, "a"));
  EXPECT_THROW(static_cast<void>(id_at(ba, "a")), std::out_of_range);
  ba.emplace("b", 2);
  ba.emplace("a", 1);
  ba.reserve(5000);
  ba.insert_or_assign("oov", 0);
  EXPECT_EQ(ab, ba);
  ba.insert_or_assign("a", 3);
  EXPECT_FALSE(ab == ba);
  EXPECT_FALSE(ab == lookup_of({{"oov", 0}, {"a", 1}}));
  EXPECT_EQ(id_at(ba, "a"), 3);
  // Keys that differ by a trailing NUL are different keys.
  ba.emplace(std::string("a\0", 2), 7);
  EXPECT_EQ(id_at(ba, "a"), 3);
  EXPECT_EQ(id_at(ba, std::string("a\0", 2)), 7);
  EXPECT_FALSE(contains(ba, ""));
}

// Returns the UTF-8 form of `code_point`, which is no surrogate.
std::string utf8_of(char32_t code_point) {
  std::string out;
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    out += static_cast<char>(0xC0 | (code_point >> 6));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    out += static_cast<char>(0xE0 | (code_point >> 12));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code_point >> 18));
    out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
  return out;
}

// Texts of one code point below U+0800 are found through a direct table,
// every other text by the hash: both must give what a plain map gives, for
// each kind of short text that could be mistaken for the other, whatever
// the order of insertion and whether the entry came before a growth.
TEST(UnicodeLookup, OneCodePointTextsAgreeWithAPlainMap) {
  std::vector<std::string> texts;
  for (char32_t c = 0; c < 0x800; ++c) texts.push_back(utf8_of(c));
  for (char32_t c = 0x800; c < 0x110000; c += 0x3FF) {
    if (c < 0xD800 || c > 0xDFFF) texts.push_back(utf8_of(c));
  }
  for (int byte = 0x80; byte < 0x100; ++byte) {
    // A lone continuation or lead byte, an overlong lead (C0, C1) with a
    // continuation, and a lead followed by ASCII: none is one code point.
    texts.emplace_back(1, static_cast<char>(byte));
    texts.push_back(std::string{static_cast<char>(byte), '\x80'});
    texts.push_back(std::string{static_cast<char>(byte), 'a'});
  }
  for (const char* text :
       {"ab", "\n\r", "\r\n", "oov", "", "\xD8\xA8\xD9\x8E"}) {
    texts.emplace_back(text);
  }
  std::mt19937 rng(57);
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::shuffle(texts.begin(), texts.end(), rng);
    UnicodeLookup table;
    std::map<std::string, TokenId> expected;
    // Half the texts in, some assigned again: the rest must stay absent.
    for (std::size_t k = 0; k < texts.size(); ++k) {
      if (rng() % 2 == 0) continue;
      const auto id = static_cast<TokenId>(rng());
      if (k % 3 == 0) {
        table.emplace(texts[k], id);
        expected.emplace(texts[k], id);
      } else {
        table.insert_or_assign(texts[k], id);
        expected.insert_or_assign(texts[k], id);
        table.insert_or_assign(texts[k], static_cast<TokenId>(id + 1));
        expected.insert_or_assign(texts[k], static_cast<TokenId>(id + 1));
      }
    }
    for (const std::string& text : texts) {
      const auto found = table.find(text);
      const auto want = expected.find(text);
      ASSERT_EQ(found == table.end(), want == expected.end()) << text.size();
      if (want != expected.end()) {
        ASSERT_EQ(found->first, text);
        ASSERT_EQ(found->second, want->second);
      }
    }
    // A copy keeps the direct table with its entries.
    const UnicodeLookup copy = table;
    for (const auto& [text, id] : expected) {
      const auto found = copy.find(text);
      ASSERT_NE(found, copy.end());
      ASSERT_EQ(found->second, id);
    }
  }
}

}  // namespace
}  // namespace selvane::model
