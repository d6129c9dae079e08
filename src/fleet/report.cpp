#include "fleet/report.hpp"

#include <string_view>
#include <variant>

#include "fleet/capacity.hpp"
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

struct Phrase {
  std::string& out;
  std::uint64_t now;

  void operator()(const state::Unprobed&) const { out += "never probed"; }
  void operator()(const state::Loading& s) const {
    out += "loading for ";
    out += std::to_string(whole_seconds(s.since_ms, now));
    out += 's';
  }
  void operator()(const state::Resident& s) const {
    out += "resident for ";
    out += std::to_string(whole_seconds(s.since_ms, now));
    out += 's';
  }
  void operator()(const state::Lost& s) const { out += report_text(s.reason); }
  void operator()(const state::Failed& s) const {
    out += "failed to load: ";
    out += s.detail;
  }
  void operator()(const state::Stopped&) const { out += "stopped on request"; }
};

void append_line(std::string& out, const ModelEntry& entry, std::uint64_t now) {
  out += "  ";
  out += entry.name;
  // Names longer than the field are written whole and push the phrase along.
  const std::size_t width = code_points(entry.name);
  if (width < kNameWidth) {
    out.append(kNameWidth - width, ' ');
  }
  out += ' ';
  if (!entry.admitted) {
    out += "not admitted \u2014 short by ";
    planner::append_gib(out, entry.short_bytes);
    out += " GiB";
  } else {
    std::visit(Phrase{out, now}, entry.state);
  }
  out += '\n';
}

}  // namespace

std::string report(const Fleet& fleet, std::uint64_t now) {
  std::size_t admitted = 0;
  for (const ModelEntry& entry : fleet.models) {
    if (entry.admitted) {
      ++admitted;
    }
  }

  std::string out;
  planner::append_gib(out, committed_bytes(fleet));
  out += " / ";
  planner::append_gib(out, usable_bytes(fleet));
  out += " GiB held  (";
  out += std::to_string(fleet.models.size());
  out += " declared, ";
  out += std::to_string(admitted);
  out += " admitted)\n";
  for (const ModelEntry& entry : fleet.models) {
    append_line(out, entry, now);
  }
  return out;
}

}  // namespace marlix::fleet
