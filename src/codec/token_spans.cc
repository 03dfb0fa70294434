#include "codec/token_spans.h"

#include <cstdint>
#include <optional>
#include <utility>

#include "base/panic.h"
#include "codec/encode.h"
#include "codec/pair_counts.h"
#include "codec/rank_merge.h"
#include "text/grapheme.h"

namespace selvane::codec {
namespace {

using model::TokenId;

// Returns the number of code points of each cluster of `st`.
std::vector<std::uint32_t> cluster_lengths(std::string_view st) {
  std::vector<std::uint32_t> lengths;
  text::for_each_grapheme(st, [&](std::string_view cluster) {
    std::uint32_t count = 0;
    // Every byte but a continuation byte starts a code point.
    for (const char byte : cluster) {
      if ((static_cast<unsigned char>(byte) & 0xC0u) != 0x80u) ++count;
    }
    lengths.push_back(count);
  });
  return lengths;
}

// Merges `ids` by their own most frequent pairs, as `merge_base_ids()` does
// with the same choice of pair at every step, carrying each token's width
// along. Only models whose widths do not follow from their ids come here, and
// they are hand-made, so the plain recount of every step is good enough.
void merge_by_frequency_with_widths(const model::Merges& merges,
                                    std::vector<TokenId>& ids,
                                    std::vector<std::uint32_t>& widths) {
  if (merges.empty()) return;
  while (ids.size() >= 2) {
    const PairCounts counts = count_occur(ids);
    std::optional<PairCount> best;
    for (const auto& [pair, count] : counts) {
      if (const PairCount candidate{pair, count};
          !best || ranks_before(candidate, *best)) {
        best = candidate;
      }
    }
    const auto merge = merges.find(best->pair);
    if (merge == merges.end()) return;
    const TokenId first = model::pair_first(best->pair);
    const TokenId second = model::pair_second(best->pair);
    std::size_t out = 0;
    for (std::size_t i = 0; i < ids.size(); ++out) {
      if (i + 1 < ids.size() && ids[i] == first && ids[i + 1] == second) {
        ids[out] = merge->second;
        widths[out] = widths[i] + widths[i + 1];
        i += 2;
      } else {
        ids[out] = ids[i];
        widths[out] = widths[i];
        ++i;
      }
    }
    ids.resize(out);
    widths.resize(out);
  }
}

}  // namespace

std::vector<TokenSpan> encode_spans(const model::Data& data,
                                    const TokenWidths& widths,
                                    const RankTable& ranks, std::string_view st,
                                    Rule rule) {
  std::vector<TokenId> ids = base_ids(data.unicode_lookup, st);
  const std::vector<std::uint32_t> lengths = cluster_lengths(st);
  std::vector<std::uint32_t> token_widths;
  if (rule == Rule::kRank) {
    merge_by_rank(ranks, ids, &token_widths);
  } else if (widths.exact()) {
    ids = merge_base_ids(data.merges, std::move(ids));
    token_widths.reserve(ids.size());
    for (const TokenId id : ids) token_widths.push_back(widths.width(id));
  } else {
    token_widths.assign(ids.size(), 1);
    merge_by_frequency_with_widths(data.merges, ids, token_widths);
  }

  std::vector<TokenSpan> spans;
  spans.reserve(ids.size());
  std::size_t cluster = 0;
  std::size_t position = 0;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    // The widths of a text's tokens add up to its cluster count; anything
    // else is a fault of this code, reported before it can read past the end.
    if (token_widths[i] > lengths.size() - cluster) {
      panic("This should not happen");
    }
    const std::size_t start = position;
    for (std::uint32_t k = 0; k < token_widths[i]; ++k) {
      position += lengths[cluster++];
    }
    spans.push_back(TokenSpan{ids[i], start, position});
  }
  if (cluster != lengths.size()) panic("This should not happen");
  return spans;
}

}  // namespace selvane::codec
