#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "json/reader.hpp"
#include "json/writer.hpp"

namespace marlix::json {
namespace {

struct ErrorCase {
  std::string text;
  std::string expected;  // the error's full text form
};

class ReadErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(ReadErrorTest, ReportsKindLineAndColumn) {
  const ErrorCase& c = GetParam();
  auto result = read(c.text);
  ASSERT_FALSE(result.has_value()) << "accepted: " << c.text;
  EXPECT_EQ(result.error().text(), c.expected) << "input: " << c.text;
}

std::string nested(int depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

INSTANTIATE_TEST_SUITE_P(
    Errors, ReadErrorTest,
    testing::Values(
        // End of input: the position is always the text's length.
        ErrorCase{"", "EOF while parsing a value at line 1 column 0"},
        ErrorCase{"   ", "EOF while parsing a value at line 1 column 3"},
        ErrorCase{"\n\n", "EOF while parsing a value at line 3 column 0"},
        ErrorCase{"[", "EOF while parsing a list at line 1 column 1"},
        ErrorCase{"[1", "EOF while parsing a list at line 1 column 2"},
        ErrorCase{"[1,", "EOF while parsing a value at line 1 column 3"},
        ErrorCase{"{", "EOF while parsing an object at line 1 column 1"},
        ErrorCase{"{\"a\"", "EOF while parsing an object at line 1 column 4"},
        ErrorCase{"{\"a\":", "EOF while parsing a value at line 1 column 5"},
        ErrorCase{"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
        ErrorCase{"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
        ErrorCase{"\"ab", "EOF while parsing a string at line 1 column 3"},
        ErrorCase{"\"a\\", "EOF while parsing a string at line 1 column 3"},
        ErrorCase{"\"\\u12", "EOF while parsing a string at line 1 column 5"},
        ErrorCase{"\"\\uD800", "EOF while parsing a string at line 1 column 7"},
        ErrorCase{"\"\\uD800\\", "EOF while parsing a string at line 1 column 8"},
        ErrorCase{"tru", "EOF while parsing a value at line 1 column 3"},
        ErrorCase{"-", "EOF while parsing a value at line 1 column 1"},
        ErrorCase{"1.", "EOF while parsing a value at line 1 column 2"},
        ErrorCase{"1e", "EOF while parsing a value at line 1 column 2"},
        ErrorCase{"1e+", "EOF while parsing a value at line 1 column 3"},
        // Unexpected bytes: one past the byte where reading stopped.
        ErrorCase{"x", "expected value at line 1 column 1"},
        ErrorCase{"\xEF\xBB\xBF[]", "expected value at line 1 column 1"},
        ErrorCase{"+1", "expected value at line 1 column 1"},
        ErrorCase{".5", "expected value at line 1 column 1"},
        ErrorCase{"NaN", "expected value at line 1 column 1"},
        ErrorCase{"[] x", "trailing characters at line 1 column 4"},
        ErrorCase{"truex", "trailing characters at line 1 column 5"},
        ErrorCase{"[1,]", "trailing comma at line 1 column 4"},
        ErrorCase{"{\"a\":1,}", "trailing comma at line 1 column 8"},
        ErrorCase{"[1 2]", "expected `,` or `]` at line 1 column 4"},
        ErrorCase{"{\"a\":1 2}", "expected `,` or `}` at line 1 column 8"},
        ErrorCase{"{\"a\" 1}", "expected `:` at line 1 column 6"},
        ErrorCase{"{1:2}", "key must be a string at line 1 column 2"},
        ErrorCase{"{\"a\":1,2}", "key must be a string at line 1 column 8"},
        ErrorCase{"trux", "expected ident at line 1 column 4"},
        ErrorCase{"nul1", "expected ident at line 1 column 4"},
        ErrorCase{"01", "invalid number at line 1 column 2"},
        ErrorCase{"-a", "invalid number at line 1 column 2"},
        ErrorCase{"1.x", "invalid number at line 1 column 3"},
        ErrorCase{"1e-x", "invalid number at line 1 column 4"},
        ErrorCase{"1e400", "number out of range at line 1 column 5"},
        ErrorCase{"[1e400]", "number out of range at line 1 column 6"},
        ErrorCase{"-1e309", "number out of range at line 1 column 6"},
        ErrorCase{"1e99999999999", "number out of range at line 1 column 12"},
        ErrorCase{"-1e99999999999", "number out of range at line 1 column 13"},
        // An exponent held at the 32-bit limit still goes out of range after the whole number.
        ErrorCase{std::string(25, '1') + "e2147483647", "number out of range at line 1 column 36"},
        ErrorCase{"\"\\x\"", "invalid escape at line 1 column 3"},
        ErrorCase{"\"\\u12x4\"", "invalid escape at line 1 column 7"},
        ErrorCase{"\"\\uDC00\"", "lone leading surrogate in hex escape at line 1 column 7"},
        ErrorCase{"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
        ErrorCase{"\"\\uD800\\uD800\"", "lone leading surrogate in hex escape at line 1 column 13"},
        ErrorCase{"\"\\uD800\"", "unexpected end of hex escape at line 1 column 8"},
        ErrorCase{"\"\\uD800\\n\"", "unexpected end of hex escape at line 1 column 9"},
        ErrorCase{"\"a\nb\"",
                  "control character (\\u0000-\\u001F) found while parsing a string at line 2 "
                  "column 0"},
        ErrorCase{"\"\t\"",
                  "control character (\\u0000-\\u001F) found while parsing a string at line 1 "
                  "column 2"},
        // Columns count bytes; only line feeds start lines.
        ErrorCase{"\xC3\xA9x", "expected value at line 1 column 1"},
        ErrorCase{"[\n\xC3\xA9", "expected value at line 2 column 1"},
        ErrorCase{"[\"\xC3\xA9\" x]", "expected `,` or `]` at line 1 column 7"},
        ErrorCase{"[1,\r\n x]", "expected value at line 2 column 2"},
        ErrorCase{nested(128), "recursion limit exceeded at line 1 column 128"},
        ErrorCase{std::string(1000000, '['), "recursion limit exceeded at line 1 column 128"}));

TEST(ReadTest, ReadsDeepestAllowedNesting) {
  auto v = read(nested(127));
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(write(*v), nested(127));
}

struct NumberCase {
  std::string text;
  Number::Form form;
  std::uint64_t bits;  // the unsigned value, the negative value's bits, or the double's bits
};

std::uint64_t bits_of(double d) {
  return std::bit_cast<std::uint64_t>(d);
}

class NumberFormTest : public testing::TestWithParam<NumberCase> {};

TEST_P(NumberFormTest, KeepsTheFormAndValue) {
  const NumberCase& c = GetParam();
  auto v = read(c.text);
  ASSERT_TRUE(v.has_value()) << c.text << ": " << v.error().text();
  const Number* n = v->as_number();
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->form(), c.form) << c.text;
  if (c.form == Number::Form::Float) {
    EXPECT_EQ(bits_of(n->as_float()), c.bits) << c.text << " read as " << n->as_float();
  } else {
    EXPECT_EQ(n->as_unsigned(), c.bits) << c.text;
  }
}

constexpr auto U = Number::Form::Unsigned;
constexpr auto N = Number::Form::Negative;
constexpr auto F = Number::Form::Float;

INSTANTIATE_TEST_SUITE_P(
    Numbers, NumberFormTest,
    testing::Values(NumberCase{"0", U, 0}, NumberCase{"18446744073709551615", U, UINT64_MAX},
                    NumberCase{"18446744073709551616", F, bits_of(18446744073709551616.0)},
                    NumberCase{"-1", N, static_cast<std::uint64_t>(-1)},
                    NumberCase{"-9223372036854775808", N, std::uint64_t{1} << 63},
                    NumberCase{"-9223372036854775809", F, bits_of(-9223372036854775809.0)},
                    NumberCase{"-0", F, bits_of(-0.0)}, NumberCase{"-0.0", F, bits_of(-0.0)},
                    NumberCase{"1.0", F, bits_of(1.0)}, NumberCase{"1e3", F, bits_of(1000.0)},
                    NumberCase{"2.5e9", F, bits_of(2.5e9)}, NumberCase{"1E+2", F, bits_of(100.0)},
                    NumberCase{"1e-400", F, bits_of(0.0)}, NumberCase{"-1e-400", F, bits_of(-0.0)},
                    NumberCase{"0e99999999999", F, bits_of(0.0)},
                    NumberCase{"1e-99999999999", F, bits_of(0.0)},
                    NumberCase{"1e308", F, bits_of(1e308)}, NumberCase{"0.1", F, bits_of(0.1)},
                    NumberCase{"1.7976931348623157e308", F, bits_of(1.7976931348623157e308)},
                    // The integer part overflowing the significand: later digits only raise the
                    // exponent and every fraction digit is skipped.
                    NumberCase{"184467440737095516159", F, bits_of(18446744073709551615.0 * 10)},
                    NumberCase{"18446744073709551616.9", F, bits_of(1844674407370955161.0 * 10)},
                    // Significand and exponent as the algorithm computes them: s / P[k].
                    NumberCase{"1.5e-300", F, bits_of(15.0 / 1e301)},
                    NumberCase{"123e-400", F, bits_of(123.0 / 1e308 / 1e92)},
                    NumberCase{"5e-320", F, bits_of(5.0 / 1e308 / 1e12)},
                    // An exponent too long for 32 bits: zero when it is negative or s is 0.
                    NumberCase{"1e-2147483648", F, bits_of(0.0)},
                    NumberCase{"0e2147483648", F, bits_of(0.0)},
                    // The significand fills up inside the fraction; later digits are dropped.
                    NumberCase{"0.18446744073709551616", F,
                               bits_of(static_cast<double>(1844674407370955161ULL) / 1e19)},
                    NumberCase{"-18446744073709551616", F,
                               bits_of(-(static_cast<double>(1844674407370955161ULL) * 10))}));

// 1eK is exactly P[K], which must be the double nearest to 10^K.
TEST(ReadTest, PowersOfTenAreTheNearestDoubles) {
  for (int k = 0; k <= 308; ++k) {
    const std::string text = "1e" + std::to_string(k);
    auto v = read(text);
    ASSERT_TRUE(v.has_value()) << text;
    EXPECT_EQ(bits_of(v->as_number()->as_float()), bits_of(std::strtod(text.c_str(), nullptr)))
        << text;
  }
}

TEST(ReadElementsTest, HandsOverTopLevelElementsOnly) {
  std::vector<Value> seen;
  const auto keep = [&seen](Value&& v) { seen.push_back(std::move(v)); };

  auto rest = read_elements(R"( [1, [2, 3], {"a": [4]}] )", keep);
  ASSERT_TRUE(rest.has_value());
  ASSERT_NE(rest->as_array(), nullptr);
  EXPECT_TRUE(rest->as_array()->empty());
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], *read("1"));
  EXPECT_EQ(seen[1], *read("[2,3]"));
  EXPECT_EQ(seen[2], *read(R"({"a":[4]})"));

  // Any other top-level value comes back whole, and nothing is handed over.
  seen.clear();
  auto object = read_elements(R"({"a":[1,2]})", keep);
  ASSERT_TRUE(object.has_value());
  EXPECT_EQ(*object, *read(R"({"a":[1,2]})"));
  EXPECT_TRUE(seen.empty());

  // Errors are those of read(), at the same places.
  const std::string too_deep(128, '[');
  for (std::string_view text : {"[1, 2,]", "[1", "[1] 2", "", too_deep.c_str()}) {
    auto streamed = read_elements(text, keep);
    auto whole = read(text);
    ASSERT_FALSE(streamed.has_value()) << text;
    EXPECT_EQ(streamed.error(), whole.error()) << text;
  }
}

// Each element's slots must hold what a lookup on the element read whole would find.
TEST(ReadFieldsTest, SlotsAgreeWithLookupsOnTheTree) {
  // A key asked for twice fills both of its slots.
  constexpr std::array<std::string_view, 4> keys = {"a", "b", "long key beyond sixteen", "a"};
  const std::string texts[] = {
      R"([])",
      R"([{}, 1, "a", null, [{"a": 1}]])",
      R"([{"a": 1, "b": "x"}, {"b": [1, {"a": 2}], "c": {"a": 3}}])",
      R"([{"a": 1, "a": "second", "b": 2, "a": {"k": "third"}}])",
      R"([{"long key beyond sixteen": "v", "\u0061": true, "x": [[], {}]}])",
      R"([{"a": "reused", "b": "a longer text than the short string buffer"}, {"a": 7}])",
  };
  for (const std::string& text : texts) {
    const Value whole = *read(text);
    std::vector<std::optional<Value>> seen;
    auto rest = read_fields(text, keys, [&seen](std::span<const Value* const> found) {
      ASSERT_EQ(found.size(), 4u);
      for (const Value* v : found) {
        seen.push_back(v != nullptr ? std::optional(*v) : std::nullopt);
      }
    });
    ASSERT_TRUE(rest.has_value()) << text;
    EXPECT_EQ(*rest, Value::array({})) << text;
    const Array& elements = *whole.as_array();
    ASSERT_EQ(seen.size(), elements.size() * keys.size()) << text;
    for (std::size_t i = 0; i < elements.size(); ++i) {
      for (std::size_t k = 0; k < keys.size(); ++k) {
        const Value* expected = elements[i].find(keys[k]);
        const std::optional<Value>& got = seen[i * keys.size() + k];
        EXPECT_EQ(got.has_value(), expected != nullptr) << text << " element " << i;
        if (got && expected != nullptr) {
          EXPECT_EQ(*got, *expected) << text << " element " << i;
        }
      }
    }
  }
}

TEST(ReadFieldsTest, ErrorsAndOtherTopLevelValuesAreThoseOfRead) {
  constexpr std::array<std::string_view, 1> keys = {"a"};
  const auto ignore = [](std::span<const Value* const>) {};
  const std::string too_deep = "[" + std::string(127, '{');
  for (std::string_view text :
       {R"([{"a": 1,}])", R"([{"a" 1}])", R"([{"a": [1}])", R"([{1: 2}])", R"([{"a": 1})",
        R"([{"b": tru}])", too_deep.c_str(), R"({"a": [1, 2]})", R"("a")"}) {
    auto fields = read_fields(text, keys, ignore);
    auto whole = read(text);
    ASSERT_EQ(fields.has_value(), whole.has_value()) << text;
    if (whole) {
      EXPECT_EQ(*fields, *whole) << text;
    } else {
      EXPECT_EQ(fields.error(), whole.error()) << text;
    }
  }
}

TEST(ReadTest, StringsAndEscapes) {
  auto v = read(R"(["a\"\\\/\b\f\n\r\t", "\u0041\u00e9\u20AC", "\uD83D\uDE00", "\u0000"])");
  ASSERT_TRUE(v.has_value()) << v.error().text();
  const Array& a = *v->as_array();
  EXPECT_EQ(*a[0].as_string(), "a\"\\/\b\f\n\r\t");
  EXPECT_EQ(*a[1].as_string(), "A\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(*a[2].as_string(), "\xF0\x9F\x98\x80");
  EXPECT_EQ(*a[3].as_string(), std::string(1, '\0'));
}

// Strings are scanned a word at a time: a special byte is found wherever it falls in a word,
// and bytes that only look special to a sloppy word test (0x20, 0x21, 0x5B-0x5D, bytes above
// 0x7F) stay content.
TEST(ReadTest, SpecialBytesAreFoundAtEveryOffsetOfAWord) {
  for (std::size_t at = 0; at < 20; ++at) {
    for (const std::string& special :
         {std::string("\\n"), std::string("\\\""), std::string("\x1F")}) {
      const std::string prefix(at, 'x');
      const std::string text = "\"" + prefix + special + " !][\\\\\xC3\xA9\"";
      auto v = read(text);
      if (special == "\x1F") {
        ASSERT_FALSE(v.has_value()) << at;
        EXPECT_EQ(v.error().text(),
                  "control character (\\u0000-\\u001F) found while parsing a string at line 1 "
                  "column " +
                      std::to_string(at + 2));
        continue;
      }
      ASSERT_TRUE(v.has_value()) << at << ' ' << special;
      EXPECT_EQ(*v->as_string(), prefix + (special == "\\n" ? "\n" : "\"") + " !][\\\xC3\xA9");
      // The same string as a key and as a field's value.
      constexpr std::array<std::string_view, 1> keys = {"k"};
      std::string got;
      auto fields = read_fields(
          "[{" + text + ": 1, \"k\": " + text + "}]", keys,
          [&got](std::span<const Value* const> found) { got = *found[0]->as_string(); });
      ASSERT_TRUE(fields.has_value()) << at;
      EXPECT_EQ(got, *v->as_string()) << at;
    }
  }
}

// Eight digits are read at once, and a plain count far from the end of the text on a path of its
// own: every length of a count, and a non-digit at each of a word's eight places, each near the
// end of the text and followed by enough space to take the short path.
TEST(ReadTest, CountsOfEveryLengthAndBreak) {
  for (const std::string& tail : {std::string(), std::string(24, ' ')}) {
    std::string digits;
    std::uint64_t value = 0;
    for (int n = 1; n <= 20; ++n) {
      digits += static_cast<char>('0' + (n * 7) % 10 + (n == 1 ? 1 : 0));
      auto v = read(digits + tail);
      ASSERT_TRUE(v.has_value()) << digits;
      if (n <= 19) {
        value = value * 10 + static_cast<std::uint64_t>(digits.back() - '0');
        EXPECT_EQ(v->as_number()->form(), Number::Form::Unsigned) << digits;
        EXPECT_EQ(v->as_number()->as_unsigned(), value) << digits;
      } else {
        EXPECT_EQ(v->as_number()->form(), Number::Form::Float) << digits;
      }
    }
    // "[12345678" then "9]", with one byte of the first eight replaced.
    for (std::size_t at = 1; at < 9; ++at) {
      std::string text = "[123456789" + tail + "]";
      if (at > 1) {
        text[at] = ',';
        auto pair = read(text);
        ASSERT_TRUE(pair.has_value()) << text;
        const Array& both = *pair->as_array();
        ASSERT_EQ(both.size(), 2u) << text;
        EXPECT_EQ(both[0].as_number()->as_unsigned(), std::stoull(text.substr(1, at - 1)));
        EXPECT_EQ(both[1].as_number()->as_unsigned(), std::stoull(text.substr(at + 1))) << text;
      }
      text[at] = 'x';
      auto stopped = read(text);
      ASSERT_FALSE(stopped.has_value()) << text;
      EXPECT_EQ(stopped.error().text(), (at == 1 ? "expected value" : "expected `,` or `]`") +
                                            std::string(" at line 1 column ") +
                                            std::to_string(at + 1))
          << text;
    }
    // Fractions and exponents after a long run of digits leave the short path to the general one.
    for (const std::string& number : {std::string("123456789.5"), std::string("123456789e2")}) {
      auto v = read(number + tail);
      ASSERT_TRUE(v.has_value()) << number;
      EXPECT_EQ(v->as_number()->form(), Number::Form::Float) << number;
      EXPECT_EQ(v->as_number()->as_float(), std::stod(number)) << number;
    }
  }
}

TEST(ReadTest, RawNonAsciiAndDeleteAreContent) {
  auto v = read("\"\xE2\x80\x94\x7F\"");
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(*v->as_string(), "\xE2\x80\x94\x7F");
}

TEST(ReadTest, RepeatedKeyKeepsTheLastValueInKeyOrder) {
  auto v = read(R"({"b":1,"a":2,"b":3})");
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(write(*v), R"({"a":2,"b":3})");
  EXPECT_EQ(v->find("b")->as_number()->as_unsigned(), 3u);
  EXPECT_EQ(v->find("c"), nullptr);
  EXPECT_EQ(read("[1]")->find("a"), nullptr);
}

TEST(ReadTest, KeysIterateInByteOrder) {
  auto v = read(R"({"b":0,"ab":0,"a":0,"B":0,"\u00e9":0})");
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(write(*v), "{\"B\":0,\"a\":0,\"ab\":0,\"b\":0,\"\xC3\xA9\":0}");
}

TEST(ReadTest, WhitespaceIsTheFourJsonBytes) {
  EXPECT_TRUE(read(" \t\r\n[ 1 , 2 ]\n").has_value());
  EXPECT_FALSE(read("\f[]").has_value());
  EXPECT_FALSE(read("\xC2\xA0[]").has_value());
}

}  // namespace
}  // namespace marlix::json
