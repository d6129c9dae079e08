// The method table of `Fleet`, and its constructor.
#pragma once

#include "python/python.hpp"

namespace marlix::python {

// Static, terminated by an empty entry: set_endpoint, observe, route, next_to_load,
// committed_bytes, free_bytes, report.
PyMethodDef* fleet_methods();

// Py_tp_new: builds the native record first and allocates the instance only when that worked.
PyObject* fleet_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace marlix::python
