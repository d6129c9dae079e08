#include "python/interned_names.hpp"

#include <array>
#include <cstddef>

namespace marlix::python {

namespace {

constexpr std::array<const char*, 3> kTexts = {"__all__", "__name__", "__qualname__"};
std::array<PyObject*, 3> cells = {};

}  // namespace

std::expected<PyObject*, PyError> interned(InternedName name) {
  const auto index = static_cast<std::size_t>(name);
  if (cells[index] == nullptr) {
    PyObject* text = PyUnicode_FromString(kTexts[index]);
    if (text == nullptr) {
      return std::unexpected(PyError::fetch());
    }
    PyUnicode_InternInPlace(&text);
    cells[index] = text;
  }
  return cells[index];
}

}  // namespace marlix::python
