// Where a request for one model should go now.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <variant>

#include "fleet/fleet.hpp"
#include "json/value.hpp"

namespace marlix::fleet {

namespace decision {
struct Ready {
  std::string model;
  std::string endpoint;
};
struct Warming {
  std::string model;
  std::uint64_t for_ms = 0;
};
struct Lost {
  std::string model;
  LostReason reason = LostReason::Unhealthy;
  bool operator_fault = true;
};
struct Failed {
  std::string model;
  std::string reason;
};
struct NotAdmitted {
  std::string model;
  std::uint64_t short_bytes = 0;
};
struct NotDeclared {
  std::string model;
};
struct Unknown {
  std::string model;
};
}  // namespace decision

// Variant index order matters: index 2 and above means "try elsewhere".
using RouteDecision =
    std::variant<decision::Ready, decision::Warming, decision::Lost, decision::Failed,
                 decision::NotAdmitted, decision::NotDeclared, decision::Unknown>;

RouteDecision decide_route(const Fleet& fleet, std::string_view model, std::uint64_t now);
// The same, for a caller that has already looked `model` up: `entry` is what find_entry found
// for it (null for nothing).
RouteDecision decide_for_entry(const ModelEntry* entry, std::string_view model, std::uint64_t now);

// The decision as a value tree with its three derived flags.
json::Value route_document(const RouteDecision& decision);
// The same, moving the decision's texts into the tree instead of copying them.
json::Value route_document(RouteDecision&& decision);

// The compact text of route_document(decision), written straight from the decision with the
// members in their key order, so answering a request builds no tree.
std::string write_route_document(const RouteDecision& decision);

// Whether the answer for `entry` changes with the time of the call. Only a loading model's does
// (it tells how long the model has been loading); any other answer stays the same, byte for byte,
// until the entry itself changes.
bool answer_depends_on_time(const ModelEntry& entry);

// Decide and write compactly.
std::expected<std::string, std::string> route(const Fleet& fleet, std::string_view model,
                                              std::uint64_t now);

}  // namespace marlix::fleet
