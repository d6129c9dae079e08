// The usual spelling of a byte count in JSON, read without a number reader's bookkeeping. Both
// the general reader and the roster's own reading of plain entries take counts this way.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/words.hpp"

namespace marlix::json {

struct PlainCount {
  std::uint64_t value;
  std::size_t end;  // one past its last digit
};

// The number at `at` when it is digits alone: no sign, no fraction, no exponent, no leading
// zero (which JSON forbids), and at most 19 digits, which always fit in 64 bits. Nothing, with
// nothing read, for any other number or for text that is no number: a general reading takes it.
inline std::optional<PlainCount> plain_count(std::string_view text, std::size_t at) {
  constexpr std::size_t kSureDigits = 19;
  const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  const std::size_t size = text.size();
  std::size_t p = at;
  std::uint64_t value = 0;
  if (size - p >= 8) {
    if (const auto eight = eight_digits(load8(text.data() + p))) {
      value = *eight;
      p += 8;
    }
  }
  const std::size_t sure_end = std::min(size, at + kSureDigits);
  while (p < sure_end && is_digit(text[p])) {
    value = value * 10 + static_cast<std::uint64_t>(text[p] - '0');
    ++p;
  }
  const std::size_t digits = p - at;
  if (digits == 0 || (digits > 1 && text[at] == '0')) {
    return std::nullopt;
  }
  if (p < size && (is_digit(text[p]) || text[p] == '.' || text[p] == 'e' || text[p] == 'E')) {
    return std::nullopt;  // a twentieth digit, a fraction or an exponent
  }
  return PlainCount{value, p};
}

}  // namespace marlix::json
