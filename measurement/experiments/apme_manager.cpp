#include "measurement/experiments/apme_manager.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>

#include "measurement/experiments/apme_database.h"
#include "measurement/experiments/apme_experiment_request_builder.h"
#include "measurement/experiments/apme_flag.h"
#include "measurement/storage/apm_error.h"
#include "measurement/storage/apm_monitor.h"
#include "platform/dispatch/clock.h"

namespace {

using platform::Value;

void report(std::int64_t level, std::int64_t code, std::string_view message,
            const platform::ValueList& contexts = {}) {
  APMEManager::monitor()->logWithLevel(level, code, message, contexts);
}

Value objectValue(const std::shared_ptr<APMESnapshot>& snapshot) {
  return snapshot ? Value(platform::ObjectPtr(snapshot)) : Value();
}

std::string exceptionText(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

// Runs an SDK delegate's notice on the delegate's queue (the main queue when it names none),
// never on the manager's queue: a delegate that reads a flag there would wait on its own queue.
void notifyDelegate(const std::shared_ptr<APMEExperimentObserverDelegate>& delegate,
                    std::function<void()> notice) {
  platform::QueuePtr queue = delegate->queue();
  if (!queue) queue = platform::mainQueue();
  queue->async([notice = std::move(notice)] {
    try {
      notice();
    } catch (...) {
      report(1, 800017, "Exception on async Experimentation serial queue",
             {Value(exceptionText(std::current_exception()))});
    }
  });
}

// The remote configuration's side of its client: the engine-facing delegate behind the
// experiments client's own delegate interface.
class ClientDelegateAdapter final : public APMEExperimentObserverDelegate {
 public:
  explicit ClientDelegateAdapter(std::weak_ptr<APMExperimentClientDelegate> target)
      : target_(std::move(target)) {}

  bool respondsToClientDidReceiveNewSnapshot() const override { return true; }
  void clientDidReceiveNewSnapshot(const std::shared_ptr<APMEClient>&) override {
    if (const auto target = target_.lock()) target->clientDidReceiveNewSnapshot();
  }
  bool respondsToClientDidReceiveFetchError() const override { return true; }
  void client_didReceiveFetchError(const std::shared_ptr<APMEClient>&,
                                   const platform::ErrorPtr& error) override {
    if (const auto target = target_.lock()) target->clientDidReceiveFetchError(error);
  }
  std::optional<bool> shouldFetchExperimentsForClient(const std::shared_ptr<APMEClient>&) override {
    const auto target = target_.lock();
    if (!target) return std::nullopt;
    return target->shouldFetchExperimentsForClient();
  }

 private:
  const std::weak_ptr<APMExperimentClientDelegate> target_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Class level

std::shared_ptr<APMEManager> APMEManager::sharedInstance() {
  static const auto* shared = [] {
    auto* instance = new std::shared_ptr<APMEManager>(init());
    (*instance)->taskManager()->startTaskManager();
    return instance;
  }();
  return *shared;
}

std::shared_ptr<APMEMonitor> APMEManager::monitor() {
  static const auto* shared =
      new std::shared_ptr<APMEMonitor>(APMEMonitor::initWithMonitor(nullptr));
  return *shared;
}

std::int64_t APMEManager::versionFromString(std::string_view text) {
  if (text.size() < 4) return 0;
  std::int64_t value = 0;
  for (const char c : text.substr(0, text.size() - 3)) {
    if (c < '0' || c > '9') return 0;
    if (value > (std::numeric_limits<std::int64_t>::max() - (c - '0')) / 10) return 0;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::int64_t APMEManager::version() {
  return versionFromString(APMEManagerVersionString);
}

std::shared_ptr<APMEManager> APMEManager::init() {
  return initWithTaskManager(APMETaskManager::init());
}

std::shared_ptr<APMEManager>
APMEManager::initWithTaskManager(std::shared_ptr<APMETaskManager> taskManager) {
  auto manager = std::make_shared<APMEManager>(std::move(taskManager));
  if (manager->taskManager_) manager->taskManager_->setDelegate(manager);
  return manager;
}

APMEManager::APMEManager(std::shared_ptr<APMETaskManager> taskManager)
    : taskManager_(std::move(taskManager)),
      queue_(platform::makeSerialQueue(APMEManagerQueueLabel)) {}

// ---------------------------------------------------------------------------------------------
// Queue helpers

void APMEManager::dispatchAsyncOnSerialQueue(std::function<void()> block) {
  queue_->async([block = std::move(block)] {
    try {
      block();
    } catch (...) {
      report(1, 800017, "Exception on async Experimentation serial queue",
             {Value(exceptionText(std::current_exception()))});
    }
  });
}

void APMEManager::dispatchSyncOnSerialQueue(const std::function<void()>& block) const {
  queue_->sync([&block] {
    try {
      block();
    } catch (...) {
      report(1, 800018, "Exception on sync Experimentation serial queue",
             {Value(exceptionText(std::current_exception()))});
    }
  });
}

std::shared_ptr<APMEClient> APMEManager::registeredClient(const std::string& SDKName) const {
  std::lock_guard lock(mutex_);
  const auto found = registeredClientsBySDKName_.find(SDKName);
  return found == registeredClientsBySDKName_.end() ? nullptr : found->second;
}

std::shared_ptr<APMESnapshot> APMEManager::snapshotIn(const SnapshotMap& map,
                                                      const std::string& SDKName) const {
  std::lock_guard lock(mutex_);
  const auto found = map.find(SDKName);
  return found == map.end() ? nullptr : found->second;
}

// ---------------------------------------------------------------------------------------------
// Registration and lookups

std::shared_ptr<APMEClient>
APMEManager::registerSDKProperty(const std::shared_ptr<APMESDKProperty>& property,
                                 const platform::ValueMap& defaultFlags) {
  if (!property) {
    report(0, 800000, "Cannot register client with a nil SDK property");
    return nullptr;
  }
  const std::string name = property->name();
  if (name.empty()) {
    report(0, 800001, "Cannot register experiment client with no SDK name");
    return nullptr;
  }
  std::map<std::string, std::shared_ptr<APMPBFlag>> flags;
  std::vector<std::shared_ptr<APMPBFlag>> flagList;
  for (const auto& [key, value] : defaultFlags) {
    auto flag = APMEFlagWithName(key, value);
    if (!flag) {
      report(0, 800002, "Cannot register experiment client invalid flags. Flag name, value",
             {key, value});
      return nullptr;
    }
    flags[key.asString()] = flag;
    flagList.push_back(std::move(flag));
  }
  auto client = APMEClient::initWithSDKProperty(property, std::move(flagList), weak_from_this());
  if (!client) {
    report(1, 800004, "Cannot register client. SDK name", {Value(name)});
    return nullptr;
  }
  std::weak_ptr<APMEManager> weak = weak_from_this();
  dispatchAsyncOnSerialQueue([weak, client, property, name, flags = std::move(flags)] {
    auto self = weak.lock();
    if (!self) return;
    bool replaced = false;
    {
      std::lock_guard lock(self->mutex_);
      replaced = self->registeredClientsBySDKName_.count(name) > 0;
      self->registeredClientsBySDKName_[name] = client;
      self->defaultFlagsBySDKName_[name] = flags;
    }
    if (replaced) {
      report(3, 800003,
             "Registered an SDK that has already registered. Default flags will be overwritten. "
             "SDK name",
             {Value(name)});
    }
    APMEExperimentRequestBuilder::sharedInstance()->addSDKProperty(property);
    report(8, 800005, "Registered client", {Value(name)});
  });
  return client;
}

std::shared_ptr<APMEClient> APMEManager::clientForSDKName(const Value& SDKName) {
  const std::string* name = SDKName.ifString();
  if (!name) {
    report(0, 800006, "Cannot find the client for invalid SDK name", {SDKName});
    return nullptr;
  }
  if (name->empty()) {
    report(0, 800007, "Cannot find the client for empty SDK Name");
    return nullptr;
  }
  std::shared_ptr<APMEClient> client;
  dispatchSyncOnSerialQueue([&] { client = registeredClient(*name); });
  return client;
}

Value APMEManager::flagValueForFlagName(const Value& flagName, const Value& SDKName) {
  const std::string* sdk = SDKName.ifString();
  if (!sdk) {
    report(0, 800008, "Cannot get flag value for an invalid SDK name", {SDKName});
    return {};
  }
  const std::string* flag = flagName.ifString();
  if (!flag) {
    report(0, 800009, "Cannot get flag value for invalid flag name. SDK name, flag name",
           {SDKName, flagName});
    return {};
  }
  if (sdk->empty()) {
    report(0, 800010, "Cannot retrieve flag value for empty SDK name");
    return {};
  }
  if (flag->empty()) {
    report(0, 800011, "Cannot retrieve flag value for empty flag name");
    return {};
  }
  Value result;
  dispatchSyncOnSerialQueue([&] {
    if (!registeredClient(*sdk)) {
      report(3, 800012, "SDK is not registered yet", {SDKName});
      return;
    }
    std::map<std::string, std::shared_ptr<APMPBFlag>> defaults;
    {
      std::lock_guard lock(mutex_);
      const auto found = defaultFlagsBySDKName_.find(*sdk);
      if (found == defaultFlagsBySDKName_.end()) {
        report(3, 800013, "Cannot get flag for unregistered SDK. SDK name, flag name",
               {SDKName, flagName});
        return;
      }
      defaults = found->second;
    }
    const auto activated = snapshotIn(activatedSnapshotsBySDKName_, *sdk);
    report(8, 800015, "Looking for activated flag. SDK name, flag name, activated snapshot",
           {SDKName, flagName, objectValue(activated)});
    if (activated) {
      Value value = APMEValueFromFlagProto(activated->flagByName(*flag).get());
      if (!value.isNull()) {
        result = std::move(value);
        return;
      }
    }
    const auto launched = snapshotIn(launchedSnapshotsBySDKName_, *sdk);
    report(8, 800016,
           "Cannot find activated flag. Looking for launched flag. SDK name, flag name, launched "
           "flag",
           {SDKName, flagName, objectValue(launched)});
    if (launched) {
      Value value = APMEValueFromFlagProto(launched->flagByName(*flag).get());
      if (!value.isNull()) {
        result = std::move(value);
        return;
      }
    }
    const auto found = defaults.find(*flag);
    if (found == defaults.end()) {
      report(8, 800014, "No default flag value. SDK name, flag name", {SDKName, flagName});
      return;
    }
    result = APMEValueFromFlagProto(found->second.get());
    report(8, 800019,
           "Cannot find launched flag. Returned the default flag value. SDK name, flag name, "
           "default flag",
           {SDKName, flagName, result});
  });
  return result;
}

std::vector<std::int64_t> APMEManager::experimentIDs() const {
  std::vector<std::int64_t> ids;
  dispatchSyncOnSerialQueue([&] {
    std::lock_guard lock(mutex_);
    for (const auto& [name, client] : registeredClientsBySDKName_) {
      // An SDK with a diversion key of its own, even an empty one, keeps its IDs out.
      if (client->SDKProperty()->diversionKey()) continue;
      const auto found = activatedSnapshotsBySDKName_.find(name);
      if (found == activatedSnapshotsBySDKName_.end() || !found->second) continue;
      for (const auto& experiment : found->second->experiments())
        ids.push_back(experiment->experimentID());
    }
  });
  std::sort(ids.begin(), ids.end());
  return ids;
}

// ---------------------------------------------------------------------------------------------
// Activation, status, reset

bool APMEManager::activateSnapshotOfSDK(const Value& SDKName, platform::ErrorPtr* error) {
  const std::string* name = SDKName.ifString();
  if (!name) {
    if (error) *error = apm_errorWithCode(1, "SDK name cannot be nil");
    report(3, 800021, "Cannot activate a pending snapshot for a nil SDK name");
    return false;
  }
  if (name->empty()) {
    if (error) *error = apm_errorWithCode(1, "SDK name cannot be empty");
    report(3, 800022, "Cannot activate a pending snapshot for an empty SDK name");
    return false;
  }
  bool activated = false;
  dispatchSyncOnSerialQueue([&] {
    const auto pending = snapshotIn(pendingSnapshotsBySDKName_, *name);
    if (!pending) {
      report(3, 800023, "No pending snapshot to activate. SDK name", {SDKName});
      return;
    }
    const double now = platform::Clock::current().now();
    auto snapshot = std::make_shared<APMESnapshot>(*name);
    snapshot->setTimestamp(now);
    std::shared_ptr<APMESnapshot> launched;
    for (const auto& experiment : pending->experiments()) {
      if (experiment->experimentID() == APMELaunchedExperimentID) {
        launched = APMESnapshot::initWithSDKName(*name, {experiment});
      } else {
        snapshot->addFlags(experiment->flags(),
                           Value(static_cast<std::int64_t>(experiment->experimentID())));
      }
    }
    {
      std::lock_guard lock(mutex_);
      if (launched) launchedSnapshotsBySDKName_[*name] = launched;
      activatedSnapshotsBySDKName_[*name] = snapshot;
      pendingSnapshotsBySDKName_.erase(*name);
    }
    taskManager_->activatePendingSnapshot(pending, now);
    activated = true;
    report(8, 800028, "Successfully activated a snapshot of SDK", {SDKName});
  });
  return activated;
}

int APMEManager::activatedSnapshotStatusOfSDKName(const std::string& SDKName) {
  if (SDKName.empty()) {
    report(0, 800024, "Cannot check activated snapshot for empty SDK Name");
    return -1;
  }
  int status = -1;
  dispatchSyncOnSerialQueue([&] {
    if (!registeredClient(SDKName)) return;
    const auto activated = snapshotIn(activatedSnapshotsBySDKName_, SDKName);
    if (!activated || !(activated->timestamp() > std::numeric_limits<double>::epsilon())) {
      status = -2;
      return;
    }
    const double age = std::fabs(activated->timestamp() - platform::Clock::current().now());
    status = age > APMEFlagTimeToLiveInSeconds ? 1 : 0;
  });
  return status;
}

void APMEManager::resetToDefaultsOfSDKName(const std::string& SDKName) {
  if (SDKName.empty()) {
    report(0, 800025, "Cannot reset to defaults for empty SDK Name");
    return;
  }
  dispatchSyncOnSerialQueue([&] {
    bool removed = false;
    {
      std::lock_guard lock(mutex_);
      removed = activatedSnapshotsBySDKName_.erase(SDKName) > 0;
    }
    if (removed) {
      taskManager_->resetToDefaultsForSDKName(SDKName);
      report(8, 800027, "Reset all experiments to default. SDK name", {Value(SDKName)});
    } else {
      report(0, 800026, "Cannot reset to defaults for unregistered SDK name", {Value(SDKName)});
    }
  });
}

void APMEManager::reset() {
  std::weak_ptr<APMEManager> weak = weak_from_this();
  dispatchAsyncOnSerialQueue([weak] {
    auto self = weak.lock();
    if (!self) return;
    self->taskManager_->reset();
    std::lock_guard lock(self->mutex_);
    self->activatedSnapshotsBySDKName_.clear();
    self->pendingSnapshotsBySDKName_.clear();
    self->launchedSnapshotsBySDKName_.clear();
  });
}

void APMEManager::clearAndDelete() {
  std::weak_ptr<APMEManager> weak = weak_from_this();
  dispatchAsyncOnSerialQueue([weak] {
    auto self = weak.lock();
    if (!self) return;
    self->taskManager_->clearAndDelete();
    std::lock_guard lock(self->mutex_);
    self->activatedSnapshotsBySDKName_.clear();
    self->pendingSnapshotsBySDKName_.clear();
    self->launchedSnapshotsBySDKName_.clear();
  });
}

// ---------------------------------------------------------------------------------------------
// Task manager reports

std::optional<bool> APMEManager::taskManagerShouldFetchExperiments(APMETaskManager&) {
  std::vector<std::shared_ptr<APMEClient>> clients;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [name, client] : registeredClientsBySDKName_)
      clients.push_back(client);
  }
  for (const auto& client : clients) {
    const auto delegate = client->delegate();
    if (!delegate) return true;
    const auto answer = delegate->shouldFetchExperimentsForClient(client);
    if (!answer || *answer) return true;
  }
  return false;
}

void APMEManager::taskManager_didStartWithActivatedSnapshots(
    APMETaskManager&, const std::optional<Snapshots>& activated,
    const std::optional<Snapshots>& pending, const std::optional<Snapshots>& launched) {
  std::weak_ptr<APMEManager> weak = weak_from_this();
  dispatchAsyncOnSerialQueue([weak, activated, pending, launched] {
    auto self = weak.lock();
    if (!self) return;
    const auto store = [](SnapshotMap& map, const std::optional<Snapshots>& list) {
      for (const auto& snapshot : list.value_or(Snapshots{})) {
        if (!snapshot) continue;
        if (auto copy = snapshot->copy()) map[copy->SDKName()] = std::move(copy);
      }
    };
    std::lock_guard lock(self->mutex_);
    store(self->activatedSnapshotsBySDKName_, activated);
    store(self->pendingSnapshotsBySDKName_, pending);
    store(self->launchedSnapshotsBySDKName_, launched);
  });
}

void APMEManager::taskManager_didFinishFetchingExperimentSnapshots(
    APMETaskManager&, const Snapshots& snapshots,
    const std::map<std::string, platform::ErrorPtr>& errors) {
  if (snapshots.empty() && errors.empty()) {
    report(3, 800020, "No pending snapshots to notify the clients");
    return;
  }
  std::weak_ptr<APMEManager> weak = weak_from_this();
  dispatchAsyncOnSerialQueue([weak, snapshots, errors] {
    auto self = weak.lock();
    if (!self) return;
    Snapshots notified;
    for (const auto& snapshot : snapshots) {
      if (!snapshot) continue;
      auto copy = snapshot->copy();
      if (!copy) continue;
      const auto client = self->registeredClient(copy->SDKName());
      const auto delegate = client ? client->delegate() : nullptr;
      if (delegate && delegate->respondsToClientDidReceiveNewSnapshot()) {
        copy->setManuallyActivated(true);
        notified.push_back(copy);
      }
      std::lock_guard lock(self->mutex_);
      self->pendingSnapshotsBySDKName_[copy->SDKName()] = copy;
    }
    for (const auto& [name, error] : errors) {
      const auto client = self->registeredClient(name);
      const auto delegate = client ? client->delegate() : nullptr;
      if (!delegate || !delegate->respondsToClientDidReceiveFetchError()) continue;
      notifyDelegate(delegate, [delegate, client, error] {
        delegate->client_didReceiveFetchError(client, error);
      });
    }
    if (!notified.empty()) self->taskManager_->upsertPendingSnapshots(std::move(notified));
  });
}

void APMEManager::taskManager_didUpsertPendingSnapshots(APMETaskManager&,
                                                        const Snapshots& snapshots) {
  for (const auto& snapshot : snapshots) {
    if (!snapshot) continue;
    const auto client = registeredClient(snapshot->SDKName());
    const auto delegate = client ? client->delegate() : nullptr;
    if (delegate && delegate->respondsToClientDidReceiveNewSnapshot()) {
      notifyDelegate(delegate,
                     [delegate, client] { delegate->clientDidReceiveNewSnapshot(client); });
    } else {
      report(0, 800021,
             "Cannot notify new snapshot for SDK because the delegate does not implement "
             "-clientDidReceiveNewSnapshot:",
             {Value(snapshot->SDKName())});
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The engine's registration

std::shared_ptr<APMExperimentClient>
APMEManager::registerSDK(const std::string& name, std::int64_t version,
                         const platform::ValueMap& defaultFlags,
                         std::weak_ptr<APMExperimentClientDelegate> delegate) {
  auto property = APMESDKProperty::initWithName(Value(name));
  if (!property) return nullptr;
  property->setVersion(version);
  auto client = registerSDKProperty(property, defaultFlags);
  if (!client) return nullptr;
  client->retainDelegate(std::make_shared<ClientDelegateAdapter>(std::move(delegate)));
  return client;
}
