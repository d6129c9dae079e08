#include "planner/roster.hpp"

#include <cmath>

#include "json/reader.hpp"

namespace marlix::planner {

namespace {

// The value under `camel`, or only when that key is absent, under `snake`.
const json::Value* find_either(const json::Value& entry, std::string_view camel,
                               std::string_view snake) {
  const json::Value* v = entry.find(camel);
  return v != nullptr ? v : entry.find(snake);
}

std::optional<std::uint64_t> byte_count_of(const json::Value* v) {
  const json::Number* n = v != nullptr ? v->as_number() : nullptr;
  if (n == nullptr) {
    return std::nullopt;
  }
  return whole_byte_count(*n);
}

// One entry: the declared model, or its error text (without the "entry {index}: " prefix).
std::expected<DeclaredModel, std::string> read_entry(const json::Value& entry) {
  const json::Value* name_value = entry.find("model");
  const std::string* name = name_value != nullptr ? name_value->as_string() : nullptr;
  if (name == nullptr) {
    return std::unexpected("missing \"model\"");
  }
  if (name->empty()) {
    return std::unexpected("\"model\" is empty");
  }

  std::optional<std::uint64_t> weights =
      byte_count_of(find_either(entry, "weightsBytes", "weights_bytes"));
  if (!weights) {
    return std::unexpected(*name + ": \"weightsBytes\" missing or not a whole byte count");
  }

  std::uint64_t kv = 0;
  const json::Value* kv_value = find_either(entry, "kvBytes", "kv_bytes");
  if (kv_value != nullptr && !kv_value->is_null()) {
    std::optional<std::uint64_t> count = byte_count_of(kv_value);
    if (!count) {
      return std::unexpected(*name + ": \"kvBytes\" is not a whole byte count");
    }
    kv = *count;
  }
  return DeclaredModel{*name, *weights, kv};
}

}  // namespace

std::optional<std::uint64_t> whole_byte_count(const json::Number& n) {
  double d = 0.0;
  switch (n.form()) {
    case json::Number::Form::Unsigned:
      return n.as_unsigned();
    case json::Number::Form::Negative:
      d = static_cast<double>(n.as_negative());
      break;
    case json::Number::Form::Float:
      d = n.as_float();
      break;
  }
  if (!std::isfinite(d) || d < 0.0 || d != std::trunc(d)) {
    return std::nullopt;
  }
  if (d >= 18446744073709551616.0) {
    return UINT64_MAX;
  }
  return static_cast<std::uint64_t>(d);
}

std::expected<Roster, std::string> read_roster(const json::Value& value) {
  const json::Array* entries = value.as_array();
  if (entries == nullptr) {
    return std::unexpected("expected an array of declared models");
  }
  Roster roster;
  roster.reserve(entries->size());
  std::string errors;
  for (std::size_t i = 0; i < entries->size(); ++i) {
    auto entry = read_entry((*entries)[i]);
    if (entry) {
      // Once an error is found the roster is dropped anyway; stop copying names.
      if (errors.empty()) {
        roster.push_back(std::move(*entry));
      }
      continue;
    }
    if (!errors.empty()) {
      errors += "; ";
    }
    errors += "entry ";
    errors += std::to_string(i);
    errors += ": ";
    errors += entry.error();
  }
  if (!errors.empty()) {
    return std::unexpected(std::move(errors));
  }
  return roster;
}

std::expected<Roster, std::string> load_roster(std::string_view text) {
  auto parsed = json::read(text);
  if (!parsed) {
    return std::unexpected("bad json: " + parsed.error().text());
  }
  auto roster = read_roster(*parsed);
  if (!roster) {
    return std::unexpected("could not read the roster: " + roster.error());
  }
  return roster;
}

}  // namespace marlix::planner
