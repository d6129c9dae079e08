// The memory of a `Fleet` instance: the object header, the native fleet record it owns, the
// answers route keeps for it, and the borrow counter (0: unused; n > 0: n shared users; -1: one
// exclusive user).
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>

#include "fleet/fleet.hpp"
#include "python/python.hpp"
#include "python/route_answers.hpp"

namespace marlix::python {

struct FleetObject {
  PyObject header;
  // The record is placement-constructed once the native construction succeeded, and destroyed
  // by the type's dealloc; the interpreter only ever sees raw memory here.
  alignas(fleet::Fleet) std::byte record[sizeof(fleet::Fleet)];
  // Constructed and destroyed with the record.
  alignas(RouteAnswers) std::byte answers[sizeof(RouteAnswers)];
  Py_ssize_t borrow_count;
};

static_assert(alignof(FleetObject) <= alignof(std::max_align_t));
static_assert(std::is_nothrow_move_constructible_v<fleet::Fleet>);
static_assert(std::is_nothrow_default_constructible_v<RouteAnswers>);

inline FleetObject* as_fleet_object(PyObject* object) {
  return reinterpret_cast<FleetObject*>(object);
}

inline fleet::Fleet& record_of(PyObject* object) {
  return *std::launder(reinterpret_cast<fleet::Fleet*>(as_fleet_object(object)->record));
}

inline RouteAnswers& answers_of(PyObject* object) {
  return *std::launder(reinterpret_cast<RouteAnswers*>(as_fleet_object(object)->answers));
}

}  // namespace marlix::python
