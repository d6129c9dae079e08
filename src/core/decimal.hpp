// The decimal text of a 64-bit count, written where the caller has made room for it. Counts are
// most of what the plan document and the report print, so each is written with its length known
// from the start: no counting pass, and two digits a step from the last one back.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace marlix {

// The most digits a 64-bit count has.
inline constexpr std::size_t kDecimalDigitsMax = 20;

namespace detail {

inline constexpr std::array<std::uint64_t, 20> kPowersOfTen = [] {
  std::array<std::uint64_t, 20> powers{};
  std::uint64_t p = 1;
  for (std::uint64_t& power : powers) {
    power = p;
    p *= 10;  // wraps only after the last, which is not stored
  }
  return powers;
}();

inline constexpr std::array<char, 200> kDigitPairs = [] {
  std::array<char, 200> pairs{};
  for (std::size_t i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

}  // namespace detail

// How many digits `value` has: 1 for 0.
inline std::size_t decimal_length(std::uint64_t value) {
  // floor(log10(2) * bits) is the length less one, or the length less two just below a power
  // of ten; one comparison tells which. `| 1` counts 0 as 1 and moves no count across a power.
  const auto bits = static_cast<std::size_t>(std::bit_width(value | 1));
  const std::size_t guess = (bits * 1233) >> 12;
  return guess + ((value | 1) >= detail::kPowersOfTen[guess] ? 1 : 0);
}

// Writes the digits of `value` at `at` (room for decimal_length(value) bytes) and returns their
// end.
inline char* write_decimal(char* at, std::uint64_t value) {
  char* const end = at + decimal_length(value);
  char* p = end;
  while (value >= 100) {
    p -= 2;
    std::memcpy(p, &detail::kDigitPairs[2 * (value % 100)], 2);
    value /= 100;
  }
  if (value >= 10) {
    std::memcpy(p - 2, &detail::kDigitPairs[2 * value], 2);
  } else {
    *(p - 1) = static_cast<char>('0' + value);
  }
  return end;
}

}  // namespace marlix
