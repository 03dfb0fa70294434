#ifndef SELVANE_BASE_ALLOCATION_H_
#define SELVANE_BASE_ALLOCATION_H_

#include <new>
#include <string>

namespace selvane {

// AllocationFailure
//
// A failed allocation that says what was being allocated. The binding raises
// it as a `MemoryError` with that text, where a bare `std::bad_alloc` gives
// one without a message.
class AllocationFailure : public std::bad_alloc {
 public:
  explicit AllocationFailure(std::string message)
      : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

}  // namespace selvane

#endif  // SELVANE_BASE_ALLOCATION_H_
