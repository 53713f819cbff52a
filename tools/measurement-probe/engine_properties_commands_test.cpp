// The engine's conditional-property and TCF commands over the real probe binary: what a run
// leaves in the database and the preferences, and what a second launch does with it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/core/value.h"
#include "platform/foundation/property_list.h"
#include "tools/measurement-probe/probe_test_support.h"

namespace {

using nlohmann::json;
using platform::Value;

constexpr const char* kStart = R"({"op":"engineStart","appID":"1:1:ios:abc"})";

class EnginePropertiesCommandsTest : public probe_testing::ProbeTest {
 protected:
  static std::vector<std::string> names(const json& reply) {
    return reply["result"]["rawEvents"].get<std::vector<std::string>>();
  }
};

TEST_F(EnginePropertiesCommandsTest, PropertiesActivateTimeOutAndTriggerAsEventsArrive) {
  const auto out = run(
      "--mock-clock 1700000000",
      {kStart,
       R"({"op":"engineConditionalPropertySet","name":"now_prop","value":42,"triggerTimeout":3600,"timeToLive":3600,"triggeredEvent":{"name":"now_set"}})",
       R"({"op":"engineConditionalPropertySet","name":"late_prop","value":"x","triggerEventName":"level_up","triggerTimeout":10,"timeToLive":3600,"timedOutEvent":{"name":"late_timed_out"}})",
       R"({"op":"engineConditionalPropertySet","name":"ai_prop","value":1,"triggerEventName":"_ai","triggerTimeout":3600,"timeToLive":3600,"triggeredEvent":{"name":"ai_set"}})",
       R"({"op":"advance","seconds":10.5})", R"({"op":"engineLogEvent","name":"level_up"})",
       R"({"op":"engineLogEvent","name":"ad_impression"})",
       R"({"op":"engineConditionalProperties","prefix":"late"})"});
  const auto replies = out.replies();
  ASSERT_EQ(replies.size(), 8u);
  const json& now = replies[1]["result"]["properties"][0];
  EXPECT_EQ(now["active"], true);
  EXPECT_EQ(now["triggeredTimestamp"], 1700000000.0);
  // The first start's own "_f" and "_e" come first.
  EXPECT_EQ(names(replies[5]),
            (std::vector<std::string>{"_f", "_e", "now_set", "late_timed_out", "level_up"}));
  EXPECT_EQ(names(replies[6]), (std::vector<std::string>{"_f", "_e", "now_set", "late_timed_out",
                                                         "level_up", "ad_impression", "ai_set"}));
  EXPECT_TRUE(replies[7]["result"]["properties"].empty());
}

TEST_F(EnginePropertiesCommandsTest, TCFValuesInTheAppsPreferencesAreLoggedOnceAndSetConsent) {
  std::filesystem::create_directories(home() + "/Preferences");
  std::string vendor(755, '0');
  vendor[754] = '1';
  const Value values(
      platform::ValueMap{{Value("IABTCF_gdprApplies"), Value(std::int64_t{1})},
                         {Value("IABTCF_EnableAdvertiserConsentMode"), Value(std::int64_t{1})},
                         {Value("IABTCF_VendorConsents"), Value(vendor)},
                         {Value("IABTCF_PurposeConsents"), Value("1111111111")},
                         {Value("IABTCF_VendorLegitimateInterests"), Value(vendor)},
                         {Value("IABTCF_PurposeLegitimateInterests"), Value("1111111111")},
                         {Value("IABTCF_CmpSdkID"), Value(std::int64_t{300})},
                         {Value("IABTCF_PolicyVersion"), Value(std::int64_t{4})}});
  ASSERT_TRUE(platform::writePropertyListFile(home() + "/Preferences/com.lumora.host.plist", values,
                                              platform::PropertyListFormat::Xml));
  const std::vector<std::string> commands{kStart, R"({"op":"engineTCF"})",
                                          R"({"op":"engineLogEvent","name":"level_up"})"};
  auto first = run("--mock-clock 1700000000", commands).replies();
  ASSERT_EQ(first.size(), 3u);
  EXPECT_EQ(first[1]["result"]["consentSource"], 5);
  EXPECT_EQ(first[1]["result"]["consent"], (json{{"ad_storage", "granted"},
                                                 {"ad_personalization", "granted"},
                                                 {"ad_user_data", "granted"}}));
  EXPECT_EQ(names(first[2]), (std::vector<std::string>{"_f", "_e", "_tcf", "level_up"}));

  const auto snapshot = platform::readPropertyListFile(
      home() + "/Preferences/com.ziriza.duz.measurement.tcf.userdefaults.plist");
  ASSERT_TRUE(snapshot && snapshot->isMap());
  EXPECT_TRUE(snapshot->asMap().contains(Value("tcf_StringRepresentation")));

  // Same values at the next launch: no second "_tcf" (and no second first open).
  auto second = run("--mock-clock 1700000100", commands).replies();
  ASSERT_EQ(second.size(), 3u);
  EXPECT_EQ(names(second[2]),
            (std::vector<std::string>{"_f", "_e", "_tcf", "level_up", "level_up"}));
}

}  // namespace
