#include "fleet/quote_kind.hpp"

#include <charconv>
#include <cstddef>

#include "fleet/unicode_props.hpp"

namespace marlix::fleet {

namespace {

// One step of UTF-8 decoding: the code point and how many bytes it took. `valid` is false for a
// malformed, overlong or truncated sequence; `cp` is then the first byte's value and `length` 1,
// so that byte alone is escaped and decoding resumes right after it.
struct Decoded {
  char32_t cp;
  std::size_t length;
  bool valid;
};

bool is_continuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// Decodes the sequence at the start of `bytes`, which is not empty, reading no byte past its end.
// An encoded surrogate is decoded as such; the table escapes it.
Decoded decode_one(std::string_view bytes) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  const Decoded malformed{lead, 1, false};
  if (lead < 0x80) {
    return {lead, 1, true};
  }

  std::size_t length = 0;
  char32_t cp = 0;
  char32_t smallest = 0;  // anything below is an overlong form
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    cp = lead & 0x1F;
    smallest = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    cp = lead & 0x0F;
    smallest = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    cp = lead & 0x07;
    smallest = 0x10000;
  } else {
    return malformed;
  }

  if (bytes.size() < length) {
    return malformed;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (!is_continuation(byte)) {
      return malformed;
    }
    cp = (cp << 6) | (byte & 0x3F);
  }
  if (cp < smallest || cp > 0x10FFFF) {
    return malformed;
  }
  return {cp, length, true};
}

// Appends \u{hex}: lowercase, no leading zeros.
void append_code_point_escape(std::string& out, char32_t cp) {
  char digits[8];
  const auto result =
      std::to_chars(digits, digits + sizeof digits, static_cast<unsigned long>(cp), 16);
  out += "\\u{";
  out.append(digits, result.ptr);
  out += '}';
}

// The short escape for `cp`, or nullptr when it has none.
const char* short_escape(char32_t cp) {
  switch (cp) {
    case U'"':
      return "\\\"";
    case U'\\':
      return "\\\\";
    case U'\t':
      return "\\t";
    case U'\r':
      return "\\r";
    case U'\n':
      return "\\n";
    case U'\0':
      return "\\0";
    default:
      return nullptr;
  }
}

}  // namespace

std::string quote_kind(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  while (!text.empty()) {
    const Decoded d = decode_one(text);
    if (!d.valid) {
      append_code_point_escape(out, d.cp);
    } else if (const char* escape = short_escape(d.cp)) {
      out += escape;
    } else if (needs_escape(d.cp)) {
      append_code_point_escape(out, d.cp);
    } else {
      out.append(text.substr(0, d.length));
    }
    text.remove_prefix(d.length);
  }
  out += '"';
  return out;
}

}  // namespace marlix::fleet
