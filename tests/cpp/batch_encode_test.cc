#include "codec/batch_encode.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "base/panic.h"
#include "codec/rule_encode.h"
#include "testing/unicode_lookup_extras.h"

namespace selvane::codec {
namespace {

using model::Data;
using model::pair_key;

Data small_model() {
  Data data;
  data.unicode_lookup.insert_or_assign("oov", 0);
  data.unicode_lookup.insert_or_assign("a", 1);
  data.unicode_lookup.insert_or_assign("b", 2);
  data.unicode_lookup.insert_or_assign(" ", 3);
  data.merges[pair_key(1, 2)] = 4;
  data.merges[pair_key(4, 3)] = 5;
  data.merges[pair_key(2, 2)] = 6;
  return data;
}

// Texts from empty to many kilobytes, so that they fill several blocks.
std::vector<std::string> make_texts() {
  std::vector<std::string> texts = {"", "a", "ab ab", "bbb", "xy"};
  for (std::size_t k = 0; k < 300; ++k) {
    std::string text;
    for (std::size_t i = 0; i < k * 7 % 901; ++i) text += "ab b"[(i * k) % 4];
    texts.push_back(text);
  }
  return texts;
}

TEST(EncodeBatch, GivesEachTextsIdsWhateverTheThreadCount) {
  const Data data = small_model();
  const std::vector<std::string> texts = make_texts();
  const std::vector<std::string_view> views(texts.begin(), texts.end());
  for (const Rule rule : {Rule::kFrequency, Rule::kRank}) {
    std::vector<model::TokenId> expected;
    std::vector<std::uint64_t> offsets = {0};
    for (const std::string& text : texts) {
      const auto ids = encode_by_rule(data, RankTable(data.merges), text, rule);
      expected.insert(expected.end(), ids.begin(), ids.end());
      offsets.push_back(expected.size());
    }
    for (const std::size_t threads :
         std::initializer_list<std::size_t>{1, 2, 3, 16}) {
      const FlatIds flat =
          encode_batch(data, RankTable(data.merges), views, rule, threads);
      EXPECT_EQ(flat.ids, expected) << threads;
      EXPECT_EQ(flat.offsets, offsets) << threads;
    }
  }
  const FlatIds none =
      encode_batch(data, RankTable(data.merges), {}, Rule::kRank, 2);
  EXPECT_TRUE(none.ids.empty());
  EXPECT_EQ(none.offsets, (std::vector<std::uint64_t>{0}));
}

TEST(EncodeBatch, RethrowsAFailureOnTheCallingThread) {
  Data data = small_model();
  data.unicode_lookup =
      model::lookup_of({{"a", 1}, {"b", 2}, {" ", 3}});  // no "oov"
  std::vector<std::string> texts = make_texts();
  texts.push_back("abz");
  const std::vector<std::string_view> views(texts.begin(), texts.end());
  EXPECT_THROW(
      encode_batch(data, RankTable(data.merges), views, Rule::kRank, 2), Panic);
}

}  // namespace
}  // namespace selvane::codec
