#include "planner/plan.hpp"

#include "json/text_out.hpp"
#include "planner/format_gib.hpp"

namespace marlix::planner {

namespace {

void gib(json::TextOut& out, std::uint64_t bytes) {
  out.piece(kGibTextMax, [bytes](char* at) { return write_gib(at, bytes); });
}

// Writes the summary: as plain text, or already escaped as the content of a JSON string, which
// is how the plan document carries it (so the document needs no second copy of it).
void write_summary(json::TextOut& out, const AdmissionResult& result, bool json_content) {
  out.unsigned_integer(result.admitted.size());
  out.text(" of ");
  out.unsigned_integer(result.admitted.size() + result.rejected.size());
  out.text(" admitted, ");
  gib(out, result.committed_bytes);
  out.text(" GiB committed of ");
  gib(out, result.usable_bytes);
  out.text(" GiB usable");
  for (const RejectedModel& r : result.rejected) {
    if (json_content) {
      out.text("\\n  REJECTED ");
      out.string_content(r.model);
    } else {
      out.text("\n  REJECTED ");
      out.text(r.model);
    }
    out.text(" \u2014 needs ");
    gib(out, r.needed_bytes);
    out.text(" GiB, ");
    gib(out, r.free_bytes);
    out.text(" GiB free, short by ");
    gib(out, r.short_bytes());
    out.text(" GiB");
  }
}

}  // namespace

std::string plan_summary(const AdmissionResult& result) {
  json::TextOut out(64 + 96 * result.rejected.size());
  write_summary(out, result, false);
  return std::move(out).finish();
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
  json::TextOut out(estimate);
  out.text("{\"admitted\":[");
  for (std::size_t i = 0; i < result.admitted.size(); ++i) {
    if (i > 0) {
      out.byte(',');
    }
    out.string(result.admitted[i]);
  }
  out.text("],\"committed_bytes\":");
  out.unsigned_integer(result.committed_bytes);
  out.text(",\"declared\":");
  out.unsigned_integer(result.admitted.size() + result.rejected.size());
  out.text(",\"explain\":\"");
  write_summary(out, result, true);
  out.byte('"');
  out.text(result.rejected.empty() ? ",\"fits\":true" : ",\"fits\":false");
  out.text(",\"headroom_bytes\":");
  out.unsigned_integer(floor_sub(result.usable_bytes, result.committed_bytes));
  out.text(",\"rejected\":[");
  for (std::size_t i = 0; i < result.rejected.size(); ++i) {
    const RejectedModel& r = result.rejected[i];
    out.text(i > 0 ? ",{\"free_bytes\":" : "{\"free_bytes\":");
    out.unsigned_integer(r.free_bytes);
    out.text(",\"model\":");
    out.string(r.model);
    out.text(",\"needed_bytes\":");
    out.unsigned_integer(r.needed_bytes);
    out.text(",\"short_bytes\":");
    out.unsigned_integer(r.short_bytes());
    out.byte('}');
  }
  out.text("],\"usable_bytes\":");
  out.unsigned_integer(result.usable_bytes);
  out.byte('}');
  return std::move(out).finish();
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
