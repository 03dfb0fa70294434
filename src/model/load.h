#ifndef SELVANE_MODEL_LOAD_H_
#define SELVANE_MODEL_LOAD_H_

#include <string_view>

#include "model/data.h"

namespace selvane::model {

// Reads the model file at `filename` whole and decodes it. Panics with
// "Should work: " and the error's description when the file cannot be opened
// or read, or does not hold a valid model.
Data load_from_file(std::string_view filename);

}  // namespace selvane::model

#endif  // SELVANE_MODEL_LOAD_H_
