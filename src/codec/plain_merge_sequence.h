#ifndef SELVANE_CODEC_PLAIN_MERGE_SEQUENCE_H_
#define SELVANE_CODEC_PLAIN_MERGE_SEQUENCE_H_

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "codec/pair_counts.h"
#include "model/token_id.h"

namespace selvane::codec {

// PlainMergeSequence
//
// An id sequence that is merged pair by pair, recounting every pair of the
// whole sequence for each choice. It is the obvious form of the merge loops
// of training and encoding, kept as the reference that faster sequences with
// the same interface (size, top, ban, clear_bans, apply, ids) must match
// exactly.
class PlainMergeSequence {
 public:
  explicit PlainMergeSequence(std::vector<TokenId> ids)
      : ids_(std::move(ids)) {}

  // Returns the number of ids.
  std::size_t size() const { return ids_.size(); }

  // Returns the most frequent pair that is not banned (the smallest pair
  // among equal counts), or nullopt when no pair is eligible.
  std::optional<PairCount> top() {
    const PairCounts counts = count_occur(ids_);
    std::optional<PairCount> best;
    for (const auto& [pair, count] : counts) {
      if (is_banned(pair)) continue;
      if (const PairCount candidate{pair, count};
          !best || ranks_before(candidate, *best)) {
        best = candidate;
      }
    }
    return best;
  }

  // Excludes `pair` from every later `top()`.
  void ban(PairKey pair) { banned_.push_back(pair); }

  // Makes every pair eligible again.
  void clear_bans() { banned_.clear(); }

  // Replaces every occurrence of `pair`, leftmost first, by `merged`.
  void apply(PairKey pair, TokenId merged) {
    ids_ = replace_pair(ids_, pair, merged);
  }

  // Returns the current ids.
  std::span<const TokenId> ids() const { return ids_; }

 private:
  bool is_banned(PairKey pair) const {
    for (PairKey banned : banned_) {
      if (banned == pair) return true;
    }
    return false;
  }

  std::vector<TokenId> ids_;
  std::vector<PairKey> banned_;
};

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_PLAIN_MERGE_SEQUENCE_H_
