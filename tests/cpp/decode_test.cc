#include "codec/decode.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "base/panic.h"
#include "codec/vocab.h"
#include "panic_message.h"
#include "text/utf8.h"

namespace selvane::codec {
namespace {

using model::TokenId;

model::Data split_model() {
  model::Data data;
  data.lookup.insert_or_assign(0, "");
  data.lookup.insert_or_assign(1, "\xD8");      // first byte of beh
  data.lookup.insert_or_assign(2, "\xA8");      // second byte of beh
  data.lookup.insert_or_assign(3, "\xD9\x84");  // lam
  data.lookup.insert_or_assign(4, "\xFF");
  data.lookup.insert_or_assign(9, "ab");
  data.unicode_lookup.emplace("x", TokenId{40});  // not in lookup
  data.merges.emplace(model::pair_key(1, 2), TokenId{41});
  return data;
}

std::string run(const model::Data& data, std::vector<TokenId> ids) {
  return decode(data, ids);
}

TEST(Decode, JoinsBytesBeforeDecoding) {
  const model::Data data = split_model();
  EXPECT_EQ(run(data, {}), "");
  EXPECT_EQ(run(model::Data{}, {}), "");
  EXPECT_EQ(run(data, {9, 0, 9, 0, 0}), "abab");
  // One character spread over two tokens comes out whole...
  EXPECT_EQ(run(data, {1, 2, 3}), "\xD8\xA8\xD9\x84");
  // ...while each half alone, or in the wrong order, is replaced.
  EXPECT_EQ(run(data, {1}), "\xEF\xBF\xBD");
  EXPECT_EQ(run(data, {2, 9}),
            "\xEF\xBF\xBD"
            "ab");
  EXPECT_EQ(run(data, {2, 1}), "\xEF\xBF\xBD\xEF\xBF\xBD");
  // A truncated sequence followed by a valid character: one U+FFFD for the
  // maximal subpart, then the character.
  EXPECT_EQ(run(data, {1, 3}), "\xEF\xBF\xBD\xD9\x84");
  EXPECT_EQ(run(data, {4, 4, 9}),
            "\xEF\xBF\xBD\xEF\xBF\xBD"
            "ab");
}

TEST(Decode, MissingIdFailsEvenAfterPresentOnes) {
  const model::Data data = split_model();
  for (const std::vector<TokenId>& ids :
       {std::vector<TokenId>{40}, std::vector<TokenId>{9, 3, 41},
        std::vector<TokenId>{65535}}) {
    try {
      run(data, ids);
      ADD_FAILURE() << "no panic";
    } catch (const Panic& panic) {
      EXPECT_EQ(panic.message(), "This should not happend");
    }
  }
  EXPECT_THROW(run(model::Data{}, {0}), Panic);
}

TEST(Decode, TrustsTheLookupOnlyWhileEveryEntryIsValid) {
  // The lookup keeps count of its entries that are not valid UTF-8, through
  // every kind of overwrite, and decoding skips its check only at zero.
  model::Data data;
  data.lookup.insert_or_assign(0, "");
  data.lookup.insert_or_assign(3, "\xD9\x84");
  EXPECT_TRUE(data.lookup.all_utf8());
  EXPECT_EQ(run(data, {3, 0, 3}), "\xD9\x84\xD9\x84");
  data.lookup.insert_or_assign(1, "\xD8");
  EXPECT_FALSE(data.lookup.all_utf8());
  EXPECT_EQ(run(data, {1, 3}), "\xEF\xBF\xBD\xD9\x84");
  data.lookup.insert_or_assign(1, "\xC3");  // invalid over invalid
  EXPECT_FALSE(data.lookup.all_utf8());
  data.lookup.insert_or_assign(1, "\xD8\xA8");  // valid over invalid
  EXPECT_TRUE(data.lookup.all_utf8());
  EXPECT_EQ(run(data, {1, 3}), "\xD8\xA8\xD9\x84");
  data.lookup.insert_or_assign(3, "\xED\xA0\x80");  // a surrogate
  EXPECT_FALSE(data.lookup.all_utf8());
  EXPECT_EQ(run(data, {1}), "\xD8\xA8");
  EXPECT_EQ(run(data, {3}), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_FALSE(split_model().lookup.all_utf8());
}

TEST(Vocab, AscendingIdsOfLookupOnly) {
  EXPECT_TRUE(vocab(model::Data{}).empty());
  // Ids 40 and 41 appear only in the other maps.
  EXPECT_EQ(vocab(split_model()), (std::vector<TokenId>{0, 1, 2, 3, 4, 9}));
  model::Data data;
  for (TokenId id : {TokenId{65535}, TokenId{7}, TokenId{300}, TokenId{7}}) {
    data.lookup.insert_or_assign(id, "q");
  }
  EXPECT_EQ(vocab(data), (std::vector<TokenId>{7, 300, 65535}));
}

// Returns the text of `ids` as write_text() gives it in units of `Unit`,
// turned back into UTF-8, after checking the shape against the units.
template <class Unit>
std::string written(const model::Data& data, const std::vector<TokenId>& ids) {
  const TextShape shape = text_shape(data, ids);
  // One guard unit past the end catches a write beyond the length.
  std::vector<Unit> units(shape.length + 1, Unit{0x55});
  write_text(data, ids, std::span<Unit>(units.data(), shape.length));
  EXPECT_EQ(units.back(), Unit{0x55});
  std::string out;
  char32_t max = 0;
  for (std::size_t i = 0; i < shape.length; ++i) {
    max = std::max<char32_t>(max, units[i]);
    text::append_code_point(out, units[i]);
  }
  EXPECT_EQ(max, shape.max_code_point);
  return out;
}

TEST(Decode, ValidTokensWriteTheirCodePointsInEveryWidth) {
  // Tokens of every UTF-8 length, written as code points in the narrowest
  // width their text needs and in every wider one, against the joined bytes.
  const std::vector<std::string> tokens = {
      "", std::string(1, '\0'), "a", "ab", "\u00E9", "\u00FFz", "\u0628",
      "\u0628\u064E\u0644", "\u20AC", "\uFFFF", "\U0001F600", "\U0010FFFF",
      "x\u0628y", "\u00E9\U0001F600\u0628",
      // Past the four code points that a token's head holds.
      "abcde", "\u0628\u064E\u0644\u064E\u0645",
      "\u00E9\u00E9\u00E9\u00E9\u00E9"};
  model::Data data;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    data.lookup.insert_or_assign(static_cast<TokenId>(i), tokens[i]);
  }
  ASSERT_TRUE(data.lookup.all_utf8());
  std::mt19937 random(3);
  for (int trial = 0; trial < 400; ++trial) {
    std::vector<TokenId> ids(random() % 9);
    // Early trials keep to the first tokens: ASCII, then Latin-1 only.
    const std::size_t choices = trial < 100   ? 4
                                : trial < 200 ? 6
                                              : tokens.size();
    for (TokenId& id : ids) id = static_cast<TokenId>(random() % choices);
    const std::string joined = decode(data, ids);
    const char32_t max = text_shape(data, ids).max_code_point;
    if (max < 0x100) {
      EXPECT_EQ(written<std::uint8_t>(data, ids), joined);
    }
    if (max < 0x10000) {
      EXPECT_EQ(written<std::uint16_t>(data, ids), joined);
    }
    EXPECT_EQ(written<std::uint32_t>(data, ids), joined);
  }
  EXPECT_EQ(text_shape(data, {}).length, 0u);
  EXPECT_EQ(text_shape(data, std::vector<TokenId>{0, 0}).max_code_point, 0u);
  EXPECT_EQ(text_shape(data, std::vector<TokenId>{11, 2}).max_code_point,
            char32_t{0x10FFFF});
  EXPECT_EQ(text_shape(data, std::vector<TokenId>{13}).length, 3u);
}

TEST(Decode, ShapesFollowEveryOverwriteAndMissingIdsFail) {
  model::Data data;
  data.lookup.insert_or_assign(2, "\u0628\u0628");
  EXPECT_EQ(text_shape(data, std::vector<TokenId>{2}).length, 2u);
  data.lookup.insert_or_assign(2, "abc");
  EXPECT_EQ(text_shape(data, std::vector<TokenId>{2}).length, 3u);
  EXPECT_EQ(text_shape(data, std::vector<TokenId>{2}).max_code_point,
            char32_t{'c'});
  data.lookup.insert_or_assign(2, "\xFF");
  data.lookup.insert_or_assign(2, "\U0001F600");
  ASSERT_TRUE(data.lookup.all_utf8());
  EXPECT_EQ(written<std::uint32_t>(data, {2, 2}), "\U0001F600\U0001F600");
  for (const std::vector<TokenId>& ids :
       {std::vector<TokenId>{3}, std::vector<TokenId>{2, 1},
        std::vector<TokenId>{65535}}) {
    EXPECT_EQ(testing::panic_message([&] { text_shape(data, ids); }),
              "This should not happend");
  }
}

}  // namespace
}  // namespace selvane::codec
