#include "python/utf8.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "python/interpreter_version.hpp"
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

// Texts of at most this many code points are read into a buffer on the stack and encoded here,
// with nothing allocated on the way: a model name, a time, a small detail.
constexpr Py_ssize_t kShort = 64;

bool is_surrogate(Py_UCS4 c) {
  return c >= 0xD800 && c <= 0xDFFF;
}

// Appends the UTF-8 form of the scalar value `c`.
void append_scalar(std::string& out, Py_UCS4 c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    const char bytes[] = {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
    out.append(bytes, sizeof bytes);
  } else if (c < 0x10000) {
    const char bytes[] = {static_cast<char>(0xE0 | (c >> 12)),
                          static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                          static_cast<char>(0x80 | (c & 0x3F))};
    out.append(bytes, sizeof bytes);
  } else {
    const char bytes[] = {
        static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
        static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
    out.append(bytes, sizeof bytes);
  }
}

// Encodes a short text into `out`; false when it holds a surrogate, which strict UTF-8 cannot
// encode: the interpreter's encoder then reports it.
bool encode_short(PyObject* text, Py_ssize_t length, std::string& out) {
  std::array<Py_UCS4, kShort> code_points;
  if (PyUnicode_AsUCS4(text, code_points.data(), kShort, 0) == nullptr) {
    PyErr_Clear();  // not for a str this short; the encoder's own report follows
    return false;
  }
  out.reserve(static_cast<std::size_t>(length));  // exact for ASCII
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 c = code_points[static_cast<std::size_t>(i)];
    if (is_surrogate(c)) {
      return false;
    }
    append_scalar(out, c);
  }
  return true;
}

// PyUnicode_AsUTF8AndSize, which joined the limited API in 3.10: on such an interpreter it is
// taken from the interpreter by name, as the module's other imports are, and on 3.9 (or if it
// cannot be found) there is none and texts are copied. It hands out the `str`'s own UTF-8 form:
// for an ASCII text its characters themselves; any other text makes that form once and keeps it
// beside its characters for the rest of its life, as every in-place UTF-8 read does.
using InPlaceUtf8 = const char* (*)(PyObject*, Py_ssize_t*);

InPlaceUtf8 in_place_utf8() {
  static const InPlaceUtf8 read = []() -> InPlaceUtf8 {
    if (running_interpreter_version() < InterpreterVersion{3, 10, 0}) {
      return nullptr;
    }
    return reinterpret_cast<InPlaceUtf8>(dlsym(RTLD_DEFAULT, "PyUnicode_AsUTF8AndSize"));
  }();
  return read;
}

}  // namespace

std::expected<Utf8View, PyError> utf8_view(PyObject* text, std::string& copy) {
  if (const InPlaceUtf8 read = in_place_utf8()) {
    Py_ssize_t size = 0;
    const char* data = read(text, &size);
    if (data == nullptr) {
      return std::unexpected(PyError::fetch());
    }
    return Utf8View{std::string_view(data, static_cast<std::size_t>(size)), true};
  }
  if (auto done = utf8_into(text, copy); !done) {
    return std::unexpected(std::move(done.error()));
  }
  return Utf8View{copy, false};
}

std::expected<void, PyError> utf8_into(PyObject* text, std::string& out) {
  out.clear();
  const Py_ssize_t length = PyUnicode_GetLength(text);
  if (length < 0) {
    return std::unexpected(PyError::fetch());
  }
  if (length <= kShort && encode_short(text, length, out)) {
    return {};
  }
  if (length <= kSlice) {
    out.clear();
    return append_utf8(out, text);
  }
  // A long text (a roster of many models) is encoded slice by slice into its one copy, so its
  // UTF-8 form is not held twice, once in a `bytes` object and once here.
  out.reserve(static_cast<std::size_t>(length));  // exact for ASCII; other text grows it
  for (Py_ssize_t start = 0; start < length; start += kSlice) {
    OwnedRef slice =
        OwnedRef::steal(PyUnicode_Substring(text, start, std::min(start + kSlice, length)));
    if (!slice) {
      return std::unexpected(PyError::fetch());
    }
    if (!append_utf8(out, slice.get())) {
      // A lone surrogate: encoding the whole text reports it with its position in the whole.
      out.clear();
      return append_utf8(out, text);
    }
  }
  return {};
}

std::expected<std::string, PyError> utf8_of(PyObject* text) {
  std::string out;
  if (auto done = utf8_into(text, out); !done) {
    return std::unexpected(std::move(done.error()));
  }
  return out;
}

}  // namespace marlix::python
