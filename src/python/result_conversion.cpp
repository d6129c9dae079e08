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

OwnedRef decoded(std::string_view utf8) {
  return made(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr));
}

// Resizing a `str` far past its length and back gives it a mapping of its own: glibc maps any
// block past its largest threshold (32 MiB) by itself, and shrinking keeps the mapping. Grown
// from there, the block is remapped rather than copied, so the text so far is never held twice,
// and its pages go back as soon as it is freed. Should the first step fail, the `str` stays as
// it was, which is as good.
void place_apart(OwnedRef& text) {
  constexpr Py_ssize_t kFarPast = Py_ssize_t{32} << 20;  // characters, so at least 32 MiB
  PyObject* object = text.release();
  const Py_ssize_t length = PyUnicode_GetLength(object);
  // On failure PyUnicode_Resize leaves the `str` as it was.
  const bool grown = PyUnicode_Resize(&object, length + kFarPast) == 0;
  const bool back = !grown || PyUnicode_Resize(&object, length) == 0;
  text = OwnedRef::steal(object);
  if (!grown) {
    PyErr_Clear();
  } else if (!back) {
    python_call_failed();
  }
}

}  // namespace

OwnedRef to_python(const std::string& text) {
  return decoded(text);
}

StrFromPieces::StrFromPieces(std::size_t append_from) : append_from_(append_from) {}

void StrFromPieces::append(std::string_view utf8) {
  OwnedRef piece = decoded(utf8);
  const bool was_ascii = ascii_;
  ascii_ = ascii_ && PyUnicode_GetLength(piece.get()) == static_cast<Py_ssize_t>(utf8.size());
  if (!appending_) {
    if (!text_ && !pieces_) {
      text_ = std::move(piece);  // a text of one piece, as a small one is, needs no list
      return;
    }
    if (!pieces_) {
      pieces_ = made(PyList_New(0));
      if (PyList_Append(pieces_.get(), text_.get()) != 0) {
        python_call_failed();
      }
      text_ = OwnedRef();
    }
    if (PyList_Append(pieces_.get(), piece.get()) != 0) {
      python_call_failed();
    }
    return;
  }
  if (!text_) {
    text_ = std::move(piece);
    place_apart(text_);
    return;
  }
  PyObject* text = text_.release();
  PyUnicode_Append(&text, piece.get());
  text_ = made(text);
  if (was_ascii && !ascii_) {
    // The first character past ASCII made a new, wider `str`, allocated like any other.
    place_apart(text_);
  }
}

void StrFromPieces::rest_known(std::size_t rest_bytes) {
  if (appending_ || rest_bytes < append_from_) {
    return;
  }
  appending_ = true;
  if (text_ || pieces_) {
    text_ = std::move(*this).joined();
    pieces_ = OwnedRef();
    place_apart(text_);
  }
}

OwnedRef StrFromPieces::finish() && {
  return std::move(*this).joined();
}

OwnedRef StrFromPieces::joined() && {
  if (!pieces_) {
    return text_ ? std::move(text_) : to_python(std::string());
  }
  OwnedRef empty = to_python(std::string());
  return made(PyUnicode_Join(empty.get(), pieces_.get()));
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
