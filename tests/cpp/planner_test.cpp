#include <gtest/gtest.h>

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "json/reader.hpp"
#include "json/writer.hpp"
#include "planner/admission.hpp"
#include "planner/format_gib.hpp"
#include "planner/plan.hpp"
#include "planner/roster.hpp"

namespace marlix::planner {
namespace {

constexpr std::uint64_t kCard24 = 25769803776;

struct ReserveCase {
  std::uint64_t total;
  std::uint8_t pct;
  std::uint64_t reserve;
  std::uint64_t usable;
};

TEST(ReserveTest, Table) {
  const ReserveCase cases[] = {
      {25769803776, 10, 2576980370, 23192823406},
      {8589934592, 5, 1073741824, 7516192768},
      {2147483648, 50, 1073741824, 1073741824},
      {1073741824, 0, 1073741824, 0},
      {536870912, 0, 536870912, 0},
      {25769803776, 100, 25769803700, 76},
      {25769803776, 101, 25769803700, 76},
      {25769803776, 255, 25769803700, 76},
      {1073741899, 100, 1073741824, 75},
      {1073741900, 100, 1073741900, 0},
      {0, 50, 0, 0},
      {UINT64_MAX, 100, 18446744073709551600u, 15},
  };
  for (const ReserveCase& c : cases) {
    const std::uint64_t reserve = compute_reserve(c.total, c.pct);
    EXPECT_EQ(reserve, c.reserve) << c.total << " at " << int(c.pct) << "%";
    EXPECT_EQ(usable_bytes(c.total, reserve), c.usable) << c.total << " at " << int(c.pct) << "%";
  }
}

Roster worked_roster() {
  return {{"a", 8589934592, 2147483648}, {"b", 17179869184, 0}, {"c", 4294967296, 1073741824}};
}

TEST(AdmissionTest, WorkedExample) {
  const AdmissionResult r = admit_roster(worked_roster(), kCard24, compute_reserve(kCard24, 10));
  EXPECT_EQ(r.admitted, (std::vector<std::string>{"a", "c"}));
  ASSERT_EQ(r.rejected.size(), 1u);
  EXPECT_EQ(r.rejected[0], (RejectedModel{"b", 17179869184, 12455405166, 1}));
  EXPECT_EQ(r.rejected[0].short_bytes(), 4724464018u);
  EXPECT_EQ(r.committed_bytes, 16106127360u);
  EXPECT_EQ(r.usable_bytes, 23192823406u);
}

TEST(AdmissionTest, EdgeCases) {
  // Needs that saturate, zero needs on a card with nothing usable, and exact fits.
  const Roster roster = {{"huge", UINT64_MAX, 1}, {"zero", 0, 0}, {"exact", 1073741824, 0},
                         {"more", 1, 0},          {"dup", 0, 0},  {"dup", 5, 0}};
  const AdmissionResult r = admit_roster(roster, 2147483648, compute_reserve(2147483648, 0));
  EXPECT_EQ(r.admitted, (std::vector<std::string>{"zero", "exact", "dup"}));
  ASSERT_EQ(r.rejected.size(), 3u);
  EXPECT_EQ(r.rejected[0], (RejectedModel{"huge", UINT64_MAX, 1073741824, 0}));
  EXPECT_EQ(r.rejected[1], (RejectedModel{"more", 1, 0, 3}));
  EXPECT_EQ(r.rejected[2], (RejectedModel{"dup", 5, 0, 5}));
  EXPECT_EQ(r.committed_bytes, 1073741824u);
}

TEST(FormatGibTest, Table) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "0.0"},
      {1, "0.0"},
      {53687091, "0.0"},
      {53687092, "0.1"},
      {107374182, "0.1"},
      {268435456, "0.2"},
      {805306368, "0.8"},
      {1073741824, "1.0"},
      {1342177280, "1.2"},
      {1879048192, "1.8"},
      {1073741824000, "1000.0"},
      {UINT64_MAX, "17179869184.0"},
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(format_gib(bytes), text) << bytes;
  }
}

// The figure is the double's exact value rounded to one decimal, halfway cases to even: exactly
// what fixed notation with precision 1 gives, checked around every quarter GiB up to 4096 GiB and
// on pseudo-random counts of every size.
TEST(FormatGibTest, AgreesWithFixedNotation) {
  const auto fixed = [](std::uint64_t bytes) {
    char buf[32];
    auto end = std::to_chars(buf, buf + sizeof buf, static_cast<double>(bytes) * 0x1p-30,
                             std::chars_format::fixed, 1)
                   .ptr;
    return std::string(buf, end);
  };
  std::vector<std::uint64_t> counts;
  for (std::uint64_t quarter = 0; quarter <= 4096 * 4; ++quarter) {
    const std::uint64_t at = quarter << 28;
    counts.insert(counts.end(), {at, at + 1, at > 0 ? at - 1 : 0});
  }
  std::uint64_t x = 0x9E3779B97F4A7C15u;
  for (int i = 0; i < 200000; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    counts.push_back(x >> (i % 64));
  }
  counts.insert(counts.end(), {UINT64_MAX, UINT64_MAX - 1024, UINT64_MAX - 2048, 1ull << 63});
  // Counts up to 2^53 are their own doubles; above it they round, halfway cases to even.
  for (std::uint64_t near = (1ull << 53) - 4; near <= (1ull << 53) + 8; ++near) {
    counts.push_back(near);
  }
  for (std::uint64_t bytes : counts) {
    ASSERT_EQ(format_gib(bytes), fixed(bytes)) << bytes;
  }
}

struct RosterErrorCase {
  std::string text;
  std::string error;
};

TEST(RosterTest, ErrorTexts) {
  const std::string p = "could not read the roster: ";
  const RosterErrorCase cases[] = {
      {"[", "bad json: EOF while parsing a list at line 1 column 1"},
      {"{\"models\":[]}", p + "expected an array of declared models"},
      {"null", p + "expected an array of declared models"},
      {"[\"a\"]", p + "entry 0: missing \"model\""},
      {"[{\"model\":5,\"weightsBytes\":1}]", p + "entry 0: missing \"model\""},
      {"[{\"model\":\"\",\"weightsBytes\":1}]", p + "entry 0: \"model\" is empty"},
      {"[{\"model\":\"m\"}]", p + "entry 0: m: \"weightsBytes\" missing or not a whole byte count"},
      {"[{\"model\":\"m\",\"weightsBytes\":null}]",
       p + "entry 0: m: \"weightsBytes\" missing or not a whole byte count"},
      {"[{\"model\":\"m\",\"weightsBytes\":0.5}]",
       p + "entry 0: m: \"weightsBytes\" missing or not a whole byte count"},
      {"[{\"model\":\"m\",\"weightsBytes\":-1}]",
       p + "entry 0: m: \"weightsBytes\" missing or not a whole byte count"},
      {"[{\"model\":\"m\",\"weightsBytes\":1e-300}]",
       p + "entry 0: m: \"weightsBytes\" missing or not a whole byte count"},
      {"[{\"model\":\"m\",\"weightsBytes\":\"1\",\"weights_bytes\":1}]",
       p + "entry 0: m: \"weightsBytes\" missing or not a whole byte count"},
      {"[{\"model\":\"m\",\"weights_bytes\":1,\"kv_bytes\":false}]",
       p + "entry 0: m: \"kvBytes\" is not a whole byte count"},
      {"[{\"model\":\"m\",\"weightsBytes\":1,\"kvBytes\":\"1\"}]",
       p + "entry 0: m: \"kvBytes\" is not a whole byte count"},
      {"[{\"model\":\"m\",\"weightsBytes\":1,\"kvBytes\":0.5,\"kv_bytes\":1}]",
       p + "entry 0: m: \"kvBytes\" is not a whole byte count"},
      {"[7, {\"model\":\"ok\",\"weightsBytes\":1}, {\"model\":\"a\\\"b\",\"weightsBytes\":[]}]",
       p + "entry 0: missing \"model\"; entry 2: a\"b: \"weightsBytes\" missing or not a whole "
           "byte count"},
      // Entries are read while the text is parsed, but a text that is not JSON wins over them.
      {"[7, {\"model\":\"\"}, 1,]", "bad json: trailing comma at line 1 column 21"},
      {"[7] x", "bad json: trailing characters at line 1 column 5"},
      {"[[{\"model\":\"m\",\"weightsBytes\":1}]]", p + "entry 0: missing \"model\""},
  };
  for (const RosterErrorCase& c : cases) {
    auto r = load_roster(c.text);
    ASSERT_FALSE(r.has_value()) << c.text;
    EXPECT_EQ(r.error(), c.error) << c.text;
  }
}

TEST(RosterTest, AcceptedForms) {
  auto r = load_roster(R"([
    {"model":"a","weightsBytes":8589934592.0,"kvBytes":null,"other":[1]},
    {"model":"a","weights_bytes":1e3,"kv_bytes":2.5e9},
    {"model":" ","weightsBytes":-0,"kvBytes":1e-400,"kv_bytes":"ignored"},
    {"model":"big","weightsBytes":1e20,"kvBytes":18446744073709551616}
  ])");
  ASSERT_TRUE(r.has_value()) << r.error();
  const Roster expected = {
      {"a", 8589934592, 0}, {"a", 1000, 2500000000}, {" ", 0, 0}, {"big", UINT64_MAX, UINT64_MAX}};
  EXPECT_EQ(*r, expected);
  EXPECT_EQ(load_roster("[]")->size(), 0u);
}

// The roster as the tree road reads it: the whole text parsed, then each entry looked up.
std::expected<Roster, std::string> roster_from_tree(std::string_view text) {
  auto tree = json::read(text);
  if (!tree) {
    return std::unexpected("bad json: " + tree.error().text());
  }
  auto roster = read_roster(*tree);
  if (!roster) {
    return std::unexpected("could not read the roster: " + roster.error());
  }
  return roster;
}

TEST(RosterTest, EverySpellingOfAnEntryReadsAsTheTreeReadsIt) {
  // Compact and in the usual order, then each way of leaving that spelling, and texts that stop
  // or go wrong at every part of an entry.
  const std::vector<std::string> entries = {
      R"({"model":"model-000001","weightsBytes":123456789,"kvBytes":12345678})",
      R"({"model":"m","weightsBytes":0})",
      R"({"model":"m","weightsBytes":0,"kvBytes":0})",
      R"({"model":"abcdefghijklmnopq","weightsBytes":9999999999999999999})",
      R"({"model":"m","weightsBytes":18446744073709551615,"kvBytes":1})",
      R"({"model":"m","weightsBytes":18446744073709551616})",
      R"({"model":"m","weightsBytes":99999999999999999999999})",
      R"({"model":"m","weightsBytes":12345678})",
      R"({"model":"m","weightsBytes":1234567})",
      R"({"model":"m","weightsBytes":00})",
      R"({"model":"m","weightsBytes":01})",
      R"({"model":"m","weightsBytes":012345678})",
      R"({"model":"m","weightsBytes":-1})",
      R"({"model":"m","weightsBytes":-0})",
      R"({"model":"m","weightsBytes":1.0})",
      R"({"model":"m","weightsBytes":1.5})",
      R"({"model":"m","weightsBytes":12345678.0})",
      R"({"model":"m","weightsBytes":1e3})",
      R"({"model":"m","weightsBytes":1E3,"kvBytes":2e0})",
      R"({"model":"m","weightsBytes":1,"kvBytes":null})",
      R"({"model":"m","weightsBytes":1,"kvBytes":"2"})",
      R"({"model":"m","weightsBytes":"1"})",
      R"({"model":"m"})",
      R"({"model":"","weightsBytes":1})",
      R"({"model":7,"weightsBytes":1})",
      R"({"model":null,"weightsBytes":1})",
      R"({"weightsBytes":1})",
      R"({"weightsBytes":1,"model":"m"})",
      R"({"kvBytes":2,"weightsBytes":1,"model":"m"})",
      R"({"model":"m","weights_bytes":1,"kv_bytes":2})",
      R"({"model":"m","weights_bytes":1,"weightsBytes":2,"kv_bytes":3,"kvBytes":4})",
      R"({"model":"m","weightsBytes":1,"weights_bytes":"x"})",
      R"({"model":"m","weightsBytes":1,"weightsBytes":2})",
      R"({"model":"a","model":"b","weightsBytes":1})",
      R"({"model":"m","weightsBytes":1,"other":[1,{"model":"x"}]})",
      R"({"modelx":"m","weightsBytes":1})",
      R"({"mode":"m","weightsBytes":1})",
      R"({"mod\u0065l":"m","weightsBytes":1})",
      R"({"model":"a\u0062","weightsBytes":1})",
      R"({"model":"a\"b","weightsBytes":1})",
      R"({"model":"a\\","weightsBytes":1})",
      "{\"model\":\"a\x01\",\"weightsBytes\":1}",
      "{\"model\":\"\xC3\xA9\xE2\x80\x94\",\"weightsBytes\":1}",
      " { \"model\" : \"m\" , \"weightsBytes\" : 1 , \"kvBytes\" : 2 } ",
      "{\n\t\"model\":\r\n\"m\",\"weightsBytes\":1\n}",
      R"({"model":"m","weightsBytes":1,})",
      R"({"model":"m" "weightsBytes":1})",
      R"({"model":"m","weightsBytes":1)",
      R"({"model":"m","weightsBytes":1]})",
      R"({"model":"m","weightsBytes":)",
      R"({"model":"m","weightsBytes")",
      R"({"model":"m","weights)",
      R"({"model":"m)",
      R"({"model")",
      R"({")",
      R"({)",
      R"({})",
      "7",
      "null",
      "\"m\"",
      "[]",
  };
  for (const std::string& entry : entries) {
    // Alone, between two plain entries, and as the very end of the text.
    for (const std::string& text :
         {"[" + entry + "]",
          "[{\"model\":\"x\",\"weightsBytes\":5}," + entry +
              ",{\"model\":\"y\",\"weightsBytes\":6}]",
          "[" + entry, "[{\"model\":\"x\",\"weightsBytes\":5}," + entry}) {
      SCOPED_TRACE(text);
      const auto expected = roster_from_tree(text);
      EXPECT_EQ(load_roster(text), expected);
      if (expected) {
        const AdmissionResult r = admit_roster(*expected, kCard24, compute_reserve(kCard24, 10));
        EXPECT_EQ(plan(kCard24, 10, text), write_plan_document(r));
      } else {
        EXPECT_EQ(plan(kCard24, 10, text).error(), expected.error());
      }
    }
  }
}

const char* kWorkedRoster = R"([{"model":"a","weightsBytes":8589934592,"kvBytes":2147483648},)"
                            R"({"model":"b","weightsBytes":17179869184,"kvBytes":0},)"
                            R"({"model":"c","weightsBytes":4294967296,"kvBytes":1073741824}])";

TEST(PlanTest, WorkedDocuments) {
  EXPECT_EQ(plan(kCard24, 10, kWorkedRoster).value(),
            "{\"admitted\":[\"a\",\"c\"],\"committed_bytes\":16106127360,\"declared\":3,"
            "\"explain\":\"2 of 3 admitted, 15.0 GiB committed of 21.6 GiB usable\\n  REJECTED b "
            "\xE2\x80\x94 needs 16.0 GiB, 11.6 GiB free, short by 4.4 GiB\",\"fits\":false,"
            "\"headroom_bytes\":7086696046,\"rejected\":[{\"free_bytes\":12455405166,\"model\":"
            "\"b\",\"needed_bytes\":17179869184,\"short_bytes\":4724464018}],\"usable_bytes\":"
            "23192823406}");
  EXPECT_EQ(plan(kCard24, 10, "[]").value(),
            "{\"admitted\":[],\"committed_bytes\":0,\"declared\":0,\"explain\":\"0 of 0 admitted, "
            "0.0 GiB committed of 21.6 GiB usable\",\"fits\":true,\"headroom_bytes\":23192823406,"
            "\"rejected\":[],\"usable_bytes\":23192823406}");
}

TEST(PlanTest, DirectWritingAgreesWithTheTree) {
  const std::vector<std::vector<DeclaredModel>> rosters = {
      {},
      {{"a", 8589934592, 2147483648}, {"b", 17179869184, 0}, {"c", 4294967296, 1073741824}},
      {{"q\"\\\t\x01", 5, 0}, {"\xc3\xa9", UINT64_MAX, 1}, {"z", 0, 0}, {"z", 0, 0}},
  };
  for (const auto& roster : rosters) {
    json::Array entries;
    for (const DeclaredModel& m : roster) {
      json::Object entry;
      entry.insert("model", json::Value::string(m.model));
      entry.insert("weightsBytes", json::Value::unsigned_integer(m.weights_bytes));
      entry.insert("kvBytes", json::Value::unsigned_integer(m.kv_bytes));
      entries.push_back(json::Value::object(std::move(entry)));
    }
    const std::string text = json::write(json::Value::array(std::move(entries)));
    for (std::uint64_t card : {std::uint64_t{0}, std::uint64_t{1073741824}, kCard24}) {
      const AdmissionResult r = admit_roster(roster, card, compute_reserve(card, 10));
      EXPECT_EQ(write_plan_document(r), json::write(plan_document(r)));
      // plan() judges and writes while it reads, and must come to the same document.
      EXPECT_EQ(plan(card, 10, text), write_plan_document(r)) << text;
    }
  }
}

TEST(PlanTest, NamesAreEscapedInJsonButVerbatimInTheSummary) {
  const AdmissionResult r = admit_roster({{"q\"\\\t", 5, 0}}, 1073741824, 1073741824);
  EXPECT_EQ(plan_summary(r),
            "0 of 1 admitted, 0.0 GiB committed of 0.0 GiB usable\n  REJECTED q\"\\\t \xE2\x80\x94 "
            "needs 0.0 GiB, 0.0 GiB free, short by 0.0 GiB");
  auto doc = plan(1073741824, 0, R"([{"model":"q\"\\\t","weightsBytes":5}])");
  ASSERT_TRUE(doc.has_value());
  EXPECT_NE(doc->find(R"("model":"q\"\\\t")"), std::string::npos);
  EXPECT_NE(doc->find(R"(REJECTED q\"\\\t )"), std::string::npos);
}

TEST(PlanTest, FitsDependsOnRejectionsOnly) {
  // A roster that fills the usable bytes exactly still fits, with no headroom.
  auto doc = plan(2147483648, 0, R"([{"model":"m","weightsBytes":1073741824}])");
  ASSERT_TRUE(doc.has_value());
  EXPECT_NE(doc->find("\"fits\":true,\"headroom_bytes\":0,"), std::string::npos);
}

// The blocks plan_in_blocks hands over, and what it tells of the rest and when.
struct HandedBlocks {
  struct Told {
    std::size_t rest_bytes;
    std::size_t handed_bytes;  // by then
  };
  std::vector<std::string> blocks;
  std::vector<Told> told;

  std::expected<std::string, std::string> plan(std::uint64_t card, const std::string& text,
                                               bool in_place) {
    const auto take = [this](std::string_view block) { blocks.emplace_back(block); };
    const auto rest_known = [this](std::size_t rest_bytes) {
      std::size_t handed = 0;
      for (const std::string& block : blocks) {
        handed += block.size();
      }
      told.push_back({rest_bytes, handed});
    };
    const PlanBlocks to{.take = take, .rest_known = rest_known};
    return in_place ? plan_in_blocks(card, 10, std::string_view(text), to)
                    : plan_in_blocks(card, 10, text, to);
  }
};

TEST(PlanTest, BlocksJoinToThePlanAndSplitNoCharacter) {
  // Names in one- to four-byte characters, with bytes that escaping lengthens, over a roster
  // whose document takes many blocks; the card holds some models and rejects the rest.
  std::string text = "[";
  for (int i = 0; i < 3000; ++i) {
    static constexpr std::string_view kChars[] = {
        "m", "\xC3\xA9", "\xE2\x80\x94", "\xF0\x9F\x98\x80", "\\\"", "\\n"};
    std::string name = std::to_string(i);
    for (int j = 0; j < i % 41; ++j) {
      name += kChars[(i * 7 + j) % 6];
    }
    text += std::string(i > 0 ? "," : "") + R"({"model":")" + name + R"(","weightsBytes":)" +
            std::to_string(std::uint64_t(i % 5) << 30) + "}";
  }
  text += "]";
  for (std::uint64_t card : {std::uint64_t{0}, std::uint64_t{600} << 30, std::uint64_t{1} << 50}) {
    SCOPED_TRACE(card);
    auto whole = plan(card, 10, text);
    ASSERT_TRUE(whole.has_value());
    for (bool in_place : {false, true}) {
      SCOPED_TRACE(in_place);
      HandedBlocks handed;
      auto rest = handed.plan(card, text, in_place);
      ASSERT_TRUE(rest.has_value());
      EXPECT_GT(handed.blocks.size(), 2U);
      std::string joined;
      for (const std::string& block : handed.blocks) {
        EXPECT_LE(block.size(), kPlanBlockBytes);
        EXPECT_NE(static_cast<unsigned char>(block.front()) & 0xC0, 0x80);
        joined += block;
      }
      EXPECT_NE(static_cast<unsigned char>(rest->front()) & 0xC0, 0x80);
      joined += *rest;
      EXPECT_EQ(joined, *whole);
      // Told once, with the room the writer makes for the rest, which here covers it.
      ASSERT_EQ(handed.told.size(), 1U);
      EXPECT_GE(handed.told[0].rest_bytes, joined.size() - handed.told[0].handed_bytes);
    }
  }
  for (std::string_view bad : {"[", R"([{"model":"a"}])"}) {
    for (bool in_place : {false, true}) {
      HandedBlocks handed;
      EXPECT_EQ(handed.plan(kCard24, std::string(bad), in_place).error(),
                plan(kCard24, 10, std::string(bad)).error());
      EXPECT_TRUE(handed.told.empty());
    }
  }
}

}  // namespace
}  // namespace marlix::planner
