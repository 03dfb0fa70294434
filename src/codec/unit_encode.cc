#include "codec/unit_encode.h"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "base/panic.h"
#include "codec/encode.h"
#include "codec/rule_encode.h"
#include "text/grapheme.h"

namespace selvane::codec {
namespace {

using model::TokenId;

// Returns the number of code points of the valid UTF-8 text `st`.
std::size_t code_point_count(std::string_view st) {
  // Every byte but a continuation byte starts a code point.
  return static_cast<std::size_t>(
      std::count_if(st.begin(), st.end(), [](char byte) {
        return (static_cast<unsigned char>(byte) & 0xC0u) != 0x80u;
      }));
}

bool is_known(const EncodingModel& model, std::string_view cluster) {
  return model.data.unicode_lookup.find(cluster) !=
         model.data.unicode_lookup.end();
}

TokenId byte_id(TokenId base, char byte) {
  return static_cast<TokenId>(base + static_cast<unsigned char>(byte));
}

// One cluster of a piece: its length in code points and whether the model
// knows it.
struct Cluster {
  std::string_view text;
  std::size_t length = 0;
  bool known = true;
};

// Appends the tokens of `piece`, which starts at code point `origin` of its
// unit, with their spans, and returns its unknown cluster count. Every token
// is placed on the clusters it covers, so an unknown cluster is found
// whatever the model's merges do with the oov id: a token that is the oov id
// and covers one unknown cluster is expanded, any other is kept.
std::uint64_t append_piece_spans(const EncodingModel& model,
                                 std::string_view piece, Rule rule,
                                 std::size_t origin,
                                 std::vector<TokenSpan>& out) {
  const std::vector<TokenSpan> spans =
      encode_spans(model.data, model.widths, model.ranks, piece, rule);
  std::vector<Cluster> clusters;
  std::uint64_t unknown = 0;
  text::for_each_grapheme(piece, [&](std::string_view cluster) {
    const bool known = is_known(model, cluster);
    unknown += known ? 0 : 1;
    clusters.push_back(Cluster{cluster, code_point_count(cluster), known});
  });
  const std::optional<TokenId> oov = model.tokens.oov;
  const std::optional<TokenId> bytes = model.tokens.byte_base;
  std::size_t next = 0;
  for (const TokenSpan& span : spans) {
    const std::size_t first = next;
    for (std::size_t at = span.start; at < span.end; ++next) {
      // The spans cover the piece cluster by cluster; anything else is a
      // fault of this code, reported before it reads past the end.
      if (next == clusters.size()) panic("This should not happen");
      at += clusters[next].length;
    }
    const bool expand = bytes && oov && span.id == *oov && next == first + 1 &&
                        !clusters[first].known;
    if (!expand) {
      out.push_back(TokenSpan{span.id, origin + span.start, origin + span.end});
      continue;
    }
    const std::string_view cluster = clusters[first].text;
    out.push_back(TokenSpan{byte_id(*bytes, cluster[0]), origin + span.start,
                            origin + span.end});
    for (std::size_t k = 1; k < cluster.size(); ++k) {
      out.push_back(TokenSpan{byte_id(*bytes, cluster[k]), origin + span.end,
                              origin + span.end});
    }
  }
  return unknown;
}

// Appends the ids of `piece` and returns its unknown cluster count. When the
// oov id stands for unknown clusters alone, the oov ids left after merging
// are the unknown clusters in text order, so they are replaced in one pass
// over the merged ids, without placing tokens on clusters.
std::uint64_t append_piece(const EncodingModel& model, std::string_view piece,
                           Rule rule, std::vector<TokenId>& out) {
  const ModelTokens& tokens = model.tokens;
  if (!tokens.oov) {
    // Without an oov entry every cluster is known, or the lookup fails.
    const std::vector<TokenId> ids =
        encode_by_rule(model.data, model.ranks, piece, rule);
    out.insert(out.end(), ids.begin(), ids.end());
    return 0;
  }
  if (!tokens.oov_stands_alone) {
    return encode_piece_by_position(model, piece, rule, out);
  }
  const TokenId oov = *tokens.oov;
  std::vector<TokenId> ids = base_ids(model.data.unicode_lookup, piece);
  const auto unknown =
      static_cast<std::uint64_t>(std::count(ids.begin(), ids.end(), oov));
  merge_by_rule(model.data, model.ranks, ids, rule);
  if (unknown == 0 || !tokens.byte_base) {
    out.insert(out.end(), ids.begin(), ids.end());
    return unknown;
  }
  std::vector<std::string_view> strangers;
  strangers.reserve(unknown);
  text::for_each_grapheme(piece, [&](std::string_view cluster) {
    if (!is_known(model, cluster)) strangers.push_back(cluster);
  });
  std::size_t next = 0;
  for (const TokenId id : ids) {
    if (id != oov) {
      out.push_back(id);
      continue;
    }
    if (next == strangers.size()) panic("This should not happen");
    for (const char byte : strangers[next++]) {
      out.push_back(byte_id(*tokens.byte_base, byte));
    }
  }
  return unknown;
}

}  // namespace

std::uint64_t encode_piece_by_position(const EncodingModel& model,
                                       std::string_view piece, Rule rule,
                                       std::vector<TokenId>& ids) {
  std::vector<TokenSpan> spans;
  const std::uint64_t unknown =
      append_piece_spans(model, piece, rule, 0, spans);
  for (const TokenSpan& span : spans) ids.push_back(span.id);
  return unknown;
}

std::uint64_t encode_unit(const EncodingModel& model, std::string_view text,
                          const UnitOptions& options,
                          std::vector<TokenId>& ids) {
  std::uint64_t unknown = 0;
  if (options.specials == nullptr || options.specials->empty()) {
    unknown = append_piece(model, text, options.rule, ids);
  } else {
    options.specials->split(
        text,
        [&](std::string_view piece) {
          unknown += append_piece(model, piece, options.rule, ids);
        },
        [&](const SpecialToken& special) { ids.push_back(special.id); });
  }
  if (options.eos) ids.push_back(*options.eos);
  return unknown;
}

std::uint64_t encode_unit_spans(const EncodingModel& model,
                                std::string_view text,
                                const UnitOptions& options,
                                std::vector<TokenSpan>& spans) {
  std::uint64_t unknown = 0;
  std::size_t position = 0;
  const auto on_piece = [&](std::string_view piece) {
    unknown += append_piece_spans(model, piece, options.rule, position, spans);
    position += code_point_count(piece);
  };
  if (options.specials == nullptr || options.specials->empty()) {
    on_piece(text);
  } else {
    options.specials->split(text, on_piece, [&](const SpecialToken& special) {
      const std::size_t end = position + code_point_count(special.text);
      spans.push_back(TokenSpan{special.id, position, end});
      position = end;
    });
  }
  if (options.eos) spans.push_back(TokenSpan{*options.eos, position, position});
  return unknown;
}

}  // namespace selvane::codec
