#include "planner/roster.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <span>

#include "core/words.hpp"
#include "json/plain_count.hpp"
#include "json/reader.hpp"
#include "json/string_bytes.hpp"

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

// Reads an entry in its plainest spelling, the one a host writes: an object whose members are
// among kEntryKeys, each at most once, with a name that is a non-empty string without escapes
// and counts that are digits alone, no more than 19 of them. Whitespace may stand between any
// two of its parts. Anything else is left to the general reading, which reads, reports and
// judges it as always; what is read here comes to the very entry that reading would make.
class PlainEntry {
 public:
  PlainEntry(std::string_view text, std::size_t from) : text_(text), at_(from) {}

  // One past the entry's last byte, with the entry in `entry`; nothing when it is not plain.
  std::optional<std::size_t> read(DeclaredView& entry) {
    const std::size_t from = at_;
    if (read_compact(entry)) {
      return at_;
    }
    at_ = from;
    return read_members(entry);
  }

 private:
  // The spelling most hosts write, taken as a whole: compact, with the keys in this order.
  bool read_compact(DeclaredView& entry) {
    // Each piece at most 16 bytes, which same_bytes_of_size compares in two word loads.
    constexpr std::string_view kModelKey = "{\"model\":";
    constexpr std::string_view kWeightsKey = ",\"weightsBytes\":";
    constexpr std::string_view kKvKey = ",\"kvBytes\":";
    std::string_view name;
    std::uint64_t weights = 0;
    std::uint64_t kv = 0;
    if (!here(kModelKey) || !plain_string(name) || name.empty() || !here(kWeightsKey) ||
        !plain_count(weights)) {
      return false;
    }
    if (here(kKvKey) && !plain_count(kv)) {
      return false;
    }
    if (!here("}")) {
      return false;
    }
    entry = DeclaredView{name, weights, kv};
    return true;
  }

  // Whether `s` stands at the position, which then moves past it.
  bool here(std::string_view s) {
    if (text_.size() - at_ < s.size() || !same_bytes_of_size(text_.substr(at_, s.size()), s)) {
      return false;
    }
    at_ += s.size();
    return true;
  }

  // The entry member by member, in any order and with any whitespace.
  std::optional<std::size_t> read_members(DeclaredView& entry) {
    std::array<bool, kEntryKeys.size()> seen{};
    std::array<std::uint64_t, kEntryKeys.size()> counts{};
    std::string_view name;
    if (!take('{')) {
      return std::nullopt;
    }
    do {
      skip_whitespace();
      const std::optional<Slot> slot = entry_key();
      if (!slot || seen[*slot] || !take(':')) {
        return std::nullopt;
      }
      seen[*slot] = true;
      skip_whitespace();
      if (*slot == kModel ? !plain_string(name) : !plain_count(counts[*slot])) {
        return std::nullopt;
      }
    } while (take(','));
    if (!take('}') || name.empty()) {
      return std::nullopt;
    }
    // The camel-case key first, as for any entry.
    const auto either = [&](Slot camel, Slot snake) -> std::optional<std::uint64_t> {
      if (seen[camel]) {
        return counts[camel];
      }
      if (seen[snake]) {
        return counts[snake];
      }
      return std::nullopt;
    };
    const std::optional<std::uint64_t> weights = either(kWeightsCamel, kWeightsSnake);
    if (!weights) {
      return std::nullopt;
    }
    entry = DeclaredView{name, *weights, either(kKvCamel, kKvSnake).value_or(0)};
    return at_;
  }

  // One of kEntryKeys as a key, quotes and all, spelled as it is (its letters leave no room for
  // an escape); the slot it fills, with the position past its closing quote.
  std::optional<Slot> entry_key() {
    static constexpr std::array<Slot, kEntryKeys.size()> kMostUsedFirst = {
        kModel, kWeightsCamel, kKvCamel, kWeightsSnake, kKvSnake};
    if (at_ >= text_.size() || text_[at_] != '"') {
      return std::nullopt;
    }
    const std::string_view rest = text_.substr(at_ + 1);
    for (const Slot slot : kMostUsedFirst) {
      const std::string_view key = kEntryKeys[slot];
      if (rest.size() > key.size() && rest[key.size()] == '"' &&
          same_bytes_of_size(rest.substr(0, key.size()), key)) {
        at_ += key.size() + 2;
        return slot;
      }
    }
    return std::nullopt;
  }

  void skip_whitespace() {
    // A host's compact text has none, and every whitespace byte is at most a space.
    while (at_ < text_.size() && static_cast<unsigned char>(text_[at_]) <= ' ' &&
           (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\r' || text_[at_] == '\t')) {
      ++at_;
    }
  }

  // The byte `c`, after any whitespace.
  bool take(char c) {
    skip_whitespace();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }

  // A string without escapes or control characters, as a view of the text.
  bool plain_string(std::string_view& out) {
    if (at_ >= text_.size() || text_[at_] != '"') {
      return false;
    }
    const std::size_t start = at_ + 1;
    const std::size_t end = json::first_special(text_.data(), start, text_.size());
    if (end >= text_.size() || text_[end] != '"') {
      return false;
    }
    out = text_.substr(start, end - start);
    at_ = end + 1;
    return true;
  }

  // A count in digits alone (json::plain_count).
  bool plain_count(std::uint64_t& out) {
    const std::optional<json::PlainCount> count = json::plain_count(text_, at_);
    if (!count) {
      return false;
    }
    at_ = count->end;
    out = count->value;
    return true;
  }

  std::string_view text_;
  std::size_t at_;
};

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

  // An entry read whole, which has no error.
  void add(const DeclaredView& entry) {
    const std::size_t index = next_index_++;
    if (errors_.empty()) {
      model_(entry, index);
    }
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
  auto parsed = json::read_fields(
      text, kEntryFieldKeys,
      [&reader](std::span<const json::Value* const> found) {
        reader.add(EntryFields(found.data(), kEntryKeys.size()));
      },
      [&reader](std::string_view whole, std::size_t from) {
        DeclaredView entry;
        const std::optional<std::size_t> end = PlainEntry(whole, from).read(entry);
        if (!end) {
          return from;
        }
        reader.add(entry);
        return *end;
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
