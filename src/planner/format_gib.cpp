#include "planner/format_gib.hpp"

#include "core/decimal.hpp"
#include "planner/admission.hpp"

namespace marlix::planner {

char* write_gib(char* out, std::uint64_t bytes) {
  // The figure is the byte count rounded to the nearest double, in GiB (scaling by 2^-30 is
  // exact), rounded to the nearest tenth with halfway cases to the even tenth. The double is a
  // whole number of bytes, so the rounding is done exactly in integers: tenths = bytes * 10 / 2^30.
  constexpr std::uint64_t kHalf = kGiB / 2;
  const double rounded = static_cast<double>(bytes);
  std::uint64_t whole = 0;  // whole GiB
  std::uint64_t rest = 0;   // bytes below that
  if (rounded >= 0x1p64) {  // the largest counts round up to 2^64, which no u64 holds
    whole = std::uint64_t{1} << 34;
  } else {
    const auto exact = static_cast<std::uint64_t>(rounded);
    whole = exact / kGiB;
    rest = exact % kGiB;
  }
  const std::uint64_t scaled = rest * 10;  // below 10 GiB: no overflow
  std::uint64_t tenths = whole * 10 + scaled / kGiB;
  const std::uint64_t remainder = scaled % kGiB;
  if (remainder > kHalf || (remainder == kHalf && tenths % 2 == 1)) {
    ++tenths;
  }
  // The whole part has at most 11 digits (2^34), so the text takes at most 13 bytes.
  static_assert(kGibTextMax >= 13);
  char* end = write_decimal(out, tenths / 10);
  *end++ = '.';
  *end++ = static_cast<char>('0' + tenths % 10);
  return end;
}

void append_gib(std::string& out, std::uint64_t bytes) {
  char text[kGibTextMax];
  out.append(text, write_gib(text, bytes));
}

std::string format_gib(std::uint64_t bytes) {
  std::string out;
  append_gib(out, bytes);
  return out;
}

}  // namespace marlix::planner
