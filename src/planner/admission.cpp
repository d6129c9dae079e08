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

std::optional<RejectedModel> FirstFit::judge(std::string_view model, std::uint64_t need,
                                             std::size_t position) {
  const std::uint64_t free = floor_sub(usable_bytes_, committed_bytes_);
  if (need <= free) {
    committed_bytes_ += need;
    return std::nullopt;
  }
  return RejectedModel{std::string(model), need, free, position};
}

AdmissionResult admit_roster(const Roster& roster, std::uint64_t total_bytes,
                             std::uint64_t reserve_bytes) {
  AdmissionResult result;
  FirstFit fit(usable_bytes(total_bytes, reserve_bytes));
  result.admitted.reserve(roster.size());
  for (std::size_t position = 0; position < roster.size(); ++position) {
    const DeclaredModel& m = roster[position];
    auto rejected = fit.judge(m.model, need_bytes(m.weights_bytes, m.kv_bytes), position);
    if (rejected) {
      result.rejected.push_back(std::move(*rejected));
    } else {
      result.admitted.push_back(m.model);
    }
  }
  result.committed_bytes = fit.committed_bytes();
  result.usable_bytes = fit.usable_bytes();
  return result;
}

}  // namespace marlix::planner
