#ifndef SELVANE_ENGINE_ENGINE_ERRORS_H_
#define SELVANE_ENGINE_ENGINE_ERRORS_H_

#include <Python.h>

namespace selvane::engine {

// Returns the exception type `EngineError` (borrowed), creating it on first
// use; null with the creation's exception set if that fails.
PyObject* engine_error_type() noexcept;

// Turns the C++ exception being handled into the current Python error: a
// `binding::PyErrOccurred` keeps the error already set, a failed allocation
// becomes `MemoryError`, and every other failure (a core panic, a model file
// that does not decode) an `EngineError` with a readable message. Call it
// only from inside a `catch` block.
void raise_engine_error() noexcept;

// Returns `body()`, a new reference, or null with the Python error set when
// `body` throws. Nothing thrown inside `body` leaves this frame.
template <typename Body>
PyObject* run_engine_call(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_engine_error();
    return nullptr;
  }
}

}  // namespace selvane::engine

#endif  // SELVANE_ENGINE_ENGINE_ERRORS_H_
