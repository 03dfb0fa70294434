#ifndef SELVANE_BINDING_ERRORS_H_
#define SELVANE_BINDING_ERRORS_H_

#include <Python.h>

#include <exception>
#include <string>

#include "binding/owned_ref.h"

namespace selvane::binding {

// PyErrOccurred
//
// Thrown inside the binding when the Python error indicator holds the
// exception that the current call must end with. Every entry point catches it
// once and returns its failure value; it never reaches the interpreter.
class PyErrOccurred : public std::exception {
 public:
  // For an error that the interpreter (or the thrower) has already set.
  PyErrOccurred() = default;
  // Sets `exception_type` with the UTF-8 text `message`.
  PyErrOccurred(PyObject* exception_type, const std::string& message);
  const char* what() const noexcept override;
};

// A `TypeError` with the given message.
class TypeError : public PyErrOccurred {
 public:
  explicit TypeError(const std::string& message)
      : PyErrOccurred(PyExc_TypeError, message) {}
};

// A `RuntimeError` with the given message.
class RuntimeError : public PyErrOccurred {
 public:
  explicit RuntimeError(const std::string& message)
      : PyErrOccurred(PyExc_RuntimeError, message) {}
};

// An `OverflowError` with the given message.
class OverflowError : public PyErrOccurred {
 public:
  explicit OverflowError(const std::string& message)
      : PyErrOccurred(PyExc_OverflowError, message) {}
};

// An `ImportError` with the given message.
class ImportError : public PyErrOccurred {
 public:
  explicit ImportError(const std::string& message)
      : PyErrOccurred(PyExc_ImportError, message) {}
};

// Takes the interpreter's current exception out of the error indicator; a
// `SystemError` stands in when none is set. A panic exception is not handed
// back but resumed as a new panic (throws `selvane::Panic`).
OwnedRef take_current_error();

// Throws `PyErrOccurred` for the interpreter's current exception, after the
// checks of `take_current_error()`. Call it right after a failing C-API call.
[[noreturn]] void throw_current_error();

// Takes the current exception (as `take_current_error()` does) and returns
// its description: "PyErr { type: T, value: V, traceback: B }", with the
// reprs of its type and value, and "None" or "Some(" + the traceback's repr +
// ")".
std::string describe_current_error();

// Throws `PyErrOccurred` unless `object` (a new reference from a C-API call)
// is non-null; returns it owned.
OwnedRef check(PyObject* object);

// Throws `PyErrOccurred` when the C-API status `status` is -1.
void check_status(int status);

}  // namespace selvane::binding

#endif  // SELVANE_BINDING_ERRORS_H_
