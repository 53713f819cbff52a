// APMUserDefaults: the measurement side's thin layer over one preferences domain, the
// application's own or a named suite. It refuses invalid keys and values that are not property
// lists at any depth (logged as I-ACS041001..041003, nothing changed), reads typed values
// strictly (a string is not a number), and after each synchronisation marks the suite's file
// as excluded from backup, once.
//
// Thread-safe: the preferences object serialises its own access; the exclusion step runs under
// this object's mutex so that two concurrent synchronisations exclude the file once.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "measurement/storage/apm_typed_accessors.h"
#include "platform/core/value.h"

namespace platform {
class Preferences;
}

// Suites of the measurement side.
inline constexpr const char* APMMonitorSuiteName = "com.ziriza.duz.measurement.monitor";
inline constexpr const char* APMAnalyticsSuiteName = "APMAnalyticsSuiteName";
inline constexpr const char* APMTCFUserDefaultSuiteName =
    "com.ziriza.duz.measurement.tcf.userdefaults";

class APMUserDefaults : public APMTypedAccessors<APMUserDefaults> {
 public:
  // The application's own domain; created once per preferences store. It never excludes a
  // file from backup.
  static std::shared_ptr<APMUserDefaults> sharedUserDefaults();
  static std::shared_ptr<APMUserDefaults> init();
  // An absent or empty name gives the application's domain. A name the preferences refuse as a
  // suite (the application's identifier, the global domain, not a file name) gives none.
  static std::shared_ptr<APMUserDefaults> initWithSuiteName(std::optional<std::string> suiteName);

  // The stored value, or null. An invalid key logs 41001 and reads as null.
  platform::Value objectForKey(const platform::Value& key) const;
  // A null object removes the key. An invalid key logs 41002, a value that is not a property
  // list (at any depth) logs 41003; neither changes anything. Returns whether the store took it.
  bool setObject(const platform::Value& object, const platform::Value& key);

  // Removes every key of the domain.
  void clearAllData();
  // Flushes the domain (a failure logs 41004), then excludes a suite's existing file from
  // backup unless already done (a failure logs 41000 and is retried next time).
  void synchronize();

  bool isPreferenceFileExcluded() const;
  void setIsPreferenceFileExcluded(bool excluded);

  const std::optional<std::string>& suiteName() const { return suiteName_; }

  APMUserDefaults(std::optional<std::string> suiteName,
                  std::shared_ptr<platform::Preferences> preferences);

 private:
  const std::optional<std::string> suiteName_;
  const std::shared_ptr<platform::Preferences> preferences_;
  mutable std::mutex mutex_;  // guards isPreferenceFileExcluded_
  bool isPreferenceFileExcluded_ = false;
};

// Shared by the measurement storage's direct platform-log entries ("I-ACS%06ld" codes under the
// measurement subsystem and the default tag), which bypass the monitor.
void APMLogPlatformWarning(std::int64_t code, const std::string& message);
void APMLogPlatformError(std::int64_t code, const std::string& message);
