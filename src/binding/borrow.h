#ifndef SELVANE_BINDING_BORROW_H_
#define SELVANE_BINDING_BORROW_H_

#include <Python.h>

#include <cstddef>
#include <limits>

#include "binding/owned_ref.h"

namespace selvane::binding {

// The borrow flag value of an exclusively borrowed object; 0 is free and any
// other value counts shared borrows.
inline constexpr std::size_t kExclusivelyBorrowed =
    std::numeric_limits<std::size_t>::max();

// SharedBorrow
//
// Holds a shared borrow of an object's flag, and a strong reference to the
// object, for its lifetime. Throws `RuntimeError` "Already mutably borrowed"
// when the object is exclusively borrowed.
class SharedBorrow {
 public:
  SharedBorrow(PyObject* owner, std::size_t& flag);
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow();

 private:
  OwnedRef owner_;
  std::size_t& flag_;
};

// ExclusiveBorrow
//
// Holds the exclusive borrow of an object's flag, and a strong reference to
// the object, for its lifetime. Throws `RuntimeError` "Already borrowed" when
// any borrow is held.
class ExclusiveBorrow {
 public:
  ExclusiveBorrow(PyObject* owner, std::size_t& flag);
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow();

 private:
  OwnedRef owner_;
  std::size_t& flag_;
};

}  // namespace selvane::binding

#endif  // SELVANE_BINDING_BORROW_H_
