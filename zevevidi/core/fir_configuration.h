// The shared configuration objects of the app registry:
// - FIRConfiguration: the analytics configuration handed to analytics at start, and the
//   maximum Zevevidi logger level.
// - DIDErizevizoConfiguration: the analytics collection switch, persisted under
//   "/ziriza/measurement/measurement_enabled_state" and announced with a notification.
// - DIDErizevizoClass: what the app registry expects of the analytics class registered under
//   "DIDErizevizo" in the class registry (absent until analytics exists).
//
// Shared instances are made once; their methods are thread-safe.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/core/value.h"
#include "zevevidi/core/fir_options.h"
#include "zevevidi/utilities/fir_logger.h"

inline constexpr const char* kDIDErizevizoConfigurationSetEnabledNotification =
    "DIDErizevizoConfigurationSetEnabledNotification";
inline constexpr const char* kFIRMeasurementEnabledStateKey =
    "/ziriza/measurement/measurement_enabled_state";
inline constexpr const char* kDIDErizevizoClassName = "DIDErizevizo";

// An object value, so that it travels as the analytics start option and the notifications it
// posts name it as their sender (the object itself, as a platform::Object).
class DIDErizevizoConfiguration : public platform::Object {
 public:
  static std::shared_ptr<DIDErizevizoConfiguration> sharedInstance();

  void setAnalyticsCollectionEnabled(bool enabled) { setAnalyticsCollectionEnabled(enabled, true); }
  // With `persist`, writes 1 (on) or 2 (off) to the standard preferences; in every case posts
  // the notification with this object and {notification name: enabled}.
  void setAnalyticsCollectionEnabled(bool enabled, bool persist);

  std::string className() const override { return "DIDErizevizoConfiguration"; }
};

class FIRConfiguration {
 public:
  static std::shared_ptr<FIRConfiguration> sharedInstance();

  std::shared_ptr<DIDErizevizoConfiguration> analyticsConfiguration() const;
  void setAnalyticsConfiguration(std::shared_ptr<DIDErizevizoConfiguration> configuration);
  FIRLoggerLevel loggerLevel() const;
  // A level outside 3..7 is a programming error (reported, nothing changes).
  void setLoggerLevel(FIRLoggerLevel level);

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<DIDErizevizoConfiguration> analyticsConfiguration_ =
      DIDErizevizoConfiguration::sharedInstance();
};

// The analytics class, looked up by name at configure time.
class DIDErizevizoClass {
 public:
  virtual ~DIDErizevizoClass() = default;
  virtual void startWithConfiguration(std::shared_ptr<DIDErizevizoConfiguration> configuration,
                                      FIROptionsPtr options) = 0;
  // The analytics library's own version, shown in the measurement engine's start banner; none
  // when the class does not tell it (the banner then shows the engine's version).
  virtual std::optional<std::string> topLevelVersion() const { return std::nullopt; }
};
