// `plan`, the module's function: can this card hold this roster?
#pragma once

#include <expected>

#include "python/owned_ref.hpp"
#include "python/py_error.hpp"
#include "python/python.hpp"

namespace marlix::python {

// A new `plan` function object bound to `module`.
std::expected<OwnedRef, PyError> new_plan_function(PyObject* module);

}  // namespace marlix::python
