// The preferences plugin: key-value storage in the platform preferences for the application's
// code. SharedPreferencesPlugin serves the current interface (every call names its preferences
// through the options: a suite, or the application's own); LegacySharedPreferencesPlugin serves
// the legacy interface, always on the application's own preferences with keys chosen by prefix.
// Neither keeps state; every call runs on the main loop and answers at once.
//
// Reads return only values the application's code can use (booleans, numbers, strings, and
// lists of those); writes refuse values the preferences cannot store, naming the key, and
// store nothing then.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/core/value.h"
#include "platform/engine/plugin_registrar.h"
#include "plugins/shared_preferences_foundation/messages.h"

namespace platform {
class Preferences;
}

namespace shared_preferences {

// Booleans, numbers, strings, and lists (possibly empty) made only of such values.
bool isTypeCompatible(const platform::Value& value);

class SharedPreferencesPlugin : public UserDefaultsApi {
 public:
  // Sets up the current interface, then the legacy one, on the registrar's messenger.
  static void registerWith(const flutter::PluginRegistrarPtr& registrar);

  void set(const std::string& key, const platform::Value& value,
           const SharedPreferencesPigeonOptions& options) override;
  void clear(const AllowList& allowList, const SharedPreferencesPigeonOptions& options) override;
  platform::ValueMap getAll(const AllowList& allowList,
                            const SharedPreferencesPigeonOptions& options) override;
  std::optional<platform::Value> getValue(const std::string& key,
                                          const SharedPreferencesPigeonOptions& options) override;
  std::vector<std::string> getKeys(const AllowList& allowList,
                                   const SharedPreferencesPigeonOptions& options) override;

  // The persisted, type-compatible entries of the options' domain, filtered by the allow-list.
  static platform::ValueMap getAllPrefs(const AllowList& allowList,
                                        const SharedPreferencesPigeonOptions& options);
  // The options' preferences; throws the "Argument Error" when the suite name is refused.
  static std::shared_ptr<platform::Preferences>
  getUserDefaults(const SharedPreferencesPigeonOptions& options);
};

class LegacySharedPreferencesPlugin : public LegacyUserDefaultsApi {
 public:
  void remove(const std::string& key) override;
  void setBool(const std::string& key, bool value) override;
  void setDouble(const std::string& key, double value) override;
  void setValue(const std::string& key, const platform::Value& value) override;
  platform::ValueMap getAll(const std::string& prefix, const AllowList& allowList) override;
  bool clear(const std::string& prefix, const AllowList& allowList) override;
};

}  // namespace shared_preferences
