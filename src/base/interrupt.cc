#include "base/interrupt.h"

namespace selvane {
namespace {

// Only read and written by the thread that holds the interpreter lock for the
// whole call, so it needs no atomic.
InterruptCheck installed_check = nullptr;

}  // namespace

void check_interrupts() {
  if (installed_check != nullptr && installed_check()) throw Interrupted();
}

InterruptCheckScope::InterruptCheckScope(InterruptCheck check)
    : previous_(installed_check) {
  installed_check = check;
}

InterruptCheckScope::~InterruptCheckScope() { installed_check = previous_; }

}  // namespace selvane
