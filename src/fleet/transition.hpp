#pragma once

#include <cstdint>

#include "fleet/observation.hpp"
#include "fleet/state.hpp"

namespace marlix::fleet {

// The lifecycle rule: the state that follows `current` when `obs` is observed at `now`.
ModelState transition(const ModelState& current, const Observation& obs, std::uint64_t now);

}  // namespace marlix::fleet
