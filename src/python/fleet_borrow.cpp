#include "python/fleet_borrow.hpp"

#include "python/argument_conversion.hpp"
#include "python/fleet_object.hpp"
#include "python/fleet_type.hpp"

namespace marlix::python {

namespace {

bool is_fleet(PyObject* object) {
  auto* type = reinterpret_cast<PyTypeObject*>(existing_fleet_type());
  return type != nullptr && (Py_TYPE(object) == type || PyType_IsSubtype(Py_TYPE(object), type));
}

}  // namespace

template <Access Mode>
std::expected<FleetBorrow<Mode>, PyError> FleetBorrow<Mode>::take(PyObject* object) {
  if (!is_fleet(object)) {
    return std::unexpected(conversion_error(object, "Fleet"));
  }
  Py_ssize_t& count = as_fleet_object(object)->borrow_count;
  if constexpr (Mode == Access::Shared) {
    if (count == -1) {
      return std::unexpected(PyError::make(PyExc_RuntimeError, "Already mutably borrowed"));
    }
    ++count;
  } else {
    if (count != 0) {
      return std::unexpected(PyError::make(PyExc_RuntimeError, "Already borrowed"));
    }
    count = -1;
    // Whatever this user does to the record, no answer kept before may be handed out after it.
    answers_of(object).forget_all();
  }
  return FleetBorrow(OwnedRef::borrow(object));
}

template <Access Mode>
FleetBorrow<Mode>::~FleetBorrow() {
  if (!object_) {
    return;
  }
  Py_ssize_t& count = as_fleet_object(object_.get())->borrow_count;
  if constexpr (Mode == Access::Shared) {
    --count;
  } else {
    count = 0;
  }
}

template <Access Mode>
typename FleetBorrow<Mode>::Record& FleetBorrow<Mode>::record() const {
  return record_of(object_.get());
}

template <Access Mode>
RouteAnswers& FleetBorrow<Mode>::answers() const {
  return answers_of(object_.get());
}

template class FleetBorrow<Access::Shared>;
template class FleetBorrow<Access::Exclusive>;

}  // namespace marlix::python
