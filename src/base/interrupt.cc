#include "base/interrupt.h"

namespace selvane {
namespace {

// Installed by the thread that holds the interpreter lock for the whole call,
// and seen by that thread alone: a helper thread of the call finds no check,
// so the file layer's retries there never run the host's signal handlers,
// which belong to the interpreter's main thread.
thread_local InterruptCheck installed_check = nullptr;

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
