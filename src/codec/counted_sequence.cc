#include "codec/counted_sequence.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/panic.h"

namespace selvane::codec {
namespace {

// Up to this many distinct pairs, a choice scans them all; past it, the
// pairs go into count buckets once the text has taken kScanSteps merges.
// Building the buckets costs about three scans, and a text that has merged
// that often tends to go on.
constexpr std::size_t kScanLimit = 64;
constexpr std::uint32_t kScanSteps = 3;

// Returns the first position j >= `from` with ids[j] == first and
// ids[j + 1] == second, or ids.size() when there is none.
std::size_t find_pair(std::span<const TokenId> ids, std::size_t from,
                      TokenId first, TokenId second) {
  const std::size_t n = ids.size();
  std::size_t j = from;
  // Four ids at a time: a lane of `word ^ pattern` is zero where the id is
  // `first`, and the classic zero-lane test finds whether any is. Only a
  // word with a candidate is looked at id by id. Rewriting runs once per
  // merge over the whole text, so this scan is most of a long text's cost.
  constexpr std::uint64_t kOnes = 0x0001000100010001ull;
  constexpr std::uint64_t kHighs = 0x8000800080008000ull;
  const std::uint64_t pattern = kOnes * first;
  while (j + 5 <= n) {
    std::uint64_t word;
    std::memcpy(&word, ids.data() + j, sizeof word);
    const std::uint64_t x = word ^ pattern;
    if (((x - kOnes) & ~x & kHighs) != 0) {
      for (std::size_t k = j; k < j + 4; ++k) {
        if (ids[k] == first && ids[k + 1] == second) return k;
      }
    }
    j += 4;
  }
  for (; j + 1 < n; ++j) {
    if (ids[j] == first && ids[j + 1] == second) return j;
  }
  return n;
}

}  // namespace

CountedSequence::CountedSequence(std::vector<TokenId> ids)
    : ids_(std::move(ids)), table_(ids_.size()) {
  const std::size_t n = ids_.size();
  // One record per distinct pair: as many as the windows in a short text,
  // far fewer in a long one, so the reservation is capped.
  records_.reserve(std::min<std::size_t>(n, std::size_t{1} << 15));
  for (std::size_t i = 0; i + 1 < n; ++i) {
    ++records_[intern(model::pair_key(ids_[i], ids_[i + 1]))].count;
  }
}

void CountedSequence::build_buckets() {
  // Counted first and bucketed once: one link per distinct pair instead of
  // a move between buckets per window.
  std::uint32_t highest = 0;
  for (const Record& record : records_) {
    highest = std::max(highest, record.count);
  }
  buckets_.assign(std::size_t{highest} + 1, kNoRecord);
  for (std::uint32_t r = 0; r < records_.size(); ++r) {
    if (records_[r].count != 0) link(r);
  }
  bucketed_ = true;
}

std::optional<PairCount> CountedSequence::scan_top() const {
  std::optional<PairCount> best;
  for (std::uint32_t r = 0; r < records_.size(); ++r) {
    const Record& record = records_[r];
    if (record.count == 0 || record.banned) continue;
    if (const PairCount candidate{table_.key(r), record.count};
        !best || ranks_before(candidate, *best)) {
      best = candidate;
    }
  }
  return best;
}

std::optional<PairCount> CountedSequence::top() {
  if (!bucketed_) return scan_top();
  // Emptied buckets at the top are left behind for good: counts rise only
  // through `link()`, which raises `highest_` again.
  while (highest_ != 0 && buckets_[highest_] == kNoRecord) --highest_;
  // A bucket of banned pairs only is passed over, not dropped, as lifting
  // the bans makes its pairs eligible again.
  for (std::uint32_t count = highest_; count != 0; --count) {
    std::uint32_t best = kNoRecord;
    for (std::uint32_t r = buckets_[count]; r != kNoRecord;
         r = records_[r].next) {
      if (records_[r].banned) continue;
      // Equal counts: the smallest pair, as `ranks_before` orders them.
      if (best == kNoRecord || table_.key(r) < table_.key(best)) best = r;
    }
    if (best != kNoRecord) return PairCount{table_.key(best), count};
  }
  return std::nullopt;
}

void CountedSequence::ban(PairKey pair) {
  records_[intern(pair)].banned = true;
}

void CountedSequence::clear_bans() {
  for (Record& record : records_) record.banned = false;
}

void CountedSequence::apply(PairKey pair, TokenId merged) {
  // Most texts stop before their first merge or after a few, and a few
  // scans cost less than linking every pair; the buckets come when a text
  // that keeps merging has many pairs to choose from.
  if (!bucketed_ && ++applied_ > kScanSteps && records_.size() > kScanLimit) {
    build_buckets();
  }
  const TokenId first = model::pair_first(pair);
  const TokenId second = model::pair_second(pair);
  TokenId* const v = ids_.data();
  const std::size_t n = ids_.size();
  // The plain rewrite, in place: `out` never passes `i`, so every id read
  // ahead of `out` is still the input's. A window of the input is destroyed
  // when it touches an occurrence, and a window of the output is created
  // when it touches a merged id; each is counted exactly once, as the
  // occurrence on its right (or the copy after a merged id) meets it.
  std::size_t i = 0;
  std::size_t out = 0;
  // Where the last occurrence ended in the input, and whether the last id
  // written is a merged one.
  std::size_t last_end = 0;
  bool after_merged = false;
  for (;;) {
    const std::size_t j = find_pair(ids_, i, first, second);
    if (j > i) {
      if (after_merged) add_window(model::pair_key(merged, v[i]));
      std::memmove(v + out, v + i, (j - i) * sizeof(TokenId));
      out += j - i;
      after_merged = false;
    }
    if (j >= n) break;
    // The window on the left was destroyed already if the previous
    // occurrence ended right here (a run such as a b a b).
    if (j > 0 && !(after_merged && last_end == j)) {
      remove_window(model::pair_key(v[j - 1], first));
    }
    remove_window(pair);
    if (j + 2 < n) remove_window(model::pair_key(second, v[j + 2]));
    if (out > 0) add_window(model::pair_key(v[out - 1], merged));
    v[out++] = merged;
    i = j + 2;
    last_end = i;
    after_merged = true;
  }
  ids_.resize(out);
}

std::vector<TokenId> CountedSequence::take_ids() { return std::move(ids_); }

std::uint32_t CountedSequence::intern(PairKey key) {
  const std::uint32_t record = table_.intern(key);
  if (record == records_.size()) records_.push_back(Record{});
  return record;
}

void CountedSequence::link(std::uint32_t record) {
  Record& linked = records_[record];
  if (linked.count >= buckets_.size()) {
    buckets_.resize(std::size_t{linked.count} + 1, kNoRecord);
  }
  const std::uint32_t head = buckets_[linked.count];
  linked.prev = kNoRecord;
  linked.next = head;
  if (head != kNoRecord) records_[head].prev = record;
  buckets_[linked.count] = record;
  highest_ = std::max(highest_, linked.count);
}

void CountedSequence::unlink(std::uint32_t record) {
  const Record& unlinked = records_[record];
  if (unlinked.prev != kNoRecord) {
    records_[unlinked.prev].next = unlinked.next;
  } else {
    buckets_[unlinked.count] = unlinked.next;
  }
  if (unlinked.next != kNoRecord) records_[unlinked.next].prev = unlinked.prev;
}

void CountedSequence::add_window(PairKey key) {
  const std::uint32_t record = intern(key);
  if (!bucketed_) {
    ++records_[record].count;
    return;
  }
  if (records_[record].count != 0) unlink(record);
  ++records_[record].count;
  link(record);
}

void CountedSequence::remove_window(PairKey key) {
  const std::uint32_t record = intern(key);
  // A window that is present but not counted means the counts are broken;
  // going on would wrap them around and corrupt every later choice.
  if (records_[record].count == 0) {
    panic_uncounted_window("counted sequence", key);
  }
  if (!bucketed_) {
    --records_[record].count;
    return;
  }
  unlink(record);
  if (--records_[record].count != 0) link(record);
}

}  // namespace selvane::codec
