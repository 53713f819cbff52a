// GULUserDefaults: a thin wrapper over a preferences domain (the application's own, or a named
// suite) that refuses invalid keys and values with a logged warning instead of failing. Keys
// must be non-empty strings; values must be property-list values (string, number, boolean,
// list, map with string keys, date or data, nested alike). The wrapper never forces a write to
// disk beyond what the preferences object does itself.
//
// No lock of its own: the preferences object is safe to use from any thread, and so is this.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/core/value.h"

namespace platform {
class Preferences;
}

class GULUserDefaults {
 public:
  // The shared instance over the application's domain, created once.
  static std::shared_ptr<GULUserDefaults> standardUserDefaults();
  // A new wrapper over the application's domain.
  static std::shared_ptr<GULUserDefaults> init();
  // A non-empty name opens that suite, an absent or empty one the application's domain. A name
  // the preferences refuse as a suite (the application's own identifier, the global domain, a
  // name that cannot be a file name) yields no object.
  static std::shared_ptr<GULUserDefaults> initWithSuiteName(std::optional<std::string> suiteName);

  // The stored value, or null. An invalid key logs I-GUL000001 and reads as null.
  platform::Value objectForKey(const platform::Value& key) const;
  // An invalid key logs I-GUL000002, an unsupported value I-GUL000003; neither changes
  // anything. A null value removes the key.
  void setObject(const platform::Value& object, const platform::Value& key);
  void removeObjectForKey(const platform::Value& key);

  // Numbers and numeric strings convert ("42" is 42); anything else, and a missing key, is 0.
  std::int64_t integerForKey(const platform::Value& key) const;
  float floatForKey(const platform::Value& key) const;
  double doubleForKey(const platform::Value& key) const;
  bool boolForKey(const platform::Value& key) const;
  // The stored value when it has that kind; none otherwise.
  std::optional<std::string> stringForKey(const platform::Value& key) const;
  std::optional<platform::ValueList> arrayForKey(const platform::Value& key) const;
  std::optional<platform::ValueMap> dictionaryForKey(const platform::Value& key) const;

  void setInteger(std::int64_t value, const platform::Value& key);
  void setFloat(float value, const platform::Value& key);
  void setDouble(double value, const platform::Value& key);
  void setBool(bool value, const platform::Value& key);

  explicit GULUserDefaults(std::shared_ptr<platform::Preferences> userDefaults);

 private:
  std::shared_ptr<platform::Preferences> userDefaults_;
};
