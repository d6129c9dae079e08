#pragma once

#include <cstdint>
#include <string>

#include "fleet/fleet.hpp"

namespace marlix::fleet {

// The card as text for people: a header line, then one line per entry, each ending in "\n".
std::string report(const Fleet& fleet, std::uint64_t now);

}  // namespace marlix::fleet
