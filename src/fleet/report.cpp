#include "fleet/report.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <variant>

#include "core/decimal.hpp"
#include "core/words.hpp"
#include "fleet/capacity.hpp"
#include "planner/admission.hpp"
#include "planner/format_gib.hpp"

namespace marlix::fleet {

namespace {

constexpr std::size_t kNameWidth = 28;

// The padding after a name and the space that closes its field, stored whole whatever the name:
// a store of fixed size is written inline, where a copy of the count the name needs would be a
// library call. The text then moves on by that count alone.
constexpr std::string_view kSpaces = "                                ";  // 32: two 16-byte stores
static_assert(kSpaces.size() >= kNameWidth + 1);

// Characters of valid UTF-8: every byte but the continuation bytes starts one.
std::size_t code_points(std::string_view text) {
  std::size_t count = 0;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80 || byte > 0xBF) {
      ++count;
    }
  }
  return count;
}

// Spaces between a name and the one that closes its field, which is counted in characters: an
// ASCII name has one per byte. Names longer than the field get none and push the phrase along.
std::size_t padding(std::string_view name) {
  const std::size_t width = is_ascii(name) ? name.size() : code_points(name);
  return width < kNameWidth ? kNameWidth - width : 0;
}

std::uint64_t whole_seconds(std::uint64_t since_ms, std::uint64_t now) {
  return planner::floor_sub(now, since_ms) / 1000;
}

// Copies `n` bytes, from kWidth to twice that, as two copies of kWidth bytes, one from the start
// and one up to the end, which overlap unless `n` is twice kWidth: copies of a fixed size are
// written inline.
template <std::size_t kWidth>
void copy_ends(char* to, const char* from, std::size_t n) {
  std::memcpy(to, from, kWidth);
  std::memcpy(to + n - kWidth, from + n - kWidth, kWidth);
}

// The report is gone through twice by the same code: with a Measure, which adds up the room the
// pieces can take, then with a Write, which puts them into that room, allocated once, with no
// check on the way. Sharing the code keeps the room and the text from disagreeing.

// The most bytes each piece can touch: a text's size, the whole store of spaces for a field's
// end, the longest a number can be.
struct Measure {
  std::size_t size = 0;

  void text(std::string_view s) { size += s.size(); }
  void byte(char) { ++size; }
  void field_end(std::string_view) { size += kSpaces.size(); }
  void unsigned_integer(std::uint64_t) { size += kDecimalDigitsMax; }
  void gib(std::uint64_t) { size += planner::kGibTextMax; }
};

struct Write {
  char* at;

  // A copy of a size known only at run time is a library call; texts of 8 to 32 bytes, as most
  // names are, take two copies of a fixed size instead.
  void text(std::string_view s) {
    const std::size_t n = s.size();
    if (n >= 8 && n <= 16) {
      copy_ends<8>(at, s.data(), n);
    } else if (n > 16 && n <= 32) {
      copy_ends<16>(at, s.data(), n);
    } else {
      std::memcpy(at, s.data(), n);
    }
    at += n;
  }
  void byte(char c) { *at++ = c; }
  // Pads the field of `name`, just written, and closes it with a space.
  void field_end(std::string_view name) {
    std::memcpy(at, kSpaces.data(), kSpaces.size());
    at += padding(name) + 1;
  }
  void unsigned_integer(std::uint64_t value) { at = write_decimal(at, value); }
  void gib(std::uint64_t bytes) { at = planner::write_gib(at, bytes); }
};

template <typename Out>
struct Phrase {
  Out& out;
  std::uint64_t now;

  void operator()(const state::Unprobed&) const { out.text("never probed"); }
  void operator()(const state::Loading& s) const {
    out.text("loading for ");
    out.unsigned_integer(whole_seconds(s.since_ms, now));
    out.byte('s');
  }
  void operator()(const state::Resident& s) const {
    out.text("resident for ");
    out.unsigned_integer(whole_seconds(s.since_ms, now));
    out.byte('s');
  }
  void operator()(const state::Lost& s) const { out.text(report_text(s.reason)); }
  void operator()(const state::Failed& s) const {
    out.text("failed to load: ");
    out.text(s.detail);
  }
  void operator()(const state::Stopped&) const { out.text("stopped on request"); }
};

struct Totals {
  std::uint64_t committed_bytes = 0;
  std::uint64_t usable_bytes = 0;
  std::size_t declared = 0;
  std::size_t admitted = 0;
};

template <typename Out>
void header(Out& out, const Totals& totals) {
  out.gib(totals.committed_bytes);
  out.text(" / ");
  out.gib(totals.usable_bytes);
  out.text(" GiB held  (");
  out.unsigned_integer(totals.declared);
  out.text(" declared, ");
  out.unsigned_integer(totals.admitted);
  out.text(" admitted)\n");
}

template <typename Out>
void line(Out& out, const ModelEntry& entry, std::uint64_t now) {
  out.text("  ");
  out.text(entry.name);
  out.field_end(entry.name);
  if (!entry.admitted) {
    out.text("not admitted \u2014 short by ");
    out.gib(entry.short_bytes);
    out.text(" GiB");
  } else {
    std::visit(Phrase<Out>{out, now}, entry.state);
  }
  out.byte('\n');
}

}  // namespace

std::string report(const Fleet& fleet, std::uint64_t now) {
  Measure room;
  std::size_t admitted = 0;
  for (const ModelEntry& entry : fleet.models) {
    admitted += entry.admitted ? 1 : 0;
    line(room, entry, now);
  }
  const Totals totals{committed_bytes(fleet), usable_bytes(fleet), fleet.models.size(), admitted};
  header(room, totals);

  std::string text;
  // Left unwritten here: the pieces fill it from the start, and what they do not reach is cut.
  text.resize_and_overwrite(room.size, [](char*, std::size_t n) { return n; });
  Write out{text.data()};
  header(out, totals);
  for (const ModelEntry& entry : fleet.models) {
    line(out, entry, now);
  }
  text.resize(static_cast<std::size_t>(out.at - text.data()));
  return text;
}

}  // namespace marlix::fleet
