#include "tools/measurement-probe/engine_commands.h"

#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/apm_engine_startup.h"
#include "measurement/engine/apm_session_reporter.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/model/apm_user_attribute.h"
#include "measurement/storage/apm_file_locations.h"
#include "measurement/storage/apm_monitor.h"
#include "measurement/storage/apm_persisted_config.h"
#include "platform/dispatch/test_environment.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/notification_center.h"

namespace lumora::probe {

namespace {

// Waits until the facade's queue, the engine's worker queue and the monitor have run what was
// posted so far. Each step can post to the next, so the round goes twice.
void waitUntilIdle(ProbeSession& session) {
  for (int round = 0; round < 2; ++round) {
    if (auto* clock = session.mockClock()) clock->runUntilIdle();
    APMAnalytics::queue()->sync([] {});
    if (ZEVOveverizuru::hasSharedInstance()) {
      ZEVOveverizuru::sharedInstance()->scheduler()->workerQueue()->sync([] {});
    }
  }
  // The persisted configuration writes its file one second after a change; that write is made
  // now instead of waited for.
  if (auto config = APMPersistedConfig::sharedInstance(); config && config->userDefaults()) {
    config->userDefaults()->synchronize();
  }
  APMProcessMonitor()->waitForMonitorQueue();
}

Json engineState() {
  Json state{{"engine", ZEVOveverizuru::hasSharedInstance()},
             {"analyticsEnabled", APMAnalytics::isAnalyticsEnabled()},
             {"collectionDeactivated", APMAnalytics::isAnalyticsCollectionDeactivated()}};
  if (auto core =
          ZEVOveverizuru::hasSharedInstance() ? ZEVOveverizuru::sharedInstance() : nullptr) {
    state["enabled"] = core->isEnabled();
    state["didInitializeComponents"] = core->didInitializeComponents();
    state["appID"] = core->appID();
    state["database"] = static_cast<bool>(core->database());
    if (const auto& safelist = core->safelistedEvents()) {
      state["safelistedEvents"] =
          Json(std::vector<std::string>(safelist->begin(), safelist->end()));
    } else {
      state["safelistedEvents"] = nullptr;
    }
  }
  const std::string path = APMFilePathForDatabaseName(APMDatabaseFileName);
  state["databaseFile"] = path;
  state["databaseFileExists"] =
      !path.empty() && platform::FileManager::defaultManager().fileExists(path);
  return state;
}

// The names of the stored raw events, oldest first (read on the worker queue).
Json storedEventNames() {
  Json names = Json::array();
  auto core = ZEVOveverizuru::hasSharedInstance() ? ZEVOveverizuru::sharedInstance() : nullptr;
  if (!core) return Json{{"rawEvents", names}};
  core->scheduler()->workerQueue()->sync([&] {
    const auto database = core->database();
    if (!database) return;
    platform::ErrorPtr error;
    const auto rows = database->allRawEventsWithError(&error);
    if (!rows) return;
    for (const auto& raw : *rows) {
      const auto event =
          raw && raw->rawEvent() ? APMEvent::initWithEventProto(*raw->rawEvent()) : nullptr;
      if (event) names.push_back(event->name());
    }
  });
  return Json{{"rawEvents", names}};
}

// Runs what the facade has queued into the engine: a marker queued behind it has passed it on
// once it has run; an event the road logs in turn makes a second trip. Before start the facade
// holds its operations, so there is nothing to wait for.
void drainFacade(ProbeSession& session) {
  for (int trip = 0; trip < 2 && ZEVOveverizuru::hasSharedInstance(); ++trip) {
    auto passed = std::make_shared<std::promise<void>>();
    APMAnalytics::queueOperationWithBlock([passed] { passed->set_value(); });
    passed->get_future().wait();
    waitUntilIdle(session);
  }
}

// The engagement timer's notifications and the events handed to the facade's listeners, in the
// order they happened since the probe started.
struct Timeline {
  std::mutex mutex;
  std::vector<std::string> entries;
  void add(std::string entry) {
    std::lock_guard lock(mutex);
    entries.push_back(std::move(entry));
  }
  Json snapshot() {
    std::lock_guard lock(mutex);
    return Json(entries);
  }
};

}  // namespace

void registerEngineCommands(ProbeSession& session) {
  // What the host does at start, before plugin registration.
  APMEngineLoad();

  // {"op":"engineStart","appID":"1:1:ios:abc","origin":"fa","options":{...}}
  session.add("engineStart", [&session](const Json& command) {
    const std::string appID = stringField(command, "appID");
    const std::string origin = command.contains("origin") ? stringField(command, "origin")
                                                          : std::string(APMAnalyticsOriginFA);
    platform::ValueMap options;
    if (command.contains("options")) {
      const platform::Value value = valueFromJson(command["options"]);
      if (!value.isMap()) throw ProbeInputError("\"options\" must be an object");
      options = value.asMap();
    }
    APMAnalytics::startWithAppID(appID, origin, options);
    waitUntilIdle(session);
    return engineState();
  });
  // {"op":"engineSetEnabled","enabled":false,"persist":true}
  session.add("engineSetEnabled", [&session](const Json& command) {
    APMAnalytics::setAnalyticsEnabled(boolField(command, "enabled", true),
                                      boolField(command, "persist", false));
    waitUntilIdle(session);
    return engineState();
  });
  // {"op":"engineSessionID"}: the session ID or the error the facade answers.
  session.add("engineSessionID", [&session](const Json&) {
    struct Answer {
      std::mutex mutex;
      std::condition_variable done;
      bool answered = false;
      std::int64_t sessionID = 0;
      platform::ErrorPtr error;
    };
    auto answer = std::make_shared<Answer>();
    APMAnalytics::sessionIDWithCompletion(
        [answer](std::int64_t sessionID, const platform::ErrorPtr& error) {
          std::lock_guard lock(answer->mutex);
          answer->sessionID = sessionID;
          answer->error = error;
          answer->answered = true;
          answer->done.notify_all();
        });
    waitUntilIdle(session);
    std::unique_lock lock(answer->mutex);
    answer->done.wait(lock, [&] { return answer->answered; });
    Json out{{"sessionID", answer->sessionID}};
    if (answer->error) {
      out["error"] = Json{{"code", answer->error->code},
                          {"description", answer->error->localizedDescription()}};
    }
    return out;
  });
  // {"op":"engineLogEvent","name":"level_up","parameters":{...},"origin":"app"}: a public event
  // through the facade, as the analytics interface logs one; answers the stored raw-event names.
  session.add("engineLogEvent", [&session](const Json& command) {
    const std::string name = stringField(command, "name");
    const std::string origin =
        command.contains("origin") ? stringField(command, "origin") : std::string("app");
    platform::ValueMap parameters;
    if (command.contains("parameters")) {
      const platform::Value value = valueFromJson(command["parameters"]);
      if (!value.isMap()) throw ProbeInputError("\"parameters\" must be an object");
      parameters = value.asMap();
    }
    APMAnalytics::logEventWithOrigin(origin, name, parameters);
    drainFacade(session);
    return storedEventNames();
  });
  // {"op":"engineSetDefaultEventParameters","parameters":{...} or null}
  session.add("engineSetDefaultEventParameters", [&session](const Json& command) {
    std::optional<platform::ValueMap> parameters;
    if (command.contains("parameters") && !command["parameters"].is_null()) {
      const platform::Value value = valueFromJson(command["parameters"]);
      if (!value.isMap()) throw ProbeInputError("\"parameters\" must be an object or null");
      parameters = value.asMap();
    }
    APMAnalytics::setDefaultEventParameters(parameters);
    waitUntilIdle(session);
    return engineState();
  });
  session.add("engineIdle", [&session](const Json&) {
    waitUntilIdle(session);
    drainFacade(session);
    return engineState();
  });
  // {"op":"engineApplication","event":"didBecomeActive"|"willResignActive"}: the application
  // notification as the application object posts it; answers the stored raw-event names.
  session.add("engineApplication", [&session](const Json& command) {
    const std::string event = stringField(command, "event");
    std::string name;
    if (event == "didBecomeActive") {
      name = APMApplicationDidBecomeActiveNotification();
    } else if (event == "willResignActive") {
      name = APMApplicationWillResignActiveNotification();
    } else {
      throw ProbeInputError("\"event\" must be \"didBecomeActive\" or \"willResignActive\"");
    }
    platform::NotificationCenter::defaultCenter().postNotificationName(name);
    waitUntilIdle(session);
    drainFacade(session);
    return storedEventNames();
  });
  // {"op":"engineUpdateConfig","file":"config.bin"}: a fetched MeasurementConfig handed to the
  // running engine's configuration on its worker queue, as a fetch would.
  session.add("engineUpdateConfig", [&session](const Json& command) {
    const std::string file = stringField(command, "file");
    platform::ErrorPtr readError;
    const auto bytes = platform::FileManager::defaultManager().contentsAtPath(file, &readError);
    if (!bytes) throw ProbeInputError("cannot read " + file);
    auto message = APMPBMeasurementConfig::initWithBuffer(*bytes);
    if (!message) throw ProbeInputError(file + " holds no MeasurementConfig message");
    auto core = ZEVOveverizuru::hasSharedInstance() ? ZEVOveverizuru::sharedInstance() : nullptr;
    if (!core || !core->didInitializeComponents())
      throw ProbeInputError("the engine has not started");
    bool accepted = false;
    core->scheduler()->workerQueue()->sync([&] {
      const auto config = core->remoteConfigInstance();
      accepted = config && config->updateMeasurementConfig(message);
    });
    waitUntilIdle(session);
    return Json{{"accepted", accepted}};
  });
  // {"op":"engineTimeline"}: engagement-timer notifications ("timer") and logged events (their
  // names), oldest first.
  static Timeline timeline;
  platform::NotificationCenter::defaultCenter().addObserverForName(
      kAPMSessionReporterEngagementTimerDidFire, nullptr,
      [](const platform::Notification&) { timeline.add("timer"); });
  APMAnalytics::addLogEventListener(
      [](const std::shared_ptr<APMEvent>& event) { timeline.add(event->name()); });
  session.add("engineTimeline", [](const Json&) {
    return Json{{"timeline", timeline.snapshot()}};
  });
  session.add("engineState", [](const Json&) { return engineState(); });
}

}  // namespace lumora::probe
