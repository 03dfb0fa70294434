#include "codec/unit_encode.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "codec/batch_encode.h"
#include "codec/model_tokens.h"
#include "codec/rule_encode.h"
#include "codec/special_matcher.h"

namespace selvane::codec {
namespace {

using model::Data;
using model::pair_key;
using model::TokenId;

constexpr TokenId kBytes = 10;

// Clusters a, b and space; ab, ab+space; a special token at 7 and 8; bytes
// from 10 on.
Data token_model() {
  Data data;
  data.unicode_lookup.insert_or_assign("oov", 0);
  data.lookup.insert_or_assign(0, "");
  const char* clusters[] = {"a", "b", " "};
  for (TokenId id = 1; id <= 3; ++id) {
    data.unicode_lookup.insert_or_assign(clusters[id - 1], id);
    data.lookup.insert_or_assign(id, clusters[id - 1]);
  }
  data.merges[pair_key(1, 2)] = 4;
  data.merges[pair_key(4, 3)] = 5;
  data.lookup.insert_or_assign(4, "ab");
  data.lookup.insert_or_assign(5, "ab ");
  data.lookup.insert_or_assign(7, "<s>");
  data.lookup.insert_or_assign(8, "<s><s>");
  for (std::size_t byte = 0; byte < kByteTokenCount; ++byte) {
    data.lookup.insert_or_assign(static_cast<TokenId>(kBytes + byte),
                                 std::string(1, static_cast<char>(byte)));
  }
  return data;
}

TEST(ModelTokens, ClassifiesSpecialsAndTheLowestCompleteByteRun) {
  const ModelTokens tokens(token_model());
  EXPECT_EQ(tokens.oov, TokenId{0});
  EXPECT_TRUE(tokens.oov_stands_alone);
  EXPECT_EQ(tokens.byte_base, kBytes);
  EXPECT_EQ(tokens.specials,
            (std::vector<SpecialToken>{{"<s>", 7}, {"<s><s>", 8}}));
  EXPECT_EQ(tokens.special(8)->text, "<s><s>");
  EXPECT_EQ(tokens.special(4), nullptr);

  // A run missing one byte is no byte fallback; its bytes that are text are
  // special tokens, the others are nothing.
  Data broken = token_model();
  broken.lookup.insert_or_assign(kBytes + 0x80, "x");
  const ModelTokens without(broken);
  EXPECT_FALSE(without.byte_base);
  EXPECT_EQ(without.specials.size(), 2u + 0x80u);
  // A second run above the first does not move it; a run that a cluster
  // produces does not count.
  Data twice = token_model();
  for (std::size_t byte = 0; byte < kByteTokenCount; ++byte) {
    twice.lookup.insert_or_assign(static_cast<TokenId>(400 + byte),
                                  std::string(1, static_cast<char>(byte)));
  }
  EXPECT_EQ(ModelTokens(twice).byte_base, kBytes);
  twice.unicode_lookup.insert_or_assign("\x05", kBytes + 5);
  EXPECT_EQ(ModelTokens(twice).byte_base, TokenId{400});
  // Merges that take or give the oov id make it ambiguous.
  Data merged = token_model();
  merged.merges[pair_key(0, 1)] = 6;
  EXPECT_FALSE(ModelTokens(merged).oov_stands_alone);
}

// Splits `text` and writes pieces as themselves and specials as #id.
std::string split_shown(const SpecialMatcher& matcher, std::string_view text) {
  std::string shown;
  matcher.split(
      text,
      [&](std::string_view piece) { shown += "[" + std::string(piece) + "]"; },
      [&](const SpecialToken& token) {
        shown += "#" + std::to_string(token.id);
      });
  return shown;
}

TEST(SpecialMatcher, TakesTheLeftmostLongestOccurrence) {
  const SpecialMatcher matcher(
      {{"<s>", 1}, {"<s><s>", 2}, {"s>x", 3}, {"", 4}});
  EXPECT_EQ(split_shown(matcher, "a<s><s><s>b"), "[a]#2#1[b]");
  EXPECT_EQ(split_shown(matcher, "<s>x"), "#1[x]");
  EXPECT_EQ(split_shown(matcher, "s>x<s"), "#3[<s]");
  EXPECT_EQ(split_shown(matcher, ""), "");
  EXPECT_TRUE(SpecialMatcher({{"", 4}}).empty());
  // Tokens that share their first byte are found by searching for it.
  const SpecialMatcher angled({{"<s>", 1}, {"<s><s>", 2}});
  EXPECT_EQ(split_shown(angled, "a<s><s><s>b<"), "[a]#2#1[b<]");
  EXPECT_EQ(split_shown(angled, "<<s>"), "[<]#1");
  EXPECT_EQ(split_shown(angled, "plain"), "[plain]");
  // Of equal texts the first given wins.
  EXPECT_EQ(split_shown(SpecialMatcher({{"<s>", 9}, {"<s>", 1}}), "<s>"), "#9");
}

TEST(EncodeUnit, SpellsUnknownClustersOutAndEmitsSpecials) {
  const EncodingModel model(token_model());
  const SpecialMatcher specials({{"<s>", 7}});
  const UnitOptions none{Rule::kRank, nullptr, std::nullopt};
  for (const Rule rule : {Rule::kFrequency, Rule::kRank}) {
    // The pieces alone, with the oov id of U+00E9 replaced by its bytes.
    std::vector<TokenId> expected;
    for (const TokenId id :
         encode_by_rule(model.data, model.ranks, "ab \u00E9", rule)) {
      if (id == 0) {
        expected.insert(expected.end(), {kBytes + 0xC3, kBytes + 0xA9});
      } else {
        expected.push_back(id);
      }
    }
    // The cluster stands alone at the end of the piece, spelled out.
    ASSERT_EQ(expected.back(), kBytes + 0xA9);
    expected.push_back(7);
    for (const TokenId id :
         encode_by_rule(model.data, model.ranks, "ab", rule)) {
      expected.push_back(id);
    }
    expected.push_back(9);
    std::vector<TokenId> ids;
    EXPECT_EQ(encode_unit(model, "ab \u00E9<s>ab", {rule, &specials, 9}, ids),
              1u);
    EXPECT_EQ(ids, expected);

    std::vector<TokenSpan> spans;
    EXPECT_EQ(
        encode_unit_spans(model, "ab \u00E9<s>ab", {rule, &specials, 9}, spans),
        1u);
    std::vector<TokenId> span_ids;
    std::size_t position = 0;
    for (const TokenSpan& span : spans) {
      span_ids.push_back(span.id);
      EXPECT_EQ(span.start, position);
      position = span.end;
      if (span.id == kBytes + 0xC3) {
        EXPECT_EQ(span.end - span.start, 1u);
      } else if (span.id == kBytes + 0xA9) {
        EXPECT_EQ(span.start, 4u);
        EXPECT_EQ(span.end, 4u);
      } else if (span.id == 7) {
        EXPECT_EQ(span.end - span.start, 3u);
      }
    }
    EXPECT_EQ(span_ids, expected);
    EXPECT_EQ(position, 9u);
  }
  // Without the allowance "<s>" is three unknown clusters.
  std::vector<TokenId> ids;
  EXPECT_EQ(encode_unit(model, "<s>", none, ids), 3u);
  EXPECT_EQ(ids,
            (std::vector<TokenId>{kBytes + '<', kBytes + 's', kBytes + '>'}));
}

TEST(EncodeUnit, TheShortcutGivesThePlacedIdsOnRandomText) {
  Data plain = token_model();
  Data odd = token_model();
  odd.merges[pair_key(0, 1)] = 6;  // an unknown cluster merged with a
  odd.merges[pair_key(3, 3)] = 0;  // two spaces give the oov id
  const char* pool[] = {"a", "b", " ", "x", "\xC3\xA9", "\xF0\x9F\x98\x80"};
  std::mt19937 random(22);
  for (const Data* data : {&plain, &odd}) {
    const EncodingModel model(*data);
    for (int round = 0; round < 300; ++round) {
      std::string text;
      const int length = static_cast<int>(random() % 40);
      for (int i = 0; i < length; ++i) text += pool[random() % 6];
      for (const Rule rule : {Rule::kFrequency, Rule::kRank}) {
        std::vector<TokenId> placed;
        const std::uint64_t unknown =
            encode_piece_by_position(model, text, rule, placed);
        std::vector<TokenId> ids;
        EXPECT_EQ(encode_unit(model, text, {rule, nullptr, std::nullopt}, ids),
                  unknown)
            << text;
        EXPECT_EQ(ids, placed) << text;
        // Known text is encode_by_rule() exactly.
        if (unknown == 0) {
          EXPECT_EQ(ids, encode_by_rule(model.data, model.ranks, text, rule));
        }
      }
    }
  }
}

TEST(EncodeUnits, CountsUnknownClustersAndUnitsWhateverTheThreads) {
  const EncodingModel model(token_model());
  std::vector<std::string> texts;
  for (std::size_t k = 0; k < 400; ++k) {
    std::string text;
    for (std::size_t i = 0; i < k * 37 % 701; ++i) text += "ab xb"[(i * k) % 5];
    texts.push_back(text);
  }
  const std::vector<std::string_view> views(texts.begin(), texts.end());
  std::vector<TokenId> expected;
  std::uint64_t unknown = 0;
  std::uint64_t units = 0;
  for (const std::string& text : texts) {
    const std::uint64_t count =
        encode_unit(model, text, {Rule::kRank, nullptr, 7}, expected);
    unknown += count;
    units += count > 0 ? 1 : 0;
  }
  ASSERT_GT(units, 0u);
  for (const std::size_t threads : {1u, 2u, 5u}) {
    const EncodedUnits result =
        encode_units(model, views, {Rule::kRank, nullptr, 7}, threads);
    EXPECT_EQ(result.flat.ids, expected);
    EXPECT_EQ(result.unknown_clusters, unknown);
    EXPECT_EQ(result.units_with_unknown, units);
    ASSERT_EQ(result.flat.offsets.size(), texts.size() + 1);
    for (std::size_t i = 1; i < result.flat.offsets.size(); ++i) {
      EXPECT_EQ(result.flat.ids[result.flat.offsets[i] - 1], 7u);
    }
  }
}

}  // namespace
}  // namespace selvane::codec
