// The module `selvane`: its entry function and what it puts into the module.
#include <Python.h>

#include "base/panic.h"
#include "binding/call_frame.h"
#include "binding/errors.h"
#include "binding/first_interpreter.h"
#include "binding/owned_ref.h"
#include "lib/data_type.h"
#include "lib/entries.h"

PyMODINIT_FUNC PyInit_selvane(void);

namespace selvane::lib {
namespace {

using binding::check;
using binding::check_status;
using binding::OwnedRef;

// The C-API version that the module is built against (CPython 3.12 and
// later still use it).
constexpr int kApiVersion = 1013;

// The interpreter that imported the module first. The module keeps
// process-wide objects (the class, the cache) that belong to that
// interpreter, so no other interpreter may use it.
binding::FirstInterpreter first_interpreter;

// The module made by the first successful initialisation; later imports, for
// instance after removal from sys.modules, return this same object.
PyObject* cached_module = nullptr;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "selvane",
    // An empty doc makes __doc__ an empty string rather than None.
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Appends `name` to the module's __all__ (created when missing) and sets the
// module attribute `name` to `value`.
void add_to_module(PyObject* module, PyObject* name, PyObject* value) {
  OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      binding::throw_current_error();
    }
    PyErr_Clear();
    all = check(PyList_New(0));
    check_status(PyObject_SetAttrString(module, "__all__", all.get()));
  } else if (!PyList_Check(all.get())) {
    binding::throw_downcast_error(all.get(), "PyList");
  }
  if (PyList_Append(all.get(), name) == -1) {
    PyErr_Clear();
    panic("could not append __name__ to __all__");
  }
  check_status(PyObject_SetAttr(module, name, value));
}

// Adds the class `Data`; a failure to create it is reported as a failure of
// the class's initialisation, with the interpreter's error as the cause.
void add_data_class(PyObject* module) {
  PyTypeObject* type = nullptr;
  try {
    type = data_type();
  } catch (const binding::PyErrOccurred&) {
    OwnedRef cause = binding::take_current_error();
    OwnedRef error = check(PyObject_CallFunction(
        PyExc_RuntimeError, "s",
        "An error occurred while initializing class Data"));
    PyException_SetCause(error.get(), cause.release());
    PyErr_SetRaisedException(error.release());
    throw binding::PyErrOccurred();
  }
  OwnedRef name = check(PyUnicode_FromString("Data"));
  add_to_module(module, name.get(), reinterpret_cast<PyObject*>(type));
}

// Adds the function `load_from_file`, bound to the module, under its own
// __name__.
void add_load_from_file(PyObject* module) {
  OwnedRef module_name = check(PyModule_GetNameObject(module));
  OwnedRef function = check(
      PyCMethod_New(&load_from_file_def, module, module_name.get(), nullptr));
  OwnedRef function_name =
      check(PyObject_GetAttrString(function.get(), "__name__"));
  if (!PyUnicode_Check(function_name.get())) {
    binding::throw_downcast_error(function_name.get(), "PyString");
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(function_name.get(), &size);
  if (utf8 == nullptr) binding::throw_current_error();
  OwnedRef name = check(PyUnicode_FromStringAndSize(utf8, size));
  add_to_module(module, name.get(), function.get());
}

PyObject* init_module() {
  first_interpreter.claim(
      "selvane does not support subinterpreters: it can be imported only in "
      "the interpreter that imported it first");
  if (cached_module != nullptr) return Py_NewRef(cached_module);
  // Released on any failure below, leaving the cache empty for a retry.
  OwnedRef module = check(PyModule_Create2(&module_def, kApiVersion));
  add_data_class(module.get());
  add_load_from_file(module.get());
  cached_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace selvane::lib

// import selvane
//   Creates the module with the class Data and the function load_from_file,
//   both listed in __all__. Importing again in the same interpreter returns
//   the same module object; importing in another interpreter raises
//   ImportError.
PyMODINIT_FUNC PyInit_selvane(void) {
  return selvane::binding::run_in_frame(
      [] { return selvane::lib::init_module(); });
}
