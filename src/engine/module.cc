// The module `selvane_tools._engine`: the native engine of the companion.
#include <Python.h>

#include "binding/errors.h"
#include "binding/first_interpreter.h"
#include "binding/owned_ref.h"
#include "engine/engine_errors.h"
#include "engine/engine_type.h"

PyMODINIT_FUNC PyInit__engine(void);

namespace selvane::engine {
namespace {

using binding::check;
using binding::check_status;
using binding::OwnedRef;

constexpr int kApiVersion = 1013;

// The module keeps process-wide objects (the class, the error type) that
// belong to the interpreter that imported it first.
binding::FirstInterpreter first_interpreter;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "selvane_tools._engine",
    "The native engine of selvane_tools: encoding by either rule, in batches\n"
    "and with offsets, with the interpreter lock released.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* init_module() {
  first_interpreter.claim(
      "selvane_tools._engine can be imported only in the interpreter that "
      "imported it first");
  OwnedRef module = check(PyModule_Create2(&module_def, kApiVersion));
  PyObject* error = engine_error_type();
  if (error == nullptr) binding::throw_current_error();
  check_status(PyModule_AddObjectRef(module.get(), "EngineError", error));
  check_status(PyModule_AddObjectRef(
      module.get(), "Engine", reinterpret_cast<PyObject*>(engine_type())));
  return module.release();
}

}  // namespace
}  // namespace selvane::engine

// import selvane_tools._engine
//   Creates the module with the class Engine and the exception EngineError.
PyMODINIT_FUNC PyInit__engine(void) {
  return selvane::engine::run_engine_call(
      [] { return selvane::engine::init_module(); });
}
