#ifndef SELVANE_BINDING_OWNED_REF_H_
#define SELVANE_BINDING_OWNED_REF_H_

#include <Python.h>

#include <utility>

namespace selvane::binding {

// OwnedRef
//
// Owns one strong reference to a Python object (or nothing) and drops it when
// destroyed. The interpreter lock must be held wherever an OwnedRef lives.
class OwnedRef {
 public:
  OwnedRef() = default;
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(object_); }

  // Takes over a new reference (which may be null).
  static OwnedRef steal(PyObject* object) { return OwnedRef(object); }

  // Adds a reference to a borrowed object and owns it.
  static OwnedRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return OwnedRef(object);
  }

  // Returns the object without giving up ownership.
  PyObject* get() const { return object_; }

  // Returns whether an object is held.
  explicit operator bool() const { return object_ != nullptr; }

  // Gives the reference to the caller, leaving this empty.
  [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }

  // Drops the held reference and takes over `object` instead.
  void reset(PyObject* object = nullptr) {
    PyObject* old = std::exchange(object_, object);
    Py_XDECREF(old);
  }

 private:
  explicit OwnedRef(PyObject* object) : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace selvane::binding

#endif  // SELVANE_BINDING_OWNED_REF_H_
