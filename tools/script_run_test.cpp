#include "tools/script_run.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "platform/dispatch/test_environment.h"

namespace {

using lumora::scriptrun::Json;

// True when every key of `expected` is in `actual` with a matching value (objects compared the
// same way, everything else exactly).
bool matches(const Json& expected, const Json& actual) {
  if (!expected.is_object()) return expected == actual;
  if (!actual.is_object()) return false;
  for (const auto& [key, value] : expected.items()) {
    if (!actual.contains(key) || !matches(value, actual[key])) return false;
  }
  return true;
}

class ScriptRunFixtureTest : public ::testing::TestWithParam<const char*> {};

// Every table runs on the mock clock: only the instruction budget ends a long program.
TEST_P(ScriptRunFixtureTest, AnswersMatch) {
  platform::TestEnvironment env;
  std::ifstream in(std::string(LUMORA_TOOLS_TESTDATA) + "/" + GetParam());
  ASSERT_TRUE(in) << "fixture table missing: " << GetParam();
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    const Json fixture = Json::parse(line);
    const Json answer = lumora::scriptrun::runRequest(Json{{"program", fixture["program"]}});
    EXPECT_TRUE(matches(fixture["expect"], answer))
        << fixture["name"].get<std::string>() << "\n  expected " << fixture["expect"].dump()
        << "\n  got      " << answer.dump();
    ++count;
  }
  EXPECT_GT(count, 0);
}

INSTANTIATE_TEST_SUITE_P(Tables, ScriptRunFixtureTest,
                         ::testing::Values("script_run_fixtures.jsonl",
                                           "script_operator_fixtures.jsonl",
                                           "script_loop_fixtures.jsonl",
                                           "script_entity_fixtures.jsonl"));

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
        R"({"program": [{"op": 7}]})", R"({"program": [{"op": "7", "args": 1}]})"}) {
    const Json answer = lumora::scriptrun::runRequest(Json::parse(text));
    EXPECT_TRUE(answer.contains("inputError")) << text;
  }
}

}  // namespace
