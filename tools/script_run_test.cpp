#include "tools/script_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "measurement/script/apmp_context.h"
#include "platform/dispatch/test_environment.h"
#include "platform/foundation/environment.h"

namespace {

using lumora::scriptrun::Json;

// True when every key of `expected` is in `actual` with a matching value (objects compared the
// same way, lists element by element and of the same length, everything else exactly).
bool matches(const Json& expected, const Json& actual) {
  if (expected.is_array()) {
    if (!actual.is_array() || actual.size() != expected.size()) return false;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      if (!matches(expected[i], actual[i])) return false;
    }
    return true;
  }
  if (!expected.is_object()) return expected == actual;
  if (!actual.is_object()) return false;
  for (const auto& [key, value] : expected.items()) {
    if (!actual.contains(key) || !matches(value, actual[key])) return false;
  }
  return true;
}

class ScriptRunFixtureTest : public ::testing::TestWithParam<const char*> {};

// Every table runs on the mock clock (only the instruction budget ends a long program) and in the
// root locale.
TEST_P(ScriptRunFixtureTest, AnswersMatch) {
  platform::TestEnvironment env;
  platform::ScopedEnvironmentForTesting locale("LC_ALL", "C");
  std::ifstream in(std::string(LUMORA_TOOLS_TESTDATA) + "/" + GetParam());
  ASSERT_TRUE(in) << "fixture table missing: " << GetParam();
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    const Json fixture = Json::parse(line);
    Json request;
    if (fixture.contains("request")) {
      request = fixture["request"];
    } else {
      request = {{"program", fixture["program"]}};
      for (const char* key : {"then", "collections"}) {
        if (fixture.contains(key)) request[key] = fixture[key];
      }
    }
    const Json answer = lumora::scriptrun::runRequest(request);
    EXPECT_TRUE(matches(fixture["expect"], answer))
        << fixture["name"].get<std::string>() << "\n  expected " << fixture["expect"].dump()
        << "\n  got      " << answer.dump();
    ++count;
  }
  EXPECT_GT(count, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, ScriptRunFixtureTest,
    ::testing::Values("script_run_fixtures.jsonl", "script_operator_fixtures.jsonl",
                      "script_loop_fixtures.jsonl", "script_entity_fixtures.jsonl",
                      "script_array_method_fixtures.jsonl", "script_string_method_fixtures.jsonl",
                      "script_editing_fixtures.jsonl"));

// The locale-aware case mappings follow LC_ALL, then LC_CTYPE, then LANG; the plain ones never do.
TEST(ScriptRunTest, LocaleCaseMappingFollowsTheEnvironment) {
  platform::TestEnvironment env;
  auto upper = [](const char* method) {
    const Json call = {{"op", "2"},
                       {"args", Json::array({Json{{"s", "i"}}, Json{{"s", method}},
                                             Json{{"op", "7"}, {"args", Json::array()}}})}};
    return lumora::scriptrun::runRequest(Json{{"program", Json::array({call})}})["value"]["string"];
  };
  {
    platform::ScopedEnvironmentForTesting locale({{"LC_ALL", "tr_TR.UTF-8"}, {"LANG", "C"}});
    EXPECT_EQ(upper("toLocaleUpperCase"), "\u0130");
    EXPECT_EQ(upper("toUpperCase"), "I");
  }
  {
    platform::ScopedEnvironmentForTesting locale({{"LC_ALL", "POSIX"}, {"LC_CTYPE", "tr_TR"}});
    EXPECT_EQ(upper("toLocaleUpperCase"), "I");
  }
  {
    platform::ScopedEnvironmentForTesting locale(
        {{"LC_ALL", std::nullopt}, {"LC_CTYPE", "tr_TR"}, {"LANG", "en_US.UTF-8"}});
    EXPECT_EQ(upper("toLocaleUpperCase"), "\u0130");
  }
}

TEST(ScriptRunTest, ProtocBytesAndTheJsonMirrorGiveTheSameAnswer) {
  platform::TestEnvironment env;
  std::ifstream bytesIn(LUMORA_SCRIPT_PROGRAM_PB, std::ios::binary);
  ASSERT_TRUE(bytesIn);
  const platform::Bytes bytes((std::istreambuf_iterator<char>(bytesIn)),
                              std::istreambuf_iterator<char>());
  ASSERT_FALSE(bytes.empty());
  std::ifstream mirrorIn(std::string(LUMORA_TOOLS_TESTDATA) + "/script_run_program.json");
  const Json mirror = Json::parse(mirrorIn);

  const Json fromBytes = lumora::scriptrun::runProgramBytes(bytes);
  EXPECT_EQ(fromBytes, lumora::scriptrun::runRequest(mirror));
  EXPECT_EQ(fromBytes["error"], nullptr);
  EXPECT_EQ(fromBytes["value"]["string"], "6.5,h\u00e9!,object,false,[object Object]");
}

TEST(ScriptRunTest, MalformedRequestsAreAnsweredNotRun) {
  for (const char* text :
       {R"({})", R"({"program": 5})", R"({"program": [{"n": "five"}]})",
        R"({"program": [{"op": 7}]})", R"({"program": [{"op": "7", "args": 1}]})",
        R"({"program": [], "collections": 0})", R"({"program": [], "then": 5})"}) {
    const Json answer = lumora::scriptrun::runRequest(Json::parse(text));
    EXPECT_TRUE(answer.contains("inputError")) << text;
  }
}

}  // namespace

namespace {

double secondsNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

Json get(const char* name) {
  return Json{{"op", "15"}, {"args", Json::array({Json{{"s", name}}})}};
}

Json call(Json receiver, const char* method, Json args) {
  return Json{{"op", "2"},
              {"args", Json::array({std::move(receiver), Json{{"s", method}},
                                    Json{{"op", "7"}, {"args", std::move(args)}}})}};
}

// Hostile programs on the real clock: each ends by its bound, soon.
TEST(ScriptRunHostileTest, CatastrophicBacktrackingEndsWithTheRegexTimeOut) {
  const Json program = Json::array({call(Json{{"s", std::string(40, 'a') + "b"}}, "match",
                                         Json::array({Json{{"s", "(a+)+$"}}}))});
  const double start = secondsNow();
  const Json answer = lumora::scriptrun::runRequest(Json{{"program", program}});
  EXPECT_LT(secondsNow() - start, 1.0);
  EXPECT_EQ(answer["error"], (Json{{"domain", "ICU"}, {"code", 66322}}));
}

TEST(ScriptRunHostileTest, ALongSearchLoopEndsAtTheDeadline) {
  // a = []; a.length = 2^20; while (true) a.indexOf(1)
  const Json program = Json::parse(R"([
    {"op": "41", "args": [{"s": "a"}]},
    {"op": "3", "args": [{"s": "a"}, {"op": "7", "args": []}]},
    {"op": "43", "args": [{"op": "15", "args": [{"s": "a"}]}, {"s": "length"}, {"n": 1048576}]},
    {"op": "42", "args": [{"b": true}, {"b": true}, {"b": true}, {"op": "46", "args": [
      {"op": "2", "args": [{"op": "15", "args": [{"s": "a"}]}, {"s": "indexOf"},
                           {"op": "7", "args": [{"n": 1}]}]}]}]}])");
  const double start = secondsNow();
  const Json answer = lumora::scriptrun::runRequest(Json{{"program", program}});
  const double elapsed = secondsNow() - start;
  EXPECT_EQ(answer["error"]["code"], APMPErrorLimit);
  EXPECT_GE(elapsed, APMPRunDeadlineSeconds);
  // The search checks the deadline every few thousand slots; a loaded machine may add a little.
  EXPECT_LT(elapsed, APMPRunDeadlineSeconds + 5.0);
  // Ended by the clock, far from the instruction budget.
  EXPECT_LT(answer["instructions"].get<int>(), 100000);
}

// Comparators that answer inconsistently (a counter's residue) leave the same elements, sorted
// or not, and the sort completes.
TEST(ScriptRunHostileTest, AnInconsistentComparatorLeavesAPermutation) {
  platform::TestEnvironment env;
  Json items = Json::array();
  for (int i = 0; i < 300; ++i)
    items.push_back(Json{{"n", (i * 37) % 101}});
  // c = 0; a = [...]; a.sort(function (x, y) { c = c + 7; return c % 3 - 1 }); a
  Json comparator = Json::parse(R"({"op": "51", "args": [{"s": ""},
      {"op": "7", "args": [{"s": "x"}, {"s": "y"}]},
      {"op": "3", "args": [{"s": "c"}, {"op": "0", "args": [{"op": "15", "args": [{"s": "c"}]},
                                                            {"n": 7}]}]},
      {"op": "36", "args": [{"op": "37", "args": [
          {"op": "25", "args": [{"op": "15", "args": [{"s": "c"}]}, {"n": 3}]}, {"n": 1}]}]}]})");
  const Json program = Json::array(
      {Json::parse(R"({"op": "41", "args": [{"s": "a"}, {"s": "c"}]})"),
       Json::parse(R"({"op": "3", "args": [{"s": "c"}, {"n": 0}]})"),
       Json{{"op", "3"},
            {"args", Json::array({Json{{"s", "a"}}, Json{{"op", "7"}, {"args", items}}})}},
       call(get("a"), "sort", Json::array({comparator})), get("a")});
  const Json answer = lumora::scriptrun::runRequest(Json{{"program", program}});
  ASSERT_EQ(answer["error"], nullptr);
  std::vector<int> sorted;
  for (const Json& v : answer["value"]["json"])
    sorted.push_back(v.get<int>());
  std::vector<int> expected;
  for (const Json& v : items)
    expected.push_back(v["n"].get<int>());
  std::sort(sorted.begin(), sorted.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(sorted, expected);
}

}  // namespace
