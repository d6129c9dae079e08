// The plan document: can this card hold this roster?
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

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

// The same document as plan(), held in blocks of about `block_bytes`. A block ends only
// between two pieces of the document, so for a roster in UTF-8 each block is UTF-8 on its own.
// Past the first block nothing written moves as the document grows, and a caller that converts
// the document block by block can release each block as it goes.
std::expected<json::TextBlocks, std::string> plan_in_blocks(
    std::uint64_t total_bytes, std::uint8_t reserve_pct, std::string declared_json,
    std::size_t block_bytes = kPlanBlockBytes);
// The same, reading a roster text that the caller keeps alive for the call.
std::expected<json::TextBlocks, std::string> plan_in_blocks(
    std::uint64_t total_bytes, std::uint8_t reserve_pct, std::string_view declared_json,
    std::size_t block_bytes = kPlanBlockBytes);

}  // namespace marlix::planner
