#include "planner/format_gib.hpp"

#include <charconv>

#include "core/internal_error.hpp"

namespace marlix::planner {

void append_gib(std::string& out, std::uint64_t bytes) {
  // The conversion to double rounds to nearest; scaling by 2^-30 is exact. Fixed notation with
  // precision 1 rounds the exact binary value, halfway cases to even.
  const double gib = static_cast<double>(bytes) * 0x1p-30;
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, gib, std::chars_format::fixed, 1);
  if (ec != std::errc()) {
    throw InternalError("GiB figure does not fit its buffer");
  }
  out.append(buf, end);
}

std::string format_gib(std::uint64_t bytes) {
  std::string out;
  append_gib(out, bytes);
  return out;
}

}  // namespace marlix::planner
