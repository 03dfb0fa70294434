#ifndef SELVANE_ENGINE_ENGINE_TYPE_H_
#define SELVANE_ENGINE_ENGINE_TYPE_H_

#include <Python.h>

namespace selvane::engine {

// Returns the class `Engine` (borrowed), creating it on first use; throws
// `binding::PyErrOccurred` if that fails.
PyTypeObject* engine_type();

}  // namespace selvane::engine

#endif  // SELVANE_ENGINE_ENGINE_TYPE_H_
