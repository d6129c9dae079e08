#include "python/utf8.hpp"

#include "python/owned_ref.hpp"

namespace marlix::python {

std::expected<std::string, PyError> utf8_of(PyObject* text) {
  OwnedRef bytes = OwnedRef::steal(PyUnicode_AsUTF8String(text));
  if (!bytes) {
    return std::unexpected(PyError::fetch());
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) {
    return std::unexpected(PyError::fetch());
  }
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace marlix::python
