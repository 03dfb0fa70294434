#include "binding/call_frame.h"

#include <exception>
#include <new>

#include "base/allocation.h"
#include "base/interrupt.h"
#include "base/panic.h"
#include "binding/errors.h"

namespace selvane::binding {
namespace {

// The thrower set the error; a throw without one would otherwise return null
// to the interpreter with nothing to report.
void set_error_if_missing() noexcept {
  if (PyErr_Occurred() == nullptr) {
    PyErr_SetString(PyExc_SystemError,
                    "attempted to fetch exception but none was set");
  }
}

}  // namespace

bool run_signal_handlers() noexcept { return PyErr_CheckSignals() != 0; }

void raise_caught_exception() noexcept {
  try {
    throw;
  } catch (const PyErrOccurred&) {
    set_error_if_missing();
  } catch (const Interrupted&) {
    // A signal handler raised; its exception is the call's.
    set_error_if_missing();
  } catch (const Panic& panic) {
    raise_panic_exception(panic.message());
  } catch (const AllocationFailure& failure) {
    PyErr_SetString(PyExc_MemoryError, failure.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    // Not thrown on purpose by this system's code (a library failure such as
    // std::length_error), so it gets the report that a panic writes.
    report_panic(error.what(), std::source_location::current());
    raise_panic_exception(error.what());
  } catch (...) {
    report_panic("unknown C++ exception", std::source_location::current());
    raise_panic_exception("unknown C++ exception");
  }
}

}  // namespace selvane::binding
