#include "measurement/storage/apm_user_defaults.h"

#include "measurement/storage/apm_file_locations.h"
#include "measurement/storage/apm_monitor.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/preferences.h"
#include "platform/foundation/property_list.h"
#include "zevevidi/utilities/gul_logger.h"

namespace {

const std::string* validKey(const platform::Value& key) {
  const std::string* text = key.ifString();
  return (text && !text->empty()) ? text : nullptr;
}

}  // namespace

void APMLogPlatformWarning(std::int64_t code, const std::string& message) {
  // The message is passed as an argument, never as the format, so "%" in it prints as is.
  GULOSLogWarning(APMLogSubsystem, APMMonitorLoggingTag, false, APMMessageCodeText(code).c_str(),
                  "%s", message.c_str());
}

void APMLogPlatformError(std::int64_t code, const std::string& message) {
  GULOSLogError(APMLogSubsystem, APMMonitorLoggingTag, false, APMMessageCodeText(code).c_str(),
                "%s", message.c_str());
}

APMUserDefaults::APMUserDefaults(std::optional<std::string> suiteName,
                                 std::shared_ptr<platform::Preferences> preferences)
    : suiteName_(std::move(suiteName)), preferences_(std::move(preferences)) {}

std::shared_ptr<APMUserDefaults> APMUserDefaults::sharedUserDefaults() {
  // One shared object per preferences store, so a test that swaps the store is seen here too.
  static std::mutex mutex;
  static std::shared_ptr<APMUserDefaults> shared;
  auto preferences = platform::Preferences::standard();
  std::lock_guard lock(mutex);
  if (!shared || shared->preferences_ != preferences) {
    shared = std::make_shared<APMUserDefaults>(std::nullopt, std::move(preferences));
    shared->isPreferenceFileExcluded_ = true;
  }
  return shared;
}

std::shared_ptr<APMUserDefaults> APMUserDefaults::init() {
  return initWithSuiteName(std::nullopt);
}

std::shared_ptr<APMUserDefaults>
APMUserDefaults::initWithSuiteName(std::optional<std::string> suiteName) {
  if (!suiteName || suiteName->empty()) {
    return std::make_shared<APMUserDefaults>(std::move(suiteName),
                                             platform::Preferences::standard());
  }
  auto preferences = platform::Preferences::withSuiteName(*suiteName);
  if (!preferences) return nullptr;
  return std::make_shared<APMUserDefaults>(std::move(suiteName), std::move(preferences));
}

platform::Value APMUserDefaults::objectForKey(const platform::Value& key) const {
  const std::string* text = validKey(key);
  if (!text) {
    APMLogPlatformWarning(41001, "Cannot get object for invalid user default key.");
    return {};
  }
  return preferences_->objectForKey(*text);
}

bool APMUserDefaults::setObject(const platform::Value& object, const platform::Value& key) {
  const std::string* text = validKey(key);
  if (!text) {
    APMLogPlatformWarning(41002, "Cannot set object for invalid user default key.");
    return false;
  }
  if (object.isNull()) return preferences_->removeObjectForKey(*text);
  // Checked at every depth: a nested value the store cannot write would otherwise make every
  // later write of the domain fail.
  if (!platform::isPropertyListValue(object)) {
    APMLogPlatformWarning(41003,
                          "Cannot set invalid object to user defaults. Must be a string or number "
                          "or an array. Value " +
                              object.debugString());
    return false;
  }
  return preferences_->setObject(*text, object);
}

void APMUserDefaults::clearAllData() {
  if (preferences_->keys().empty()) return;
  preferences_->removePersistentDomainForName(preferences_->domain());
}

void APMUserDefaults::synchronize() {
  if (!preferences_->synchronize()) {
    APMLogPlatformError(41004, "Cannot synchronize user defaults to disk");
  }
  const std::string path = suiteName_ ? APMFilePathForPreferencesName(*suiteName_) : std::string();
  std::lock_guard lock(mutex_);
  if (isPreferenceFileExcluded_ || path.empty() ||
      !platform::FileManager::defaultManager().fileExists(path)) {
    return;
  }
  platform::ErrorPtr error;
  if (APMExcludeFilePathFromBackup(path, &error)) {
    isPreferenceFileExcluded_ = true;
  } else {
    APMLogPlatformWarning(41000, "Failed to exclude preferences file from backup. Error code " +
                                     std::to_string(error ? error->code : 0));
  }
}

bool APMUserDefaults::isPreferenceFileExcluded() const {
  std::lock_guard lock(mutex_);
  return isPreferenceFileExcluded_;
}

void APMUserDefaults::setIsPreferenceFileExcluded(bool excluded) {
  std::lock_guard lock(mutex_);
  isPreferenceFileExcluded_ = excluded;
}
