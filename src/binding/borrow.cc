#include "binding/borrow.h"

#include "binding/errors.h"

namespace selvane::binding {

// The flag is read and written only with the interpreter lock held, and a
// call overlaps another only by re-entering from Python code, so plain
// accesses suffice.

SharedBorrow::SharedBorrow(PyObject* owner, std::size_t& flag) : flag_(flag) {
  // One below the exclusive value is refused too, so that the count can never
  // run into it.
  if (flag_ >= kExclusivelyBorrowed - 1) {
    throw RuntimeError("Already mutably borrowed");
  }
  ++flag_;
  owner_ = OwnedRef::borrow(owner);
}

SharedBorrow::~SharedBorrow() { --flag_; }

ExclusiveBorrow::ExclusiveBorrow(PyObject* owner, std::size_t& flag)
    : flag_(flag) {
  if (flag_ != 0) throw RuntimeError("Already borrowed");
  flag_ = kExclusivelyBorrowed;
  owner_ = OwnedRef::borrow(owner);
}

ExclusiveBorrow::~ExclusiveBorrow() { flag_ = 0; }

}  // namespace selvane::binding
