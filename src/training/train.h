#ifndef SELVANE_TRAINING_TRAIN_H_
#define SELVANE_TRAINING_TRAIN_H_

#include <cstddef>
#include <string>

#include "model/data.h"
#include "training/chunk_reader.h"
#include "training/console.h"

namespace selvane::training {

// Grows `data` from the UTF-8 text file `train_file`, chunk by chunk, saving
// the model to "tokenizer" after every chunk and logging to `logs_file` (or
// "log.txt" when `print_logs` is true).
void train(model::Data& data, const std::string& train_file, bool print_logs,
           const std::string& logs_file);

// Same as above, with the progress lines printed to `console` instead of
// file descriptor 1.
void train(model::Data& data, const std::string& train_file, bool print_logs,
           const std::string& logs_file, Console& console);

// How a training call does its work; every choice gives the same results.
struct TrainOptions {
  // The most bytes of one chunk.
  std::size_t chunk_size = kChunkSize;
  // Reads and pretokenizes the next chunk of a regular file on a helper
  // thread while the current one learns its merges.
  bool read_ahead = true;
  // Merges with the plain sequence, the reference, instead of the engine.
  bool plain_sequence = false;
};

// Same as above, done as `options` says.
void train(model::Data& data, const std::string& train_file, bool print_logs,
           const std::string& logs_file, Console& console,
           const TrainOptions& options);

}  // namespace selvane::training

#endif  // SELVANE_TRAINING_TRAIN_H_
