// Runs the real measurement-probe binary over a fresh state root, several times where a rule
// spans launches.
#include <gmock/gmock.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/foundation/file_manager.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/testing/scratch_dir_for_testing.h"
#include "tools/measurement-probe/probe_test_support.h"

namespace {

using nlohmann::json;
using testing::HasSubstr;
using testing::Not;

using probe_testing::ProbeRun;

class MeasurementProbeTest : public probe_testing::ProbeTest {
 protected:
  std::string configFile() const {
    return home() + "/Application Support/Ziriza/Measurement/com.ziriza.duz.measurement.plist";
  }
  platform::ValueMap configContents() const {
    auto stored = platform::readPropertyListFile(configFile());
    return stored && stored->isMap() ? stored->asMap() : platform::ValueMap{};
  }
};

const std::string kDebugLine = R"({"op":"log","level":7,"code":99001,"message":"100% %d done"})";
const std::string kPrinted = "11.15.0 - <DevAzerirerize>[I-ACS099001] 100% %d done";

TEST_F(MeasurementProbeTest, DebugModeFollowsTheArgumentsAndPersistsAcrossLaunches) {
  EXPECT_THAT(run("", {kDebugLine}).log, Not(HasSubstr(kPrinted)));
  EXPECT_THAT(run("--store-build -- -APMAnalyticsDebugEnabled", {kDebugLine}).log,
              Not(HasSubstr(kPrinted)));

  const auto enabled = run("-- -APMAnalyticsDebugEnabled", {kDebugLine});
  EXPECT_THAT(enabled.log, HasSubstr(kPrinted));
  EXPECT_THAT(enabled.log, HasSubstr("[I-ACS024000] Debug mode is on"));
  const auto preferences =
      platform::readPropertyListFile(home() + "/Preferences/com.lumora.host.plist");
  ASSERT_TRUE(preferences && preferences->isMap());
  EXPECT_EQ(*preferences->find(platform::Value("/ziriza/measurement/debug_mode")),
            platform::Value(true));

  EXPECT_THAT(run("", {kDebugLine}).log, HasSubstr(kPrinted));
  EXPECT_THAT(run("-- -noAPMAnalyticsDebugEnabled", {kDebugLine}).log, Not(HasSubstr(kPrinted)));
  EXPECT_THAT(run("", {kDebugLine}).log, Not(HasSubstr(kPrinted)));
}

TEST_F(MeasurementProbeTest, SilentReportsArePrintedByTheProbeButNotLogged) {
  const auto result = run("", {R"({"op":"log","level":2,"code":19000,"message":"quiet"})"});
  EXPECT_THAT(result.reportedCodes(), testing::ElementsAre(19000));
  EXPECT_EQ(result.lines[0]["level"], 2);
  EXPECT_THAT(result.log, Not(HasSubstr("I-ACS019000")));
}

TEST_F(MeasurementProbeTest, HealthTextAfterThePeriodUnderTheMockClock) {
  const auto result =
      run("--mock-clock 1700000000",
          {R"({"op":"log","level":1,"code":34019,"message":"Failed one"})",
           R"({"op":"log","level":1,"code":34019,"message":"Failed two"})",
           R"({"op":"log","level":1,"code":34019,"message":"Failed three"})",
           R"({"op":"log","level":0,"code":1,"message":"zero"})",
           R"({"op":"log","level":3,"code":3,"message":"three"})", R"({"op":"health","period":60})",
           R"({"op":"advance","seconds":61})", R"({"op":"health","period":60})"});
  const auto replies = result.replies();
  ASSERT_EQ(replies.size(), 8u);
  EXPECT_TRUE(replies[5]["result"].is_null());
  EXPECT_THAT(replies[7]["result"].get<std::string>(),
              testing::AnyOf("3:1E_111500:Failed one", "3:1E_111500:Failed two",
                             "3:1E_111500:Failed three"));
}

TEST_F(MeasurementProbeTest, PersistedConfigurationAcrossLaunches) {
  // An older version's file in the preferences folder is moved on start.
  platform::FileManager::defaultManager().createDirectory(home() + "/Preferences", true);
  platform::writePropertyListFile(home() + "/Preferences/com.ziriza.duz.measurement.plist",
                                  platform::Value::map({{"legacy", 1}}),
                                  platform::PropertyListFormat::Binary);
  const auto first =
      run("--mock-clock 1700000000",
          {R"({"op":"configSet","key":"deep","value":[1,null]})", R"({"op":"midnightOffset"})",
           R"({"op":"measurementEnabledState","state":1})",
           R"({"op":"configSet","key":"last","value":"just before the end"})"});
  EXPECT_THAT(first.log, HasSubstr("[I-ACS043003]"));
  EXPECT_FALSE(platform::FileManager::defaultManager().fileExists(
      home() + "/Preferences/com.ziriza.duz.measurement.plist"));
  const double offset = first.replies()[1]["result"].get<double>();
  EXPECT_GE(offset, 0);
  EXPECT_LT(offset, 86400);
  EXPECT_EQ(std::round(offset * 1000) / 1000, offset);
  // The last change was still waiting for its timed write when the input ended.
  const auto contents = configContents();
  EXPECT_EQ(contents.at(platform::Value("last")), platform::Value("just before the end"));
  EXPECT_EQ(contents.at(platform::Value("legacy")), platform::Value(1));
  EXPECT_EQ(contents.count(platform::Value("deep")), 0u);

  platform::FileManager::defaultManager().removeItem(configFile());
  const auto second =
      run("", {R"({"op":"measurementEnabledState"})", R"({"op":"midnightOffset"})"});
  EXPECT_EQ(second.replies()[0]["result"], 1);
  const auto third = run("", {R"({"op":"midnightOffset"})"});
  EXPECT_EQ(third.replies()[0]["result"], second.replies()[1]["result"]);
}

TEST_F(MeasurementProbeTest, WorkerBlocks) {
  const auto result = run("", {R"({"op":"worker","throw":true,"blockID":"Probe:1"})",
                               R"({"op":"worker","blockID":"Probe:2"})",
                               R"({"op":"worker","throw":true,"sync":true,"blockID":"Probe:3"})"});
  EXPECT_THAT(result.reportedCodes(), testing::ElementsAre(30000, 30003, 30004));
  const auto replies = result.replies();
  EXPECT_EQ(replies[0]["result"]["ran"], false);
  EXPECT_EQ(replies[1]["result"]["ran"], true);
  EXPECT_THAT(result.log, HasSubstr("[I-ACS030000] Exception on worker queue. Block ID=Probe:1."));
}

TEST_F(MeasurementProbeTest, Utilities) {
  const auto replies =
      run("",
          {R"({"op":"lsb64","hex":"010203"})", R"({"op":"md5String","text":"abc"})",
           R"({"op":"parseQuery","query":"a=1&a=2&b"})", R"({"op":"unescape","text":"a+b%20c"})",
           R"({"op":"unescape","text":"%zz"})", R"({"op":"lsb64","hex":"0g"})"})
          .replies();
  ASSERT_EQ(replies.size(), 6u);
  EXPECT_EQ(replies[0]["result"], 66051);
  EXPECT_EQ(replies[1]["result"], "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(replies[2]["result"], (json{{"a", "1"}, {"b", ""}}));
  EXPECT_EQ(replies[3]["result"], "a b c");
  EXPECT_TRUE(replies[4]["result"].is_null());
  EXPECT_TRUE(replies[5].contains("error"));
}

}  // namespace

TEST_F(MeasurementProbeTest, ConsentStoreAnswers) {
  const auto replies =
      run("",
          {R"({"op":"consent"})",
           R"({"op":"consentSet","settings":{"analytics_storage":"denied","ad_user_data":"EU_CONSENT_POLICY"}})",
           R"({"op":"consentSet","settings":{"ad_storage":"denied"}})",
           R"({"op":"consentConfigure","delegated":{"ad_user_data":"ad_storage"},"defaults":{"ad_user_data":"granted"}})",
           R"({"op":"consentSource","source":10})", R"({"op":"consentAccepts","source":5})",
           R"({"op":"consentSource","source":30})", R"({"op":"consentAccepts","source":40})"})
          .replies();
  ASSERT_EQ(replies.size(), 8u);
  EXPECT_EQ(replies[0]["result"]["signals"], "G1--");
  EXPECT_EQ(replies[0]["result"]["diagnostics"], "19999");
  EXPECT_EQ(replies[1]["result"]["adUserDataDenied"], true);
  EXPECT_EQ(replies[1]["result"]["diagnostics"].get<std::string>()[3], '8');
  EXPECT_EQ(replies[1]["result"]["description"],
            "ad_storage is granted. analytics_storage is denied. ad_user_data is denied "
            "(eu_consent_policy).");
  EXPECT_EQ(replies[3]["result"]["adUserDataDenied"], true);
  EXPECT_EQ(replies[5]["result"], (json{{"equalPriority", true}, {"accepted", true}}));
  EXPECT_EQ(replies[7]["result"], (json{{"equalPriority", false}, {"accepted", false}}));
}

TEST_F(MeasurementProbeTest, EnvironmentFactsComeFromTheProcessSurroundings) {
  const std::string bundle = scratch_ / "App.bundle";
  std::filesystem::create_directories(bundle + "/Resources");
  platform::ValueMap options;
  options[platform::Value("ZIRIZA_APP_ID")] = platform::Value("1:1:ios:1");
  ASSERT_TRUE(platform::writePropertyListFile(bundle + "/Info.plist", platform::Value::emptyMap(),
                                              platform::PropertyListFormat::Xml));
  ASSERT_TRUE(platform::writePropertyListFile(bundle + "/Resources/ZirizaService-Info.plist",
                                              platform::Value(options),
                                              platform::PropertyListFormat::Xml));
  struct Case {
    std::string environment;
    std::int64_t minutes;
    json language;
  } cases[] = {
      {"TZ=UTC-5:30 LANGUAGE=en_US", 330, "en-us"},
      {"TZ=UTC+3:30 LANGUAGE= LC_ALL=C", -210, nullptr},
  };
  for (const auto& c : cases) {
    environment_ = c.environment + " LUMORA_BUNDLE='" + bundle + "'";
    const auto replies = run("", {R"({"op":"environment"})"}).replies();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0]["result"]["timeZoneOffsetMinutes"], c.minutes) << c.environment;
    EXPECT_EQ(replies[0]["result"]["language"], c.language) << c.environment;
    EXPECT_EQ(replies[0]["result"]["serviceOptions"]["ZIRIZA_APP_ID"], "1:1:ios:1");
    EXPECT_FALSE(replies[0]["result"]["deviceModel"].get<std::string>().empty());
  }
}
