// A Fleet driven by an input-derived sequence of observations, endpoints and queries. Nothing may
// crash; every route document must parse and agree with the entry it describes; committed plus
// free must equal usable while committed does not exceed usable; a failed call must leave the
// Fleet as it was; nothing but an entry's state and endpoint may ever change; and looking a name
// up finds what a scan of the roster finds, on the Fleet and on every copy of it.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fleet/capacity.hpp"
#include "fleet/fleet.hpp"
#include "fleet/observation.hpp"
#include "fleet/report.hpp"
#include "fleet/route.hpp"
#include "fuzz_check.hpp"
#include "fuzz_input.hpp"
#include "json/reader.hpp"
#include "json/value.hpp"
#include "planner/admission.hpp"
#include "planner/format_gib.hpp"

namespace {

using marlix::fuzz::check;
namespace fleet = marlix::fleet;
namespace json = marlix::json;
namespace planner = marlix::planner;

constexpr std::array<std::string_view, 16> kKinds = {
    "load_started",  "loadStarted", "probe_ok",       "probeOk",
    "probe_failed",  "probeFailed", "process_exited", "processExited",
    "load_failed",   "loadFailed",  "stop",           "stop_requested",
    "stopRequested", "Stop",        "probe-ok",       "",
};

bool same_entry(const fleet::ModelEntry& a, const fleet::ModelEntry& b) {
  return a.name == b.name && a.weights_bytes == b.weights_bytes && a.kv_bytes == b.kv_bytes &&
         a.endpoint == b.endpoint && a.state == b.state && a.short_bytes == b.short_bytes &&
         a.admitted == b.admitted;
}

bool same_fleet(const fleet::Fleet& a, const fleet::Fleet& b) {
  if (a.models.size() != b.models.size() || a.total_bytes != b.total_bytes ||
      a.reserve_bytes != b.reserve_bytes) {
    return false;
  }
  for (std::size_t i = 0; i < a.models.size(); ++i) {
    if (!same_entry(a.models[i], b.models[i])) {
      return false;
    }
  }
  return true;
}

// What construction fixed must stay fixed: entries, names, sizes and verdicts.
void check_fixed_parts(const fleet::Fleet& now, const fleet::Fleet& built) {
  check(now.models.size() == built.models.size(), "the entries are fixed");
  check(now.total_bytes == built.total_bytes && now.reserve_bytes == built.reserve_bytes,
        "the card is fixed");
  for (std::size_t i = 0; i < now.models.size(); ++i) {
    const fleet::ModelEntry& e = now.models[i];
    const fleet::ModelEntry& b = built.models[i];
    check(e.name == b.name && e.weights_bytes == b.weights_bytes && e.kv_bytes == b.kv_bytes &&
              e.admitted == b.admitted && e.short_bytes == b.short_bytes,
          "an entry's name, sizes and verdict never change", e.name);
    check((e.short_bytes > 0) == !e.admitted, "a shortfall exactly when not admitted", e.name);
  }
}

// The lookup rule the name index keeps: the first entry in roster order with exactly these bytes.
const fleet::ModelEntry* first_by_scan(const fleet::Fleet& f, std::string_view model) {
  for (const fleet::ModelEntry& entry : f.models) {
    if (entry.name == model) {
      return &entry;
    }
  }
  return nullptr;
}

void check_lookup(const fleet::Fleet& f, std::string_view model) {
  check(fleet::find_entry(f, model) == first_by_scan(f, model),
        "the name index finds what a scan of the roster finds", model);
}

// Every entry's name leads to its first entry, and an entry repeats a name exactly when it is not
// that first entry.
void check_index(const fleet::Fleet& f) {
  for (const fleet::ModelEntry& entry : f.models) {
    const fleet::ModelEntry* first = first_by_scan(f, entry.name);
    check(fleet::find_entry(f, entry.name) == first, "the name index finds the first entry",
          entry.name);
    check(entry.repeats_name == (first != &entry), "a repeated name is marked", entry.name);
  }
}

void check_capacity(const fleet::Fleet& f) {
  const std::uint64_t committed = fleet::committed_bytes(f);
  const std::uint64_t free = fleet::free_bytes(f);
  const std::uint64_t usable = fleet::usable_bytes(f);
  check(usable == planner::usable_bytes(f.total_bytes, f.reserve_bytes),
        "usable is card - reserve");
  if (committed <= usable) {
    check(committed + free == usable, "committed plus free equals usable");
  } else {
    check(free == 0, "free is 0 when committed exceeds usable");
  }
}

const std::string* string_member(const json::Value& doc, std::string_view key) {
  const json::Value* v = doc.find(key);
  return v != nullptr ? v->as_string() : nullptr;
}

std::optional<bool> flag(const json::Value& doc, std::string_view key) {
  const json::Value* v = doc.find(key);
  if (v == nullptr || v->as_boolean() == nullptr) {
    return std::nullopt;
  }
  return *v->as_boolean();
}

// The route text for an admitted entry.
std::string_view expected_route(const fleet::ModelEntry& entry) {
  switch (entry.state.index()) {
    case 1:
      return "warming";
    case 2:
      return entry.endpoint ? "ready" : "unknown";
    case 3:
      return "lost";
    case 4:
      return "failed";
    default:  // Unprobed, Stopped
      return "unknown";
  }
}

void check_route(const fleet::Fleet& f, const std::string& model, std::uint64_t now) {
  auto text = fleet::route(f, model, now);
  check(text.has_value(), "route answers", text ? "" : text.error());
  auto doc = json::read(*text);
  check(doc.has_value() && doc->as_object() != nullptr, "the route document parses", *text);

  const std::string* route = string_member(*doc, "route");
  const std::string* echoed = string_member(*doc, "model");
  const auto ready = flag(*doc, "ready");
  const auto elsewhere = flag(*doc, "try_elsewhere");
  check(route != nullptr && echoed != nullptr && ready && elsewhere && flag(*doc, "operator_fault"),
        "the route document has its common members", *text);
  check(*echoed == model, "the route document echoes the model", *text);
  check(*ready == (*route == "ready"), "ready exactly for the ready route", *text);
  check(*elsewhere == (*route != "ready" && *route != "warming"),
        "try_elsewhere for every route but ready and warming", *text);

  check_lookup(f, model);
  const fleet::ModelEntry* entry = fleet::find_entry(f, model);
  if (entry == nullptr) {
    check(*route == "not_declared", "an unknown name is not declared", *text);
    return;
  }
  if (!entry->admitted) {
    const json::Value* short_bytes = doc->find("short_bytes");
    check(*route == "not_admitted" && short_bytes != nullptr &&
              *short_bytes == json::Value::unsigned_integer(entry->short_bytes),
          "a rejected model is not admitted, with its shortfall", *text);
    return;
  }
  check(*route == expected_route(*entry), "the route follows the entry's state", *text);
  if (const auto* loading = std::get_if<fleet::state::Loading>(&entry->state)) {
    const json::Value* for_ms = doc->find("for_ms");
    const std::uint64_t waited = now > loading->since_ms ? now - loading->since_ms : 0;
    check(for_ms != nullptr && *for_ms == json::Value::unsigned_integer(waited),
          "warming for the time since the load began", *text);
  }
  if (*route == "ready") {
    const std::string* endpoint = string_member(*doc, "endpoint");
    check(endpoint != nullptr && *endpoint == *entry->endpoint, "ready with the endpoint", *text);
  }
  if (const auto* failed = std::get_if<fleet::state::Failed>(&entry->state)) {
    const std::string* reason = string_member(*doc, "reason");
    check(reason != nullptr && *reason == failed->detail, "failed with the detail", *text);
  }
}

void check_next_to_load(const fleet::Fleet& f) {
  const std::optional<std::string> name = fleet::next_to_load(f);
  if (!name) {
    return;
  }
  const fleet::ModelEntry* entry = fleet::find_entry(f, *name);
  check(entry != nullptr && entry->admitted, "next_to_load names an admitted entry", *name);
  check(std::holds_alternative<fleet::state::Unprobed>(entry->state) ||
            std::holds_alternative<fleet::state::Lost>(entry->state) ||
            std::holds_alternative<fleet::state::Failed>(entry->state),
        "next_to_load names an entry that wants loading", *name);
  check(planner::need_bytes(entry->weights_bytes, entry->kv_bytes) <= fleet::free_bytes(f),
        "next_to_load names an entry that fits", *name);
}

void check_report(const fleet::Fleet& f, std::uint64_t now) {
  const std::string text = fleet::report(f, now);
  check(!text.empty() && text.back() == '\n', "the report ends with a line feed", text);
  check(text.starts_with(planner::format_gib(fleet::committed_bytes(f)) + " / "),
        "the report header starts with the committed figure", text);
  // Names and details may hold line feeds of their own, so only a lower bound holds.
  std::size_t lines = 0;
  for (char c : text) {
    lines += c == '\n' ? 1 : 0;
  }
  check(lines >= f.models.size() + 1, "the report has a line per entry", text);
}

// A name to act on: mostly a declared one, sometimes a near miss or anything at all.
std::string pick_model(FuzzedDataProvider& in, const fleet::Fleet& f) {
  const int choice = in.ConsumeIntegralInRange(0, 7);
  if (f.models.empty() || choice == 0) {
    return in.ConsumeRandomLengthString(12);
  }
  const auto index = in.ConsumeIntegralInRange<std::size_t>(0, f.models.size() - 1);
  std::string name = f.models[index].name;
  if (choice == 1) {
    name += ' ';
  }
  return name;
}

std::string pick_detail(FuzzedDataProvider& in) {
  const auto n = std::to_string(in.ConsumeIntegral<std::uint64_t>());
  switch (in.ConsumeIntegralInRange(0, 14)) {
    case 0:
      return "{}";
    case 1:
      return "null";
    case 2:
      return "[1,2]";
    case 3:
      return "";
    case 4:
      return "{\"vramBytes\":" + n + "}";
    case 5:
      return "{\"vram_bytes\":" + n + "}";
    case 6:
      return "{\"vramBytes\":" + n + ".5e" + std::to_string(in.ConsumeIntegral<std::int8_t>()) +
             "}";
    case 7:
      return "{\"vramBytes\":null,\"vram_bytes\":" + n + "}";
    case 8:
      return in.ConsumeBool() ? "{\"gpuPresent\":false}" : "{\"gpu_present\":false}";
    case 9:
      return "{\"gpuPresent\":null,\"gpu_present\":false}";
    case 10: {
      std::string out = "{\"detail\":";
      json::write_string(out, in.ConsumeRandomLengthString(16));
      return out + "}";
    }
    case 11:
      return "{\"code\":" + std::string(in.ConsumeBool() ? "-" : "") + n + "}";
    case 12:
      return "{\"detail\":7,\"code\":-0}";
    default:
      return in.ConsumeRandomLengthString(24);
  }
}

// Mostly moving forward, with jumps back and to the ends of the clock.
std::uint64_t next_time(FuzzedDataProvider& in, std::uint64_t now) {
  switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0:
      return in.ConsumeIntegral<std::uint64_t>();
    case 1:
      return now / 2;
    default:
      return now + in.ConsumeIntegralInRange<std::uint64_t>(0, 5000);
  }
}

void observe_once(FuzzedDataProvider& in, fleet::Fleet& f, std::uint64_t now) {
  const std::string model = pick_model(in, f);
  // Mostly the thirteen accepted kinds; sometimes a near miss, or any text at all so that the
  // quoting of an unknown kind sees control, format and combining characters.
  std::string kind;
  switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0:
      kind = in.ConsumeRandomLengthString(16);
      break;
    case 1:
      kind = kKinds[in.ConsumeIntegralInRange<std::size_t>(0, kKinds.size() - 1)];
      break;
    default:
      kind = kKinds[in.ConsumeIntegralInRange<std::size_t>(0, 12)];
      break;
  }
  const std::string detail = pick_detail(in);
  const fleet::Fleet before = f;
  check_lookup(before, model);
  auto result = fleet::observe(f, model, kind, detail, now);
  if (!result) {
    check(result.error().starts_with("bad json: ") ||
              result.error().starts_with("unknown observation kind "),
          "observe fails only for bad json or an unknown kind", result.error());
    check(same_fleet(f, before), "a failed observe changes nothing", result.error());
    return;
  }
  // Only the first entry of that name may have changed, and only its state.
  const fleet::ModelEntry* target = fleet::find_entry(before, model);
  for (std::size_t i = 0; i < f.models.size(); ++i) {
    const fleet::ModelEntry& after = f.models[i];
    const fleet::ModelEntry& old = before.models[i];
    check(after.endpoint == old.endpoint, "observe leaves endpoints alone", model);
    if (&old != target) {
      check(after.state == old.state, "observe changes only the named entry", model);
    }
  }
}

void set_endpoint_once(FuzzedDataProvider& in, fleet::Fleet& f) {
  const std::string model = pick_model(in, f);
  const std::string endpoint = in.ConsumeRandomLengthString(16);
  const fleet::Fleet before = f;
  check_lookup(before, model);
  fleet::set_endpoint(f, model, endpoint);
  const fleet::ModelEntry* target = fleet::find_entry(f, model);
  check(target == nullptr || target->endpoint == endpoint, "set_endpoint stores the text", model);
  for (std::size_t i = 0; i < f.models.size(); ++i) {
    if (&f.models[i] != target) {
      check(same_entry(f.models[i], before.models[i]), "set_endpoint changes one entry", model);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::uint64_t total_bytes = marlix::fuzz::card_size(in);
  const auto reserve_pct = in.ConsumeIntegral<std::uint8_t>();
  const std::string roster = in.ConsumeIntegralInRange(0, 15) == 0
                                 ? in.ConsumeRandomLengthString(256)
                                 : marlix::fuzz::roster_text(in, total_bytes);
  auto built = fleet::build_fleet(total_bytes, reserve_pct, roster);
  if (!built) {
    check(built.error().starts_with("bad json: ") ||
              built.error().starts_with("could not read the roster: "),
          "construction fails only with its two prefixes", built.error());
    return 0;
  }
  const fleet::Fleet original = *built;
  fleet::Fleet& f = *built;
  check_index(f);
  check_index(original);
  check_capacity(f);
  std::uint64_t now = in.ConsumeIntegralInRange<std::uint64_t>(0, 100000);

  for (int step = 0; step < 200 && in.remaining_bytes() > 0; ++step) {
    now = next_time(in, now);
    switch (in.ConsumeIntegralInRange(0, 9)) {
      case 0:
      case 1:
      case 2:
      case 3:
        observe_once(in, f, now);
        break;
      case 4:
        set_endpoint_once(in, f);
        break;
      case 5:
      case 6:
        check_route(f, pick_model(in, f), now);
        break;
      case 7:
        check_next_to_load(f);
        break;
      case 8:
        check_report(f, now);
        break;
      default:
        check_capacity(f);
        break;
    }
    check_fixed_parts(f, original);
    check_capacity(f);
  }
  return 0;
}
