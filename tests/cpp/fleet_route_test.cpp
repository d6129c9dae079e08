#include <gtest/gtest.h>

#include <string>

#include "fleet/fleet.hpp"
#include "fleet/route.hpp"
#include "json/writer.hpp"

namespace marlix::fleet {
namespace {

ModelEntry entry(std::string name, ModelState state) {
  ModelEntry e;
  e.name = std::move(name);
  e.state = std::move(state);
  return e;
}

Fleet sample_fleet() {
  Fleet fleet;
  fleet.total_bytes = 16ull << 30;
  fleet.reserve_bytes = 1ull << 30;
  fleet.models.push_back(entry("ready", state::Resident{10, 5}));
  fleet.models.back().endpoint = "http://127.0.0.1:8001/v1";
  fleet.models.push_back(entry("warming", state::Loading{1000}));
  fleet.models.push_back(entry("evicted", state::Lost{10, LostReason::Evicted}));
  fleet.models.push_back(entry("detached", state::Lost{10, LostReason::GpuDetached}));
  fleet.models.push_back(entry("exited", state::Lost{10, LostReason::ProcessExited}));
  fleet.models.push_back(entry("unhealthy", state::Lost{10, LostReason::Unhealthy}));
  fleet.models.push_back(entry("failed", state::Failed{"CUDA \"oom\"\n\tat load", 10}));
  // Not admitted, and made resident with an endpoint by later observations.
  fleet.models.push_back(entry("rejected", state::Resident{10, 5}));
  fleet.models.back().admitted = false;
  fleet.models.back().short_bytes = 4724464018;
  fleet.models.back().endpoint = "http://elsewhere";
  fleet.models.push_back(entry("unprobed", state::Unprobed{}));
  fleet.models.push_back(entry("stopped", state::Stopped{10}));
  fleet.models.push_back(entry("no-endpoint", state::Resident{10, 5}));
  fleet.models.push_back(entry("empty-endpoint", state::Resident{10, 5}));
  fleet.models.back().endpoint = "";
  // A second "ready" that the first one hides.
  fleet.models.push_back(entry("ready", state::Failed{"hidden", 10}));
  fleet.models.push_back(entry("\xc3\xa9t\xc3\xa9", state::Unprobed{}));
  index_names(fleet);
  return fleet;
}

struct RouteCase {
  const char* model;
  std::uint64_t now;
  const char* document;
};

const RouteCase kCases[] = {
    {"ready", 0,
     R"({"endpoint":"http://127.0.0.1:8001/v1","model":"ready","operator_fault":false,)"
     R"("ready":true,"route":"ready","try_elsewhere":false})"},
    {"warming", 4500,
     R"({"for_ms":3500,"model":"warming","operator_fault":false,"ready":false,)"
     R"("route":"warming","try_elsewhere":false})"},
    {"warming", 999,
     R"({"for_ms":0,"model":"warming","operator_fault":false,"ready":false,)"
     R"("route":"warming","try_elsewhere":false})"},
    {"evicted", 0,
     R"({"model":"evicted","operator_fault":true,"ready":false,"reason":"evicted",)"
     R"("route":"lost","try_elsewhere":true})"},
    {"detached", 0,
     R"({"model":"detached","operator_fault":false,"ready":false,"reason":"gpu_detached",)"
     R"("route":"lost","try_elsewhere":true})"},
    {"exited", 0,
     R"({"model":"exited","operator_fault":true,"ready":false,"reason":"process_exited",)"
     R"("route":"lost","try_elsewhere":true})"},
    {"unhealthy", 0,
     R"({"model":"unhealthy","operator_fault":true,"ready":false,"reason":"unhealthy",)"
     R"("route":"lost","try_elsewhere":true})"},
    {"failed", 0,
     R"({"model":"failed","operator_fault":true,"ready":false,)"
     R"("reason":"CUDA \"oom\"\n\tat load","route":"failed","try_elsewhere":true})"},
    {"rejected", 0,
     R"({"model":"rejected","operator_fault":false,"ready":false,"route":"not_admitted",)"
     R"("short_bytes":4724464018,"try_elsewhere":true})"},
    {"Ready", 0,
     R"({"model":"Ready","operator_fault":false,"ready":false,"route":"not_declared",)"
     R"("try_elsewhere":true})"},
    {"ready ", 0,
     R"({"model":"ready ","operator_fault":false,"ready":false,"route":"not_declared",)"
     R"("try_elsewhere":true})"},
    {"", 0,
     R"({"model":"","operator_fault":false,"ready":false,"route":"not_declared",)"
     R"("try_elsewhere":true})"},
    {"unprobed", 0,
     R"({"model":"unprobed","operator_fault":false,"ready":false,"route":"unknown",)"
     R"("try_elsewhere":true})"},
    {"stopped", 0,
     R"({"model":"stopped","operator_fault":false,"ready":false,"route":"unknown",)"
     R"("try_elsewhere":true})"},
    {"no-endpoint", 0,
     R"({"model":"no-endpoint","operator_fault":false,"ready":false,"route":"unknown",)"
     R"("try_elsewhere":true})"},
    {"empty-endpoint", 0,
     R"({"endpoint":"","model":"empty-endpoint","operator_fault":false,"ready":true,)"
     R"("route":"ready","try_elsewhere":false})"},
    {"\xc3\xa9t\xc3\xa9", 0,
     "{\"model\":\"\xc3\xa9t\xc3\xa9\",\"operator_fault\":false,\"ready\":false,"
     "\"route\":\"unknown\",\"try_elsewhere\":true}"},
};

TEST(FleetRoute, WritesEachDocumentExactly) {
  const Fleet fleet = sample_fleet();
  for (const RouteCase& c : kCases) {
    SCOPED_TRACE(std::string(c.model) + " at " + std::to_string(c.now));
    auto text = route(fleet, c.model, c.now);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, c.document);
  }
}

TEST(FleetRoute, CopyingMovingAndDirectWritingAgree) {
  const Fleet fleet = sample_fleet();
  for (const RouteCase& c : kCases) {
    const RouteDecision answer = decide_route(fleet, c.model, c.now);
    EXPECT_EQ(route_document(answer), route_document(RouteDecision(answer))) << c.model;
    EXPECT_EQ(write_route_document(answer), json::write(route_document(answer))) << c.model;
  }
  // Texts that need escaping, and every loss reason with its fault flag.
  const RouteDecision more[] = {
      decision::Ready{"a\"b", "\x01\\"},
      decision::Failed{"m", "line\nbreak \xe2\x80\x94"},
      decision::Lost{"m", LostReason::Evicted, true},
      decision::Lost{"m", LostReason::GpuDetached, false},
      decision::Lost{"m", LostReason::ProcessExited, true},
      decision::Lost{"m", LostReason::Unhealthy, true},
      decision::Warming{"m", UINT64_MAX},
      decision::NotAdmitted{"", 1},
  };
  for (const RouteDecision& answer : more) {
    EXPECT_EQ(write_route_document(answer), json::write(route_document(answer)));
  }
}

TEST(FleetRoute, EndpointSetWhileLoadingIsUsedOnceResident) {
  Fleet fleet = sample_fleet();
  set_endpoint(fleet, "warming", "http://a");
  EXPECT_EQ(decide_route(fleet, "warming", 2000).index(), 1u);
  fleet.models[1].state = state::Resident{2000, 1};
  const RouteDecision answer = decide_route(fleet, "warming", 2000);
  ASSERT_TRUE(std::holds_alternative<decision::Ready>(answer));
  EXPECT_EQ(std::get<decision::Ready>(answer).endpoint, "http://a");
}

// An answer that does not depend on the time may be handed out again; every other one must be
// written anew. Checked for every entry: the answer is the same at all times exactly when the
// entry says it does not depend on them.
TEST(RouteTest, AnswersDependOnTheTimeOnlyWhileLoading) {
  Fleet fleet = sample_fleet();
  fleet.models.push_back(entry("rejected-loading", state::Loading{1000}));
  fleet.models.back().admitted = false;
  fleet.models.back().short_bytes = 1;
  for (const ModelEntry& e : fleet.models) {
    bool same_at_all_times = true;
    const std::string first = write_route_document(decide_for_entry(&e, e.name, 0));
    for (std::uint64_t now : {std::uint64_t{999}, std::uint64_t{5000}, UINT64_MAX}) {
      same_at_all_times =
          same_at_all_times && write_route_document(decide_for_entry(&e, e.name, now)) == first;
    }
    EXPECT_EQ(answer_depends_on_time(e), !same_at_all_times) << e.name;
  }
}

}  // namespace
}  // namespace marlix::fleet
