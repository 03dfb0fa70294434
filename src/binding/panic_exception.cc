#include "binding/panic_exception.h"

#include <string>

#include "base/panic.h"
#include "binding/conversions.h"

namespace selvane::binding {
namespace {

// The module does not export the type, so Python code catches it by this name
// or by `BaseException`.
constexpr const char* kPanicExceptionName = "pyo3_runtime.PanicException";

constexpr const char* kPanicExceptionDoc =
    "\n"
    "The exception raised when the native code of selvane, called from "
    "Python, panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Created once and kept for the life of the process: instances raised earlier
// may still be caught by identity of their type.
PyObject* panic_type = nullptr;

}  // namespace

PyObject* panic_exception_type() noexcept {
  if (panic_type == nullptr) {
    panic_type = PyErr_NewExceptionWithDoc(
        kPanicExceptionName, kPanicExceptionDoc, PyExc_BaseException, nullptr);
  }
  return panic_type;
}

void raise_panic_exception(std::string_view message) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;
  // Panic texts are built from UTF-8 pieces, but an operating-system message
  // could in principle be in another encoding; replacement keeps the raise
  // from failing over it.
  OwnedRef text = OwnedRef::steal(PyUnicode_DecodeUTF8(
      message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  PyErr_SetObject(type, text.get());
}

void resume_if_panic_exception(OwnedRef& exception) {
  if (!exception) return;
  // Keep whatever is pending while the type is looked up or created.
  PyObject* pending = PyErr_GetRaisedException();
  PyObject* type = panic_exception_type();
  if (type == nullptr) {
    // Without the type nothing can be a panic exception; the creation failure
    // must not replace the exception being taken.
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
    return;
  }
  PyErr_SetRaisedException(pending);
  if (!PyObject_TypeCheck(exception.get(),
                          reinterpret_cast<PyTypeObject*>(type))) {
    return;
  }

  std::string message = "Unwrapped panic from Python code";
  if (OwnedRef text = OwnedRef::steal(PyObject_Str(exception.get()))) {
    message = lossy_utf8(text.get());
  } else {
    PyErr_Clear();
  }
  PySys_WriteStderr(
      "--- selvane is resuming a panic after fetching a PanicException from "
      "Python. ---\n");
  PySys_WriteStderr("Python stack trace below:\n");
  PyErr_SetRaisedException(exception.release());
  PyErr_PrintEx(0);
  panic(std::move(message));
}

}  // namespace selvane::binding
