#include "codec/merge_engine.h"

#include <algorithm>
#include <utility>

#include "base/panic.h"
#include "base/prefetch.h"

namespace selvane::codec {
namespace {

// Link past the first or the last node.
constexpr std::uint32_t kEnd = 0xFFFFFFFFu;
// `next` of a node that a merge has unlinked. Every other link is below it.
constexpr std::uint32_t kDead = 0xFFFFFFFEu;
// Node indices must stay below both markers.
constexpr std::size_t kMaxIds = kDead - 1;

// How far ahead of the occurrence being rewritten its node, its neighbours
// and the node after its right neighbour, then the records and table slots
// its merge reads, are fetched. Occurrences lie far apart in a long
// sequence, so almost every node is a cache miss; fetching in stages (each
// needs the links of the one before) keeps several misses in flight and more
// than halves a training chunk. A merge takes so little time between its
// misses that the stages must start 32 occurrences ahead to arrive in time
// (5 % less for the known merges of 300 MB than 16).
constexpr std::size_t kFetchNodeAhead = 32;
constexpr std::size_t kFetchNeighboursAhead = 16;
constexpr std::size_t kFetchAfterAhead = 8;
constexpr std::size_t kFetchPairsAhead = 4;

// Forces a helper into its caller. A function that only prefetches has no
// effect the compiler counts, so once it stands apart as a call, the
// optimiser may judge the call useless and drop it, prefetches and all.
#if defined(__GNUC__) || defined(__clang__)
#define SELVANE_ALWAYS_INLINE [[gnu::always_inline]] inline
#else
#define SELVANE_ALWAYS_INLINE inline
#endif

}  // namespace

MergeEngine::MergeEngine(std::vector<TokenId> ids)
    : MergeEngine(NoIds{}, ids.size()) {
  append_ids(ids);
  list_positions();
}

MergeEngine::MergeEngine(NoIds, std::size_t expected) : table_(expected) {
  nodes_.reserve(std::min(expected, kMaxIds));
}

void MergeEngine::append_ids(std::span<const TokenId> ids) {
  if (ids.size() > kMaxIds - nodes_.size()) panic("Sequence too long");
  // The nodes are linked and their windows counted in one pass over the
  // array, which is far larger than the processor's cache: a second pass
  // to count would fetch it all again. Counting first lets every position
  // list be allocated once at its final size.
  for (const TokenId id : ids) {
    const auto index = static_cast<std::uint32_t>(nodes_.size());
    std::uint32_t prev = kEnd;
    if (index != 0) {
      Node& last = nodes_.back();
      const std::uint32_t record = intern(model::pair_key(last.id, id));
      ++records_[record].count;
      last.window = record;
      last.next = index;
      prev = index - 1;
    }
    nodes_.push_back(Node{prev, kEnd, 0, id});
  }
  size_ = nodes_.size();
}

void MergeEngine::list_positions() {
  const std::size_t n = nodes_.size();
  for (std::size_t r = 0; r < records_.size(); ++r) {
    positions_[r].reserve(records_[r].count, pool_);
  }
  for (std::size_t i = 0; i + 1 < n; ++i) {
    positions_[nodes_[i].window].push_back(static_cast<std::uint32_t>(i),
                                           pool_);
  }
  heap_.reserve(records_.size());
  for (std::size_t r = 0; r < records_.size(); ++r) {
    heap_.push_back(heap_rank(PairCount{
        table_.key(static_cast<std::uint32_t>(r)), records_[r].count}));
  }
  std::make_heap(heap_.begin(), heap_.end());
}

std::optional<PairCount> MergeEngine::top() {
  // Invariant: every pair with windows that is not banned has an entry whose
  // count is at least its current count (every raise pushes one). So an
  // entry on top with the exact count beats every other pair, and the
  // entries that do not match can be repaired or dropped on the way.
  while (!heap_.empty()) {
    const std::uint64_t entry = heap_.front();
    const auto count = static_cast<std::uint32_t>(entry >> 32);
    const auto key = static_cast<PairKey>(~static_cast<PairKey>(entry));
    const PairRecord& record = records_[find(key)];
    // The winner stays in the heap: asking again returns it again.
    if (!record.banned && record.count == count) {
      return PairCount{key, count};
    }
    const std::uint32_t current = record.count;
    const bool banned = record.banned;
    std::pop_heap(heap_.begin(), heap_.end());
    heap_.pop_back();
    // An entry above the current count is the only one that may stand for
    // the pair, so it comes back with the right count. One below it is a
    // leftover: the raise that passed it pushed a newer entry.
    if (!banned && current != 0 && current < count) push_entry(current, key);
  }
  return std::nullopt;
}

void MergeEngine::ban(PairKey pair) {
  // The record may not exist yet: a pair banned before it ever occurs stays
  // banned when a merge creates it.
  const std::uint32_t record = intern(pair);
  if (!records_[record].banned) banned_.push_back(record);
  records_[record].banned = true;
}

void MergeEngine::clear_bans() {
  // `top()` dropped the heap entries of banned pairs, so each one lifted
  // gets an entry with its current count back.
  for (const std::uint32_t record : banned_) {
    PairRecord& lifted = records_[record];
    lifted.banned = false;
    if (lifted.count != 0) push_entry(lifted.count, table_.key(record));
  }
  banned_.clear();
}

// Fetches what the occurrences a few places after `k` will touch: the node,
// its neighbours and the node after its right neighbour, and once those
// have arrived, the records of the windows the merge destroys and the table
// slots of the pairs it creates. Each stage needs what the one before it
// fetched; a neighbour changed by an earlier occurrence only makes a hint
// useless, never a result different.
SELVANE_ALWAYS_INLINE void MergeEngine::prefetch_ahead(
    std::span<const std::uint32_t> positions, std::size_t k,
    TokenId merged) const {
  const Node* const fetch = nodes_.data();
  const std::size_t listed = positions.size();
  if (k + kFetchNodeAhead < listed) {
    prefetch(fetch + positions[k + kFetchNodeAhead]);
  }
  if (k + kFetchNeighboursAhead < listed) {
    const Node& ahead = fetch[positions[k + kFetchNeighboursAhead]];
    if (ahead.prev < kDead) prefetch(fetch + ahead.prev);
    if (ahead.next < kDead) prefetch(fetch + ahead.next);
  }
  if (k + kFetchAfterAhead < listed) {
    const Node& ahead = fetch[positions[k + kFetchAfterAhead]];
    if (ahead.next < kDead) {
      const Node& right = fetch[ahead.next];
      if (right.next < kDead) {
        prefetch(fetch + right.next);
        prefetch(records_.data() + right.window);
      }
      prefetch(records_.data() + ahead.window);
    }
    if (ahead.prev < kDead) {
      const Node& before = fetch[ahead.prev];
      prefetch(records_.data() + before.window);
      table_.prefetch(model::pair_key(before.id, merged));
    }
  }
  if (k + kFetchPairsAhead < listed) {
    const Node& ahead = fetch[positions[k + kFetchPairsAhead]];
    if (ahead.next < kDead) {
      const std::uint32_t after = fetch[ahead.next].next;
      if (after < kDead)
        table_.prefetch(model::pair_key(merged, fetch[after].id));
    }
  }
}

void MergeEngine::apply(PairKey pair, TokenId merged) {
  const std::uint32_t applied = find(pair);
  if (applied == kNoRecord) return;
  // The list is taken out of `positions_`, so that the windows the merges
  // create go to a fresh one, and its block goes back to the pool only
  // once every occurrence is merged.
  PositionList applying = std::exchange(positions_[applied], PositionList{});
  if (records_[applied].count != 0) {
    begin_change();
    const std::span<const std::uint32_t> ordered =
        order_positions(applying.view());
    for (std::size_t k = 0; k < ordered.size(); ++k) {
      prefetch_ahead(ordered, k, merged);
      merge_at(ordered[k], applied, merged);
    }
    push_raised();
  }
  applying.release(pool_);
}

void MergeEngine::begin_change() {
  gathered_valid_ = false;
  if (++apply_calls_ == 0) {
    // After 2^32 calls the stamps would repeat: clear them and start over.
    for (PairRecord& record : records_) record.raised_in = 0;
    apply_calls_ = 1;
  }
}

std::span<const std::uint32_t> MergeEngine::order_positions(
    std::span<std::uint32_t> positions) {
  // Node indices are in text order, so ascending positions visit the
  // occurrences left to right, as the plain rewrite does.
  if (!std::is_sorted(positions.begin(), positions.end())) {
    std::sort(positions.begin(), positions.end());
  }
  const auto end = std::unique(positions.begin(), positions.end());
  return positions.first(static_cast<std::size_t>(end - positions.begin()));
}

void MergeEngine::merge_at(std::uint32_t left, std::uint32_t applied,
                           TokenId merged) {
  Node& node = nodes_[left];
  const std::uint32_t right = node.next;
  // Unlinked (the right half of an earlier occurrence in a run of equal
  // ids), the last node, or a window that has changed since it was listed.
  if (right >= kDead || node.window != applied) return;
  // Every window that is read here and lies to the right of `left` is still
  // as it was before this call, so the occurrences matched are those of the
  // plain rewrite; the windows created (at `before` and `left`) are never
  // matched again in this call.
  Node& right_node = nodes_[right];
  const std::uint32_t before = node.prev;
  const std::uint32_t after = right_node.next;

  // Each destroyed window is removed on its own, as it is now: in a run
  // a a a the windows on both sides are (a, a) too.
  if (before != kEnd) remove_window(nodes_[before].window);
  remove_window(applied);
  if (after != kEnd) remove_window(right_node.window);

  node.id = merged;
  node.next = after;
  if (after != kEnd) nodes_[after].prev = left;
  right_node.next = kDead;
  right_node.prev = kEnd;
  --size_;

  if (before != kEnd) {
    nodes_[before].window =
        add_window(model::pair_key(nodes_[before].id, merged), before);
  }
  if (after != kEnd) {
    node.window = add_window(model::pair_key(merged, nodes_[after].id), left);
  }
}

void MergeEngine::push_raised() {
  for (const std::uint32_t raised : raised_) {
    const PairRecord& record = records_[raised];
    if (record.count != 0 && !record.banned) {
      push_entry(record.count, table_.key(raised));
    }
  }
  raised_.clear();
}

void MergeEngine::replace_placeholders(TokenId first,
                                       std::span<const TokenId> replacements) {
  const std::size_t count = replacements.size();
  const auto replaced = [&](TokenId id) -> TokenId {
    const std::size_t offset = static_cast<std::size_t>(id) - first;
    return id >= first && offset < count ? replacements[offset] : id;
  };
  // A map that rises and keeps the placeholders above every other id orders
  // any two pairs as before, so the heap and the choices do not change.
  bool keeps_order = count == 0 || replacements[0] >= first;
  for (std::size_t i = 1; keeps_order && i < count; ++i) {
    keeps_order = replacements[i - 1] < replacements[i];
  }
  if (!keeps_order) {
    const std::span<const TokenId> current = ids();
    std::vector<TokenId> rebuilt(current.begin(), current.end());
    for (TokenId& id : rebuilt) id = replaced(id);
    // The new table keeps the room made for pairs to come.
    const std::size_t room = table_.room();
    *this = MergeEngine(std::move(rebuilt));
    reserve_pairs(room);
    return;
  }
  gathered_valid_ = false;
  if (count == 0) return;
  const std::size_t n = nodes_.size();
  if (n < 2) {
    for (Node& node : nodes_) node.id = replaced(node.id);
    return;
  }
  const auto replaced_pair = [&](PairKey key) {
    return model::pair_key(replaced(model::pair_first(key)),
                           replaced(model::pair_second(key)));
  };
  // Every node is in a window, and every window is listed once in its
  // record's positions: the nodes holding a placeholder are found from the
  // records whose pair holds one, without a pass over all the nodes.
  const std::uint32_t pairs = table_.size();
  std::vector<PairKey> keys(pairs);
  for (std::uint32_t r = 0; r < pairs; ++r) {
    const PairKey key = table_.key(r);
    keys[r] = replaced_pair(key);
    if (keys[r] == key) continue;
    const TokenId left_id = model::pair_first(keys[r]);
    const TokenId right_id = model::pair_second(keys[r]);
    for (const std::uint32_t left : positions_[r].view()) {
      Node& node = nodes_[left];
      node.id = left_id;
      nodes_[node.next].id = right_id;
    }
  }
  // The pairs are numbered again in the same order, so every record and
  // position list keeps its index.
  // The table keeps the room made for pairs to come.
  table_.clear();
  for (const PairKey key : keys) table_.intern(key);
  for (std::uint64_t& entry : heap_) {
    const auto key = static_cast<PairKey>(~static_cast<PairKey>(entry));
    entry = heap_rank(
        PairCount{replaced_pair(key), static_cast<std::uint32_t>(entry >> 32)});
  }
}

std::span<const TokenId> MergeEngine::ids() const {
  if (!gathered_valid_) {
    gathered_.clear();
    gathered_.reserve(size_);
    for (std::uint32_t node = nodes_.empty() ? kEnd : 0; node != kEnd;
         node = nodes_[node].next) {
      gathered_.push_back(nodes_[node].id);
    }
    gathered_valid_ = true;
  }
  return gathered_;
}

void MergeEngine::reserve_pairs(std::size_t pairs) {
  // Every merged occurrence removes a node and creates at most two windows,
  // so a sequence of n ids never holds more than 3n pairs (bans aside): a
  // short one reserves no more than it can use.
  table_.reserve(std::min(pairs, 3 * size_));
}

std::uint32_t MergeEngine::intern(PairKey key) {
  return table_.intern(key, [this] {
    records_.push_back(PairRecord{});
    positions_.emplace_back();
  });
}

void MergeEngine::push_entry(std::uint32_t count, PairKey key) {
  heap_.push_back(heap_rank(PairCount{key, count}));
  std::push_heap(heap_.begin(), heap_.end());
}

void MergeEngine::remove_window(std::uint32_t record) {
  // A window that is linked but not counted means the counts are broken;
  // going on would wrap them around and corrupt every later choice.
  if (records_[record].count == 0) {
    panic_uncounted_window("merge engine", table_.key(record));
  }
  --records_[record].count;
}

std::uint32_t MergeEngine::add_window(PairKey key, std::uint32_t left) {
  const std::uint32_t record = intern(key);
  PairRecord& added = records_[record];
  ++added.count;
  positions_[record].push_back(left, pool_);
  if (added.raised_in != apply_calls_) {
    added.raised_in = apply_calls_;
    raised_.push_back(record);
  }
  return record;
}

}  // namespace selvane::codec
