#include "python/utf8.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "python/owned_ref.hpp"

namespace marlix::python {

namespace {

// Texts longer than this many code points are encoded a slice at a time.
constexpr Py_ssize_t kSlice = 1 << 16;

// Appends the UTF-8 bytes of `text`, through the temporary `bytes` object.
std::expected<void, PyError> append_utf8(std::string& out, PyObject* text) {
  OwnedRef bytes = OwnedRef::steal(PyUnicode_AsUTF8String(text));
  if (!bytes) {
    return std::unexpected(PyError::fetch());
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) {
    return std::unexpected(PyError::fetch());
  }
  out.append(data, static_cast<std::size_t>(size));
  return {};
}

std::expected<std::string, PyError> whole(PyObject* text) {
  std::string out;
  if (auto appended = append_utf8(out, text); !appended) {
    return std::unexpected(std::move(appended.error()));
  }
  return out;
}

}  // namespace

std::expected<std::string, PyError> utf8_of(PyObject* text) {
  const Py_ssize_t length = PyUnicode_GetLength(text);
  if (length < 0) {
    return std::unexpected(PyError::fetch());
  }
  if (length <= kSlice) {
    return whole(text);
  }
  // A long text (a roster of many models) is encoded slice by slice into its one copy, so its
  // UTF-8 form is not held twice, once in a `bytes` object and once here.
  std::string out;
  out.reserve(static_cast<std::size_t>(length));  // exact for ASCII; other text grows it
  for (Py_ssize_t start = 0; start < length; start += kSlice) {
    OwnedRef slice =
        OwnedRef::steal(PyUnicode_Substring(text, start, std::min(start + kSlice, length)));
    if (!slice) {
      return std::unexpected(PyError::fetch());
    }
    if (!append_utf8(out, slice.get())) {
      // A lone surrogate: encoding the whole text reports it with its position in the whole.
      return whole(text);
    }
  }
  return out;
}

}  // namespace marlix::python
