// The JSON reader on arbitrary bytes. It must never crash; an error must point inside the text;
// whatever it reads must survive being written and read again as the same tree; and the field
// read, which builds no elements, must agree with lookups on the tree, error for error.
//
// Floats are the one allowance. The writer gives the shortest digits that a correctly rounded
// conversion maps back to the double, but the reader computes a float as the significand times
// or divided by a power of ten, two roundings rather than one, so reading those digits may land a
// unit or two in the last place away. Form and sign must still survive exactly.
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "json/reader.hpp"
#include "json/value.hpp"
#include "json/writer.hpp"

namespace {

using marlix::fuzz::check;
using marlix::fuzz::fail;
namespace json = marlix::json;

constexpr std::uint64_t kFloatSlackUlps = 4;

std::size_t line_count(std::string_view text) {
  std::size_t lines = 1;
  for (char c : text) {
    lines += c == '\n' ? 1 : 0;
  }
  return lines;
}

// How far apart two doubles of the same sign are, in units in the last place.
std::uint64_t ulps_apart(double a, double b) {
  const auto x = std::bit_cast<std::uint64_t>(a);
  const auto y = std::bit_cast<std::uint64_t>(b);
  return x > y ? x - y : y - x;
}

bool same_number(const json::Number& a, const json::Number& b) {
  if (a.form() != json::Number::Form::Float || b.form() != json::Number::Form::Float) {
    return a == b;
  }
  return std::signbit(a.as_float()) == std::signbit(b.as_float()) &&
         ulps_apart(a.as_float(), b.as_float()) <= kFloatSlackUlps;
}

// Equality of trees, with the float allowance above.
bool same_tree(const json::Value& a, const json::Value& b) {
  if (a.kind() != b.kind()) {
    return false;
  }
  switch (a.kind()) {
    case json::Value::Kind::Number:
      return same_number(*a.as_number(), *b.as_number());
    case json::Value::Kind::Array: {
      const json::Array& x = *a.as_array();
      const json::Array& y = *b.as_array();
      if (x.size() != y.size()) {
        return false;
      }
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (!same_tree(x[i], y[i])) {
          return false;
        }
      }
      return true;
    }
    case json::Value::Kind::Object: {
      const auto x = a.as_object()->members();
      const auto y = b.as_object()->members();
      if (x.size() != y.size()) {
        return false;
      }
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (x[i].key != y[i].key || !same_tree(x[i].value, y[i].value)) {
          return false;
        }
      }
      return true;
    }
    default:
      return a == b;
  }
}

void check_error_position(std::string_view text, const json::ParseError& error) {
  const std::string message = error.text();
  check(error.line >= 1, "a parse error carries a line", message);
  check(error.line <= line_count(text), "the error line lies inside the text", message);
  check(error.column <= text.size(), "the error column lies inside the text", message);
  check(message.starts_with(json::kind_text(error.kind)), "the error text starts with its kind",
        message);
}

// Keys the roster reader looks up, a key repeated in an array of them, and the empty key.
constexpr std::array<std::string_view, 6> kKeys = {"model", "weightsBytes", "kvBytes", "a", "",
                                                   "a"};

void check_fields(std::string_view text, const std::expected<json::Value, json::ParseError>& tree) {
  std::vector<std::optional<json::Value>> copies;
  auto fields = json::read_fields(text, kKeys, [&](std::span<const json::Value* const> found) {
    check(found.size() == kKeys.size(), "one slot per key", std::string(text));
    for (const json::Value* v : found) {
      copies.push_back(v != nullptr ? std::optional(*v) : std::nullopt);
    }
  });
  if (!tree) {
    check(!fields && fields.error() == tree.error(), "the field read fails as read() does",
          std::string(text));
    return;
  }
  check(fields.has_value(), "the field read succeeds with read()", std::string(text));
  const json::Array* elements = tree->as_array();
  if (elements == nullptr) {
    check(*fields == *tree && copies.empty(), "a non-array comes back whole", std::string(text));
    return;
  }
  check(copies.size() == elements->size() * kKeys.size(), "every element is handed over",
        std::string(text));
  for (std::size_t i = 0; i < elements->size(); ++i) {
    for (std::size_t k = 0; k < kKeys.size(); ++k) {
      const json::Value* expected = (*elements)[i].find(kKeys[k]);
      const std::optional<json::Value>& got = copies[i * kKeys.size() + k];
      check(expected != nullptr ? got == *expected : !got.has_value(),
            "each slot holds what a lookup finds", std::string(text));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto first = json::read(text);
  check_fields(text, first);
  if (!first) {
    check_error_position(text, first.error());
    return 0;
  }
  const std::string written = json::write(*first);
  auto second = json::read(written);
  if (!second) {
    fail("written text reads back", second.error().text() + " in " + written);
  }
  check(same_tree(*second, *first), "the tree read back equals the tree written", written);
  if (*second == *first) {
    check(json::write(*second) == written, "writing is stable", written);
  }
  return 0;
}
