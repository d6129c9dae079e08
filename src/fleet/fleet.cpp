#include "fleet/fleet.hpp"

#include <string_view>
#include <utility>

#include "core/internal_error.hpp"
#include "planner/admission.hpp"
#include "planner/roster.hpp"

namespace marlix::fleet {

std::expected<Fleet, std::string> build_fleet(std::uint64_t total_bytes, std::uint8_t reserve_pct,
                                              std::string_view declared_json) {
  const std::uint64_t reserve_bytes = planner::compute_reserve(total_bytes, reserve_pct);
  auto roster = planner::load_roster(declared_json);
  if (!roster) {
    return std::unexpected(std::move(roster.error()));
  }
  const planner::AdmissionResult admission =
      planner::admit_roster(*roster, total_bytes, reserve_bytes);
  Fleet fleet;
  fleet.total_bytes = total_bytes;
  fleet.reserve_bytes = reserve_bytes;
  fleet.models.reserve(roster->size());
  // Verdicts go by position, so two entries with the same name each keep their own: the rejected
  // list is in roster order, and an entry is rejected exactly when it is the next one listed.
  auto rejected = admission.rejected.begin();
  for (std::size_t i = 0; i < roster->size(); ++i) {
    planner::DeclaredModel& declared = (*roster)[i];
    ModelEntry entry;
    entry.name = std::move(declared.model);
    entry.weights_bytes = declared.weights_bytes;
    entry.kv_bytes = declared.kv_bytes;
    if (rejected != admission.rejected.end() && rejected->position == i) {
      entry.admitted = false;
      entry.short_bytes = rejected->short_bytes();
      ++rejected;
    }
    fleet.models.push_back(std::move(entry));
  }
  if (rejected != admission.rejected.end()) {
    throw InternalError("a rejected model's position is not in the roster");
  }
  index_names(fleet);
  return fleet;
}

Fleet make_fleet(std::vector<ModelEntry> models, std::uint64_t total_bytes,
                 std::uint64_t reserve_bytes) {
  Fleet fleet;
  fleet.models = std::move(models);
  fleet.total_bytes = total_bytes;
  fleet.reserve_bytes = reserve_bytes;
  index_names(fleet);
  return fleet;
}

void index_names(Fleet& fleet) {
  fleet.names = NameIndex::build(fleet.models);
}

const ModelEntry* find_entry(const Fleet& fleet, std::string_view model) {
  if (fleet.names.entries() != fleet.models.size()) {
    throw InternalError("the names of the fleet are not indexed");
  }
  return fleet.names.find(fleet.models, model);
}

ModelEntry* find_entry(Fleet& fleet, std::string_view model) {
  return const_cast<ModelEntry*>(find_entry(std::as_const(fleet), model));
}

void set_endpoint(Fleet& fleet, std::string_view model, std::string endpoint) {
  if (ModelEntry* entry = find_entry(fleet, model)) {
    entry->endpoint = std::move(endpoint);
  }
}

}  // namespace marlix::fleet
