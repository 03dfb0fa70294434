#include "binding/first_interpreter.h"

#include <Python.h>

#include "binding/errors.h"

namespace selvane::binding {

void FirstInterpreter::claim(const char* refusal) {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw_current_error();
  std::int64_t expected = -1;
  if (!id_.compare_exchange_strong(expected, id) && expected != id) {
    throw ImportError(refusal);
  }
}

}  // namespace selvane::binding
