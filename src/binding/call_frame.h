#ifndef SELVANE_BINDING_CALL_FRAME_H_
#define SELVANE_BINDING_CALL_FRAME_H_

#include <Python.h>

namespace selvane::binding {

// Turns the C++ exception being handled into the current Python error: a
// `PyErrOccurred` or `selvane::Interrupted` keeps the error already set, a
// `selvane::Panic` becomes the panic exception, and anything else a
// `MemoryError` or a panic exception with its text. Call it only from inside a
// `catch` block.
void raise_caught_exception() noexcept;

// Runs the interpreter's handlers of the signals that arrived meanwhile;
// returns true when one raised, its exception then being set. The core calls
// it through `selvane::check_interrupts()` while a call installs it.
bool run_signal_handlers() noexcept;

// Returns `body()`, a new reference, or null with the Python error set when
// `body` throws. Nothing thrown inside `body` leaves this frame.
template <typename Body>
PyObject* run_in_frame(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_caught_exception();
    return nullptr;
  }
}

// Runs `body()`, where failures cannot propagate (a destructor slot): a
// failure is reported through the interpreter's unraisable hook with
// `object` as context.
template <typename Body>
void run_reporting_unraisable(PyObject* object, Body&& body) noexcept {
  try {
    body();
  } catch (...) {
    // A destructor may run while an exception propagates; that exception
    // must survive the report of this one.
    PyObject* pending = PyErr_GetRaisedException();
    raise_caught_exception();
    PyErr_WriteUnraisable(object);
    PyErr_SetRaisedException(pending);
  }
}

}  // namespace selvane::binding

#endif  // SELVANE_BINDING_CALL_FRAME_H_
