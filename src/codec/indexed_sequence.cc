#include "codec/indexed_sequence.h"

#include <algorithm>
#include <utility>

#include "base/panic.h"
#include "codec/merge_engine.h"

namespace selvane::codec {
namespace {

// Pairs seen fewer times than this when the sequence is built wait outside
// the heap: most distinct pairs of a long text occur once or twice, and a
// text rarely merges down to them, so the heap starts with a fraction of
// the records and the rest join only if the counts ever fall that low.
constexpr std::uint32_t kHeapFloor = 4;

}  // namespace

// Inline, and defined ahead of its callers: building adds a pair for every
// window.
inline std::uint32_t IndexedSequence::intern(PairKey key) {
  return table_.intern(key, [this] {
    records_.push_back(Record{});
    built_.push_back(Range{});
    created_last_.push_back(kNone);
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
  records_.reserve(std::min<std::size_t>(n, std::size_t{1} << 15));
  built_.reserve(records_.capacity());
  created_last_.reserve(records_.capacity());
  for (std::uint32_t i = 0; i + 1 < n; ++i) {
    const std::uint32_t r = intern(model::pair_key(ids_[i], ids_[i + 1]));
    ++records_[r].count;
    windows_[i] = r;
  }
  // A counting sort of the slots by record: one pass of independent
  // writes, where a list per pair would cost an allocation for each
  // frequent pair and chained slots a dependent load each when read.
  std::uint32_t begin = 0;
  for (std::uint32_t r = 0; r < records_.size(); ++r) {
    built_[r] = Range{begin, begin};
    begin += records_[r].count;
  }
  built_slots_ = std::make_unique_for_overwrite<std::uint32_t[]>(n - 1);
  for (std::uint32_t i = 0; i + 1 < n; ++i) {
    built_slots_[built_[windows_[i]].end++] = i;
  }
  floor_ = kHeapFloor;
  for (std::uint32_t r = 0; r < records_.size(); ++r) {
    if (records_[r].count >= floor_) {
      heap_.push_back(heap_rank(PairCount{table_.key(r), records_[r].count}));
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
    const Record& record = records_[r];
    if (!record.banned && record.count == count) return PairCount{key, count};
    std::pop_heap(heap_.begin(), heap_.end());
    heap_.pop_back();
    if (!record.banned && record.count != 0 && record.count < count) {
      push_entry(r);
    }
  }
}

void IndexedSequence::lower_floor() {
  // Records that already have an entry get a second one; the extra entry
  // is dropped or repaired like any stale one.
  for (std::uint32_t r = 0; r < records_.size(); ++r) {
    const Record& record = records_[r];
    if (record.count != 0 && record.count < floor_ && !record.banned) {
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
    if (record.banned && record.count != 0) {
      record.banned = false;
      push_entry(r);
    }
    record.banned = false;
  }
}

void IndexedSequence::take_positions(std::uint32_t record) {
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
  for (const std::uint32_t left : applying_) {
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
    if (records_[raised].count != 0 && !records_[raised].banned) {
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
  // ids move down in place.
  std::uint32_t out = 0;
  for (std::uint32_t slot = 0; slot < slots_; slot = next(slot)) {
    ids_[out++] = ids_[slot];
  }
  ids_.resize(out);
}

void IndexedSequence::push_entry(std::uint32_t record) {
  heap_.push_back(
      heap_rank(PairCount{table_.key(record), records_[record].count}));
  std::push_heap(heap_.begin(), heap_.end());
}

void IndexedSequence::add_window(PairKey key, std::uint32_t left) {
  const std::uint32_t record = intern(key);
  Record& added = records_[record];
  ++added.count;
  // One heap entry per raised pair and merge, pushed when the merge is done.
  if (added.raised_in != applied_) {
    added.raised_in = applied_;
    raised_.push_back(record);
  }
  windows_[left] = record;
  created_.push_back(Created{left, created_last_[record]});
  created_last_[record] = static_cast<std::uint32_t>(created_.size() - 1);
}

void IndexedSequence::remove_window(std::uint32_t record) {
  // A window that is present but not counted means the counts are broken;
  // going on would wrap them around and corrupt every later choice.
  if (records_[record].count == 0) {
    panic_uncounted_window("indexed sequence", table_.key(record));
  }
  --records_[record].count;
}

}  // namespace selvane::codec
