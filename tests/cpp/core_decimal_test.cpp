#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/decimal.hpp"

namespace marlix {
namespace {

std::string expected_text(std::uint64_t value) {
  char text[kDecimalDigitsMax];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

std::string written(std::uint64_t value) {
  // A guard byte past the room asked for shows a write beyond it.
  char text[kDecimalDigitsMax + 1];
  text[decimal_length(value)] = '#';
  char* end = write_decimal(text, value);
  EXPECT_EQ(text[decimal_length(value)], '#') << value;
  return std::string(text, end);
}

// Every length changes at a power of ten, so each one and its neighbours is checked, with the
// ends of the range and counts drawn across every bit width.
std::vector<std::uint64_t> interesting_counts() {
  std::vector<std::uint64_t> counts = {0, std::numeric_limits<std::uint64_t>::max(),
                                       std::numeric_limits<std::uint64_t>::max() - 1};
  std::uint64_t power = 1;
  for (int digits = 0; digits < 20; ++digits) {
    counts.insert(counts.end(), {power - 1, power, power + 1, 2 * power - 1, 5 * power});
    if (digits < 19) {
      power *= 10;
    }
  }
  std::mt19937_64 random(20261209);
  for (int bits = 1; bits <= 64; ++bits) {
    for (int i = 0; i < 64; ++i) {
      const std::uint64_t top = bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
      counts.push_back(random() & top);
      counts.push_back(std::uint64_t{1} << (bits - 1));
    }
  }
  return counts;
}

TEST(Decimal, MatchesTheLibraryAtEveryLengthBoundary) {
  for (const std::uint64_t value : interesting_counts()) {
    const std::string expected = expected_text(value);
    EXPECT_EQ(decimal_length(value), expected.size()) << value;
    EXPECT_EQ(written(value), expected) << value;
  }
}

TEST(Decimal, MatchesTheLibraryOnEverySmallCount) {
  for (std::uint64_t value = 0; value < 100000; ++value) {
    ASSERT_EQ(written(value), expected_text(value)) << value;
  }
}

}  // namespace
}  // namespace marlix
