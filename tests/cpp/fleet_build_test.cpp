#include <gtest/gtest.h>

#include <string>

#include "fleet/capacity.hpp"
#include "fleet/fleet.hpp"
#include "fleet/report.hpp"

namespace marlix::fleet {
namespace {

constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;

TEST(FleetBuild, OneEntryPerRosterEntryWithItsVerdict) {
  // Usable 23192823406 bytes; the second model is short by 4724464018.
  auto fleet = build_fleet(25769803776, 10,
                           R"([{"model":"a","weightsBytes":8589934592,"kvBytes":2147483648},
                               {"model":"b","weights_bytes":17179869184},
                               {"model":"c","weightsBytes":4294967296,"kv_bytes":1073741824}])");
  ASSERT_TRUE(fleet.has_value()) << fleet.error();
  EXPECT_EQ(fleet->total_bytes, 25769803776u);
  EXPECT_EQ(fleet->reserve_bytes, 2576980370u);
  ASSERT_EQ(fleet->models.size(), 3u);

  const ModelEntry& a = fleet->models[0];
  EXPECT_EQ(a.name, "a");
  EXPECT_EQ(a.weights_bytes, 8589934592u);
  EXPECT_EQ(a.kv_bytes, 2147483648u);
  EXPECT_TRUE(a.admitted);
  EXPECT_EQ(a.short_bytes, 0u);
  EXPECT_FALSE(a.endpoint.has_value());
  EXPECT_EQ(a.state, ModelState(state::Unprobed{}));

  EXPECT_FALSE(fleet->models[1].admitted);
  EXPECT_EQ(fleet->models[1].short_bytes, 4724464018u);
  EXPECT_EQ(fleet->models[1].kv_bytes, 0u);
  EXPECT_TRUE(fleet->models[2].admitted);
  EXPECT_EQ(fleet->models[2].kv_bytes, 1073741824u);
}

TEST(FleetBuild, VerdictsGoByPositionForRepeatedNames) {
  // Usable 9 GiB: the first "m" does not fit, the second does.
  auto fleet = build_fleet(10 * kGiB, 0,
                           R"([{"model":"m","weightsBytes":21474836480},
                               {"model":"m","weightsBytes":1073741824}])");
  ASSERT_TRUE(fleet.has_value()) << fleet.error();
  EXPECT_FALSE(fleet->models[0].admitted);
  EXPECT_EQ(fleet->models[0].short_bytes, 11 * kGiB);
  EXPECT_TRUE(fleet->models[1].admitted);
  EXPECT_EQ(fleet->models[1].short_bytes, 0u);
  EXPECT_EQ(report(*fleet, 0),
            "0.0 / 9.0 GiB held  (2 declared, 1 admitted)\n"
            "  m                            not admitted \xe2\x80\x94 short by 11.0 GiB\n"
            "  m                            never probed\n");
  // The name reaches only the rejected first entry, so the admitted twin is never offered.
  EXPECT_EQ(next_to_load(*fleet), std::nullopt);
}

TEST(FleetBuild, ReserveAbove100PercentIsAWholeHundred) {
  auto capped = build_fleet(25769803776, 255, "[]");
  auto hundred = build_fleet(25769803776, 100, "[]");
  ASSERT_TRUE(capped.has_value() && hundred.has_value());
  EXPECT_EQ(capped->reserve_bytes, 25769803700u);
  EXPECT_EQ(capped->reserve_bytes, hundred->reserve_bytes);
  EXPECT_TRUE(capped->models.empty());
}

TEST(FleetBuild, NothingFitsButEveryEntryExists) {
  auto fleet =
      build_fleet(kGiB, 0, R"([{"model":"a","weightsBytes":1},{"model":"b","weightsBytes":2}])");
  ASSERT_TRUE(fleet.has_value()) << fleet.error();
  ASSERT_EQ(fleet->models.size(), 2u);
  EXPECT_FALSE(fleet->models[0].admitted);
  EXPECT_EQ(fleet->models[0].short_bytes, 1u);
  EXPECT_EQ(fleet->models[1].short_bytes, 2u);
}

struct ErrorCase {
  const char* roster;
  const char* error;
};

TEST(FleetBuild, Errors) {
  const ErrorCase cases[] = {
      {"[", "bad json: EOF while parsing a list at line 1 column 1"},
      {"", "bad json: EOF while parsing a value at line 1 column 0"},
      {R"({"models":[]})", "could not read the roster: expected an array of declared models"},
      {R"([{"model":""},{"model":"ok","weightsBytes":1},7])",
       "could not read the roster: entry 0: \"model\" is empty; entry 2: missing \"model\""},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.roster);
    auto fleet = build_fleet(16 * kGiB, 10, c.roster);
    ASSERT_FALSE(fleet.has_value());
    EXPECT_EQ(fleet.error(), c.error);
  }
}

TEST(FleetEndpoint, SetsTheFirstEntryOfTheExactName) {
  auto fleet = build_fleet(16 * kGiB, 10,
                           R"([{"model":"m","weightsBytes":1},{"model":"m","weightsBytes":1}])");
  ASSERT_TRUE(fleet.has_value()) << fleet.error();
  set_endpoint(*fleet, "M", "http://wrong");
  set_endpoint(*fleet, "m ", "http://wrong");
  EXPECT_FALSE(fleet->models[0].endpoint.has_value());

  set_endpoint(*fleet, "m", "http://first");
  set_endpoint(*fleet, "m", "");
  EXPECT_EQ(fleet->models[0].endpoint, std::optional<std::string>(""));
  EXPECT_FALSE(fleet->models[1].endpoint.has_value());
  EXPECT_EQ(find_entry(*fleet, "m"), &fleet->models[0]);
  EXPECT_EQ(find_entry(std::as_const(*fleet), "mm"), nullptr);
}

}  // namespace
}  // namespace marlix::fleet
