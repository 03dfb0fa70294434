#ifndef SELVANE_TRAINING_TRAIN_H_
#define SELVANE_TRAINING_TRAIN_H_

#include <string>

#include "model/data.h"

namespace selvane::training {

// Grows `data` from the UTF-8 text file `train_file`, chunk by chunk, saving
// the model to "tokenizer" after every chunk and logging to `logs_file` (or
// "log.txt" when `print_logs` is true).
void train(model::Data& data, const std::string& train_file, bool print_logs,
           const std::string& logs_file);

}  // namespace selvane::training

#endif  // SELVANE_TRAINING_TRAIN_H_
