// Access to a `Fleet` instance during one method call, counted on the instance. A call that
// only reads takes shared access, one that changes the record takes exclusive access; a
// conflicting re-entrant call (from an argument's __index__, say) fails with RuntimeError
// instead of seeing a record halfway through a change.
#pragma once

#include <expected>
#include <type_traits>

#include "fleet/fleet.hpp"
#include "python/owned_ref.hpp"
#include "python/py_error.hpp"
#include "python/python.hpp"
#include "python/route_answers.hpp"

namespace marlix::python {

enum class Access { Shared, Exclusive };

// Holds a reference to the instance and its access for as long as it lives, and gives the
// access back when destroyed.
template <Access Mode>
class FleetBorrow {
 public:
  using Record = std::conditional_t<Mode == Access::Shared, const fleet::Fleet, fleet::Fleet>;

  // Fails with the conversion TypeError for "Fleet" when `object` is not a Fleet, and with
  // "Already mutably borrowed" / "Already borrowed" when the access conflicts.
  static std::expected<FleetBorrow, PyError> take(PyObject* object);

  FleetBorrow(FleetBorrow&& other) noexcept = default;
  FleetBorrow& operator=(FleetBorrow&&) = delete;
  ~FleetBorrow();

  Record& record() const;
  // The answers route keeps: not part of the record, so even a shared user may keep one.
  RouteAnswers& answers() const;

 private:
  explicit FleetBorrow(OwnedRef object) noexcept : object_(std::move(object)) {}

  OwnedRef object_;  // empty once moved from
};

extern template class FleetBorrow<Access::Shared>;
extern template class FleetBorrow<Access::Exclusive>;

}  // namespace marlix::python
