#include "fleet/route.hpp"

#include <utility>
#include <variant>

#include "json/text_out.hpp"
#include "planner/admission.hpp"

namespace marlix::fleet {

namespace {

using namespace std::string_view_literals;

// The decision for an admitted entry, from its state.
struct Decide {
  const ModelEntry& entry;
  std::string_view model;
  std::uint64_t now;

  RouteDecision operator()(const state::Unprobed&) const {
    return decision::Unknown{std::string(model)};
  }
  RouteDecision operator()(const state::Loading& s) const {
    return decision::Warming{std::string(model), planner::floor_sub(now, s.since_ms)};
  }
  // A resident model without an endpoint cannot take requests yet.
  RouteDecision operator()(const state::Resident&) const {
    if (!entry.endpoint) {
      return decision::Unknown{std::string(model)};
    }
    return decision::Ready{std::string(model), *entry.endpoint};
  }
  // Only a detached GPU is the host's doing; every other loss needs an operator.
  RouteDecision operator()(const state::Lost& s) const {
    return decision::Lost{std::string(model), s.reason, s.reason != LostReason::GpuDetached};
  }
  RouteDecision operator()(const state::Failed& s) const {
    return decision::Failed{std::string(model), s.detail};
  }
  RouteDecision operator()(const state::Stopped&) const {
    return decision::Unknown{std::string(model)};
  }
};

// The variant's own members: "route", "model" and its fields. Fields are moved out of the
// decision, which the caller gives up.
struct Fields {
  json::Object& doc;

  void put(std::string_view route, std::string model) const {
    doc.insert("route", json::Value::string(std::string(route)));
    doc.insert("model", json::Value::string(std::move(model)));
  }

  void operator()(decision::Ready& d) const {
    put("ready", std::move(d.model));
    doc.insert("endpoint", json::Value::string(std::move(d.endpoint)));
  }
  void operator()(decision::Warming& d) const {
    put("warming", std::move(d.model));
    doc.insert("for_ms", json::Value::unsigned_integer(d.for_ms));
  }
  void operator()(decision::Lost& d) const {
    put("lost", std::move(d.model));
    doc.insert("reason", json::Value::string(std::string(route_name(d.reason))));
    doc.insert("operator_fault", json::Value::boolean(d.operator_fault));
  }
  void operator()(decision::Failed& d) const {
    put("failed", std::move(d.model));
    doc.insert("reason", json::Value::string(std::move(d.reason)));
  }
  void operator()(decision::NotAdmitted& d) const {
    put("not_admitted", std::move(d.model));
    doc.insert("short_bytes", json::Value::unsigned_integer(d.short_bytes));
  }
  void operator()(decision::NotDeclared& d) const { put("not_declared", std::move(d.model)); }
  void operator()(decision::Unknown& d) const { put("unknown", std::move(d.model)); }
};

bool operator_fault(const RouteDecision& decision) {
  if (std::holds_alternative<decision::Failed>(decision)) {
    return true;
  }
  if (const auto* lost = std::get_if<decision::Lost>(&decision)) {
    return lost->operator_fault;
  }
  return false;
}

// Writes each decision's members in ascending key order, the order of the tree above; a test
// holds the two to the same bytes for every decision.
struct Write {
  json::TextOut& out;

  void model(std::string_view model) const {
    out.text("\"model\":"sv);
    out.string(model);
  }

  void operator()(const decision::Ready& d) const {
    out.text("{\"endpoint\":"sv);
    out.string(d.endpoint);
    out.byte(',');
    model(d.model);
    out.text(R"(,"operator_fault":false,"ready":true,"route":"ready","try_elsewhere":false})"sv);
  }
  void operator()(const decision::Warming& d) const {
    out.text("{\"for_ms\":"sv);
    out.unsigned_integer(d.for_ms);
    out.byte(',');
    model(d.model);
    out.text(R"(,"operator_fault":false,"ready":false,"route":"warming","try_elsewhere":false})"sv);
  }
  void operator()(const decision::Lost& d) const {
    out.byte('{');
    model(d.model);
    out.text(d.operator_fault ? R"(,"operator_fault":true)"sv : R"(,"operator_fault":false)"sv);
    out.text(R"(,"ready":false,"reason":")"sv);
    out.text(route_name(d.reason));
    out.text(R"(","route":"lost","try_elsewhere":true})"sv);
  }
  void operator()(const decision::Failed& d) const {
    out.byte('{');
    model(d.model);
    out.text(R"(,"operator_fault":true,"ready":false,"reason":)"sv);
    out.string(d.reason);
    out.text(R"(,"route":"failed","try_elsewhere":true})"sv);
  }
  void operator()(const decision::NotAdmitted& d) const {
    out.byte('{');
    model(d.model);
    out.text(R"(,"operator_fault":false,"ready":false,"route":"not_admitted","short_bytes":)"sv);
    out.unsigned_integer(d.short_bytes);
    out.text(R"(,"try_elsewhere":true})"sv);
  }
  void operator()(const decision::NotDeclared& d) const {
    out.byte('{');
    model(d.model);
    out.text(
        R"(,"operator_fault":false,"ready":false,"route":"not_declared","try_elsewhere":true})"sv);
  }
  void operator()(const decision::Unknown& d) const {
    out.byte('{');
    model(d.model);
    out.text(R"(,"operator_fault":false,"ready":false,"route":"unknown","try_elsewhere":true})"sv);
  }
};

}  // namespace

RouteDecision decide_route(const Fleet& fleet, std::string_view model, std::uint64_t now) {
  return decide_for_entry(find_entry(fleet, model), model, now);
}

RouteDecision decide_for_entry(const ModelEntry* entry, std::string_view model, std::uint64_t now) {
  if (entry == nullptr) {
    return decision::NotDeclared{std::string(model)};
  }
  // Admission is tested before the state: a rejected model is never routed to.
  if (!entry->admitted) {
    return decision::NotAdmitted{std::string(model), entry->short_bytes};
  }
  return std::visit(Decide{*entry, model, now}, entry->state);
}

bool answer_depends_on_time(const ModelEntry& entry) {
  return entry.admitted && std::holds_alternative<state::Loading>(entry.state);
}

json::Value route_document(RouteDecision&& decision) {
  const std::size_t index = decision.index();
  const bool fault = operator_fault(decision);
  json::Object doc;
  doc.reserve(7);  // the most any decision writes: one allocation per document
  std::visit(Fields{doc}, decision);
  // Inserting "operator_fault" again replaces the member a Lost decision already wrote.
  doc.insert("ready", json::Value::boolean(index == 0));
  doc.insert("try_elsewhere", json::Value::boolean(index >= 2));
  doc.insert("operator_fault", json::Value::boolean(fault));
  return json::Value::object(std::move(doc));
}

json::Value route_document(const RouteDecision& decision) {
  return route_document(RouteDecision(decision));
}

std::string write_route_document(const RouteDecision& decision) {
  // The fixed members take under 100 bytes; the texts come on top, usually without escapes.
  const std::size_t texts = std::visit(
      [](const auto& d) {
        if constexpr (requires { d.endpoint; }) {
          return d.model.size() + d.endpoint.size();
        } else if constexpr (requires { d.reason.size(); }) {
          return d.model.size() + d.reason.size();
        } else {
          return d.model.size();
        }
      },
      decision);
  json::TextOut out(112 + texts);
  std::visit(Write{out}, decision);
  return std::move(out).finish();
}

std::expected<std::string, std::string> route(const Fleet& fleet, std::string_view model,
                                              std::uint64_t now) {
  // Every field is a text, an integer or a boolean, so writing cannot fail and no "serialize: "
  // error arises here.
  return write_route_document(decide_route(fleet, model, now));
}

}  // namespace marlix::fleet
