// Escaping the content of a JSON string, shared by every writer: runs of ordinary bytes pass as
// they are; the quotation mark, the backslash and the control characters become escapes.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "json/string_bytes.hpp"

namespace marlix::json {

// The most bytes one byte of content can take once escaped ("\u001f").
inline constexpr std::size_t kMostEscapedBytes = 6;

// The two-character escapes JSON has for some special bytes; every other special byte, a
// control character, is written as \u00XX.
inline constexpr std::array<std::string_view, 256> kShortEscapes = [] {
  std::array<std::string_view, 256> escapes{};
  escapes['"'] = "\\\"";
  escapes['\\'] = "\\\\";
  escapes['\b'] = "\\b";
  escapes['\t'] = "\\t";
  escapes['\n'] = "\\n";
  escapes['\f'] = "\\f";
  escapes['\r'] = "\\r";
  return escapes;
}();

// Hands the escaped content of `s` to `put(std::string_view)`, piece by piece, in order.
template <typename Put>
void escape_pieces(std::string_view s, Put&& put) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::size_t run_start = 0;
  for (std::size_t i = first_special(s.data(), 0, s.size()); i < s.size();
       i = first_special(s.data(), i + 1, s.size())) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (i > run_start) {
      put(s.substr(run_start, i - run_start));
    }
    run_start = i + 1;
    if (!kShortEscapes[c].empty()) {
      put(kShortEscapes[c]);
    } else {
      const char escape[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      put(std::string_view(escape, sizeof escape));
    }
  }
  if (run_start < s.size()) {
    put(s.substr(run_start));
  }
}

}  // namespace marlix::json
