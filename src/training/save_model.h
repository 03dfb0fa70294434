#ifndef SELVANE_TRAINING_SAVE_MODEL_H_
#define SELVANE_TRAINING_SAVE_MODEL_H_

#include "model/data.h"
#include "training/console.h"

namespace selvane::training {

// The model file that training rewrites after every chunk, relative to the
// current directory.
inline constexpr char kModelFileName[] = "tokenizer";

// save_model()
//
// Replaces "tokenizer" (a symbolic link's target, keeping its mode and owner;
// see `replace_file()`) with the whole of `data` in the model file format and
// then prints the saved block to `console`. The old file stays whole until
// the new one is complete; on failure it is left as it was and the call
// panics with "Should work: " and the error's description.
void save_model(const model::Data& data, Console& console);

}  // namespace selvane::training

#endif  // SELVANE_TRAINING_SAVE_MODEL_H_
