#include "planner/plan.hpp"

#include <algorithm>
#include <deque>
#include <memory>
#include <string_view>
#include <vector>

#include "core/function_ref.hpp"
#include "core/internal_error.hpp"
#include "json/escape.hpp"
#include "json/text_out.hpp"
#include "planner/format_gib.hpp"

namespace marlix::planner {

namespace {

void gib(json::TextOut& out, std::uint64_t bytes) {
  out.piece(kGibTextMax, [bytes](char* at) { return write_gib(at, bytes); });
}

// What the summary and the document after its list of admitted names are written from.
// `Rejected` is a random-access sequence of the rejected models in roster order.
template <typename Rejected>
struct Totals {
  std::size_t admitted;
  const Rejected& rejected;
  std::uint64_t committed_bytes;
  std::uint64_t usable_bytes;
};

Totals<std::vector<RejectedModel>> totals_of(const AdmissionResult& result) {
  return {result.admitted.size(), result.rejected, result.committed_bytes, result.usable_bytes};
}

// Writes the summary: as plain text, or already escaped as the content of a JSON string, which
// is how the plan document carries it (so the document needs no second copy of it).
template <typename Rejected>
void write_summary(json::TextOut& out, const Totals<Rejected>& totals, bool json_content) {
  out.unsigned_integer(totals.admitted);
  out.text(" of ");
  out.unsigned_integer(totals.admitted + totals.rejected.size());
  out.text(" admitted, ");
  gib(out, totals.committed_bytes);
  out.text(" GiB committed of ");
  gib(out, totals.usable_bytes);
  out.text(" GiB usable");
  for (const RejectedModel& r : totals.rejected) {
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
  write_summary(out, totals_of(result), false);
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

namespace {

// The document from its opening brace to the "[" of its list of admitted names.
constexpr std::string_view kDocumentHead = "{\"admitted\":[";

// Room enough for the document after its list of admitted names when nothing is rejected: the
// counts and the summary's first line.
constexpr std::size_t kTailBytes = 512;

// An admitted name in the list; `index` counts the names written before it.
void write_admitted(json::TextOut& out, std::size_t index, std::string_view name) {
  if (index > 0) {
    out.byte(',');
  }
  out.string(name);
}

// The document from the end of its list of admitted names to its closing brace.
template <typename Rejected>
void write_document_tail(json::TextOut& out, const Totals<Rejected>& totals) {
  out.text("],\"committed_bytes\":");
  out.unsigned_integer(totals.committed_bytes);
  out.text(",\"declared\":");
  out.unsigned_integer(totals.admitted + totals.rejected.size());
  out.text(",\"explain\":\"");
  write_summary(out, totals, true);
  out.byte('"');
  out.text(totals.rejected.empty() ? ",\"fits\":true" : ",\"fits\":false");
  out.text(",\"headroom_bytes\":");
  out.unsigned_integer(floor_sub(totals.usable_bytes, totals.committed_bytes));
  out.text(",\"rejected\":[");
  for (std::size_t i = 0; i < totals.rejected.size(); ++i) {
    const RejectedModel& r = totals.rejected[i];
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
  out.unsigned_integer(totals.usable_bytes);
  out.byte('}');
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
  json::TextOut out(estimate);
  out.text(kDocumentHead);
  for (std::size_t i = 0; i < result.admitted.size(); ++i) {
    write_admitted(out, i, result.admitted[i]);
  }
  write_document_tail(out, totals_of(result));
  return std::move(out).finish();
}

namespace {

// The rejections of a roster that fits: none.
struct NoRejections {
  static constexpr std::size_t size() { return 0; }
  static constexpr bool empty() { return true; }
  static const RejectedModel* begin() { return nullptr; }
  static const RejectedModel* end() { return nullptr; }
  const RejectedModel& operator[](std::size_t) const {
    throw InternalError("a rejection read from a roster that has none");
  }
};

// The plan document written into `out`. Each model is judged as soon as it is read, in roster
// order, and an admitted name goes straight into the document: neither the roster nor the list
// of admitted names is held. The document is the one write_plan_document gives for
// admit_roster's result. `read_done` is called once the roster text has been read, before the
// rest is written, so that a caller holding the text can give it up, with an estimate of how
// many bytes `out` has still to give, so that a reader of its blocks can prepare for them.
std::expected<void, std::string> write_plan(json::TextOut& out, std::uint64_t total_bytes,
                                            std::uint8_t reserve_pct,
                                            std::string_view declared_json,
                                            FunctionRef<void(std::size_t rest_bytes)> read_done) {
  FirstFit fit(usable_bytes(total_bytes, compute_reserve(total_bytes, reserve_pct)));
  // Kept in small chunks rather than one growing array: for a large roster the rejections never
  // sit in memory twice while their storage moves. A deque allocates as soon as it exists, so
  // it is made with the first rejection: a roster that fits costs no allocation for it (and no
  // clearing of an empty deque's room either).
  std::unique_ptr<std::deque<RejectedModel>> rejected_models;
  std::size_t admitted = 0;
  out.text(kDocumentHead);
  auto read = read_declared(declared_json, [&](const DeclaredView& m, std::size_t position) {
    auto verdict = fit.judge(m.model, need_bytes(m.weights_bytes, m.kv_bytes), position);
    if (verdict) {
      if (!rejected_models) {
        rejected_models = std::make_unique<std::deque<RejectedModel>>();
      }
      rejected_models->push_back(std::move(*verdict));
    } else {
      write_admitted(out, admitted++, m.model);
    }
  });
  if (!read) {
    return std::unexpected(std::move(read.error()));
  }
  if (!rejected_models) {
    read_done(out.held() + kTailBytes);
    out.reserve(kTailBytes);
    const NoRejections none;
    write_document_tail(
        out, Totals<NoRejections>{admitted, none, fit.committed_bytes(), fit.usable_bytes()});
    return {};
  }
  const std::deque<RejectedModel>& rejected = *rejected_models;
  // The rest at once: the counts and the summary's first line take under kTailBytes, and each
  // rejected model its summary line and its object, under 256 bytes besides its name twice.
  std::size_t tail = kTailBytes;
  for (const RejectedModel& r : rejected) {
    tail += 256 + 2 * r.model.size();
  }
  read_done(out.held() + tail);
  out.reserve(tail);
  write_document_tail(out, Totals<std::deque<RejectedModel>>{
                               admitted, rejected, fit.committed_bytes(), fit.usable_bytes()});
  return {};
}

// Room for a document to begin with: its list of admitted names, where a name with its quotes
// and comma takes about a third of its entry's text or less, and all the rest of a document that
// rejects nothing, so that a small roster's document is written without moving.
std::size_t first_room(std::size_t text_size) {
  return text_size / 3 + kDocumentHead.size() + kTailBytes;
}

}  // namespace

std::expected<std::string, std::string> plan(std::uint64_t total_bytes, std::uint8_t reserve_pct,
                                             std::string declared_json) {
  json::TextOut out(first_room(declared_json.size()));
  auto written = write_plan(out, total_bytes, reserve_pct, declared_json,
                            [&declared_json](std::size_t) { std::string().swap(declared_json); });
  if (!written) {
    return std::unexpected(std::move(written.error()));
  }
  return std::move(out).finish();
}

namespace {

std::expected<std::string, std::string> plan_blocks(std::uint64_t total_bytes,
                                                    std::uint8_t reserve_pct,
                                                    std::string_view declared_json,
                                                    const PlanBlocks& to, std::size_t block_bytes,
                                                    FunctionRef<void()> give_up_roster) {
  json::TextOut out = json::TextOut::in_blocks(
      block_bytes, std::min(first_room(declared_json.size()), block_bytes), to.take);
  auto written =
      write_plan(out, total_bytes, reserve_pct, declared_json, [&](std::size_t rest_bytes) {
        give_up_roster();
        to.rest_known(rest_bytes);
      });
  if (!written) {
    return std::unexpected(std::move(written.error()));
  }
  return std::move(out).finish();
}

}  // namespace

std::expected<std::string, std::string> plan_in_blocks(std::uint64_t total_bytes,
                                                       std::uint8_t reserve_pct,
                                                       std::string declared_json,
                                                       const PlanBlocks& to,
                                                       std::size_t block_bytes) {
  // The roster's memory goes back as soon as it is read, before the document's rest is written.
  return plan_blocks(total_bytes, reserve_pct, declared_json, to, block_bytes,
                     [&declared_json] { std::string().swap(declared_json); });
}

std::expected<std::string, std::string> plan_in_blocks(std::uint64_t total_bytes,
                                                       std::uint8_t reserve_pct,
                                                       std::string_view declared_json,
                                                       const PlanBlocks& to,
                                                       std::size_t block_bytes) {
  return plan_blocks(total_bytes, reserve_pct, declared_json, to, block_bytes, [] {});
}

}  // namespace marlix::planner
