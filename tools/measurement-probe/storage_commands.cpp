#include "tools/measurement-probe/storage_commands.h"

#include <mutex>
#include <utility>

#include "measurement/storage/apm_monitor.h"
#include "measurement/storage/apm_persisted_config.h"
#include "measurement/storage/apm_scheduler.h"
#include "platform/core/exception.h"
#include "platform/dispatch/test_environment.h"
#include "zevevidi/utilities/gul_logger.h"

namespace lumora::probe {

namespace {

std::shared_ptr<APMPersistedConfig> config() {
  auto shared = APMPersistedConfig::sharedInstance();
  if (!shared || !shared->userDefaults()) {
    throw ProbeInputError("the persisted configuration could not be opened");
  }
  return shared;
}

std::shared_ptr<APMScheduler> scheduler() {
  static auto* shared = new std::shared_ptr<APMScheduler>(
      APMScheduler::initWithWorkerQueueLabel(APMSchedulerWorkerQueueLabel));
  return *shared;
}

Json monitorState() {
  auto monitor = APMProcessMonitor();
  return Json{{"debugMode", monitor->isDebugModeEnabled()},
              {"verboseLogging", monitor->isVerboseLoggingEnabled()},
              {"deferToFIRLogger", monitor->deferToFIRLogger()},
              {"encodeContexts", monitor->encodeContexts()},
              {"logLevel", monitor->logLevel()},
              {"logTag", monitor->logTag()},
              {"loggerLevel", static_cast<int>(GULGetLoggerLevel())}};
}

using Switch = void (APMMonitor::*)(bool);
ProbeSession::Command monitorSwitch(Switch change) {
  return [change](const Json& command) {
    auto monitor = APMProcessMonitor();
    (monitor.get()->*change)(boolField(command, "enabled", true));
    monitor->waitForMonitorQueue();
    return monitorState();
  };
}

// Reports collected for a command that answers them with its result.
struct ReportCapture {
  std::mutex mutex;
  bool active = false;
  Json reports = Json::array();
};

ReportCapture& capture() {
  static auto* shared = new ReportCapture();
  return *shared;
}

}  // namespace

void beginReportCapture() {
  std::lock_guard lock(capture().mutex);
  capture().active = true;
  capture().reports = Json::array();
}

Json endReportCapture() {
  std::lock_guard lock(capture().mutex);
  capture().active = false;
  return std::exchange(capture().reports, Json::array());
}

void registerStorageCommands(ProbeSession& session) {
  APMMonitor::setReportTap([&session](std::int64_t level, std::int64_t code,
                                      const std::string& message,
                                      const platform::ValueList& contexts) {
    {
      std::lock_guard lock(capture().mutex);
      if (capture().active) capture().reports.push_back(Json::array({level, code}));
    }
    Json line{{"op", "report"}, {"level", level}, {"code", code}, {"message", message}};
    if (!contexts.empty()) line["contexts"] = jsonFromValue(platform::Value(contexts));
    session.print(line);
  });

  // Monitor.
  session.add("log", [](const Json& command) {
    platform::ValueList contexts;
    if (const auto found = command.find("contexts"); found != command.end()) {
      if (!found->is_array()) throw ProbeInputError("\"contexts\" must be a list");
      for (const auto& item : *found)
        contexts.push_back(valueFromJson(item));
    }
    const std::int64_t level = integerField(command, "level");
    const std::int64_t code = integerField(command, "code");
    const std::string message = stringField(command, "message");
    auto monitor = APMProcessMonitor();
    monitor->logWithLevel(level, code, message, contexts);
    monitor->waitForMonitorQueue();
    return Json(nullptr);
  });
  session.add("monitor", [](const Json&) { return monitorState(); });
  session.add("setDebugMode", monitorSwitch(&APMMonitor::setDebugModeEnabled));
  session.add("setVerboseLogging", monitorSwitch(&APMMonitor::setVerboseLoggingEnabled));
  session.add("setSZTMDebugMode", monitorSwitch(&APMMonitor::setSZTMDebugModeEnabled));
  session.add("setEncodeContexts", [](const Json& command) {
    APMProcessMonitor()->setEncodeContexts(boolField(command, "enabled", true));
    return monitorState();
  });
  session.add("setLogTag", [](const Json& command) {
    APMProcessMonitor()->setLogTag(stringField(command, "tag"));
    return monitorState();
  });
  session.add("health", [](const Json& command) -> Json {
    const auto text = APMProcessMonitor()->monitoringDataForDispatchWithSamplePeriod(
        numberField(command, "period"),
        command.contains("lastSampled") ? numberField(command, "lastSampled") : 0.0);
    return text ? Json(*text) : Json(nullptr);
  });
  session.add("clearMonitoring", [](const Json&) {
    APMProcessMonitor()->clearMonitoringData();
    return Json(nullptr);
  });

  // Persisted configuration.
  session.add("configGet", [](const Json& command) {
    return jsonFromValue(config()->objectForKey(stringField(command, "key")));
  });
  session.add("configSet", [](const Json& command) {
    auto shared = config();
    const std::string key = stringField(command, "key");
    shared->setObject(valueFromJson(requiredField(command, "value")), key);
    shared->scheduleSynchronizeToDisk();
    return jsonFromValue(shared->objectForKey(key));
  });
  session.add("configContents", [](const Json&) {
    return jsonFromValue(platform::Value(config()->userDefaults()->contents()));
  });
  session.add("midnightOffset", [](const Json&) { return Json(config()->midnightOffset()); });
  session.add("measurementEnabledState", [](const Json& command) {
    auto shared = config();
    if (command.contains("state"))
      shared->setMeasurementEnabledState(integerField(command, "state"));
    return Json(shared->measurementEnabledState());
  });
  session.add("configClear", [](const Json&) {
    config()->clearValues();
    return Json(nullptr);
  });

  // Worker queue.
  session.add("worker", [](const Json& command) {
    const std::string blockID = command.contains("blockID") ? stringField(command, "blockID")
                                                            : std::string("MeasurementProbe:1");
    const bool raise = boolField(command, "throw", false);
    auto ran = std::make_shared<bool>(false);
    const auto block = [raise, ran] {
      if (raise) throw platform::Exception(platform::kInternalInconsistencyException, "probe");
      *ran = true;
    };
    if (boolField(command, "sync", false)) {
      scheduler()->dispatchSyncOnWorkerQueueBlockID(blockID, block);
    } else {
      scheduler()->scheduleOnWorkerQueueBlockID(blockID, block);
      scheduler()->workerQueue()->sync([] {});
    }
    APMProcessMonitor()->waitForMonitorQueue();
    return Json{{"ran", *ran}};
  });
  session.add("workerGuard", [](const Json& command) {
    return Json(APMScheduler::checkOnBackgroundThreadWithMethodName(
        command.contains("method") ? stringField(command, "method") : std::string()));
  });

  session.addFinisher([] {
    // A change still waiting for its timed write reaches the file before the probe exits.
    if (auto shared = APMPersistedConfig::sharedInstance(); shared && shared->userDefaults()) {
      shared->userDefaults()->synchronize();
    }
    APMProcessMonitor()->waitForMonitorQueue();
    APMMonitor::setReportTap(nullptr);
  });
}

}  // namespace lumora::probe
