#include "fleet/state.hpp"

#include "core/internal_error.hpp"

namespace marlix::fleet {

std::string_view route_name(LostReason reason) {
  switch (reason) {
    case LostReason::Evicted:
      return "evicted";
    case LostReason::GpuDetached:
      return "gpu_detached";
    case LostReason::ProcessExited:
      return "process_exited";
    case LostReason::Unhealthy:
      return "unhealthy";
  }
  throw InternalError("LostReason out of range");
}

std::string_view report_text(LostReason reason) {
  switch (reason) {
    case LostReason::Evicted:
      return "evicted by the runtime to free VRAM";
    case LostReason::GpuDetached:
      return "the GPU was detached by the host";
    case LostReason::ProcessExited:
      return "the serving process exited";
    case LostReason::Unhealthy:
      return "loaded but not answering";
  }
  throw InternalError("LostReason out of range");
}

}  // namespace marlix::fleet
