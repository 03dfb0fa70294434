#ifndef SELVANE_BASE_SIGNAL_FREE_THREAD_H_
#define SELVANE_BASE_SIGNAL_FREE_THREAD_H_

#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

namespace selvane {

// start_signal_free_thread()
//
// Starts a thread that runs `body` with every signal blocked, so that the
// process's signals (Ctrl-C) keep going to the calling thread and keep
// interrupting its system calls, as if there were no other thread. Returns a
// thread that is not joinable when none could be started: the caller then
// does the work itself.
template <class Body>
std::thread start_signal_free_thread(Body&& body) {
  // A new thread inherits the signal mask of its creator: block everything
  // around the creation only.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  const bool masked = pthread_sigmask(SIG_SETMASK, &all, &previous) == 0;
  std::thread started;
  try {
    started = std::thread(std::forward<Body>(body));
  } catch (...) {
    // No thread to be had, or no memory for one. Either way the mask must
    // be restored below: left blocked, Ctrl-C would never reach this thread.
  }
  if (masked) pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return started;
}

}  // namespace selvane

#endif  // SELVANE_BASE_SIGNAL_FREE_THREAD_H_
