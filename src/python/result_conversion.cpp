#include "python/result_conversion.hpp"

#include "python/internal_failure.hpp"
#include "python/python.hpp"

namespace marlix::python {

namespace {

OwnedRef made(PyObject* object) {
  if (object == nullptr) {
    python_call_failed();
  }
  return OwnedRef::steal(object);
}

}  // namespace

OwnedRef to_python(const std::string& text) {
  return made(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

OwnedRef to_python(std::uint64_t count) {
  return made(PyLong_FromUnsignedLongLong(count));
}

OwnedRef to_python(const std::optional<std::string>& text) {
  return text ? to_python(*text) : none();
}

OwnedRef none() {
  return OwnedRef::borrow(Py_None);
}

PyError operation_error(std::string text) {
  return PyError::make(PyExc_ValueError, std::move(text));
}

}  // namespace marlix::python
