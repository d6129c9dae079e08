// The bytes that cannot stand as they are inside a JSON string: the quotation mark, the backslash
// and the control characters. The reader stops a run of content at them, the writer escapes them.
#pragma once

#include <array>

namespace marlix::json {

inline constexpr std::array<bool, 256> kSpecialInString = [] {
  std::array<bool, 256> special{};
  for (int c = 0; c < 0x20; ++c) {
    special[c] = true;
  }
  special['"'] = true;
  special['\\'] = true;
  return special;
}();

}  // namespace marlix::json
