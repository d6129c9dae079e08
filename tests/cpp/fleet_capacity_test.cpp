#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "fleet/capacity.hpp"
#include "fleet/fleet.hpp"

namespace marlix::fleet {
namespace {

constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;

ModelEntry entry(std::string name, std::uint64_t weights_bytes, ModelState state,
                 bool admitted = true) {
  ModelEntry e;
  e.name = std::move(name);
  e.weights_bytes = weights_bytes;
  e.state = std::move(state);
  e.admitted = admitted;
  e.short_bytes = admitted ? 0 : 1;
  return e;
}

// Usable bytes of 10 GiB.
Fleet card(std::vector<ModelEntry> models) {
  return make_fleet(std::move(models), 11 * kGiB, kGiB);
}

TEST(FleetCapacity, SkipsACandidateThatDoesNotFit) {
  const Fleet fleet = card({
      entry("A", 6 * kGiB, state::Resident{0, 6 * kGiB}),
      entry("B", 5 * kGiB, state::Failed{"", 0}),
      entry("C", 3 * kGiB, state::Unprobed{}),
      entry("D", 1, state::Unprobed{}, false),
  });
  EXPECT_EQ(committed_bytes(fleet), 6 * kGiB);
  EXPECT_EQ(free_bytes(fleet), 4 * kGiB);
  EXPECT_EQ(next_to_load(fleet), "C");
}

struct NextCase {
  const char* name;
  std::vector<ModelEntry> models;
  std::optional<std::string> expected;
};

TEST(FleetCapacity, NextToLoad) {
  const NextCase cases[] = {
      {"empty roster", {}, std::nullopt},
      {"fresh card takes the first admitted",
       {entry("x", kGiB, state::Unprobed{}, false), entry("y", kGiB, state::Unprobed{}),
        entry("z", kGiB, state::Unprobed{})},
       "y"},
      {"loading, resident and stopped are not offered",
       {entry("l", 0, state::Loading{0}), entry("r", 0, state::Resident{0, 0}),
        entry("s", 0, state::Stopped{0})},
       std::nullopt},
      {"lost is offered again", {entry("l", 0, state::Lost{0, LostReason::Evicted})}, "l"},
      {"exact fit", {entry("e", 10 * kGiB, state::Unprobed{})}, "e"},
      {"one byte too many", {entry("e", 10 * kGiB + 1, state::Unprobed{})}, std::nullopt},
      // Only the first entry of a name is ever observed; its twin is never offered.
      {"repeated name is passed over",
       {entry("a", kGiB, state::Resident{0, kGiB}), entry("a", kGiB, state::Unprobed{}),
        entry("b", kGiB, state::Unprobed{})},
       "b"},
      {"repeat of a stopped entry",
       {entry("a", kGiB, state::Stopped{0}), entry("a", kGiB, state::Unprobed{})},
       std::nullopt},
  };
  for (const NextCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(next_to_load(card(c.models)), c.expected);
  }
}

TEST(FleetCapacity, CommittedCountsResidentModelsEvenIfNotAdmitted) {
  // Only what a probe measured is held: a model still loading holds nothing of its need yet.
  const Fleet fleet = card({
      entry("a", 0, state::Resident{0, 2 * kGiB}),
      entry("b", 0, state::Resident{0, 3 * kGiB}, false),
      entry("c", 4 * kGiB, state::Loading{0}),
  });
  EXPECT_EQ(committed_bytes(fleet), 5 * kGiB);
  EXPECT_EQ(free_bytes(fleet), 5 * kGiB);
  EXPECT_EQ(committed_bytes(fleet) + free_bytes(fleet), usable_bytes(fleet));
}

TEST(FleetCapacity, CommittedSaturatesAndFreeStopsAtZero) {
  const Fleet fleet = card({
      entry("a", 0, state::Resident{0, UINT64_MAX - 1}),
      entry("b", 0, state::Resident{0, 2}),
      entry("c", 0, state::Unprobed{}),
  });
  EXPECT_EQ(committed_bytes(fleet), UINT64_MAX);
  EXPECT_EQ(free_bytes(fleet), 0u);
  // A model that needs nothing still fits into no room at all.
  EXPECT_EQ(next_to_load(fleet), "c");
}

TEST(FleetCapacity, ReserveLargerThanCardLeavesNothingUsable) {
  const Fleet fleet = make_fleet({entry("a", 1, state::Unprobed{})}, kGiB / 2, kGiB);
  EXPECT_EQ(usable_bytes(fleet), 0u);
  EXPECT_EQ(free_bytes(fleet), 0u);
  EXPECT_EQ(next_to_load(fleet), std::nullopt);
}

}  // namespace
}  // namespace marlix::fleet
