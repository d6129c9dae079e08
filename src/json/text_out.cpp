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

TextOut::TextOut(std::size_t expected_size) {
  resize_unwritten(text_, std::max<std::size_t>(expected_size, 64));
  cursor_ = text_.data();
  end_ = cursor_ + text_.size();
}

void TextOut::grow(std::size_t n) {
  const auto used = static_cast<std::size_t>(cursor_ - text_.data());
  // Doubling keeps piecemeal growth linear; a single large request gets just what it asks.
  const std::size_t size = n > text_.size() ? used + n : std::max(2 * text_.size(), used + n);
  text_.resize(used);  // only what is written is carried over
  resize_unwritten(text_, size);
  cursor_ = text_.data() + used;
  end_ = text_.data() + text_.size();
}

void TextOut::string_content(std::string_view s) {
  escape_pieces(s, [this](std::string_view piece) { text(piece); });
}

std::string TextOut::finish() && {
  text_.resize(static_cast<std::size_t>(cursor_ - text_.data()));
  cursor_ = end_ = nullptr;
  return std::move(text_);
}

}  // namespace marlix::json
