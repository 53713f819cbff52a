#include "zevevidi/utilities/gul_user_defaults.h"

#include <mutex>

#include "platform/foundation/preferences.h"
#include "platform/foundation/property_list.h"
#include "zevevidi/utilities/gul_logger.h"

namespace {

constexpr const char* kGetCategory = "<ZirizaUtilities>";
constexpr const char* kSetCategory = "[ZirizaUtilities/UserDefaults]";

// The key's text when it is a valid key: a string of at least one character.
const std::string* validKey(const platform::Value& key) {
  const std::string* text = key.ifString();
  return (text && !text->empty()) ? text : nullptr;
}

const std::string* checkedKeyForReading(const platform::Value& key) {
  const std::string* text = validKey(key);
  if (!text) {
    GULOSLogWarning(kGULLogSubsystem, kGetCategory, false, "I-GUL000001",
                    "Cannot get object for invalid user default key.");
  }
  return text;
}

}  // namespace

GULUserDefaults::GULUserDefaults(std::shared_ptr<platform::Preferences> userDefaults)
    : userDefaults_(std::move(userDefaults)) {}

std::shared_ptr<GULUserDefaults> GULUserDefaults::standardUserDefaults() {
  // One shared wrapper per shared preferences object, so a test that swaps the preferences
  // store is seen here as well.
  static std::mutex mutex;
  static std::shared_ptr<GULUserDefaults> shared;
  auto preferences = platform::Preferences::standard();
  std::lock_guard lock(mutex);
  if (!shared || shared->userDefaults_ != preferences) {
    shared = std::make_shared<GULUserDefaults>(std::move(preferences));
  }
  return shared;
}

std::shared_ptr<GULUserDefaults> GULUserDefaults::init() {
  return std::make_shared<GULUserDefaults>(platform::Preferences::standard());
}

std::shared_ptr<GULUserDefaults>
GULUserDefaults::initWithSuiteName(std::optional<std::string> suiteName) {
  if (!suiteName || suiteName->empty()) return init();
  auto preferences = platform::Preferences::withSuiteName(*suiteName);
  if (!preferences) return nullptr;
  return std::make_shared<GULUserDefaults>(std::move(preferences));
}

platform::Value GULUserDefaults::objectForKey(const platform::Value& key) const {
  const std::string* text = checkedKeyForReading(key);
  return text ? userDefaults_->objectForKey(*text) : platform::Value();
}

void GULUserDefaults::setObject(const platform::Value& object, const platform::Value& key) {
  const std::string* text = validKey(key);
  if (!text) {
    GULOSLogWarning(kGULLogSubsystem, kSetCategory, false, "I-GUL000002",
                    "Cannot set object for invalid user default key.");
    return;
  }
  if (object.isNull()) {
    userDefaults_->removeObjectForKey(*text);
    return;
  }
  // The whole value is checked, nested elements included: a list holding an unsupported
  // element cannot be stored any more than the element itself.
  if (!platform::isPropertyListValue(object)) {
    GULOSLogWarning(kGULLogSubsystem, kSetCategory, false, "I-GUL000003",
                    "Cannot set invalid object to user defaults. Must be a string, number, array, "
                    "dictionary, date, or data. Value: %s",
                    object.debugString().c_str());
    return;
  }
  userDefaults_->setObject(*text, object);
}

void GULUserDefaults::removeObjectForKey(const platform::Value& key) {
  setObject({}, key);
}

std::int64_t GULUserDefaults::integerForKey(const platform::Value& key) const {
  const std::string* text = checkedKeyForReading(key);
  return text ? userDefaults_->integerForKey(*text) : 0;
}

float GULUserDefaults::floatForKey(const platform::Value& key) const {
  const std::string* text = checkedKeyForReading(key);
  return text ? userDefaults_->floatForKey(*text) : 0;
}

double GULUserDefaults::doubleForKey(const platform::Value& key) const {
  const std::string* text = checkedKeyForReading(key);
  return text ? userDefaults_->doubleForKey(*text) : 0;
}

bool GULUserDefaults::boolForKey(const platform::Value& key) const {
  const std::string* text = checkedKeyForReading(key);
  return text ? userDefaults_->boolForKey(*text) : false;
}

std::optional<std::string> GULUserDefaults::stringForKey(const platform::Value& key) const {
  platform::Value value = objectForKey(key);
  if (const std::string* text = value.ifString()) return *text;
  return std::nullopt;
}

std::optional<platform::ValueList> GULUserDefaults::arrayForKey(const platform::Value& key) const {
  platform::Value value = objectForKey(key);
  if (const platform::ValueList* list = value.ifList()) return *list;
  return std::nullopt;
}

std::optional<platform::ValueMap>
GULUserDefaults::dictionaryForKey(const platform::Value& key) const {
  platform::Value value = objectForKey(key);
  if (const platform::ValueMap* map = value.ifMap()) return *map;
  return std::nullopt;
}

void GULUserDefaults::setInteger(std::int64_t value, const platform::Value& key) {
  setObject(platform::Value(value), key);
}

void GULUserDefaults::setFloat(float value, const platform::Value& key) {
  setObject(platform::Value(value), key);
}

void GULUserDefaults::setDouble(double value, const platform::Value& key) {
  setObject(platform::Value(value), key);
}

void GULUserDefaults::setBool(bool value, const platform::Value& key) {
  setObject(platform::Value(value), key);
}
