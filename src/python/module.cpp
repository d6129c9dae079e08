// _marlix: decides whether a GPU card can hold a roster of models (`plan`) and tracks the
// models' lifecycle and routing on that card (`Fleet`). This file builds the module object:
// `plan`, then `Fleet`, then `__version__`, each also listed in `__all__`.

#include <string_view>

#include "python/boundary.hpp"
#include "python/fleet_type.hpp"
#include "python/owned_ref.hpp"
#include "python/plan_function.hpp"
#include "python/py_error.hpp"
#include "python/python.hpp"
#include "python/registration.hpp"

namespace marlix::python {

namespace {

constexpr std::string_view kVersion = MARLIX_VERSION;

// Single-phase initialisation without per-module state; functions are added by the body.
PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_marlix",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// Set by the first successful initialisation and kept for the rest of the process: the module
// holds process-wide state (its type objects), so it is initialised once per process only.
PyObject* module_cell = nullptr;

std::expected<OwnedRef, PyError> text(std::string_view value) {
  OwnedRef object = OwnedRef::steal(
      PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
  if (!object) {
    return std::unexpected(PyError::fetch());
  }
  return object;
}

std::expected<void, PyError> add_plan(PyObject* module) {
  auto function = new_plan_function(module);
  if (!function) {
    return std::unexpected(std::move(function.error()));
  }
  return add_function(module, function->get());
}

std::expected<void, PyError> add_version(PyObject* module) {
  auto name = text("__version__");
  if (!name) {
    return std::unexpected(std::move(name.error()));
  }
  auto version = text(kVersion);
  if (!version) {
    return std::unexpected(std::move(version.error()));
  }
  return add_to_module(module, name->get(), version->get());
}

std::expected<void, PyError> fill_module(PyObject* module) {
  if (auto added = add_plan(module); !added) {
    return added;
  }
  if (auto added = add_fleet_type(module); !added) {
    return added;
  }
  return add_version(module);
}

std::expected<OwnedRef, PyError> initialise() {
  if (module_cell != nullptr) {
    return std::unexpected(
        PyError::make(PyExc_ImportError,
                      "the _marlix module can be initialised only once per interpreter process"));
  }
  OwnedRef module = OwnedRef::steal(PyModule_Create2(&module_def, PYTHON_ABI_VERSION));
  if (!module) {
    return std::unexpected(PyError::fetch());
  }
  if (auto filled = fill_module(module.get()); !filled) {
    return std::unexpected(std::move(filled.error()));
  }
  module_cell = OwnedRef::borrow(module.get()).release();
  return module;
}

}  // namespace

}  // namespace marlix::python

PyMODINIT_FUNC PyInit__marlix() {
  return marlix::python::at_boundary(marlix::python::initialise);
}
