// The bytes that cannot stand as they are inside a JSON string: the quotation mark, the backslash
// and the control characters. The reader stops a run of content at them, the writer escapes them.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "core/words.hpp"

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

// The special bytes of `word` (a quotation mark, a backslash, a byte below 0x20), each marked by
// its high bit, from the usual zero-byte tests. A borrow can mark a byte above a marked one,
// never one below it, so the lowest mark is exact.
inline std::uint64_t special_bytes(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  const std::uint64_t quote = word ^ (kOnes * '"');
  const std::uint64_t backslash = word ^ (kOnes * '\\');
  return (((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) |
          ((word - kOnes * 0x20) & ~word)) &
         kHighs;
}

// The position of the first special byte of text[from, size), or `size` when there is none,
// taken eight bytes at a time: names and keys are mostly long runs without one.
inline std::size_t first_special(const char* text, std::size_t from, std::size_t size) {
  std::size_t at = from;
  while (at + 8 <= size) {
    if (const std::uint64_t marks = special_bytes(load8(text + at)); marks != 0) {
      return at + static_cast<std::size_t>(std::countr_zero(marks)) / 8;
    }
    at += 8;
  }
  while (at < size && !kSpecialInString[static_cast<unsigned char>(text[at])]) {
    ++at;
  }
  return at;
}

}  // namespace marlix::json
