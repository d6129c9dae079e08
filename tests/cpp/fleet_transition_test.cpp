#include <gtest/gtest.h>

#include <array>
#include <string>

#include "fleet/transition.hpp"

namespace marlix::fleet {
namespace {

constexpr std::uint64_t kNow = 5000;

// One state of every kind, each with payload values that no transition produces at kNow, so a
// cell that keeps or renews a value is told apart.
const std::array<ModelState, 6> kFrom{
    state::Unprobed{},
    state::Loading{100},
    state::Resident{100, 7},
    state::Lost{100, LostReason::Evicted},
    state::Failed{"old failure", 100},
    state::Stopped{100},
};

struct Row {
  const char* name;
  Observation obs;
  std::array<ModelState, 6> to;  // in the order of kFrom
};

const Row kTable[] = {
    {"LoadStarted",
     observation::LoadStarted{},
     {state::Loading{kNow}, kFrom[1], kFrom[2], state::Loading{kNow}, state::Loading{kNow},
      state::Loading{kNow}}},
    {"ProbeOk",
     observation::ProbeOk{42},
     {state::Resident{kNow, 42}, state::Resident{kNow, 42}, state::Resident{100, 42},
      state::Resident{kNow, 42}, state::Resident{kNow, 42}, state::Resident{kNow, 42}}},
    {"ProbeFailedGpuGone",
     observation::ProbeFailed{"no device", false},
     {state::Lost{kNow, LostReason::GpuDetached}, state::Lost{kNow, LostReason::GpuDetached},
      state::Lost{kNow, LostReason::GpuDetached}, state::Lost{kNow, LostReason::GpuDetached},
      state::Lost{kNow, LostReason::GpuDetached}, state::Lost{kNow, LostReason::GpuDetached}}},
    {"ProbeFailedGpuPresent",
     observation::ProbeFailed{"timeout", true},
     {state::Lost{kNow, LostReason::Unhealthy}, kFrom[1], state::Lost{kNow, LostReason::Evicted},
      state::Lost{kNow, LostReason::Unhealthy}, state::Lost{kNow, LostReason::Unhealthy},
      state::Lost{kNow, LostReason::Unhealthy}}},
    {"ProcessExited",
     observation::ProcessExited{3},
     {state::Lost{kNow, LostReason::ProcessExited}, state::Lost{kNow, LostReason::ProcessExited},
      state::Lost{kNow, LostReason::ProcessExited}, state::Lost{kNow, LostReason::ProcessExited},
      state::Lost{kNow, LostReason::ProcessExited}, kFrom[5]}},
    {"LoadFailed",
     observation::LoadFailed{"out of memory"},
     {state::Failed{"out of memory", kNow}, state::Failed{"out of memory", kNow},
      state::Failed{"out of memory", kNow}, state::Failed{"out of memory", kNow},
      state::Failed{"out of memory", kNow}, state::Failed{"out of memory", kNow}}},
    {"Stop",
     observation::Stop{},
     {state::Stopped{kNow}, state::Stopped{kNow}, state::Stopped{kNow}, state::Stopped{kNow},
      state::Stopped{kNow}, state::Stopped{kNow}}},
};

TEST(FleetTransition, EveryCellOfTheTable) {
  const char* from_names[] = {"Unprobed", "Loading", "Resident", "Lost", "Failed", "Stopped"};
  for (const Row& row : kTable) {
    for (std::size_t i = 0; i < kFrom.size(); ++i) {
      SCOPED_TRACE(std::string(row.name) + " on " + from_names[i]);
      EXPECT_EQ(transition(kFrom[i], row.obs, kNow), row.to[i]);
    }
  }
}

TEST(FleetTransition, EarlierTimesAreAppliedAsGiven) {
  EXPECT_EQ(transition(state::Loading{9000}, observation::ProbeOk{1}, 10),
            ModelState(state::Resident{10, 1}));
  EXPECT_EQ(transition(state::Stopped{9000}, observation::Stop{}, 10),
            ModelState(state::Stopped{10}));
}

// Entering the alternative a model is already in renews its time, and its reason or detail.
TEST(FleetTransition, SameAlternativeTakesTheNewTime) {
  EXPECT_EQ(
      transition(state::Lost{100, LostReason::ProcessExited}, observation::ProcessExited{}, kNow),
      ModelState(state::Lost{kNow, LostReason::ProcessExited}));
  EXPECT_EQ(transition(state::Failed{"a", 100}, observation::LoadFailed{"a"}, kNow),
            ModelState(state::Failed{"a", kNow}));
}

}  // namespace
}  // namespace marlix::fleet
