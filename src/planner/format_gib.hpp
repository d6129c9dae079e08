#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace marlix::planner {

// A byte count as GiB with one digit after the point, halfway cases to the even digit.
std::string format_gib(std::uint64_t bytes);

// Appends the same text to `out`.
void append_gib(std::string& out, std::uint64_t bytes);

// Writes the same text at `out`, which has room for kGibTextMax bytes; returns its end.
inline constexpr std::size_t kGibTextMax = 24;
char* write_gib(char* out, std::uint64_t bytes);

}  // namespace marlix::planner
