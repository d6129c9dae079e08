#include "python/py_error.hpp"

#include <utility>

#include "python/internal_failure.hpp"

namespace marlix::python {

namespace {

OwnedRef message_object(const std::string& message) {
  OwnedRef text = OwnedRef::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) {
    python_call_failed();
  }
  return text;
}

}  // namespace

PyError::Raised PyError::take_normalised() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  return {OwnedRef::steal(type), OwnedRef::steal(value), OwnedRef::steal(traceback)};
}

PyError PyError::make(PyObject* type, std::string message) {
  return PyError(Described{type, std::move(message)});
}

PyError PyError::fetch() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    return make(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  return PyError(Raised{OwnedRef::steal(type), OwnedRef::steal(value), OwnedRef::steal(traceback)});
}

PyError PyError::with_cause(PyObject* type, std::string message, OwnedRef cause) {
  OwnedRef text = message_object(message);
  PyErr_SetObject(type, text.get());
  Raised raised = take_normalised();
  // PyException_SetCause takes over the reference it is given, a null one included.
  PyException_SetCause(raised.value.get(), cause.release());
  return PyError(std::move(raised));
}

bool PyError::is_exactly(PyObject* type) const {
  if (const auto* described = std::get_if<Described>(&state_)) {
    return described->type == type;
  }
  return std::get<Raised>(state_).type.get() == type;
}

OwnedRef PyError::instance() {
  std::move(*this).restore();
  Raised raised = take_normalised();
  OwnedRef value = OwnedRef::borrow(raised.value.get());
  state_ = std::move(raised);
  return value;
}

void PyError::restore() && {
  if (auto* described = std::get_if<Described>(&state_)) {
    OwnedRef text = message_object(described->message);
    PyErr_SetObject(described->type, text.get());
    return;
  }
  auto& raised = std::get<Raised>(state_);
  PyErr_Restore(raised.type.release(), raised.value.release(), raised.traceback.release());
}

}  // namespace marlix::python
