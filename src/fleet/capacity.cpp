#include "fleet/capacity.hpp"

#include <cstdint>
#include <variant>

#include "planner/admission.hpp"

namespace marlix::fleet {

namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  const std::uint64_t sum = a + b;
  return sum < a ? UINT64_MAX : sum;
}

bool wants_loading(const ModelState& state) {
  return std::holds_alternative<state::Unprobed>(state) ||
         std::holds_alternative<state::Lost>(state) || std::holds_alternative<state::Failed>(state);
}

}  // namespace

std::uint64_t committed_bytes(const Fleet& fleet) {
  std::uint64_t committed = 0;
  for (const ModelEntry& entry : fleet.models) {
    // Admission is not consulted: whatever is resident holds VRAM.
    if (const auto* resident = std::get_if<state::Resident>(&entry.state)) {
      // Saturate rather than wrap: probes report what the host measured, and a wrapped sum
      // would show a full card as nearly empty.
      committed = saturating_add(committed, resident->vram_bytes);
    }
  }
  return committed;
}

std::uint64_t usable_bytes(const Fleet& fleet) {
  return planner::usable_bytes(fleet.total_bytes, fleet.reserve_bytes);
}

std::uint64_t free_bytes(const Fleet& fleet) {
  return planner::floor_sub(usable_bytes(fleet), committed_bytes(fleet));
}

std::optional<std::string> next_to_load(const Fleet& fleet) {
  const std::uint64_t free = free_bytes(fleet);
  for (const ModelEntry& entry : fleet.models) {
    if (!entry.admitted || !wants_loading(entry.state)) {
      continue;
    }
    // A candidate that does not fit is skipped; a later, smaller one may still fit.
    if (planner::need_bytes(entry.weights_bytes, entry.kv_bytes) > free) {
      continue;
    }
    // Observations by name only ever reach the first entry of a name, so a repeat could never
    // be reported as loading and would be offered forever.
    if (entry.repeats_name) {
      continue;
    }
    return entry.name;
  }
  return std::nullopt;
}

}  // namespace marlix::fleet
