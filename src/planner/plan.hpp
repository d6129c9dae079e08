// The plan document: can this card hold this roster?
#pragma once

#include <cstdint>
#include <expected>
#include <string>

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

}  // namespace marlix::planner
