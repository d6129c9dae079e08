#include "fleet/observation.hpp"

#include <array>
#include <cstdint>
#include <utility>

#include "core/internal_error.hpp"
#include "fleet/quote_kind.hpp"
#include "fleet/transition.hpp"
#include "json/reader.hpp"
#include "planner/roster.hpp"

namespace marlix::fleet {

namespace {

enum class KindTag : std::uint8_t {
  LoadStarted,
  ProbeOk,
  ProbeFailed,
  ProcessExited,
  LoadFailed,
  Stop
};

struct KindText {
  std::string_view text;
  KindTag tag;
};

// Each kind in both naming conventions; a stop also answers to "stop_requested".
constexpr std::array<KindText, 13> kKindTexts{{
    {"load_started", KindTag::LoadStarted},
    {"loadStarted", KindTag::LoadStarted},
    {"probe_ok", KindTag::ProbeOk},
    {"probeOk", KindTag::ProbeOk},
    {"probe_failed", KindTag::ProbeFailed},
    {"probeFailed", KindTag::ProbeFailed},
    {"process_exited", KindTag::ProcessExited},
    {"processExited", KindTag::ProcessExited},
    {"load_failed", KindTag::LoadFailed},
    {"loadFailed", KindTag::LoadFailed},
    {"stop", KindTag::Stop},
    {"stop_requested", KindTag::Stop},
    {"stopRequested", KindTag::Stop},
}};

const KindText* match_kind(std::string_view kind) {
  for (const KindText& entry : kKindTexts) {
    if (entry.text == kind) {
      return &entry;
    }
  }
  return nullptr;
}

// The camelCase key, when present at all, decides alone; the snake_case key is a fallback.
const json::Value* find_either(const json::Value& detail, std::string_view camel,
                               std::string_view snake) {
  if (const json::Value* v = detail.find(camel)) {
    return v;
  }
  return detail.find(snake);
}

// A whole, non-negative number of bytes; anything else counts as 0. This is the same rule as a
// roster's byte counts: integers exactly, floats when whole and not negative, saturating.
std::uint64_t read_vram_bytes(const json::Value& detail) {
  const json::Value* v = find_either(detail, "vramBytes", "vram_bytes");
  const json::Number* n = v != nullptr ? v->as_number() : nullptr;
  if (n == nullptr) {
    return 0;
  }
  return planner::whole_byte_count(*n).value_or(0);
}

bool read_gpu_present(const json::Value& detail) {
  const json::Value* v = find_either(detail, "gpuPresent", "gpu_present");
  const bool* b = v != nullptr ? v->as_boolean() : nullptr;
  return b != nullptr ? *b : true;
}

std::optional<std::string> read_detail(const json::Value& detail) {
  const json::Value* v = detail.find("detail");
  const std::string* s = v != nullptr ? v->as_string() : nullptr;
  if (s == nullptr) {
    return std::nullopt;
  }
  return *s;
}

// Only integers count: unsigned ones up to the signed 64-bit limit and negative ones, reduced to
// their low 32 bits as a platform's exit status would be.
std::optional<std::int32_t> read_exit_code(const json::Value& detail) {
  const json::Value* v = detail.find("code");
  const json::Number* n = v != nullptr ? v->as_number() : nullptr;
  if (n == nullptr) {
    return std::nullopt;
  }
  std::uint64_t bits = 0;
  switch (n->form()) {
    case json::Number::Form::Unsigned:
      if (n->as_unsigned() > static_cast<std::uint64_t>(INT64_MAX)) {
        return std::nullopt;
      }
      bits = n->as_unsigned();
      break;
    case json::Number::Form::Negative:
      bits = static_cast<std::uint64_t>(n->as_negative());
      break;
    case json::Number::Form::Float:
      return std::nullopt;
  }
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(bits));
}

}  // namespace

std::expected<Observation, std::string> decode_observation(std::string_view kind,
                                                           const json::Value& detail) {
  const KindText* matched = match_kind(kind);
  if (matched == nullptr) {
    return std::unexpected(
        "unknown observation kind " + quote_kind(kind) +
        " \u2014 expected one of: load_started, probe_ok, probe_failed, process_exited, "
        "load_failed, stop");
  }
  switch (matched->tag) {
    case KindTag::LoadStarted:
      return observation::LoadStarted{};
    case KindTag::ProbeOk:
      return observation::ProbeOk{read_vram_bytes(detail)};
    case KindTag::ProbeFailed:
      return observation::ProbeFailed{read_detail(detail).value_or(std::string()),
                                      read_gpu_present(detail)};
    case KindTag::ProcessExited:
      return observation::ProcessExited{read_exit_code(detail)};
    case KindTag::LoadFailed:
      return observation::LoadFailed{read_detail(detail).value_or("unknown")};
    case KindTag::Stop:
      return observation::Stop{};
  }
  throw InternalError("observation kind tag out of range");
}

std::expected<void, std::string> observe(Fleet& fleet, std::string_view model,
                                         std::string_view kind, std::string_view detail_json,
                                         std::uint64_t now) {
  // The detail is parsed before the kind is looked at, so bad JSON is reported for every kind.
  auto detail = json::read(detail_json);
  if (!detail) {
    return std::unexpected("bad json: " + detail.error().text());
  }
  auto obs = decode_observation(kind, *detail);
  if (!obs) {
    return std::unexpected(std::move(obs.error()));
  }
  if (ModelEntry* entry = find_entry(fleet, model)) {
    entry->state = transition(entry->state, *obs, now);
  }
  return {};
}

}  // namespace marlix::fleet
