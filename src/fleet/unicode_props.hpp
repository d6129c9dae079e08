// Which code points quote_kind writes as \u{hex} rather than as themselves: controls, format
// characters, surrogates, private-use and unassigned code points, line, paragraph and space
// separators other than U+0020, and grapheme-extending marks. The ranges come from a table that
// tools/gen_unicode_table.py generates from the Unicode Character Database.
#pragma once

#include <span>

namespace marlix::fleet {

// The code points first..last, both included.
struct CodePointRange {
  char32_t first;
  char32_t last;
};

// The escaped code points as ranges sorted by `first`, non-overlapping and with a gap between
// any two (adjacent ranges are merged).
std::span<const CodePointRange> escaped_ranges();

// True when `cp` is in one of the escaped ranges, or is beyond U+10FFFF.
bool needs_escape(char32_t cp);

}  // namespace marlix::fleet
