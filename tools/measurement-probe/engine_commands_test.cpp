// The engine commands over the real probe binary: start refusals, collection switches that last
// across runs, and what a start leaves on disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/measurement-probe/probe_test_support.h"

namespace {

class EngineCommandsTest : public probe_testing::ProbeTest {
 protected:
  static bool has(const std::vector<std::int64_t>& codes, std::int64_t code) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
  }
  // The state after the run's last command ("engineIdle" is appended).
  static nlohmann::json finalState(const probe_testing::ProbeRun& run) {
    return run.replies().back()["result"];
  }
  probe_testing::ProbeRun runEngine(std::vector<std::string> commands) {
    commands.push_back(R"({"op":"engineIdle"})");
    return run("", commands);
  }
};

TEST_F(EngineCommandsTest, StartRefusalsAsProbeRuns) {
  const std::string start = R"({"op":"engineStart","appID":"1:1:ios:abc","origin":"fa"})";
  struct Case {
    std::string name;
    std::string bundle;  // LUMORA_BUNDLE, or "" for the default one (no service file)
    std::vector<std::string> commands;
    std::int64_t code;  // 0: no refusal report
    bool engine;
    bool safelist;
  };
  const std::vector<Case> cases = {
      {"service file without the analytics class",
       LUMORA_SAMPLE_BUNDLE,
       {start},
       25027,
       false,
       false},
      {"analytics class with origin app",
       "",
       {R"({"op":"registerClass","name":"DIDErizevizo"})",
        R"({"op":"engineStart","appID":"1:1:ios:abc","origin":"app"})"},
       25026,
       false,
       false},
      {"analytics class with origin fa",
       "",
       {R"({"op":"registerClass","name":"DIDErizevizo"})", start},
       0,
       true,
       false},
      {"older database class",
       "",
       {R"({"op":"registerClass","name":"FIRADatabase"})", start},
       25029,
       false,
       false},
      {"empty app ID", "", {R"({"op":"engineStart","appID":"","origin":"fa"})"}, 0, false, false},
      {"safelist not a list",
       "",
       {R"({"op":"engineStart","appID":"1:1:ios:abc","options":{"safelisted_events":"x"}})"},
       25034,
       true,
       false},
      {"safelist with a 41-character name",
       "",
       {R"({"op":"engineStart","appID":"1:1:ios:abc","options":{"safelisted_events":["ok_event",")" +
        std::string(41, 'a') + R"("]}})"},
       25035,
       true,
       false},
      {"valid safelist",
       "",
       {R"({"op":"engineStart","appID":"1:1:ios:abc","options":{"safelisted_events":["ok_event"]}})"},
       0,
       true,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(home());
    environment_ = c.bundle.empty() ? std::string() : "LUMORA_BUNDLE='" + c.bundle + "'";
    const auto result = runEngine(c.commands);
    const auto codes = result.reportedCodes();
    for (std::int64_t refusal : {25026, 25027, 25029, 25034, 25035}) {
      EXPECT_EQ(has(codes, refusal), refusal == c.code) << refusal;
    }
    const auto state = finalState(result);
    EXPECT_EQ(state["engine"], c.engine);
    EXPECT_EQ(state["databaseFileExists"], c.engine);
    if (c.engine) {
      EXPECT_EQ(!state["safelistedEvents"].is_null(), c.safelist);
    }
  }
}

TEST_F(EngineCommandsTest, ADisablingThatPersistsHoldsAtTheNextStart) {
  const std::string start = R"({"op":"engineStart","appID":"1:1:ios:abc","origin":"fa"})";
  auto first = runEngine({start, R"({"op":"engineSetEnabled","enabled":false,"persist":true})",
                          R"({"op":"measurementEnabledState"})"});
  EXPECT_TRUE(has(first.reportedCodes(), 23012));
  EXPECT_TRUE(has(first.reportedCodes(), 23013));
  EXPECT_EQ(first.replies()[2]["result"], 2);

  auto second = runEngine({start});
  EXPECT_TRUE(has(second.reportedCodes(), 23013));
  EXPECT_FALSE(has(second.reportedCodes(), 23012));
  EXPECT_EQ(finalState(second)["enabled"], false);
  EXPECT_NE(second.log.find("I-ACS023013"), std::string::npos);
}

TEST_F(EngineCommandsTest, EnablingWhileDeactivatedPersistsButCollectionStaysOff) {
  auto result = runEngine(
      {R"({"op":"engineStart","appID":"1:1:ios:abc","options":{"ZEVEVIDI_ANALYTICS_COLLECTION_DEACTIVATED":true}})",
       R"({"op":"engineSetEnabled","enabled":true,"persist":true})",
       R"({"op":"measurementEnabledState"})"});
  EXPECT_EQ(result.replies()[2]["result"], 1);
  const auto state = finalState(result);
  EXPECT_EQ(state["analyticsEnabled"], false);
  EXPECT_EQ(state["enabled"], false);
  EXPECT_EQ(state["databaseFileExists"], false);
}

TEST_F(EngineCommandsTest, AStartLeavesTheDatabaseAndTheAppIDOnDisk) {
  auto result = runEngine({R"({"op":"engineSessionID"})",
                           R"({"op":"engineStart","appID":"1:1:ios:abc","origin":"fa"})"});
  EXPECT_EQ(result.replies()[0]["result"]["error"]["code"], 13);
  EXPECT_NE(result.log.find("[I-ACS023007] Analytics v.111500000 started"), std::string::npos);
  EXPECT_NE(result.log.find("[I-ACS023012] Analytics collection enabled"), std::string::npos);
  const std::string folder = home() + "/Application Support/Ziriza/Measurement/";
  EXPECT_TRUE(std::filesystem::exists(folder + "ziriza-app-measurement.sql"));
  // The persisted configuration's file, read by an independent property-list reader.
  const std::string check =
      "python3 -c \"import plistlib,sys; d=plistlib.load(open(sys.argv[1],'rb'));"
      " sys.exit(d.get('/ziriza/measurement/duz_app_id') != '1:1:ios:abc')\" '" +
      folder + "com.ziriza.duz.measurement.plist'";
  EXPECT_EQ(std::system(check.c_str()), 0);
}

TEST_F(EngineCommandsTest, EventsLoggedThroughTheFacadeReachTheRawEventsTable) {
  const auto result = runEngine({
      R"({"op":"engineStart","appID":"1:1:ios:abc","origin":"fa"})",
      R"({"op":"engineSetDefaultEventParameters","parameters":{"tier":"gold","level":1}})",
      R"({"op":"engineLogEvent","name":"level_up","parameters":{"level":7}})",
      R"({"op":"engineLogEvent","name":"session_start"})",
      R"({"op":"engineSetEnabled","enabled":false,"persist":true})",
      R"({"op":"engineLogEvent","name":"after_disabling"})",
  });
  const auto replies = result.replies();
  ASSERT_EQ(replies.size(), 7u);
  // The first start stores its first open ("_f" with its engagement "_e") before anything else.
  EXPECT_EQ(replies[2]["result"]["rawEvents"], nlohmann::json::array({"_f", "_e", "level_up"}));
  EXPECT_EQ(replies[3]["result"]["rawEvents"],
            nlohmann::json::array({"_f", "_e", "level_up", "_err"}));
  EXPECT_EQ(replies[5]["result"]["rawEvents"],
            nlohmann::json::array({"_f", "_e", "level_up", "_err"}));
}

// Sessions and screen views driven by application notifications under the mock clock: the
// first activation starts session 1, two active hours give two "_e" each after the engagement
// timer, only a gap above the timeout starts session 2, and "screen_view" becomes "_vs".
TEST_F(EngineCommandsTest, ApplicationNotificationsDriveSessionsAndScreenViews) {
  const auto result =
      run("--mock-clock 1700000000",
          {
              R"({"op":"engineStart","appID":"1:1:ios:abc"})",
              R"({"op":"engineApplication","event":"didBecomeActive"})",
              R"({"op":"engineLogEvent","name":"screen_view","parameters":{"screen_name":"A"}})",
              R"({"op":"advance","seconds":7200})",
              R"({"op":"engineApplication","event":"willResignActive"})",
              R"({"op":"advance","seconds":1800})",
              R"({"op":"engineApplication","event":"didBecomeActive"})",
              R"({"op":"engineApplication","event":"willResignActive"})",
              R"({"op":"advance","seconds":1800.5})",
              R"({"op":"engineApplication","event":"didBecomeActive"})",
              R"({"op":"engineTimeline"})",
              R"({"op":"engineApplication","event":"sideways"})",
          });
  const auto replies = result.replies();
  ASSERT_EQ(replies.size(), 12u);
  EXPECT_EQ(replies[1]["result"]["rawEvents"], nlohmann::json::array({"_f", "_e", "_s"}));
  EXPECT_EQ(replies[2]["result"]["rawEvents"], nlohmann::json::array({"_f", "_e", "_s", "_vs"}));
  EXPECT_EQ(replies[6]["result"]["rawEvents"].size(), replies[4]["result"]["rawEvents"].size());
  EXPECT_EQ(replies[9]["result"]["rawEvents"].back(), "_s");
  // The first open's own "_e" comes before the engagement timer has ever fired.
  std::vector<std::string> engagement;
  for (const auto& entry : replies[10]["result"]["timeline"]) {
    if (entry == "timer" || (entry == "_e" && !engagement.empty())) engagement.push_back(entry);
  }
  ASSERT_GE(engagement.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(engagement.begin(), engagement.begin() + 4),
            (std::vector<std::string>{"timer", "_e", "timer", "_e"}));
  EXPECT_TRUE(replies[11].contains("error"));
}

}  // namespace
