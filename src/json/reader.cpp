#include "json/reader.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <span>

#include "core/internal_error.hpp"
#include "json/plain_count.hpp"
#include "json/string_bytes.hpp"

namespace marlix::json {

namespace {

constexpr double kPowersOfTen[] = {
#include "json/powers_of_ten.inc"
};
static_assert(std::size(kPowersOfTen) == 309);

constexpr std::uint8_t kMaxDepth = 128;

struct FieldRequest {
  const FieldKeys& keys;
  const FieldSink* sink;
  const PlainElement* plain = nullptr;
};

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// e + x (or e - x), held at the 32-bit limits.
std::int32_t add_saturated(std::int32_t e, std::int64_t delta) {
  std::int64_t sum = static_cast<std::int64_t>(e) + delta;
  if (sum > std::numeric_limits<std::int32_t>::max()) {
    return std::numeric_limits<std::int32_t>::max();
  }
  if (sum < std::numeric_limits<std::int32_t>::min()) {
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(sum);
}

// One forward pass over the text. Failures record a kind and the position one past the byte
// where reading stopped (or the text's length at end of input); nothing partial is returned.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  std::expected<Value, ParseError> run(const ElementSink* sink = nullptr,
                                       const FieldRequest* fields = nullptr) {
    Value root;
    skip_whitespace();
    const bool streamed = sink != nullptr || fields != nullptr;
    const bool read =
        streamed && !at_end() && peek() == '[' ? read_array(root, sink, fields) : read_value(root);
    if (!read) {
      return std::unexpected(error());
    }
    skip_whitespace();
    if (pos_ < text_.size()) {
      fail_at(ErrorKind::TrailingCharacters, pos_ + 1);
      return std::unexpected(error());
    }
    return root;
  }

 private:
  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }

  bool fail_at(ErrorKind kind, std::size_t p) {
    error_kind_ = kind;
    error_pos_ = p;
    return false;
  }
  // Fails on the byte at the current position.
  bool fail_here(ErrorKind kind) { return fail_at(kind, pos_ + 1); }
  bool fail_eof(ErrorKind kind) { return fail_at(kind, text_.size()); }

  ParseError error() const {
    std::size_t p = error_pos_;
    std::size_t line_start = 0;
    std::size_t line = 1;
    for (std::size_t i = 0; i < p; ++i) {
      if (text_[i] == '\n') {
        ++line;
        line_start = i + 1;
      }
    }
    return ParseError{error_kind_, line, p - line_start};
  }

  void skip_whitespace() {
    // Compact text has none, and every whitespace byte is at most a space.
    if (pos_ < text_.size() && static_cast<unsigned char>(text_[pos_]) > ' ') {
      return;
    }
    while (pos_ < text_.size()) {
      char c = text_[pos_];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
        return;
      }
      ++pos_;
    }
  }

  bool read_value(Value& out) {
    skip_whitespace();
    if (at_end()) {
      return fail_eof(ErrorKind::EofWhileParsingValue);
    }
    switch (peek()) {
      case '"':
        return read_string(out.become_string());
      case '[':
        return read_array(out);
      case '{':
        return read_object(out);
      case 't':
        return read_literal("true", Value::boolean(true), out);
      case 'f':
        return read_literal("false", Value::boolean(false), out);
      case 'n':
        return read_literal("null", Value::null(), out);
      default:
        if (peek() == '-' || is_digit(peek())) {
          return read_number(out);
        }
        return fail_here(ErrorKind::ExpectedValue);
    }
  }

  bool read_literal(std::string_view word, Value value, Value& out) {
    ++pos_;  // the first byte selected the literal
    for (std::size_t i = 1; i < word.size(); ++i) {
      if (at_end()) {
        return fail_eof(ErrorKind::EofWhileParsingValue);
      }
      if (peek() != word[i]) {
        return fail_here(ErrorKind::ExpectedIdent);
      }
      ++pos_;
    }
    out = std::move(value);
    return true;
  }

  // Nesting is bounded by this counter, so deep input cannot exhaust the stack.
  bool enter_container() {
    if (depth_ == 1) {
      return fail_here(ErrorKind::RecursionLimitExceeded);
    }
    --depth_;
    ++pos_;
    return true;
  }

  // With a sink, each element goes to it instead of into the array; with a field request, only
  // the values under its keys do.
  bool read_array(Value& out, const ElementSink* sink = nullptr,
                  const FieldRequest* fields = nullptr) {
    if (!enter_container()) {
      return false;
    }
    // Elements collect on a shared stack so the array is allocated once at its final size.
    const std::size_t base = elements_.size();
    skip_whitespace();
    if (at_end()) {
      return fail_eof(ErrorKind::EofWhileParsingList);
    }
    if (peek() != ']') {
      while (true) {
        if (fields != nullptr) {
          if (!read_plain_element(*fields) && !read_element_fields(*fields)) {
            return false;
          }
        } else if (Value element; !read_value(element)) {
          return false;
        } else if (sink != nullptr) {
          (*sink)(std::move(element));
        } else {
          elements_.push_back(std::move(element));
        }
        skip_whitespace();
        if (at_end()) {
          return fail_eof(ErrorKind::EofWhileParsingList);
        }
        if (peek() == ']') {
          break;
        }
        if (peek() != ',') {
          return fail_here(ErrorKind::ExpectedListCommaOrEnd);
        }
        ++pos_;
        skip_whitespace();
        if (at_end()) {
          return fail_eof(ErrorKind::EofWhileParsingValue);
        }
        if (peek() == ']') {
          return fail_here(ErrorKind::TrailingComma);
        }
      }
    }
    ++pos_;  // ']'
    ++depth_;
    Array items;
    items.reserve(elements_.size() - base);
    for (std::size_t i = base; i < elements_.size(); ++i) {
      items.push_back(std::move(elements_[i]));
    }
    elements_.resize(base);
    out = Value::array(std::move(items));
    return true;
  }

  // Reads an object from its '{' to its '}'. `members.key()` reads each key from its opening
  // quote, and `members.value()` the value after the colon, keeping the member as it sees fit.
  template <typename Members>
  bool read_members(Members& members) {
    if (!enter_container()) {
      return false;
    }
    skip_whitespace();
    if (at_end()) {
      return fail_eof(ErrorKind::EofWhileParsingObject);
    }
    if (peek() != '}') {
      while (true) {
        if (peek() != '"') {
          return fail_here(ErrorKind::KeyMustBeAString);
        }
        if (!members.key()) {
          return false;
        }
        skip_whitespace();
        if (at_end()) {
          return fail_eof(ErrorKind::EofWhileParsingObject);
        }
        if (peek() != ':') {
          return fail_here(ErrorKind::ExpectedColon);
        }
        ++pos_;
        if (!members.value()) {
          return false;
        }
        skip_whitespace();
        if (at_end()) {
          return fail_eof(ErrorKind::EofWhileParsingObject);
        }
        if (peek() == '}') {
          break;
        }
        if (peek() != ',') {
          return fail_here(ErrorKind::ExpectedObjectCommaOrEnd);
        }
        ++pos_;
        skip_whitespace();
        if (at_end()) {
          return fail_eof(ErrorKind::EofWhileParsingValue);
        }
        if (peek() == '}') {
          return fail_here(ErrorKind::TrailingComma);
        }
      }
    }
    ++pos_;  // '}'
    ++depth_;
    return true;
  }

  // Members of a tree object collect on a shared stack, so the object is allocated once.
  struct TreeMembers {
    Reader& reader;
    Member member;

    bool key() {
      member.key.clear();
      return reader.read_string(member.key);
    }
    bool value() {
      if (!reader.read_value(member.value)) {
        return false;
      }
      reader.members_.push_back(std::move(member));
      return true;
    }
  };

  bool read_object(Value& out) {
    const std::size_t base = members_.size();
    TreeMembers members{*this, {}};
    if (!read_members(members)) {
      return false;
    }
    out = Value::object(
        Object::from_unsorted(std::span<Member>(members_).subspan(base, members_.size() - base)));
    members_.resize(base);
    return true;
  }

  // The members of an element read for a few keys: a value under one of them is kept in that
  // key's slot (a repeated key overwrites it, as in a tree), any other value is read and dropped.
  struct FieldMembers {
    Reader& reader;
    std::span<const std::string_view> keys;
    std::span<const Value*> found;
    std::string_view key_read;

    bool key() { return reader.read_key(key_read); }
    bool value() {
      // The first position of a key matches first, so a repeated key lands at its first slot.
      for (std::size_t i = 0; i < keys.size(); ++i) {
        if (same_text(keys[i], key_read)) {
          Value& slot = reader.fields_[i];
          found[i] = &slot;
          return reader.read_value(slot);
        }
      }
      return reader.read_value(reader.dropped_);
    }
  };

  // An element the caller reads itself, if it does; true when it did.
  bool read_plain_element(const FieldRequest& request) {
    if (request.plain == nullptr) {
      return false;
    }
    skip_whitespace();
    const std::size_t end = (*request.plain)(text_, pos_);
    if (end == pos_) {
      return false;
    }
    if (end < pos_ || end > text_.size()) {
      throw InternalError("an element read outside the text");
    }
    pos_ = end;
    return true;
  }

  // One element of the top-level array, handed to the sink as the values under `keys`.
  bool read_element_fields(const FieldRequest& request) {
    std::array<const Value*, kMaxFields> found{};
    const std::span<const Value*> slots(found.data(), request.keys.keys().size());
    skip_whitespace();
    if (!at_end() && peek() == '{') {
      FieldMembers members{*this, request.keys.keys(), slots, {}};
      if (!read_members(members)) {
        return false;
      }
    } else if (!read_value(dropped_)) {
      return false;
    }
    if (request.keys.repeats()) {
      // Every slot of the same key finds its value, as a lookup under each would.
      for (std::size_t j = 0; j < slots.size(); ++j) {
        slots[j] = slots[request.keys.first_of(j)];
      }
    }
    (*request.sink)(std::span<const Value* const>(slots));
    return true;
  }

  // Reads the four hex digits after "\u". `pos_` is at the first of them.
  bool read_hex_unit(std::uint32_t& unit) {
    if (text_.size() - pos_ < 4) {
      return fail_eof(ErrorKind::EofWhileParsingString);
    }
    unit = 0;
    bool ok = true;
    for (int i = 0; i < 4; ++i) {
      int h = hex_value(text_[pos_ + i]);
      ok = ok && h >= 0;
      unit = unit * 16 + static_cast<std::uint32_t>(h < 0 ? 0 : h);
    }
    pos_ += 4;
    if (!ok) {
      return fail_at(ErrorKind::InvalidEscape, pos_);
    }
    return true;
  }

  // `pos_` is at the 'u' of a "\u" escape.
  bool read_unicode_escape(std::string& out) {
    ++pos_;
    std::uint32_t first = 0;
    if (!read_hex_unit(first)) {
      return false;
    }
    if (first < 0xD800 || first > 0xDFFF) {
      append_utf8(out, first);
      return true;
    }
    if (first >= 0xDC00) {
      return fail_at(ErrorKind::LoneLeadingSurrogateInHexEscape, pos_);
    }
    // A high surrogate must be followed at once by "\u" and a low one.
    if (at_end()) {
      return fail_eof(ErrorKind::EofWhileParsingString);
    }
    if (peek() != '\\') {
      return fail_here(ErrorKind::UnexpectedEndOfHexEscape);
    }
    ++pos_;
    if (at_end()) {
      return fail_eof(ErrorKind::EofWhileParsingString);
    }
    if (peek() != 'u') {
      return fail_here(ErrorKind::UnexpectedEndOfHexEscape);
    }
    ++pos_;
    std::uint32_t second = 0;
    if (!read_hex_unit(second)) {
      return false;
    }
    if (second < 0xDC00 || second > 0xDFFF) {
      return fail_at(ErrorKind::LoneLeadingSurrogateInHexEscape, pos_);
    }
    append_utf8(out, 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00));
    return true;
  }

  // Where the run of ordinary string content from `from` ends: at the first quotation mark,
  // backslash or control character, or at the end of the text.
  std::size_t ordinary_run_end(std::size_t from) const {
    return first_special(text_.data(), from, text_.size());
  }

  // Reads a string at its opening quote as a view: of the text itself when it holds no escape,
  // otherwise of `key_`, which then holds it decoded. Keys compared and dropped need no copy.
  bool read_key(std::string_view& key) {
    const std::size_t start = pos_ + 1;
    const std::size_t end = ordinary_run_end(start);
    if (end < text_.size() && text_[end] == '"') {
      key = text_.substr(start, end - start);
      pos_ = end + 1;
      return true;
    }
    key_.clear();
    if (!read_string(key_)) {
      return false;
    }
    key = key_;
    return true;
  }

  // `pos_` is at the opening quote.
  bool read_string(std::string& out) {
    ++pos_;
    std::size_t run_start = pos_;
    while (true) {
      // Ordinary bytes are taken in runs and copied once.
      pos_ = ordinary_run_end(pos_);
      if (at_end()) {
        return fail_eof(ErrorKind::EofWhileParsingString);
      }
      out.append(text_.data() + run_start, pos_ - run_start);
      char c = peek();
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c != '\\') {
        return fail_here(ErrorKind::ControlCharacterWhileParsingString);
      }
      ++pos_;
      if (at_end()) {
        return fail_eof(ErrorKind::EofWhileParsingString);
      }
      switch (peek()) {
        case '"':
          out.push_back('"');
          break;
        case '\\':
          out.push_back('\\');
          break;
        case '/':
          out.push_back('/');
          break;
        case 'b':
          out.push_back('\b');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'u':
          if (!read_unicode_escape(out)) {
            return false;
          }
          run_start = pos_;
          continue;
        default:
          return fail_here(ErrorKind::InvalidEscape);
      }
      ++pos_;
      run_start = pos_;
    }
  }

  // Expects a digit at the current position; reports end of input or a non-digit.
  bool expect_digit() {
    if (at_end()) {
      return fail_eof(ErrorKind::EofWhileParsingValue);
    }
    if (!is_digit(peek())) {
      return fail_here(ErrorKind::InvalidNumber);
    }
    return true;
  }

  // The usual byte count, read without the general path's bookkeeping; false, with nothing
  // read, for any other number.
  bool read_plain_count(Value& out) {
    const std::optional<PlainCount> count = plain_count(text_, pos_);
    if (!count) {
      return false;
    }
    pos_ = count->end;
    out.become_number(Number::from_unsigned(count->value));
    return true;
  }

  bool read_number(Value& out) {
    if (read_plain_count(out)) {
      return true;
    }
    bool negative = false;
    if (peek() == '-') {
      negative = true;
      ++pos_;
    }
    if (!expect_digit()) {
      return false;
    }

    std::uint64_t s = 0;      // significand
    std::int32_t e = 0;       // decimal exponent
    bool overflowed = false;  // the significand took its last digit
    bool is_integer = true;

    // Adds one digit to the significand unless it would overflow 64 bits.
    auto add_digit = [&](char c) {
      auto d = static_cast<std::uint64_t>(c - '0');
      if (s > 1844674407370955161ULL || (s == 1844674407370955161ULL && d > 5)) {
        overflowed = true;
        return false;
      }
      s = s * 10 + d;
      return true;
    };

    if (peek() == '0') {
      ++pos_;
      if (!at_end() && is_digit(peek())) {
        return fail_here(ErrorKind::InvalidNumber);
      }
    } else {
      // Nineteen digits always fit in 64 bits: those are taken without checking.
      const std::size_t sure_end = std::min(text_.size(), pos_ + 19);
      std::size_t p = pos_;
      while (p < sure_end && is_digit(text_[p])) {
        s = s * 10 + static_cast<std::uint64_t>(text_[p] - '0');
        ++p;
      }
      pos_ = p;
      while (!at_end() && is_digit(peek())) {
        if (overflowed || !add_digit(peek())) {
          e = add_saturated(e, 1);
        }
        ++pos_;
      }
    }

    if (!at_end() && peek() == '.') {
      is_integer = false;
      ++pos_;
      if (!expect_digit()) {
        return false;
      }
      while (!at_end() && is_digit(peek())) {
        // Once the significand is full, further fraction digits cannot change it.
        if (!overflowed && add_digit(peek())) {
          e = add_saturated(e, -1);
        }
        ++pos_;
      }
    }

    bool zero_by_exponent = false;
    if (!at_end() && (peek() == 'e' || peek() == 'E')) {
      is_integer = false;
      ++pos_;
      bool exp_negative = false;
      if (!at_end() && (peek() == '+' || peek() == '-')) {
        exp_negative = peek() == '-';
        ++pos_;
      }
      if (!expect_digit()) {
        return false;
      }
      std::int32_t x = 0;
      bool x_overflowed = false;
      while (!at_end() && is_digit(peek())) {
        if (!x_overflowed) {
          int d = peek() - '0';
          if (x > 214748364 || (x == 214748364 && d > 7)) {
            if (s != 0 && !exp_negative) {
              return fail_here(ErrorKind::NumberOutOfRange);
            }
            x_overflowed = true;
            zero_by_exponent = true;
          } else {
            x = x * 10 + d;
          }
        }
        ++pos_;
      }
      if (!x_overflowed) {
        e = add_saturated(e, exp_negative ? -static_cast<std::int64_t>(x) : x);
      }
    }

    if (is_integer && !overflowed) {
      if (!negative) {
        out.become_number(Number::from_unsigned(s));
        return true;
      }
      constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
      if (s >= 1 && s <= kMinMagnitude) {
        // -s computed in unsigned arithmetic, so -2^63 does not overflow.
        out.become_number(Number::from_negative(static_cast<std::int64_t>(0 - s)));
        return true;
      }
      double f = static_cast<double>(s);
      out.become_number(Number::from_float(-f));
      return true;
    }

    double f = 0.0;
    if (!zero_by_exponent) {
      f = static_cast<double>(s);
      std::int64_t exp = e;
      while ((exp < 0 ? -exp : exp) > 308) {
        if (f == 0.0) {
          break;
        }
        if (exp > 0) {
          return fail_at(ErrorKind::NumberOutOfRange, pos_);
        }
        f /= 1e308;
        exp += 308;
      }
      // A zero significand leaves the loop early with the exponent still out of reach.
      std::int64_t k = exp < 0 ? -exp : exp;
      if (k <= 308) {
        if (exp >= 0) {
          f *= kPowersOfTen[k];
          if (std::isinf(f)) {
            return fail_at(ErrorKind::NumberOutOfRange, pos_);
          }
        } else {
          f /= kPowersOfTen[k];
        }
      }
    }
    out.become_number(Number::from_float(negative ? -f : f));
    return true;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::uint8_t depth_ = kMaxDepth;
  ErrorKind error_kind_ = ErrorKind::ExpectedValue;
  std::size_t error_pos_ = 0;
  std::vector<Value> elements_;
  std::vector<Member> members_;
  // Scratch space of a field read: the current key, each key's value, and a value not wanted.
  std::string key_;
  std::array<Value, kMaxFields> fields_;
  Value dropped_;
};

}  // namespace

std::string_view kind_text(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::EofWhileParsingList:
      return "EOF while parsing a list";
    case ErrorKind::EofWhileParsingObject:
      return "EOF while parsing an object";
    case ErrorKind::EofWhileParsingString:
      return "EOF while parsing a string";
    case ErrorKind::EofWhileParsingValue:
      return "EOF while parsing a value";
    case ErrorKind::ExpectedColon:
      return "expected `:`";
    case ErrorKind::ExpectedListCommaOrEnd:
      return "expected `,` or `]`";
    case ErrorKind::ExpectedObjectCommaOrEnd:
      return "expected `,` or `}`";
    case ErrorKind::ExpectedIdent:
      return "expected ident";
    case ErrorKind::ExpectedValue:
      return "expected value";
    case ErrorKind::InvalidEscape:
      return "invalid escape";
    case ErrorKind::InvalidNumber:
      return "invalid number";
    case ErrorKind::NumberOutOfRange:
      return "number out of range";
    case ErrorKind::ControlCharacterWhileParsingString:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case ErrorKind::KeyMustBeAString:
      return "key must be a string";
    case ErrorKind::LoneLeadingSurrogateInHexEscape:
      return "lone leading surrogate in hex escape";
    case ErrorKind::TrailingComma:
      return "trailing comma";
    case ErrorKind::TrailingCharacters:
      return "trailing characters";
    case ErrorKind::UnexpectedEndOfHexEscape:
      return "unexpected end of hex escape";
    case ErrorKind::RecursionLimitExceeded:
      return "recursion limit exceeded";
  }
  return "unknown error";
}

std::string ParseError::text() const {
  std::string out(kind_text(kind));
  if (line != 0) {
    out += " at line ";
    out += std::to_string(line);
    out += " column ";
    out += std::to_string(column);
  }
  return out;
}

std::expected<Value, ParseError> read(std::string_view text) {
  return Reader(text).run();
}

std::expected<Value, ParseError> read_elements(std::string_view text, const ElementSink& element) {
  return Reader(text).run(&element);
}

std::expected<Value, ParseError> read_fields(std::string_view text,
                                             std::span<const std::string_view> keys,
                                             FieldSink fields) {
  return read_fields(text, FieldKeys(keys), fields);
}

std::expected<Value, ParseError> read_fields(std::string_view text, const FieldKeys& keys,
                                             FieldSink fields) {
  const FieldRequest request{keys, &fields};
  return Reader(text).run(nullptr, &request);
}

std::expected<Value, ParseError> read_fields(std::string_view text, const FieldKeys& keys,
                                             FieldSink fields, PlainElement plain) {
  const FieldRequest request{keys, &fields, &plain};
  return Reader(text).run(nullptr, &request);
}

}  // namespace marlix::json
