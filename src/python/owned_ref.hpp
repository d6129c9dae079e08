// A strong reference to a Python object, released when the handle goes away. Move-only, so a
// reference has exactly one owner and every path out of a function releases it exactly once.
#pragma once

#include "python/python.hpp"

namespace marlix::python {

class OwnedRef {
 public:
  OwnedRef() noexcept = default;

  // Takes over a new reference (the result of an API call that returns one); null stays empty.
  static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }

  // Takes a new reference to an object the caller only borrows.
  static OwnedRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return OwnedRef(object);
  }

  OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    if (this != &other) {
      PyObject* previous = object_;
      object_ = other.release();
      Py_XDECREF(previous);
    }
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  // Hands the reference to the caller, who now owns it.
  PyObject* release() noexcept {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }

 private:
  explicit OwnedRef(PyObject* object) noexcept : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace marlix::python
