#ifndef SELVANE_CODEC_RANK_TABLE_H_
#define SELVANE_CODEC_RANK_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "model/data.h"

namespace selvane::codec {

// The rank of a pair that has no merge.
inline constexpr std::uint64_t kNoRank =
    std::numeric_limits<std::uint64_t>::max();

// Returns the rank of the pair `pair` merging into `merged`: the merged id
// above the pair, so that ascending ranks are the order of the rank rule.
constexpr std::uint64_t rank_of(model::TokenId merged, model::PairKey pair) {
  return (std::uint64_t{merged} << 32) | pair;
}

// Returns the pair of a rank.
constexpr model::PairKey pair_of(std::uint64_t rank) {
  return static_cast<model::PairKey>(rank & 0xFFFFFFFFu);
}

// Returns the merged id of a rank.
constexpr model::TokenId merged_of(std::uint64_t rank) {
  return static_cast<model::TokenId>(rank >> 32);
}

// RankTable
//
// The merges of a model as ranks, in a flat open-addressing table built once
// per model: the rank rule looks a pair up for every id of a text and every
// merge, and a slot read here costs a multiply and usually one cache line,
// where the node map costs a division and a pointer chase. The rank holds
// its pair, so a slot is one word; kNoRank marks an empty one.
class RankTable {
 public:
  explicit RankTable(const model::Merges& merges);

  // Returns whether there are no merges.
  bool empty() const { return empty_; }

  // Returns whether every merged id has one pair and is above both its ids,
  // as in every trained model (ids are handed out in learning order). Then a
  // merge can only form pairs that rank after its own.
  bool ordered() const { return ordered_; }

  // Returns the pair that merges into `merged`, a merged id of an
  // `ordered()` table.
  model::PairKey pair_merging_into(model::TokenId merged) const {
    return pairs_by_merged_[merged];
  }

  // Returns one more than the highest merged id, 0 without merges.
  std::size_t merged_id_bound() const { return pairs_by_merged_.size(); }

  // Returns the rank of (first, second), or kNoRank when it has no merge.
  std::uint64_t rank(model::TokenId first, model::TokenId second) const {
    const model::PairKey pair = model::pair_key(first, second);
    for (std::size_t slot = slot_of(pair);; slot = (slot + 1) & mask_) {
      const std::uint64_t entry = slots_[slot];
      if (entry == kNoRank || pair_of(entry) == pair) return entry;
    }
  }

 private:
  std::size_t slot_of(model::PairKey pair) const {
    return static_cast<std::size_t>((pair * 0x9E3779B97F4A7C15ull) >> shift_);
  }

  std::vector<std::uint64_t> slots_;
  std::size_t mask_ = 0;
  int shift_ = 0;
  bool empty_ = true;
  bool ordered_ = true;
  std::vector<model::PairKey> pairs_by_merged_;
};

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_RANK_TABLE_H_
