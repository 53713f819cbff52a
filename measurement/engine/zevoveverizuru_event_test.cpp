// The road of an event from the facade into the measurement database, on a real database under
// the mock clock: stored rows, their metadata, default parameters, error events, the daily
// limits, the allow list, debug mode and the subscription de-duplication.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/engine_test_support.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_app_metadata.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_event_aggregates.h"
#include "measurement/model/apm_identity.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/model/apm_user_attribute.h"
#include "measurement/model/apm_utilities.h"
#include "measurement/model/apmp_event_editing.h"
#include "measurement/storage/testing/raw_connection.h"

namespace {

namespace B = apmpb_field::MeasurementBundle;
using platform::Value;
using platform::ValueMap;

[[maybe_unused]] testing::Environment* const kStateRoot =
    testing::AddGlobalTestEnvironment(new engine_testing::StateRoot);

constexpr const char* kAppID = "1:1:ios:abc";

struct StoredEvent {
  std::string name;
  ValueMap parameters;
  std::int64_t fingerprint;
  bool realtime;
};

class EventRoadTest : public engine_testing::EngineTest {
 protected:
  ~EventRoadTest() override { APMProcessMonitor()->setDebugModeEnabled(false); }

  void start(const ValueMap& options = {}) {
    APMAnalytics::startWithAppID(kAppID, "fa", options);
    env_.runUntilIdle();
    ASSERT_TRUE(core());
    ASSERT_TRUE(core()->database());
    dropLaunchEvents();
  }

  // Runs `body` on the worker queue and waits for it (and all it queued) to finish.
  void onWorker(std::function<void()> body) {
    core()->scheduler()->scheduleOnWorkerQueueBlockID("test", std::move(body));
    env_.runUntilIdle();
  }

  void settings(const std::vector<std::pair<std::string, std::string>>& pairs) {
    auto config = measurementConfigWithSettings(kAppID, 1, pairs);
    bool updated = false;
    onWorker([&] { updated = core()->remoteConfigInstance()->updateMeasurementConfig(config); });
    ASSERT_TRUE(updated);
  }

  std::vector<StoredEvent> stored() {
    std::vector<StoredEvent> out;
    onWorker([&] {
      platform::ErrorPtr error;
      const auto rows = core()->database()->allRawEventsWithError(&error);
      ASSERT_TRUE(rows);
      for (const auto& raw : *rows) {
        auto event = APMEvent::initWithEventProto(*raw->rawEvent());
        ASSERT_TRUE(event);
        out.push_back({event->name(), event->parameters(), raw->metadataFingerprint(), false});
      }
    });
    apm_testing::RawConnection raw(APMFilePathForDatabaseName(APMDatabaseFileName));
    const auto flags = raw.rows("SELECT is_realtime FROM raw_events ORDER BY rowid");
    std::size_t i = 0;
    for (std::size_t p = 0; p < flags.size() && i < out.size(); ++p) {
      if (flags[p] == '\n') continue;
      out[i++].realtime = flags[p] == '1';
    }
    return out;
  }

  std::vector<std::string> storedNames() {
    std::vector<std::string> names;
    for (const auto& e : stored())
      names.push_back(e.name);
    return names;
  }

  std::shared_ptr<APMPBMeasurementBundle> metadata(std::int64_t fingerprint) {
    std::shared_ptr<APMPBMeasurementBundle> bundle;
    onWorker([&] {
      platform::ErrorPtr error;
      bundle = core()->database()->queryRawEventsMetadataWithFingerprint(fingerprint, &error);
    });
    return bundle;
  }

  std::shared_ptr<APMDailyCounts> counts() {
    std::shared_ptr<APMDailyCounts> out;
    onWorker([&] {
      platform::ErrorPtr error;
      out = core()->database()->dailyCounts(&error);
    });
    return out;
  }

  std::int64_t metadataRows() {
    apm_testing::RawConnection raw(APMFilePathForDatabaseName(APMDatabaseFileName));
    return std::stoll(raw.firstText("SELECT COUNT(*) FROM raw_events_metadata"));
  }

  static Value param(const StoredEvent& event, const std::string& name) {
    const auto found = event.parameters.find(Value(name));
    return found == event.parameters.end() ? Value() : found->second;
  }
};

TEST_F(EventRoadTest, AnEventLoggedThroughTheFacadeIsStoredWithItsMetadata) {
  start();
  APMAnalytics::logEventWithName("level_up", ValueMap{{Value("level"), Value(std::int64_t{7})},
                                                      {Value("character"), Value("mage")}});
  env_.runUntilIdle();
  const auto events = stored();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].name, "level_up");
  EXPECT_EQ(param(events[0], "level"), Value(std::int64_t{7}));
  EXPECT_EQ(param(events[0], "character"), Value("mage"));
  EXPECT_EQ(param(events[0], "_o"), Value("app"));

  const auto bundle = metadata(events[0].fingerprint);
  ASSERT_TRUE(bundle);
  // The row's key is the low 64 bits of the MD5 of the stored message.
  const auto bytes = bundle->protoBuffer();
  ASSERT_TRUE(bytes);
  EXPECT_EQ(static_cast<std::int64_t>(apm_64LSBMD5(*bytes)), events[0].fingerprint);
  EXPECT_EQ(NANOGetInt32(bundle.get(), B::kProtocolVersion), 1);
  EXPECT_EQ(NANOGetString(bundle.get(), B::kPlatform), "macos");
  EXPECT_EQ(NANOGetString(bundle.get(), B::kConsentSignals), "G1--");
  EXPECT_EQ(NANOGetInt64(bundle.get(), B::kLibraryVersion), 111500);
  const auto instanceID = core()->identity()->appInstanceID();
  ASSERT_TRUE(instanceID);
  EXPECT_EQ(NANOGetString(bundle.get(), B::kAppInstanceId), *instanceID);
}

TEST_F(EventRoadTest, EventsShareAMetadataRowUntilTheConsentStateChanges) {
  start();
  const auto logOne = [&] {
    APMAnalytics::logEventWithName("level_up", {});
    env_.runUntilIdle();
  };
  logOne();
  logOne();
  EXPECT_EQ(metadataRows(), 1);

  APMAnalytics::setConsent(ValueMap{{Value("ad_storage"), Value("granted")},
                                    {Value("analytics_storage"), Value("granted")}});
  env_.runUntilIdle();
  logOne();
  APMAnalytics::setConsent(ValueMap{{Value("analytics_storage"), Value("denied")}});
  env_.runUntilIdle();
  logOne();

  const auto events = stored();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].fingerprint, events[1].fingerprint);
  EXPECT_EQ(metadataRows(), 3);
  const auto granted = metadata(events[2].fingerprint);
  const auto denied = metadata(events[3].fingerprint);
  ASSERT_TRUE(granted && denied);
  EXPECT_EQ(NANOGetString(granted.get(), B::kConsentSignals), "G111");
  EXPECT_TRUE(NANOHasField(granted.get(), B::kAppInstanceId));
  EXPECT_EQ(NANOGetString(denied.get(), B::kConsentSignals), "G110");
  EXPECT_FALSE(NANOHasField(denied.get(), B::kAppInstanceId));
}

TEST_F(EventRoadTest, DefaultParametersJoinLaterEventsUnderTheEventsOwnKeys) {
  start();
  const auto logLevelUp = [&] {
    APMAnalytics::logEventWithName("level_up", ValueMap{{Value("level"), Value(std::int64_t{7})}});
    env_.runUntilIdle();
  };
  APMAnalytics::logEventWithName("before", {});
  APMAnalytics::setDefaultEventParameters(
      ValueMap{{Value("tier"), Value("gold")}, {Value("level"), Value(std::int64_t{1})}});
  env_.runUntilIdle();
  logLevelUp();
  APMAnalytics::setDefaultEventParameters(ValueMap{{Value("tier"), Value()}});
  env_.runUntilIdle();
  logLevelUp();
  APMAnalytics::setDefaultEventParameters(std::nullopt);
  env_.runUntilIdle();
  APMAnalytics::logEventWithName("after", {});
  env_.runUntilIdle();

  const auto events = stored();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(param(events[0], "tier"), Value());  // the app had logged: no backfill
  EXPECT_EQ(param(events[1], "tier"), Value("gold"));
  EXPECT_EQ(param(events[1], "level"), Value(std::int64_t{7}));
  EXPECT_EQ(param(events[2], "tier"), Value());
  EXPECT_EQ(param(events[2], "level"), Value(std::int64_t{7}));
  EXPECT_EQ(param(events[3], "level"), Value());
  EXPECT_EQ(param(events[3], "tier"), Value());
}

TEST_F(EventRoadTest, RefusedPublicNamesStoreAnErrorEventInstead) {
  const struct {
    std::string name;
    std::int64_t code;
  } cases[] = {{"session_start", 13}, {std::string(41, 'a'), 2}, {"_internal", 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    resetEngineState();
    start();
    APMAnalytics::logEventWithName(c.name, {});
    env_.runUntilIdle();
    const auto events = stored();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, "_err");
    EXPECT_EQ(param(events[0], "_err"), Value(c.code));
  }
}

TEST_F(EventRoadTest, NothingIsStoredWhileCollectionIsOffAndAfterARestart) {
  start();
  APMAnalytics::setAnalyticsEnabled(false, true);
  env_.runUntilIdle();
  APMAnalytics::logEventWithName("level_up", {});
  env_.runUntilIdle();
  EXPECT_TRUE(stored().empty());
  EXPECT_TRUE(reported(23049));

  // A new process: the persisted setting keeps collection off.
  ZEVOveverizuru::resetSharedInstanceForTesting();
  APMAnalytics::resetForTesting();
  env_.runUntilIdle();
  APMAnalytics::startWithAppID(kAppID, "fa", {});
  env_.runUntilIdle();
  ASSERT_TRUE(core());
  APMAnalytics::logEventWithName("level_up", {});
  env_.runUntilIdle();
  EXPECT_FALSE(core()->isEnabled());
  apm_testing::RawConnection raw(APMFilePathForDatabaseName(APMDatabaseFileName));
  EXPECT_EQ(raw.firstText("SELECT COUNT(*) FROM raw_events"), "0");
}

TEST_F(EventRoadTest, OverallDailyLimitWarnsEveryThousandEventsPastIt) {
  start();
  settings({{"measurement.upload.max_events_per_day", "10"}});
  const struct {
    std::int32_t storedCount;
    bool warned;
  } cases[] = {{9, false},   {10, true},   {11, false},  {1009, false},
               {1010, true}, {2010, true}, {2011, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.storedCount);
    onWorker([&] {
      auto db = core()->database();
      const auto day = db->currentDayNumber();
      const auto preset = APMDailyCounts::initWithDay(day, 0, c.storedCount, 0, 0, 0, 0);
      platform::ErrorPtr error;
      ASSERT_TRUE(db->updateDailyCounts(preset.get(), &error));
    });
    clearReports();
    // An error event is refused as well once the overall limit is reached.
    onWorker([&] {
      core()->writeFilteredEventOnWorkerQueue(APMEvent::initWithOrigin(
          "auto", false, "_err", env_.now(), 0, ValueMap{{Value("_err"), Value(std::int64_t{3})}}));
    });
    EXPECT_EQ(reported(23055), c.warned);
    const auto after = counts();
    ASSERT_TRUE(after);
    EXPECT_EQ(after->allEventsCount(), c.storedCount + 1);
  }
  apm_testing::RawConnection raw(APMFilePathForDatabaseName(APMDatabaseFileName));
  EXPECT_EQ(raw.firstText("SELECT COUNT(*) FROM raw_events"), "1");  // only the first (9 < 10)
}

TEST_F(EventRoadTest, APublicEventRefusedBelowTheOverallLimitIsCountedButNotStored) {
  start();
  settings({{"measurement.upload.max_public_events_per_day", "5"}});
  std::shared_ptr<APMDailyCounts> inside;
  onWorker([&] {
    auto db = core()->database();
    const auto preset = APMDailyCounts::initWithDay(db->currentDayNumber(), 0, 20, 5, 0, 0, 0);
    platform::ErrorPtr error;
    ASSERT_TRUE(db->updateDailyCounts(preset.get(), &error));
    core()->writeFilteredEventOnWorkerQueue(
        APMEvent::initWithOrigin("app", true, "level_up", env_.now(), 0, {}));
    // Read before the error event it asked for reaches the worker.
    inside = db->dailyCounts(&error);
  });
  ASSERT_TRUE(inside);
  EXPECT_EQ(inside->allEventsCount(), 20);
  EXPECT_EQ(inside->publicEventsCount(), 6);
  EXPECT_TRUE(reported(23057));
  const auto events = stored();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].name, "_err");
  EXPECT_EQ(param(events[0], "_err"), Value(std::int64_t{16}));
}

TEST_F(EventRoadTest, ArrayParametersCountTheirItemsTowardTheDailyCounts) {
  start();
  platform::ValueList items;
  for (int i = 0; i < 3; ++i)
    items.emplace_back(ValueMap{{Value("item_id"), Value("sku" + std::to_string(i))}});
  const auto before = counts();
  ASSERT_TRUE(before);
  APMAnalytics::logEventWithName("view_item_list", ValueMap{{Value("items"), Value(items)}});
  env_.runUntilIdle();
  ASSERT_EQ(storedNames(), std::vector<std::string>{"view_item_list"});
  const auto after = counts();
  ASSERT_TRUE(after);
  EXPECT_EQ(after->allEventsCount() - before->allEventsCount(), 4);
  EXPECT_EQ(after->publicEventsCount() - before->publicEventsCount(), 4);
}

TEST_F(EventRoadTest, ANewPublicNameBeyondTheNameLimitIsRefusedWithErrorEightKnownNamesGoOn) {
  start();
  // The lowest limit the configuration allows, so the aggregates table (which holds at most 2000
  // names of any kind) still has room for the error event.
  settings({{"measurement.upload.max_event_name_cardinality", "500"}});
  onWorker([&] {
    auto db = core()->database();
    ASSERT_TRUE(db->performTransaction([&] {
      platform::ErrorPtr error;
      for (int i = 0; i < 500; ++i) {
        const auto aggregate =
            APMEventAggregates::initWithName("name_" + std::to_string(i), 0, 0, 0, 0);
        if (!db->updateEventAggregates(aggregate.get(), &error)) return false;
      }
      return true;
    }));
  });
  APMAnalytics::logEventWithName("one_too_many", {});
  APMAnalytics::logEventWithName("name_7", {});
  env_.runUntilIdle();
  EXPECT_TRUE(reported(23065));
  // The error event enters through the internal-event entry, so it may be stored before or after
  // "name_7": only that both are stored, and nothing else, is fixed.
  auto events = stored();
  ASSERT_EQ(events.size(), 2u);
  if (events[0].name == "_err") std::swap(events[0], events[1]);
  EXPECT_EQ(events[0].name, "name_7");
  EXPECT_EQ(events[1].name, "_err");
  EXPECT_EQ(param(events[1], "_err"), Value(std::int64_t{8}));
}

TEST_F(EventRoadTest, DebugModeMarksEveryEventRealTimeAndDebug) {
  start();
  APMProcessMonitor()->setDebugModeEnabled(true);
  APMAnalytics::logEventWithName("level_up", {});
  APMAnalytics::logInternalEventWithOrigin("auto", "_internal_thing", {});
  env_.runUntilIdle();
  const auto events = stored();
  ASSERT_EQ(events.size(), 2u);
  for (const auto& e : events) {
    SCOPED_TRACE(e.name);
    EXPECT_TRUE(e.realtime);
    EXPECT_EQ(param(e, "_dbg"), Value(std::int64_t{1}));
    EXPECT_EQ(param(e, "_r"), Value(std::int64_t{1}));
  }
  EXPECT_TRUE(reported(23073));
}

TEST_F(EventRoadTest, TheAllowListMarksAllowedEventsAndDropsTheRest) {
  ZEVOveverizuru::initializeSharedInstanceWithAppID(kAppID, true, false,
                                                    std::vector<std::string>{"level_up"});
  env_.runUntilIdle();
  ASSERT_TRUE(core());
  // The start's own first open is not on the list either.
  dropLaunchEvents();
  clearReports();
  for (const char* name : {"level_up", "other", "_s"}) {
    core()->logEventWithOrigin("app", name[0] != '_', name, {}, env_.now(), true, false, false,
                               nullptr, {});
  }
  env_.runUntilIdle();
  const auto events = stored();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].name, "level_up");
  EXPECT_EQ(param(events[0], "za_safelisted"), Value(std::int64_t{1}));
  const auto all = codes();
  EXPECT_EQ(std::count(all.begin(), all.end(), 23174), 2);
}

TEST_F(EventRoadTest, EventsWaitingOnTheWorkerUpdateTheUploadScheduleOnceAfterTheLast) {
  ZEVOveverizuru::initializeSharedInstanceWithAppID(kAppID, true, false,
                                                    std::vector<std::string>{"level_up"});
  env_.runUntilIdle();
  ASSERT_TRUE(core());
  // Every pass of the schedule update ends in one of these reports.
  const auto scheduleUpdates = [&] {
    const auto all = codes();
    return std::count_if(all.begin(), all.end(),
                         [](std::int64_t code) { return code >= 23023 && code <= 23028; });
  };
  const auto log = [&](const char* name) {
    core()->logEventWithOrigin("app", true, name, {}, env_.now(), true, false, false, nullptr, {});
  };

  clearReports();
  log("level_up");
  env_.runUntilIdle();
  EXPECT_EQ(scheduleUpdates(), 1);

  // Three events queued behind a busy worker; the last one is dropped by the allow list before
  // the end of its road, and still settles the update the others left to it.
  std::promise<void> gate;
  auto opened = gate.get_future().share();
  core()->scheduler()->scheduleOnWorkerQueueBlockID("gate", [opened] { opened.wait(); });
  for (const char* name : {"level_up", "level_up", "other"})
    log(name);
  clearReports();
  gate.set_value();
  env_.runUntilIdle();
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"level_up", "level_up", "level_up"}));
  EXPECT_EQ(scheduleUpdates(), 1);
  EXPECT_TRUE(reported(23174));
}

TEST_F(EventRoadTest, ASubscriptionIDIsStoredOnceAndAResendIsDropped) {
  start();
  const auto logSubscription = [&](std::int64_t id) {
    APMAnalytics::logInternalEventWithOrigin(
        "auto", "_assc", ValueMap{{Value("_did"), Value(id)}, {Value("product_id"), Value("p")}});
    env_.runUntilIdle();
  };
  logSubscription(42);
  logSubscription(42);
  logSubscription(43);
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"_assc", "_assc"}));
  const auto all = codes();
  EXPECT_EQ(std::count(all.begin(), all.end(), 23182), 1);
}

TEST_F(EventRoadTest, AFailedSubscriptionCleanUpDropsTheEventButKeepsItsID) {
  start();
  {
    // A full table whose clean-up the database refuses.
    apm_testing::RawConnection raw(APMFilePathForDatabaseName(APMDatabaseFileName));
    ASSERT_EQ(
        raw.exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < "
                 "1000) INSERT INTO subscriptions (subscription_id) SELECT 'old' || i FROM n"),
        0);
    ASSERT_EQ(raw.exec("CREATE TRIGGER refuse_cleanup BEFORE DELETE ON subscriptions BEGIN "
                       "SELECT RAISE(ABORT, 'refused'); END"),
              0);
  }
  const auto logSubscription = [&] {
    APMAnalytics::logInternalEventWithOrigin("auto", "_assc",
                                             ValueMap{{Value("_did"), Value(std::int64_t{7})}});
    env_.runUntilIdle();
  };
  logSubscription();
  EXPECT_TRUE(reported(23183));
  EXPECT_TRUE(stored().empty());
  apm_testing::RawConnection raw(APMFilePathForDatabaseName(APMDatabaseFileName));
  EXPECT_EQ(raw.firstText("SELECT COUNT(*) FROM subscriptions WHERE subscription_id = '7'"), "1");

  // The resend is a duplicate: the purchase is not reported twice.
  clearReports();
  logSubscription();
  EXPECT_TRUE(reported(23182));
  EXPECT_FALSE(reported(23183));
  EXPECT_TRUE(stored().empty());
}

TEST_F(EventRoadTest, ListenersHearAppEventsNotAdEventsAndTheirTokensAreUnique) {
  start();
  std::mutex mutex;
  std::vector<std::string> heard;
  const auto first = APMAnalytics::addLogEventListener([&](const std::shared_ptr<APMEvent>& e) {
    std::lock_guard lock(mutex);
    heard.push_back(e->name());
  });
  const auto second = APMAnalytics::addLogEventListener([](const std::shared_ptr<APMEvent>&) {});
  EXPECT_NE(first, second);
  EXPECT_GT(first, 0);
  APMAnalytics::removeLogEventListener(second);
  APMAnalytics::removeLogEventListener(second);
  APMAnalytics::logEventWithName("level_up", {});
  APMAnalytics::logInternalEventWithOrigin("am", "_ai", {});
  APMAnalytics::logInternalEventWithOrigin("auto", "_xa", {});
  env_.runUntilIdle();
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(heard, std::vector<std::string>{"level_up"});
  }
  const auto all = codes();
  EXPECT_EQ(std::count(all.begin(), all.end(), 25015), 1);
  APMAnalytics::removeLogEventListener(first);
  env_.runUntilIdle();
  // With none left nothing is heard; a listener added after that hears the next event.
  APMAnalytics::logEventWithName("no_one_hears", {});
  env_.runUntilIdle();
  std::vector<std::string> heardLater;
  const auto third = APMAnalytics::addLogEventListener([&](const std::shared_ptr<APMEvent>& e) {
    std::lock_guard lock(mutex);
    heardLater.push_back(e->name());
  });
  APMAnalytics::logEventWithName("heard_again", {});
  env_.runUntilIdle();
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(heard, std::vector<std::string>{"level_up"});
    EXPECT_EQ(heardLater, std::vector<std::string>{"heard_again"});
  }
  APMAnalytics::removeLogEventListener(third);
  env_.runUntilIdle();
  // The ad events are stored all the same.
  EXPECT_EQ(storedNames(),
            (std::vector<std::string>{"level_up", "_ai", "_xa", "no_one_hears", "heard_again"}));
}

TEST_F(EventRoadTest, TheInterceptorTakesPublicEventsInsteadOfTheRoad) {
  start();
  std::vector<std::string> intercepted;
  APMAnalytics::setLogEventInterceptor(
      [&](std::shared_ptr<APMEvent>& event) { intercepted.push_back(event->name()); });
  APMAnalytics::logEventWithName("level_up", {});
  APMAnalytics::logInternalEventWithOrigin("auto", "_internal_thing", {});
  env_.runUntilIdle();
  APMAnalytics::setLogEventInterceptor(nullptr);
  env_.runUntilIdle();
  EXPECT_EQ(intercepted, std::vector<std::string>{"level_up"});
  EXPECT_EQ(storedNames(), std::vector<std::string>{"_internal_thing"});
}

}  // namespace

// ---- The editing step, over a scripted editing object

// An editing object that answers from a script of outcomes: an error, an output event, created
// events, and whether it stays usable.
struct EditingScript {
  bool fail = false;
  std::optional<std::string> outputName;  // none: the event unchanged
  std::vector<APMPEvent> created;
  bool usable = true;
};

class ScriptedEditing : public APMPEventEditing {
 public:
  static inline EditingScript script;

  void setModuleCreator(ModuleCreator, const std::string&) override {}
  void loadProgram(const APMPBProgram&, platform::ErrorPtr*) override {}
  bool handleEvent(const APMPEvent& event, platform::ErrorPtr* error) override {
    context_.inputEvent = event;
    context_.outputEvent = event;
    context_.eventsToLog.clear();
    if (script.fail) {
      if (error) *error = platform::Error::make("scripted", 18);
      return false;
    }
    if (script.outputName) context_.outputEvent.name = *script.outputName;
    context_.eventsToLog = script.created;
    return hasEdits() || hasCreatedEvents();
  }
  bool hasEdits() const override { return context_.outputEvent.name != context_.inputEvent.name; }
  bool hasCreatedEvents() const override { return !context_.eventsToLog.empty(); }
  const APMPEventContext& eventContext() const override { return context_; }
  bool isUsable() const override { return script.usable; }

 private:
  APMPEventContext context_;
};

class EditingStepTest : public EventRoadTest {
 protected:
  EditingStepTest() {
    ScriptedEditing::script = EditingScript{};
    APMPEventEditing::registerFactory([] { return std::make_shared<ScriptedEditing>(); });
    // The codes with their contexts (the failure reports name the event).
    APMMonitor::setReportTap([this](std::int64_t, std::int64_t code, const std::string&,
                                    const platform::ValueList& contexts) {
      std::lock_guard lock(reportsMutex_);
      reports_.emplace_back(code, contexts);
    });
  }
  ~EditingStepTest() override {
    // The base's teardown still reports: the tap must not outlive this fixture's members.
    APMMonitor::setReportTap(nullptr);
    APMPEventEditing::registerFactory(nullptr);
  }

  void clearEditingReports() {
    APMProcessMonitor()->waitForMonitorQueue();
    std::lock_guard lock(reportsMutex_);
    reports_.clear();
  }
  std::vector<std::pair<std::int64_t, platform::ValueList>> editingReports() {
    std::lock_guard lock(reportsMutex_);
    return reports_;
  }
  std::vector<std::int64_t> reportedCodes() {
    std::vector<std::int64_t> out;
    for (const auto& [code, contexts] : editingReports())
      out.push_back(code);
    return out;
  }

  // A configuration with one program, so the remote configuration builds an editing object.
  void loadProgram() {
    auto config = APMPBMeasurementConfig::initWithMessageInfo();
    NANOSetString(config.get(), apmpb_field::MeasurementConfig::kAppId, kAppID);
    NANOSetInt64(config.get(), apmpb_field::MeasurementConfig::kVersion, 1);
    const auto programs = NANOMessageValues(
        std::vector<std::shared_ptr<APMPBProgram>>{APMPBProgram::initWithMessageInfo()});
    NANOSetArray(config.get(), apmpb_field::MeasurementConfig::kDynamicEventEditing, &programs);
    onWorker([&] { ASSERT_TRUE(core()->remoteConfigInstance()->updateMeasurementConfig(config)); });
    ASSERT_TRUE(core()->remoteConfigInstance()->eventEditing());
  }

  void logLevelUp() {
    core()->logEventWithOrigin("app", true, "level_up", {{Value("level"), Value(7)}}, env_.now(),
                               true, false, false, nullptr, {});
    env_.runUntilIdle();
  }

  std::vector<std::string> failedNames() {
    std::vector<std::string> names;
    for (const auto& [code, contexts] : editingReports()) {
      if (code == 23223 && !contexts.empty()) names.push_back(contexts[0].debugString());
    }
    return names;
  }

  std::int64_t scheduleUpdates() {
    const auto all = reportedCodes();
    return std::count_if(all.begin(), all.end(),
                         [](std::int64_t code) { return code >= 23023 && code <= 23028; });
  }

 private:
  std::mutex reportsMutex_;
  std::vector<std::pair<std::int64_t, platform::ValueList>> reports_;
};

TEST_F(EditingStepTest, AnEditTheEventModelRefusesWritesTheUneditedEvent) {
  start();
  loadProgram();
  ScriptedEditing::script.outputName = "not a valid name!";
  clearEditingReports();
  logLevelUp();
  // The edit is lost, the event is not.
  EXPECT_EQ(storedNames(), std::vector<std::string>{"level_up"});
  EXPECT_EQ(failedNames().size(), 1u);
}

TEST_F(EditingStepTest, ARefusedCreatedEventIsSkippedAndTheOthersAreWritten) {
  start();
  loadProgram();
  ScriptedEditing::script.outputName = "level_done";
  ScriptedEditing::script.created = {
      APMPEvent::initWithName("bad name!", 5, {}),
      APMPEvent::initWithName("bonus", 5, {{Value("coins"), Value(5.0)}}),
  };
  clearEditingReports();
  logLevelUp();
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"level_done", "bonus"}));
  ASSERT_EQ(failedNames().size(), 1u);
  EXPECT_NE(failedNames()[0].find("bad name!"), std::string::npos);
}

TEST_F(EditingStepTest, AFailedEditWritesTheUneditedEventAndStillUpdatesTheSchedule) {
  start();
  loadProgram();
  ScriptedEditing::script.fail = true;
  ScriptedEditing::script.created = {APMPEvent::initWithName("bonus", 5, {})};
  clearEditingReports();
  logLevelUp();
  EXPECT_EQ(storedNames(), std::vector<std::string>{"level_up"});
  EXPECT_EQ(failedNames().size(), 1u);
  // The row written on the failure path is scheduled like any other.
  EXPECT_EQ(scheduleUpdates(), 1);
}

TEST_F(EditingStepTest, AnEditingObjectThatEndsIsDroppedAsAfterAFailedLoad) {
  start();
  loadProgram();
  ScriptedEditing::script.fail = true;
  ScriptedEditing::script.usable = false;
  clearEditingReports();
  logLevelUp();
  EXPECT_EQ(core()->remoteConfigInstance()->eventEditing(), nullptr);
  const auto all = reportedCodes();
  EXPECT_EQ(std::count(all.begin(), all.end(), 29026), 1);
  // The next event goes unedited, without another failure.
  clearEditingReports();
  logLevelUp();
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"level_up", "level_up"}));
  EXPECT_TRUE(failedNames().empty());
}
