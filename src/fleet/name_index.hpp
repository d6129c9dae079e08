// The entries of a fleet by name: for each name, the position of the first entry in roster order
// that has it, byte for byte. Built once the entries are complete; a lookup costs one hash of the
// text and, on average, little more than one comparison, however long the roster.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

namespace marlix::fleet {

struct ModelEntry;

class NameIndex {
 public:
  NameIndex() = default;

  // Indexes `models` and sets `repeats_name` on every entry whose name an earlier entry already
  // has. Only positions are kept, so the index stays right for a copy of the entries as well as
  // for the entries themselves, wherever they move.
  static NameIndex build(std::span<ModelEntry> models);

  // The first entry of `models` named `name`, or null. `models` holds the entries indexed.
  const ModelEntry* find(std::span<const ModelEntry> models, std::string_view name) const;

  // How many entries were indexed.
  std::size_t entries() const { return entries_; }

 private:
  struct Slot {
    std::size_t hash = 0;
    std::size_t position = kEmpty;
  };
  static constexpr std::size_t kEmpty = static_cast<std::size_t>(-1);

  // Open addressing with linear probing, at most half full, so every probe sequence ends.
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t entries_ = 0;
};

}  // namespace marlix::fleet
