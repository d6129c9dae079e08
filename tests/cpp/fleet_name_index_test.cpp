#include <gtest/gtest.h>

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/internal_error.hpp"
#include "fleet/fleet.hpp"
#include "fleet/observation.hpp"
#include "fleet/route.hpp"

namespace marlix::fleet {
namespace {

using namespace std::string_literals;

constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;

ModelEntry named(std::string name) {
  ModelEntry e;
  e.name = std::move(name);
  return e;
}

Fleet fleet_of(const std::vector<std::string>& names) {
  std::vector<ModelEntry> models;
  models.reserve(names.size());
  for (const std::string& name : names) {
    models.push_back(named(name));
  }
  return make_fleet(std::move(models), 16 * kGiB, kGiB);
}

std::ptrdiff_t position(const Fleet& fleet, const ModelEntry* entry) {
  return entry == nullptr ? -1 : entry - fleet.models.data();
}

struct LookupCase {
  std::string name;
  std::ptrdiff_t position;  // -1: no entry
};

TEST(FleetNameIndex, RepeatedNamesResolveToTheFirst) {
  const Fleet fleet = fleet_of({"a", "b", "a", "c", "b", "a", "c"});
  const LookupCase cases[] = {{"a", 0}, {"b", 1}, {"c", 3}, {"d", -1}, {"", -1}, {"ab", -1}};
  for (const LookupCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(position(fleet, find_entry(fleet, c.name)), c.position);
  }
  const bool repeats[] = {false, false, true, false, true, true, true};
  for (std::size_t i = 0; i < fleet.models.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(fleet.models[i].repeats_name, repeats[i]);
  }
}

TEST(FleetNameIndex, NamesAreComparedByteForByte) {
  // Each differs from the others in case, spaces, NUL bytes or Unicode normalisation only.
  const std::vector<std::string> names = {
      "model",
      "Model",
      "MODEL",
      "model ",
      " model",
      "model\t",
      "model\0"s,
      "\0model"s,
      "mo\0del"s,
      "\0"s,
      "\0\0"s,
      "caf\xc3\xa9",     // é as one code point (NFC)
      "cafe\xcc\x81",    // e and a combining acute (NFD)
      "\xef\xac\x81le",  // the ﬁ ligature (NFKC folds it to "fi")
      "file",
      "model\xc2\xa0",      // a no-break space
      "model\xe2\x80\x8b",  // a zero width space
  };
  const Fleet fleet = fleet_of(names);
  for (std::size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(position(fleet, find_entry(fleet, names[i])), static_cast<std::ptrdiff_t>(i));
    EXPECT_FALSE(fleet.models[i].repeats_name);
  }
  const std::string misses[] = {"model\0\0"s, "mode",  "modell", "caf\xc3",
                                "\0\0\0"s,    "MoDeL", "fi"};
  for (const std::string& miss : misses) {
    SCOPED_TRACE(miss);
    EXPECT_EQ(find_entry(fleet, miss), nullptr);
  }
}

TEST(FleetNameIndex, TenThousandEntriesFindEveryFirstOccurrence) {
  // Every seventh entry repeats the name of an entry further back.
  std::vector<std::string> names;
  for (std::size_t i = 0; i < 10000; ++i) {
    names.push_back(i % 7 == 6 ? names[i / 2] : "model-" + std::to_string(i));
  }
  // The first position of each name, kept by an ordered map that never replaces a value.
  std::map<std::string, std::size_t> first;
  for (std::size_t i = 0; i < names.size(); ++i) {
    first.emplace(names[i], i);
  }
  const Fleet fleet = fleet_of(names);
  for (std::size_t i = 0; i < names.size(); ++i) {
    const ModelEntry* expected = &fleet.models[first.at(names[i])];
    ASSERT_EQ(find_entry(fleet, names[i]), expected) << names[i];
    ASSERT_EQ(fleet.models[i].repeats_name, expected != &fleet.models[i]) << names[i];
    ASSERT_EQ(find_entry(fleet, names[i] + " "), nullptr) << names[i];
  }
  EXPECT_EQ(find_entry(fleet, "model-10000"), nullptr);
  EXPECT_EQ(position(fleet, find_entry(fleet, "model-9999")), 9999);
}

TEST(FleetNameIndex, Calls) {
  // The same name three times; the first of them does not fit beside "x".
  auto built = build_fleet(10 * kGiB, 0,
                           R"([{"model":"x","weightsBytes":1},
                               {"model":"m","weightsBytes":21474836480},
                               {"model":"m","weightsBytes":1},
                               {"model":"y","weightsBytes":1},
                               {"model":"m","weightsBytes":1}])");
  ASSERT_TRUE(built.has_value()) << built.error();
  Fleet& fleet = *built;
  EXPECT_EQ(position(fleet, find_entry(fleet, "m")), 1);
  ASSERT_TRUE(route(fleet, "m", 0).has_value());
  EXPECT_EQ(*route(fleet, "m", 0),
            R"({"model":"m","operator_fault":false,"ready":false,"route":"not_admitted",)"
            R"("short_bytes":11811160065,"try_elsewhere":true})");

  set_endpoint(fleet, "y", "http://y");
  ASSERT_TRUE(observe(fleet, "y", "probe_ok", R"({"vramBytes":1})", 5).has_value());
  EXPECT_EQ(*route(fleet, "y", 9),
            R"({"endpoint":"http://y","model":"y","operator_fault":false,"ready":true,)"
            R"("route":"ready","try_elsewhere":false})");

  ASSERT_TRUE(observe(fleet, "m", "load_started", "{}", 5).has_value());
  set_endpoint(fleet, "m", "http://m");
  EXPECT_EQ(fleet.models[1].state, ModelState(state::Loading{5}));
  EXPECT_EQ(fleet.models[1].endpoint, std::optional<std::string>("http://m"));
  for (std::size_t i : {2u, 4u}) {
    SCOPED_TRACE(i);
    EXPECT_EQ(fleet.models[i].state, ModelState(state::Unprobed{}));
    EXPECT_FALSE(fleet.models[i].endpoint.has_value());
  }
}

TEST(FleetNameIndex, ACopyLooksUpItsOwnEntries) {
  const Fleet original = fleet_of({"a", "b", "a"});
  const Fleet copy = original;
  EXPECT_EQ(find_entry(copy, "b"), &copy.models[1]);
  Fleet moved = Fleet(copy);
  const Fleet target = std::move(moved);
  EXPECT_EQ(find_entry(target, "a"), &target.models[0]);
}

TEST(FleetNameIndex, AnUnindexedFleetIsAnInternalError) {
  Fleet fleet;
  fleet.models.push_back(named("m"));
  EXPECT_THROW(static_cast<void>(find_entry(fleet, "m")), InternalError);
  index_names(fleet);
  EXPECT_EQ(find_entry(fleet, "m"), &fleet.models[0]);
  fleet.models.push_back(named("n"));  // not indexed again
  EXPECT_THROW(static_cast<void>(find_entry(fleet, "n")), InternalError);
}

}  // namespace
}  // namespace marlix::fleet
