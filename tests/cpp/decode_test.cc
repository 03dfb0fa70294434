#include "codec/decode.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/panic.h"
#include "codec/vocab.h"

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

}  // namespace
}  // namespace selvane::codec
