// The JSON value tree shared by the reader and the writer.
//
// A value is null, a boolean, a number in one of three forms, a string, an array or an object.
// Objects keep each key once and iterate their members in ascending byte order of the keys, so
// every document written from a tree has one fixed member order.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace marlix::json {

// A number keeps the form the reader found it in: a non-negative integer that fits 64 bits, a
// negative integer that fits signed 64 bits, or a finite double for everything else.
class Number {
 public:
  enum class Form : std::uint8_t { Unsigned, Negative, Float };

  static constexpr Number from_unsigned(std::uint64_t v) { return Number(Form::Unsigned, v); }
  static constexpr Number from_negative(std::int64_t v) {
    return Number(Form::Negative, static_cast<std::uint64_t>(v));
  }
  static Number from_float(double v);

  constexpr Form form() const { return form_; }
  constexpr std::uint64_t as_unsigned() const { return bits_; }
  constexpr std::int64_t as_negative() const { return static_cast<std::int64_t>(bits_); }
  double as_float() const;

  friend bool operator==(const Number&, const Number&) = default;

 private:
  constexpr Number(Form form, std::uint64_t bits) : bits_(bits), form_(form) {}
  std::uint64_t bits_;  // the integer, or the double's bit pattern
  Form form_;
};

struct Member;
class Value;

using Array = std::vector<Value>;

// An object's members, kept sorted by key bytes with each key at most once.
class Object {
 public:
  // The special members are defined below, once Member is complete.
  Object();
  Object(const Object&);
  Object(Object&&) noexcept;
  Object& operator=(const Object&);
  Object& operator=(Object&&) noexcept;
  ~Object();

  // Takes members in any order; a repeated key keeps the value that came last.
  static Object from_unsorted(std::vector<Member> members);
  // The same, moving the members out of `members` (a reader's scratch space).
  static Object from_unsorted(std::span<Member> members);

  // Stores `value` under `key`, replacing the value of a key already present.
  void insert(std::string key, Value value);
  // Room for `count` members, for a builder that knows how many it will insert.
  void reserve(std::size_t count);
  const Value* find(std::string_view key) const;

  std::span<const Member> members() const;
  std::size_t size() const;
  bool empty() const;

  friend bool operator==(const Object&, const Object&);

 private:
  std::vector<Member> members_;
};

class Value {
 public:
  enum class Kind : std::uint8_t { Null, Boolean, Number, String, Array, Object };

  // Null. Made as the first alternative in place, which leaves the rest of the storage alone
  // (the default constructor would zero all of it first).
  Value() noexcept : payload_(std::in_place_index<0>) {}
  static Value null() { return Value(); }
  static Value boolean(bool b) { return Value(Payload(std::in_place_index<1>, b)); }
  static Value number(Number n) { return Value(Payload(std::in_place_index<2>, n)); }
  static Value unsigned_integer(std::uint64_t v) { return number(Number::from_unsigned(v)); }
  static Value string(std::string s) {
    return Value(Payload(std::in_place_index<3>, std::move(s)));
  }
  static Value array(Array a) { return Value(Payload(std::in_place_index<4>, std::move(a))); }
  static Value object(Object o) { return Value(Payload(std::in_place_index<5>, std::move(o))); }

  Kind kind() const { return static_cast<Kind>(payload_.index()); }
  bool is_null() const { return kind() == Kind::Null; }

  // Typed access; each returns null when the value is of another kind.
  const bool* as_boolean() const { return std::get_if<1>(&payload_); }
  const Number* as_number() const { return std::get_if<2>(&payload_); }
  const std::string* as_string() const { return std::get_if<3>(&payload_); }
  const Array* as_array() const { return std::get_if<4>(&payload_); }
  const Object* as_object() const { return std::get_if<5>(&payload_); }
  Object* as_object() { return std::get_if<5>(&payload_); }

  // Turns this value into a number, or into an empty string to be filled in, in place: a reader
  // that reuses a value keeps the storage of a string it held.
  void become_number(Number n) {
    if (Number* held = std::get_if<2>(&payload_)) {
      *held = n;  // a reused value that held a number: no variant switch
    } else {
      payload_.emplace<2>(n);
    }
  }
  std::string& become_string() {
    if (std::string* s = std::get_if<3>(&payload_)) {
      s->clear();
      return *s;
    }
    return payload_.emplace<3>();
  }

  // Member lookup: the value under `key` when this is an object holding it, otherwise null.
  const Value* find(std::string_view key) const;

  friend bool operator==(const Value&, const Value&) = default;

 private:
  using Payload = std::variant<std::monostate, bool, Number, std::string, Array, Object>;
  explicit Value(Payload p) : payload_(std::move(p)) {}
  Payload payload_;
};

struct Member {
  std::string key;
  Value value;

  friend bool operator==(const Member&, const Member&) = default;
};

// Defined here, where Member is complete: clang instantiates the vector's members as soon as they
// are named, and the vector needs its element type complete by then.
inline Object::Object() = default;
inline Object::Object(const Object&) = default;
inline Object::Object(Object&&) noexcept = default;
inline Object& Object::operator=(const Object&) = default;
inline Object& Object::operator=(Object&&) noexcept = default;
inline Object::~Object() = default;
inline std::span<const Member> Object::members() const {
  return members_;
}
inline void Object::reserve(std::size_t count) {
  members_.reserve(count);
}
inline std::size_t Object::size() const {
  return members_.size();
}
inline bool Object::empty() const {
  return members_.empty();
}

}  // namespace marlix::json
