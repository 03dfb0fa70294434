#include "codec/token_spans.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/rule_encode.h"
#include "codec/token_widths.h"

namespace selvane::codec {
namespace {

using model::Data;
using model::pair_key;
using model::TokenId;

// Clusters a=1, b=2, the letter beh with fatha (two code points) = 3, "oov"
// = 0; merges (a, b) -> 4, (4, beh) -> 5, (beh, beh) -> 6.
Data trained_like_model() {
  Data data;
  data.unicode_lookup.insert_or_assign("oov", 0);
  data.unicode_lookup.insert_or_assign("a", 1);
  data.unicode_lookup.insert_or_assign("b", 2);
  data.unicode_lookup.insert_or_assign("\xD8\xA8\xD9\x8E", 3);
  data.merges[pair_key(1, 2)] = 4;
  data.merges[pair_key(4, 3)] = 5;
  data.merges[pair_key(3, 3)] = 6;
  return data;
}

struct Span {
  TokenId id;
  std::size_t start;
  std::size_t end;
  bool operator==(const Span&) const = default;
};

std::vector<Span> spans_of(const Data& data, std::string_view text, Rule rule) {
  const TokenWidths widths(data);
  std::vector<Span> out;
  const RankTable ranks(data.merges);
  for (const TokenSpan& span : encode_spans(data, widths, ranks, text, rule)) {
    out.push_back(Span{span.id, span.start, span.end});
  }
  return out;
}

TEST(TokenWidths, FollowFromTheMergesOfATrainedModel) {
  const TokenWidths widths(trained_like_model());
  EXPECT_TRUE(widths.exact());
  EXPECT_EQ(widths.width(1), 1u);
  EXPECT_EQ(widths.width(4), 2u);
  EXPECT_EQ(widths.width(5), 3u);
  EXPECT_EQ(widths.width(6), 2u);
  EXPECT_EQ(widths.width(99), 0u);
}

TEST(TokenWidths, AreNotExactWhenAnIdHasTwoFormsOrContainsItself) {
  Data shared = trained_like_model();
  shared.merges[pair_key(2, 2)] = 4;  // 4 is a b, and also b b
  EXPECT_FALSE(TokenWidths(shared).exact());
  Data cluster = trained_like_model();
  cluster.merges[pair_key(2, 2)] = 1;  // 1 is also the cluster a
  EXPECT_FALSE(TokenWidths(cluster).exact());
  Data cycle = trained_like_model();
  cycle.merges[pair_key(7, 1)] = 8;
  cycle.merges[pair_key(8, 2)] = 7;
  EXPECT_FALSE(TokenWidths(cycle).exact());
}

TEST(EncodeSpans, GivesCodePointSpansOfEveryToken) {
  const Data data = trained_like_model();
  // "ab" + beh-fatha + "x" (unknown) + beh-fatha beh-fatha.
  const std::string text =
      "ab\xD8\xA8\xD9\x8E"
      "x\xD8\xA8\xD9\x8E\xD8\xA8\xD9\x8E";
  EXPECT_EQ(spans_of(data, text, Rule::kRank),
            (std::vector<Span>{{5, 0, 4}, {0, 4, 5}, {6, 5, 9}}));
  EXPECT_TRUE(spans_of(data, "", Rule::kRank).empty());
  EXPECT_EQ(spans_of(data, "a", Rule::kFrequency),
            (std::vector<Span>{{1, 0, 1}}));
}

// The spans of the frequency rule come from the width table on a trained
// model and from merging with widths on any other; both must give the ids of
// encode_by_rule() and the same spans.
TEST(EncodeSpans, BothWaysOfFindingWidthsAgree) {
  const Data exact = trained_like_model();
  Data inexact = exact;
  inexact.merges[pair_key(3, 1)] = 4;  // never met in these texts
  ASSERT_FALSE(TokenWidths(inexact).exact());
  const char* texts[] = {"ab", "abab\xD8\xA8\xD9\x8E", "aaabbbab", "xyzab",
                         "\xD8\xA8\xD9\x8E\xD8\xA8\xD9\x8E\xD8\xA8\xD9\x8E"};
  for (const std::string text : texts) {
    for (const Rule rule : {Rule::kFrequency, Rule::kRank}) {
      const auto spans = spans_of(exact, text, rule);
      EXPECT_EQ(spans, spans_of(inexact, text, rule)) << text;
      std::vector<TokenId> ids;
      std::size_t end = 0;
      for (const Span& span : spans) {
        ids.push_back(span.id);
        EXPECT_EQ(span.start, end);
        end = span.end;
      }
      EXPECT_EQ(ids, encode_by_rule(exact, RankTable(exact.merges), text, rule))
          << text;
    }
  }
}

}  // namespace
}  // namespace selvane::codec
