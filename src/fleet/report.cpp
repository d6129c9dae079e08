#include "fleet/report.hpp"

#include <string_view>
#include <utility>
#include <variant>

#include "fleet/capacity.hpp"
#include "json/text_out.hpp"
#include "planner/admission.hpp"
#include "planner/format_gib.hpp"

namespace marlix::fleet {

namespace {

constexpr std::size_t kNameWidth = 28;

// Characters of valid UTF-8: every byte but the continuation bytes starts one.
std::size_t code_points(std::string_view text) {
  std::size_t count = 0;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80 || byte > 0xBF) {
      ++count;
    }
  }
  return count;
}

std::uint64_t whole_seconds(std::uint64_t since_ms, std::uint64_t now) {
  return planner::floor_sub(now, since_ms) / 1000;
}

// Writes each line straight into the text; a piece costs one inline comparison for its room.
struct Phrase {
  json::TextOut& out;
  std::uint64_t now;

  void operator()(const state::Unprobed&) const { out.text("never probed"); }
  void operator()(const state::Loading& s) const {
    out.text("loading for ");
    out.unsigned_integer(whole_seconds(s.since_ms, now));
    out.byte('s');
  }
  void operator()(const state::Resident& s) const {
    out.text("resident for ");
    out.unsigned_integer(whole_seconds(s.since_ms, now));
    out.byte('s');
  }
  void operator()(const state::Lost& s) const { out.text(report_text(s.reason)); }
  void operator()(const state::Failed& s) const {
    out.text("failed to load: ");
    out.text(s.detail);
  }
  void operator()(const state::Stopped&) const { out.text("stopped on request"); }
};

void gib(json::TextOut& out, std::uint64_t bytes) {
  out.piece(planner::kGibTextMax, [bytes](char* at) { return planner::write_gib(at, bytes); });
}

constexpr std::string_view kPadding = "                            ";  // kNameWidth spaces
static_assert(kPadding.size() == kNameWidth);

void append_line(json::TextOut& out, const ModelEntry& entry, std::uint64_t now) {
  out.text("  ");
  out.text(entry.name);
  // Names longer than the field are written whole and push the phrase along.
  const std::size_t width = code_points(entry.name);
  if (width < kNameWidth) {
    out.text(kPadding.substr(width));
  }
  out.byte(' ');
  if (!entry.admitted) {
    out.text("not admitted \u2014 short by ");
    gib(out, entry.short_bytes);
    out.text(" GiB");
  } else {
    std::visit(Phrase{out, now}, entry.state);
  }
  out.byte('\n');
}

// Room for the whole report: the header, and for each line its name, its padding and a phrase
// (a failure's detail on top). Only a guess at the phrases; the text grows if it falls short.
std::size_t expected_size(const Fleet& fleet) {
  std::size_t size = 96;
  for (const ModelEntry& entry : fleet.models) {
    size += entry.name.size() + kNameWidth + 48;
    if (const auto* failed = std::get_if<state::Failed>(&entry.state)) {
      size += failed->detail.size();
    }
  }
  return size;
}

}  // namespace

std::string report(const Fleet& fleet, std::uint64_t now) {
  std::size_t admitted = 0;
  for (const ModelEntry& entry : fleet.models) {
    if (entry.admitted) {
      ++admitted;
    }
  }

  json::TextOut out(expected_size(fleet));
  gib(out, committed_bytes(fleet));
  out.text(" / ");
  gib(out, usable_bytes(fleet));
  out.text(" GiB held  (");
  out.unsigned_integer(fleet.models.size());
  out.text(" declared, ");
  out.unsigned_integer(admitted);
  out.text(" admitted)\n");
  for (const ModelEntry& entry : fleet.models) {
    append_line(out, entry, now);
  }
  return std::move(out).finish();
}

}  // namespace marlix::fleet
