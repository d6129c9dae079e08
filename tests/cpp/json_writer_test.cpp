#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "json/reader.hpp"
#include "json/writer.hpp"

namespace marlix::json {
namespace {

TEST(WriteTest, EscapesOnlyWhatJsonRequires) {
  const std::string s = std::string("q\"b\\t\tc\x01z\x1f/\x7f\b\f\n\r\xE2\x80\x94") + '\0';
  EXPECT_EQ(write(Value::string(s)),
            "\"q\\\"b\\\\t\\tc\\u0001z\\u001f/\x7f\\b\\f\\n\\r\xE2\x80\x94\\u0000\"");
}

TEST(WriteTest, ObjectMembersComeInKeyOrderWithTheLaterValue) {
  Object o;
  o.insert("b", Value::unsigned_integer(1));
  o.insert("a", Value::boolean(false));
  o.insert("b", Value::unsigned_integer(2));
  o.insert("Z", Value::null());
  o.insert("committed_bytes", Value::array({}));
  o.insert("declared", Value::object({}));
  EXPECT_EQ(write(Value::object(std::move(o))),
            R"({"Z":null,"a":false,"b":2,"committed_bytes":[],"declared":{}})");
}

TEST(WriteTest, Numbers) {
  EXPECT_EQ(write(Value::unsigned_integer(UINT64_MAX)), "18446744073709551615");
  EXPECT_EQ(write(Value::number(Number::from_negative(INT64_MIN))), "-9223372036854775808");
  EXPECT_EQ(write(Value::number(Number::from_float(0.1))), "0.1");
  EXPECT_EQ(write(Value::number(Number::from_float(std::numeric_limits<double>::infinity()))),
            "null");
  EXPECT_EQ(write(Value::number(Number::from_float(std::nan("")))), "null");
}

TEST(WriteTest, FloatsReadBackToTheSameFloat) {
  // Compared as Numbers: the form and the bits must both survive, so 1.0 stays a float and -0.0
  // keeps its sign.
  for (double d : {0.1, 1e300, -2.5e-300, 5e-324, 1.7976931348623157e308, -0.0, 0.0, 1.0, 100.0,
                   -3.0, 1e21, 123456.789, 1152921504606846976.0, 1e-7}) {
    std::string text = write(Value::number(Number::from_float(d)));
    auto back = read(text);
    ASSERT_TRUE(back.has_value()) << text;
    EXPECT_EQ(*back->as_number(), Number::from_float(d)) << text;
  }
  EXPECT_EQ(write(Value::number(Number::from_float(100.0))), "100.0");
}

TEST(WriteTest, FloatsUseTheFewestSignificantDigits) {
  const std::pair<double, const char*> cases[] = {
      {1152921504606846976.0, "1.152921504606847e+18"},  // 2^60
      {123456789012345683968.0, "1.2345678901234568e+20"},
      {1e16, "1e+16"},
      {9007199254740993.0, "9007199254740992.0"},  // 2^53 + 1 rounds to 2^53
      {0.00001, "0.00001"},
      {0.000001, "1e-06"},
      {-2.5, "-2.5"},
  };
  for (const auto& [d, expected] : cases) {
    EXPECT_EQ(write(Value::number(Number::from_float(d))), expected);
  }
}

TEST(WriteTest, RoundTripsACompactDocument) {
  const std::string text = R"({"a":[1,-2,true,null,"x\n"],"b":{"c":{}}})";
  auto v = read(text);
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(write(*v), text);
}

}  // namespace
}  // namespace marlix::json
