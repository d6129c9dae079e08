// Matching a call's positional tuple and keyword dictionary to a callable's parameters, with
// the interpreter's wording for every mismatch. Nothing is converted here.
#pragma once

#include <expected>
#include <span>

#include "python/owned_ref.hpp"
#include "python/parameters.hpp"
#include "python/py_error.hpp"
#include "python/python.hpp"

namespace marlix::python {

// Fills `slots` (one per parameter, in ParameterSpec::name_at order) with strong references to
// the matched values; a parameter given no value keeps an empty slot. `args` may be null (no
// positional arguments) and `kwargs` null or a dict.
std::expected<void, PyError> match_arguments(const ParameterSpec& spec, PyObject* args,
                                             PyObject* kwargs, std::span<OwnedRef> slots);

}  // namespace marlix::python
