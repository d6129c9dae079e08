// Reading the roster: the JSON list of models a host intends to run on one card.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/value.hpp"

namespace marlix::planner {

struct DeclaredModel {
  std::string model;  // at least one byte
  std::uint64_t weights_bytes = 0;
  std::uint64_t kv_bytes = 0;

  friend bool operator==(const DeclaredModel&, const DeclaredModel&) = default;
};

using Roster = std::vector<DeclaredModel>;

// The byte count a JSON number stands for, or nothing when it is not a whole, non-negative count.
// Floats of 2^64 and above give the largest count.
std::optional<std::uint64_t> whole_byte_count(const json::Number& n);

// Reads every entry of the parsed roster. On failure the error is every entry error found,
// joined by "; " (without the "could not read the roster: " prefix).
std::expected<Roster, std::string> read_roster(const json::Value& value);

// Parses and reads a roster text, with the error texts callers raise:
// "bad json: {error}" or "could not read the roster: {errors}".
std::expected<Roster, std::string> load_roster(std::string_view text);

}  // namespace marlix::planner
