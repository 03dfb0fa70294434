#include "binding/downcast_error.h"

#include "binding/errors.h"
#include "binding/owned_ref.h"

namespace selvane::binding {

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

}  // namespace selvane::binding
