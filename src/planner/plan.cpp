#include "planner/plan.hpp"

#include <charconv>

#include "json/writer.hpp"
#include "planner/format_gib.hpp"

namespace marlix::planner {

namespace {

// Appends the summary: as plain text, or already escaped as the content of a JSON string, which
// is how the plan document carries it (so the document needs no second copy of it).
void append_summary(std::string& out, const AdmissionResult& result, bool json_content) {
  out += std::to_string(result.admitted.size());
  out += " of ";
  out += std::to_string(result.admitted.size() + result.rejected.size());
  out += " admitted, ";
  append_gib(out, result.committed_bytes);
  out += " GiB committed of ";
  append_gib(out, result.usable_bytes);
  out += " GiB usable";
  for (const RejectedModel& r : result.rejected) {
    out += json_content ? "\\n  REJECTED " : "\n  REJECTED ";
    if (json_content) {
      json::write_string_content(out, r.model);
    } else {
      out += r.model;
    }
    out += " \u2014 needs ";
    append_gib(out, r.needed_bytes);
    out += " GiB, ";
    append_gib(out, r.free_bytes);
    out += " GiB free, short by ";
    append_gib(out, r.short_bytes());
    out += " GiB";
  }
}

}  // namespace

std::string plan_summary(const AdmissionResult& result) {
  std::string out;
  append_summary(out, result, false);
  return out;
}

json::Value plan_document(const AdmissionResult& result) {
  json::Array admitted;
  admitted.reserve(result.admitted.size());
  for (const std::string& name : result.admitted) {
    admitted.push_back(json::Value::string(name));
  }

  json::Array rejected;
  rejected.reserve(result.rejected.size());
  for (const RejectedModel& r : result.rejected) {
    json::Object entry;
    entry.insert("free_bytes", json::Value::unsigned_integer(r.free_bytes));
    entry.insert("model", json::Value::string(r.model));
    entry.insert("needed_bytes", json::Value::unsigned_integer(r.needed_bytes));
    entry.insert("short_bytes", json::Value::unsigned_integer(r.short_bytes()));
    rejected.push_back(json::Value::object(std::move(entry)));
  }

  json::Object doc;
  doc.insert("admitted", json::Value::array(std::move(admitted)));
  doc.insert("committed_bytes", json::Value::unsigned_integer(result.committed_bytes));
  doc.insert("declared",
             json::Value::unsigned_integer(result.admitted.size() + result.rejected.size()));
  doc.insert("explain", json::Value::string(plan_summary(result)));
  doc.insert("fits", json::Value::boolean(result.rejected.empty()));
  doc.insert("headroom_bytes",
             json::Value::unsigned_integer(floor_sub(result.usable_bytes, result.committed_bytes)));
  doc.insert("rejected", json::Value::array(std::move(rejected)));
  doc.insert("usable_bytes", json::Value::unsigned_integer(result.usable_bytes));
  return json::Value::object(std::move(doc));
}

namespace {

void append_uint(std::string& out, std::uint64_t value) {
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, end);
}

}  // namespace

std::string write_plan_document(const AdmissionResult& result) {
  // Room for the whole document, names unescaped: an admitted name takes its quotes and a comma,
  // a rejected one its summary line and its object, about 180 bytes besides its name twice.
  std::size_t estimate = 256;
  for (const std::string& name : result.admitted) {
    estimate += name.size() + 3;
  }
  for (const RejectedModel& r : result.rejected) {
    estimate += 2 * r.model.size() + 180;
  }
  std::string out;
  out.reserve(estimate);
  out += "{\"admitted\":[";
  for (std::size_t i = 0; i < result.admitted.size(); ++i) {
    if (i > 0) {
      out += ',';
    }
    json::write_string(out, result.admitted[i]);
  }
  out += "],\"committed_bytes\":";
  append_uint(out, result.committed_bytes);
  out += ",\"declared\":";
  append_uint(out, result.admitted.size() + result.rejected.size());
  out += ",\"explain\":\"";
  append_summary(out, result, true);
  out += '"';
  out += result.rejected.empty() ? ",\"fits\":true" : ",\"fits\":false";
  out += ",\"headroom_bytes\":";
  append_uint(out, floor_sub(result.usable_bytes, result.committed_bytes));
  out += ",\"rejected\":[";
  for (std::size_t i = 0; i < result.rejected.size(); ++i) {
    const RejectedModel& r = result.rejected[i];
    out += i > 0 ? ",{\"free_bytes\":" : "{\"free_bytes\":";
    append_uint(out, r.free_bytes);
    out += ",\"model\":";
    json::write_string(out, r.model);
    out += ",\"needed_bytes\":";
    append_uint(out, r.needed_bytes);
    out += ",\"short_bytes\":";
    append_uint(out, r.short_bytes());
    out += '}';
  }
  out += "],\"usable_bytes\":";
  append_uint(out, result.usable_bytes);
  out += '}';
  return out;
}

std::expected<std::string, std::string> plan(std::uint64_t total_bytes, std::uint8_t reserve_pct,
                                             std::string declared_json) {
  const std::uint64_t reserve = compute_reserve(total_bytes, reserve_pct);
  auto roster = load_roster(declared_json);
  if (!roster) {
    return std::unexpected(std::move(roster.error()));
  }
  // The text is no longer needed; let it go before the document is built.
  std::string().swap(declared_json);
  const AdmissionResult result = admit_roster(*roster, total_bytes, reserve);
  roster->clear();
  roster->shrink_to_fit();
  return write_plan_document(result);
}

}  // namespace marlix::planner
