#ifndef SELVANE_TESTS_CPP_PANIC_MESSAGE_H_
#define SELVANE_TESTS_CPP_PANIC_MESSAGE_H_

#include <string>

#include "base/panic.h"

namespace selvane::testing {

// Returns the message of the panic that `action` raises, or "no panic".
template <class Action>
std::string panic_message(Action&& action) {
  try {
    action();
  } catch (const Panic& failure) {
    return failure.message();
  }
  return "no panic";
}

}  // namespace selvane::testing

#endif  // SELVANE_TESTS_CPP_PANIC_MESSAGE_H_
