#include "planner/roster.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <span>

#include "json/reader.hpp"

namespace marlix::planner {

namespace {

// The keys an entry is read from, in the order of the slots below.
constexpr std::array<std::string_view, 5> kEntryKeys = {"model", "weightsBytes", "weights_bytes",
                                                        "kvBytes", "kv_bytes"};
enum Slot : std::size_t { kModel, kWeightsCamel, kWeightsSnake, kKvCamel, kKvSnake };
constexpr json::FieldKeys kEntryFieldKeys(kEntryKeys);

// What a member lookup on one entry finds under each of kEntryKeys (null for nothing).
using EntryFields = std::span<const json::Value* const, kEntryKeys.size()>;

// The value under the camel-case key, or only when that key is absent, under the snake-case one.
const json::Value* either(EntryFields fields, Slot camel, Slot snake) {
  return fields[camel] != nullptr ? fields[camel] : fields[snake];
}

std::optional<std::uint64_t> byte_count_of(const json::Value* v) {
  const json::Number* n = v != nullptr ? v->as_number() : nullptr;
  if (n == nullptr) {
    return std::nullopt;
  }
  if (n->form() == json::Number::Form::Unsigned) {
    return n->as_unsigned();  // the usual spelling, spared the call
  }
  return whole_byte_count(*n);
}

// One entry: the declared model, or its error text (without the "entry {index}: " prefix).
std::expected<DeclaredView, std::string> read_entry(EntryFields fields) {
  const json::Value* name_value = fields[kModel];
  const std::string* name = name_value != nullptr ? name_value->as_string() : nullptr;
  if (name == nullptr) {
    return std::unexpected("missing \"model\"");
  }
  if (name->empty()) {
    return std::unexpected("\"model\" is empty");
  }

  std::optional<std::uint64_t> weights =
      byte_count_of(either(fields, kWeightsCamel, kWeightsSnake));
  if (!weights) {
    return std::unexpected(*name + ": \"weightsBytes\" missing or not a whole byte count");
  }

  std::uint64_t kv = 0;
  const json::Value* kv_value = either(fields, kKvCamel, kKvSnake);
  if (kv_value != nullptr && !kv_value->is_null()) {
    std::optional<std::uint64_t> count = byte_count_of(kv_value);
    if (!count) {
      return std::unexpected(*name + ": \"kvBytes\" is not a whole byte count");
    }
    kv = *count;
  }
  return DeclaredView{*name, *weights, kv};
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

namespace {

// Reads entries one at a time, in array order, handing over each good one until the first entry
// error, then collecting every entry error.
class RosterReader {
 public:
  explicit RosterReader(DeclaredSink model) : model_(model) {}

  void add(EntryFields fields) {
    const std::size_t index = next_index_++;
    auto entry = read_entry(fields);
    if (entry) {
      // Once an error is found the entries are dropped anyway; stop handing them over.
      if (errors_.empty()) {
        model_(*entry, index);
      }
      return;
    }
    if (!errors_.empty()) {
      errors_ += "; ";
    }
    errors_ += "entry ";
    errors_ += std::to_string(index);
    errors_ += ": ";
    errors_ += entry.error();
  }

  std::size_t count() const { return next_index_; }
  const std::string& errors() const { return errors_; }

 private:
  DeclaredSink model_;
  std::string errors_;
  std::size_t next_index_ = 0;
};

// At most how many entries the text can declare, so the roster is allocated once instead of
// growing while its old and new storage are both held. Every entry is an object, and even the
// smallest, {"model":"m","weightsBytes":0}, takes 30 bytes: the bound is the number of opening
// braces, or the text's length over 30 when braces inside names make that count too high.
std::size_t entry_bound(std::string_view text) {
  constexpr std::size_t kSmallestEntry = 30;
  const auto braces = static_cast<std::size_t>(std::count(text.begin(), text.end(), '{'));
  return std::min(braces, text.size() / kSmallestEntry + 1);
}

DeclaredModel owned(const DeclaredView& m) {
  return DeclaredModel{std::string(m.model), m.weights_bytes, m.kv_bytes};
}

constexpr std::string_view kNotAnArray = "expected an array of declared models";

}  // namespace

std::expected<Roster, std::string> read_roster(const json::Value& value) {
  const json::Array* entries = value.as_array();
  if (entries == nullptr) {
    return std::unexpected(std::string(kNotAnArray));
  }
  Roster roster;
  auto keep = [&roster](const DeclaredView& m, std::size_t) { roster.push_back(owned(m)); };
  RosterReader reader(keep);
  for (const json::Value& entry : *entries) {
    std::array<const json::Value*, kEntryKeys.size()> fields{};
    for (std::size_t i = 0; i < kEntryKeys.size(); ++i) {
      fields[i] = entry.find(kEntryKeys[i]);
    }
    reader.add(fields);
  }
  if (!reader.errors().empty()) {
    return std::unexpected(reader.errors());
  }
  return roster;
}

std::expected<std::size_t, std::string> read_declared(std::string_view text, DeclaredSink model) {
  // Each entry is read as the parser reaches its end, from the values under its five keys, so
  // no entry, let alone the whole roster, is ever built as a tree. Its errors count only if the
  // whole text is JSON.
  RosterReader reader(model);
  auto parsed = json::read_fields(text, kEntryFieldKeys,
                                  [&reader](std::span<const json::Value* const> found) {
                                    reader.add(EntryFields(found.data(), kEntryKeys.size()));
                                  });
  if (!parsed) {
    return std::unexpected("bad json: " + parsed.error().text());
  }
  if (parsed->as_array() == nullptr) {
    return std::unexpected("could not read the roster: " + std::string(kNotAnArray));
  }
  if (!reader.errors().empty()) {
    return std::unexpected("could not read the roster: " + reader.errors());
  }
  return reader.count();
}

std::expected<Roster, std::string> load_roster(std::string_view text) {
  // Allocated once at a bound on its length, instead of growing while its old and new storage
  // are both held.
  Roster roster;
  roster.reserve(entry_bound(text));
  auto read = read_declared(
      text, [&roster](const DeclaredView& m, std::size_t) { roster.push_back(owned(m)); });
  if (!read) {
    return std::unexpected(std::move(read.error()));
  }
  return roster;
}

}  // namespace marlix::planner
