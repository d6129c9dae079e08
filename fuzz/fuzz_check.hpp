// Invariant checks for the fuzz targets: a broken invariant prints what broke and aborts, which
// libFuzzer reports as a crash and saves the input as a reproducer.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace marlix::fuzz {

[[noreturn]] inline void fail(std::string_view what, std::string_view detail = {}) {
  std::fprintf(stderr, "invariant broken: %.*s\n", static_cast<int>(what.size()), what.data());
  if (!detail.empty()) {
    std::fprintf(stderr, "  %.*s\n", static_cast<int>(detail.size()), detail.data());
  }
  std::abort();
}

inline void check(bool holds, std::string_view what, std::string_view detail = {}) {
  if (!holds) {
    fail(what, detail);
  }
}

}  // namespace marlix::fuzz
