#ifndef SELVANE_TESTS_TESTING_MAX_OCCUR_H_
#define SELVANE_TESTS_TESTING_MAX_OCCUR_H_

#include "base/panic.h"
#include "codec/pair_counts.h"

namespace selvane::testing {

// Returns the most frequent pair of `counts`, the smallest pair among equal
// counts, by a scan of the whole table.
// Panics with "Counter should not be zero" on an empty table.
inline codec::PairCount max_occur(const codec::PairCounts& counts) {
  if (counts.empty()) panic("Counter should not be zero");
  codec::PairCount best{counts.begin()->first, counts.begin()->second};
  for (const auto& [pair, count] : counts) {
    if (const codec::PairCount candidate{pair, count};
        codec::ranks_before(candidate, best)) {
      best = candidate;
    }
  }
  return best;
}

}  // namespace selvane::testing

#endif  // SELVANE_TESTS_TESTING_MAX_OCCUR_H_
