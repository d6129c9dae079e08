// Python arguments to native values. Each kind of parameter is a type with a `value_type` and a
// `convert` step that sets a value in place; the boundary runs them in parameter order and names
// the argument in errors.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include "python/py_error.hpp"
#include "python/python.hpp"

namespace marlix::python {

// An `int` (bool included) or an object with __index__, as an unsigned 64-bit value.
struct U64Arg {
  using value_type = std::uint64_t;
  static std::expected<void, PyError> convert(PyObject* value, std::uint64_t& out);
};

// An `int` or __index__ object from 0 to 255.
struct U8Arg {
  using value_type = std::uint8_t;
  static std::expected<void, PyError> convert(PyObject* value, std::uint8_t& out);
};

// A `str` (or subclass), as an owned strict UTF-8 copy.
struct TextArg {
  using value_type = std::string;
  static std::expected<void, PyError> convert(PyObject* value, std::string& out);
};

// A `str` argument's strict UTF-8, for an operation that only reads it during the call: the
// interpreter's own UTF-8 form read in place where it offers one, else an owned copy.
class Utf8Text {
 public:
  std::string_view view() const { return in_place_ ? in_place_text_ : std::string_view(copy_); }
  bool in_place() const { return in_place_; }
  // The copy, when the text was copied rather than read in place.
  std::string take_copy() && { return std::move(copy_); }

 private:
  friend struct TextViewArg;
  std::string_view in_place_text_;
  std::string copy_;
  bool in_place_ = false;
};

// A `str` (or subclass), as a Utf8Text.
struct TextViewArg {
  using value_type = Utf8Text;
  static std::expected<void, PyError> convert(PyObject* value, Utf8Text& out);
};

// TypeError "'{type}' object cannot be converted to '{target}'", {type} being the __qualname__
// of the value's type.
PyError conversion_error(PyObject* value, std::string_view target);

// A conversion error of exactly TypeError becomes TypeError "argument '{name}': {message}",
// keeping the original's __cause__; any other error passes unchanged.
PyError argument_error(PyError error, std::string_view name);

}  // namespace marlix::python
