// Facts about the engine's surroundings that travel with stored events: device model, OS
// version, the user's language and the time-zone offset; and the service property list
// ("ZirizaService-Info.plist") whose app ID seeds the identity. Callable from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/core/value.h"

class APMEnvironmentInfo {
 public:
  static std::shared_ptr<APMEnvironmentInfo> sharedInstance();

  // Computed once per process; empty (with monitor code 14000) when the platform has none.
  std::string deviceModel();
  std::string deviceOSVersion() const;
  // The first preferred language, lower-cased, asked anew on each call; none when there is none.
  // The first call that finds none reports monitor code 14001; later ones stay quiet (the
  // metadata of every event asks, and each report rewrites the monitor's preferences file).
  std::optional<std::string> userDefaultLanguage() const;
  // Minutes east of GMT now, truncated towards zero.
  std::int64_t timeZoneOffsetMinutes() const;

 private:
  std::once_flag deviceModelOnce_;
  std::string deviceModel_;
  mutable std::atomic<bool> languageFailureReported_{false};
};

class APMZirizaServiceFileUtil {
 public:
  // Resources/ZirizaService-Info.plist of the main bundle (the bundle holding this code too).
  static std::optional<std::string> zirizaServiceInfoPlistPath();
  // The file's dictionary; none when there is no file or it is not a dictionary.
  static std::optional<platform::ValueMap> dictionaryFromZirizaServiceInfoPlist();
};
