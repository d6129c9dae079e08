#include "planner/admission.hpp"

#include <algorithm>

namespace marlix::planner {

std::uint64_t compute_reserve(std::uint64_t total_bytes, std::uint8_t reserve_pct) {
  const std::uint64_t pct = std::min<std::uint64_t>(reserve_pct, 100);
  // Dividing first keeps the product within the card's size.
  std::uint64_t reserve = pct * (total_bytes / 100);
  if (reserve <= kGiB) {
    reserve = kGiB;
  }
  return std::min(reserve, total_bytes);
}

AdmissionResult admit_roster(const Roster& roster, std::uint64_t total_bytes,
                             std::uint64_t reserve_bytes) {
  AdmissionResult result;
  result.usable_bytes = usable_bytes(total_bytes, reserve_bytes);
  result.admitted.reserve(roster.size());
  // First fit in roster order: no sorting and no going back.
  for (std::size_t position = 0; position < roster.size(); ++position) {
    const DeclaredModel& m = roster[position];
    const std::uint64_t need = need_bytes(m.weights_bytes, m.kv_bytes);
    const std::uint64_t free = floor_sub(result.usable_bytes, result.committed_bytes);
    if (need <= free) {
      result.admitted.push_back(m.model);
      result.committed_bytes += need;
    } else {
      result.rejected.push_back(RejectedModel{m.model, need, free, position});
    }
  }
  return result;
}

}  // namespace marlix::planner
