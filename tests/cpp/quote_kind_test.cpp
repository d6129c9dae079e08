#include "fleet/quote_kind.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "fleet/unicode_props.hpp"

namespace marlix::fleet {
namespace {

using namespace std::string_view_literals;

struct QuoteCase {
  const char* name;
  std::string_view text;
  std::string_view quoted;
};

// Byte escapes are split off with string concatenation where a hex digit follows them.
constexpr QuoteCase kQuoteCases[] = {
    {"empty", ""sv, R"("")"sv},
    {"ascii", "Probe_OK"sv, R"("Probe_OK")"sv},
    {"space and single quote stay raw", "it's a kind"sv, R"("it's a kind")"sv},
    {"double quote and backslash", R"(a"b\c)"sv, R"("a\"b\\c")"sv},
    {"short escapes", "\t\r\n"sv, R"("\t\r\n")"sv},
    {"nul inside the text", "a\0b"sv, R"("a\0b")"sv},
    {"other c0 controls", "\x01\x1b\x1f"sv, R"("\u{1}\u{1b}\u{1f}")"sv},
    {"del", "\x7f"sv, R"("\u{7f}")"sv},
    {"c1 control", "\xc2\x80"sv, R"("\u{80}")"sv},
    {"no-break space",
     "a\xc2\xa0"
     "b"sv,
     R"("a\u{a0}b")"sv},
    {"line and paragraph separators", "\xe2\x80\xa8\xe2\x80\xa9"sv, R"("\u{2028}\u{2029}")"sv},
    {"ideographic space", "\xe3\x80\x80"sv, R"("\u{3000}")"sv},
    {"combining acute after e", "e\xcc\x81"sv, R"("e\u{301}")"sv},
    {"precomposed e acute stays raw", "\xc3\xa9"sv, "\"\xc3\xa9\""sv},
    {"zero width joiner", "\xe2\x80\x8d"sv, R"("\u{200d}")"sv},
    {"soft hyphen and byte order mark", "\xc2\xad\xef\xbb\xbf"sv, R"("\u{ad}\u{feff}")"sv},
    {"variation selector after heart", "\xe2\x9d\xa4\xef\xb8\x8f"sv, "\"\xe2\x9d\xa4\\u{fe0f}\""sv},
    {"private use", "\xee\x80\x80"sv, R"("\u{e000}")"sv},
    {"plane 15 private use", "\xf3\xb0\x80\x80"sv, R"("\u{f0000}")"sv},
    {"unassigned", "\xcd\xb8"sv, R"("\u{378}")"sv},
    {"noncharacter", "\xef\xbf\xbf"sv, R"("\u{ffff}")"sv},
    {"last code point", "\xf4\x8f\xbf\xbf"sv, R"("\u{10ffff}")"sv},
    {"emoji stays raw", "\xf0\x9f\x98\x80"sv, "\"\xf0\x9f\x98\x80\""sv},
    {"cjk stays raw", "\xe6\xbc\xa2\xe5\xad\x97"sv, "\"\xe6\xbc\xa2\xe5\xad\x97\""sv},
    {"hangul syllable stays raw", "\xed\x95\x9c"sv, "\"\xed\x95\x9c\""sv},
    {"cjk extension b stays raw", "\xf0\xa0\x80\x80"sv, "\"\xf0\xa0\x80\x80\""sv},
    // Malformed input: each byte that does not start a well-formed sequence is escaped alone.
    {"lone continuation byte",
     "\x80"
     "a"sv,
     R"("\u{80}a")"sv},
    {"invalid lead byte", "\xff"sv, R"("\u{ff}")"sv},
    {"truncated at the end", "\xf0\x9f\x98"sv, R"("\u{f0}\u{9f}\u{98}")"sv},
    {"missing continuation", "\xc3("sv, R"("\u{c3}(")"sv},
    {"overlong slash", "\xc0\xaf"sv, R"("\u{c0}\u{af}")"sv},
    {"beyond the last code point", "\xf4\x90\x80\x80"sv, R"("\u{f4}\u{90}\u{80}\u{80}")"sv},
    {"encoded surrogate", "\xed\xa0\x80"sv, R"("\u{d800}")"sv},
};

TEST(QuoteKind, WritesEachCharacterByItsRule) {
  for (const QuoteCase& c : kQuoteCases) {
    EXPECT_EQ(quote_kind(c.text), c.quoted) << c.name;
  }
}

TEST(QuoteKind, StopsAtTheEndOfTheViewInsideASequence) {
  // The euro sign cut after two bytes: the third byte is there in memory but not in the view.
  constexpr std::string_view euro = "\xe2\x82\xac";
  EXPECT_EQ(quote_kind(euro.substr(0, 2)), R"("\u{e2}\u{82}")");
}

TEST(UnicodeProps, RangesAreSortedMergedAndWithinUnicode) {
  const auto ranges = escaped_ranges();
  ASSERT_FALSE(ranges.empty());
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    EXPECT_LE(ranges[i].first, ranges[i].last) << "range " << i;
    EXPECT_LE(ranges[i].last, char32_t{0x10FFFF}) << "range " << i;
    if (i > 0) {
      // A gap of at least one code point, or the two would have been merged.
      EXPECT_GT(ranges[i].first, ranges[i - 1].last + 1) << "range " << i;
    }
  }
}

struct PropCase {
  char32_t cp;
  bool escaped;
};

// Edges of ranges, where an off-by-one in the search shows.
constexpr PropCase kPropCases[] = {
    {0x0000, true},   {0x001F, true},  {0x0020, false},  {0x007E, false},  {0x007F, true},
    {0x00A0, true},   {0x00A1, false}, {0x00AD, true},   {0x02FF, false},  {0x0300, true},
    {0x036F, true},   {0x0370, false}, {0x4E00, false},  {0x9FFF, false},  {0xD800, true},
    {0xDFFF, true},   {0xE000, true},  {0xF8FF, true},   {0xF900, false},  {0x1F600, false},
    {0x323AF, false}, {0x323B0, true}, {0x10FFFF, true}, {0x110000, true},
};

TEST(UnicodeProps, NeedsEscapeAtRangeEdges) {
  for (const PropCase& c : kPropCases) {
    EXPECT_EQ(needs_escape(c.cp), c.escaped) << std::hex << "U+" << static_cast<unsigned>(c.cp);
  }
}

}  // namespace
}  // namespace marlix::fleet
