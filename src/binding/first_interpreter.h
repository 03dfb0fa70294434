#ifndef SELVANE_BINDING_FIRST_INTERPRETER_H_
#define SELVANE_BINDING_FIRST_INTERPRETER_H_

#include <atomic>
#include <cstdint>

namespace selvane::binding {

// FirstInterpreter
//
// Remembers the interpreter that imported a module first. A module that keeps
// process-wide objects (its class, caches, error types) belongs to that
// interpreter, so every other one must be refused.
class FirstInterpreter {
 public:
  // Claims the module for the current interpreter, or throws ImportError with
  // `refusal` when another interpreter claimed it first.
  void claim(const char* refusal);

 private:
  std::atomic<std::int64_t> id_{-1};
};

}  // namespace selvane::binding

#endif  // SELVANE_BINDING_FIRST_INTERPRETER_H_
