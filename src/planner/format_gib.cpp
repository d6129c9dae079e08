#include "planner/format_gib.hpp"

#include "core/decimal.hpp"
#include "planner/admission.hpp"

namespace marlix::planner {

namespace {

// "{tenths / 10}.{tenths % 10}"; the whole part has at most 11 digits (2^34), so the text takes
// at most 13 bytes.
char* write_tenths(char* out, std::uint64_t tenths) {
  static_assert(kGibTextMax >= 13);
  char* end = write_decimal(out, tenths / 10);
  *end++ = '.';
  *end++ = static_cast<char>('0' + tenths % 10);
  return end;
}

}  // namespace

char* write_gib(char* out, std::uint64_t bytes) {
  // The figure is the byte count rounded to the nearest double, in GiB (scaling by 2^-30 is
  // exact), rounded to the nearest tenth with halfway cases to the even tenth. The double is a
  // whole number of bytes, so the rounding is done exactly in integers: tenths = bytes * 10 / 2^30.
  constexpr std::uint64_t kHalf = kGiB / 2;
  std::uint64_t exact = bytes;  // a count up to 2^53 is its own nearest double
  if (bytes > std::uint64_t{1} << 53) {
    const double rounded = static_cast<double>(bytes);
    if (rounded >= 0x1p64) {  // the largest counts round up to 2^64, which no u64 holds
      return write_tenths(out, (std::uint64_t{1} << 34) * 10);
    }
    exact = static_cast<std::uint64_t>(rounded);
  }
  const std::uint64_t scaled = exact % kGiB * 10;  // below 10 GiB: no overflow
  std::uint64_t tenths = exact / kGiB * 10 + scaled / kGiB;
  const std::uint64_t remainder = scaled % kGiB;
  if (remainder > kHalf || (remainder == kHalf && tenths % 2 == 1)) {
    ++tenths;
  }
  return write_tenths(out, tenths);
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
