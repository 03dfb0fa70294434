#ifndef SELVANE_MODEL_LOAD_H_
#define SELVANE_MODEL_LOAD_H_

#include <string_view>

#include "model/data.h"

namespace selvane::model {

// Decodes the model at the start of the file `filename`, reading it block by
// block only as far as the model reaches. Panics with "Should work: " and the
// error's description when the file cannot be opened or read, or does not
// hold a valid model; a failed allocation throws `AllocationFailure`.
Data load_from_file(std::string_view filename);

}  // namespace selvane::model

#endif  // SELVANE_MODEL_LOAD_H_
