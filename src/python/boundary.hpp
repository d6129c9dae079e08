// The call boundary, the one road every call from Python takes into native code: match the
// arguments, take access (methods), convert the arguments in order, run the operation, convert
// its result, give access back, and raise any error. Nothing else turns native errors or C++
// exceptions into Python exceptions.
#pragma once

#include <array>
#include <cstddef>
#include <exception>
#include <expected>
#include <optional>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

#include "core/internal_error.hpp"
#include "python/argument_conversion.hpp"
#include "python/argument_matching.hpp"
#include "python/internal_failure.hpp"
#include "python/owned_ref.hpp"
#include "python/parameters.hpp"
#include "python/py_error.hpp"
#include "python/python.hpp"
#include "python/result_conversion.hpp"

namespace marlix::python {

// Runs `body` (returning std::expected<OwnedRef, PyError>) and hands its result to the
// interpreter: a new reference, or null with the error raised. No C++ exception gets past here.
template <typename Body>
PyObject* at_boundary(Body&& body) noexcept {
  try {
    std::expected<OwnedRef, PyError> result = std::forward<Body>(body)();
    if (result) {
      return result->release();
    }
    std::move(result.error()).restore();
  } catch (const InternalError& failure) {
    raise_internal_failure(failure.what(), &failure.where());
  } catch (const std::exception& failure) {
    raise_internal_failure(failure.what(), nullptr);
  } catch (...) {
    raise_internal_failure({}, nullptr);
  }
  return nullptr;
}

namespace detail {

// Converts the matched arguments one by one in parameter order, each into its place in
// `values`; the first failure ends it and is returned.
template <typename... Kinds, std::size_t... I>
std::optional<PyError> convert_arguments([[maybe_unused]] const ParameterSpec& spec,
                                         [[maybe_unused]] std::span<const OwnedRef> slots,
                                         std::tuple<typename Kinds::value_type...>& values,
                                         std::index_sequence<I...>) {
  std::optional<PyError> failure;
  [[maybe_unused]] auto convert_one = [&]<std::size_t Index, typename Kind>() {
    PyObject* argument = slots[Index].get();
    if (argument == nullptr) {
      throw InternalError("a parameter without a value reached conversion");
    }
    if (auto converted = Kind::convert(argument, std::get<Index>(values)); !converted) {
      failure = argument_error(std::move(converted.error()), spec.name_at(Index));
      return false;
    }
    return true;
  };
  static_cast<void>((convert_one.template operator()<I, Kinds>() && ...));
  return failure;
}

}  // namespace detail

// The call sequence. `take_access` returns std::expected<Access, PyError>; the access object
// lives until the result is converted and gives access back when destroyed, on every path.
// `operation` receives the access object and the converted values.
template <typename... Kinds, typename TakeAccess, typename Operation>
std::expected<OwnedRef, PyError> run_call(const ParameterSpec& spec, PyObject* args,
                                          PyObject* kwargs, TakeAccess&& take_access,
                                          Operation&& operation) {
  std::array<OwnedRef, sizeof...(Kinds)> slots;
  if (auto matched = match_arguments(spec, args, kwargs, slots); !matched) {
    return std::unexpected(std::move(matched.error()));
  }
  auto access = std::forward<TakeAccess>(take_access)();
  if (!access) {
    return std::unexpected(std::move(access.error()));
  }
  std::tuple<typename Kinds::value_type...> values;
  if (auto failure = detail::convert_arguments<Kinds...>(spec, slots, values,
                                                         std::index_sequence_for<Kinds...>{})) {
    return std::unexpected(std::move(*failure));
  }
  auto invoke = [&](auto&... converted) -> decltype(auto) {
    return std::forward<Operation>(operation)(*access, std::move(converted)...);
  };
  if constexpr (std::is_void_v<decltype(std::apply(invoke, values))>) {
    std::apply(invoke, values);
    return none();
  } else {
    return convert_result(std::apply(invoke, values));
  }
}

// A module-level function: the call sequence without access steps.
template <typename... Kinds, typename Operation>
PyObject* call_function(const ParameterSpec& spec, PyObject* args, PyObject* kwargs,
                        Operation&& operation) {
  struct NoAccess {};
  return at_boundary([&] {
    return run_call<Kinds...>(
        spec, args, kwargs, [] { return std::expected<NoAccess, PyError>(NoAccess{}); },
        [&](NoAccess, auto&&... values) {
          return operation(std::forward<decltype(values)>(values)...);
        });
  });
}

}  // namespace marlix::python
