#include "python/plan_function.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

#include "planner/plan.hpp"
#include "python/boundary.hpp"
#include "python/result_conversion.hpp"

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
      [](std::uint64_t total_bytes, std::uint8_t reserve_pct,
         Utf8Text declared_json) -> std::expected<OwnedRef, PyError> {
        // The document becomes its `str` block by block as it is written. A document whose
        // rest outgrows the roster (and a mebibyte, below which setting its `str` apart costs
        // more than it saves) is held once, so that what the call holds beside its result
        // stays within the roster's size.
        StrFromPieces doc(std::max<std::size_t>(declared_json.view().size(), 1 << 20));
        const auto take = [&doc](std::string_view block) { doc.append(block); };
        const auto rest_known = [&doc](std::size_t rest_bytes) { doc.rest_known(rest_bytes); };
        const planner::PlanBlocks to{.take = take, .rest_known = rest_known};
        auto rest =
            declared_json.in_place()
                ? planner::plan_in_blocks(total_bytes, reserve_pct, declared_json.view(), to)
                // A copy is given up as soon as it is read.
                : planner::plan_in_blocks(total_bytes, reserve_pct,
                                          std::move(declared_json).take_copy(), to);
        if (!rest) {
          return std::unexpected(operation_error(std::move(rest.error())));
        }
        doc.append(*rest);
        return std::move(doc).finish();
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
