#include "python/argument_conversion.hpp"

#include <limits>

#include "python/interned_names.hpp"
#include "python/owned_ref.hpp"
#include "python/utf8.hpp"

namespace marlix::python {

namespace {

PyObject* type_of(PyObject* value) {
  return reinterpret_cast<PyObject*>(Py_TYPE(value));
}

// A text attribute of a type (its __name__ or __qualname__), or `fallback` when it cannot be
// read as a text.
std::string type_text(PyObject* type, InternedName attribute, std::string_view fallback) {
  auto name = interned(attribute);
  if (name) {
    OwnedRef text = OwnedRef::steal(PyObject_GetAttr(type, *name));
    if (text && PyUnicode_Check(text.get())) {
      if (auto bytes = utf8_of(text.get())) {
        return *std::move(bytes);
      }
    }
  }
  PyErr_Clear();
  return std::string(fallback);
}

// str() of an exception; if that fails, the failure goes to the unraisable hook and a
// placeholder naming the exception's type stands in.
std::string text_form(PyObject* exception) {
  OwnedRef text = OwnedRef::steal(PyObject_Str(exception));
  if (text) {
    auto bytes = utf8_of(text.get());
    if (bytes) {
      return *std::move(bytes);
    }
    std::move(bytes.error()).restore();
  }
  PyErr_WriteUnraisable(exception);
  return "<unprintable " + type_text(type_of(exception), InternedName::Name, "exception") +
         " object>";
}

// The value itself when it is an `int`, else the result of its __index__.
std::expected<OwnedRef, PyError> integer_of(PyObject* value) {
  if (PyLong_Check(value)) {
    return OwnedRef::borrow(value);
  }
  OwnedRef index = OwnedRef::steal(PyNumber_Index(value));
  if (!index) {
    return std::unexpected(PyError::fetch());
  }
  return index;
}

}  // namespace

std::expected<void, PyError> U64Arg::convert(PyObject* value, std::uint64_t& out) {
  static_assert(sizeof(unsigned long long) == sizeof(std::uint64_t));
  auto integer = integer_of(value);
  if (!integer) {
    return std::unexpected(std::move(integer.error()));
  }
  // The usual count fits a long long, which the interpreter reads straight from its digits;
  // the unsigned reader goes through a byte array, so it is left to larger and negative values,
  // and to raise their errors.
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(integer->get(), &overflow);
  if (overflow == 0 && small >= 0) {
    out = static_cast<std::uint64_t>(small);
    return {};
  }
  if (small == -1 && PyErr_Occurred() != nullptr) {
    return std::unexpected(PyError::fetch());
  }
  const unsigned long long read = PyLong_AsUnsignedLongLong(integer->get());
  if (read == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred() != nullptr) {
    return std::unexpected(PyError::fetch());
  }
  out = read;
  return {};
}

std::expected<void, PyError> U8Arg::convert(PyObject* value, std::uint8_t& out) {
  auto integer = integer_of(value);
  if (!integer) {
    return std::unexpected(std::move(integer.error()));
  }
  const long read = PyLong_AsLong(integer->get());
  if (read == -1 && PyErr_Occurred() != nullptr) {
    return std::unexpected(PyError::fetch());
  }
  if (read < 0 || read > std::numeric_limits<std::uint8_t>::max()) {
    return std::unexpected(
        PyError::make(PyExc_OverflowError, "out of range integral type conversion attempted"));
  }
  out = static_cast<std::uint8_t>(read);
  return {};
}

std::expected<void, PyError> TextArg::convert(PyObject* value, std::string& out) {
  if (!PyUnicode_Check(value)) {
    return std::unexpected(conversion_error(value, "PyString"));
  }
  return utf8_into(value, out);
}

std::expected<void, PyError> TextViewArg::convert(PyObject* value, Utf8Text& out) {
  if (!PyUnicode_Check(value)) {
    return std::unexpected(conversion_error(value, "PyString"));
  }
  auto read = utf8_view(value, out.copy_);
  if (!read) {
    return std::unexpected(std::move(read.error()));
  }
  out.in_place_ = read->in_place;
  out.in_place_text_ = read->in_place ? read->text : std::string_view();
  return {};
}

PyError conversion_error(PyObject* value, std::string_view target) {
  const std::string type =
      type_text(type_of(value), InternedName::QualName, "<failed to extract type name>");
  return PyError::make(PyExc_TypeError, "'" + type + "' object cannot be converted to '" +
                                            std::string(target) + "'");
}

PyError argument_error(PyError error, std::string_view name) {
  if (!error.is_exactly(PyExc_TypeError)) {
    return error;
  }
  OwnedRef replaced = error.instance();
  std::string message = "argument '" + std::string(name) + "': " + text_form(replaced.get());
  return PyError::with_cause(PyExc_TypeError, std::move(message),
                             OwnedRef::steal(PyException_GetCause(replaced.get())));
}

}  // namespace marlix::python
