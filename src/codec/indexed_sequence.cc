#include "codec/indexed_sequence.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <utility>

#include "base/panic.h"
#include "base/prefetch.h"
#include "codec/merge_engine.h"

namespace selvane::codec {
namespace {

// Pairs seen fewer times than this when the sequence is built wait outside
// the heap: most distinct pairs of a long text occur once or twice, and a
// text rarely merges down to them, so the heap starts with a fraction of
// the records and the rest join only if the counts ever fall that low.
constexpr std::uint32_t kHeapFloor = 4;

// The first apply finds its slots by a scan of the windows' records; the
// index comes with the next one. Most texts stop within a step or two,
// and a scan costs less than sorting every slot by pair, which only a text
// that goes on earns back.
constexpr std::uint32_t kScannedApplies = 1;

// How many windows ahead of the one being counted the build fetches a slot.
constexpr std::uint32_t kPrefetchWindows = 16;

// How many occurrences ahead of the one being merged apply fetches the
// slots, and how many ahead it fetches the table slots of the pairs the
// merge will create, which it finds in those slots once they have come.
constexpr std::size_t kFetchSlotsAhead = 16;
constexpr std::size_t kFetchPairsAhead = 8;

}  // namespace

// Inline, and defined ahead of its callers: building adds a pair for every
// window. Most windows of a long text hold a pair seen before, so only the
// lookup is inline; the new pairs take a call. Inlining both made the
// compiler call the whole intern out of line, and that call was a third of
// its cost.
inline std::uint32_t IndexedSequence::intern(PairKey key) {
  const std::uint32_t found = table_.find(key);
  if (found != PairTable::kAbsent) [[likely]] {
    return found;
  }
  return add_record(key);
}

std::uint32_t IndexedSequence::add_record(PairKey key) {
  return table_.intern(key, [this] {
    counts_.push_back(0);
    records_.push_back(Record{});
    // The index's lists exist from the index on.
    if (indexed_) {
      built_.push_back(Range{});
      created_last_.push_back(kNone);
    }
  });
}

IndexedSequence::IndexedSequence(std::vector<TokenId> ids)
    : ids_(std::move(ids)), table_(ids_.size()) {
  if (ids_.size() > kMaxIds) panic("Sequence too long");
  const auto n = static_cast<std::uint32_t>(ids_.size());
  slots_ = n;
  size_ = n;
  dead_.assign(std::size_t{n} + 1, 0);
  bound_ = std::make_unique_for_overwrite<std::uint32_t[]>(n + std::size_t{1});
  if (n < 2) return;
  windows_ = std::make_unique_for_overwrite<std::uint32_t[]>(n);
  counts_.reserve(std::min<std::size_t>(n, std::size_t{1} << 15));
  records_.reserve(counts_.capacity());
  // The windows are all known in advance, so the slot of a window a few
  // ahead is fetched while this one is counted: a long text's table is
  // larger than the nearer caches, and its probes land at random.
  std::uint32_t i = 0;
  for (; i + 1 + kPrefetchWindows < n; ++i) {
    table_.prefetch(model::pair_key(ids_[i + kPrefetchWindows],
                                    ids_[i + kPrefetchWindows + 1]));
    const std::uint32_t r = intern(model::pair_key(ids_[i], ids_[i + 1]));
    ++counts_[r];
    windows_[i] = r;
  }
  for (; i + 1 < n; ++i) {
    const std::uint32_t r = intern(model::pair_key(ids_[i], ids_[i + 1]));
    ++counts_[r];
    windows_[i] = r;
  }
  floor_ = kHeapFloor;
  for (std::uint32_t r = 0; r < records_.size(); ++r) {
    if (counts_[r] >= floor_) {
      heap_.push_back(heap_rank(PairCount{table_.key(r), counts_[r]}));
    }
  }
  std::make_heap(heap_.begin(), heap_.end());
}

std::optional<PairCount> IndexedSequence::top() {
  // As in the engine: an entry on top with the exact count of an eligible
  // pair beats every other pair; one above the current count is repaired,
  // one below it is a leftover of an earlier raise, and a banned pair's is
  // dropped until its ban is lifted. Pairs outside the heap count less than
  // the floor, so an entry at or above it beats them too.
  for (;;) {
    if (heap_.empty() || (heap_.front() >> 32) < floor_) {
      if (floor_ == 0) return std::nullopt;
      lower_floor();
      continue;
    }
    const std::uint64_t entry = heap_.front();
    const auto count = static_cast<std::uint32_t>(entry >> 32);
    const auto key = static_cast<PairKey>(~static_cast<PairKey>(entry));
    const std::uint32_t r = table_.find(key);
    const bool banned = records_[r].banned;
    const std::uint32_t current = counts_[r];
    if (!banned && current == count) return PairCount{key, count};
    std::pop_heap(heap_.begin(), heap_.end());
    heap_.pop_back();
    if (!banned && current != 0 && current < count) push_entry(r);
  }
}

void IndexedSequence::lower_floor() {
  // Records that already have an entry get a second one; the extra entry
  // is dropped or repaired like any stale one.
  for (std::uint32_t r = 0; r < records_.size(); ++r) {
    if (counts_[r] != 0 && counts_[r] < floor_ && !records_[r].banned) {
      push_entry(r);
    }
  }
  floor_ = 0;
}

void IndexedSequence::ban(PairKey pair) {
  records_[intern(pair)].banned = true;
}

void IndexedSequence::clear_bans() {
  for (std::uint32_t r = 0; r < records_.size(); ++r) {
    Record& record = records_[r];
    // `top()` dropped the entries of banned pairs: each one lifted gets one
    // back at its current count.
    if (record.banned && counts_[r] != 0) {
      record.banned = false;
      push_entry(r);
    }
    record.banned = false;
  }
}

void IndexedSequence::panic_broken_index(std::uint32_t record) const {
  panic_with("This should not happen",
             "indexed sequence: the windows of pair " +
                 describe_pair(table_.key(record)) +
                 " do not match its count " + std::to_string(counts_[record]));
}

void IndexedSequence::build_index() {
  // A counting sort of the live slots by the record of their window: one
  // pass of independent writes, where a list per pair would cost an
  // allocation for each frequent pair and chained slots a dependent load
  // each when read. The counts are those of the live windows.
  built_.resize(records_.size());
  created_last_.assign(records_.size(), kNone);
  std::uint32_t begin = 0;
  for (std::uint32_t r = 0; r < records_.size(); ++r) {
    built_[r] = Range{begin, begin};
    begin += counts_[r];
  }
  built_slots_ = std::make_unique_for_overwrite<std::uint32_t[]>(begin);
  // Every live slot before the last token opens a window. A plain pass
  // over the slots, skipping the dead ones, reads them in order without
  // following the tokens.
  const std::uint32_t last =
      dead_[slots_ - 1] != 0 ? bound_[slots_ - 1] : slots_ - 1;
  std::uint32_t written = 0;
  for (std::uint32_t slot = 0; slot < last; ++slot) {
    if (dead_[slot] != 0) continue;
    // More windows than counted would write past the array.
    if (written == begin) panic_broken_index(windows_[slot]);
    built_slots_[built_[windows_[slot]].end++] = slot;
    ++written;
  }
  // Each record must have filled its range exactly, or some count is off.
  for (std::uint32_t r = 0; r < records_.size(); ++r) {
    const std::uint32_t limit =
        r + 1 < records_.size() ? built_[r + 1].begin : begin;
    if (built_[r].end != limit) panic_broken_index(r);
  }
  indexed_ = true;
}

void IndexedSequence::take_positions(std::uint32_t record) {
  if (!indexed_ && applied_ > kScannedApplies) build_index();
  if (!indexed_) {
    // Dead slots and the last live one may hold stale records; the merge
    // loop skips them as it skips any stale slot.
    applying_.clear();
    const std::uint32_t* const windows = windows_.get();
    const std::uint32_t end = slots_ - 1;
    std::uint32_t slot = 0;
    // Eight records at a time, compared without a branch, so that the
    // scan runs at the speed of reading them; only a block with a match
    // is looked at slot by slot.
    for (; slot + 8 <= end; slot += 8) {
      unsigned matches = 0;
      for (std::uint32_t k = 0; k < 8; ++k) {
        matches |= static_cast<unsigned>(windows[slot + k] == record) << k;
      }
      while (matches != 0) {
        applying_.push_back(
            slot + static_cast<std::uint32_t>(std::countr_zero(matches)));
        matches &= matches - 1;
      }
    }
    for (; slot < end; ++slot) {
      if (windows[slot] == record) applying_.push_back(slot);
    }
    return;
  }
  const Range built = built_[record];
  applying_.assign(built_slots_.get() + built.begin,
                   built_slots_.get() + built.end);
  built_[record] = Range{};
  if (created_last_[record] == kNone) return;
  for (std::uint32_t entry = created_last_[record]; entry != kNone;
       entry = created_[entry].earlier) {
    applying_.push_back(created_[entry].slot);
  }
  created_last_[record] = kNone;
  // A slot may hold the pair more than once over time, and the created
  // windows come in the order of the merges that made them.
  std::sort(applying_.begin(), applying_.end());
  applying_.erase(std::unique(applying_.begin(), applying_.end()),
                  applying_.end());
}

// Always inline, and defined ahead of apply(), its one caller: a call per
// created window was a seventh of a long text's merging.
[[gnu::always_inline]] inline void IndexedSequence::add_window(
    PairKey key, std::uint32_t left) {
  const std::uint32_t record = intern(key);
  ++counts_[record];
  Record& added = records_[record];
  // One heap entry per raised pair and merge, pushed when the merge is done.
  if (added.raised_in != applied_) {
    added.raised_in = applied_;
    raised_.push_back(record);
  }
  windows_[left] = record;
  // Before the index, the scans find every window.
  if (!indexed_) return;
  created_.push_back(Created{left, created_last_[record]});
  created_last_[record] = static_cast<std::uint32_t>(created_.size() - 1);
}

[[gnu::always_inline]] inline void IndexedSequence::remove_window(
    std::uint32_t record) {
  // A window that is present but not counted means the counts are broken;
  // going on would wrap them around and corrupt every later choice.
  if (counts_[record] == 0) {
    panic_uncounted_window("indexed sequence", table_.key(record));
  }
  --counts_[record];
}

[[gnu::always_inline]] inline void IndexedSequence::fetch_slots(
    std::uint32_t left) const {
  prefetch(dead_.data() + left);
  prefetch(ids_.data() + left);
  if (left != 0) prefetch(windows_.get() + left - 1);
  prefetch(bound_.get() + left);
}

[[gnu::always_inline]] inline void IndexedSequence::fetch_pairs(
    std::uint32_t left, TokenId first, TokenId second, TokenId merged) const {
  // The checks of the merge itself, so that only slots whose bounds are
  // written are followed. Earlier merges of this call may still change
  // what the merge finds; the fetches are only hints.
  if (dead_[left] != 0 || ids_[left] != first) return;
  const std::uint32_t right = next(left);
  if (right >= slots_ || ids_[right] != second) return;
  const std::uint32_t before = prev(left);
  const std::uint32_t after = next(right);
  if (before != kNone) {
    prefetch(counts_.data() + windows_[before]);
    table_.prefetch(model::pair_key(ids_[before], merged));
  }
  if (after < slots_) {
    prefetch(counts_.data() + windows_[right]);
    table_.prefetch(model::pair_key(merged, ids_[after]));
  }
}

void IndexedSequence::apply(PairKey pair, TokenId merged) {
  const std::uint32_t record = table_.find(pair);
  if (record == PairTable::kAbsent) return;
  if (++applied_ == 0) {
    // After 2^32 calls the stamps would repeat: clear them and start over.
    for (Record& r : records_) r.raised_in = 0;
    applied_ = 1;
  }
  gathered_valid_ = false;
  const TokenId first = model::pair_first(pair);
  const TokenId second = model::pair_second(pair);
  // The slots are taken out of the chains before any merge, so the windows
  // of `pair` that the merges create wait for a later call, as the plain
  // rewrite's single pass leaves them.
  take_positions(record);
  const std::uint32_t* const slots = applying_.data();
  const std::size_t occurrences = applying_.size();
  for (std::size_t k = 0; k < occurrences; ++k) {
    // The occurrences lie at random in a long text, and each array a merge
    // reads would miss in turn, the pair table worst of all: the data of
    // occurrences further on is fetched in two stages while this one is
    // merged.
    if (k + kFetchSlotsAhead < occurrences) {
      fetch_slots(slots[k + kFetchSlotsAhead]);
    }
    if (k + kFetchPairsAhead < occurrences) {
      fetch_pairs(slots[k + kFetchPairsAhead], first, second, merged);
    }
    const std::uint32_t left = slots[k];
    // In text order, a slot that an earlier occurrence swallowed is dead,
    // and every other one still holds its window as the call found it.
    if (dead_[left] != 0 || ids_[left] != first) continue;
    const std::uint32_t right = next(left);
    if (right >= slots_ || ids_[right] != second) continue;
    const std::uint32_t before = prev(left);
    const std::uint32_t after = next(right);
    if (before != kNone) remove_window(windows_[before]);
    remove_window(record);
    if (after < slots_) remove_window(windows_[right]);
    ids_[left] = merged;
    dead_[right] = 1;
    bound_[left] = after;
    bound_[after - 1] = left;
    --size_;
    if (before != kNone) {
      add_window(model::pair_key(ids_[before], merged), before);
    }
    if (after < slots_) add_window(model::pair_key(merged, ids_[after]), left);
  }
  for (const std::uint32_t raised : raised_) {
    if (counts_[raised] != 0 && !records_[raised].banned) {
      push_entry(raised);
    }
  }
  raised_.clear();
}

std::span<const TokenId> IndexedSequence::ids() const {
  if (!gathered_valid_) {
    gathered_.clear();
    gathered_.reserve(size_);
    for (std::uint32_t slot = 0; slot < slots_; slot = next(slot)) {
      gathered_.push_back(ids_[slot]);
    }
    gathered_valid_ = true;
  }
  return gathered_;
}

std::vector<TokenId> IndexedSequence::take_ids() {
  compact();
  size_ = 0;
  return std::move(ids_);
}

void IndexedSequence::compact() {
  // Live slots come in text order and `out` never passes `slot`, so the
  // ids move down in place. Every slot is copied and only a live one
  // advances `out`: one pass without a branch, where following the tokens
  // mispredicted at almost every merged one of a text that merged much.
  // Eight live slots in a row, most of a text that merged little, move as
  // one block.
  std::uint32_t out = 0;
  std::uint32_t slot = 0;
  TokenId* const ids = ids_.data();
  const std::uint8_t* const dead = dead_.data();
  while (slot + 8 <= slots_) {
    std::uint64_t block;
    std::memcpy(&block, dead + slot, sizeof block);
    if (block == 0) {
      std::memmove(ids + out, ids + slot, 8 * sizeof(TokenId));
      out += 8;
    } else {
      for (std::uint32_t k = slot; k < slot + 8; ++k) {
        ids[out] = ids[k];
        out += dead[k] == 0 ? 1 : 0;
      }
    }
    slot += 8;
  }
  for (; slot < slots_; ++slot) {
    ids[out] = ids[slot];
    out += dead[slot] == 0 ? 1 : 0;
  }
  ids_.resize(out);
}

void IndexedSequence::push_entry(std::uint32_t record) {
  heap_.push_back(heap_rank(PairCount{table_.key(record), counts_[record]}));
  std::push_heap(heap_.begin(), heap_.end());
}

}  // namespace selvane::codec
