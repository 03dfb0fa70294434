#ifndef SELVANE_TRAINING_MERGE_LEARNING_H_
#define SELVANE_TRAINING_MERGE_LEARNING_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "model/data.h"
#include "training/console.h"
#include "training/id_allocation.h"
#include "training/log_lines.h"
#include "training/log_sink.h"

namespace selvane::training {

// Iterations of `learn_merges` per chunk.
inline constexpr std::int32_t kLearnIterations = 700;

// The least count at which a most frequent pair is merged.
inline constexpr std::uint32_t kMinMergeCount = 10;

// Consecutive pairs without a known merge that end `apply_known_merges`.
inline constexpr std::int32_t kMaxKnownMergeFailures = 7;

// Returns the bytes of the new token that merges `pair`. Panics with "This
// should not happen" when either id has no `lookup` entry.
std::string merged_token_bytes(const model::Lookup& lookup,
                               model::PairKey pair);

// apply_known_merges()
//
// Rewrites `sequence` with merges already in `merges`: the most frequent
// pair not yet rejected is merged when `merges` holds it and rejected
// (banned in `sequence`) otherwise, until seven rejections in a row or until
// no pair is left to choose. Prints one line per choice to `console`.
// `Sequence` has the interface of `codec::PlainMergeSequence`.
template <class Sequence>
void apply_known_merges(Sequence& sequence, const model::Merges& merges,
                        Console& console) {
  std::int32_t failures = 0;
  while (failures < kMaxKnownMergeFailures) {
    // No pair left (fewer than two ids, or every pair rejected) ends the
    // pass with the sequence as it stands: there is nothing more to try.
    const auto top = sequence.top();
    if (!top) break;
    const auto known = merges.find(top->pair);
    if (known != merges.end()) {
      failures = 0;
      sequence.apply(top->pair, known->second);
      console.print(found_match_line(top->pair));
    } else {
      sequence.ban(top->pair);
      ++failures;
      console.print(failed_match_line(failures));
    }
  }
}

// learn_merges()
//
// Runs the iterations of one chunk on `sequence`, whose bans must be
// cleared. Each iteration takes the most frequent pair; if it occurs at
// least kMinMergeCount times, the merge already in `data` is applied, or a
// new merge is learned: it takes a new id, enters `merges` and `lookup`,
// goes to `log` when `print_logs` is true, and is printed to `console`.
// `Sequence` has the interface of `codec::PlainMergeSequence`.
template <class Sequence>
void learn_merges(Sequence& sequence, model::Data& data, bool print_logs,
                  LogSink& log, Console& console) {
  for (std::int32_t iteration = 0; iteration < kLearnIterations; ++iteration) {
    // Once the top count is below the minimum, nothing changes any more, so
    // the remaining iterations would all see that same count: stop here. A
    // sequence of fewer than two ids has no pair and learns nothing.
    const auto top = sequence.top();
    if (!top || top->count < kMinMergeCount) break;
    const auto known = data.merges.find(top->pair);
    if (known != data.merges.end()) {
      const model::TokenId merged = known->second;
      console.print(no_news_line(merged));
      sequence.apply(top->pair, merged);
      continue;
    }
    // Everything that can fail comes before the first insertion, so a
    // failure leaves no half-made merge behind.
    std::string bytes = merged_token_bytes(data.lookup, top->pair);
    const model::TokenId merged = new_token_id(data.lookup);
    data.merges.emplace(top->pair, merged);
    data.lookup.insert_or_assign(merged, std::move(bytes));
    const std::string line =
        merge_line(merged, top->pair, top->count, iteration);
    if (print_logs) log.write(line);
    sequence.apply(top->pair, merged);
    console.print(line);
  }
}

}  // namespace selvane::training

#endif  // SELVANE_TRAINING_MERGE_LEARNING_H_
