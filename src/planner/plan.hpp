// The plan document: can this card hold this roster?
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "core/function_ref.hpp"
#include "json/text_out.hpp"
#include "json/value.hpp"
#include "planner/admission.hpp"

namespace marlix::planner {

// The human-readable summary: a first line of totals, then one line per rejected model.
std::string plan_summary(const AdmissionResult& result);

// The eight-member plan document as a value tree.
json::Value plan_document(const AdmissionResult& result);

// The compact text of plan_document(result), written straight from the result with the members
// in their key order, so no tree of every name is built on the way.
std::string write_plan_document(const AdmissionResult& result);

// The whole road from the three inputs to the compact plan document, or the error text
// ("bad json: …" or "could not read the roster: …").
std::expected<std::string, std::string> plan(std::uint64_t total_bytes, std::uint8_t reserve_pct,
                                             std::string declared_json);

// The size of plan_in_blocks' blocks: a block's text stays small even at four bytes a
// character, so whoever converts one block at a time never needs a large buffer for it.
inline constexpr std::size_t kPlanBlockBytes = 16 * 1024;

// Where plan_in_blocks hands its document.
struct PlanBlocks {
  // Each block as it fills.
  json::BlockTaker take;
  // Called once, when the roster has been read and before the rest of the document is written,
  // with an estimate of how many bytes are still to be handed over, blocks and returned text:
  // the room the writer makes for them, which is the most they take unless names grow by
  // escaping.
  FunctionRef<void(std::size_t rest_bytes)> rest_known;
};

// The same document as plan(), handed over in blocks of about `block_bytes` as they fill; the
// text after the last block handed over is returned. A block ends only between two pieces of
// the document, so for a roster in UTF-8 each block is UTF-8 on its own. One block's room
// serves the whole document, which is never held whole here: a caller that turns each block
// into its own form as it comes holds the document once. On an error, the blocks handed over
// before it are of no use.
std::expected<std::string, std::string> plan_in_blocks(std::uint64_t total_bytes,
                                                       std::uint8_t reserve_pct,
                                                       std::string declared_json,
                                                       const PlanBlocks& to,
                                                       std::size_t block_bytes = kPlanBlockBytes);
// The same, reading a roster text that the caller keeps alive for the call.
std::expected<std::string, std::string> plan_in_blocks(std::uint64_t total_bytes,
                                                       std::uint8_t reserve_pct,
                                                       std::string_view declared_json,
                                                       const PlanBlocks& to,
                                                       std::size_t block_bytes = kPlanBlockBytes);

}  // namespace marlix::planner
