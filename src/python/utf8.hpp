// Texts out of Python `str` objects, as owned UTF-8 copies.
#pragma once

#include <expected>
#include <string>

#include "python/py_error.hpp"
#include "python/python.hpp"

namespace marlix::python {

// Strict UTF-8 of a `str` (UnicodeEncodeError for a lone surrogate). On 3.9's limited API the
// bytes come out through a temporary `bytes` object.
std::expected<std::string, PyError> utf8_of(PyObject* text);

}  // namespace marlix::python
