#include "python/fleet_type.hpp"

#include <memory>
#include <string>
#include <string_view>

#include "python/fleet_methods.hpp"
#include "python/fleet_object.hpp"
#include "python/interpreter_version.hpp"
#include "python/owned_ref.hpp"
#include "python/registration.hpp"

namespace marlix::python {

namespace {

constexpr std::string_view kClassName = "Fleet";
constexpr std::string_view kTextSignature = "(total_bytes, reserve_pct, declared_json)";
constexpr std::string_view kClassDescription = "";
// The class names no module, so the interpreter files it under builtins.
constexpr std::string_view kModulePart = "builtins";

// Set on the first successful creation and kept for the rest of the process.
PyObject* fleet_type = nullptr;

void fleet_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&answers_of(self));
  std::destroy_at(&record_of(self));
  auto* free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_memory(self);
  // Instances of a heap type hold a reference to it.
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

std::expected<PyObject*, PyError> create_fleet_type() {
  std::string doc =
      std::string(kClassName).append(kTextSignature).append("\n--\n\n").append(kClassDescription);
  if (doc.find('\0') != std::string::npos) {
    return std::unexpected(PyError::make(PyExc_ValueError, "class doc cannot contain nul bytes"));
  }
  auto name =
      std::make_unique<std::string>(std::string(kModulePart) + "." + std::string(kClassName));
  if (name->find('\0') != std::string::npos) {
    return std::unexpected(PyError::make(PyExc_ValueError, "class name cannot contain nul bytes"));
  }

  PyType_Slot slots[] = {
      {Py_tp_doc, doc.data()},
      {Py_tp_methods, fleet_methods()},
      {Py_tp_new, reinterpret_cast<void*>(&fleet_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&fleet_dealloc)},
      {Py_tp_base, &PyBaseObject_Type},
      {0, nullptr},
  };
  PyType_Spec spec = {
      .name = name->c_str(),
      .basicsize = static_cast<int>(sizeof(FleetObject)),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT,
      .slots = slots,
  };
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) {
    return std::unexpected(PyError::fetch());
  }
  // The doc is copied by the interpreter; the name is copied only from 3.11 on, before that the
  // type keeps pointing at our text, which must then live as long as the type: for ever.
  if (running_interpreter_version() < InterpreterVersion{3, 11, 0}) {
    static_cast<void>(name.release());
  }
  return type;
}

}  // namespace

std::expected<PyObject*, PyError> get_or_create_fleet_type() {
  if (fleet_type == nullptr) {
    auto created = create_fleet_type();
    if (!created) {
      return std::unexpected(PyError::with_cause(
          PyExc_RuntimeError,
          "An error occurred while initializing class " + std::string(kClassName),
          created.error().instance()));
    }
    fleet_type = *created;
  }
  return fleet_type;
}

PyObject* existing_fleet_type() {
  return fleet_type;
}

std::expected<void, PyError> add_fleet_type(PyObject* module) {
  auto type = get_or_create_fleet_type();
  if (!type) {
    return std::unexpected(std::move(type.error()));
  }
  OwnedRef name = OwnedRef::steal(
      PyUnicode_FromStringAndSize(kClassName.data(), static_cast<Py_ssize_t>(kClassName.size())));
  if (!name) {
    return std::unexpected(PyError::fetch());
  }
  return add_to_module(module, name.get(), *type);
}

}  // namespace marlix::python
