#ifndef SELVANE_FUZZ_UNIT_CHECK_H_
#define SELVANE_FUZZ_UNIT_CHECK_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/encoding_model.h"
#include "codec/special_matcher.h"
#include "codec/unit_encode.h"
#include "model/data.h"
#include "property.h"
#include "text/grapheme.h"

namespace selvane::fuzz {

// The clusters a fuzzed model may know (the first few of them), and what a
// fuzzed text is made of: those, clusters no model knows, a lone combining
// mark that joins the cluster before it, and the special tokens' texts and
// pieces of them.
inline constexpr std::array<std::string_view, 7> kUnitClusters = {
    "a", "b", "\xD8\xA8\xD9\x8E\xD9\x91", " ", "\r\n", "\xD8\xA8", "\xD8\xAA"};
inline constexpr std::array<std::string_view, 8> kUnitStrangers = {
    "\xF0\x9F\x98\x80", "Z", "\xC3\xA9", "\xCC\x81", "<s>",
    "<s><s>",           "<", "s>"};
inline constexpr std::array<std::string_view, 3> kUnitSpecials = {
    "<s>", "<s><s>", "s>"};
inline constexpr model::TokenId kUnitSpecialBase = 40;
inline constexpr model::TokenId kUnitByteBase = 100;

// Returns the special tokens of `text` split the plain way: at each byte the
// longest token that starts there, else the byte joins the current piece.
// Pieces are appended as (text, no id), specials as (empty, id).
inline std::vector<std::pair<std::string, std::optional<model::TokenId>>>
plain_special_split(std::string_view text,
                    const std::vector<codec::SpecialToken>& tokens) {
  std::vector<std::pair<std::string, std::optional<model::TokenId>>> parts;
  std::string piece;
  for (std::size_t at = 0; at < text.size();) {
    const codec::SpecialToken* best = nullptr;
    for (const codec::SpecialToken& token : tokens) {
      if (text.substr(at).starts_with(token.text) &&
          (best == nullptr || token.text.size() > best->text.size())) {
        best = &token;
      }
    }
    if (best == nullptr) {
      piece += text[at++];
      continue;
    }
    if (!piece.empty()) parts.emplace_back(piece, std::nullopt);
    piece.clear();
    parts.emplace_back(std::string(), best->id);
    at += best->text.size();
  }
  if (!piece.empty()) parts.emplace_back(piece, std::nullopt);
  return parts;
}

// check_unit()
//
// The input is a model and a text: the first byte gives the number of known
// clusters (1 to 7) and of merges (0 to 31); the second whether the model
// has byte fallback and how many special tokens it has (0 to 3); each merge
// takes three bytes (first, second, merged, each reduced to the oov id, the
// cluster ids and eight more), so merges may take or give the oov id; each
// remaining byte picks a piece of text. Under both rules, with and without
// the special tokens allowed:
// - the one-pass shortcut of `encode_unit()` gives the ids and unknown count
//   of placing every token on its clusters, piece by piece after the plain
//   split at special tokens;
// - the spans carry the same ids, are contiguous and cover the text;
// - the unknown count is the number of clusters the model lacks.
inline void check_unit(std::string_view input) {
  if (input.size() < 2) return;
  const auto head = static_cast<std::uint8_t>(input[0]);
  const auto flags = static_cast<std::uint8_t>(input[1]);
  input.remove_prefix(2);
  const unsigned known =
      1u + (head & 0x7u) % static_cast<unsigned>(kUnitClusters.size());
  model::Data data;
  data.unicode_lookup.insert_or_assign(std::string(model::kOovKey), 0);
  data.lookup.insert_or_assign(0, "");
  for (unsigned i = 0; i < known; ++i) {
    const auto id = static_cast<model::TokenId>(i + 1);
    data.unicode_lookup.insert_or_assign(std::string(kUnitClusters[i]), id);
    data.lookup.insert_or_assign(id, std::string(kUnitClusters[i]));
  }
  for (unsigned k = head >> 3; k > 0 && input.size() >= 3; --k) {
    const auto id = [&](std::size_t at) {
      return static_cast<model::TokenId>(static_cast<std::uint8_t>(input[at]) %
                                         (known + 9u));
    };
    data.merges[model::pair_key(id(0), id(1))] = id(2);
    input.remove_prefix(3);
  }
  const unsigned special_count = (flags >> 1) % 4u;
  for (unsigned i = 0; i < special_count; ++i) {
    data.lookup.insert_or_assign(
        static_cast<model::TokenId>(kUnitSpecialBase + i),
        std::string(kUnitSpecials[i]));
  }
  if ((flags & 1u) != 0) {
    for (std::size_t byte = 0; byte < 256; ++byte) {
      data.lookup.insert_or_assign(
          static_cast<model::TokenId>(kUnitByteBase + byte),
          std::string(1, static_cast<char>(byte)));
    }
  }
  std::string text;
  for (const char pick : input) {
    const std::size_t at = static_cast<std::uint8_t>(pick) %
                           (kUnitClusters.size() + kUnitStrangers.size());
    text += at < kUnitClusters.size()
                ? kUnitClusters[at]
                : kUnitStrangers[at - kUnitClusters.size()];
  }

  const codec::EncodingModel model(std::move(data));
  require(model.tokens.specials.size() == special_count,
          "the special tokens are the ids no cluster or merge produces");
  require(model.tokens.byte_base.has_value() == ((flags & 1u) != 0),
          "a model has byte fallback when it holds the 256 byte tokens");
  std::uint64_t strangers = 0;
  text::for_each_grapheme(text, [&](std::string_view cluster) {
    if (model.data.unicode_lookup.find(cluster) ==
        model.data.unicode_lookup.end()) {
      ++strangers;
    }
  });
  std::size_t code_points = 0;
  for (const char byte : text) {
    if ((static_cast<unsigned char>(byte) & 0xC0u) != 0x80u) ++code_points;
  }

  for (const codec::Rule rule : {codec::Rule::kFrequency, codec::Rule::kRank}) {
    for (const codec::SpecialMatcher* specials :
         {static_cast<const codec::SpecialMatcher*>(nullptr),
          &model.all_specials}) {
      const codec::UnitOptions options{rule, specials, std::nullopt};
      std::vector<model::TokenId> expected;
      std::uint64_t expected_unknown = 0;
      const auto parts = plain_special_split(
          text, specials != nullptr ? model.tokens.specials
                                    : std::vector<codec::SpecialToken>{});
      for (const auto& [piece, id] : parts) {
        if (id) {
          expected.push_back(*id);
        } else {
          expected_unknown +=
              codec::encode_piece_by_position(model, piece, rule, expected);
        }
      }
      std::vector<model::TokenId> ids;
      const std::uint64_t unknown =
          codec::encode_unit(model, text, options, ids);
      require(ids == expected,
              "encode_unit gives the ids of the placed tokens, piece by piece");
      require(unknown == expected_unknown,
              "encode_unit counts the unknown clusters of every piece");
      if (specials == nullptr) {
        require(unknown == strangers,
                "the unknown count is the clusters the model lacks");
      }
      std::vector<codec::TokenSpan> spans;
      require(codec::encode_unit_spans(model, text, options, spans) == unknown,
              "the spans count the same unknown clusters");
      std::size_t position = 0;
      for (std::size_t i = 0; i < spans.size(); ++i) {
        require(spans[i].id == ids[i] && spans[i].start == position &&
                    spans[i].end >= position,
                "the spans carry the ids and are contiguous");
        position = spans[i].end;
      }
      require(spans.size() == ids.size() && position == code_points,
              "the spans cover the text");
    }
  }
}

}  // namespace selvane::fuzz

#endif  // SELVANE_FUZZ_UNIT_CHECK_H_
