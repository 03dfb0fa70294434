#ifndef SELVANE_BINDING_PANIC_EXCEPTION_H_
#define SELVANE_BINDING_PANIC_EXCEPTION_H_

#include <Python.h>

#include <string_view>

#include "binding/owned_ref.h"

namespace selvane::binding {

// Returns the panic exception type (borrowed), creating it on first use; null
// with the creation's exception set if that fails.
PyObject* panic_exception_type() noexcept;

// Sets a panic exception carrying `message` as the current Python error (or
// the failure to create one).
void raise_panic_exception(std::string_view message) noexcept;

// If `exception` is a panic exception fetched back from Python, reports it on
// standard error and panics again with its text; otherwise does nothing.
void resume_if_panic_exception(OwnedRef& exception);

}  // namespace selvane::binding

#endif  // SELVANE_BINDING_PANIC_EXCEPTION_H_
