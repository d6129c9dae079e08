#include "fleet/transition.hpp"

#include <variant>

namespace marlix::fleet {

namespace {

// One function per observation: the row of the lifecycle table for that observation.
struct Rule {
  const ModelState& current;
  std::uint64_t now;

  template <typename S>
  bool is() const {
    return std::holds_alternative<S>(current);
  }

  // A load already under way keeps its first start time; a resident model ignores the start.
  ModelState operator()(const observation::LoadStarted&) const {
    if (is<state::Loading>() || is<state::Resident>()) {
      return current;
    }
    return state::Loading{now};
  }

  // A probe during a residency renews the VRAM figure but not the start of the residency.
  ModelState operator()(const observation::ProbeOk& obs) const {
    if (const auto* resident = std::get_if<state::Resident>(&current)) {
      return state::Resident{resident->since_ms, obs.vram_bytes};
    }
    return state::Resident{now, obs.vram_bytes};
  }

  // A missing GPU is decided first; otherwise a failed probe while loading is not a loss, and a
  // resident model that stops answering was pushed out of VRAM.
  ModelState operator()(const observation::ProbeFailed& obs) const {
    if (!obs.gpu_present) {
      return state::Lost{now, LostReason::GpuDetached};
    }
    if (is<state::Loading>()) {
      return current;
    }
    if (is<state::Resident>()) {
      return state::Lost{now, LostReason::Evicted};
    }
    return state::Lost{now, LostReason::Unhealthy};
  }

  // A stopped model's process is expected to exit.
  ModelState operator()(const observation::ProcessExited&) const {
    if (is<state::Stopped>()) {
      return current;
    }
    return state::Lost{now, LostReason::ProcessExited};
  }

  ModelState operator()(const observation::LoadFailed& obs) const {
    return state::Failed{obs.detail, now};
  }

  ModelState operator()(const observation::Stop&) const { return state::Stopped{now}; }
};

}  // namespace

ModelState transition(const ModelState& current, const Observation& obs, std::uint64_t now) {
  return std::visit(Rule{current, now}, obs);
}

}  // namespace marlix::fleet
