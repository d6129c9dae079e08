#include "fleet/state.hpp"

#include <array>
#include <cstddef>

#include "core/internal_error.hpp"

namespace marlix::fleet {

namespace {

struct ReasonTexts {
  std::string_view route;   // in route documents
  std::string_view report;  // in the report, for people
};

// In the declaration order of LostReason.
constexpr std::array<ReasonTexts, 4> kReasonTexts{{
    {"evicted", "evicted by the runtime to free VRAM"},
    {"gpu_detached", "the GPU was detached by the host"},
    {"process_exited", "the serving process exited"},
    {"unhealthy", "loaded but not answering"},
}};

const ReasonTexts& texts_of(LostReason reason) {
  const auto index = static_cast<std::size_t>(reason);
  if (index >= kReasonTexts.size()) {
    throw InternalError("LostReason out of range");
  }
  return kReasonTexts[index];
}

}  // namespace

std::string_view route_name(LostReason reason) {
  return texts_of(reason).route;
}

std::string_view report_text(LostReason reason) {
  return texts_of(reason).report;
}

}  // namespace marlix::fleet
