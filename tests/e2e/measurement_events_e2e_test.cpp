// Events through the real host into the measurement database: the analytics plugin's channels
// driven by lumora-peer on a fresh state root, then, with the host stopped (it runs its queued
// measurement work before it exits), the stored rows read with the sqlite3 shell and their
// messages decoded by protoc from the measurement .proto.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
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

constexpr const char* kBundleID = "com.example.events";

class MeasurementEventsEndToEndTest : public MeasurementHostTest {
 protected:
  MeasurementEventsEndToEndTest() : MeasurementHostTest(kBundleID) {
    // The application uploaded a moment ago, so the next upload is an hour away: these tests
    // read the events where they are stored, before any upload bundles them.
    fs::create_directories(home_ / "Preferences");
    platform::ValueMap persisted;
    persisted[Value("/ziriza/measurement/last_successful_upload")] =
        Value(static_cast<double>(std::time(nullptr)));
    platform::writePropertyListFile(
        (home_ / "Preferences" / "com.ziriza.duz.measurement.plist").string(),
        Value(std::move(persisted)), platform::PropertyListFormat::Xml);
  }

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
};

TEST_F(MeasurementEventsEndToEndTest, ALoggedEventIsStoredWithItsParametersAndMetadata) {
  const auto got = replies({analyticsCall("getAppInstanceId", json::array()),
                            logEventCall("level_up", {{"level", 7}, {"character", "mage"}})});
  ASSERT_TRUE(got[0][0].is_string()) << got[0].dump();
  const std::string instanceID = got[0][0].get<std::string>();
  waitForEvent("level_up");
  stopHost();

  EXPECT_EQ(sql("SELECT count(*) FROM raw_events WHERE name = 'level_up'"), "1\n");
  const auto rows = storedNamed("level_up");
  ASSERT_EQ(rows.size(), 1u);
  const Row& row = rows[0];
  EXPECT_TRUE(contains(row.event, intParam("level", 7))) << row.event;
  EXPECT_TRUE(contains(row.event, stringParam("character", "mage"))) << row.event;
  EXPECT_TRUE(contains(row.event, stringParam("_o", "app"))) << row.event;

  for (const std::string& field : std::vector<std::string>{
           "protocol_version: 1\n", "platform: \"macos\"\n",
           "app_id: \"" + std::string(kBundleID) + "\"\n",
           "duz_app_id: \"" + std::string(kMeasurementAppID) + "\"\n",
           "consent_signals: \"G1--\"\n", "app_instance_id: \"" + instanceID + "\"\n"})
    EXPECT_TRUE(contains(row.metadata, field)) << field << "\n" << row.metadata;
}

TEST_F(MeasurementEventsEndToEndTest, AConsentChangeStartsANewMetadataRow) {
  // Consent applies at once while events are written later by the worker, so each step ends
  // with the host stopped (its queued events stored) before the next consent change.
  replies({logEventCall("before")});
  waitForEvent("before");
  stopHost();
  replies({analyticsCall("setConsent", {{{"adStorageConsentGranted", true},
                                         {"analyticsStorageConsentGranted", true}}}),
           logEventCall("granted")});
  waitForEvent("granted");
  stopHost();
  // Under unchanged state: the installation identifier joins the metadata when it arrives, some
  // time after the start, so events are logged until a stored one carries it.
  startHost();
  bool settled = false;
  for (int i = 0; i < 100 && !settled; ++i) {
    replies({logEventCall("settling")});
    const std::string last = sql(
        "SELECT metadata_fingerprint FROM raw_events WHERE name = 'settling' ORDER BY rowid DESC "
        "LIMIT 1");
    settled =
        !last.empty() &&
        contains(decode("MeasurementBundle",
                        "SELECT metadata FROM raw_events_metadata WHERE metadata_fingerprint = " +
                            last.substr(0, last.size() - 1)),
                 "zevevidi_installation_id: ");
    if (!settled) usleep(100000);
  }
  ASSERT_TRUE(settled) << "no stored event carries the installation identifier";
  replies({logEventCall("unchanged_1"), logEventCall("unchanged_2")});
  waitForEvent("unchanged_2");
  stopHost();
  // The denial is given as the host starts, while the core resolves the consent it had.
  replies({analyticsCall("setConsent", {{{"analyticsStorageConsentGranted", false}}}),
           logEventCall("denied")});
  waitForEvent("denied");
  stopHost();

  std::map<std::string, Row> byName;
  for (auto& row : stored())
    byName[row.name] = row;
  for (const char* name : {"before", "granted", "unchanged_1", "unchanged_2", "denied"})
    ASSERT_EQ(byName.count(name), 1u) << name;
  const struct {
    const char* event;
    const char* signals;
    bool instanceID;
  } cases[] = {{"before", "G1--", true},
               {"granted", "G111", true},
               {"unchanged_1", "G111", true},
               {"denied", "G110", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.event);
    const std::string& metadata = byName[c.event].metadata;
    EXPECT_TRUE(contains(metadata, "consent_signals: \"" + std::string(c.signals) + "\"\n"))
        << metadata;
    EXPECT_EQ(contains(metadata, "app_instance_id: "), c.instanceID) << metadata;
  }

  // Unchanged state shares the row; each change makes a new one.
  EXPECT_EQ(byName["unchanged_1"].fingerprint, byName["unchanged_2"].fingerprint);
  const std::set<std::string> fingerprints{
      byName["before"].fingerprint, byName["granted"].fingerprint, byName["denied"].fingerprint};
  EXPECT_EQ(fingerprints.size(), 3u);
  EXPECT_EQ(sql("SELECT count(*) FROM raw_events_metadata WHERE metadata_fingerprint NOT IN "
                "(SELECT metadata_fingerprint FROM raw_events)"),
            "0\n");
}

TEST_F(MeasurementEventsEndToEndTest, DefaultParametersJoinLaterEventsUnderTheEventsOwnKeys) {
  replies({analyticsCall("setDefaultEventParameters", {{{"tier", "gold"}, {"level", 1}}}),
           logEventCall("with_defaults", {{"level", 7}}),
           analyticsCall("setDefaultEventParameters", {{{"tier", nullptr}}}),
           logEventCall("without_tier"), analyticsCall("setDefaultEventParameters", {nullptr}),
           logEventCall("cleared")});
  waitForEvent("cleared");
  stopHost();

  std::map<std::string, Row> byName;
  for (auto& row : stored())
    byName[row.name] = row;
  ASSERT_EQ(byName.count("with_defaults"), 1u);
  ASSERT_EQ(byName.count("without_tier"), 1u);
  ASSERT_EQ(byName.count("cleared"), 1u);
  const Row& first = byName["with_defaults"];
  EXPECT_TRUE(contains(first.event, stringParam("tier", "gold"))) << first.event;
  EXPECT_TRUE(contains(first.event, intParam("level", 7))) << first.event;
  EXPECT_FALSE(contains(first.event, intParam("level", 1))) << first.event;
  // Removing "tier" keeps the other default.
  const Row& second = byName["without_tier"];
  EXPECT_FALSE(second.hasParam("tier")) << second.event;
  EXPECT_TRUE(contains(second.event, intParam("level", 1))) << second.event;
  const Row& third = byName["cleared"];
  EXPECT_FALSE(third.hasParam("tier")) << third.event;
  EXPECT_FALSE(third.hasParam("level")) << third.event;
}

TEST_F(MeasurementEventsEndToEndTest, RefusedNamesStoreTheErrorEventInstead) {
  const struct {
    std::string name;
    std::int64_t code;
  } cases[] = {{"session_start", 13}, {std::string(41, 'a'), 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(home_);
    fs::create_directories(home_);
    replies({logEventCall(c.name, {{"level", 3}}), logEventCall("after")});
    waitForEvent("after");
    stopHost();
    EXPECT_EQ(sql("SELECT count(*) FROM raw_events WHERE name = " + shellQuoted(c.name)), "0\n");
    const auto errors = storedNamed("_err");
    ASSERT_EQ(errors.size(), 1u) << sql("SELECT name FROM raw_events");
    EXPECT_TRUE(contains(errors[0].event, intParam("_err", c.code))) << errors[0].event;
  }
}

TEST_F(MeasurementEventsEndToEndTest, NothingIsStoredAfterCollectionIsSwitchedOffNorAfterARestart) {
  // The switch applies at once, also to events still queued, so the event before it is stored
  // (host stopped) before the switch is sent.
  replies({logEventCall("while_on")});
  waitForEvent("while_on");
  stopHost();
  replies({analyticsCall("setAnalyticsCollectionEnabled", {false}), logEventCall("while_off")});
  stopHost();
  EXPECT_EQ(sql("SELECT name FROM raw_events WHERE name LIKE 'while_%'"), "while_on\n");
  const std::string countBefore = sql("SELECT count(*) FROM raw_events");

  replies({logEventCall("after_restart", {{"level", 1}}), logEventCall("level_up")});
  stopHost();
  EXPECT_EQ(sql("SELECT count(*) FROM raw_events"), countBefore);
  EXPECT_EQ(sql("SELECT name FROM raw_events WHERE name LIKE 'while_%' OR name IN "
                "('after_restart', 'level_up')"),
            "while_on\n");
}

}  // namespace
}  // namespace lumora::e2e
