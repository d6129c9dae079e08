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

TextOut::TextOut(std::size_t expected_size) : TextOut(expected_size, 0) {}

TextOut::TextOut(std::size_t first_size, std::size_t block_size) : block_size_(block_size) {
  resize_unwritten(text_, std::max<std::size_t>(first_size, 64));
  cursor_ = text_.data();
  end_ = cursor_ + text_.size();
}

void TextOut::grow(std::size_t n) {
  const std::size_t used = written();
  if (block_size_ != 0 && used + n > block_size_ && used > 0) {
    // The block is kept as it is and the text goes on in a new one.
    text_.resize(used);
    filled_.push_back(std::move(text_));
    text_ = std::string();
    resize_unwritten(text_, std::max(block_size_, n));
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
  if (filled_.empty()) {
    return std::move(text_);
  }
  std::size_t size = text_.size();
  for (const std::string& block : filled_) {
    size += block.size();
  }
  std::string whole;
  whole.reserve(size);
  for (const std::string& block : filled_) {
    whole += block;
  }
  whole += text_;
  return whole;
}

TextBlocks TextOut::finish_blocks() && {
  text_.resize(written());
  cursor_ = end_ = nullptr;
  return TextBlocks{std::move(filled_), std::move(text_)};
}

}  // namespace marlix::json
