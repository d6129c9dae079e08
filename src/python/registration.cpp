#include "python/registration.hpp"

#include "python/argument_conversion.hpp"
#include "python/internal_failure.hpp"
#include "python/interned_names.hpp"
#include "python/owned_ref.hpp"

namespace marlix::python {

namespace {

std::expected<OwnedRef, PyError> module_all(PyObject* module) {
  auto all_name = interned(InternedName::All);
  if (!all_name) {
    return std::unexpected(std::move(all_name.error()));
  }
  OwnedRef all = OwnedRef::steal(PyObject_GetAttr(module, *all_name));
  if (all) {
    if (!PyList_Check(all.get())) {
      return std::unexpected(conversion_error(all.get(), "PyList"));
    }
    return all;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
    return std::unexpected(PyError::fetch());
  }
  PyErr_Clear();
  OwnedRef fresh = OwnedRef::steal(PyList_New(0));
  if (!fresh || PyObject_SetAttr(module, *all_name, fresh.get()) < 0) {
    return std::unexpected(PyError::fetch());
  }
  return fresh;
}

}  // namespace

std::expected<void, PyError> add_to_module(PyObject* module, PyObject* name, PyObject* value) {
  auto all = module_all(module);
  if (!all) {
    return std::unexpected(std::move(all.error()));
  }
  if (PyList_Append(all->get(), name) < 0) {
    python_call_failed("could not append __name__ to __all__");
  }
  if (PyObject_SetAttr(module, name, value) < 0) {
    return std::unexpected(PyError::fetch());
  }
  return {};
}

std::expected<void, PyError> add_function(PyObject* module, PyObject* function) {
  auto name_attribute = interned(InternedName::Name);
  if (!name_attribute) {
    return std::unexpected(std::move(name_attribute.error()));
  }
  OwnedRef name = OwnedRef::steal(PyObject_GetAttr(function, *name_attribute));
  if (!name) {
    return std::unexpected(PyError::fetch());
  }
  if (!PyUnicode_Check(name.get())) {
    return std::unexpected(conversion_error(name.get(), "PyString"));
  }
  return add_to_module(module, name.get(), function);
}

}  // namespace marlix::python
