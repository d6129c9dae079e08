// Native results to Python objects, and operation error texts to ValueError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "python/owned_ref.hpp"
#include "python/py_error.hpp"

namespace marlix::python {

// Each is a new reference; an object the interpreter cannot create is an internal failure.
OwnedRef to_python(const std::string& text);
OwnedRef to_python(std::uint64_t count);
OwnedRef to_python(const std::optional<std::string>& text);  // absent: None
OwnedRef none();

// One `str` made from pieces of UTF-8 text, each whole on its own, as they come.
//
// The pieces are gathered and joined at the end, which makes the result in one allocation that
// can take memory freed before it: the quickest road for a text of modest size. Once told that
// the rest of the text takes about `append_from` bytes or more, it holds the text once instead:
// each piece from then on is appended to the `str` so far, which nothing else refers to, so the
// interpreter resizes it where it lies rather than copying it, and no piece outlives its
// appending.
class StrFromPieces {
 public:
  explicit StrFromPieces(std::size_t append_from);

  void append(std::string_view utf8);
  // An estimate of how many bytes of UTF-8 are still to come.
  void rest_known(std::size_t rest_bytes);
  OwnedRef finish() &&;  // "" when nothing was appended

 private:
  OwnedRef joined() &&;

  std::size_t append_from_;
  bool appending_ = false;
  bool ascii_ = true;  // every piece so far
  OwnedRef pieces_;    // a list, while gathering more than one piece
  OwnedRef text_;      // the `str` so far: while appending, or the one piece gathered
};

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
