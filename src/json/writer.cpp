#include "json/writer.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <string_view>

#include "core/internal_error.hpp"
#include "json/escape.hpp"

namespace marlix::json {

namespace {

template <typename T>
void append_integer(std::string& out, T v) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  if (ec != std::errc()) {
    throw InternalError("integer does not fit its buffer");
  }
  out.append(buf, end);
}

void write_number(std::string& out, const Number& n) {
  switch (n.form()) {
    case Number::Form::Unsigned:
      append_integer(out, n.as_unsigned());
      return;
    case Number::Form::Negative:
      append_integer(out, n.as_negative());
      return;
    case Number::Form::Float: {
      double d = n.as_float();
      if (!std::isfinite(d)) {
        out += "null";
        return;
      }
      // The shortest digits that read back to the same double. Fixed notation would spell out
      // every integer digit of a large double (2^60 has 19), so from 10^16 on, and below 10^-5,
      // the exponent form keeps the digits to the shortest.
      const double magnitude = std::fabs(d);
      const bool fixed = magnitude == 0.0 || (magnitude >= 1e-5 && magnitude < 1e16);
      char buf[32];
      auto [end, ec] =
          std::to_chars(buf, buf + sizeof buf, d,
                        fixed ? std::chars_format::fixed : std::chars_format::scientific);
      if (ec != std::errc()) {
        throw InternalError("double does not fit its buffer");
      }
      out.append(buf, end);
      // A whole float such as 100.0 comes out as "100", which would read back as an integer.
      if (std::string_view(buf, end).find_first_of(".e") == std::string_view::npos) {
        out += ".0";
      }
      return;
    }
  }
}

}  // namespace

void write_string(std::string& out, std::string_view s) {
  out.push_back('"');
  write_string_content(out, s);
  out.push_back('"');
}

void write_string_content(std::string& out, std::string_view s) {
  escape_pieces(s, [&out](std::string_view piece) { out += piece; });
}

void write_to(std::string& out, const Value& value) {
  switch (value.kind()) {
    case Value::Kind::Null:
      out += "null";
      return;
    case Value::Kind::Boolean:
      out += *value.as_boolean() ? "true" : "false";
      return;
    case Value::Kind::Number:
      write_number(out, *value.as_number());
      return;
    case Value::Kind::String:
      write_string(out, *value.as_string());
      return;
    case Value::Kind::Array: {
      out.push_back('[');
      bool first = true;
      for (const Value& element : *value.as_array()) {
        if (!first) {
          out.push_back(',');
        }
        first = false;
        write_to(out, element);
      }
      out.push_back(']');
      return;
    }
    case Value::Kind::Object: {
      out.push_back('{');
      bool first = true;
      for (const Member& member : value.as_object()->members()) {
        if (!first) {
          out.push_back(',');
        }
        first = false;
        write_string(out, member.key);
        out.push_back(':');
        write_to(out, member.value);
      }
      out.push_back('}');
      return;
    }
  }
}

std::string write(const Value& value) {
  std::string out;
  write_to(out, value);
  return out;
}

}  // namespace marlix::json
