// Texts out of Python `str` objects: owned UTF-8 copies, or the interpreter's own UTF-8 form
// read in place where it offers one.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "python/py_error.hpp"
#include "python/python.hpp"

namespace marlix::python {

// Strict UTF-8 of a `str` (UnicodeEncodeError for a lone surrogate). A short text is encoded
// here from its code points; on 3.9's limited API the bytes of a longer one come out through a
// temporary `bytes` object.
std::expected<std::string, PyError> utf8_of(PyObject* text);
// The same into `out`, which ends up holding the text, or something unspecified on an error.
std::expected<void, PyError> utf8_into(PyObject* text, std::string& out);

// Strict UTF-8 of a `str` as a view that lives as long as the `str` does: its own UTF-8 form,
// read in place, on an interpreter whose limited API has that (3.10 on); else a copy made into
// `copy`, which the view then points into. `in_place` says which.
struct Utf8View {
  std::string_view text;
  bool in_place = false;
};
std::expected<Utf8View, PyError> utf8_view(PyObject* text, std::string& copy);

}  // namespace marlix::python
