#ifndef SELVANE_TRAINING_TRAIN_CHUNK_H_
#define SELVANE_TRAINING_TRAIN_CHUNK_H_

#include <string_view>
#include <utility>
#include <vector>

#include "model/data.h"
#include "training/console.h"
#include "training/log_lines.h"
#include "training/log_sink.h"
#include "training/merge_learning.h"
#include "training/pretokenize.h"

namespace selvane::training {

// learn_chunk()
//
// The step a training call takes for each chunk, once the chunk is
// pretokenized into `sequence`, short of saving: applies the known merges
// unless this is the call's first chunk, prints the chunk line and learns
// the chunk's merges. When `known_merged` is not null it receives the ids
// after the known merges. `Sequence` has the interface of
// `codec::PlainMergeSequence`.
template <class Sequence>
void learn_chunk(model::Data& data, Sequence& sequence, bool first_chunk,
                 bool print_logs, LogSink& log, Console& console,
                 std::vector<model::TokenId>* known_merged = nullptr) {
  // One sequence serves both passes: the known merges leave it exactly as
  // a new sequence of their result would be, once their rejections are
  // lifted, and a later chunk saves setting up its counts a second time.
  // The first chunk of a call meets the known merges in learn_merges itself,
  // as no-news iterations.
  if (!first_chunk) {
    apply_known_merges(sequence, data.merges, console);
    sequence.clear_bans();
  }
  if (known_merged != nullptr) {
    const auto ids = sequence.ids();
    known_merged->assign(ids.begin(), ids.end());
  }
  console.print(kChunkLine);
  learn_merges(sequence, data, print_logs, log, console);
}

// train_chunk()
//
// The same step from the chunk's bytes: pretokenizes `chunk` into `data`
// first. Returns the chunk's final ids.
template <class Sequence>
std::vector<model::TokenId> train_chunk(
    model::Data& data, std::string_view chunk, bool first_chunk,
    bool print_logs, LogSink& log, Console& console,
    std::vector<model::TokenId>* known_merged = nullptr) {
  Sequence sequence(pretokenize_chunk(data, chunk));
  learn_chunk(data, sequence, first_chunk, print_logs, log, console,
              known_merged);
  const auto ids = sequence.ids();
  return {ids.begin(), ids.end()};
}

}  // namespace selvane::training

#endif  // SELVANE_TRAINING_TRAIN_CHUNK_H_
