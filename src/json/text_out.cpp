#include "json/text_out.hpp"

#include <algorithm>

#include "json/escape.hpp"

namespace marlix::json {

TextOut::TextOut(std::size_t expected_size) {
  text_.resize(std::max<std::size_t>(expected_size, 64));
  cursor_ = text_.data();
  end_ = cursor_ + text_.size();
}

void TextOut::grow(std::size_t n) {
  const auto used = static_cast<std::size_t>(cursor_ - text_.data());
  text_.resize(std::max(2 * text_.size(), used + n));
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
