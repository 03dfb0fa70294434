#ifndef SELVANE_TRAINING_TRAIN_CHUNK_H_
#define SELVANE_TRAINING_TRAIN_CHUNK_H_

#include "model/data.h"
#include "training/console.h"
#include "training/log_lines.h"
#include "training/log_sink.h"
#include "training/merge_learning.h"

namespace selvane::training {

// learn_chunk()
//
// The step a training call takes for each chunk, once the chunk is
// pretokenized into `sequence`, short of saving: applies the known merges
// unless this is the call's first chunk, prints the chunk line and learns
// the chunk's merges. `Sequence` has the interface of
// `codec::PlainMergeSequence`.
template <class Sequence>
void learn_chunk(model::Data& data, Sequence& sequence, bool first_chunk,
                 bool print_logs, LogSink& log, Console& console) {
  // One sequence serves both passes: the known merges leave it exactly as
  // a new sequence of their result would be, once their rejections are
  // lifted, and a later chunk saves setting up its counts a second time.
  // The first chunk of a call meets the known merges in learn_merges itself,
  // as no-news iterations.
  if (!first_chunk) {
    apply_known_merges(sequence, data.merges, console);
    sequence.clear_bans();
  }
  console.print(kChunkLine);
  learn_merges(sequence, data, print_logs, log, console);
}

}  // namespace selvane::training

#endif  // SELVANE_TRAINING_TRAIN_CHUNK_H_
