// The one JSON reader: strict JSON text to a value tree, or a parse error with its position.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "core/function_ref.hpp"
#include "core/internal_error.hpp"
#include "json/value.hpp"

namespace marlix::json {

enum class ErrorKind : std::uint8_t {
  EofWhileParsingList,
  EofWhileParsingObject,
  EofWhileParsingString,
  EofWhileParsingValue,
  ExpectedColon,
  ExpectedListCommaOrEnd,
  ExpectedObjectCommaOrEnd,
  ExpectedIdent,
  ExpectedValue,
  InvalidEscape,
  InvalidNumber,
  NumberOutOfRange,
  ControlCharacterWhileParsingString,
  KeyMustBeAString,
  LoneLeadingSurrogateInHexEscape,
  TrailingComma,
  TrailingCharacters,
  UnexpectedEndOfHexEscape,
  RecursionLimitExceeded,
};

// The fixed English text of an error kind.
std::string_view kind_text(ErrorKind kind);

struct ParseError {
  ErrorKind kind;
  std::size_t line;    // 1-based; 0 when the error carries no position
  std::size_t column;  // bytes from the start of the line

  // "{kind text} at line {line} column {column}", or the kind text alone without a position.
  std::string text() const;

  friend bool operator==(const ParseError&, const ParseError&) = default;
};

// Reads exactly one JSON value, with optional whitespace around it. The input is UTF-8.
std::expected<Value, ParseError> read(std::string_view text);

// Reads like read(), but when the top-level value is an array its elements are handed to
// `element`, in order, as each one is complete, and are not kept: the value returned is then an
// empty array. A list of many entries is read this way without holding all of them at once.
// Elements handed over before a parse error are part of a text that is not JSON: a caller keeps
// what it learnt from them only once the whole read has succeeded.
using ElementSink = std::function<void(Value&& element)>;
std::expected<Value, ParseError> read_elements(std::string_view text, const ElementSink& element);

// Reads like read_elements(), for a caller that looks up a few fixed keys in each element and
// nothing else, so no element is built. For each element `fields` receives one pointer per key
// of `keys`, to the value a member lookup on the element would find under that key (for a
// repeated key, the last one), or null when it finds nothing, which it always does when the
// element is not an object. Values under other keys are read and checked, then dropped. The
// values pointed to live only during the call. At most kMaxFields keys.
inline constexpr std::size_t kMaxFields = 8;
using FieldSink = FunctionRef<void(std::span<const Value* const> found)>;
std::expected<Value, ParseError> read_fields(std::string_view text,
                                             std::span<const std::string_view> keys,
                                             FieldSink fields);

// The keys of a field read, with each key's first position among them: a key asked for twice is
// matched once, at its first position, and its later slots are filled from there. A caller
// whose keys never change makes this once, as a constant.
class FieldKeys {
 public:
  constexpr explicit FieldKeys(std::span<const std::string_view> keys) : keys_(keys) {
    if (keys.size() > kMaxFields) {
      throw InternalError("more keys asked for than an element read has slots");
    }
    for (std::size_t j = 0; j < keys.size(); ++j) {
      std::size_t first = 0;
      while (first < j && keys[first] != keys[j]) {
        ++first;
      }
      first_of_[j] = first;
      repeats_ = repeats_ || first != j;
    }
  }

  std::span<const std::string_view> keys() const { return keys_; }
  std::size_t first_of(std::size_t j) const { return first_of_[j]; }
  bool repeats() const { return repeats_; }

 private:
  std::span<const std::string_view> keys_;
  std::array<std::size_t, kMaxFields> first_of_{};
  bool repeats_ = false;
};

// The same read for keys made ready beforehand.
std::expected<Value, ParseError> read_fields(std::string_view text, const FieldKeys& keys,
                                             FieldSink fields);

// A caller's own reading of an element in a spelling it knows, tried on each element before the
// general reading: `plain(text, from)`, with `from` at the element's first byte, either reads
// one whole element there, takes it over itself (`fields` then hears nothing of it) and returns
// one past its last byte, or returns `from` and leaves the element to the general reading. What
// it reads must be a JSON value, which the general reading would accept as it stands: the
// caller's reading only ever declines what the general one would report.
using PlainElement = FunctionRef<std::size_t(std::string_view text, std::size_t from)>;
std::expected<Value, ParseError> read_fields(std::string_view text, const FieldKeys& keys,
                                             FieldSink fields, PlainElement plain);

}  // namespace marlix::json
