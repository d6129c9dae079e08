// The one JSON reader: strict JSON text to a value tree, or a parse error with its position.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

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

}  // namespace marlix::json
