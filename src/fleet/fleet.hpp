// The tracker of one card: one entry per roster entry, built by the same admission as the plan.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fleet/name_index.hpp"
#include "fleet/state.hpp"

namespace marlix::fleet {

struct ModelEntry {
  std::string name;
  std::uint64_t weights_bytes = 0;
  std::uint64_t kv_bytes = 0;
  std::optional<std::string> endpoint;
  ModelState state;
  std::uint64_t short_bytes = 0;  // > 0 exactly when not admitted
  bool admitted = true;
  // An earlier entry has the same name, so no lookup by name ever reaches this one.
  bool repeats_name = false;
};

struct Fleet {
  std::vector<ModelEntry> models;  // roster order; fixed after construction
  std::uint64_t total_bytes = 0;
  std::uint64_t reserve_bytes = 0;
  // The entries by name, built by index_names once `models` is complete.
  NameIndex names;
};

// Reserve, parse, roster reading and admission, as for a plan; every entry starts Unprobed.
// Errors: "bad json: …" or "could not read the roster: …".
std::expected<Fleet, std::string> build_fleet(std::uint64_t total_bytes, std::uint8_t reserve_pct,
                                              std::string_view declared_json);

// A fleet of `models` as they are, with their names indexed.
Fleet make_fleet(std::vector<ModelEntry> models, std::uint64_t total_bytes,
                 std::uint64_t reserve_bytes);

// Builds `fleet.names` for the entries as they are now, and sets `repeats_name` on every entry
// whose name an earlier entry already has. Entries are never added, removed or renamed
// afterwards.
void index_names(Fleet& fleet);

// The first entry in roster order whose name equals `model` byte for byte, or null, found
// through the index. Throws InternalError when the names are not indexed.
const ModelEntry* find_entry(const Fleet& fleet, std::string_view model);
ModelEntry* find_entry(Fleet& fleet, std::string_view model);

// Stores the endpoint on the named entry; an undeclared name changes nothing.
void set_endpoint(Fleet& fleet, std::string_view model, std::string endpoint);

}  // namespace marlix::fleet
