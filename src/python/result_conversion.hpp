// Native results to Python objects, and operation error texts to ValueError.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "json/text_out.hpp"
#include "python/owned_ref.hpp"
#include "python/py_error.hpp"

namespace marlix::python {

// Each is a new reference; an object the interpreter cannot create is an internal failure.
OwnedRef to_python(const std::string& text);
// One `str` of a text held in blocks, each of them UTF-8 on its own; the blocks are released as
// they are decoded.
OwnedRef to_python(json::TextBlocks&& blocks);
OwnedRef to_python(std::uint64_t count);
OwnedRef to_python(const std::optional<std::string>& text);  // absent: None
OwnedRef none();

// An operation's error text, raised as ValueError with the text unchanged.
PyError operation_error(std::string text);

template <typename T>
inline constexpr bool is_expected_v = false;
template <typename T, typename E>
inline constexpr bool is_expected_v<std::expected<T, E>> = true;

// The Python result of an operation's return value: a plain value, a value or error text, or a
// Python object the operation already made.
template <typename Result>
std::expected<OwnedRef, PyError> convert_result(Result&& result) {
  using R = std::remove_cvref_t<Result>;
  if constexpr (std::is_same_v<R, std::expected<OwnedRef, PyError>>) {
    return std::forward<Result>(result);
  } else if constexpr (is_expected_v<R>) {
    static_assert(std::is_same_v<typename R::error_type, std::string>);
    if (!result) {
      return std::unexpected(operation_error(std::move(result).error()));
    }
    if constexpr (std::is_void_v<typename R::value_type>) {
      return none();
    } else {
      return to_python(std::move(*result));
    }
  } else {
    return to_python(result);
  }
}

}  // namespace marlix::python
