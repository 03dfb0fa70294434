#include "binding/call_frame.h"

#include <exception>
#include <new>

#include "base/panic.h"
#include "binding/errors.h"

namespace selvane::binding {

void raise_caught_exception() noexcept {
  try {
    throw;
  } catch (const PyErrOccurred&) {
    // The thrower set the error; a throw without one would otherwise return
    // null to the interpreter with nothing to report.
    if (PyErr_Occurred() == nullptr) {
      PyErr_SetString(PyExc_SystemError,
                      "attempted to fetch exception but none was set");
    }
  } catch (const Panic& panic) {
    raise_panic_exception(panic.message());
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
