#include "codec/counted_sequence.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/panic.h"

namespace selvane::codec {
namespace {

// Up to this many distinct pairs, a choice scans them all; past it, the
// pairs go into a heap once the text has taken kScanSteps merges. Building
// the heap costs a few scans, and a text that has merged that often tends
// to go on.
constexpr std::size_t kScanLimit = 64;
constexpr std::uint32_t kScanSteps = 3;

// A text of up to this many ids takes its thread's spare storage, and a
// sequence leaves its storage behind when it holds at most kSpareBytes.
// Short texts come by the thousand, and for them the three allocations and
// frees of a fresh table cost about as much as counting their pairs; a long
// text allocates its own and gives the spare no room to grow without bound.
constexpr std::size_t kSpareIds = 1024;
constexpr std::size_t kSpareBytes = std::size_t{96} << 10;

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

// Inline, and defined ahead of its callers: counting adds a pair for every
// window, and a call per window costs a short text as much as the probe.
inline std::uint32_t CountedSequence::intern(PairKey key) {
  return table_.intern(key, [this] {
    counts_.push_back(0);
    records_.push_back(Record{});
  });
}

CountedSequence::CountedSequence(std::vector<TokenId> ids)
    : ids_(std::move(ids)) {
  const std::size_t n = ids_.size();
  if (std::optional<Storage>& spare = spare_storage();
      spare && n <= kSpareIds) {
    table_ = std::move(spare->table);
    counts_ = std::move(spare->counts);
    records_ = std::move(spare->records);
    heap_ = std::move(spare->heap);
    raised_ = std::move(spare->raised);
    spare.reset();
    counts_.clear();
    records_.clear();
    heap_.clear();
    raised_.clear();
  }
  // The merges of a short text create about as many new pairs as it has
  // windows, most of its pairs being distinct: sized for twice the windows,
  // its table never grows, where regrowing cost it more than clearing the
  // larger table does.
  table_.reset(n <= kSpareIds ? 2 * n : n);
  // One record per distinct pair: as many as the windows in a short text,
  // far fewer in a long one, so the reservation is capped.
  counts_.reserve(std::min<std::size_t>(n, std::size_t{1} << 15));
  records_.reserve(counts_.capacity());
  for (std::size_t i = 0; i + 1 < n; ++i) {
    ++counts_[intern(model::pair_key(ids_[i], ids_[i + 1]))];
  }
}

CountedSequence::~CountedSequence() {
  const std::size_t bytes = table_.capacity_bytes() +
                            counts_.capacity() * sizeof(std::uint32_t) +
                            records_.capacity() * sizeof(Record) +
                            heap_.capacity() * sizeof(std::uint64_t) +
                            raised_.capacity() * sizeof(std::uint32_t);
  if (std::optional<Storage>& spare = spare_storage();
      !spare && bytes <= kSpareBytes) {
    spare.emplace(Storage{std::move(table_), std::move(counts_),
                          std::move(records_), std::move(heap_),
                          std::move(raised_)});
  }
}

std::optional<CountedSequence::Storage>& CountedSequence::spare_storage() {
  thread_local std::optional<Storage> spare;
  return spare;
}

void CountedSequence::build_heap() {
  heap_.clear();
  heap_.reserve(records_.size());
  for (std::uint32_t r = 0; r < records_.size(); ++r) {
    if (counts_[r] != 0 && !records_[r].banned) {
      heap_.push_back(heap_rank(PairCount{table_.key(r), counts_[r]}));
    }
  }
  std::make_heap(heap_.begin(), heap_.end());
  heaped_ = true;
}

std::optional<PairCount> CountedSequence::scan_top() const {
  // The choice of ranks_before() as the greatest `heap_rank()`: one integer
  // maximum per record, without a branch, where comparing the count and
  // then the key mispredicts on almost every record of a short text. A
  // banned record or one at count 0 ranks below every counted one.
  const std::uint32_t* const counts = counts_.data();
  const PairKey* const keys = table_.keys().data();
  const auto records = static_cast<std::uint32_t>(counts_.size());
  std::uint64_t best = 0;
  if (banned_ == 0) {
    for (std::uint32_t r = 0; r < records; ++r) {
      best = std::max(best, heap_rank(PairCount{keys[r], counts[r]}));
    }
  } else {
    for (std::uint32_t r = 0; r < records; ++r) {
      const std::uint64_t rank = heap_rank(PairCount{keys[r], counts[r]});
      best = std::max(best, records_[r].banned ? 0 : rank);
    }
  }
  const auto count = static_cast<std::uint32_t>(best >> 32);
  if (count == 0) return std::nullopt;
  return PairCount{static_cast<PairKey>(~static_cast<PairKey>(best)), count};
}

std::optional<PairCount> CountedSequence::top() {
  if (!heaped_) return scan_top();
  // As in the engine: an entry on top with the exact count of an eligible
  // pair beats every other pair; one above the current count is repaired,
  // one below it is a leftover of an earlier raise, and a banned pair's is
  // dropped until its ban is lifted.
  while (!heap_.empty()) {
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
  return std::nullopt;
}

void CountedSequence::ban(PairKey pair) {
  Record& record = records_[intern(pair)];
  if (!record.banned) ++banned_;
  record.banned = true;
}

void CountedSequence::clear_bans() {
  for (std::uint32_t r = 0; r < records_.size(); ++r) {
    Record& record = records_[r];
    // `top()` dropped the entries of banned pairs: each one lifted gets one
    // back at its current count.
    if (record.banned && heaped_ && counts_[r] != 0) {
      record.banned = false;
      push_entry(r);
    }
    record.banned = false;
  }
  banned_ = 0;
}

void CountedSequence::apply(PairKey pair, TokenId merged) {
  if (++applied_ == 0) {
    // After 2^32 calls the stamps would repeat: clear them and start over.
    for (Record& record : records_) record.raised_in = 0;
    applied_ = 1;
  }
  // Most texts stop before their first merge or after a few, and a few
  // scans cost less than a heap of every pair; the heap comes when a text
  // that keeps merging has many pairs to choose from.
  if (!heaped_ && applied_ > kScanSteps && records_.size() > kScanLimit) {
    build_heap();
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
  for (const std::uint32_t raised : raised_) {
    if (counts_[raised] != 0 && !records_[raised].banned) {
      push_entry(raised);
    }
  }
  raised_.clear();
}

std::vector<TokenId> CountedSequence::take_ids() { return std::move(ids_); }

void CountedSequence::push_entry(std::uint32_t record) {
  heap_.push_back(heap_rank(PairCount{table_.key(record), counts_[record]}));
  std::push_heap(heap_.begin(), heap_.end());
}

void CountedSequence::add_window(PairKey key) {
  const std::uint32_t record = intern(key);
  ++counts_[record];
  Record& added = records_[record];
  // One heap entry per raised pair and merge, pushed when the merge is done.
  if (heaped_ && added.raised_in != applied_) {
    added.raised_in = applied_;
    raised_.push_back(record);
  }
}

void CountedSequence::remove_window(PairKey key) {
  const std::uint32_t record = intern(key);
  // A window that is present but not counted means the counts are broken;
  // going on would wrap them around and corrupt every later choice.
  if (counts_[record] == 0) {
    panic_uncounted_window("counted sequence", key);
  }
  --counts_[record];
}

}  // namespace selvane::codec
