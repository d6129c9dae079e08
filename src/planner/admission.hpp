// The reserve rule and first-fit admission in roster order.
#pragma once

#include <cstdint>
#include <string>
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

AdmissionResult admit_roster(const Roster& roster, std::uint64_t total_bytes,
                             std::uint64_t reserve_bytes);

}  // namespace marlix::planner
