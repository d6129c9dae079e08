// Adding attributes to the module: every name also goes into the module's __all__.
#pragma once

#include <expected>

#include "python/py_error.hpp"
#include "python/python.hpp"

namespace marlix::python {

// Appends `name` to the module's __all__ (made as an empty list first when the module has none)
// and then sets the attribute. An __all__ that is not a list fails with the conversion TypeError
// for "PyList".
std::expected<void, PyError> add_to_module(PyObject* module, PyObject* name, PyObject* value);

// Adds a function object under its own __name__.
std::expected<void, PyError> add_function(PyObject* module, PyObject* function);

}  // namespace marlix::python
