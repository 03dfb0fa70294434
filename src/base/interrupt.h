#ifndef SELVANE_BASE_INTERRUPT_H_
#define SELVANE_BASE_INTERRUPT_H_

#include <exception>

namespace selvane {

// Interrupted
//
// Thrown by `check_interrupts()` when the host's check says the call must
// end: the host has already recorded why (the interpreter's error indicator
// holds the exception of its signal handler). It is not a panic, so no panic
// report is written for it.
class Interrupted : public std::exception {
 public:
  const char* what() const noexcept override {
    return "interrupted by a signal handler";
  }
};

// The host's check: runs the handlers of signals that arrived meanwhile and
// returns true when one of them wants the call to end.
using InterruptCheck = bool (*)();

// check_interrupts()
//
// Runs the check installed on this thread, if any. Throws `Interrupted` when
// it returns true; returns normally otherwise, and always when no check is
// installed (the C++ tests, a caller without signal handlers, or a helper
// thread of a call).
void check_interrupts();

// InterruptCheckScope
//
// Installs `check` on the current thread for the lifetime of the object and
// then puts back the one before it, so that a call's hook never outlives the
// call.
class InterruptCheckScope {
 public:
  explicit InterruptCheckScope(InterruptCheck check);
  InterruptCheckScope(const InterruptCheckScope&) = delete;
  InterruptCheckScope& operator=(const InterruptCheckScope&) = delete;
  ~InterruptCheckScope();

 private:
  InterruptCheck previous_;
};

}  // namespace selvane

#endif  // SELVANE_BASE_INTERRUPT_H_
