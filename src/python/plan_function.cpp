#include "python/plan_function.hpp"

#include <array>
#include <string_view>

#include "planner/plan.hpp"
#include "python/boundary.hpp"

namespace marlix::python {

namespace {

constexpr std::array<std::string_view, 3> kPlanParameterNames = {"total_bytes", "reserve_pct",
                                                                 "declared_json"};
constexpr ParameterSpec kPlanParameters = {
    .class_name = {},
    .function_name = "plan",
    .positional = kPlanParameterNames,
    .positional_only = 0,
    .required_positional = 3,
};

constexpr const char* kPlanDoc =
    "plan(total_bytes, reserve_pct, declared_json)\n--\n\n"
    "Can this card hold this roster? Returns a JSON string.";

PyObject* plan_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return call_function<U64Arg, U8Arg, TextViewArg>(
      kPlanParameters, args, kwargs,
      [](std::uint64_t total_bytes, std::uint8_t reserve_pct, Utf8Text declared_json) {
        if (declared_json.in_place()) {
          return planner::plan_in_blocks(total_bytes, reserve_pct, declared_json.view());
        }
        // A copy is given up as soon as it is read.
        return planner::plan_in_blocks(total_bytes, reserve_pct,
                                       std::move(declared_json).take_copy());
      });
}

}  // namespace

std::expected<OwnedRef, PyError> new_plan_function(PyObject* module) {
  // The function object points at its record for as long as it exists, which is for the rest
  // of the process once the module is set up: the record is never freed.
  auto* record = new PyMethodDef{
      "plan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&plan_entry)),
      METH_VARARGS | METH_KEYWORDS, kPlanDoc};
  OwnedRef module_name = OwnedRef::steal(PyModule_GetNameObject(module));
  if (!module_name) {
    return std::unexpected(PyError::fetch());
  }
  OwnedRef function = OwnedRef::steal(PyCMethod_New(record, module, module_name.get(), nullptr));
  if (!function) {
    return std::unexpected(PyError::fetch());
  }
  return function;
}

}  // namespace marlix::python
