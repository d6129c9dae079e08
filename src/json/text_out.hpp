// An output text written through a cursor. Each piece makes sure of its room with one inline
// comparison and is then copied with no library call, which is what counts in documents
// assembled from many small pieces: a route answer, a plan.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace marlix::json {

class TextOut {
 public:
  // Room for `expected_size` bytes to begin with; more is found when a piece needs it.
  explicit TextOut(std::size_t expected_size);

  TextOut(const TextOut&) = delete;
  TextOut& operator=(const TextOut&) = delete;

  void text(std::string_view s) {
    room(s.size());
    std::memcpy(cursor_, s.data(), s.size());
    cursor_ += s.size();
  }
  void byte(char c) {
    room(1);
    *cursor_++ = c;
  }
  void unsigned_integer(std::uint64_t value) {
    room(kDigits);
    cursor_ = std::to_chars(cursor_, cursor_ + kDigits, value).ptr;
  }
  // A piece of at most `most` bytes, written by `write(char* at)`, which returns its end.
  template <typename Write>
  void piece(std::size_t most, Write&& write) {
    room(most);
    cursor_ = write(cursor_);
  }

  // Makes sure of room for `n` more bytes at once, for a writer that knows what comes next.
  void reserve(std::size_t n) { room(n); }

  // `s` as a quoted, escaped JSON string.
  void string(std::string_view s) {
    byte('"');
    string_content(s);
    byte('"');
  }
  // The escaped content of a JSON string alone, for a string assembled from pieces.
  void string_content(std::string_view s);

  // The text written, giving up the storage.
  std::string finish() &&;

 private:
  static constexpr std::size_t kDigits = 20;  // of the largest 64-bit count

  void room(std::size_t n) {
    if (static_cast<std::size_t>(end_ - cursor_) < n) {
      grow(n);
    }
  }
  void grow(std::size_t n);

  std::string text_;
  char* cursor_ = nullptr;
  char* end_ = nullptr;
};

}  // namespace marlix::json
