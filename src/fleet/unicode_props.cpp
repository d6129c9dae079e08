#include "fleet/unicode_props.hpp"

#include <algorithm>
#include <iterator>

namespace marlix::fleet {

namespace {

constexpr char32_t kMaxCodePoint = 0x10FFFF;

constexpr CodePointRange kEscapedRanges[] = {
#include "fleet/unicode_table.inc"
};

}  // namespace

std::span<const CodePointRange> escaped_ranges() {
  return kEscapedRanges;
}

bool needs_escape(char32_t cp) {
  if (cp > kMaxCodePoint) {
    return true;
  }
  // The first range that ends at or after `cp` is the only one that can contain it.
  const auto it = std::lower_bound(std::begin(kEscapedRanges), std::end(kEscapedRanges), cp,
                                   [](const CodePointRange& r, char32_t c) { return r.last < c; });
  return it != std::end(kEscapedRanges) && it->first <= cp;
}

}  // namespace marlix::fleet
