// The measurement core's own events and user properties through the real host: first open,
// app update, user properties and the user ID, the non-personalized-ads property and a data
// reset, driven by lumora-peer on a fresh state root and read with the sqlite3 shell and protoc.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "platform/core/value.h"
#include "platform/foundation/property_list.h"
#include "tests/e2e/measurement_fixture.h"

namespace lumora::e2e {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using platform::Value;
using Row = StoredEvent;

constexpr const char* kBundleID = "com.example.lifecycle";

class MeasurementLifecycleEndToEndTest : public MeasurementHostTest {
 protected:
  MeasurementLifecycleEndToEndTest() : MeasurementHostTest(kBundleID) {}

  void startHost() { MeasurementHostTest::startHost({.measurementURL = "http://127.0.0.1:9"}); }
  // Every command of these tests is answered with the empty reply or the identifier.
  std::vector<json> replies(const std::vector<json>& commands) {
    if (!host_) startHost();
    auto out = MeasurementHostTest::replies(commands);
    for (std::size_t i = 0; i < out.size(); ++i)
      EXPECT_TRUE(out[i].is_array() && out[i].size() == 1)
          << commands[i].dump() << " -> " << out[i].dump();
    return out;
  }
  // `key` of the persisted configuration, as Python's plistlib reads the file.
  std::string persisted(const std::string& key) {
    const fs::path file = home_ / "Application Support" / "Ziriza" / "Measurement" /
                          "com.ziriza.duz.measurement.plist";
    std::string out = shellOutput("python3 -c " +
                                  shellQuoted("import plistlib, sys\n"
                                              "with open(sys.argv[1], 'rb') as f:\n"
                                              "    print(plistlib.load(f).get(sys.argv[2]))") +
                                  " " + shellQuoted(file.string()) + " " + shellQuoted(key));
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }
};

TEST_F(MeasurementLifecycleEndToEndTest, TheFirstStartLogsFirstOpenOnceAndAVersionChangeAnUpdate) {
  const auto writeVersion = [&](const char* version) {
    platform::writePropertyListFile(
        (bundle_ / "Info.plist").string(),
        Value::map({{"CFBundleIdentifier", kBundleID}, {"CFBundleShortVersionString", version}}),
        platform::PropertyListFormat::Xml);
  };
  writeVersion("1.0");
  replies({logEventCall("started")});
  waitForEvent("started");
  stopHost();
  const auto firstOpen = storedNamed("_f");
  ASSERT_EQ(firstOpen.size(), 1u);
  EXPECT_TRUE(contains(firstOpen[0].event, stringParam("_o", "auto"))) << firstOpen[0].event;
  EXPECT_TRUE(contains(firstOpen[0].event, intParam("_pfo", 0))) << firstOpen[0].event;
  EXPECT_TRUE(contains(firstOpen[0].event, intParam("_uwa", 0))) << firstOpen[0].event;
  const auto engagement = storedNamed("_e");
  ASSERT_FALSE(engagement.empty());
  EXPECT_TRUE(contains(engagement[0].event, intParam("_et", 1))) << engagement[0].event;
  EXPECT_EQ(sql("SELECT value FROM user_attributes WHERE name = '_fi'"), "1\n");
  const std::string fot = sql("SELECT value FROM user_attributes WHERE name = '_fot'");
  ASSERT_FALSE(fot.empty());
  // The first open's time, rounded up to the next whole hour.
  const std::string firstOpenMs = persisted("/ziriza/measurement/first_open_timestamp_ms");
  ASSERT_NE(firstOpenMs, "None");
  const long long hour = 3600000;
  EXPECT_EQ(std::stoll(fot), (std::stoll(firstOpenMs) / hour + 1) * hour)
      << fot << " first open " << firstOpenMs;

  // A restart: no second first open. A new version: an update with the old one.
  replies({logEventCall("restarted")});
  waitForEvent("restarted");
  stopHost();
  EXPECT_EQ(sql("SELECT count(*) FROM raw_events WHERE name = '_f'"), "1\n");
  writeVersion("2.0");
  replies({logEventCall("updated")});
  waitForEvent("updated");
  stopHost();
  EXPECT_EQ(sql("SELECT count(*) FROM raw_events WHERE name = '_f'"), "1\n");
  const auto updates = storedNamed("_au");
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_TRUE(contains(updates[0].event, stringParam("_pv", "1.0"))) << updates[0].event;
}

TEST_F(MeasurementLifecycleEndToEndTest, UserPropertiesAndTheUserIDAreStoredAndJoinLaterMetadata) {
  replies({analyticsCall("setUserProperty", {"favourite_food", "pizza"})});
  stopHost();
  EXPECT_EQ(sql("SELECT origin || '|' || value FROM user_attributes WHERE name = "
                "'favourite_food'"),
            "app|pizza\n");
  replies({analyticsCall("setUserProperty", {"favourite_food", nullptr}),
           analyticsCall("setUserProperty", {std::string(25, 'p'), "x"}),
           logEventCall("after_errors")});
  waitForEvent("after_errors");
  stopHost();
  EXPECT_EQ(sql("SELECT count(*) FROM user_attributes WHERE name = 'favourite_food'"), "0\n");
  const auto errors = storedNamed("_err");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_TRUE(contains(errors[0].event, intParam("_err", 6))) << errors[0].event;

  // Properties and events take different queues: the properties are stored (host stopped) first.
  replies({analyticsCall("setUserId", {"u-1"}),
           analyticsCall("setUserProperty", {"favourite_food", "pizza"})});
  stopHost();
  replies({logEventCall("with_properties")});
  waitForEvent("with_properties");
  stopHost();
  EXPECT_EQ(sql("SELECT value FROM user_attributes WHERE name = '_id'"), "u-1\n");
  const auto rows = storedNamed("with_properties");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_TRUE(contains(rows[0].metadata, "string_value: \"u-1\"")) << rows[0].metadata;
  EXPECT_TRUE(contains(rows[0].metadata, "string_value: \"pizza\"")) << rows[0].metadata;
}

TEST_F(MeasurementLifecycleEndToEndTest,
       AdPersonalizationConsentKeepsTheNonPersonalizedAdsProperty) {
  const struct {
    bool granted;
    const char* npa;
  } cases[] = {{false, "1\n"}, {true, "0\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.granted);
    replies({analyticsCall("setConsent", {{{"adPersonalizationSignalsConsentGranted", c.granted}}}),
             logEventCall("after_consent")});
    waitForEvent("after_consent");
    stopHost();
    EXPECT_EQ(sql("SELECT value FROM user_attributes WHERE name = '_npa'"), c.npa);
    EXPECT_EQ(persisted("/ziriza/measurement/allow_personalized_ads"),
              c.granted ? "True" : "False");
  }
}

TEST_F(MeasurementLifecycleEndToEndTest, AResetWipesTheDataAndLogsAFreshFirstOpen) {
  const auto before = replies({analyticsCall("getAppInstanceId", json::array()),
                               analyticsCall("setUserProperty", {"favourite_food", "pizza"}),
                               logEventCall("before_reset")});
  waitForEvent("before_reset");
  const auto after = replies({analyticsCall("resetAnalyticsData", json::array()),
                              analyticsCall("getAppInstanceId", json::array())});
  for (int i = 0; i < 300 && !contains(host_->log(), "I-ACS023168"); ++i)
    usleep(100000);
  const std::string log = host_->log();
  stopHost();
  EXPECT_TRUE(contains(log, "I-ACS023171")) << log;
  EXPECT_TRUE(contains(log, "I-ACS023168")) << log;
  ASSERT_TRUE(before[0][0].is_string() && after[1][0].is_string());
  EXPECT_NE(before[0][0], after[1][0]);
  EXPECT_EQ(sql("SELECT count(*) FROM raw_events WHERE name = 'before_reset'"), "0\n");
  EXPECT_EQ(sql("SELECT count(*) FROM user_attributes WHERE name = 'favourite_food'"), "0\n");
  const auto firstOpen = storedNamed("_f");
  ASSERT_EQ(firstOpen.size(), 1u);
  EXPECT_TRUE(contains(firstOpen[0].event, stringParam("_pduz", kMeasurementAppID)))
      << firstOpen[0].event;
  EXPECT_TRUE(contains(firstOpen[0].event, intParam("_pfo", 0))) << firstOpen[0].event;
}

}  // namespace
}  // namespace lumora::e2e
