#include "fleet/name_index.hpp"

#include <bit>
#include <cstdint>

#include "core/words.hpp"
#include "fleet/fleet.hpp"

namespace marlix::fleet {

namespace {

// A name hashed a word at a time, with no library call: names are short. Each word is folded in
// by a multiplication, and the last step spreads the high bits, where the words' differences
// collect, down into the low ones that pick the slot.
std::size_t hash_of(std::string_view name) {
  constexpr std::uint64_t kOdd = 0x9E3779B97F4A7C15ULL;
  const char* const text = name.data();
  const std::size_t size = name.size();
  std::uint64_t h = size * kOdd;
  std::size_t at = 0;
  for (; at + 8 < size; at += 8) {
    h = (h ^ load8(text + at)) * kOdd;
  }
  // The last one to eight bytes; a load may overlap bytes already taken, the same ones each time.
  std::uint64_t last = 0;
  if (size >= 8) {
    last = load8(text + size - 8);
  } else if (size >= 4) {
    last = (std::uint64_t{load4(text)} << 32) | load4(text + size - 4);
  } else {
    for (std::size_t i = 0; i < size; ++i) {
      last = (last << 8) | static_cast<unsigned char>(text[i]);
    }
  }
  h = (h ^ last) * kOdd;
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDULL;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ULL;
  h ^= h >> 33;
  return static_cast<std::size_t>(h);
}

}  // namespace

NameIndex NameIndex::build(std::span<ModelEntry> models) {
  NameIndex index;
  index.entries_ = models.size();
  if (models.empty()) {
    return index;
  }
  // At least twice as many slots as names: an empty slot is never far.
  const std::size_t slots = std::bit_ceil(models.size() * 2);
  index.slots_.resize(slots);
  index.mask_ = slots - 1;
  for (std::size_t position = 0; position < models.size(); ++position) {
    ModelEntry& entry = models[position];
    const std::size_t hash = hash_of(entry.name);
    entry.repeats_name = false;
    for (std::size_t i = hash & index.mask_;; i = (i + 1) & index.mask_) {
      Slot& slot = index.slots_[i];
      if (slot.position == kEmpty) {
        slot = Slot{hash, position};
        break;
      }
      if (slot.hash == hash && same_text(models[slot.position].name, entry.name)) {
        entry.repeats_name = true;  // the earlier entry keeps the name
        break;
      }
    }
  }
  return index;
}

const ModelEntry* NameIndex::find(std::span<const ModelEntry> models, std::string_view name) const {
  if (slots_.empty()) {
    return nullptr;
  }
  const std::size_t hash = hash_of(name);
  for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
    const Slot& slot = slots_[i];
    if (slot.position == kEmpty) {
      return nullptr;
    }
    if (slot.hash == hash) {
      const ModelEntry& entry = models[slot.position];
      if (same_text(entry.name, name)) {
        return &entry;
      }
    }
  }
}

}  // namespace marlix::fleet
