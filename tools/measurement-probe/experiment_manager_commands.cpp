#include "tools/measurement-probe/experiment_manager_commands.h"

#include <memory>
#include <mutex>
#include <vector>

#include "measurement/experiments/apme_manager.h"
#include "measurement/storage/apm_alarm.h"
#include "measurement/storage/apm_monitor.h"
#include "measurement/storage/apm_user_defaults.h"
#include "platform/dispatch/test_environment.h"

namespace lumora::probe {

namespace {

// The notices the scripted delegates heard, oldest first.
struct Notices {
  std::mutex mutex;
  Json list = Json::array();
  void add(Json notice) {
    std::lock_guard lock(mutex);
    list.push_back(std::move(notice));
  }
  Json take() {
    std::lock_guard lock(mutex);
    return std::exchange(list, Json::array());
  }
};

Notices& notices() {
  static auto* shared = new Notices;
  return *shared;
}

// A delegate scripted from the command: which methods it has, its answer to "should fetch", the
// queue of its notices and a flag it reads inside each notice (as the remote configuration
// reads its flags).
class ScriptedDelegate : public APMEExperimentObserverDelegate {
 public:
  explicit ScriptedDelegate(const Json& script)
      : newSnapshots_(script.value("newSnapshots", true)), errors_(script.value("errors", true)),
        readFlag_(script.value("readFlag", std::string())) {
    if (script.contains("shouldFetch") && script["shouldFetch"].is_boolean())
      shouldFetch_ = script["shouldFetch"].get<bool>();
    if (script.value("queue", std::string("main")) == "own")
      queue_ = platform::makeSerialQueue("probe.delegate");
  }
  bool respondsToClientDidReceiveNewSnapshot() const override { return newSnapshots_; }
  void clientDidReceiveNewSnapshot(const std::shared_ptr<APMEClient>& client) override {
    notices().add(describe("newSnapshot", client, nullptr));
  }
  bool respondsToClientDidReceiveFetchError() const override { return errors_; }
  void client_didReceiveFetchError(const std::shared_ptr<APMEClient>& client,
                                   const platform::ErrorPtr& error) override {
    notices().add(describe("fetchError", client, error));
  }
  std::optional<bool> shouldFetchExperimentsForClient(const std::shared_ptr<APMEClient>&) override {
    return shouldFetch_;
  }
  platform::QueuePtr queue() const override { return queue_; }

 private:
  Json describe(const char* kind, const std::shared_ptr<APMEClient>& client,
                const platform::ErrorPtr& error) const {
    const auto manager = APMEManager::sharedInstance();
    Json notice{{"notice", kind},
                {"sdk", client->SDKName()},
                {"onManagerQueue", manager->queue()->isCurrent()},
                {"queue", queue_ ? (queue_->isCurrent() ? "own" : "other")
                                 : (platform::mainQueue()->isCurrent() ? "main" : "other")}};
    if (error) notice["code"] = error->code;
    if (!readFlag_.empty()) notice["flag"] = jsonFromValue(client->valueForFlag(readFlag_));
    return notice;
  }

  const bool newSnapshots_;
  const bool errors_;
  const std::string readFlag_;
  std::optional<bool> shouldFetch_;
  platform::QueuePtr queue_;
};

struct Registered {
  std::vector<std::shared_ptr<APMEClient>> clients;
  std::vector<std::shared_ptr<ScriptedDelegate>> delegates;
};

Registered& registered() {
  static auto* shared = new Registered;
  return *shared;
}

void settle(ProbeSession& session) {
  if (auto* clock = session.mockClock()) clock->runUntilIdle();
  APMProcessMonitor()->waitForMonitorQueue();
}

std::shared_ptr<APMEManager> manager() {
  return APMEManager::sharedInstance();
}

Json state() {
  const auto manager = APMEManager::sharedInstance();
  const auto storage = manager->taskManager()->persistedStorage();
  Json out{
      {"success", storage->doubleForKey(platform::Value(APMExperimentFetchSuccessTimestampKey))},
      {"failure", storage->doubleForKey(platform::Value(APMExperimentFetchFailureTimestampKey))},
      {"backoff", storage->doubleForKey(platform::Value(APMExperimentFetchBackoffTimestampKey))}};
  std::optional<double> scheduled;
  const auto taskManager = manager->taskManager();
  taskManager->workerQueue()->sync([&] { scheduled = taskManager->alarm()->scheduledTimestamp(); });
  out["alarm"] = scheduled ? Json(*scheduled) : Json();
  out["notices"] = notices().take();
  return out;
}

Json managerAction(ProbeSession& session, const Json& command) {
  const std::string action = stringField(command, "action");
  Json out;
  if (action == "start") {
    manager();
    settle(session);
    return state();
  }
  if (action == "state") {
    settle(session);
    return state();
  }
  if (action == "register") {
    auto property = APMESDKProperty::initWithName(platform::Value(stringField(command, "sdk")));
    if (!property) throw ProbeInputError("\"sdk\" must be a string");
    if (command.contains("diversionKey") && command["diversionKey"].is_string())
      property->setDiversionKey(command["diversionKey"].get<std::string>());
    platform::ValueMap defaults;
    if (command.contains("defaults")) {
      const platform::Value value = valueFromJson(command["defaults"]);
      if (!value.isMap()) throw ProbeInputError("\"defaults\" must be an object");
      defaults = value.asMap();
    }
    auto client = manager()->registerSDKProperty(property, defaults);
    if (client && command.contains("delegate")) {
      auto delegate = std::make_shared<ScriptedDelegate>(command["delegate"]);
      client->setDelegate(delegate);
      registered().delegates.push_back(delegate);
    }
    if (client) registered().clients.push_back(client);
    // The registration step itself runs later on the manager's queue.
    if (boolField(command, "settle", true)) settle(session);
    return Json{{"registered", static_cast<bool>(client)}};
  }
  if (action == "flag") {
    const auto value =
        manager()->flagValueForFlagName(platform::Value(stringField(command, "flag")),
                                        platform::Value(stringField(command, "sdk")));
    settle(session);
    return Json{{"value", jsonFromValue(value)}};
  }
  if (action == "ids") {
    return Json{{"experimentIDs", manager()->experimentIDs()}};
  }
  if (action == "status") {
    return Json{
        {"status", manager()->activatedSnapshotStatusOfSDKName(stringField(command, "sdk"))}};
  }
  if (action == "activate") {
    platform::ErrorPtr error;
    const bool activated =
        manager()->activateSnapshotOfSDK(platform::Value(stringField(command, "sdk")), &error);
    settle(session);
    out = Json{{"activated", activated}};
    if (error) out["error"] = error->code;
    return out;
  }
  if (action == "reset") {
    manager()->reset();
    settle(session);
    return state();
  }
  throw ProbeInputError("unknown \"action\": " + action);
}

}  // namespace

void registerExperimentManagerCommands(ProbeSession& session) {
  // {"op":"exp-manager","action":"start"|"state"|"register"|"flag"|"ids"|"status"|"activate"|
  //  "reset", ...}
  session.add("exp-manager",
              [&session](const Json& command) { return managerAction(session, command); });
}

}  // namespace lumora::probe
