// An error on its way out to Python. Inside the module an error is a value: either an exception
// class with its message (the exception object is made only when raised) or an exception the
// interpreter already raised and we took over. It becomes the interpreter's current exception
// again only at the boundary, by restore().
#pragma once

#include <string>
#include <variant>

#include "python/owned_ref.hpp"
#include "python/python.hpp"

namespace marlix::python {

class PyError {
 public:
  // An exception of `type` (one of the interpreter's exception classes, borrowed: they live for
  // the whole process) whose single argument is `message`.
  static PyError make(PyObject* type, std::string message);

  // Takes over the interpreter's pending exception. An API call that failed without setting one
  // gives SystemError "attempted to fetch exception but none was set".
  static PyError fetch();

  // A new exception of `type` with `message`, its __cause__ set to `cause` (empty: none).
  static PyError with_cause(PyObject* type, std::string message, OwnedRef cause);

  // Whether the exception's class is exactly `type` (identity, subclasses do not count).
  bool is_exactly(PyObject* type) const;

  // The exception object itself, made now if this error had only been described.
  OwnedRef instance();

  // Makes this the interpreter's current exception.
  void restore() &&;

 private:
  struct Described {
    PyObject* type;
    std::string message;
  };
  struct Raised {
    OwnedRef type;
    OwnedRef value;
    OwnedRef traceback;
  };

  // Takes the pending exception in normalised form, so that `value` is an exception instance.
  static Raised take_normalised();

  explicit PyError(Described described) : state_(std::move(described)) {}
  explicit PyError(Raised raised) : state_(std::move(raised)) {}

  std::variant<Described, Raised> state_;
};

}  // namespace marlix::python
