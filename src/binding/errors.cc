#include "binding/errors.h"

#include "base/panic.h"
#include "text/utf8.h"

namespace selvane::binding {
namespace {

// Returns repr(object) as UTF-8; a failing repr is replaced by a placeholder,
// since the description is itself the report of a failure.
std::string repr_text(PyObject* object) {
  if (OwnedRef repr = OwnedRef::steal(PyObject_Repr(object))) {
    return lossy_utf8(repr.get());
  }
  PyErr_Clear();
  return "<unprintable object>";
}

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

PyErrOccurred::PyErrOccurred(PyObject* exception_type,
                             const std::string& message) {
  // If the text cannot become a str, the interpreter sets that failure
  // instead, which still leaves the call ending with an exception.
  OwnedRef text = OwnedRef::steal(PyUnicode_FromStringAndSize(
      message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(exception_type, text.get());
}

const char* PyErrOccurred::what() const noexcept {
  return "a Python exception is set";
}

OwnedRef take_current_error() {
  OwnedRef exception = OwnedRef::steal(PyErr_GetRaisedException());
  if (!exception) {
    PyErr_SetString(PyExc_SystemError,
                    "attempted to fetch exception but none was set");
    exception.reset(PyErr_GetRaisedException());
  }
  resume_if_panic_exception(exception);
  return exception;
}

void throw_current_error() {
  OwnedRef exception = take_current_error();
  PyErr_SetRaisedException(exception.release());
  throw PyErrOccurred();
}

std::string describe_current_error() {
  OwnedRef exception = take_current_error();
  std::string out = "PyErr { type: ";
  out += repr_text(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())));
  out += ", value: ";
  out += repr_text(exception.get());
  out += ", traceback: ";
  if (OwnedRef traceback =
          OwnedRef::steal(PyException_GetTraceback(exception.get()))) {
    out += "Some(";
    out += repr_text(traceback.get());
    out += ')';
  } else {
    out += "None";
  }
  out += " }";
  return out;
}

OwnedRef check(PyObject* object) {
  if (object == nullptr) throw_current_error();
  return OwnedRef::steal(object);
}

void check_status(int status) {
  if (status == -1) throw_current_error();
}

// ---- Argument and downcast errors -----------------------------------------

void throw_downcast_error(PyObject* object, const char* target) {
  OwnedRef type_name = OwnedRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!type_name) {
    // The message must still be raised; the name is only decoration.
    PyErr_Clear();
    type_name = check(PyUnicode_FromString("<failed to extract type name>"));
  }
  OwnedRef message = check(PyUnicode_FromFormat(
      "'%U' object cannot be converted to '%s'", type_name.get(), target));
  PyErr_SetObject(PyExc_TypeError, message.get());
  throw PyErrOccurred();
}

void name_argument_in_error(const char* parameter) noexcept {
  OwnedRef error = OwnedRef::steal(PyErr_GetRaisedException());
  if (!error) return;
  // Subclasses of TypeError and every other type say something of their own
  // and pass unchanged.
  if (Py_TYPE(error.get()) !=
      reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(error.release());
    return;
  }

  OwnedRef text = OwnedRef::steal(PyObject_Str(error.get()));
  if (!text) {
    PyErr_WriteUnraisable(error.get());
    text.reset(PyUnicode_FromFormat("<unprintable %s object>",
                                    Py_TYPE(error.get())->tp_name));
    if (!text) return;  // That failure is now the call's exception.
  }
  OwnedRef message = OwnedRef::steal(
      PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
  if (!message) return;
  OwnedRef renamed =
      OwnedRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!renamed) return;
  // The new error stands in for the old one rather than following it, so it
  // takes over the old one's cause and is not chained to it.
  PyException_SetCause(renamed.get(), PyException_GetCause(error.get()));
  PyErr_SetRaisedException(renamed.release());
}

// ---- The panic exception --------------------------------------------------

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

std::string lossy_utf8(PyObject* object) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size)) {
    return std::string(utf8, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  std::string out;
  const Py_ssize_t length = PyUnicode_GetLength(object);
  for (Py_ssize_t i = 0; i < length; ++i) {
    text::append_code_point(out, PyUnicode_ReadChar(object, i));
  }
  PyErr_Clear();
  return out;
}

}  // namespace selvane::binding
