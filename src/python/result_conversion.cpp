#include "python/result_conversion.hpp"

#include "python/internal_failure.hpp"
#include "python/python.hpp"

namespace marlix::python {

namespace {

OwnedRef made(PyObject* object) {
  if (object == nullptr) {
    python_call_failed();
  }
  return OwnedRef::steal(object);
}

}  // namespace

OwnedRef to_python(const std::string& text) {
  return made(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

OwnedRef to_python(json::TextBlocks&& blocks) {
  if (blocks.filled.empty()) {
    return to_python(blocks.last);
  }
  // Each block becomes a `str` of its own, and joining them allocates the result once, at its
  // exact size. Decoding a long text whole would not: the decoder makes room for one code
  // point per byte at the widest kind it meets and shrinks the `str` afterwards, so a text of
  // megabytes asks for a block a little larger than the one the previous call's result freed,
  // and the allocator maps fresh pages for it on every call.
  const std::size_t count = blocks.filled.size() + 1;
  OwnedRef pieces = made(PyList_New(static_cast<Py_ssize_t>(count)));
  for (std::size_t i = 0; i < count; ++i) {
    std::string& block = i < blocks.filled.size() ? blocks.filled[i] : blocks.last;
    OwnedRef piece = to_python(block);
    std::string().swap(block);  // its memory can hold the next pieces
    // PyList_SetItem takes over the reference, even when it fails.
    if (PyList_SetItem(pieces.get(), static_cast<Py_ssize_t>(i), piece.release()) != 0) {
      python_call_failed();
    }
  }
  OwnedRef empty = to_python(std::string());
  return made(PyUnicode_Join(empty.get(), pieces.get()));
}

OwnedRef to_python(std::uint64_t count) {
  return made(PyLong_FromUnsignedLongLong(count));
}

OwnedRef to_python(const std::optional<std::string>& text) {
  return text ? to_python(*text) : none();
}

OwnedRef none() {
  return OwnedRef::borrow(Py_None);
}

PyError operation_error(std::string text) {
  return PyError::make(PyExc_ValueError, std::move(text));
}

}  // namespace marlix::python
