// The reserve rule and first-fit admission in roster order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "planner/roster.hpp"

namespace marlix::planner {

inline constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;

// Bytes held back on a card: reserve_pct (capped at 100) of the card, at least 1 GiB, never more
// than the card.
std::uint64_t compute_reserve(std::uint64_t total_bytes, std::uint8_t reserve_pct);

// total minus reserve, never below zero.
constexpr std::uint64_t usable_bytes(std::uint64_t total_bytes, std::uint64_t reserve_bytes) {
  return total_bytes > reserve_bytes ? total_bytes - reserve_bytes : 0;
}

// a - b, never below zero.
constexpr std::uint64_t floor_sub(std::uint64_t a, std::uint64_t b) {
  return a > b ? a - b : 0;
}

// A model's need: weights plus KV cache, saturating at the largest 64-bit count.
constexpr std::uint64_t need_bytes(std::uint64_t weights_bytes, std::uint64_t kv_bytes) {
  std::uint64_t sum = weights_bytes + kv_bytes;
  return sum < weights_bytes ? UINT64_MAX : sum;
}

struct RejectedModel {
  std::string model;
  std::uint64_t needed_bytes = 0;
  std::uint64_t free_bytes = 0;  // usable bytes not yet committed at this model's turn
  // Its place in the roster, so a record built per entry takes this very entry's verdict even
  // when another entry has the same name.
  std::size_t position = 0;

  std::uint64_t short_bytes() const { return floor_sub(needed_bytes, free_bytes); }
  friend bool operator==(const RejectedModel&, const RejectedModel&) = default;
};

struct AdmissionResult {
  std::vector<std::string> admitted;
  std::vector<RejectedModel> rejected;
  std::uint64_t committed_bytes = 0;
  std::uint64_t usable_bytes = 0;
};

// First fit in roster order, one model at a time: no sorting and no going back. A model is
// admitted when its need fits the usable bytes not yet committed, and then commits them.
class FirstFit {
 public:
  explicit FirstFit(std::uint64_t usable_bytes) : usable_bytes_(usable_bytes) {}

  // Nothing when the model at `position` is admitted; otherwise why not.
  std::optional<RejectedModel> judge(std::string_view model, std::uint64_t need,
                                     std::size_t position);

  std::uint64_t committed_bytes() const { return committed_bytes_; }
  std::uint64_t usable_bytes() const { return usable_bytes_; }

 private:
  std::uint64_t usable_bytes_;
  std::uint64_t committed_bytes_ = 0;
};

AdmissionResult admit_roster(const Roster& roster, std::uint64_t total_bytes,
                             std::uint64_t reserve_bytes);

}  // namespace marlix::planner
