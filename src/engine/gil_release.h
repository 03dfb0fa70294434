#ifndef SELVANE_ENGINE_GIL_RELEASE_H_
#define SELVANE_ENGINE_GIL_RELEASE_H_

#include <Python.h>

#include <cstddef>

namespace selvane::engine {

// Work on fewer bytes than this keeps the interpreter lock: releasing and
// taking it back costs about as much as encoding a short sentence.
inline constexpr std::size_t kReleaseGilFrom = 256;

// Returns `work()`, run without the interpreter lock when `release` is true.
// `work` must not touch any Python object; what it throws reaches the caller
// after the lock is taken back.
template <typename Work>
auto run_without_gil(bool release, Work&& work) -> decltype(work()) {
  if (!release) return work();
  struct Reacquire {
    PyThreadState* state;
    ~Reacquire() { PyEval_RestoreThread(state); }
  } reacquire{PyEval_SaveThread()};
  return work();
}

}  // namespace selvane::engine

#endif  // SELVANE_ENGINE_GIL_RELEASE_H_
