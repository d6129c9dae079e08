// Bytes of a text read eight at a time, for scans that would otherwise go byte by byte.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
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
