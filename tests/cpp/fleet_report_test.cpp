#include <gtest/gtest.h>

#include <string>

#include "fleet/fleet.hpp"
#include "fleet/report.hpp"

namespace marlix::fleet {
namespace {

constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;

ModelEntry entry(std::string name, ModelState state) {
  ModelEntry e;
  e.name = std::move(name);
  e.state = std::move(state);
  return e;
}

TEST(FleetReport, TwoModelExample) {
  Fleet fleet = make_fleet(
      {entry("alpha", state::Resident{1000, 5 * kGiB}), entry("beta", state::Unprobed{})},
      16 * kGiB, kGiB);
  fleet.models[1].admitted = false;
  fleet.models[1].short_bytes = 2 * kGiB;
  EXPECT_EQ(report(fleet, 61999),
            "5.0 / 15.0 GiB held  (2 declared, 1 admitted)\n"
            "  alpha                        resident for 60s\n"
            "  beta                         not admitted \xe2\x80\x94 short by 2.0 GiB\n");
}

TEST(FleetReport, EmptyRosterIsTheHeaderAlone) {
  const Fleet fleet = make_fleet({}, kGiB, kGiB);
  EXPECT_EQ(report(fleet, 0), "0.0 / 0.0 GiB held  (0 declared, 0 admitted)\n");
}

struct PhraseCase {
  ModelState state;
  std::uint64_t now;
  const char* phrase;
};

TEST(FleetReport, StatePhrases) {
  const PhraseCase cases[] = {
      {state::Unprobed{}, 0, "never probed"},
      {state::Loading{1000}, 2999, "loading for 1s"},
      {state::Loading{1000}, 1999, "loading for 0s"},
      {state::Loading{1000}, 10, "loading for 0s"},
      {state::Resident{0, 1}, 3600000, "resident for 3600s"},
      {state::Resident{5000, 1}, 4000, "resident for 0s"},
      {state::Lost{0, LostReason::Evicted}, 0, "evicted by the runtime to free VRAM"},
      {state::Lost{0, LostReason::GpuDetached}, 0, "the GPU was detached by the host"},
      {state::Lost{0, LostReason::ProcessExited}, 0, "the serving process exited"},
      {state::Lost{0, LostReason::Unhealthy}, 0, "loaded but not answering"},
      {state::Failed{"CUDA error\nat line 2", 0}, 0, "failed to load: CUDA error\nat line 2"},
      {state::Failed{"", 0}, 0, "failed to load: "},
      {state::Stopped{0}, 0, "stopped on request"},
  };
  for (const PhraseCase& c : cases) {
    SCOPED_TRACE(c.phrase);
    const Fleet fleet = make_fleet({entry("m", c.state)}, 16 * kGiB, kGiB);
    const std::string text = report(fleet, c.now);
    const std::string header = "0.0 / 15.0 GiB held  (1 declared, 1 admitted)\n";
    EXPECT_EQ(text, header + "  m" + std::string(27, ' ') + " " + c.phrase + "\n");
  }
}

TEST(FleetReport, NotAdmittedResidentCountsInTheHeaderButKeepsItsPhrase) {
  Fleet fleet = make_fleet({entry("big", state::Resident{0, 3 * kGiB})}, 16 * kGiB, kGiB);
  fleet.models[0].admitted = false;
  fleet.models[0].short_bytes = kGiB / 4;  // halfway: to the even digit
  EXPECT_EQ(report(fleet, 0),
            "3.0 / 15.0 GiB held  (1 declared, 0 admitted)\n"
            "  big                          not admitted \xe2\x80\x94 short by 0.2 GiB\n");
}

struct PadCase {
  std::string name;
  std::size_t spaces;  // padding before the separating space
};

TEST(FleetReport, NamesArePaddedByCharacters) {
  const PadCase cases[] = {
      {std::string(28, 'n'), 0},
      {std::string(29, 'n'), 0},
      {std::string(27, 'n'), 1},
      {"\xc3\xa9t\xc3\xa9", 25},             // two-byte characters: 3 characters
      {"\xe2\x80\x94\xf0\x9f\x98\x80", 26},  // a three-byte and a four-byte character
      {std::string(14, 'n') + "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"
                              "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9",
       0},  // 28 characters in 42 bytes
      {std::string(8, 'n'), 20},
      {std::string(12, 'n'), 16},
      {std::string(16, 'n'), 12},
      {std::string(17, 'n'), 11},
      {std::string(32, 'n'), 0},
      {std::string(33, 'n'), 0},
      {"model-00012\xc3\xa9", 16},                     // the two-byte character in the last 8
      {"\xc3\xa9" + std::string(10, 'n'), 17},         // and in the first 8 alone
      {std::string(26, 'n') + "\xe2\x80\x94", 1},      // 27 characters in 29 bytes
      {std::string(27, 'n') + "\xf0\x9f\x98\x80", 0},  // 28 characters in 31 bytes
      {std::string(28, 'n') + "\xf0\x9f\x98\x80", 0},  // 29 characters in 32 bytes
  };
  for (const PadCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Fleet fleet = make_fleet({entry(c.name, state::Stopped{0})}, 16 * kGiB, kGiB);
    const std::string text = report(fleet, 0);
    const std::string line = "  " + c.name + std::string(c.spaces, ' ') + " stopped on request\n";
    ASSERT_GE(text.size(), line.size());
    EXPECT_EQ(text.substr(text.size() - line.size()), line);
    EXPECT_EQ(text.find('\n') + 1 + line.size(), text.size());
  }
}

}  // namespace
}  // namespace marlix::fleet
