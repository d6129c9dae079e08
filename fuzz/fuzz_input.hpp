// Turning fuzz bytes into the inputs the core takes: card sizes, times and roster texts. Rosters
// are mostly well formed, so that admission and the fleet get exercised, with some bad entries
// and odd spellings mixed in.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "json/writer.hpp"

namespace marlix::fuzz {

inline constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;

// A card size: any 64-bit value, a whole number of GiB, or something around the 1 GiB minimum
// reserve.
inline std::uint64_t card_size(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
      return in.ConsumeIntegral<std::uint64_t>();
    case 1:
      return in.ConsumeIntegralInRange<std::uint64_t>(0, 256) * kGiB;
    default:
      return kGiB - 64 + in.ConsumeIntegralInRange<std::uint64_t>(0, 128);
  }
}

// A byte count in the range that makes admission interesting for a card of `card` bytes.
inline std::uint64_t byte_count(FuzzedDataProvider& in, std::uint64_t card) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
      return in.ConsumeIntegral<std::uint64_t>();
    case 1:
      return in.ConsumeIntegralInRange<std::uint64_t>(0, 16) * (kGiB / 4);
    case 2:
      return in.ConsumeIntegralInRange<std::uint64_t>(0, 4);
    default:
      return in.ConsumeIntegralInRange<std::uint64_t>(0, card / 2);
  }
}

// A JSON number text for `n`, sometimes written as a float that still means the same count.
inline std::string count_text(FuzzedDataProvider& in, std::uint64_t n) {
  switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0:
      return std::to_string(n) + ".0";
    case 1:
      return std::to_string(n) + "e0";
    case 2:
      return "-" + std::to_string(n);
    case 3:
      return std::to_string(n) + ".5";
    case 4:
      return "null";
    default:
      return std::to_string(n);
  }
}

inline std::string model_name(FuzzedDataProvider& in, std::size_t index) {
  if (in.ConsumeIntegralInRange(0, 7) == 0) {
    return in.ConsumeRandomLengthString(12);  // anything, the empty name and repeats included
  }
  return "m" + std::to_string(index);
}

// A roster of up to 12 entries as JSON text.
inline std::string roster_text(FuzzedDataProvider& in, std::uint64_t card) {
  const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 12);
  std::string out = "[";
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) {
      out += ',';
    }
    if (in.ConsumeIntegralInRange(0, 31) == 0) {
      out += in.ConsumeBool() ? "7" : "{}";  // an entry that is not a model at all
      continue;
    }
    // Mostly compact with the name first, as hosts write; sometimes spaced out, or with the
    // name last.
    const bool spaced = in.ConsumeIntegralInRange(0, 7) == 0;
    const bool name_last = in.ConsumeIntegralInRange(0, 7) == 0;
    const std::string comma = spaced ? " , " : ",";
    std::string name = spaced ? "\"model\" : " : "\"model\":";
    json::write_string(name, model_name(in, i));
    const bool camel = in.ConsumeBool();
    const bool plain = in.ConsumeIntegralInRange(0, 3) != 0;
    const std::uint64_t weights = byte_count(in, card);
    std::string counts = camel ? "\"weightsBytes\":" : "\"weights_bytes\":";
    counts += plain ? std::to_string(weights) : count_text(in, weights);
    if (in.ConsumeBool()) {
      const std::uint64_t kv = byte_count(in, card);
      counts += comma;
      counts += in.ConsumeBool() ? "\"kvBytes\":" : "\"kv_bytes\":";
      counts += plain ? std::to_string(kv) : count_text(in, kv);
    }
    out += spaced ? "{ " : "{";
    out += name_last ? counts + comma + name : name + comma + counts;
    out += spaced ? " }" : "}";
  }
  out += ']';
  return out;
}

}  // namespace marlix::fuzz
