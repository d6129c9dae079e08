// What the host reports about one model, decoded from its kind and detail document.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "fleet/fleet.hpp"
#include "json/value.hpp"

namespace marlix::fleet {

namespace observation {
struct LoadStarted {
  friend bool operator==(const LoadStarted&, const LoadStarted&) = default;
};
struct ProbeOk {
  std::uint64_t vram_bytes = 0;
  friend bool operator==(const ProbeOk&, const ProbeOk&) = default;
};
struct ProbeFailed {
  std::string detail;
  bool gpu_present = true;
  friend bool operator==(const ProbeFailed&, const ProbeFailed&) = default;
};
struct ProcessExited {
  std::optional<std::int32_t> code;
  friend bool operator==(const ProcessExited&, const ProcessExited&) = default;
};
struct LoadFailed {
  std::string detail = "unknown";
  friend bool operator==(const LoadFailed&, const LoadFailed&) = default;
};
struct Stop {
  friend bool operator==(const Stop&, const Stop&) = default;
};
}  // namespace observation

using Observation =
    std::variant<observation::LoadStarted, observation::ProbeOk, observation::ProbeFailed,
                 observation::ProcessExited, observation::LoadFailed, observation::Stop>;

// Builds the observation for `kind` from an already parsed detail value. An unrecognised kind
// gives "unknown observation kind \"…\" — expected one of: …".
std::expected<Observation, std::string> decode_observation(std::string_view kind,
                                                           const json::Value& detail);

// The whole observe call: parse the detail ("bad json: …"), decode, look the model up and apply
// the transition. An undeclared model is not an error. On error nothing changes.
std::expected<void, std::string> observe(Fleet& fleet, std::string_view model,
                                         std::string_view kind, std::string_view detail_json,
                                         std::uint64_t now);

}  // namespace marlix::fleet
