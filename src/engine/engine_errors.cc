#include "engine/engine_errors.h"

#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "base/allocation.h"
#include "base/panic.h"
#include "binding/errors.h"
#include "model/model_file.h"

namespace selvane::engine {
namespace {

// Created once and kept for the life of the process, so that instances
// raised earlier are still caught by their type.
PyObject* error_type = nullptr;

// The core's message for an unknown cluster in a model without "oov", which
// says nothing to someone encoding text.
constexpr std::string_view kMissingOovPanic =
    "called `Option::unwrap()` on a `None` value";

void set_engine_error(std::string_view message) noexcept {
  PyObject* type = engine_error_type();
  if (type == nullptr) return;
  binding::OwnedRef text = binding::OwnedRef::steal(PyUnicode_DecodeUTF8(
      message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
}

}  // namespace

PyObject* engine_error_type() noexcept {
  if (error_type == nullptr) {
    error_type = PyErr_NewExceptionWithDoc(
        "selvane_tools._engine.EngineError",
        "A failure of the native engine: a model file that does not decode, "
        "or a text the model cannot encode.",
        PyExc_Exception, nullptr);
  }
  return error_type;
}

void raise_engine_error() noexcept {
  try {
    throw;
  } catch (const binding::PyErrOccurred&) {
    if (PyErr_Occurred() == nullptr) {
      PyErr_SetString(PyExc_SystemError,
                      "attempted to fetch exception but none was set");
    }
  } catch (const model::ModelFileError& error) {
    set_engine_error("not a model file: " + error.description());
  } catch (const Panic& panic) {
    if (panic.message() == kMissingOovPanic) {
      set_engine_error(
          "the text has clusters the model does not know, and the model has "
          "no entry for unknown clusters (\"oov\")");
    } else {
      set_engine_error(panic.message());
    }
  } catch (const AllocationFailure& failure) {
    PyErr_SetString(PyExc_MemoryError, failure.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    set_engine_error(error.what());
  } catch (...) {
    set_engine_error("unknown C++ exception");
  }
}

}  // namespace selvane::engine
