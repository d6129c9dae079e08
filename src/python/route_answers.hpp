// The answers `route` gave, kept per roster entry. A host asks about the same models again and
// again between observations, and an answer that does not depend on the time of the call stays
// the same until something about the fleet changes: it is handed out again instead of being
// decided, written and converted anew. Any change to the fleet makes every kept answer stale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "python/owned_ref.hpp"
#include "python/python.hpp"

namespace marlix::python {

class RouteAnswers {
 public:
  // The answer kept for entry `index` since the last change, or null.
  PyObject* find(std::size_t index) const {
    if (index >= kept_.size() || kept_[index].generation != generation_) {
      return nullptr;
    }
    return kept_[index].answer.get();
  }

  // Keeps `answer` for entry `index` of a fleet of `entries`, until the next change. Keeping is
  // only a saving: without the memory for it, the answer is simply not kept.
  void keep(std::size_t index, std::size_t entries, OwnedRef answer) noexcept {
    if (kept_.size() < entries) {
      try {
        kept_.resize(entries);
      } catch (const std::bad_alloc&) {
        return;
      }
    }
    kept_[index] = Kept{std::move(answer), generation_};
  }

  // The fleet is about to change: nothing kept so far may be handed out again.
  void forget_all() { ++generation_; }

 private:
  struct Kept {
    OwnedRef answer;
    std::uint64_t generation = 0;
  };

  std::vector<Kept> kept_;
  std::uint64_t generation_ = 1;  // kept answers of another generation are stale
};

}  // namespace marlix::python
