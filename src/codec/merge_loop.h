#ifndef SELVANE_CODEC_MERGE_LOOP_H_
#define SELVANE_CODEC_MERGE_LOOP_H_

#include "model/data.h"

namespace selvane::codec {

// merge_by_frequency()
//
// Merges `sequence` by its own most frequent pair for as long as `merges`
// holds that pair, and stops the first time it does not: less frequent pairs
// that do have a merge stay unmerged. `Sequence` has the interface of
// `PlainMergeSequence` (size, top, apply, ids).
template <class Sequence>
void merge_by_frequency(Sequence& sequence, const model::Merges& merges) {
  // Without merges no pass can succeed, so skip even the first count.
  if (merges.empty()) return;
  // A sequence of one id has no pair left to merge: it is the result as it
  // stands, not a failure. Every pass shortens the sequence by at least one
  // id, so the loop ends after at most size() - 1 passes.
  while (sequence.size() >= 2) {
    const auto best = sequence.top();
    if (!best) return;
    const auto merge = merges.find(best->pair);
    if (merge == merges.end()) return;
    sequence.apply(best->pair, merge->second);
  }
}

}  // namespace selvane::codec

#endif  // SELVANE_CODEC_MERGE_LOOP_H_
