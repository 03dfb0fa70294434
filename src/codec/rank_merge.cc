#include "codec/rank_merge.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <functional>
#include <limits>
#include <span>
#include <string>

#include "base/panic.h"

namespace selvane::codec {
namespace {

using model::pair_key;
using model::PairKey;
using model::TokenId;

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// Below this many ids a pass that scans every pair costs less than keeping
// the linked list and the heap: a sentence has a few dozen clusters and
// merges about half of them, and its scans stay in one or two cache lines.
constexpr std::size_t kListFrom = 128;

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

// The candidates of any merge table, in a binary min-heap.
class HeapQueue {
 public:
  explicit HeapQueue(const RankTable&) {}
  // A merge may form a pair of its own rank, which must wait for the round
  // to end.
  static constexpr bool kPushAtOnce = false;
  void reserve(std::size_t count) { heap_.reserve(count); }
  // Adds a candidate before the first pop; `ready()` then orders them all.
  void add(const Candidate& candidate) { heap_.push_back(candidate); }
  void ready() { std::make_heap(heap_.begin(), heap_.end(), later); }
  void push(const Candidate& candidate) {
    heap_.push_back(candidate);
    std::push_heap(heap_.begin(), heap_.end(), later);
  }
  bool empty() const { return heap_.empty(); }
  std::uint64_t top_rank() const { return heap_.front().rank; }
  Candidate pop() {
    std::pop_heap(heap_.begin(), heap_.end(), later);
    const Candidate top = heap_.back();
    heap_.pop_back();
    return top;
  }

 private:
  std::vector<Candidate> heap_;
};

// The candidates of an ordered merge table, in a radix heap of one word per
// candidate, the merged id above the position. A merge there forms only
// pairs that rank after it, so no key pushed is below the last one popped,
// which is all a radix heap needs: a push is an append to the bucket of the
// highest bit in which the key differs from the last key popped, and a pop
// that finds bucket 0 empty spreads the next bucket over the lower ones. The
// keys move through the buckets in sequential runs, where a binary heap of a
// long text misses the cache at most levels of every push and pop.
class RadixQueue {
 public:
  explicit RadixQueue(const RankTable& table) : table_(table) {}
  // A merge forms only pairs of later ranks, which no round of this rank
  // can meet; they enter at once, before a peek moves the last key on.
  static constexpr bool kPushAtOnce = true;
  // The buckets that the keys start in depend on the merged ids; each grows
  // as it must.
  void reserve(std::size_t) {}
  void add(const Candidate& candidate) { push(candidate); }
  void ready() {}
  void push(const Candidate& candidate) {
    const std::uint64_t key =
        (std::uint64_t{merged_of(candidate.rank)} << 32) | candidate.position;
    buckets_[bucket_of(key)].push_back(key);
    ++size_;
  }
  bool empty() const { return size_ == 0; }
  std::uint64_t top_rank() {
    refill();
    return rank_of_key(buckets_[0].back());
  }
  Candidate pop() {
    refill();
    const std::uint64_t key = buckets_[0].back();
    buckets_[0].pop_back();
    --size_;
    return Candidate{rank_of_key(key),
                     static_cast<std::uint32_t>(key & 0xFFFFFFFFu)};
  }

 private:
  static constexpr std::size_t kBuckets = 65;

  std::size_t bucket_of(std::uint64_t key) const {
    return static_cast<std::size_t>(std::bit_width(key ^ last_));
  }

  std::uint64_t rank_of_key(std::uint64_t key) const {
    const auto merged = static_cast<TokenId>(key >> 32);
    return rank_of(merged, table_.pair_merging_into(merged));
  }

  // Makes bucket 0, the keys equal to the last one popped, non-empty.
  void refill() {
    if (!buckets_[0].empty()) return;
    std::size_t from = 1;
    while (buckets_[from].empty()) ++from;
    std::vector<std::uint64_t>& keys = buckets_[from];
    last_ = *std::min_element(keys.begin(), keys.end());
    // Every key of the bucket shares the new last key's bits above the
    // bucket's, so each lands in a lower bucket: no bucket grows while
    // this one is read.
    for (const std::uint64_t key : keys)
      buckets_[bucket_of(key)].push_back(key);
    keys.clear();
  }

  const RankTable& table_;
  std::array<std::vector<std::uint64_t>, kBuckets> buckets_;
  std::uint64_t last_ = 0;
  std::size_t size_ = 0;
};

// The rule on a short sequence, in passes over arrays: each pass finds the
// smallest rank among the pairs and rewrites that pair's occurrences
// leftmost first, as the plain loop does, but keeps each pair's rank from
// pass to pass, so that only the pairs around a merge are looked up again.
// `widths` and `ranks` hold room for every id; returns how many ids are
// left.
std::size_t merge_in_passes(const RankTable& table, std::vector<TokenId>& ids,
                            std::span<std::uint32_t> widths,
                            std::span<std::uint64_t> ranks) {
  std::size_t n = ids.size();
  std::fill_n(widths.begin(), n, 1u);
  // ranks[i] is the rank of the pair at i, i + 1; the last id has no pair,
  // and its kNoRank keeps the rewrite free of a bounds test.
  ranks[n - 1] = kNoRank;
  for (std::size_t i = 0; i + 1 < n; ++i) {
    ranks[i] = table.rank(ids[i], ids[i + 1]);
  }
  for (;;) {
    const auto first = std::min_element(
        ranks.begin(), ranks.begin() + static_cast<std::ptrdiff_t>(n));
    const std::uint64_t best = *first;
    if (best == kNoRank) break;
    const TokenId merged = merged_of(best);
    // Everything before the first occurrence stays as it is.
    std::size_t out = static_cast<std::size_t>(first - ranks.begin());
    bool previous_merged = false;
    for (std::size_t i = out; i < n; ++out) {
      // The last pair has no rank, so a match always has its right id.
      const bool merge = ranks[i] == best;
      if (merge) {
        ids[out] = merged;
        widths[out] = widths[i] + widths[i + 1];
        i += 2;
      } else {
        // Its pair with the next id stays right unless that id merges, and
        // then it is looked up again when the merged id is written.
        ids[out] = ids[i];
        widths[out] = widths[i];
        ranks[out] = ranks[i];
        ++i;
      }
      // A pair with a merged id on either side is new.
      if (out > 0 && (merge || previous_merged)) {
        ranks[out - 1] = table.rank(ids[out - 1], ids[out]);
      }
      previous_merged = merge;
    }
    n = out;
    ranks[n - 1] = kNoRank;
  }
  ids.resize(n);
  return n;
}

// The sequence as a linked list over the positions of its base ids: a
// merge keeps its left node, which takes the merged id and the right node's
// width, and unlinks the right node (width 0 marks it gone). Positions thus
// stay in text order, which the heap's tie-break relies on.
template <class Queue>
class RankMerger {
 public:
  RankMerger(const RankTable& table, std::vector<TokenId>& ids)
      : table_(table), ids_(ids), queue_(table) {
    const std::size_t n = ids.size();
    next_.resize(n);
    prev_.resize(n);
    widths_.assign(n, 1);
    for (std::size_t i = 0; i < n; ++i) {
      next_[i] = i + 1 < n ? static_cast<std::uint32_t>(i + 1) : kNone;
      prev_[i] = i == 0 ? kNone : static_cast<std::uint32_t>(i - 1);
    }
    queue_.reserve(n);
    std::vector<Candidate> initial;
    initial.reserve(n);
    for (std::size_t i = 0; i + 1 < n; ++i) {
      add_candidate(static_cast<std::uint32_t>(i), initial);
    }
    for (const Candidate& candidate : initial) queue_.add(candidate);
    queue_.ready();
  }

  void run() {
    std::vector<Candidate> formed;
    while (!queue_.empty()) {
      const Candidate first = queue_.pop();
      if (!is_current(first)) continue;
      // A round rewrites the occurrences that the pair has right now, in
      // text order, as one leftmost-first pass over the sequence would.
      // Occurrences that a merge of this round forms wait for the next
      // round, like those a pass creates: they enter the heap only after.
      const std::uint64_t rank = first.rank;
      merge_at(first.position, rank, formed);
      flush_if_at_once(formed);
      std::uint32_t last = first.position;
      while (!queue_.empty() && queue_.top_rank() == rank) {
        const Candidate next = queue_.pop();
        // Later positions are untouched by this round's merges, except a
        // right node that a merge removed (an overlapping occurrence, which
        // the pass skips too); an entry at `last` is a duplicate.
        if (next.position <= last || !is_current(next)) continue;
        merge_at(next.position, rank, formed);
        flush_if_at_once(formed);
        last = next.position;
      }
      for (const Candidate& candidate : formed) queue_.push(candidate);
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
  void flush_if_at_once(std::vector<Candidate>& formed) {
    if constexpr (Queue::kPushAtOnce) {
      for (const Candidate& candidate : formed) queue_.push(candidate);
      formed.clear();
    }
  }

  // Adds the pair that starts at `node` to `out` when it has a merge.
  void add_candidate(std::uint32_t node, std::vector<Candidate>& out) const {
    const std::uint32_t right = next_[node];
    if (right == kNone) return;
    const std::uint64_t rank = table_.rank(ids_[node], ids_[right]);
    if (rank != kNoRank) out.push_back(Candidate{rank, node});
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

  const RankTable& table_;
  std::vector<TokenId>& ids_;
  std::vector<std::uint32_t> next_;
  std::vector<std::uint32_t> prev_;
  std::vector<std::uint32_t> widths_;
  Queue queue_;
};

// Runs the rank rule on `ids` with the queue `Queue`.
template <class Queue>
void merge_with(const RankTable& table, std::vector<TokenId>& ids,
                std::vector<std::uint32_t>* widths) {
  RankMerger<Queue> merger(table, ids);
  merger.run();
  merger.finish(widths);
}

}  // namespace

void merge_by_rank(const RankTable& table, std::vector<TokenId>& ids,
                   std::vector<std::uint32_t>* widths) {
  if (ids.size() < kListFrom) {
    merge_by_rank_in_passes(table, ids, widths);
  } else {
    merge_by_rank_with_heap(table, ids, widths);
  }
}

void merge_by_rank_in_passes(const RankTable& table, std::vector<TokenId>& ids,
                             std::vector<std::uint32_t>* widths) {
  const std::size_t n = ids.size();
  if (n < 2 || table.empty()) {
    if (widths != nullptr) widths->assign(n, 1);
    return;
  }
  // A sentence's working arrays fit on the stack, which spares a short
  // text two allocations; longer inputs (only tests send them) take the
  // heap.
  std::array<std::uint64_t, kListFrom> local_ranks;
  std::array<std::uint32_t, kListFrom> local_spans;
  std::vector<std::uint64_t> heap_ranks;
  std::vector<std::uint32_t> heap_spans;
  std::span<std::uint64_t> ranks(local_ranks);
  std::span<std::uint32_t> spans(local_spans);
  if (n > kListFrom) {
    heap_ranks.resize(n);
    heap_spans.resize(n);
    ranks = heap_ranks;
    spans = heap_spans;
  }
  const std::size_t left = merge_in_passes(table, ids, spans, ranks);
  if (widths != nullptr)
    widths->assign(spans.begin(),
                   spans.begin() + static_cast<std::ptrdiff_t>(left));
}

void merge_by_rank_with_heap(const RankTable& table, std::vector<TokenId>& ids,
                             std::vector<std::uint32_t>* widths) {
  // Positions and widths are 32-bit, which halves the list's memory on long
  // texts; kNone must stay free as the end marker.
  if (ids.size() >= kNone) {
    panic("a text of " + std::to_string(ids.size()) +
          " clusters is too long for the rank rule (at most 4294967294)");
  }
  if (ids.size() < 2 || table.empty()) {
    if (widths != nullptr) widths->assign(ids.size(), 1);
    return;
  }
  if (table.ordered()) {
    merge_with<RadixQueue>(table, ids, widths);
  } else {
    merge_with<HeapQueue>(table, ids, widths);
  }
}

}  // namespace selvane::codec
