#include "json/text_out.hpp"

#include <algorithm>

#include "json/escape.hpp"

namespace marlix::json {

namespace {

// Sets the size of `text` to `size`, keeping its bytes below that and leaving any new ones
// unwritten: nothing is filled only to be overwritten, and room never reached is never touched.
void resize_unwritten(std::string& text, std::size_t size) {
  text.resize_and_overwrite(size, [](char*, std::size_t n) { return n; });
}

}  // namespace

TextOut::TextOut(std::size_t expected_size) : TextOut(expected_size, 0, std::nullopt) {}

TextOut::TextOut(std::size_t first_size, std::size_t block_size, std::optional<BlockTaker> take)
    : block_size_(block_size), take_(take) {
  resize_unwritten(text_, std::max<std::size_t>(first_size, 64));
  cursor_ = text_.data();
  end_ = cursor_ + text_.size();
}

void TextOut::grow(std::size_t n) {
  const std::size_t used = written();
  if (block_size_ != 0 && used + n > block_size_ && used > 0) {
    // The block goes to its reader, and the text goes on in the same room.
    (*take_)(std::string_view(text_.data(), used));
    if (const std::size_t size = std::max(block_size_, n); text_.size() < size) {
      text_.clear();  // nothing to carry over
      resize_unwritten(text_, size);
    }
    cursor_ = text_.data();
    end_ = cursor_ + text_.size();
    return;
  }
  // Doubling keeps piecemeal growth linear; a single large request gets just what it asks. A
  // block doubles only up to its full size.
  std::size_t size = n > text_.size() ? used + n : std::max(2 * text_.size(), used + n);
  if (block_size_ != 0) {
    size = std::max(used + n, std::min(size, block_size_));
  }
  text_.resize(used);  // only what is written is carried over
  resize_unwritten(text_, size);
  cursor_ = text_.data() + used;
  end_ = text_.data() + text_.size();
}

void TextOut::string_content(std::string_view s) {
  escape_pieces(s, [this](std::string_view piece) { text(piece); });
}

std::string TextOut::finish() && {
  text_.resize(written());
  cursor_ = end_ = nullptr;
  return std::move(text_);
}

}  // namespace marlix::json
