#ifndef SELVANE_BINDING_DOWNCAST_ERROR_H_
#define SELVANE_BINDING_DOWNCAST_ERROR_H_

#include <Python.h>

namespace selvane::binding {

// Throws the `TypeError` for `object` not being what the caller needs:
// "'{qualified type name}' object cannot be converted to '{target}'".
[[noreturn]] void throw_downcast_error(PyObject* object, const char* target);

}  // namespace selvane::binding

#endif  // SELVANE_BINDING_DOWNCAST_ERROR_H_
