#ifndef SELVANE_BINDING_ERRORS_H_
#define SELVANE_BINDING_ERRORS_H_

#include <Python.h>

#include <exception>
#include <string>
#include <string_view>

#include "binding/owned_ref.h"

namespace selvane::binding {

// ---- The exception hierarchy and the error indicator ----------------------

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

// ---- Argument and downcast errors -----------------------------------------

// Throws the `TypeError` for `object` not being what the caller needs:
// "'{qualified type name}' object cannot be converted to '{target}'".
[[noreturn]] void throw_downcast_error(PyObject* object, const char* target);

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

// ---- The panic exception --------------------------------------------------

// Returns the panic exception type (borrowed), creating it on first use; null
// with the creation's exception set if that fails.
PyObject* panic_exception_type() noexcept;

// Sets a panic exception carrying `message` as the current Python error (or
// the failure to create one).
void raise_panic_exception(std::string_view message) noexcept;

// If `exception` is a panic exception fetched back from Python, reports it on
// standard error and panics again with its text; otherwise does nothing.
void resume_if_panic_exception(OwnedRef& exception);

// Returns the UTF-8 text of the `str` `object`, with U+FFFD for each
// character that UTF-8 cannot encode (a lone surrogate). Sets no Python
// error.
std::string lossy_utf8(PyObject* object);

}  // namespace selvane::binding

#endif  // SELVANE_BINDING_ERRORS_H_
