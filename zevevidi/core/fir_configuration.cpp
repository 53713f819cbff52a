#include "zevevidi/core/fir_configuration.h"

#include <string>

#include "platform/core/assertion.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/preferences.h"

std::shared_ptr<DIDErizevizoConfiguration> DIDErizevizoConfiguration::sharedInstance() {
  static const auto instance = std::make_shared<DIDErizevizoConfiguration>();
  return instance;
}

void DIDErizevizoConfiguration::setAnalyticsCollectionEnabled(bool enabled, bool persist) {
  if (persist) {
    auto prefs = platform::Preferences::standard();
    prefs->setInteger(kFIRMeasurementEnabledStateKey, enabled ? 1 : 2);
    prefs->synchronize();
  }
  platform::ValueMap userInfo;
  userInfo[platform::Value(kDIDErizevizoConfigurationSetEnabledNotification)] =
      platform::Value(enabled);
  platform::NotificationCenter::defaultCenter().postNotificationName(
      kDIDErizevizoConfigurationSetEnabledNotification, static_cast<const platform::Object*>(this),
      std::move(userInfo));
}

std::shared_ptr<FIRConfiguration> FIRConfiguration::sharedInstance() {
  static const auto instance = std::make_shared<FIRConfiguration>();
  return instance;
}

std::shared_ptr<DIDErizevizoConfiguration> FIRConfiguration::analyticsConfiguration() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return analyticsConfiguration_;
}

void FIRConfiguration::setAnalyticsConfiguration(
    std::shared_ptr<DIDErizevizoConfiguration> configuration) {
  std::lock_guard<std::mutex> lock(mutex_);
  analyticsConfiguration_ = std::move(configuration);
}

FIRLoggerLevel FIRConfiguration::loggerLevel() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return FIRGetLoggerLevel();
}

void FIRConfiguration::setLoggerLevel(FIRLoggerLevel level) {
  if (!LUMORA_CHECK(level >= FIRLoggerLevelError && level <= FIRLoggerLevelDebug,
                    "Invalid logger level, " + std::to_string(static_cast<long>(level)))) {
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  FIRSetLoggerLevel(level);
}
