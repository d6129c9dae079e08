#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "fleet/fleet.hpp"
#include "fleet/observation.hpp"
#include "json/reader.hpp"

namespace marlix::fleet {
namespace {

constexpr const char* kExpectedKinds =
    " \u2014 expected one of: load_started, probe_ok, probe_failed, process_exited, load_failed, "
    "stop";

Observation decode(std::string_view kind, std::string_view detail_json) {
  auto detail = json::read(detail_json);
  EXPECT_TRUE(detail.has_value()) << detail_json;
  auto obs = decode_observation(kind, detail.value_or(json::Value()));
  EXPECT_TRUE(obs.has_value()) << kind << " " << detail_json;
  return obs.value_or(observation::Stop{});
}

struct DecodeCase {
  const char* kind;
  const char* detail;
  Observation expected;
};

const DecodeCase kDecodeCases[] = {
    // Every accepted kind text, with the neutral detail.
    {"load_started", "{}", observation::LoadStarted{}},
    {"loadStarted", "null", observation::LoadStarted{}},
    {"probe_ok", "{}", observation::ProbeOk{0}},
    {"probeOk", "{}", observation::ProbeOk{0}},
    {"probe_failed", "{}", observation::ProbeFailed{"", true}},
    {"probeFailed", "{}", observation::ProbeFailed{"", true}},
    {"process_exited", "{}", observation::ProcessExited{}},
    {"processExited", "{}", observation::ProcessExited{}},
    {"load_failed", "{}", observation::LoadFailed{"unknown"}},
    {"loadFailed", "{}", observation::LoadFailed{"unknown"}},
    {"stop", "{}", observation::Stop{}},
    {"stop_requested", "{}", observation::Stop{}},
    {"stopRequested", "{}", observation::Stop{}},
    // vram_bytes: whole, non-negative numbers only; the camelCase key decides when present.
    {"probe_ok", R"({"vram_bytes": 5})", observation::ProbeOk{5}},
    {"probe_ok", R"({"vramBytes": 6, "vram_bytes": 5})", observation::ProbeOk{6}},
    {"probe_ok", R"({"vramBytes": null, "vram_bytes": 5})", observation::ProbeOk{0}},
    {"probe_ok", R"({"vramBytes": "5", "vram_bytes": 5})", observation::ProbeOk{0}},
    {"probe_ok", R"({"vramBytes": 5.0})", observation::ProbeOk{5}},
    {"probe_ok", R"({"vramBytes": 1e3})", observation::ProbeOk{1000}},
    {"probe_ok", R"({"vramBytes": 5.5})", observation::ProbeOk{0}},
    {"probe_ok", R"({"vramBytes": -1})", observation::ProbeOk{0}},
    {"probe_ok", R"({"vramBytes": -0})", observation::ProbeOk{0}},
    {"probe_ok", R"({"vramBytes": true})", observation::ProbeOk{0}},
    {"probe_ok", R"({"vramBytes": 9007199254740993})", observation::ProbeOk{9007199254740993u}},
    {"probe_ok", R"({"vramBytes": 18446744073709551615})", observation::ProbeOk{UINT64_MAX}},
    {"probe_ok", R"({"vramBytes": 18446744073709551616})", observation::ProbeOk{UINT64_MAX}},
    {"probe_ok", R"({"vramBytes": 1e30})", observation::ProbeOk{UINT64_MAX}},
    // The largest double below 2^64 is taken exactly; 2^64 itself gives the largest count.
    {"probe_ok", R"({"vramBytes": 18446744073709549568.0})",
     observation::ProbeOk{18446744073709549568u}},
    {"probe_ok", R"({"vramBytes": 1.8446744073709552e19})", observation::ProbeOk{UINT64_MAX}},
    {"probe_ok", R"({"VramBytes": 5})", observation::ProbeOk{0}},
    // A detail that is not an object has no keys.
    {"probe_ok", "[1,2]", observation::ProbeOk{0}},
    {"probe_ok", "7", observation::ProbeOk{0}},
    // gpu_present: only a JSON boolean counts.
    {"probe_failed", R"({"gpu_present": false})", observation::ProbeFailed{"", false}},
    {"probe_failed", R"({"gpuPresent": false})", observation::ProbeFailed{"", false}},
    {"probe_failed", R"({"gpuPresent": null, "gpu_present": false})",
     observation::ProbeFailed{"", true}},
    {"probe_failed", R"({"gpuPresent": 0})", observation::ProbeFailed{"", true}},
    {"probe_failed", R"({"gpuPresent": true, "gpu_present": false})",
     observation::ProbeFailed{"", true}},
    {"probe_failed", R"({"detail": "timeout"})", observation::ProbeFailed{"timeout", true}},
    {"probe_failed", R"({"detail": 3})", observation::ProbeFailed{"", true}},
    // code: integers only, reduced to the low 32 bits.
    {"process_exited", R"({"code": 1})", observation::ProcessExited{1}},
    {"process_exited", R"({"code": -1})", observation::ProcessExited{-1}},
    {"process_exited", R"({"code": 2147483648})", observation::ProcessExited{INT32_MIN}},
    {"process_exited", R"({"code": 4294967297})", observation::ProcessExited{1}},
    {"process_exited", R"({"code": 9223372036854775807})", observation::ProcessExited{-1}},
    {"process_exited", R"({"code": 9223372036854775808})", observation::ProcessExited{}},
    {"process_exited", R"({"code": -9223372036854775808})", observation::ProcessExited{0}},
    {"process_exited", R"({"code": 1.0})", observation::ProcessExited{}},
    {"process_exited", R"({"code": -0})", observation::ProcessExited{}},
    {"process_exited", R"({"code": "1"})", observation::ProcessExited{}},
    // detail of a failed load: a string as is, anything else "unknown".
    {"load_failed", R"({"detail": "out of memory"})", observation::LoadFailed{"out of memory"}},
    {"load_failed", R"({"detail": ""})", observation::LoadFailed{""}},
    {"load_failed", R"({"detail": 5})", observation::LoadFailed{"unknown"}},
    {"load_failed", R"({"Detail": "x"})", observation::LoadFailed{"unknown"}},
};

TEST(FleetObservation, DecodesKindsAndDetailFields) {
  for (const DecodeCase& c : kDecodeCases) {
    SCOPED_TRACE(std::string(c.kind) + " " + c.detail);
    EXPECT_EQ(decode(c.kind, c.detail), c.expected);
  }
}

TEST(FleetObservation, RejectsAnyOtherKindText) {
  const json::Value empty;
  for (const char* kind : {"Stop", "probe-ok", " stop", "stop ", "", "STOP", "probe_OK"}) {
    SCOPED_TRACE(kind);
    auto obs = decode_observation(kind, empty);
    ASSERT_FALSE(obs.has_value());
    EXPECT_EQ(obs.error(),
              "unknown observation kind \"" + std::string(kind) + "\"" + kExpectedKinds);
  }
}

Fleet one_model_fleet() {
  Fleet fleet;
  fleet.total_bytes = 8ull << 30;
  fleet.reserve_bytes = 1ull << 30;
  ModelEntry first;
  first.name = "m";
  first.state = state::Loading{1000};
  ModelEntry twin;  // same name: never reached by name
  twin.name = "m";
  fleet.models.push_back(first);
  fleet.models.push_back(twin);
  index_names(fleet);
  return fleet;
}

struct ErrorCase {
  const char* model;
  const char* kind;
  const char* detail;
  const char* error;
};

TEST(FleetObserve, ErrorsChangeNothing) {
  const std::string unknown_probe =
      std::string("unknown observation kind \"Probe_OK\"") + kExpectedKinds;
  const ErrorCase cases[] = {
      // The detail is parsed first, for every kind, even when the kind is bad too.
      {"m", "stop", "", "bad json: EOF while parsing a value at line 1 column 0"},
      {"m", "Probe_OK", "[1,]", "bad json: trailing comma at line 1 column 4"},
      {"m", "Probe_OK", "{}", unknown_probe.c_str()},
      // An unknown kind is an error even for an undeclared model.
      {"nobody", "Probe_OK", "{}", unknown_probe.c_str()},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + " " + c.detail);
    Fleet fleet = one_model_fleet();
    auto result = observe(fleet, c.model, c.kind, c.detail, 9000);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), c.error);
    EXPECT_EQ(fleet.models[0].state, ModelState(state::Loading{1000}));
  }
}

TEST(FleetObserve, AppliesTheTransitionToTheFirstEntryOfTheName) {
  Fleet fleet = one_model_fleet();
  ASSERT_TRUE(observe(fleet, "m", "probeOk", R"({"vramBytes": 123})", 4000).has_value());
  EXPECT_EQ(fleet.models[0].state, ModelState(state::Resident{4000, 123}));
  EXPECT_EQ(fleet.models[1].state, ModelState(state::Unprobed{}));
}

TEST(FleetObserve, UndeclaredModelIsIgnored) {
  Fleet fleet = one_model_fleet();
  for (const char* model : {"M", "m ", "", "other"}) {
    EXPECT_TRUE(observe(fleet, model, "stop", "null", 4000).has_value());
  }
  EXPECT_EQ(fleet.models[0].state, ModelState(state::Loading{1000}));
  EXPECT_EQ(fleet.models[1].state, ModelState(state::Unprobed{}));
}

TEST(FleetObserve, NotAdmittedEntriesMoveToo) {
  Fleet fleet = one_model_fleet();
  fleet.models[0].admitted = false;
  fleet.models[0].short_bytes = 1;
  ASSERT_TRUE(observe(fleet, "m", "load_failed", R"({"detail": "no room"})", 7).has_value());
  EXPECT_EQ(fleet.models[0].state, ModelState(state::Failed{"no room", 7}));
}

}  // namespace
}  // namespace marlix::fleet
