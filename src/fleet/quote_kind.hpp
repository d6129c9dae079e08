#pragma once

#include <string>
#include <string_view>

namespace marlix::fleet {

// `text` between double quotes, with quotes, backslashes, control, format, separator,
// unassigned, private-use and grapheme-extending characters escaped so that a user can see
// exactly what was passed. The input is valid UTF-8.
std::string quote_kind(std::string_view text);

}  // namespace marlix::fleet
