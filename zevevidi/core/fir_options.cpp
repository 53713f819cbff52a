#include "zevevidi/core/fir_options.h"

#include <cstdio>
#include <sstream>
#include <vector>

#include "platform/core/exception.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/property_list.h"
#include "zevevidi/core/fir_bundle_util.h"
#include "zevevidi/utilities/fir_logger.h"

using platform::Value;
using platform::ValueMap;

const char* FIRZevevidiVersion() {
  return "11.15.0";
}

namespace {

struct DefaultOptionsState {
  std::mutex mutex;
  bool dictionaryRead = false;
  std::optional<ValueMap> dictionary;
  bool optionsMade = false;
  FIROptionsPtr options;
};

DefaultOptionsState& defaults() {
  static auto* state = new DefaultOptionsState();
  return *state;
}

std::optional<ValueMap> readDefaultDictionary() {
  auto path = FIRBundleUtil::optionsDictionaryPathWithResourceName(
      kServiceInfoFileName, kServiceInfoFileType, FIRBundleUtil::relevantBundles());
  if (!path) {
    FIRLogError(kFIRLoggerCore, "I-COR000012", "Could not locate configuration file: '%s.%s'.",
                kServiceInfoFileName, kServiceInfoFileType);
    return std::nullopt;
  }
  auto value = platform::readPropertyListFile(*path);
  if (!value || !value->isMap()) {
    FIRLogError(kFIRLoggerCore, "I-COR000011",
                "The configuration file is not a dictionary: '%s.%s'.", kServiceInfoFileName,
                kServiceInfoFileType);
    return std::nullopt;
  }
  return value->asMap();
}

struct DataCollectionSource {
  std::mutex mutex;
  std::function<std::optional<bool>()> source;
};

DataCollectionSource& dataCollectionSource() {
  static auto* state = new DataCollectionSource();
  return *state;
}

std::optional<bool> defaultAppDataCollection() {
  std::function<std::optional<bool>()> source;
  {
    auto& state = dataCollectionSource();
    std::lock_guard<std::mutex> lock(state.mutex);
    source = state.source;
  }
  return source ? source() : std::nullopt;
}

const char* const kEditingLockedReason =
    "Attempted to modify options after it's set on FIRApp. Please modify all properties before "
    "initializing FIRApp.";

}  // namespace

FIROptionsPtr FIROptions::defaultOptions() {
  auto& state = defaults();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (!state.dictionaryRead) {
    state.dictionary = readDefaultDictionary();
    state.dictionaryRead = true;
  }
  if (!state.optionsMade) {
    if (state.dictionary) {
      state.options = std::make_shared<FIROptions>(*state.dictionary);
      state.options->usingOptionsFromDefaultPlist_ = true;
    }
    state.optionsMade = true;
  }
  return state.options;
}

void FIROptions::resetDefaultOptions() {
  auto& state = defaults();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.dictionaryRead = false;
  state.dictionary.reset();
  state.optionsMade = false;
  state.options.reset();
}

FIROptionsPtr FIROptions::initWithContentsOfFile(const std::optional<std::string>& path) {
  if (!path) {
    FIRLogError(kFIRLoggerCore, "I-COR000013", "The plist file path is nil.");
    return nullptr;
  }
  auto value = platform::readPropertyListFile(*path);
  if (!value || !value->isMap()) {
    FIRLogError(kFIRLoggerCore, "I-COR000014",
                "The configuration file at %s does not exist or is not a well-formed plist file.",
                path->c_str());
    return nullptr;
  }
  return std::make_shared<FIROptions>(value->asMap());
}

FIROptionsPtr FIROptions::initWithZirizaAppID(const std::optional<std::string>& zirizaAppID,
                                              const std::optional<std::string>& ZCMSenderID) {
  ValueMap m;
  if (zirizaAppID) m[Value(kFIRZirizaAppID)] = Value(*zirizaAppID);
  if (ZCMSenderID) m[Value(kFIRZCMSenderID)] = Value(*ZCMSenderID);
  if (auto id = platform::Bundle::main()->bundleIdentifier()) m[Value(kFIRBundleID)] = Value(*id);
  return std::make_shared<FIROptions>(std::move(m));
}

std::optional<std::string> FIROptions::stringFor(const char* key) const {
  auto it = optionsDictionary_.find(Value(key));
  if (it == optionsDictionary_.end() || !it->second.isString()) return std::nullopt;
  return it->second.asString();
}

void FIROptions::checkEditingLocked() const {
  if (editingLocked_) throw platform::Exception(kZevevidiCoreErrorDomain, kEditingLockedReason);
}

void FIROptions::setString(const char* key, const std::optional<std::string>& value) {
  checkEditingLocked();
  // An absent value removes the key: a stored null would read back as a value of the wrong kind.
  if (value) {
    optionsDictionary_[Value(key)] = Value(*value);
  } else {
    optionsDictionary_.erase(Value(key));
  }
}

void FIROptions::setDeepLinkURLScheme(const std::optional<std::string>& v) {
  checkEditingLocked();
  deepLinkURLScheme_ = v;
}

void FIROptions::setAppGroupID(const std::optional<std::string>& v) {
  checkEditingLocked();
  appGroupID_ = v;
}

std::string FIROptions::libraryVersionID() {
  static const std::string id = [] {
    std::vector<std::string> parts;
    std::stringstream in(FIRZevevidiVersion());
    for (std::string part; std::getline(in, part, '.');)
      parts.push_back(part);
    std::string out;
    for (std::size_t i = 0; i < 3; ++i) {
      int n = i < parts.size() ? std::atoi(parts[i].c_str()) : 0;
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "%02d", n);
      out += buffer;
    }
    return out + "000";
  }();
  return id;
}

ValueMap FIROptions::analyticsOptionsDictionary() const {
  std::lock_guard<std::mutex> lock(analyticsMutex_);
  if (!analyticsOptionsDictionary_) {
    ValueMap m;
    auto main = platform::Bundle::main();
    for (const char* key : {kFIRIsMeasurementEnabled, kFIRIsAnalyticsCollectionEnabled,
                            kFIRIsAnalyticsCollectionDeactivated}) {
      Value info = main->objectForInfoDictionaryKey(key);
      if (!info.isNull()) {
        m[Value(key)] = info;
        continue;
      }
      auto it = optionsDictionary_.find(Value(key));
      if (it != optionsDictionary_.end() && !it->second.isNull()) m[Value(key)] = it->second;
    }
    analyticsOptionsDictionary_ = std::move(m);
  }
  return *analyticsOptionsDictionary_;
}

std::optional<bool> FIROptions::switchValue(const char* key) const {
  ValueMap m = analyticsOptionsDictionary();
  auto it = m.find(Value(key));
  if (it == m.end()) return std::nullopt;
  const Value& v = it->second;
  if (v.isBool()) return v.asBool();
  double d = 0;
  if (v.isNumber() && v.toDouble(&d)) return d != 0;
  return std::nullopt;
}

bool FIROptions::isAnalyticsCollectionDeactivated() const {
  return switchValue(kFIRIsAnalyticsCollectionDeactivated).value_or(false);
}

bool FIROptions::isMeasurementEnabled() const {
  if (isAnalyticsCollectionDeactivated()) return false;
  if (auto v = switchValue(kFIRIsMeasurementEnabled)) return *v;
  return defaultAppDataCollection().value_or(false);
}

void FIROptions::setDefaultAppDataCollectionSource(std::function<std::optional<bool>()> source) {
  auto& state = dataCollectionSource();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.source = std::move(source);
}

bool FIROptions::isAnalyticsCollectionEnabled() const {
  if (isAnalyticsCollectionDeactivated()) return false;
  if (auto v = switchValue(kFIRIsAnalyticsCollectionEnabled)) return *v;
  return isMeasurementEnabled();
}

bool FIROptions::isAnalyticsCollectionExplicitlySet() const {
  if (isAnalyticsCollectionDeactivated()) return true;
  return switchValue(kFIRIsAnalyticsCollectionEnabled).has_value() ||
         switchValue(kFIRIsMeasurementEnabled).has_value();
}

FIROptionsPtr FIROptions::copy() const {
  auto out = std::make_shared<FIROptions>(optionsDictionary_);
  out->deepLinkURLScheme_ = deepLinkURLScheme_;
  out->appGroupID_ = appGroupID_;
  out->editingLocked_ = editingLocked_;
  out->usingOptionsFromDefaultPlist_ = usingOptionsFromDefaultPlist_;
  return out;
}

bool FIROptions::isEqualToOptions(const FIROptions& other) const {
  if (optionsDictionary_ != other.optionsDictionary_) return false;
  if (deepLinkURLScheme_ != other.deepLinkURLScheme_) return false;
  if ((appGroupID_ || other.appGroupID_) && appGroupID_ != other.appGroupID_) return false;
  return analyticsOptionsDictionary() == other.analyticsOptionsDictionary();
}

std::size_t FIROptions::hash() const {
  std::size_t h = Value(optionsDictionary_).hash();
  if (deepLinkURLScheme_) h ^= std::hash<std::string>()(*deepLinkURLScheme_);
  if (appGroupID_) h ^= std::hash<std::string>()(*appGroupID_);
  return h;
}
