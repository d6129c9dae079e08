#include "python/fleet_methods.hpp"

#include <array>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "fleet/capacity.hpp"
#include "fleet/fleet.hpp"
#include "fleet/observation.hpp"
#include "fleet/report.hpp"
#include "fleet/route.hpp"
#include "python/boundary.hpp"
#include "python/fleet_borrow.hpp"
#include "python/fleet_object.hpp"

namespace marlix::python {

namespace {

// A method: the call sequence with access to the instance taken after matching and before
// conversion; `operation` receives the borrow and the converted arguments.
template <Access Mode, typename... Kinds, typename Operation>
PyObject* call_method(const ParameterSpec& spec, PyObject* self, PyObject* args, PyObject* kwargs,
                      Operation&& operation) {
  return at_boundary([&] {
    return run_call<Kinds...>(
        spec, args, kwargs, [self] { return FleetBorrow<Mode>::take(self); },
        std::forward<Operation>(operation));
  });
}

constexpr ParameterSpec method(std::string_view name, std::span<const std::string_view> params) {
  return {.class_name = "Fleet",
          .function_name = name,
          .positional = params,
          .positional_only = 0,
          .required_positional = params.size()};
}

constexpr std::array<std::string_view, 3> kNewNames = {"total_bytes", "reserve_pct",
                                                       "declared_json"};
constexpr std::array<std::string_view, 2> kSetEndpointNames = {"model", "endpoint"};
constexpr std::array<std::string_view, 4> kObserveNames = {"model", "kind", "detail_json", "now"};
constexpr std::array<std::string_view, 2> kRouteNames = {"model", "now"};
constexpr std::array<std::string_view, 1> kReportNames = {"now"};

constexpr ParameterSpec kNew = method("__new__", kNewNames);
constexpr ParameterSpec kSetEndpoint = method("set_endpoint", kSetEndpointNames);
constexpr ParameterSpec kObserve = method("observe", kObserveNames);
constexpr ParameterSpec kRoute = method("route", kRouteNames);
constexpr ParameterSpec kNextToLoad = method("next_to_load", {});
constexpr ParameterSpec kCommittedBytes = method("committed_bytes", {});
constexpr ParameterSpec kFreeBytes = method("free_bytes", {});
constexpr ParameterSpec kReport = method("report", kReportNames);

using Shared = FleetBorrow<Access::Shared>;
using Exclusive = FleetBorrow<Access::Exclusive>;

PyObject* set_endpoint(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method<Access::Exclusive, TextViewArg, TextArg>(
      kSetEndpoint, self, args, kwargs,
      [](const Exclusive& borrow, const Utf8Text& model, std::string endpoint) {
        fleet::set_endpoint(borrow.record(), model.view(), std::move(endpoint));
      });
}

PyObject* observe(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method<Access::Exclusive, TextViewArg, TextViewArg, TextViewArg, U64Arg>(
      kObserve, self, args, kwargs,
      [](const Exclusive& borrow, const Utf8Text& model, const Utf8Text& kind,
         const Utf8Text& detail_json, std::uint64_t now) {
        return fleet::observe(borrow.record(), model.view(), kind.view(), detail_json.view(), now);
      });
}

// The answer kept for the model's entry when there is one; otherwise decided and written, and
// kept when it does not depend on `now`.
PyObject* route(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method<Access::Shared, TextViewArg, U64Arg>(
      kRoute, self, args, kwargs,
      [](const Shared& borrow, const Utf8Text& model_text,
         std::uint64_t now) -> std::expected<OwnedRef, PyError> {
        const std::string_view model = model_text.view();
        const fleet::Fleet& record = borrow.record();
        RouteAnswers& answers = borrow.answers();
        const fleet::ModelEntry* entry = fleet::find_entry(record, model);
        const std::size_t index =
            entry != nullptr ? static_cast<std::size_t>(entry - record.models.data()) : 0;
        if (entry != nullptr) {
          if (PyObject* kept = answers.find(index)) {
            return OwnedRef::borrow(kept);
          }
        }
        // Every field is a text, an integer or a boolean, so writing cannot fail.
        OwnedRef answer =
            to_python(fleet::write_route_document(fleet::decide_for_entry(entry, model, now)));
        if (entry != nullptr && !fleet::answer_depends_on_time(*entry)) {
          answers.keep(index, record.models.size(), OwnedRef::borrow(answer.get()));
        }
        return answer;
      });
}

PyObject* next_to_load(PyObject* self, PyObject* /*unused*/) {
  return call_method<Access::Shared>(kNextToLoad, self, nullptr, nullptr, [](const Shared& borrow) {
    return fleet::next_to_load(borrow.record());
  });
}

PyObject* committed_bytes(PyObject* self, PyObject* /*unused*/) {
  return call_method<Access::Shared>(
      kCommittedBytes, self, nullptr, nullptr,
      [](const Shared& borrow) { return fleet::committed_bytes(borrow.record()); });
}

PyObject* free_bytes(PyObject* self, PyObject* /*unused*/) {
  return call_method<Access::Shared>(kFreeBytes, self, nullptr, nullptr, [](const Shared& borrow) {
    return fleet::free_bytes(borrow.record());
  });
}

PyObject* report(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method<Access::Shared, U64Arg>(
      kReport, self, args, kwargs,
      [](const Shared& borrow, std::uint64_t now) { return fleet::report(borrow.record(), now); });
}

template <typename Entry>
PyCFunction entry(Entry* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr const char* kObserveDoc =
    "observe($self, model, kind, detail_json, now)\n--\n\n"
    "kind: load_started · probe_ok · probe_failed · process_exited ·\n"
    "      load_failed · stop\n"
    "Record something observed. `kind` is one of:\n"
    "load_started · probe_ok · probe_failed · process_exited · load_failed · stop\n"
    "\n"
    "Either key spelling is accepted (`gpu_present` or `gpuPresent`,\n"
    "`vram_bytes` or `vramBytes`) because the mapping lives in the core now,\n"
    "once. It used to live here AND in the Node binding with different\n"
    "spellings, so a dict written the other language's way silently lost its\n"
    "most important field.\n"
    "\n"
    "Raises on an unrecognised `kind`; it used to return silently, which made\n"
    "a typo indistinguishable from a model that never changed state.";

// The instance, allocated the way the base type allocates, holding `record`.
std::expected<OwnedRef, PyError> new_instance(PyTypeObject* type, fleet::Fleet record) {
  OwnedRef object = OwnedRef::steal(PyType_GenericAlloc(type, 0));
  if (!object) {
    return std::unexpected(PyError::fetch());
  }
  FleetObject* instance = as_fleet_object(object.get());
  new (instance->record) fleet::Fleet(std::move(record));
  new (instance->answers) RouteAnswers();
  instance->borrow_count = 0;
  return object;
}

}  // namespace

PyMethodDef* fleet_methods() {
  // Filled on the first call, during module initialisation: the casts to PyCFunction are not
  // constant expressions, so a table at namespace scope would be filled by a constructor that
  // runs as soon as the library is loaded.
  constexpr int kArgs = METH_VARARGS | METH_KEYWORDS;
  static PyMethodDef methods[] = {
      {"set_endpoint", entry(&set_endpoint), kArgs, "set_endpoint($self, model, endpoint)\n--\n\n"},
      {"observe", entry(&observe), kArgs, kObserveDoc},
      {"route", entry(&route), kArgs, "route($self, model, now)\n--\n\n"},
      {"next_to_load", entry(&next_to_load), METH_NOARGS, "next_to_load($self)\n--\n\n"},
      {"committed_bytes", entry(&committed_bytes), METH_NOARGS, "committed_bytes($self)\n--\n\n"},
      {"free_bytes", entry(&free_bytes), METH_NOARGS, "free_bytes($self)\n--\n\n"},
      {"report", entry(&report), kArgs, "report($self, now)\n--\n\n"},
      {nullptr, nullptr, 0, nullptr},
  };
  return methods;
}

PyObject* fleet_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_function<U64Arg, U8Arg, TextViewArg>(
      kNew, args, kwargs,
      [type](std::uint64_t total_bytes, std::uint8_t reserve_pct,
             const Utf8Text& declared_json) -> std::expected<OwnedRef, PyError> {
        auto record = fleet::build_fleet(total_bytes, reserve_pct, declared_json.view());
        if (!record) {
          return std::unexpected(operation_error(std::move(record).error()));
        }
        return new_instance(type, *std::move(record));
      });
}

}  // namespace marlix::python
