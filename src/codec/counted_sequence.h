#ifndef SELVANE_CODEC_COUNTED_SEQUENCE_H_
#define SELVANE_CODEC_COUNTED_SEQUENCE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codec/merge_engine.h"
#include "codec/pair_counts.h"
#include "codec/pair_table.h"
#include "model/token_id.h"

namespace selvane::codec {

// CountedSequence
//
// An id sequence that is merged pair by pair like `PlainMergeSequence`, with
// the same interface and exactly the same results. It counts the pairs once,
// into a flat table, and keeps the counts exact through each rewrite; the
// rewrite itself is the plain one, done in place. So a step costs one scan
// of the ids and of the distinct pairs, with no allocation, and setting up
// costs one hash probe per id, without the position lists and heap of
// `MergeEngine`. That suits the texts that encoding meets: short ones, and
// long ones whose most frequent pair loses its merge after a few steps.
//
// Once a text that keeps merging has more than a few pairs, a max-heap with
// lazy deletion, like the engine's, chooses the pair: a merge pushes an
// entry for each pair it raised and none for the many it lowered, so a
// choice no longer reads every pair the text and its merges have made.
class CountedSequence {
 public:
  explicit CountedSequence(std::vector<TokenId> ids);
  ~CountedSequence();

  CountedSequence(const CountedSequence&) = delete;
  CountedSequence& operator=(const CountedSequence&) = delete;

  // Returns the number of ids.
  std::size_t size() const { return ids_.size(); }

  // Returns the most frequent pair that is not banned (the smallest pair
  // among equal counts), or nullopt when no pair is eligible.
  std::optional<PairCount> top();

  // Excludes `pair` from every later `top()`.
  void ban(PairKey pair);

  // Makes every pair eligible again.
  void clear_bans();

  // Replaces every occurrence of `pair`, leftmost first, by `merged`.
  void apply(PairKey pair, TokenId merged);

  // Returns the current ids.
  std::span<const TokenId> ids() const { return ids_; }

  // Returns the current ids, leaving the sequence empty.
  std::vector<TokenId> take_ids();

 private:
  // One distinct pair besides its count: whether it is banned, and the
  // `apply()` call that last raised its count. Its key is in the table.
  // Records are never removed; a count of 0 is skipped.
  struct Record {
    std::uint32_t raised_in = 0;
    bool banned = false;
  };

  // The storage of a sequence besides its ids, which a thread keeps from
  // one short text to the next.
  struct Storage {
    PairTable table;
    std::vector<std::uint32_t> counts;
    std::vector<Record> records;
    std::vector<std::uint64_t> heap;
    std::vector<std::uint32_t> raised;
  };

  // Returns the calling thread's spare storage, empty when a sequence of
  // the thread holds it or none was left behind yet.
  static std::optional<Storage>& spare_storage();

  // Returns the index of the record of `key`, creating it if needed.
  std::uint32_t intern(PairKey key);

  // Builds the heap from every eligible record.
  void build_heap();

  // Returns what `top()` returns, by a scan of every record.
  std::optional<PairCount> scan_top() const;

  // Pushes the heap entry of record `record` at its current count.
  void push_entry(std::uint32_t record);

  // Adds or removes one window holding `key`.
  void add_window(PairKey key);
  void remove_window(PairKey key);

  std::vector<TokenId> ids_;
  // Numbers the pairs; a record's index is its pair's number.
  PairTable table_;
  // Per record: its number of windows, in an array of its own, which a
  // scan for the best pair reads without branching.
  std::vector<std::uint32_t> counts_;
  std::vector<Record> records_;
  // The records banned now; while there are none, a scan ignores bans.
  std::uint32_t banned_ = 0;
  // Max-heap of `heap_rank()` entries; every eligible record has one whose
  // count is at least its own.
  std::vector<std::uint64_t> heap_;
  // Records raised by the current `apply()`.
  std::vector<std::uint32_t> raised_;
  // Whether the heap is built and kept; until then `top()` scans.
  bool heaped_ = false;
  // The `apply()` calls so far, the stamp of `Record::raised_in`.
  std::uint32_t applied_ = 0;
};

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_COUNTED_SEQUENCE_H_
