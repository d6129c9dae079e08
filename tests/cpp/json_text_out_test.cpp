#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "json/text_out.hpp"
#include "json/writer.hpp"

namespace marlix::json {
namespace {

// The same pieces through every kind of call, into `out`.
void write_pieces(TextOut& out, const std::vector<std::string>& names) {
  out.byte('[');
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      out.byte(',');
    }
    out.string(names[i]);
    out.unsigned_integer(i * 1000003);
    out.piece(8, [](char* at) {
      for (char c : std::string_view("\xE2\x80\x94ok")) {
        *at++ = c;
      }
      return at;
    });
    if (i % 7 == 0) {
      out.reserve(300);
    }
  }
  out.text("]");
}

bool is_continuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

TEST(TextOutTest, BlocksHoldTheContiguousTextWithoutSplittingASequence) {
  std::vector<std::string> names;
  for (int i = 0; i < 400; ++i) {
    // Names of every length up to a few blocks, in one-, two-, three- and four-byte characters,
    // with bytes that escaping lengthens.
    std::string name;
    for (int j = 0; j < i % 53; ++j) {
      static constexpr std::string_view kChars[] = {
          "a", "\xC3\xA9", "\xE2\x80\x94", "\xF0\x9F\x98\x80", "\"", "\x01"};
      name += kChars[(i + j) % 6];
    }
    names.push_back(name);
  }
  TextOut contiguous(16);
  write_pieces(contiguous, names);
  const std::string whole = std::move(contiguous).finish();

  for (std::size_t block_size : {0, 1, 64, 100, 1000, 1 << 20}) {
    SCOPED_TRACE(block_size);
    std::vector<std::string> blocks;
    const auto take = [&blocks](std::string_view block) { blocks.emplace_back(block); };
    TextOut in_blocks = TextOut::in_blocks(block_size, 16, take);
    write_pieces(in_blocks, names);
    const std::string last = std::move(in_blocks).finish();
    EXPECT_EQ(blocks.empty(), block_size >= whole.size());
    std::string joined;
    for (const std::string& block : blocks) {
      // A block is handed over only when a piece does not fit, so blocks are as full as pieces
      // let them be: each holds more than its size less the largest piece (an escaped name).
      EXPECT_GT(block.size() + 6 * 52 + 2, std::max<std::size_t>(block_size, 64));
      joined += block;
    }
    joined += last;
    EXPECT_EQ(joined, whole);
    blocks.push_back(last);
    for (const std::string& block : blocks) {
      EXPECT_FALSE(block.empty());
      EXPECT_FALSE(is_continuation(block.front()));
    }
  }
}

TEST(TextOutTest, AStringIsEscapedAsTheWriterEscapesItAtEveryLengthAndPlace) {
  // Short texts take a road of their own; a byte to escape (or one beside the special ones) at
  // each place of each length around it must come out as the writer writes it.
  for (std::size_t n = 0; n <= 20; ++n) {
    for (std::size_t at = 0; at <= n; ++at) {
      for (char c : {'"', '\\', '\x01', '\x1f', ' ', '#', '[', '\x7f', '\xe9'}) {
        std::string s(n, 'a');
        if (at < n) {
          s[at] = c;
        }
        std::string expected;
        write_string(expected, s);
        TextOut out(0);
        out.text("x");
        out.string(s);
        out.text("y");
        EXPECT_EQ(std::move(out).finish(), "x" + expected + "y") << n << " " << at;
      }
    }
  }
}

TEST(TextOutTest, AnEmptyTextHandsOverNoBlock) {
  int handed = 0;
  const auto take = [&handed](std::string_view) { ++handed; };
  EXPECT_EQ(TextOut::in_blocks(64, 64, take).finish(), "");
  EXPECT_EQ(TextOut(0).finish(), "");
  EXPECT_EQ(handed, 0);
}

}  // namespace
}  // namespace marlix::json
