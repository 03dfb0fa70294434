#ifndef SELVANE_CODEC_MERGE_ENGINE_H_
#define SELVANE_CODEC_MERGE_ENGINE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "base/mapped_allocator.h"
#include "codec/pair_counts.h"
#include "codec/pair_table.h"
#include "codec/position_list.h"
#include "model/token_id.h"

namespace selvane::codec {

// heap_rank()
//
// Returns the engine's heap key of `entry`, count << 32 | ~pair: one integer
// comparison that orders like `ranks_before`, a greater key ranking first.
constexpr std::uint64_t heap_rank(const PairCount& entry) {
  return (static_cast<std::uint64_t>(entry.count) << 32) |
         static_cast<PairKey>(~entry.pair);
}

// MergeEngine
//
// An id sequence that is merged pair by pair like `PlainMergeSequence`, with
// the same interface and exactly the same results, but which counts the
// pairs once and then updates the counts as merges are applied. A step costs
// time in proportion to the occurrences it rewrites, not to the length of the
// sequence.
//
// The ids live in an array linked both ways; a merge keeps the left node and
// unlinks the right one, so node indices stay in text order. Every pair keeps
// its exact number of neighbouring windows and the left nodes where it was
// created, and a max-heap with lazy deletion finds the most frequent pair.
class MergeEngine {
 public:
  // Builds the pair counts of `ids`. Panics with "Sequence too long" beyond
  // 4,294,967,293 ids (node indices are 32-bit).
  explicit MergeEngine(std::vector<TokenId> ids);

  // Builds an engine from ids that arrive in parts; below the class.
  class Builder;

  // Returns the number of ids.
  std::size_t size() const { return size_; }

  // Returns the number of distinct pairs the sequence has held so far.
  std::size_t pairs_held() const { return table_.size(); }

  // Returns the most frequent pair that is not banned (the smallest pair
  // among equal counts), or nullopt when no pair is eligible. Calling it
  // again without a change returns the same pair.
  std::optional<PairCount> top();

  // Excludes `pair` from every later `top()`.
  void ban(PairKey pair);

  // Makes every pair eligible again.
  void clear_bans();

  // Replaces every occurrence of `pair`, leftmost first, by `merged`.
  void apply(PairKey pair, TokenId merged);

  // Makes room for `pairs` distinct pairs in all, so that the merges that
  // create them do not regrow the pair table on the way; the room is kept
  // through `replace_placeholders()`.
  void reserve_pairs(std::size_t pairs);

  // Replaces every id `first + i` of the sequence by `replacements[i]`, as
  // if the engine had been built from the replaced ids: ids can be settled
  // after the engine is set up. Every other id must be below `first`, and
  // neither `apply()` nor `ban()` may have been called. When the
  // replacements rise and start at `first` or above, the order of all pairs
  // is kept, so the counts and the heap stay and only the pairs holding a
  // replaced id are rekeyed; otherwise the engine is built again.
  void replace_placeholders(TokenId first,
                            std::span<const TokenId> replacements);

  // Returns the current ids. The first call after a change gathers them from
  // the linked nodes, in time linear in the original length, into a buffer of
  // the engine's own; the view stays valid until the next `apply()`.
  std::span<const TokenId> ids() const;

 private:
  // An engine without ids yet, with room for `expected` of them. The tag
  // keeps `MergeEngine({9})` meaning a sequence of one id.
  struct NoIds {};
  MergeEngine(NoIds, std::size_t expected);

  // The steps of building: the nodes of `ids` are appended, linked and
  // their windows counted, one part at a time; once every part is in, the
  // position lists are filled and the heap is made.
  void append_ids(std::span<const TokenId> ids);
  void list_positions();

  // What a merge reads and writes of one pair that has ever been a window.
  // Its key and positions live in arrays of their own, beside it: a merge
  // updates the counts of five windows, and small records keep those of a
  // whole chunk within the processor's cache.
  struct PairRecord {
    // The number of current windows holding the pair, overlapping ones
    // included.
    std::uint32_t count = 0;
    // The `apply()` call that last raised `count`, to push one heap entry
    // per raised pair and call.
    std::uint32_t raised_in = 0;
    bool banned = false;
  };

  // Returns the index of the record of `key`, or kNoRecord.
  std::uint32_t find(PairKey key) const { return table_.find(key); }

  // Returns the index of the record of `key`, creating it if needed.
  std::uint32_t intern(PairKey key);

  // The steps of `apply()`, in order.
  // Marks the gathered ids stale and stamps a new change.
  void begin_change();
  // Sorts `positions` into text order and returns them without repeated
  // entries.
  static std::span<const std::uint32_t> order_positions(
      std::span<std::uint32_t> positions);
  // Fetches into the cache what merging the occurrences of `positions` a
  // few places after `k` into `merged` will touch.
  void prefetch_ahead(std::span<const std::uint32_t> positions, std::size_t k,
                      TokenId merged) const;
  // Merges the occurrence of record `applied` at node `left`, if it is still
  // there, into `merged`.
  void merge_at(std::uint32_t left, std::uint32_t applied, TokenId merged);
  // Pushes a heap entry for every pair the change raised.
  void push_raised();

  // Pushes the heap entry (count, key).
  void push_entry(std::uint32_t count, PairKey key);

  // Removes one window counted in record `record`.
  void remove_window(std::uint32_t record);

  // Adds the window of `left` and its next node, which holds `key`, and
  // returns its record.
  std::uint32_t add_window(PairKey key, std::uint32_t left);

  static constexpr std::uint32_t kNoRecord = PairTable::kAbsent;

  // One id of the sequence. A merge reads and writes a node and its two
  // neighbours on each side, which in one record share a cache line or two;
  // separate arrays would cost a miss per field.
  struct Node {
    // Neighbour links; kEnd past either end, and `next` is kDead for a node
    // that a merge has unlinked.
    std::uint32_t prev;
    std::uint32_t next;
    // The record of the window made of this node and the next, so that
    // destroying a window needs no hash lookup. Unused on the last node.
    std::uint32_t window;
    TokenId id;
  };

  std::vector<Node, MappedAllocator<Node>> nodes_;
  std::size_t size_ = 0;

  // Numbers the pairs; a record's index is its pair's number.
  PairTable table_;
  std::vector<PairRecord, MappedAllocator<PairRecord>> records_;
  // The blocks of the position lists.
  PositionPool pool_;
  // Left nodes where each record's pair was created, in no particular
  // order, stale and repeated entries included. A list is emptied when its
  // pair is applied.
  std::vector<PositionList, MappedAllocator<PositionList>> positions_;

  // Max-heap of `heap_rank()` entries.
  std::vector<std::uint64_t, MappedAllocator<std::uint64_t>> heap_;

  std::uint32_t apply_calls_ = 0;
  // Records banned since the last `clear_bans()`.
  std::vector<std::uint32_t> banned_;
  // Records raised during the current `apply()`.
  std::vector<std::uint32_t> raised_;

  // The gathered ids, rebuilt by `ids()` after a change.
  mutable std::vector<TokenId> gathered_;
  mutable bool gathered_valid_ = false;
};

// Builder
//
// Builds an engine from ids that arrive in parts, exactly as the engine of
// all the parts joined would be built: each part is linked and counted as
// it comes, while its caller may be making the next one.
class MergeEngine::Builder {
 public:
  // Makes room for `expected` ids, a bound that the parts should not pass
  // (beyond it the nodes are moved once more).
  explicit Builder(std::size_t expected) : engine_(NoIds{}, expected) {}

  // Appends the ids of `part`. Panics with "Sequence too long" as the
  // engine does.
  void append(std::span<const TokenId> part) { engine_.append_ids(part); }

  // Returns the engine of every id appended.
  MergeEngine finish() && {
    engine_.list_positions();
    return std::move(engine_);
  }

 private:
  MergeEngine engine_;
};

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_MERGE_ENGINE_H_
