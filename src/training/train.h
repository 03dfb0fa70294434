#ifndef SELVANE_TRAINING_TRAIN_H_
#define SELVANE_TRAINING_TRAIN_H_

#include <string>

#include "model/data.h"
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

}  // namespace selvane::training

#endif  // SELVANE_TRAINING_TRAIN_H_
