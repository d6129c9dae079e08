// The one JSON writer: compact text, members in key order, non-ASCII as raw UTF-8.
#pragma once

#include <string>
#include <string_view>

#include "json/value.hpp"

namespace marlix::json {

std::string write(const Value& value);

// Appends `value` to `out`.
void write_to(std::string& out, const Value& value);

// Appends `s` as a quoted, escaped JSON string.
void write_string(std::string& out, std::string_view s);

// Appends the escaped content of that string alone, without the quotation marks, for a writer
// that assembles one string from pieces.
void write_string_content(std::string& out, std::string_view s);

}  // namespace marlix::json
