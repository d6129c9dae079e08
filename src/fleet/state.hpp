// A model's lifecycle state and the reasons a model can be lost.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace marlix::fleet {

enum class LostReason : std::uint8_t { Evicted, GpuDetached, ProcessExited, Unhealthy };

// "evicted", "gpu_detached", "process_exited", "unhealthy"
std::string_view route_name(LostReason reason);
// The phrase the report shows for a lost model.
std::string_view report_text(LostReason reason);

namespace state {
struct Unprobed {
  friend bool operator==(const Unprobed&, const Unprobed&) = default;
};
struct Loading {
  std::uint64_t since_ms = 0;
  friend bool operator==(const Loading&, const Loading&) = default;
};
struct Resident {
  std::uint64_t since_ms = 0;
  std::uint64_t vram_bytes = 0;
  friend bool operator==(const Resident&, const Resident&) = default;
};
struct Lost {
  std::uint64_t at_ms = 0;
  LostReason reason = LostReason::Unhealthy;
  friend bool operator==(const Lost&, const Lost&) = default;
};
struct Failed {
  std::string detail;
  std::uint64_t at_ms = 0;
  friend bool operator==(const Failed&, const Failed&) = default;
};
struct Stopped {
  std::uint64_t at_ms = 0;
  friend bool operator==(const Stopped&, const Stopped&) = default;
};
}  // namespace state

// Alternatives in declaration order: Unprobed, Loading, Resident, Lost, Failed, Stopped.
using ModelState = std::variant<state::Unprobed, state::Loading, state::Resident, state::Lost,
                                state::Failed, state::Stopped>;

}  // namespace marlix::fleet
