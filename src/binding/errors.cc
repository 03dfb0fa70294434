#include "binding/errors.h"

#include "binding/conversions.h"
#include "binding/panic_exception.h"

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

}  // namespace selvane::binding
