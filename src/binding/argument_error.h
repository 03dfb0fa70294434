#ifndef SELVANE_BINDING_ARGUMENT_ERROR_H_
#define SELVANE_BINDING_ARGUMENT_ERROR_H_

#include "binding/errors.h"

namespace selvane::binding {

// Replaces a pending exception of exactly `TypeError` by a new `TypeError`
// "argument '{parameter}': " + its text, with the same `__cause__`; leaves any
// other exception as it is.
void name_argument_in_error(const char* parameter) noexcept;

// Returns `convert()`, the conversion of the argument for `parameter`; a
// failure's `TypeError` is renamed by `name_argument_in_error()`.
template <typename Convert>
auto convert_argument(const char* parameter, Convert&& convert)
    -> decltype(convert()) {
  try {
    return convert();
  } catch (const PyErrOccurred&) {
    name_argument_in_error(parameter);
    throw;
  }
}

}  // namespace selvane::binding

#endif  // SELVANE_BINDING_ARGUMENT_ERROR_H_
