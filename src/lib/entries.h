#ifndef SELVANE_LIB_ENTRIES_H_
#define SELVANE_LIB_ENTRIES_H_

#include <Python.h>

namespace selvane::lib {

// The signature of a METH_FASTCALL | METH_KEYWORDS entry.
using FastcallEntry = PyObject* (*)(PyObject* self, PyObject* const* args,
                                    Py_ssize_t nargs, PyObject* kwnames);

// Returns a fastcall-with-keywords entry as the `PyCFunction` that method
// tables hold; `ml_flags` tells the interpreter its real signature. The cast
// goes through `void (*)()`, the type that matches every function type.
inline PyCFunction as_cfunction(FastcallEntry entry) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// The entry of `Data.train(train_file, print_logs, logs_file)`.
PyObject* data_train(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept;

// The entry of `Data.encode(st)`.
PyObject* data_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept;

// The entry of `Data.decode(tokens)`.
PyObject* data_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept;

// The entry of `Data.vocab()`.
PyObject* data_vocab(PyObject* self, PyObject* unused) noexcept;

// The entry of the module function `load_from_file(filename)`.
PyObject* module_load_from_file(PyObject* module, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames) noexcept;

// The method definition of `load_from_file`, which lives as long as the
// process since the function object points at it.
extern PyMethodDef load_from_file_def;

}  // namespace selvane::lib

#endif  // SELVANE_LIB_ENTRIES_H_
