#include "fleet/name_index.hpp"

#include <bit>
#include <functional>

#include "fleet/fleet.hpp"

namespace marlix::fleet {

namespace {

std::size_t hash_of(std::string_view name) {
  return std::hash<std::string_view>{}(name);
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
      if (slot.hash == hash && models[slot.position].name == entry.name) {
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
      if (entry.name == name) {
        return &entry;
      }
    }
  }
}

}  // namespace marlix::fleet
