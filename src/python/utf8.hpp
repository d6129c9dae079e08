// Texts out of Python `str` objects, as owned UTF-8 copies.
#pragma once

#include <expected>
#include <string>

#include "python/py_error.hpp"
#include "python/python.hpp"

namespace marlix::python {

// Strict UTF-8 of a `str` (UnicodeEncodeError for a lone surrogate). A short text is encoded
// here from its code points; on 3.9's limited API the bytes of a longer one come out through a
// temporary `bytes` object.
std::expected<std::string, PyError> utf8_of(PyObject* text);
// The same into `out`, which ends up holding the text, or something unspecified on an error.
std::expected<void, PyError> utf8_into(PyObject* text, std::string& out);

}  // namespace marlix::python
