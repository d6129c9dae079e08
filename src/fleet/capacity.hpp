// How much of the card is held, how much is free, and what to load next.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "fleet/fleet.hpp"

namespace marlix::fleet {

// Sum of the VRAM bytes of every resident entry, saturating at the largest 64-bit count.
std::uint64_t committed_bytes(const Fleet& fleet);
std::uint64_t usable_bytes(const Fleet& fleet);
// usable minus committed, never below zero.
std::uint64_t free_bytes(const Fleet& fleet);

// The first admitted entry that wants loading (Unprobed, Lost or Failed) and fits in the free
// bytes. An entry whose name repeats an earlier one is passed over: no observation reaches it.
std::optional<std::string> next_to_load(const Fleet& fleet);

}  // namespace marlix::fleet
