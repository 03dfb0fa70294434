#ifndef SELVANE_CODEC_INDEXED_SEQUENCE_H_
#define SELVANE_CODEC_INDEXED_SEQUENCE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "codec/pair_counts.h"
#include "codec/pair_table.h"
#include "model/token_id.h"

namespace selvane::codec {

// IndexedSequence
//
// An id sequence that is merged pair by pair like `PlainMergeSequence`, with
// the same interface and exactly the same results, for the long texts that
// encoding meets. A step costs time in proportion to the occurrences it
// rewrites, and setting up costs about one hash probe per id, so a long text
// pays little whether it stops after two merges or after two hundred.
//
// The ids stay where they were: a merge keeps the left token's slot and
// marks the slots it swallows dead, and only the first and last slot of a
// merged token say where it ends and starts. Each live slot knows the
// record of its window, so removing a window needs no hash probe, and the
// first steps find a pair's slots by scanning those records. A text that
// goes on gets an index: its slots sorted into one array pair by pair,
// with the windows the merges create since then in a log chained per pair,
// so no pair owns a list of its own. A listed slot may be stale; a merge
// checks the window it finds there.
class IndexedSequence {
 public:
  // The most ids a sequence takes: the log of created windows, two per
  // merge at most, must stay numbered below kNone.
  static constexpr std::size_t kMaxIds = 0x7FFFFFFF;

  // Panics with "Sequence too long" beyond kMaxIds ids.
  explicit IndexedSequence(std::vector<TokenId> ids);

  IndexedSequence(const IndexedSequence&) = delete;
  IndexedSequence& operator=(const IndexedSequence&) = delete;

  // Returns the number of ids.
  std::size_t size() const { return size_; }

  // Returns the most frequent pair that is not banned (the smallest pair
  // among equal counts), or nullopt when no pair is eligible.
  std::optional<PairCount> top();

  // Excludes `pair` from every later `top()`.
  void ban(PairKey pair);

  // Makes every pair eligible again.
  void clear_bans();

  // Replaces every occurrence of `pair`, leftmost first, by `merged`.
  void apply(PairKey pair, TokenId merged);

  // Returns the current ids, gathered from the slots after a change; the
  // view stays valid until the next `apply()`.
  std::span<const TokenId> ids() const;

  // Returns the current ids, leaving the sequence empty.
  std::vector<TokenId> take_ids();

 private:
  // One distinct pair besides its count: whether it is banned, and the
  // `apply()` call that last raised its count. Its key is in the table.
  struct Record {
    std::uint32_t raised_in = 0;
    bool banned = false;
  };

  // Where a record's slots from the build lie in `built_slots_`.
  struct Range {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
  };

  // A window created by a merge: its left slot and the entry logged before
  // it for the same pair.
  struct Created {
    std::uint32_t slot;
    std::uint32_t earlier;
  };

  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

  // Returns the slot of the token after the one at live slot `slot`, or the
  // slot count past the last token.
  std::uint32_t next(std::uint32_t slot) const {
    return dead_[slot + 1] != 0 ? bound_[slot] : slot + 1;
  }

  // Returns the slot of the token before the one at live slot `slot`, or
  // kNone before the first.
  std::uint32_t prev(std::uint32_t slot) const {
    if (slot == 0) return kNone;
    return dead_[slot - 1] != 0 ? bound_[slot - 1] : slot - 1;
  }

  // Returns the index of the record of `key`, creating it if needed.
  std::uint32_t intern(PairKey key);

  // Returns the index of a new record for `key`, which has none.
  [[gnu::noinline]] std::uint32_t add_record(PairKey key);

  // Sorts the slots of the live windows by record into `built_slots_`.
  void build_index();

  // Panics with "This should not happen", reporting that the windows of
  // record `record` do not match its count.
  [[noreturn]] void panic_broken_index(std::uint32_t record) const;

  // Gathers the slots where record `record` may occur, in text order, and
  // empties its lists.
  void take_positions(std::uint32_t record);

  // Pushes the heap entry of record `record` at its current count.
  void push_entry(std::uint32_t record);

  // Gives every eligible record below the heap's floor an entry.
  void lower_floor();

  // Adds the window at live slot `left`, holding `key`.
  void add_window(PairKey key, std::uint32_t left);
  // Removes a window counted in record `record`.
  void remove_window(std::uint32_t record);

  // Asks the processor to fetch the slots that merging an occurrence at
  // slot `left` reads.
  void fetch_slots(std::uint32_t left) const;
  // Asks the processor to fetch the counts of the windows that merging an
  // occurrence of (first, second) at slot `left` into `merged` removes and
  // the table slots of the pairs it creates, once its slots are fetched.
  void fetch_pairs(std::uint32_t left, TokenId first, TokenId second,
                   TokenId merged) const;

  // Moves the live ids to the front of `ids_` and drops the rest.
  void compact();

  std::vector<TokenId> ids_;
  // The slot count: ids_.size() until compact() shrinks it.
  std::uint32_t slots_ = 0;
  std::size_t size_ = 0;
  // Per slot, plus one past the end that is never dead: whether a merge
  // swallowed it.
  std::vector<std::uint8_t> dead_;
  // Per slot, written only at merged tokens: on a token's first slot the
  // slot after its end, on its last slot its first slot. Never read before
  // it is written, so it starts uninitialised.
  std::unique_ptr<std::uint32_t[]> bound_;
  // Per live slot but the last: the record of its window.
  std::unique_ptr<std::uint32_t[]> windows_;
  // The slots of the live windows when the index was built, grouped by
  // record, in text order within a record.
  std::unique_ptr<std::uint32_t[]> built_slots_;
  // Whether the index is built; until then an apply scans `windows_`.
  bool indexed_ = false;

  // Numbers the pairs; a record's index is its pair's number.
  PairTable table_;
  // Per record: its number of windows, in an array of its own, the one
  // that counting every window touches.
  std::vector<std::uint32_t> counts_;
  std::vector<Record> records_;
  // Per record: its slots in `built_slots_` (empty once applied), and its
  // last entry in `created_`, which logs the windows created since the
  // index was built.
  std::vector<Range> built_;
  std::vector<std::uint32_t> created_last_;
  std::vector<Created> created_;
  // The slots of the pair being applied.
  std::vector<std::uint32_t> applying_;

  // Max-heap of `heap_rank()` entries. Every eligible record whose count is
  // at least `floor_` has an entry whose count is at least its own; the
  // many rare pairs join only when the heap runs below the floor.
  std::vector<std::uint64_t> heap_;
  std::uint32_t floor_ = 0;
  // Records raised by the current `apply()`.
  std::vector<std::uint32_t> raised_;
  std::uint32_t applied_ = 0;

  mutable std::vector<TokenId> gathered_;
  mutable bool gathered_valid_ = false;
};

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_INDEXED_SEQUENCE_H_
