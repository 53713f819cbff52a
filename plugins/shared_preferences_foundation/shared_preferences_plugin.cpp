#include "plugins/shared_preferences_foundation/shared_preferences_plugin.h"

#include <algorithm>

#include "platform/core/error.h"
#include "platform/foundation/foundation_errors.h"
#include "platform/foundation/preferences.h"
#include "plugins/pigeon/pigeon_error.h"

namespace shared_preferences {

using platform::Preferences;
using platform::Value;
using platform::ValueKind;
using platform::ValueMap;

bool isTypeCompatible(const Value& value) {
  switch (value.kind()) {
  case ValueKind::Bool:
  case ValueKind::Int:
  case ValueKind::Double:
  case ValueKind::String:
    return true;
  case ValueKind::List:
    return std::all_of(value.asList().begin(), value.asList().end(), isTypeCompatible);
  default:
    return false;
  }
}

namespace {

// Why the preferences cannot hold `value`, or none when they can: property-list values only
// (booleans, numbers, strings, dates, lists, and maps keyed by strings), with no null inside.
std::optional<std::string> unstorableReason(const Value& value) {
  switch (value.kind()) {
  case ValueKind::Bool:
  case ValueKind::Int:
  case ValueKind::Double:
  case ValueKind::String:
  case ValueKind::Date:
    return std::nullopt;
  case ValueKind::List:
    for (const Value& item : value.asList()) {
      if (item.isNull()) return std::string("a list holds null");
      if (auto reason = unstorableReason(item)) return reason;
    }
    return std::nullopt;
  case ValueKind::Map:
    for (const auto& [k, v] : value.asMap()) {
      if (!k.isString()) return std::string("a map has a key that is not a string");
      if (v.isNull()) return std::string("a map holds null");
      if (auto reason = unstorableReason(v)) return reason;
    }
    return std::nullopt;
  case ValueKind::Null:
    return std::string("the value is null");
  default:
    return std::string("values of kind ") + platform::valueKindName(value.kind()) +
           " cannot be stored";
  }
}

void store(Preferences& preferences, const std::string& key, const Value& value) {
  if (auto reason = unstorableReason(value)) {
    throw pigeon::PigeonError("invalid-arguments",
                              "The value for key '" + key + "' cannot be stored: " + *reason,
                              Value());
  }
  platform::ErrorPtr error;
  if (!preferences.setObject(key, value, &error)) {
    if (error && error->code == platform::kPropertyListWriteInvalidError) {
      // Refused outright (too large): nothing was kept, and sending it again will not help.
      throw pigeon::PigeonError("invalid-arguments",
                                "The value for key '" + key +
                                    "' cannot be stored: " + error->localizedDescription(),
                                Value());
    }
    // The store keeps the value and retries, but the caller must not be told it is saved.
    throw pigeon::PigeonError("write-failed",
                              "The value for key '" + key + "' could not be written" +
                                  (error ? ": " + error->localizedDescription() : std::string()),
                              Value());
  }
}

}  // namespace

void SharedPreferencesPlugin::registerWith(const flutter::PluginRegistrarPtr& registrar) {
  UserDefaultsApiSetup::setUp(registrar->messenger(), std::make_shared<SharedPreferencesPlugin>());
  LegacyUserDefaultsApiSetup::setUp(registrar->messenger(),
                                    std::make_shared<LegacySharedPreferencesPlugin>());
}

std::shared_ptr<Preferences>
SharedPreferencesPlugin::getUserDefaults(const SharedPreferencesPigeonOptions& options) {
  auto preferences = Preferences::withSuiteName(options.suiteName.value_or(std::string()));
  if (!preferences) {
    throw pigeon::PigeonError("Argument Error",
                              "The provided Suite Name '" + options.suiteName.value_or("") +
                                  "' does not exist",
                              Value(""));
  }
  return preferences;
}

ValueMap SharedPreferencesPlugin::getAllPrefs(const AllowList& allowList,
                                              const SharedPreferencesPigeonOptions& options) {
  std::string domain = options.suiteName ? *options.suiteName : Preferences::applicationDomain();
  if (domain.empty()) return {};
  auto preferences = getUserDefaults(options);
  auto persisted = preferences->persistentDomainForName(domain);
  if (!persisted) return {};
  ValueMap result;
  for (const auto& [key, value] : *persisted) {
    if (allowList) {
      if (!key.isString() ||
          std::find(allowList->begin(), allowList->end(), key.asString()) == allowList->end()) {
        continue;
      }
    }
    if (isTypeCompatible(value)) result.emplace(key, value);
  }
  return result;
}

void SharedPreferencesPlugin::set(const std::string& key, const Value& value,
                                  const SharedPreferencesPigeonOptions& options) {
  auto preferences = getUserDefaults(options);
  store(*preferences, key, value);
}

void SharedPreferencesPlugin::clear(const AllowList& allowList,
                                    const SharedPreferencesPigeonOptions& options) {
  auto preferences = getUserDefaults(options);
  if (allowList) {
    for (const auto& key : *allowList)
      preferences->removeObjectForKey(key);
    return;
  }
  for (const auto& [key, value] : preferences->dictionaryRepresentation()) {
    if (key.isString()) preferences->removeObjectForKey(key.asString());
  }
}

ValueMap SharedPreferencesPlugin::getAll(const AllowList& allowList,
                                         const SharedPreferencesPigeonOptions& options) {
  return getAllPrefs(allowList, options);
}

std::optional<Value>
SharedPreferencesPlugin::getValue(const std::string& key,
                                  const SharedPreferencesPigeonOptions& options) {
  auto preferences = getUserDefaults(options);
  Value value = preferences->objectForKey(key);
  if (value.isNull() || !isTypeCompatible(value)) return std::nullopt;
  return value;
}

std::vector<std::string>
SharedPreferencesPlugin::getKeys(const AllowList& allowList,
                                 const SharedPreferencesPigeonOptions& options) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : getAllPrefs(allowList, options)) {
    if (key.isString()) keys.push_back(key.asString());
  }
  return keys;
}

// ---------------------------------------------------------------------------------------------
// Legacy interface: always the application's own preferences.

void LegacySharedPreferencesPlugin::remove(const std::string& key) {
  Preferences::standard()->removeObjectForKey(key);
}

void LegacySharedPreferencesPlugin::setBool(const std::string& key, bool value) {
  store(*Preferences::standard(), key, Value(value));
}

void LegacySharedPreferencesPlugin::setDouble(const std::string& key, double value) {
  store(*Preferences::standard(), key, Value(value));
}

void LegacySharedPreferencesPlugin::setValue(const std::string& key, const Value& value) {
  store(*Preferences::standard(), key, value);
}

ValueMap LegacySharedPreferencesPlugin::getAll(const std::string& prefix,
                                               const AllowList& allowList) {
  ValueMap result;
  for (auto& [key, value] :
       SharedPreferencesPlugin::getAllPrefs(allowList, SharedPreferencesPigeonOptions())) {
    if (key.isString() && key.asString().rfind(prefix, 0) == 0) result.emplace(key, value);
  }
  return result;
}

bool LegacySharedPreferencesPlugin::clear(const std::string& prefix, const AllowList& allowList) {
  auto preferences = Preferences::standard();
  for (const auto& [key, value] : getAll(prefix, allowList)) {
    preferences->removeObjectForKey(key.asString());
  }
  return true;
}

}  // namespace shared_preferences
