// Attribute names the module looks up often, interned once per process and never released.
#pragma once

#include <expected>

#include "python/py_error.hpp"
#include "python/python.hpp"

namespace marlix::python {

enum class InternedName { All, Name, QualName };  // "__all__", "__name__", "__qualname__"

// A borrowed reference that stays valid for the rest of the process.
std::expected<PyObject*, PyError> interned(InternedName name);

}  // namespace marlix::python
