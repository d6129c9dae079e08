// An output text written through a cursor. Each piece makes sure of its room with one inline
// comparison and is then copied with no library call, which is what counts in documents
// assembled from many small pieces: a route answer, a plan.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "core/decimal.hpp"
#include "core/function_ref.hpp"
#include "core/words.hpp"
#include "json/string_bytes.hpp"

namespace marlix::json {

// What a text in blocks hands each filled block to: the block is seen only during the call, and
// its room is then written over by the next one.
using BlockTaker = FunctionRef<void(std::string_view block)>;

class TextOut {
 public:
  // One contiguous text, with room for `expected_size` bytes to begin with; when a piece needs
  // more, the text moves to a larger buffer.
  explicit TextOut(std::size_t expected_size);

  // A text in blocks of `block_size` bytes (or one piece, if that is larger), each handed to
  // `take` as soon as the next piece does not fit in it. The first block starts with room for
  // `first_size` bytes and grows up to `block_size`; after that one block's room serves the whole
  // text. No block ends inside a piece, so none splits a UTF-8 sequence the writer was handed
  // whole, and a reader can turn each block into text of its own as it comes.
  static TextOut in_blocks(std::size_t block_size, std::size_t first_size, BlockTaker take) {
    return TextOut(first_size, std::max<std::size_t>(block_size, 64), take);
  }

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
    room(kDecimalDigitsMax);
    cursor_ = write_decimal(cursor_, value);
  }
  // A piece of at most `most` bytes, written by `write(char* at)`, which returns its end.
  template <typename Write>
  void piece(std::size_t most, Write&& write) {
    room(most);
    cursor_ = write(cursor_);
  }

  // Says that `n` more bytes follow, for a writer that knows what comes next: room is made for
  // them at once, unless the text is in blocks and they would not fit in one.
  void reserve(std::size_t n) {
    if (block_size_ == 0 || written() + n <= block_size_) {
      room(n);
    }
  }

  // `s` as a quoted, escaped JSON string.
  void string(std::string_view s) {
    if (plain_short_string(s)) {
      return;
    }
    byte('"');
    string_content(s);
    byte('"');
  }
  // The escaped content of a JSON string alone, for a string assembled from pieces.
  void string_content(std::string_view s);

  // The bytes written and not handed over: all of them, unless the text is in blocks.
  std::size_t held() const { return written(); }

  // The text written, giving up the storage; for a text in blocks, what follows the last block
  // handed over.
  std::string finish() &&;

 private:
  void room(std::size_t n) {
    if (static_cast<std::size_t>(end_ - cursor_) < n) {
      grow(n);
    }
  }
  void grow(std::size_t n);

  // A text of 4 to 16 bytes with nothing to escape, as most names are, written with its quotes
  // from two overlapping loads; false, with nothing written, for any other text.
  bool plain_short_string(std::string_view s) {
    const std::size_t n = s.size();
    const char* const from = s.data();
    if (n < 4 || n > 16) {
      return false;
    }
    if (n >= 8) {
      const std::uint64_t head = load8(from);
      const std::uint64_t tail = load8(from + n - 8);
      if (special_bytes(head) != 0 || special_bytes(tail) != 0) {
        return false;
      }
      room(n + 2);
      *cursor_ = '"';
      std::memcpy(cursor_ + 1, &head, 8);
      std::memcpy(cursor_ + 1 + n - 8, &tail, 8);
    } else {
      const std::uint32_t head = load4(from);
      const std::uint32_t tail = load4(from + n - 4);
      // Both words side by side in one, for a single test.
      if (special_bytes(head | (std::uint64_t{tail} << 32)) != 0) {
        return false;
      }
      room(n + 2);
      *cursor_ = '"';
      std::memcpy(cursor_ + 1, &head, 4);
      std::memcpy(cursor_ + 1 + n - 4, &tail, 4);
    }
    cursor_[n + 1] = '"';
    cursor_ += n + 2;
    return true;
  }
  TextOut(std::size_t first_size, std::size_t block_size, std::optional<BlockTaker> take);
  std::size_t written() const { return static_cast<std::size_t>(cursor_ - text_.data()); }

  std::string text_;            // the text, or the block being written
  std::size_t block_size_ = 0;  // 0: one contiguous text
  std::optional<BlockTaker> take_;
  char* cursor_ = nullptr;
  char* end_ = nullptr;
};

}  // namespace marlix::json
