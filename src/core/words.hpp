// Bytes of a text read eight at a time, for scans that would otherwise go byte by byte.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace marlix {

// Scans that locate a byte within a word take the text's first byte as the word's lowest.
static_assert(std::endian::native == std::endian::little);

inline std::uint64_t load8(const char* at) {
  std::uint64_t word = 0;
  std::memcpy(&word, at, 8);
  return word;
}

inline std::uint32_t load4(const char* at) {
  std::uint32_t word = 0;
  std::memcpy(&word, at, 4);
  return word;
}

// Whether two texts of the same size hold the same bytes. Keys and model names are short: up to
// 16 bytes they are compared in at most two overlapping loads each instead of a library call.
inline bool same_bytes_of_size(std::string_view a, std::string_view b) {
  const std::size_t n = a.size();
  if (n >= 8) {
    if (n > 16) {
      return a == b;
    }
    return load8(a.data()) == load8(b.data()) && load8(a.data() + n - 8) == load8(b.data() + n - 8);
  }
  if (n >= 4) {
    return load4(a.data()) == load4(b.data()) && load4(a.data() + n - 4) == load4(b.data() + n - 4);
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) {
      return false;
    }
  }
  return true;
}

// Whether two texts are equal byte for byte; sizes first, since most differ in size.
inline bool same_text(std::string_view a, std::string_view b) {
  return a.size() == b.size() && same_bytes_of_size(a, b);
}

// The value of eight ASCII digits, or nothing when one of the eight bytes is not a digit.
inline std::optional<std::uint32_t> eight_digits(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  // Each byte less '0' is 0..9 exactly when adding 0x76 to it leaves its high bit clear and the
  // subtraction did not borrow.
  const std::uint64_t digits = word - kOnes * '0';
  if (((digits | (digits + kOnes * 0x76)) & 0x8080808080808080ULL) != 0) {
    return std::nullopt;
  }
  // Pairs, then fours, then the eight (the usual multiply-and-shift steps).
  std::uint64_t v = (digits * 10 + (digits >> 8)) & 0x00FF00FF00FF00FFULL;
  v = (v * 100 + (v >> 16)) & 0x0000FFFF0000FFFFULL;
  v = (v * 10000 + (v >> 32)) & 0xFFFFFFFFULL;
  return static_cast<std::uint32_t>(v);
}

// Whether every byte is below 0x80. The last eight bytes are read whole even where they overlap
// the ones before, which an "or" does not mind.
inline bool is_ascii(std::string_view text) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  const std::size_t size = text.size();
  if (size < 8) {
    unsigned char any = 0;
    for (const char c : text) {
      any |= static_cast<unsigned char>(c);
    }
    return any < 0x80;
  }
  std::uint64_t any = 0;
  for (std::size_t at = 0; at + 8 < size; at += 8) {
    any |= load8(text.data() + at);
  }
  any |= load8(text.data() + size - 8);
  return (any & kHighBits) == 0;
}

}  // namespace marlix
