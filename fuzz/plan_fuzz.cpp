// The native plan on arbitrary card sizes and roster texts. It must never crash, fail only with
// its two error prefixes, and when it answers, the document must add up: every declared model is
// admitted or rejected, committed never exceeds usable, and the lists follow first fit in roster
// order.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "fuzz_input.hpp"
#include "json/reader.hpp"
#include "json/value.hpp"
#include "planner/admission.hpp"
#include "planner/plan.hpp"
#include "planner/roster.hpp"

namespace {

using marlix::fuzz::check;
namespace json = marlix::json;
namespace planner = marlix::planner;

std::uint64_t count_member(const json::Value& object, std::string_view key,
                           const std::string& doc) {
  const json::Value* v = object.find(key);
  check(v != nullptr && v->as_number() != nullptr &&
            v->as_number()->form() == json::Number::Form::Unsigned,
        "a count member is an unsigned integer", doc);
  return v->as_number()->as_unsigned();
}

const json::Array& array_member(const json::Value& object, std::string_view key,
                                const std::string& doc) {
  const json::Value* v = object.find(key);
  check(v != nullptr && v->as_array() != nullptr, "a list member is an array", doc);
  return *v->as_array();
}

void check_document(const std::string& doc, std::uint64_t total_bytes, std::uint8_t reserve_pct,
                    const planner::Roster& roster) {
  auto parsed = json::read(doc);
  check(parsed.has_value(), "the plan document parses", doc);
  const json::Value& root = *parsed;
  check(root.as_object() != nullptr && root.as_object()->size() == 8,
        "the plan document is an object of eight members", doc);

  const json::Array& admitted = array_member(root, "admitted", doc);
  const json::Array& rejected = array_member(root, "rejected", doc);
  const std::uint64_t declared = count_member(root, "declared", doc);
  const std::uint64_t committed = count_member(root, "committed_bytes", doc);
  const std::uint64_t usable = count_member(root, "usable_bytes", doc);
  const std::uint64_t headroom = count_member(root, "headroom_bytes", doc);
  const json::Value* fits = root.find("fits");
  const json::Value* explain = root.find("explain");

  check(declared == roster.size(), "declared is the roster length", doc);
  check(admitted.size() + rejected.size() == declared, "admitted plus rejected is declared", doc);
  check(committed <= usable, "committed never exceeds usable", doc);
  check(headroom == usable - committed, "headroom is usable minus committed", doc);
  check(usable ==
            planner::usable_bytes(total_bytes, planner::compute_reserve(total_bytes, reserve_pct)),
        "usable is the card less its reserve", doc);
  check(fits != nullptr && fits->as_boolean() != nullptr && *fits->as_boolean() == rejected.empty(),
        "fits exactly when nothing is rejected", doc);
  const std::string counts =
      std::to_string(admitted.size()) + " of " + std::to_string(declared) + " admitted, ";
  check(explain != nullptr && explain->as_string() != nullptr &&
            explain->as_string()->starts_with(counts),
        "the summary starts with the counts", doc);

  // First fit in roster order, worked out again here from the roster itself.
  std::uint64_t sum = 0;
  std::size_t next_admitted = 0;
  std::size_t next_rejected = 0;
  for (const planner::DeclaredModel& model : roster) {
    const std::uint64_t need = planner::need_bytes(model.weights_bytes, model.kv_bytes);
    const std::uint64_t free = usable - sum;
    if (need <= free) {
      check(next_admitted < admitted.size(), "an admitted model is listed", doc);
      const std::string* name = admitted[next_admitted++].as_string();
      check(name != nullptr && *name == model.model, "admitted names follow the roster", doc);
      sum += need;
      continue;
    }
    check(next_rejected < rejected.size(), "a rejected model is listed", doc);
    const json::Value& entry = rejected[next_rejected++];
    check(entry.as_object() != nullptr && entry.as_object()->size() == 4,
          "a rejected entry has four members", doc);
    const std::string* name = entry.find("model") ? entry.find("model")->as_string() : nullptr;
    check(name != nullptr && *name == model.model, "rejected names follow the roster", doc);
    check(count_member(entry, "needed_bytes", doc) == need, "needed_bytes is the need", doc);
    check(count_member(entry, "free_bytes", doc) == free, "free_bytes is free at its turn", doc);
    check(count_member(entry, "short_bytes", doc) == need - free && need - free >= 1,
          "short_bytes is the shortfall, at least 1", doc);
  }
  check(sum == committed, "committed is the sum of the admitted needs", doc);
}

// The roster as read from a whole tree: load_roster reads entries without building them, and
// must come to the same roster or the same error.
void check_against_tree(const std::string& text,
                        const std::expected<planner::Roster, std::string>& roster) {
  auto tree = json::read(text);
  if (!tree) {
    check(!roster && roster.error() == "bad json: " + tree.error().text(),
          "bad JSON is reported as the tree reader reports it", text);
    return;
  }
  auto from_tree = planner::read_roster(*tree);
  if (!from_tree) {
    check(!roster && roster.error() == "could not read the roster: " + from_tree.error(),
          "entry errors are those of the tree", text);
    return;
  }
  check(roster.has_value() && *roster == *from_tree, "the roster is that of the tree", text);
}

// Whether every lead byte in `text` is followed by as many continuation bytes as it announces.
bool is_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i++]);
    const std::size_t more = lead < 0x80    ? 0
                             : lead >= 0xF0 ? 3
                             : lead >= 0xE0 ? 2
                             : lead >= 0xC0 ? 1
                                            : 4;
    if (more == 4) {
      return false;
    }
    for (std::size_t k = 0; k < more; ++k) {
      if (i == text.size() || (static_cast<unsigned char>(text[i++]) & 0xC0) != 0x80) {
        return false;
      }
    }
  }
  return true;
}

// The document in blocks, as plan_in_blocks hands them over, from the roster read in place or
// from a copy it owns; and how often it told of the rest.
struct Handed {
  std::expected<std::string, std::string> rest;
  std::vector<std::string> blocks;
  std::size_t told = 0;

  Handed(std::uint64_t total_bytes, std::uint8_t reserve_pct, const std::string& text,
         std::size_t block_bytes, bool in_place) {
    const auto take = [this](std::string_view block) { blocks.emplace_back(block); };
    const auto rest_known = [this](std::size_t) { ++told; };
    const planner::PlanBlocks to{.take = take, .rest_known = rest_known};
    rest = in_place ? planner::plan_in_blocks(total_bytes, reserve_pct, std::string_view(text), to,
                                              block_bytes)
                    : planner::plan_in_blocks(total_bytes, reserve_pct, text, to, block_bytes);
  }
};

// The blocks hold the document, none of them starts inside a UTF-8 sequence the document holds
// whole (for a document in UTF-8, each block is then UTF-8 on its own), and the rest was told
// of once.
void check_blocks(const Handed& handed, const std::string& doc) {
  check(handed.rest.has_value(), "the document in blocks is written too", doc);
  std::string joined;
  const bool utf8 = is_utf8(doc);
  std::vector<std::string> all = handed.blocks;
  all.push_back(*handed.rest);
  for (const std::string& block : all) {
    check(!block.empty(), "a block holds something", doc);
    check(!utf8 || (static_cast<unsigned char>(block.front()) & 0xC0) != 0x80,
          "no block starts inside a character", doc);
    joined += block;
  }
  check(joined == doc, "the blocks join to the document", doc);
  check(handed.told == 1, "the rest is told of once", doc);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::uint64_t total_bytes = marlix::fuzz::card_size(in);
  const auto reserve_pct = in.ConsumeIntegral<std::uint8_t>();
  // Small blocks, so that block ends fall all over the document.
  const auto block_bytes = in.ConsumeIntegralInRange<std::size_t>(1, 512);
  const std::string text = in.ConsumeBool() ? marlix::fuzz::roster_text(in, total_bytes)
                                            : in.ConsumeRemainingBytesAsString();

  auto doc = planner::plan(total_bytes, reserve_pct, text);
  if (!doc) {
    for (bool in_place : {false, true}) {
      const Handed handed(total_bytes, reserve_pct, text, block_bytes, in_place);
      check(!handed.rest && handed.rest.error() == doc.error() && handed.told == 0,
            "the document in blocks fails as the whole one does", doc.error());
    }
  }
  auto roster = planner::load_roster(text);
  check_against_tree(text, roster);
  if (!doc) {
    check(doc.error().starts_with("bad json: ") ||
              doc.error().starts_with("could not read the roster: "),
          "plan fails only with its two prefixes", doc.error());
    check(!roster && roster.error() == doc.error(), "plan fails exactly when the roster does",
          doc.error());
    return 0;
  }
  check(roster.has_value(), "plan answers only for a readable roster", *doc);
  check(*doc == planner::write_plan_document(planner::admit_roster(
                    *roster, total_bytes, planner::compute_reserve(total_bytes, reserve_pct))),
        "plan writes the document of admit_roster's result", *doc);
  check_document(*doc, total_bytes, reserve_pct, *roster);
  check(planner::plan(total_bytes, reserve_pct, text) == doc, "plan is deterministic", *doc);
  for (bool in_place : {false, true}) {
    check_blocks(Handed(total_bytes, reserve_pct, text, block_bytes, in_place), *doc);
  }
  return 0;
}
