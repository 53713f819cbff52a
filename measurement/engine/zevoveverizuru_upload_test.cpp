// Bundling, sampling, the upload schedule, the upload reply and the configuration reply, on a
// real database under the mock clock. The network is not reached: replies are handed to the
// core's completion handlers as the network client would hand them.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/engine_test_support.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_identity.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/storage/testing/raw_connection.h"
#include "platform/core/random.h"
#include "platform/foundation/environment.h"
#include "zevevidi/utilities/gul_network.h"
#include "zevevidi/utilities/gul_reachability_checker.h"

namespace {

namespace B = apmpb_field::MeasurementBundle;
namespace E = apmpb_field::Event;
namespace P = apmpb_field::EventParam;
using platform::Value;
using platform::ValueMap;

[[maybe_unused]] testing::Environment* const kStateRoot =
    testing::AddGlobalTestEnvironment(new engine_testing::StateRoot);

constexpr const char* kAppID = "1:1:ios:abc";

platform::HTTPURLResponsePtr response(int status) {
  auto r = std::make_shared<platform::HTTPURLResponse>();
  r->statusCode = status;
  return r;
}

class UploadTest : public engine_testing::EngineTest {
 protected:
  ~UploadTest() override { APMProcessMonitor()->setDebugModeEnabled(false); }

  void start() {
    APMAnalytics::startWithAppID(kAppID, "fa", {});
    env_.runUntilIdle();
    ASSERT_TRUE(core());
    ASSERT_TRUE(core()->database());
    dropLaunchEvents();
  }
  void onWorker(std::function<void()> body) {
    core()->scheduler()->scheduleOnWorkerQueueBlockID("test", std::move(body));
    env_.runUntilIdle();
  }
  void settings(const std::vector<std::pair<std::string, std::string>>& pairs,
                const std::string& appID = kAppID) {
    auto config = measurementConfigWithSettings(appID, 3, pairs);
    bool updated = false;
    onWorker([&] {
      updated = core()->remoteConfigInstance()->updateMeasurementConfig(config);
      platform::ErrorPtr error;
      core()->database()->updateRemoteConfigSuccessfulTimestamp(env_.now(), &error);
    });
    ASSERT_TRUE(updated);
  }
  void log(const std::string& name, ValueMap parameters = {}) {
    APMAnalytics::logEventWithName(name, parameters);
    env_.runUntilIdle();
  }
  bool bundleOnce() {
    bool out = false;
    onWorker([&] { out = core()->bundleRawEvents(); });
    return out;
  }
  std::vector<APMQueuedBundle> queue() {
    std::vector<APMQueuedBundle> out;
    onWorker([&] {
      platform::ErrorPtr error;
      auto rows = core()->database()->queryBundlesWithCountLimit(1000, 100000000, &error);
      ASSERT_TRUE(rows);
      out = *rows;
    });
    return out;
  }
  static std::vector<std::string> names(const APMPBMeasurementBundle& bundle) {
    std::vector<std::string> out;
    for (const auto& v : NANOGetArray(&bundle, B::kEvents, APMPBEvent::classObject())
                             .value_or(platform::ValueList{})) {
      out.push_back(NANOGetString(v.asObjectOf<APMPBEvent>().get(), E::kName).value_or(""));
    }
    return out;
  }
  static std::optional<std::int64_t> intParam(const APMPBEvent& event, const std::string& name) {
    for (const auto& v : NANOGetArray(&event, E::kParams, APMPBEventParam::classObject())
                             .value_or(platform::ValueList{})) {
      auto p = v.asObjectOf<APMPBEventParam>();
      if (NANOGetString(p.get(), P::kName) == name) return NANOGetInt64(p.get(), P::kIntValue);
    }
    return std::nullopt;
  }
  std::string sql(const std::string& query) {
    apm_testing::RawConnection raw(APMFilePathForDatabaseName(APMDatabaseFileName));
    return raw.firstText(query);
  }
  std::shared_ptr<APMPersistedConfig> persisted() { return APMPersistedConfig::sharedInstance(); }
};

// ---- Bundling ----

TEST_F(UploadTest, BatchesEndAtHourBoundariesFingerprintChangesAndTheEventLimit) {
  start();
  settings({{"measurement.upload.max_events_per_bundle", "3"}});
  // An hour past 2038: the hour is computed in 64 bits.
  env_.setWallClock(4102444800.0 - 1);  // 2099-12-31T23:59:59Z
  log("a");
  env_.setWallClock(4102444800.0);
  log("b");
  log("c");
  log("d");
  log("e");
  while (bundleOnce()) {
  }
  const auto bundles = queue();
  ASSERT_EQ(bundles.size(), 3u);
  EXPECT_EQ(names(*bundles[0].bundle), (std::vector<std::string>{"a"}));
  EXPECT_EQ(names(*bundles[1].bundle), (std::vector<std::string>{"b", "c", "d"}));
  EXPECT_EQ(names(*bundles[2].bundle), (std::vector<std::string>{"e"}));
  // Indexes and spans.
  EXPECT_EQ(NANOGetInt32(bundles[1].bundle.get(), B::kBundleIndex), 4);
  EXPECT_EQ(NANOGetInt32(bundles[2].bundle.get(), B::kDeliveryIndex), 3);
  EXPECT_EQ(NANOGetInt64(bundles[1].bundle.get(), B::kStartTimestampMillis), 4102444800000);
  EXPECT_EQ(NANOGetInt64(bundles[1].bundle.get(), B::kPreviousBundleEndTimestampMillis),
            4102444799000);
  EXPECT_EQ(NANOGetInt64(bundles[0].bundle.get(), B::kConfigVersion), 3);
  EXPECT_EQ(sql("SELECT COUNT(*) FROM raw_events"), "0");
  EXPECT_EQ(sql("SELECT COUNT(*) FROM raw_events_metadata"), "0");
}

TEST_F(UploadTest, EventsOfOneFingerprintAroundAnotherGiveThreeBundlesAndAggregatesStampThem) {
  start();
  log("a");
  APMAnalytics::setConsent({{Value("analytics_storage"), Value("denied")}});
  env_.runUntilIdle();
  log("b");
  APMAnalytics::setConsent({{Value("analytics_storage"), Value("granted")}});
  env_.runUntilIdle();
  env_.advance(5);
  log("a");
  while (bundleOnce()) {
  }
  const auto bundles = queue();
  ASSERT_EQ(bundles.size(), 3u);
  EXPECT_EQ(names(*bundles[2].bundle), (std::vector<std::string>{"a"}));
  const auto second = NANOGetArray(bundles[2].bundle.get(), B::kEvents, APMPBEvent::classObject());
  ASSERT_TRUE(second && !second->empty());
  // The second "a" carries the first one's time as its previous occurrence.
  EXPECT_EQ(NANOGetInt64((*second)[0].asObjectOf<APMPBEvent>().get(), E::kPreviousTimestampMillis),
            NANOGetInt64(bundles[0].bundle.get(), B::kStartTimestampMillis));
}

TEST_F(UploadTest, ABatchOfBlocklistedEventsIsDeletedWithoutABundle) {
  start();
  auto config = APMPBMeasurementConfig::initWithMessageInfo();
  log("blocked");
  // Block list through the event configuration.
  auto entry = APMPBEventConfig::initWithMessageInfo();
  NANOSetString(entry.get(), apmpb_field::EventConfig::kEventName, "blocked");
  NANOSetBool(entry.get(), apmpb_field::EventConfig::kBlocklisted, true);
  NANOSetString(config.get(), apmpb_field::MeasurementConfig::kAppId, kAppID);
  const auto entries = NANOMessageValues(std::vector<std::shared_ptr<APMPBEventConfig>>{entry});
  NANOSetArray(config.get(), apmpb_field::MeasurementConfig::kEventConfig, &entries);
  onWorker([&] { core()->remoteConfigInstance()->updateMeasurementConfig(config); });
  EXPECT_FALSE(bundleOnce());
  EXPECT_TRUE(reported(23100));
  EXPECT_EQ(sql("SELECT COUNT(*) FROM raw_events"), "0");
  EXPECT_TRUE(queue().empty());
}

TEST_F(UploadTest, AHeadBatchThatCannotBeReadIsDroppedAndTheNextOneIsBundled) {
  start();
  log("broken");
  log("fine");
  // The first row no longer decodes; the metadata of the second is gone too.
  sql("UPDATE raw_events SET data = x'ffffffff' WHERE rowid = (SELECT MIN(rowid) FROM raw_events)");
  EXPECT_TRUE(bundleOnce());
  EXPECT_TRUE(reported(23097));
  EXPECT_TRUE(bundleOnce());
  const auto bundles = queue();
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(names(*bundles[0].bundle), (std::vector<std::string>{"fine"}));

  log("orphan");
  sql("DELETE FROM raw_events_metadata");
  clearReports();
  EXPECT_TRUE(bundleOnce());
  EXPECT_TRUE(reported(23098));
  EXPECT_EQ(sql("SELECT COUNT(*) FROM raw_events"), "0");
}

TEST_F(UploadTest, EngagementSumsSaturateInsteadOfOverflowing) {
  start();
  onWorker([&] {
    platform::ErrorPtr error;
    const APMUserAttribute lte("auto", "_lte",
                               APMValue(std::numeric_limits<std::int64_t>::max() - 5), env_.now());
    ASSERT_TRUE(core()->database()->updateUserAttribute(&lte, &error));
  });
  APMAnalytics::logInternalEventWithOrigin("auto", "_e",
                                           {{Value("_et"), Value(std::int64_t{100})}});
  env_.runUntilIdle();
  while (bundleOnce()) {
  }
  onWorker([&] {
    platform::ErrorPtr error;
    const auto lte = core()->database()->userAttributeWithName("_lte", &error);
    ASSERT_TRUE(lte);
    EXPECT_EQ(lte->value().int64Value(), std::numeric_limits<std::int64_t>::max());
  });
}

TEST_F(UploadTest, TheEleventhRealtimeEventOfADayIsQueuedWithoutRealtimeButFirstOpenKeepsIt) {
  start();
  // Conversions are real-time candidates; ten of them a day keep the flag.
  for (int i = 0; i < 11; ++i)
    log("refund");
  APMAnalytics::logInternalEventWithOrigin("auto", "_f", {});
  env_.runUntilIdle();
  while (bundleOnce()) {
  }
  std::vector<std::pair<std::string, bool>> seen;
  for (const auto& queued : queue()) {
    for (const auto& v : NANOGetArray(queued.bundle.get(), B::kEvents, APMPBEvent::classObject())
                             .value_or(platform::ValueList{})) {
      const auto event = v.asObjectOf<APMPBEvent>();
      seen.emplace_back(NANOGetString(event.get(), E::kName).value_or(""),
                        intParam(*event, "_r") == 1);
    }
  }
  ASSERT_EQ(seen.size(), 12u);
  for (std::size_t i = 0; i < 10; ++i) {
    EXPECT_EQ(seen[i], std::make_pair(std::string("refund"), true)) << i;
  }
  EXPECT_EQ(seen[10], std::make_pair(std::string("refund"), false));
  EXPECT_EQ(seen[11], std::make_pair(std::string("_f"), true));
  EXPECT_TRUE(reported(23104));
  EXPECT_EQ(sql("SELECT daily_real_time_conversion_events_count FROM app_metadata"), "10");
}

// ---- Sampling ----

TEST_F(UploadTest, SampledEventsCarryTheRateAndTheDaysFirstIsExempt) {
  start();
  auto config = APMPBMeasurementConfig::initWithMessageInfo();
  NANOSetString(config.get(), apmpb_field::MeasurementConfig::kAppId, kAppID);
  auto entry = APMPBEventConfig::initWithMessageInfo();
  NANOSetString(entry.get(), apmpb_field::EventConfig::kEventName, "tick");
  NANOSetInt32(entry.get(), apmpb_field::EventConfig::kSamplingRate, 2);
  const auto entries = NANOMessageValues(std::vector<std::shared_ptr<APMPBEventConfig>>{entry});
  NANOSetArray(config.get(), apmpb_field::MeasurementConfig::kEventConfig, &entries);
  auto setting = APMPBSetting::initWithMessageInfo();
  NANOSetString(setting.get(), apmpb_field::Setting::kName, "measurement.event_sampling_enabled");
  NANOSetString(setting.get(), apmpb_field::Setting::kValue, "1");
  auto offset = APMPBSetting::initWithMessageInfo();
  NANOSetString(offset.get(), apmpb_field::Setting::kName,
                "measurement.account.time_zone_offset_minutes");
  NANOSetString(offset.get(), apmpb_field::Setting::kValue, "540");
  const auto settings =
      NANOMessageValues(std::vector<std::shared_ptr<APMPBSetting>>{setting, offset});
  NANOSetArray(config.get(), apmpb_field::MeasurementConfig::kSettings, &settings);
  onWorker([&] { core()->remoteConfigInstance()->updateMeasurementConfig(config); });

  platform::ScopedSeededRandom seeded(42);
  // 15:00 UTC; ten events, then 16:00 UTC (the next day at +9 h).
  env_.setWallClock(1700000000.0 - std::fmod(1700000000.0, 86400.0) + 15 * 3600.0);
  for (int i = 0; i < 10; ++i)
    log("tick");
  while (bundleOnce()) {
  }
  env_.setWallClock(env_.now() + 3600.0);
  log("tick");
  while (bundleOnce()) {
  }
  std::vector<std::shared_ptr<APMPBEvent>> kept;
  for (const auto& queued : queue()) {
    for (const auto& v : NANOGetArray(queued.bundle.get(), B::kEvents, APMPBEvent::classObject())
                             .value_or(platform::ValueList{})) {
      kept.push_back(v.asObjectOf<APMPBEvent>());
    }
  }
  ASSERT_GE(kept.size(), 2u);
  EXPECT_LT(kept.size(), 11u);
  for (const auto& event : kept)
    EXPECT_EQ(intParam(*event, "_sr"), 2);
  // The first event of each day (in the account's zone) is kept; only such an event may carry
  // "_efs", and 16:00 UTC is the next day at +540 minutes.
  const auto firstDay = NANOGetInt64(kept.front().get(), E::kTimestampMillis);
  const auto nextDay = NANOGetInt64(kept.back().get(), E::kTimestampMillis);
  EXPECT_EQ(nextDay - firstDay, 3600000);
  for (std::size_t i = 1; i + 1 < kept.size(); ++i)
    EXPECT_FALSE(intParam(*kept[i], "_efs"));
}

// ---- Schedule ----

struct ScheduleCase {
  const char* name;
  double lastSuccessAgo;    // 0: none
  double failureAfterData;  // < 0: none
  bool debug;
  double expectedAfterData;  // seconds after the newest data; 0: nothing due
};

TEST_F(UploadTest, NextUploadingTimeFollowsSuccessFailureAndDebugMode) {
  start();
  const ScheduleCase cases[] = {
      {"success ten minutes ago", 600, -1, false, 3000},
      {"success two hours ago", 7200, -1, false, 15},
      {"debug mode", 7200, -1, true, 1},
      {"first retry", 7200, 0, false, 15 + 1800},
      {"fourth retry", 7200, 15 + 12600, false, 15 + 27000},
      {"six misses", 7200, 15 + 113400, false, 0},
  };
  log("data");
  const double data = env_.now();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    APMProcessMonitor()->setDebugModeEnabled(c.debug);
    persisted()->setLastSuccessfulUploadTimestamp(c.lastSuccessAgo > 0 ? data - c.lastSuccessAgo
                                                                       : 0);
    persisted()->setLastFailedUploadTimestamp(c.failureAfterData >= 0 ? data + c.failureAfterData
                                                                      : 0);
    double next = -1;
    onWorker([&] { next = core()->nextUploadingTime(); });
    if (c.expectedAfterData == 0) {
      EXPECT_EQ(next, 0);
    } else {
      EXPECT_DOUBLE_EQ(next - data, c.expectedAfterData);
    }
  }
}

TEST_F(UploadTest, RepliesSetTheTimestampsAndTheRetryAndBackoffTimes) {
  start();
  // A fresh configuration: no cycle turns into a configuration fetch.
  settings({});
  log("data");
  onWorker([&] { ASSERT_TRUE(core()->bundleRawEvents()); });
  const auto rowID = queue().at(0).rowID;
  // A 500: failure time, one retry, the next attempt 1800 s after the first candidate.
  onWorker([&] {
    core()->setUploadInProgressWithBundleIDs({rowID});
    core()->networkUploadCompletionHandlerWithResponse(response(500), nullptr);
  });
  EXPECT_EQ(sql("SELECT retry_count FROM queue"), "1");
  EXPECT_DOUBLE_EQ(persisted()->lastFailedUploadTimestamp(), env_.now());
  EXPECT_EQ(persisted()->lastBackoffTimestamp(), 0);
  // A 503: backoff time; uploads wait 43200 s.
  onWorker([&] {
    core()->setUploadInProgressWithBundleIDs({rowID});
    core()->networkUploadCompletionHandlerWithResponse(response(503), nullptr);
  });
  EXPECT_EQ(sql("SELECT retry_count FROM queue"), "2");
  EXPECT_DOUBLE_EQ(persisted()->lastBackoffTimestamp(), env_.now());
  // A 204: bundles gone, success recorded, failure and backoff cleared.
  onWorker([&] {
    core()->setUploadInProgressWithBundleIDs({rowID});
    core()->networkUploadCompletionHandlerWithResponse(response(204), nullptr);
  });
  EXPECT_EQ(sql("SELECT COUNT(*) FROM queue"), "0");
  EXPECT_DOUBLE_EQ(persisted()->lastSuccessfulUploadTimestamp(), env_.now());
  EXPECT_EQ(persisted()->lastFailedUploadTimestamp(), 0);
  EXPECT_EQ(persisted()->lastBackoffTimestamp(), 0);
}

// The alarm, driven by the real schedule: the service is a closed loopback port, so no request
// leaves the machine, and reachability is set the way the network client hears of it.
class AlarmTest : public UploadTest {
 protected:
  void connect(bool reachable) {
    GULReachabilityChecker checker({}, "127.0.0.1");
    core()->network()->reachability_statusChanged(
        checker, reachable ? kGULReachabilityViaWifi : kGULReachabilityNotReachable);
    env_.runUntilIdle();
  }
  std::optional<double> alarmIn() {
    std::optional<double> at;
    onWorker([&] { at = core()->alarm()->scheduledTimestamp(); });
    if (!at) return std::nullopt;
    return *at - env_.now();
  }
  void pending(bool value) {
    onWorker([&] { core()->setIsNetworkRequestPending(value); });
  }

  platform::ScopedEnvironmentForTesting service_{"LUMORA_MEASUREMENT_URL", "http://127.0.0.1:9/"};
};

struct HoldCase {
  const char* name;
  int status;
  double waitBeforeReply;         // after the first cycle, before the reply arrives
  std::optional<double> alarmIn;  // after the reply; none: no cycle is scheduled
};

TEST_F(AlarmTest, AFailedUploadArmsTheAlarmForTheRetryOrTheBackoffHold) {
  const HoldCase cases[] = {
      {"500 retried 1800 s later", 500, 0, 1800},
      {"503 holds uploads 43200 s", 503, 0, 43200},
      {"429 holds uploads 43200 s", 429, 0, 43200},
      // 15 + 1800 * (1 + 2 + ... + 32) after the data: the sixth miss.
      {"nothing after six misses", 500, 113400, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    resetEngineState();
    start();
    settings({});
    connect(true);
    log("data");
    // The first cycle is due 15 s after the newest data. While it runs, a request is still in
    // flight, so it leaves the rows alone and only the reply handler decides what comes next.
    EXPECT_EQ(alarmIn(), 15.0);
    pending(true);
    env_.advance(15);
    EXPECT_TRUE(reported(23034));
    EXPECT_EQ(alarmIn(), std::nullopt);
    env_.advance(c.waitBeforeReply);
    onWorker([&] {
      core()->setIsNetworkRequestPending(false);
      ASSERT_TRUE(core()->bundleRawEvents());
    });
    const auto rowID = queue().at(0).rowID;
    clearReports();
    onWorker([&] {
      core()->setUploadInProgressWithBundleIDs({rowID});
      core()->networkUploadCompletionHandlerWithResponse(response(c.status), nullptr);
    });
    EXPECT_EQ(sql("SELECT retry_count FROM queue"), "1");
    EXPECT_EQ(alarmIn(), c.alarmIn);
    if (!c.alarmIn) {
      EXPECT_TRUE(reported(23025));
      continue;
    }
    // The cycle starts when the alarm says, not a second earlier.
    pending(true);
    clearReports();
    env_.advance(*c.alarmIn - 1);
    EXPECT_FALSE(reported(23033));
    env_.advance(1);
    EXPECT_TRUE(reported(23033));
    pending(false);
  }
}

TEST_F(AlarmTest, LostReachabilityStopsTheAlarmAndItsReturnUploads) {
  APMProcessMonitor()->setVerboseLoggingEnabled(true);
  start();
  settings({});
  connect(false);
  clearReports();
  log("data");
  EXPECT_TRUE(reported(23026));
  EXPECT_EQ(alarmIn(), std::nullopt);
  EXPECT_EQ(core()->network()->reachabilityDelegate(), core());

  // Back: the schedule is made again and the cycle sends the data.
  connect(true);
  EXPECT_EQ(core()->network()->reachabilityDelegate(), nullptr);
  EXPECT_EQ(alarmIn(), 15.0);
  clearReports();
  env_.advance(15);
  // Sent: the port is closed, so whether the reply is back yet is left open.
  EXPECT_TRUE(reported(23039));
  EXPECT_EQ(sql("SELECT COUNT(*) FROM raw_events"), "0");
  EXPECT_EQ(sql("SELECT COUNT(*) FROM queue"), "1");
  APMProcessMonitor()->setVerboseLoggingEnabled(false);
}

// ---- Configuration fetch ----

TEST_F(UploadTest, ConfigurationRepliesRenewKeepOrRefuse) {
  start();
  persisted()->setLastFailedUploadTimestamp(env_.now());
  // 304: the fetch time is renewed, the failure time cleared.
  env_.advance(100);
  onWorker([&] { core()->networkRemoteConfigFetchCompletionHandler(response(304), {}, nullptr); });
  double last = 0;
  onWorker([&] {
    platform::ErrorPtr error;
    last = core()->database()->lastRemoteConfigUpdateTimestamp(&error).value_or(0);
  });
  EXPECT_DOUBLE_EQ(last, env_.now());
  EXPECT_EQ(persisted()->lastFailedUploadTimestamp(), 0);

  // 200 for another app: nothing stored, no validators.
  auto other = APMPBMeasurementConfig::initWithMessageInfo();
  NANOSetString(other.get(), apmpb_field::MeasurementConfig::kAppId, "1:9:ios:other");
  NANOSetInt64(other.get(), apmpb_field::MeasurementConfig::kVersion, 9);
  auto answer = std::make_shared<platform::HTTPURLResponse>();
  answer->statusCode = 200;
  answer->headers.set("ETag", "\"x\"");
  onWorker([&] {
    core()->networkRemoteConfigFetchCompletionHandler(answer, *other->protoBuffer(), nullptr);
  });
  EXPECT_TRUE(reported(23136));
  // Level 2 is not logged; the refusal goes to the health sample (taken alone here: the handler
  // also reports the rolled-back transaction, and the sample keeps one report of those it saw).
  APMProcessMonitor()->clearMonitoringData();
  bool applied = true;
  onWorker([&] { applied = core()->applyMeasurementConfig(*other->protoBuffer()); });
  EXPECT_FALSE(applied);
  const auto sample = APMProcessMonitor()->sampledDataForTesting();
  ASSERT_TRUE(sample.isList());
  const auto& key = sample.asList().at(2).asString();
  EXPECT_EQ(key, "1E_111500:Configuration does not have valid Ziriza App ID.");
  EXPECT_EQ(core()->remoteConfigInstance()->version(), -1);
  EXPECT_FALSE(persisted()->configServerETag());
  bool stored = true;
  onWorker([&] { stored = core()->hasStoredMeasurementConfig(); });
  EXPECT_FALSE(stored);
}

}  // namespace
