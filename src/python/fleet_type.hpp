// The `Fleet` class: a heap type created once per process and added to the module.
#pragma once

#include <expected>

#include "python/py_error.hpp"
#include "python/python.hpp"

namespace marlix::python {

// The process-wide `Fleet` type object (borrowed), created on the first call. Any failure to
// create it is RuntimeError "An error occurred while initializing class Fleet", caused by the
// underlying error.
std::expected<PyObject*, PyError> get_or_create_fleet_type();

// The type if it has been created, else null.
PyObject* existing_fleet_type();

// Adds the type to the module as "Fleet".
std::expected<void, PyError> add_fleet_type(PyObject* module);

}  // namespace marlix::python
