// The remote configuration and the identity seen through the real probe: configurations
// encoded by protoc, the stored one replaced with the sqlite3 CLI, bundles written as files.
#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>

#include "tools/measurement-probe/probe_test_support.h"

namespace {

using nlohmann::json;

class ConfigCommandsTest : public probe_testing::ProbeTest {
 protected:
  // The text-format configuration encoded by protoc into a file; its path.
  std::string encode(const std::string& name, const std::string& text) {
    const std::string source = scratch_ / (name + ".txt");
    const std::string target = scratch_ / (name + ".bin");
    std::ofstream(source) << text;
    const std::string line = "protoc --encode=devazerirerize.MeasurementConfig -I '" +
                             std::filesystem::path(LUMORA_MESSAGES_PROTO).parent_path().string() +
                             "' '" + LUMORA_MESSAGES_PROTO "' < '" + source + "' > '" + target +
                             "'";
    EXPECT_EQ(std::system(line.c_str()), 0);
    return target;
  }
  std::vector<json> replies(const std::string& options, const std::vector<json>& commands) {
    std::vector<std::string> lines;
    for (const auto& command : commands)
      lines.push_back(command.dump());
    last_ = run(options, lines);
    return last_.replies();
  }

  probe_testing::ProbeRun last_;
};

constexpr const char* kConfig = R"(version: 5
app_id: "1:1:ios:aa"
settings { name: "measurement.upload.interval" value: "60000" }
settings { name: "measurement.account.time_zone_offset_minutes" value: "-900" }
settings { name: "measurement.upload.max_public_event_params" value: "24" }
settings { name: "measurement.upload.max_event_parameter_value_length" value: "100" }
event_config { event_name: "e0" sampling_rate: 0 }
event_config { event_name: "e2" sampling_rate: 2 }
dynamic_event_editing { }
data_controls { name: "redact_device_info" }
upload_subdomain: "eu"
consent_config { defaults { consent_type: 1 consent_status: 2 } }
)";

TEST_F(ConfigCommandsTest, AStoredConfigurationIsParsedAgainAndExpiresOnTheMockClock) {
  environment_ = "LUMORA_MEASUREMENT_URL=http://127.0.0.1:9";
  const std::string config = encode("config", kConfig);
  const std::string other = encode("other", "version: 9\napp_id: \"1:2:ios:bb\"\n");
  auto out =
      replies("--mock-clock 1700000000", {{{"op", "databaseOpen"}},
                                          {{"op", "remoteConfigOpen"}, {"appID", "1:1:ios:aa"}},
                                          {{"op", "editingRuntime"}, {"failFirst", 1}},
                                          {{"op", "remoteConfigUpdate"}, {"file", config}},
                                          {{"op", "settings"}},
                                          {{"op", "eventConfig"}, {"name", "e0"}},
                                          {{"op", "eventConfig"}, {"name", "e2"}},
                                          {{"op", "remoteConfigUpdate"}, {"file", other}},
                                          {{"op", "advance"}, {"seconds", 59 * 60}},
                                          {{"op", "remoteConfigState"}},
                                          {{"op", "advance"}, {"seconds", 60}},
                                          {{"op", "remoteConfigState"}}});
  ASSERT_EQ(out.size(), 12u);
  EXPECT_EQ(out[3]["result"]["accepted"], true);
  EXPECT_THAT(last_.reportedCodes(), testing::Contains(29026));
  const json& settings = out[4]["result"];
  EXPECT_EQ(settings["uploadingInterval"], 60.0);
  EXPECT_EQ(settings["analyticsAccountTimeZoneOffsetMinutes"], -900);
  EXPECT_EQ(settings["maxPublicEventParams"], 100);
  EXPECT_EQ(settings["maxInternalEventParameterValueLength"], 256);
  EXPECT_EQ(out[5]["result"]["samplingRate"], 1);
  EXPECT_EQ(out[6]["result"]["samplingRate"], 2);
  EXPECT_EQ(out[7]["result"]["accepted"], false);  // another app
  const json& state = out[9]["result"];
  EXPECT_EQ(state["version"], 5);
  EXPECT_EQ(state["dataControls"], json::array({"redact_device_info"}));
  EXPECT_EQ(state["consentDefaults"], json({{"ad_storage", "denied"}}));
  EXPECT_EQ(state["uploadURL"], "http://eu.127.0.0.1:9/a");
  EXPECT_EQ(state["isExpired"], false);
  EXPECT_EQ(out[11]["result"]["isExpired"], true);

  // A restarted probe reads the stored configuration, here one written by hand.
  const std::string replaced =
      encode("replaced", "version: 6\napp_id: \"1:1:ios:aa\"\nupload_subdomain: \"x.example/#\"\n"
                         "settings { name: \"measurement.upload.interval\" value: \"10000\" }\n");
  std::ifstream bytes(replaced, std::ios::binary);
  std::string hex;
  for (char c; bytes.get(c);) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned char>(c));
    hex += pair;
  }
  const std::string sql = "sqlite3 '" + home() +
                          "/Application Support/Ziriza/Measurement/ziriza-app-measurement.sql' "
                          "\"UPDATE app_metadata SET remote_config_data = x'" +
                          hex + "'\"";
  ASSERT_EQ(std::system(sql.c_str()), 0);
  out = replies("", {{{"op", "databaseOpen"}},
                     {{"op", "remoteConfigOpen"}, {"appID", "1:1:ios:aa"}},
                     {{"op", "settings"}},
                     {{"op", "remoteConfigState"}},
                     {{"op", "remoteConfigURL"}, {"platform", "macos"}}});
  ASSERT_EQ(out.size(), 5u);
  EXPECT_EQ(out[1]["result"]["version"], 6);
  EXPECT_EQ(out[2]["result"]["uploadingInterval"], 3600.0);
  EXPECT_EQ(out[3]["result"]["uploadURL"], "http://127.0.0.1:9/a");
  EXPECT_EQ(out[4]["result"],
            "http://127.0.0.1:9/config/app/1:1:ios:aa?duz_version=111500&platform=macos&"
            "runtime_version=0");
}

// The host's script runtime: a configuration whose program fails to load (a top-level return)
// costs only the editing object; its consent settings and data controls still apply.
TEST_F(ConfigCommandsTest, AProgramThatFailsLeavesTheConsentSettingsApplied) {
  environment_ = "LUMORA_MEASUREMENT_URL=http://127.0.0.1:9";
  const std::string config = encode("failing", R"(version: 6
app_id: "1:1:ios:aa"
dynamic_event_editing {
  instructions { type: 2 number_value: 1 }
  instructions { type: 4 function_name: "36" value { type: 2 number_value: 2 } }
}
data_controls { name: "redact_device_info" }
consent_config { defaults { consent_type: 1 consent_status: 2 } }
)");
  auto out =
      replies("--mock-clock 1700000000", {{{"op", "databaseOpen"}},
                                          {{"op", "remoteConfigOpen"}, {"appID", "1:1:ios:aa"}},
                                          {{"op", "editingRuntime"}, {"script", true}},
                                          {{"op", "remoteConfigUpdate"}, {"file", config}},
                                          {{"op", "remoteConfigState"}}});
  ASSERT_EQ(out.size(), 5u);
  EXPECT_EQ(out[3]["result"]["accepted"], true);
  EXPECT_THAT(last_.reportedCodes(), testing::Contains(29026));
  EXPECT_THAT(last_.reportedCodes(), testing::Not(testing::Contains(29027)));
  const json& state = out[4]["result"];
  EXPECT_EQ(state["version"], 6);
  EXPECT_EQ(state["eventEditingLoaded"], false);
  EXPECT_EQ(state["consentDefaults"], json({{"ad_storage", "denied"}}));
  EXPECT_EQ(state["dataControls"], json::array({"redact_device_info"}));
}

TEST_F(ConfigCommandsTest, IdentityComesFromTheBundleAndWaitsForConsent) {
  const std::string bundle = scratch_ / "App.bundle";
  std::filesystem::create_directories(bundle + "/Resources");
  std::ofstream(bundle + "/Info.plist")
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
         "<key>CFBundleIdentifier</key><string>com.example.app</string>"
         "<key>CFBundleVersion</key><string>2.10b3.4</string></dict></plist>\n";
  std::ofstream(bundle + "/Resources/ZirizaService-Info.plist")
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
         "<key>ZIRIZA_APP_ID</key><string>1:42:ios:feed</string></dict></plist>\n";
  environment_ = "LUMORA_BUNDLE='" + bundle + "'";

  auto out = replies("", {{{"op", "consentSet"}, {"settings", {{"analytics_storage", "denied"}}}},
                          {{"op", "identity"}}});
  ASSERT_EQ(out.size(), 2u);
  const json& denied = out[1]["result"];
  EXPECT_EQ(denied["appVersionMajor"], 2);
  EXPECT_EQ(denied["appVersionMinor"], 103);
  EXPECT_EQ(denied["appVersionRelease"], 4);
  EXPECT_EQ(denied["appIDFromDUZ"], "1:42:ios:feed");
  EXPECT_EQ(denied["persistedAppInstanceID"], nullptr);
  EXPECT_EQ(denied["appleConsentStatus"], 6);

  out = replies("", {{{"op", "identity"}}, {{"op", "diversionKey"}}});
  const std::string id = out[0]["result"]["persistedAppInstanceID"].get<std::string>();
  EXPECT_THAT(id, testing::MatchesRegex("[0-9A-F]{32}"));
  const std::string key = out[1]["result"].get<std::string>();
  EXPECT_EQ(key.size(), 5u);
  out = replies("", {{{"op", "identity"}}, {{"op", "diversionKey"}}});
  EXPECT_EQ(out[0]["result"]["appInstanceID"], id);
  EXPECT_EQ(out[1]["result"], key);
}

}  // namespace
