#include "codec/rank_merge.h"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <limits>
#include <string>

#include "base/panic.h"

namespace selvane::codec {
namespace {

using model::pair_key;
using model::PairKey;
using model::TokenId;

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// One neighbouring pair that has a merge: the node that holds its left id,
// and its rank, the merged id above the pair, so that ascending ranks are the
// order in which pairs are taken.
struct Candidate {
  std::uint64_t rank = 0;
  std::uint32_t position = 0;
};

// Orders a min-heap by rank, then position: a pair's occurrences leave the
// heap together, leftmost first.
constexpr bool later(const Candidate& a, const Candidate& b) {
  return a.rank > b.rank || (a.rank == b.rank && a.position > b.position);
}

constexpr std::uint64_t rank_of(TokenId merged, PairKey pair) {
  return (std::uint64_t{merged} << 32) | pair;
}

constexpr PairKey pair_of(std::uint64_t rank) {
  return static_cast<PairKey>(rank & 0xFFFFFFFFu);
}

constexpr TokenId merged_of(std::uint64_t rank) {
  return static_cast<TokenId>(rank >> 32);
}

// The sequence as a linked list over the positions of its base ids: a
// merge keeps its left node, which takes the merged id and the right node's
// width, and unlinks the right node (width 0 marks it gone). Positions thus
// stay in text order, which the heap's tie-break relies on.
class RankMerger {
 public:
  RankMerger(const model::Merges& merges, std::vector<TokenId>& ids)
      : merges_(merges), ids_(ids) {
    const std::size_t n = ids.size();
    next_.resize(n);
    prev_.resize(n);
    widths_.assign(n, 1);
    for (std::size_t i = 0; i < n; ++i) {
      next_[i] = i + 1 < n ? static_cast<std::uint32_t>(i + 1) : kNone;
      prev_[i] = i == 0 ? kNone : static_cast<std::uint32_t>(i - 1);
    }
    heap_.reserve(n);
    for (std::size_t i = 0; i + 1 < n; ++i) {
      add_candidate(static_cast<std::uint32_t>(i), heap_);
    }
    std::make_heap(heap_.begin(), heap_.end(), later);
  }

  void run() {
    std::vector<Candidate> formed;
    while (!heap_.empty()) {
      const Candidate first = pop();
      if (!is_current(first)) continue;
      // A round rewrites the occurrences that the pair has right now, in
      // text order, as one leftmost-first pass over the sequence would.
      // Occurrences that a merge of this round forms wait for the next
      // round, like those a pass creates: they enter the heap only after.
      const std::uint64_t rank = first.rank;
      merge_at(first.position, rank, formed);
      std::uint32_t last = first.position;
      while (!heap_.empty() && heap_.front().rank == rank) {
        const Candidate next = pop();
        // Later positions are untouched by this round's merges, except a
        // right node that a merge removed (an overlapping occurrence, which
        // the pass skips too); an entry at `last` is a duplicate.
        if (next.position <= last || !is_current(next)) continue;
        merge_at(next.position, rank, formed);
        last = next.position;
      }
      for (const Candidate& candidate : formed) {
        heap_.push_back(candidate);
        std::push_heap(heap_.begin(), heap_.end(), later);
      }
      formed.clear();
    }
  }

  // Rewrites the ids (and widths) in text order, dropping removed nodes.
  void finish(std::vector<std::uint32_t>* widths) {
    std::size_t out = 0;
    if (widths != nullptr) widths->clear();
    for (std::uint32_t node = ids_.empty() ? kNone : 0; node != kNone;
         node = next_[node]) {
      ids_[out++] = ids_[node];
      if (widths != nullptr) widths->push_back(widths_[node]);
    }
    ids_.resize(out);
  }

 private:
  Candidate pop() {
    std::pop_heap(heap_.begin(), heap_.end(), later);
    const Candidate top = heap_.back();
    heap_.pop_back();
    return top;
  }

  // Adds the pair that starts at `node` to `out` when it has a merge.
  void add_candidate(std::uint32_t node, std::vector<Candidate>& out) const {
    const std::uint32_t right = next_[node];
    if (right == kNone) return;
    const PairKey pair = pair_key(ids_[node], ids_[right]);
    const auto merge = merges_.find(pair);
    if (merge == merges_.end()) return;
    out.push_back(Candidate{rank_of(merge->second, pair), node});
  }

  // Returns whether the pair of `candidate` still starts at its node; the
  // heap keeps entries that later merges made stale.
  bool is_current(const Candidate& candidate) const {
    const std::uint32_t node = candidate.position;
    if (widths_[node] == 0) return false;
    const std::uint32_t right = next_[node];
    return right != kNone &&
           pair_key(ids_[node], ids_[right]) == pair_of(candidate.rank);
  }

  void merge_at(std::uint32_t node, std::uint64_t rank,
                std::vector<Candidate>& formed) {
    const std::uint32_t right = next_[node];
    ids_[node] = merged_of(rank);
    widths_[node] += widths_[right];
    widths_[right] = 0;
    next_[node] = next_[right];
    if (next_[right] != kNone) prev_[next_[right]] = node;
    if (prev_[node] != kNone) add_candidate(prev_[node], formed);
    add_candidate(node, formed);
  }

  const model::Merges& merges_;
  std::vector<TokenId>& ids_;
  std::vector<std::uint32_t> next_;
  std::vector<std::uint32_t> prev_;
  std::vector<std::uint32_t> widths_;
  std::vector<Candidate> heap_;
};

}  // namespace

void merge_by_rank(const model::Merges& merges, std::vector<TokenId>& ids,
                   std::vector<std::uint32_t>* widths) {
  // Positions and widths are 32-bit, which halves the list's memory on long
  // texts; kNone must stay free as the end marker.
  if (ids.size() >= kNone) {
    panic("a text of " + std::to_string(ids.size()) +
          " clusters is too long for the rank rule (at most 4294967294)");
  }
  if (ids.size() < 2 || merges.empty()) {
    if (widths != nullptr) widths->assign(ids.size(), 1);
    return;
  }
  RankMerger merger(merges, ids);
  merger.run();
  merger.finish(widths);
}

}  // namespace selvane::codec
