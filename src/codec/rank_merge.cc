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
#include "base/prefetch.h"

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
  // The heap's order beyond its top is not at hand.
  static constexpr bool kKnowsAhead = false;
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

// The candidates of an ordered merge table, in one bucket per merged id.
// A merge there forms only pairs that merge into higher ids, so the ids come
// out of the queue in ascending order and no push ever lands in the bucket
// being taken: a push is an append to its bucket, and taking a bucket reads
// it in one run and sorts it when it is out of order. Where a heap of a long
// text moves every key through several levels, each candidate here is
// written once and read once.
class BucketQueue {
 public:
  explicit BucketQueue(const RankTable& table)
      : table_(table), scratch_(scratch_for(table)) {}
  BucketQueue(const BucketQueue&) = delete;
  BucketQueue& operator=(const BucketQueue&) = delete;
  ~BucketQueue() {
    // A run that ends early (only on an exception) leaves buckets behind,
    // which the next run on this thread must not see; a text far longer
    // than usual leaves large buckets, which are not kept.
    if (size_ != 0 || pushed_ > kKeptEntries) {
      scratch_.buckets.clear();
      scratch_.filled.clear();
      scratch_.round = {};
    }
  }
  // A merge forms only pairs of later ranks, which no round of this rank
  // can meet; they enter at once.
  static constexpr bool kPushAtOnce = true;
  // The round being taken is a sorted array.
  static constexpr bool kKnowsAhead = true;
  void reserve(std::size_t) {}
  void add(const Candidate& candidate) { push(candidate); }
  void ready() {}
  void push(const Candidate& candidate) {
    const TokenId merged = merged_of(candidate.rank);
    scratch_.buckets[merged].push_back(candidate.position);
    scratch_.filled[merged >> 6] |= std::uint64_t{1} << (merged & 63u);
    ++size_;
    ++pushed_;
  }
  bool empty() const { return size_ == 0; }
  std::uint64_t top_rank() {
    load();
    return rank_;
  }
  Candidate pop() {
    load();
    --size_;
    return Candidate{rank_, scratch_.round[taken_++]};
  }
  // Returns the position `k` places after the next one to be popped in
  // this round, or kNone.
  std::uint32_t ahead(std::size_t k) const {
    const std::size_t at = taken_ + k;
    return at < scratch_.round.size() ? scratch_.round[at] : kNone;
  }

 private:
  // Candidates of one run beyond which its buckets are freed: a few
  // megabytes per thread, about a 1 MB text.
  static constexpr std::size_t kKeptEntries = std::size_t{1} << 21;

  // The buckets of one thread, kept from text to text with their room, so
  // that a long text does not grow thousands of vectors again every time.
  // At rest every bucket is empty and every bit clear.
  struct Scratch {
    std::vector<std::vector<std::uint32_t>> buckets;
    std::vector<std::uint64_t> filled;
    std::vector<std::uint32_t> round;
  };

  // Kept out of line: inlined, the compiler looks the thread's storage up
  // again at every use in the loops instead of keeping its address.
#if defined(__GNUC__) || defined(__clang__)
  [[gnu::noinline]]
#endif
  static Scratch&
  scratch_for(const RankTable& table) {
    thread_local Scratch scratch;
    const std::size_t bound = table.merged_id_bound();
    if (scratch.buckets.size() < bound) {
      scratch.buckets.resize(bound);
      scratch.filled.resize((bound + 63) / 64, 0);
    }
    scratch.round.clear();
    return scratch;
  }

  // Makes the next position to take that of the lowest merged id left.
  void load() {
    if (taken_ < scratch_.round.size()) return;
    std::size_t word = next_id_ >> 6;
    while (scratch_.filled[word] == 0) ++word;
    const auto merged = static_cast<TokenId>(
        word * 64 +
        static_cast<std::size_t>(std::countr_zero(scratch_.filled[word])));
    scratch_.filled[word] &= scratch_.filled[word] - 1;
    next_id_ = merged;
    rank_ = rank_of(merged, table_.pair_merging_into(merged));
    // The bucket's storage becomes the round's and the other way about, so
    // that both keep their room.
    std::vector<std::uint32_t>& round = scratch_.round;
    round.clear();
    round.swap(scratch_.buckets[merged]);
    // Pushes come in text order within a round and out of it across
    // rounds.
    if (!std::is_sorted(round.begin(), round.end())) {
      std::sort(round.begin(), round.end());
    }
    taken_ = 0;
  }

  const RankTable& table_;
  Scratch& scratch_;
  std::size_t size_ = 0;
  std::size_t pushed_ = 0;
  std::size_t taken_ = 0;
  std::size_t next_id_ = 0;
  std::uint64_t rank_ = 0;
};

// How the passes below name the merge of a pair. Any table: its full rank,
// which orders pairs that share a merged id.
struct FullRanks {
  using Key = std::uint64_t;
  static constexpr Key kNoKey = kNoRank;
  static Key key(const RankTable& table, TokenId first, TokenId second) {
    return table.rank(first, second);
  }
  static TokenId merged(const RankTable&, Key key) { return merged_of(key); }
};

// An ordered table: its merged id alone, since each id has one pair and is
// above 0, moved down into the signed 16-bit range (SSE2 has a minimum of
// signed 16-bit lanes only). A pass then scans eight keys per vector
// instruction where it scanned one rank.
struct MergedIds {
  using Key = std::int16_t;
  static constexpr Key kNoKey = std::numeric_limits<Key>::max();
  static Key key(const RankTable& table, TokenId first, TokenId second) {
    const std::uint64_t rank = table.rank(first, second);
    return rank == kNoRank ? kNoKey
                           : static_cast<Key>(int{merged_of(rank)} - 32769);
  }
  static TokenId merged(const RankTable&, Key key) {
    return static_cast<TokenId>(int{key} + 32769);
  }
};

// The rule on a short sequence, in passes over arrays: each pass finds the
// smallest key among the pairs and rewrites that pair's occurrences
// leftmost first, as the plain loop does, but keeps each pair's key from
// pass to pass, so that only the pairs around a merge are looked up again.
// `widths` and `keys` hold room for every id; returns how many ids are
// left.
template <class Keys>
std::size_t merge_in_passes(const RankTable& table, std::vector<TokenId>& ids,
                            std::span<std::uint32_t> widths,
                            std::span<typename Keys::Key> keys) {
  using Key = typename Keys::Key;
  std::size_t n = ids.size();
  std::fill_n(widths.begin(), n, 1u);
  // keys[i] is the key of the pair at i, i + 1; the last id has no pair,
  // and its kNoKey keeps the rewrite free of a bounds test.
  keys[n - 1] = Keys::kNoKey;
  for (std::size_t i = 0; i + 1 < n; ++i) {
    keys[i] = Keys::key(table, ids[i], ids[i + 1]);
  }
  for (;;) {
    // The smallest value first, in a loop the compiler vectorises, then
    // where it is.
    // (Through a plain pointer: a checked span access would keep it
    // scalar.)
    Key best = Keys::kNoKey;
    const Key* const scan = keys.data();
    for (std::size_t i = 0; i < n; ++i) best = std::min(best, scan[i]);
    if (best == Keys::kNoKey) break;
    const TokenId merged = Keys::merged(table, best);
    // Everything before the first occurrence stays as it is, and
    // everything after the last one only moves down.
    std::size_t out = static_cast<std::size_t>(
        std::find(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(n),
                  best) -
        keys.begin());
    // The last pair has no key, so the last occurrence is before it and
    // has its right id.
    std::size_t last = n - 2;
    while (scan[last] != best) --last;
    bool previous_merged = false;
    std::size_t i = out;
    while (i <= last) {
      const bool merge = keys[i] == best;
      if (merge) {
        ids[out] = merged;
        widths[out] = widths[i] + widths[i + 1];
        i += 2;
      } else {
        // Its pair with the next id stays right unless that id merges, and
        // then it is looked up again when the merged id is written.
        ids[out] = ids[i];
        widths[out] = widths[i];
        keys[out] = keys[i];
        ++i;
      }
      // A pair with a merged id on either side is new.
      if (out > 0 && (merge || previous_merged)) {
        keys[out - 1] = Keys::key(table, ids[out - 1], ids[out]);
      }
      previous_merged = merge;
      ++out;
    }
    // The loop ends on a merge (of the last occurrence, or of the one
    // before it that took it as its right id); the ids after it keep
    // their pairs, except the first, whose left id is the merged one.
    const std::size_t tail = n - i;
    const auto from = static_cast<std::ptrdiff_t>(i);
    const auto to = static_cast<std::ptrdiff_t>(out);
    const auto count = static_cast<std::ptrdiff_t>(tail);
    std::copy(ids.begin() + from, ids.begin() + from + count, ids.begin() + to);
    std::copy(widths.begin() + from, widths.begin() + from + count,
              widths.begin() + to);
    std::copy(keys.begin() + from, keys.begin() + from + count,
              keys.begin() + to);
    if (tail > 0) keys[out - 1] = Keys::key(table, ids[out - 1], ids[out]);
    n = out + tail;
    keys[n - 1] = Keys::kNoKey;
  }
  ids.resize(n);
  return n;
}

// Runs the passes with keys `Keys`, on the stack for a sentence (which
// spares a short text two allocations); longer inputs (only tests send
// them) take the heap.
template <class Keys>
void run_passes(const RankTable& table, std::vector<TokenId>& ids,
                std::vector<std::uint32_t>* widths) {
  const std::size_t n = ids.size();
  std::array<typename Keys::Key, kListFrom> local_keys;
  std::array<std::uint32_t, kListFrom> local_spans;
  std::vector<typename Keys::Key> heap_keys;
  std::vector<std::uint32_t> heap_spans;
  std::span<typename Keys::Key> keys(local_keys);
  std::span<std::uint32_t> spans(local_spans);
  if (n > kListFrom) {
    heap_keys.resize(n);
    heap_spans.resize(n);
    keys = heap_keys;
    spans = heap_spans;
  }
  const std::size_t left = merge_in_passes<Keys>(table, ids, spans, keys);
  if (widths != nullptr)
    widths->assign(spans.begin(),
                   spans.begin() + static_cast<std::ptrdiff_t>(left));
}

// Forces a helper into its caller: a function that only prefetches has no
// effect the compiler counts, and once it stands apart as a call the
// optimiser may drop it, prefetches and all.
#if defined(__GNUC__) || defined(__clang__)
#define SELVANE_RANK_INLINE [[gnu::always_inline]] inline
#else
#define SELVANE_RANK_INLINE inline
#endif

// How far ahead in a round the nodes of coming occurrences are fetched: the
// occurrences of one merged id lie far apart in a long text, so nearly every
// node is a cache miss, and fetching the node a few occurrences early and
// its right neighbour once the node is there keeps several misses in
// flight.
constexpr std::size_t kFetchNodeAhead = 8;
constexpr std::size_t kFetchRightAhead = 4;

// The sequence as a linked list over the positions of its base ids: a
// merge keeps its left node, which takes the merged id and the right node's
// width, and unlinks the right node (width 0 marks it gone). Positions thus
// stay in text order, which the heap's tie-break relies on. A node's links,
// width and id share one 16-byte slot, so that looking at a pair costs one
// cache line per node.
template <class Queue>
class RankMerger {
 public:
  RankMerger(const RankTable& table, std::vector<TokenId>& ids)
      : table_(table), ids_(ids), queue_(table) {
    const std::size_t n = ids.size();
    nodes_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      nodes_[i] =
          Node{i + 1 < n ? static_cast<std::uint32_t>(i + 1) : kNone,
               i == 0 ? kNone : static_cast<std::uint32_t>(i - 1), 1, ids[i]};
    }
    queue_.reserve(n);
    for (std::size_t i = 0; i + 1 < n; ++i) {
      const std::uint64_t rank = table_.rank(ids[i], ids[i + 1]);
      if (rank != kNoRank) {
        queue_.add(Candidate{rank, static_cast<std::uint32_t>(i)});
      }
    }
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
        fetch_ahead();
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
         node = nodes_[node].next) {
      ids_[out++] = nodes_[node].id;
      if (widths != nullptr) widths->push_back(nodes_[node].width);
    }
    ids_.resize(out);
  }

 private:
  struct Node {
    std::uint32_t next;
    std::uint32_t prev;
    std::uint32_t width;
    TokenId id;
  };

  // Prefetches the nodes of the occurrences a few places further on in the
  // round, when the queue can tell them.
  SELVANE_RANK_INLINE void fetch_ahead() {
    if constexpr (Queue::kKnowsAhead) {
      const Node* nodes = nodes_.data();
      const std::uint32_t far = queue_.ahead(kFetchNodeAhead);
      if (far != kNone) prefetch(nodes + far);
      const std::uint32_t near = queue_.ahead(kFetchRightAhead);
      if (near != kNone && nodes[near].next != kNone) {
        prefetch(nodes + nodes[near].next);
      }
    }
  }

  void flush_if_at_once(std::vector<Candidate>& formed) {
    if constexpr (Queue::kPushAtOnce) {
      for (const Candidate& candidate : formed) queue_.push(candidate);
      formed.clear();
    }
  }

  // Adds the pair that starts at `node` to `out` when it has a merge.
  void add_candidate(std::uint32_t node, std::vector<Candidate>& out) const {
    const std::uint32_t right = nodes_[node].next;
    if (right == kNone) return;
    const std::uint64_t rank = table_.rank(nodes_[node].id, nodes_[right].id);
    if (rank != kNoRank) out.push_back(Candidate{rank, node});
  }

  // Returns whether the pair of `candidate` still starts at its node; the
  // heap keeps entries that later merges made stale.
  bool is_current(const Candidate& candidate) const {
    const Node& node = nodes_[candidate.position];
    if (node.width == 0 || node.next == kNone) return false;
    return pair_key(node.id, nodes_[node.next].id) == pair_of(candidate.rank);
  }

  void merge_at(std::uint32_t at, std::uint64_t rank,
                std::vector<Candidate>& formed) {
    Node& node = nodes_[at];
    Node& right = nodes_[node.next];
    node.id = merged_of(rank);
    node.width += right.width;
    right.width = 0;
    node.next = right.next;
    if (right.next != kNone) nodes_[right.next].prev = at;
    if (node.prev != kNone) add_candidate(node.prev, formed);
    add_candidate(at, formed);
  }

  const RankTable& table_;
  std::vector<TokenId>& ids_;
  std::vector<Node> nodes_;
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
  if (table.ordered()) {
    run_passes<MergedIds>(table, ids, widths);
  } else {
    run_passes<FullRanks>(table, ids, widths);
  }
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
    merge_with<BucketQueue>(table, ids, widths);
  } else {
    merge_with<HeapQueue>(table, ids, widths);
  }
}

}  // namespace selvane::codec
