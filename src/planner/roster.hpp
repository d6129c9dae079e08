// Reading the roster: the JSON list of models a host intends to run on one card.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/function_ref.hpp"
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

// A declared model as it is read, its name a view that lasts as long as the call handing it over.
struct DeclaredView {
  std::string_view model;
  std::uint64_t weights_bytes = 0;
  std::uint64_t kv_bytes = 0;
};
using DeclaredSink = FunctionRef<void(const DeclaredView& model, std::size_t position)>;

// Reads a roster text like load_roster, with its error texts, but hands each entry to `model`,
// with its position in the roster, as soon as it is read, and keeps none. Once an entry error is
// found no more entries are handed over. Entries come before the whole text is known to be
// JSON: a caller keeps what it made of them only when the read succeeds. Returns the number of
// entries.
std::expected<std::size_t, std::string> read_declared(std::string_view text, DeclaredSink model);

}  // namespace marlix::planner
