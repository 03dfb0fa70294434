#include "binding/argument_error.h"

#include "binding/owned_ref.h"

namespace selvane::binding {

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

}  // namespace selvane::binding
