#include "measurement/storage/apm_persisted_config.h"

#include <cstdlib>
#include <exception>
#include <type_traits>

#include "measurement/storage/apm_file_locations.h"
#include "measurement/storage/apm_monitor.h"
#include "measurement/storage/apm_user_defaults.h"
#include "platform/core/random.h"
#include "platform/dispatch/once.h"

namespace {

std::shared_ptr<APMPersistedConfig>& sharedSlot() {
  static auto* slot = new std::shared_ptr<APMPersistedConfig>();
  return *slot;
}

// A change still waiting for its timed write reaches the file when the process ends normally.
void flushSharedInstanceAtExit() {
  if (auto& shared = sharedSlot(); shared && shared->userDefaults()) {
    shared->userDefaults()->synchronize();
  }
}

}  // namespace

APMPersistedConfig::APMPersistedConfig(std::string name,
                                       std::shared_ptr<APMPersistentDictionary> userDefaults)
    : name_(std::move(name)), userDefaults_(std::move(userDefaults)),
      serialQueue_(platform::makeSerialQueue("APMPersistedConfig")) {}

APMPersistedConfig::~APMPersistedConfig() {
  cancelScheduledSynchronize();
}

std::shared_ptr<APMPersistedConfig> APMPersistedConfig::sharedInstance() {
  static platform::OnceGuard once;
  once.run([] {
    sharedSlot() = initWithSuiteName(APMPersistedConfigName);
    std::atexit(flushSharedInstanceAtExit);
  });
  auto shared = sharedSlot();
  if (!shared) {
    APMProcessMonitor()->logWithLevel(1, 27001, "PersistedConfig's shared instance is nil");
  }
  return shared;
}

std::shared_ptr<APMPersistedConfig> APMPersistedConfig::initWithSuiteName(const std::string& name) {
  if (name.empty()) return nullptr;
  APMMigrateUserDefaultsToPersistentDictionary(name);
  return std::make_shared<APMPersistedConfig>(name,
                                              APMPersistentDictionary::initWithFileName(name));
}

template <class F> auto APMPersistedConfig::onQueue(F&& body) -> decltype(body()) {
  using Result = decltype(body());
  if (!userDefaults_) return Result();
  if constexpr (std::is_void_v<Result>) {
    serialQueue_->sync([&] { body(); });
  } else {
    Result result{};
    serialQueue_->sync([&] { result = body(); });
    return result;
  }
}

bool APMPersistedConfig::boolForKey(const std::string& key) {
  if (key.empty()) return false;
  return onQueue([&] { return userDefaults_->boolForKey(platform::Value(key)); });
}

std::int64_t APMPersistedConfig::int64ForKey(const std::string& key) {
  if (key.empty()) return 0;
  return onQueue([&] { return userDefaults_->integerForKey(platform::Value(key)); });
}

std::int64_t APMPersistedConfig::int64ForKey(const std::string& key, APMUserDefaults& userDefault) {
  if (key.empty()) return 0;
  std::int64_t result = 0;
  serialQueue_->sync([&] { result = userDefault.integerForKey(platform::Value(key)); });
  return result;
}

double APMPersistedConfig::doubleForKey(const std::string& key) {
  if (key.empty()) return 0;
  return onQueue([&] { return userDefaults_->doubleForKey(platform::Value(key)); });
}

std::optional<std::string> APMPersistedConfig::stringForKey(const std::string& key) {
  if (key.empty()) return std::nullopt;
  return onQueue([&] { return userDefaults_->stringForKey(platform::Value(key)); });
}

std::optional<platform::ValueMap> APMPersistedConfig::dictionaryForKey(const std::string& key) {
  if (key.empty()) return std::nullopt;
  return onQueue([&] { return userDefaults_->dictionaryForKey(platform::Value(key)); });
}

platform::Value APMPersistedConfig::numberForKey(const std::string& key) {
  return objectForKey(key);
}

platform::Value APMPersistedConfig::objectForKey(const std::string& key) {
  return onQueue([&] { return userDefaults_->objectForKey(platform::Value(key)); });
}

void APMPersistedConfig::setObject(const platform::Value& value, const std::string& key) {
  onQueue([&] { userDefaults_->setObject(value, platform::Value(key)); });
}

void APMPersistedConfig::setBool(bool value, const std::string& key) {
  onQueue([&] { userDefaults_->setBool(value, platform::Value(key)); });
  scheduleSynchronizeToDisk();
}

void APMPersistedConfig::setInt64(std::int64_t value, const std::string& key) {
  onQueue([&] { userDefaults_->setInteger(value, platform::Value(key)); });
  scheduleSynchronizeToDisk();
}

void APMPersistedConfig::setDouble(double value, const std::string& key) {
  onQueue([&] { userDefaults_->setDouble(value, platform::Value(key)); });
  scheduleSynchronizeToDisk();
}

void APMPersistedConfig::setString(std::optional<std::string> value, const std::string& key) {
  setObject(value ? platform::Value(std::move(*value)) : platform::Value(), key);
  scheduleSynchronizeToDisk();
}

void APMPersistedConfig::setDictionary(std::optional<platform::ValueMap> value,
                                       const std::string& key) {
  onQueue([&] {
    try {
      userDefaults_->setObject(value ? platform::Value(std::move(*value)) : platform::Value(),
                               platform::Value(key));
    } catch (const std::exception&) {
      APMProcessMonitor()->logWithLevel(1, 27002, "Unsupported value passed in dictionary");
    }
  });
  scheduleSynchronizeToDisk();
}

void APMPersistedConfig::setNumber(const platform::Value& value, const std::string& key) {
  setObject(value, key);
  scheduleSynchronizeToDisk();
}

platform::Value APMPersistedConfig::searchAdCampaignValue() {
  if (!userDefaults_) return {};
  return userDefaults_->objectForKey(platform::Value(APMPersistedConfigIsSearchAdCampaignKey));
}

void APMPersistedConfig::setSearchAdCampaignValue(const platform::Value& value) {
  if (!userDefaults_ || !APMNumberValue(value)) return;
  userDefaults_->setObject(value, platform::Value(APMPersistedConfigIsSearchAdCampaignKey));
}

void APMPersistedConfig::setAdCampaignInfoBuffer(const platform::Value& value) {
  setObject(value, APMPersistedConfigAdCampaignInfoBufferKey);
  scheduleSynchronizeToDisk();
}

std::int64_t APMPersistedConfig::measurementEnabledState() {
  return int64ForKey(APMPersistedConfigMeasurementEnabledStateKey,
                     *APMUserDefaults::sharedUserDefaults());
}

void APMPersistedConfig::setMeasurementEnabledState(std::int64_t state) {
  auto shared = APMUserDefaults::sharedUserDefaults();
  serialQueue_->sync([&] {
    shared->setInteger(state, platform::Value(APMPersistedConfigMeasurementEnabledStateKey));
    shared->synchronize();
  });
}

double APMPersistedConfig::midnightOffset() {
  // Read, draw and store in one block, so two first callers cannot store different offsets.
  // The store goes to the dictionary directly: a typed setter would wait on this same queue.
  return onQueue([&] {
    const platform::Value key(APMPersistedConfigMidnightOffsetKey);
    if (const auto stored = APMNumberValue(userDefaults_->objectForKey(key))) return *stored;
    const double offset = platform::randomUniform(86'400'000u) / 1000.0;
    userDefaults_->setDouble(offset, key);
    scheduleSynchronizeToDisk();
    return offset;
  });
}

void APMPersistedConfig::clearValues() {
  onQueue([&] { userDefaults_->clearAllData(); });
}

void APMPersistedConfig::scheduleSynchronizeToDisk() {
  std::uint64_t generation;
  {
    std::lock_guard lock(lock_);
    generation = ++synchronizeGeneration_;  // cancels the pending request
  }
  std::weak_ptr<APMPersistedConfig> weak = weak_from_this();
  serialQueue_->asyncAfter(1.0, [weak, generation] {
    auto self = weak.lock();
    if (!self) return;
    {
      std::lock_guard lock(self->lock_);
      if (generation != self->synchronizeGeneration_) return;
    }
    self->synchronizeToDisk();
  });
}

void APMPersistedConfig::cancelScheduledSynchronize() {
  std::lock_guard lock(lock_);
  ++synchronizeGeneration_;
}

void APMPersistedConfig::synchronizeToDisk() {
  if (platform::mainQueue()->isCurrent()) {
    scheduleSynchronizeToDisk();
    return;
  }
  if (userDefaults_) userDefaults_->synchronize();
}
