#ifndef SELVANE_TESTS_TESTING_MERGE_LEARNING_ON_IDS_H_
#define SELVANE_TESTS_TESTING_MERGE_LEARNING_ON_IDS_H_

#include <utility>
#include <vector>

#include "model/data.h"
#include "training/console.h"
#include "training/log_sink.h"
#include "training/merge_learning.h"

namespace selvane::training {

// The passes of a chunk on a vector of ids, for tests that compare their
// results across sequences.

// Returns `ids` rewritten by `apply_known_merges` on a new `Sequence`.
template <class Sequence>
std::vector<model::TokenId> apply_known_merges(std::vector<model::TokenId> ids,
                                               const model::Merges& merges,
                                               Console& console) {
  Sequence sequence(std::move(ids));
  apply_known_merges(sequence, merges, console);
  const auto result = sequence.ids();
  return {result.begin(), result.end()};
}

// Returns the final ids of `learn_merges` run on a new `Sequence` of `ids`.
template <class Sequence>
std::vector<model::TokenId> learn_merges(std::vector<model::TokenId> ids,
                                         model::Data& data, bool print_logs,
                                         LogSink& log, Console& console) {
  Sequence sequence(std::move(ids));
  learn_merges(sequence, data, print_logs, log, console);
  const auto result = sequence.ids();
  return {result.begin(), result.end()};
}

}  // namespace selvane::training

#endif  // SELVANE_TESTS_TESTING_MERGE_LEARNING_ON_IDS_H_
