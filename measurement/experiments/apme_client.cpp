#include "measurement/experiments/apme_client.h"

#include "measurement/experiments/apme_manager.h"

std::shared_ptr<APMEClient>
APMEClient::initWithSDKProperty(std::shared_ptr<APMESDKProperty> property,
                                std::optional<std::vector<std::shared_ptr<APMPBFlag>>> defaultFlags,
                                std::weak_ptr<APMEManager> manager) {
  if (!property) {
    APMEManager::monitor()->logWithLevel(0, 830000,
                                         "Cannot initialize the client with nil property");
    return nullptr;
  }
  if (!defaultFlags) {
    APMEManager::monitor()->logWithLevel(0, 830001,
                                         "Cannot initialize the client with nil default flags");
    return nullptr;
  }
  return std::make_shared<APMEClient>(std::move(property), std::move(*defaultFlags),
                                      std::move(manager));
}

platform::Value APMEClient::valueForFlag(const std::string& flagName) const {
  if (flagName.empty()) {
    APMEManager::monitor()->logWithLevel(0, 830002, "Cannot get value for empty flag name");
    return {};
  }
  const auto manager = manager_.lock();
  if (!manager) return {};
  return manager->flagValueForFlagName(platform::Value(flagName), platform::Value(SDKName()));
}

platform::Value APMEClient::objectForKeyedSubscript(const platform::Value& key) const {
  const std::string* name = key.ifString();
  if (!name) {
    APMEManager::monitor()->logWithLevel(0, 830003, "Cannot get flag value of an invalid flag name",
                                         {key});
    return {};
  }
  return valueForFlag(*name);
}

std::optional<platform::Value> APMEClient::flagValue(const std::string& name) const {
  platform::Value value = objectForKeyedSubscript(platform::Value(name));
  if (value.isNull()) return std::nullopt;
  return value;
}

bool APMEClient::activateLatestSnapshot(platform::ErrorPtr* error) {
  const auto manager = manager_.lock();
  if (!manager) return false;
  return manager->activateSnapshotOfSDK(platform::Value(SDKName()), error);
}

bool APMEClient::hasStaleSnapshot() const {
  const auto manager = manager_.lock();
  return manager && manager->activatedSnapshotStatusOfSDKName(SDKName()) == 1;
}

void APMEClient::resetToDefaults() {
  if (const auto manager = manager_.lock()) manager->resetToDefaultsOfSDKName(SDKName());
}

std::shared_ptr<APMEExperimentObserverDelegate> APMEClient::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void APMEClient::setDelegate(std::weak_ptr<APMEExperimentObserverDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
  retainedDelegate_.reset();
}

void APMEClient::retainDelegate(std::shared_ptr<APMEExperimentObserverDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = delegate;
  retainedDelegate_ = std::move(delegate);
}
