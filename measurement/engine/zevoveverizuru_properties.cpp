// User properties and the user ID, first open and the application-lifecycle events, session
// backfill, ad personalization and consent upkeep. The purchase filter is in
// zevoveverizuru_purchases.cpp.
#include <algorithm>
#include <cmath>
#include <exception>
#include <string>

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/apm_screen_view_reporter.h"
#include "measurement/engine/apm_session_reporter.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_consent_settings_util.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_debug_formatting.h"
#include "measurement/model/apm_environment_info.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_event_normalization.h"
#include "measurement/model/apm_identity.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/model/apm_user_attribute.h"
#include "measurement/storage/apm_error.h"
#include "measurement/storage/apm_monitor.h"
#include "measurement/storage/apm_user_defaults.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/file_manager.h"

namespace {

using platform::Value;
using platform::ValueMap;

constexpr const char* kDeepLinkTimestampKey = "/ziriza/measurement/deep_link_timestamp_seconds";
constexpr const char* kAllowAdPersonalizationPlistKey =
    "ZIRIZA_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS";
constexpr const char* kAdNetworkRegistrationPlistKey =
    "ZIRIZA_ANALYTICS_REGISTRATION_WITH_AD_NETWORK_ENABLED";

void report(std::int64_t level, std::int64_t code, std::string_view text,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, text, contexts);
}

Value errorContext(const platform::ErrorPtr& error) {
  return error ? Value(error) : Value();
}

double now() {
  return platform::Clock::current().now();
}

// The text form of a stored value, for comparing user IDs and for the campaign cache.
std::string valueText(const APMValue& value) {
  if (const auto* text = value.stringValue()) return *text;
  if (value.isInt64()) return std::to_string(value.int64Value());
  return value.description();
}

// A number (or boolean) as an integer; none for anything else.
std::optional<std::int64_t> integerOf(const Value& value) {
  if (const auto* i = value.ifInt()) return *i;
  if (const auto* b = value.ifBool()) return *b ? 1 : 0;
  if (const auto* d = value.ifDouble()) return static_cast<std::int64_t>(*d);
  return std::nullopt;
}

std::shared_ptr<APMUserAttribute> autoAttribute(const std::string& name, APMValue value,
                                                double timestamp) {
  return std::make_shared<APMUserAttribute>("auto", name, std::move(value), timestamp);
}

}  // namespace

// ---- User properties ----

void ZEVOveverizuru::setUserAttribute(std::shared_ptr<APMUserAttribute> attribute) {
  if (!attribute) {
    report(3, 23079, "Attempted to set nil user property");
    return;
  }
  postToWorkerQueue("ZEVOveverizuru:3011", [attribute](ZEVOveverizuru& core) {
    core.setUserAttributeOnWorkerQueue(attribute);
  });
}

void ZEVOveverizuru::removeUserAttribute(std::shared_ptr<APMUserAttribute> attribute) {
  if (!attribute) {
    report(3, 23074, "Attempted to remove nil user property");
    return;
  }
  postToWorkerQueue("ZEVOveverizuru:2966", [attribute](ZEVOveverizuru& core) {
    core.removeUserAttributeOnWorkerQueue(attribute);
  });
}

void ZEVOveverizuru::userAttributeWithName(
    const std::string& name, std::function<void(std::shared_ptr<APMUserAttribute>)> callback) {
  if (!callback) {
    report(0, 23088, "userAttributeWithName callback is nil");
    return;
  }
  postToWorkerQueue("ZEVOveverizuru:3152", [name, callback](ZEVOveverizuru& core) {
    std::shared_ptr<APMUserAttribute> attribute;
    if (const auto db = core.database()) {
      platform::ErrorPtr error;
      attribute = db->userAttributeWithName(name, &error);
      if (error) {
        report(1, 23089, "Unable to get user attribute by name. Name", {Value(name)});
      }
    }
    platform::globalQueue()->async([callback, attribute] { callback(attribute); });
  });
}

void ZEVOveverizuru::userPropertiesIncludingInternal(bool includingInternal,
                                                     std::function<void(ValueMap)> callback) {
  if (!callback) {
    report(0, 23090, "Unable to retrieve user properties. Callback is nil");
    return;
  }
  postToWorkerQueue("ZEVOveverizuru:3207", [includingInternal, callback](ZEVOveverizuru& core) {
    ValueMap properties;
    if (const auto db = core.database()) {
      platform::ErrorPtr error;
      const auto attributes = db->userAttributesIncludingInternal(includingInternal, &error);
      if (!attributes) {
        report(1, 23091, "Unable to retrieve user properties. Error", {errorContext(error)});
      } else {
        for (const auto& attribute : *attributes) {
          if (!attribute || attribute->name().empty() || attribute->value().value().isNull()) {
            report(3, 23092, "Cannot add invalid public user property name or value.");
            continue;
          }
          properties[Value(attribute->name())] = attribute->value().value();
        }
      }
    }
    platform::globalQueue()->async(
        [callback, properties = std::move(properties)] { callback(properties); });
  });
}

void ZEVOveverizuru::maxUserPropertiesForOrigin(const std::string& origin,
                                                std::function<void(std::int64_t)> callback) {
  if (origin.empty()) {
    report(0, 23093, "Origin for querying MaxUserProperties cannot be nil");
    return;
  }
  if (!callback) {
    report(0, 23094, "MaxUserProperties callback cannot be nil. Origin", {Value(origin)});
    return;
  }
  platform::globalQueue()->async(
      [callback] { callback(APMDatabaseUserAttributePerOriginMaxCount); });
}

void ZEVOveverizuru::setUserAttributeOnWorkerQueue(std::shared_ptr<APMUserAttribute> attribute) {
  if (!attribute) return;
  if (!enabled_) {
    report(7, 23081, "Analytics is disabled. User property not set");
    return;
  }
  setUserPropertyInDatabaseOnWorkerQueue(std::move(attribute));
}

bool ZEVOveverizuru::setUserPropertyInDatabaseOnWorkerQueue(
    std::shared_ptr<APMUserAttribute> attribute) {
  const auto db = database();
  if (!attribute || !db) return false;
  const std::string& name = attribute->name();
  const Value displayName(APMFormattedUserPropertyName(name));
  platform::ErrorPtr error;
  // 1. A stored property of this name is replaced, never limited.
  const auto contains = db->containsUserAttributeWithName(name, &error);
  if (!contains) {
    report(1, 23082, "Unable to query existence of user property. Name, error",
           {displayName, errorContext(error)});
  }
  const bool exists = contains.value_or(false);
  // 2. A different user ID ends the stitched session and the advertising-ID reset mark.
  if (name == "_id" && exists) {
    platform::ErrorPtr readError;
    const auto stored = db->userAttributeWithName("_id", &readError);
    if (stored && valueText(stored->value()) != valueText(attribute->value())) {
      if (const auto id = identity()) id->resetSessionStitchingToken();
      platform::ErrorPtr deleteError;
      db->deleteUserAttributeWithName("_lair", &deleteError);
    }
  }
  // 3. The non-personalized-ads property carries the ad-personalization consent with it.
  if (name == "_npa") {
    updateAdPersonalizationConsentFromNPAValue(Value(attribute->value().int64Value()));
  }
  // 4. The count limits of a new property.
  if (!exists) {
    std::optional<std::int64_t> count;
    std::int64_t limit = APMDatabaseUserAttributePerOriginMaxCount;
    platform::ErrorPtr countError;
    if (attribute->isPublic()) {
      count = db->publicUserAttributeCount(&countError);
      const auto config = remoteConfigInstance();
      limit = config ? config->integerSetting(APMSetting::MaxPublicUserProperties) : 25;
    } else {
      count = db->userAttributeCountForOrigin(attribute->origin(), &countError);
    }
    if (!count) {
      report(1, 23083, "Unable to query user property count. Origin, error",
             {Value(attribute->origin()), errorContext(countError)});
      return false;
    }
    if (*count >= limit) {
      report(3, 23084,
             "Unable to set user property. Reached limit on set user properties for origin. "
             "Origin, name, value",
             {Value(attribute->origin()), displayName, attribute->value().value()});
      APMLogErrorEventWithCode(9);
      return false;
    }
  }
  // 5.
  platform::ErrorPtr writeError;
  if (!db->updateUserAttribute(attribute.get(), &writeError)) {
    report(1, 23085, "Unable to set user property. Name, value, error",
           {displayName, attribute->value().value(), errorContext(writeError)});
    return false;
  }
  report(7, 23087, "User property set. Name, value", {displayName, attribute->value().value()});
  return true;
}

void ZEVOveverizuru::removeUserAttributeOnWorkerQueue(std::shared_ptr<APMUserAttribute> attribute) {
  if (!attribute) return;
  if (!enabled_) {
    report(7, 23076, "Analytics is disabled. User property not removed");
    return;
  }
  const std::string& name = attribute->name();
  if (name == "_id") {
    if (const auto id = identity()) id->resetSessionStitchingToken();
  }
  const Value displayName(APMFormattedUserPropertyName(name));
  const auto db = database();
  platform::ErrorPtr error;
  if (db && db->deleteUserAttributeWithName(name, &error)) {
    report(7, 23078, "User property removed. Name", {displayName});
  } else {
    report(1, 23077, "Unable to remove user property. Name, error",
           {displayName, errorContext(error)});
  }
}

bool ZEVOveverizuru::hasUserPropertyUserIDOnWorkerQueue() {
  const auto db = database();
  if (!db) return false;
  platform::ErrorPtr error;
  return db->containsUserAttributeWithName("_id", &error).value_or(false);
}

void ZEVOveverizuru::setLastAdvertisingIDResetUserPropertyOnWorkerQueue() {
  const auto db = database();
  if (!db) return;
  platform::ErrorPtr error;
  const auto hasID = db->containsUserAttributeWithName("_id", &error);
  // An unreadable answer counts as stored unless the query failed with an error.
  if (!(hasID ? *hasID : !error)) return;
  platform::ErrorPtr lairError;
  const auto hasResetMark = db->containsUserAttributeWithName("_lair", &lairError);
  if (!hasResetMark || *hasResetMark) return;
  setUserAttributeOnWorkerQueue(autoAttribute("_lair", APMValue(std::int64_t{1}), now()));
  if (const auto id = identity()) id->setShouldSetLastAdvertisingIDResetUserProperty(false);
}

// ---- First open and lifecycle events ----

void ZEVOveverizuru::reportFirstOpenOnWorkerQueue() {
  const auto db = database();
  if (!db) return;
  platform::ErrorPtr error;
  // 1.
  const auto hasFirstOpen = db->containsUserAttributeWithName("_fot", &error);
  if (!hasFirstOpen) {
    report(1, 23019, "Failed to query first open property. Error", {errorContext(error)});
    return;
  }
  // 2.
  std::int64_t previous = 0;
  if (const auto stored = previousFirstOpenCount()) {
    try {
      previous = std::stoll(*stored);
    } catch (const std::exception&) {
      previous = 0;
    }
  }
  // 3. Not a first open.
  if (*hasFirstOpen) {
    if (previous < 1) setPreviousFirstOpenCount("1");
    APMAnalytics::setDeferredAnalyticsCollection(Value());
    if (APMIsAppActive()) reportSessionStartOnWorkerQueueWithTimestamp(initTimestamp_, false);
    if (persistedConfig_) persistedConfig_->setLoadTimestampValue(Value());
    return;
  }
  // 4. "_fi": first open after install.
  const bool afterInstall = previous > 0 ? true : isVersionSameAsOriginalVersion();
  const std::int64_t storedMillis =
      persistedConfig_ ? persistedConfig_->firstOpenTimestampMilliseconds() : 0;
  const double installSetTime =
      storedMillis != 0 ? static_cast<double>(storedMillis) / 1000 : initTimestamp_;
  setUserAttributeOnWorkerQueue(
      autoAttribute("_fi", APMValue(std::int64_t{afterInstall ? 1 : 0}), installSetTime));
  // 5.
  platform::ErrorPtr fiError;
  const auto hasFI = db->containsUserAttributeWithName("_fi", &fiError);
  if (!hasFI) {
    report(1, 23161, "Failed to query first open after install property after setting it. Error",
           {errorContext(fiError)});
    return;
  }
  if (!*hasFI) {
    report(1, 23162, "Failed to set first open after install property");
    return;
  }
  // 6. "_fot": first open time.
  const auto millis = static_cast<std::int64_t>(initTimestamp_ * 1000);
  setUserAttributeOnWorkerQueue(
      autoAttribute("_fot", APMValue(timestampMillisRoundedUpToNextHour(millis)), initTimestamp_));
  // 7.
  platform::ErrorPtr fotError;
  const auto hasFOT = db->containsUserAttributeWithName("_fot", &fotError);
  if (!hasFOT) {
    report(1, 23020, "Failed to query first open property after setting it. Error",
           {errorContext(fotError)});
    return;
  }
  if (!*hasFOT) {
    report(1, 23021, "Failed to set first open property");
    return;
  }
  // 8.
  const auto config = remoteConfigInstance();
  const bool efficientEngagement =
      config && config->boolSetting(APMSetting::EfficientEngagementReportingEnabled);
  ValueMap parameters;
  if (previousDUZAppID_ && !previousDUZAppID_->empty()) {
    parameters[Value("_pduz")] = Value(*previousDUZAppID_);
  }
  parameters[Value("_pfo")] = Value(previous < 1 ? std::int64_t{0} : previous);
  parameters[Value("_uwa")] = Value(std::int64_t{afterInstall ? 0 : 1});
  const Value deferred = APMAnalytics::deferredAnalyticsCollection();
  if (const auto flag = integerOf(deferred); flag && *flag != 0) {
    parameters[Value("_dac")] = Value(std::int64_t{1});
  }
  if (efficientEngagement) parameters[Value("_et")] = Value(std::int64_t{1});
  // 9.
  const ValueMap screen = APMScreenViewReporter::sharedInstance()->screenParameters();
  ValueMap firstOpenParameters = parameters;
  for (const auto& [key, value] : screen)
    firstOpenParameters[key] = value;
  if (auto event =
          APMEvent::initWithOrigin("auto", false, "_f", initTimestamp_, 0, firstOpenParameters)) {
    handleInternalEventOnWorkerQueue(std::move(event));
  }
  // 10.
  APMAnalytics::setDeferredAnalyticsCollection(Value());
  if (persistedConfig_) persistedConfig_->setLoadTimestampValue(Value());
  if (APMIsAppActive()) reportSessionStartOnWorkerQueueWithTimestamp(initTimestamp_, false);
  // 11.
  if (!(config && config->boolSetting(APMSetting::RedundantEngagementRemovalEnabled))) {
    ValueMap engagement = screen;
    engagement[Value("_et")] = Value(std::int64_t{1});
    if (efficientEngagement) engagement[Value("_fr")] = Value(std::int64_t{1});
    if (auto event = APMEvent::initWithOrigin("auto", false, "_e", initTimestamp_, 0, engagement)) {
      handleInternalEventOnWorkerQueue(std::move(event));
    }
  }
  // 12.
  if (persistedConfig_) persistedConfig_->setFirstOpenTimestampMilliseconds(millis);
  reportStoredCampaignEventOnWorkerQueue(Value(millis - 1));
}

void ZEVOveverizuru::reportAppUpdateOnWorkerQueue() {
  const auto id = identity();
  if (!id || !persistedConfig_) return;
  const auto current = id->appVersion();
  const auto previous = persistedConfig_->appVersion();
  if (current == previous) return;
  persistedConfig_->setAppVersion(current);
  if (previous && !previous->empty()) {
    APMAnalytics::logInternalEventWithOrigin("auto", "_au",
                                             ValueMap{{Value("_pv"), Value(*previous)}});
  }
}

void ZEVOveverizuru::reportOSUpdateOnWorkerQueue() {
  if (!persistedConfig_) return;
  const std::string current = APMEnvironmentInfo::sharedInstance()->deviceOSVersion();
  const auto previous = persistedConfig_->osVersion();
  if (previous && *previous == current) return;
  persistedConfig_->setOSVersion(current);
  if (previous && !previous->empty()) {
    APMAnalytics::logInternalEventWithOrigin("auto", "_ou",
                                             ValueMap{{Value("_po"), Value(*previous)}});
  }
}

// The core's own session start (a background event that extends an expired session): the
// session properties go through the user-property store, the "_s" event down the event road.
void ZEVOveverizuru::reportSessionStartOnWorkerQueueWithTimestamp(double timestamp,
                                                                  bool appInBackground) {
  const auto reporter = sessionReporter();
  if (!reporter || !reporter->isSessionExpired()) return;
  reporter->updatePropertiesForNewSessionStart();
  if (auto property = reporter->sessionIDPropertyWithTimestamp(timestamp)) {
    setUserAttributeOnWorkerQueue(std::move(property));
  }
  if (auto property = reporter->sessionNumberProperty()) {
    setUserAttributeOnWorkerQueue(std::move(property));
  }
  const auto config = remoteConfigInstance();
  const bool inBackground =
      appInBackground && config && config->boolSetting(APMSetting::AppInBackgroundParameterEnabled);
  const std::int64_t number = persistedConfig_ ? persistedConfig_->sessionNumber() : 0;
  if (auto event = APMCreateSessionStartEvent(platform::Value(number), inBackground, timestamp)) {
    handleInternalEventOnWorkerQueue(std::move(event));
  }
}

// Replays a campaign link stored before the core could handle it. The link handling itself
// belongs to the URL category.
void ZEVOveverizuru::reportStoredCampaignEventOnWorkerQueue(const Value& clickTimestampInMs) {
  const auto defaults = APMUserDefaults::sharedUserDefaults();
  const Value stored = defaults->objectForKey(Value(APMUserDefaultsDeepLinkKey));
  const auto* link = stored.ifString();
  if (!link || link->empty()) return;
  std::string url = *link;
  const Value openTime = defaults->objectForKey(Value(kDeepLinkTimestampKey));
  double openSeconds = 0;
  if (!openTime.toDouble(&openSeconds) || openTime.ifBool()) openSeconds = 0;
  const auto config = remoteConfigInstance();
  const double ttl = config ? config->doubleSetting(APMSetting::AttributionCacheTTLInterval) : 0;
  ValueMap extras;
  if (APMIsAttributionCacheExpired(*defaults, ttl)) {
    url = "(not set)";
    extras[Value("utm_source")] = Value("(not set)");
    extras[Value("utm_medium")] = Value("(not set)");
    extras[Value("_cc")] = Value(std::int64_t{1});
  } else {
    extras[Value("_cc")] = Value(APMAttributionTimestampMillisRoundedToPreviousHour(
        static_cast<std::int64_t>(openSeconds * 1000)));
  }
  APMClearAttributionCache(*defaults);
  handleOpenURLOnWorkerQueue(url, clickTimestampInMs, openSeconds, extras);
}

std::int64_t ZEVOveverizuru::timestampMillisRoundedUpToNextHour(std::int64_t milliseconds) {
  return milliseconds / 3600000 * 3600000 + 3600000;
}

// This platform keeps no record of the version first installed: the version the measurement
// store first saw stands for it, so an installation whose stored version is none or the running
// one counts as a first open after install.
bool ZEVOveverizuru::isVersionSameAsOriginalVersion() {
  const auto stored = persistedConfig_ ? persistedConfig_->appVersion() : std::nullopt;
  if (!stored || stored->empty()) return true;
  const auto id = identity();
  const auto running = id ? id->appVersion() : std::nullopt;
  return running && *running == *stored;
}

std::optional<std::string> ZEVOveverizuru::previousFirstOpenCount() {
  if (!persistedConfig_) return std::nullopt;
  const Value stored = persistedConfig_->previousFirstOpenCount();
  if (const auto number = integerOf(stored)) return std::to_string(*number);
  if (const auto* text = stored.ifString()) return *text;
  return std::nullopt;
}

void ZEVOveverizuru::setPreviousFirstOpenCount(const std::optional<std::string>& count) {
  if (!persistedConfig_) return;
  if (!count) {
    persistedConfig_->setPreviousFirstOpenCount(Value());
    return;
  }
  std::int64_t number = 0;
  try {
    number = std::stoll(*count);
  } catch (const std::exception&) {
    number = 0;
  }
  persistedConfig_->setPreviousFirstOpenCount(Value(number));
}

double ZEVOveverizuru::firstOpenTimestamp() {
  const auto db = database();
  if (!db) return 0;
  platform::ErrorPtr error;
  const auto attributes = db->userAttributesIncludingInternal(true, &error);
  if (!attributes) {
    report(1, 23123, "Unable to query current user properties. Error", {errorContext(error)});
    return 0;
  }
  if (attributes->empty()) {
    report(2, 23124, "Cannot extract first open timestamp. Empty user properties");
    return 0;
  }
  double earliest = 0;
  bool first = true;
  for (const auto& attribute : *attributes) {
    if (!attribute) continue;
    if (attribute->name() == "_fot") return attribute->lastSetTimestamp();
    if (first || attribute->lastSetTimestamp() < earliest) earliest = attribute->lastSetTimestamp();
    first = false;
  }
  return earliest;
}

std::optional<ValueMap> ZEVOveverizuru::fileAttributesForPath(const std::string& path) {
  if (path.empty()) return std::nullopt;
  platform::ErrorPtr error;
  const auto attributes = platform::FileManager::defaultManager().attributesOfItem(path, &error);
  if (!attributes) {
    report(5, 23022, "Unable to read attributes of path. Path, error",
           {Value(path), errorContext(error)});
    return std::nullopt;
  }
  return ValueMap{
      {Value("NSFileType"),
       Value(attributes->isDirectory ? "NSFileTypeDirectory" : "NSFileTypeRegular")},
      {Value("NSFileSize"), Value(static_cast<std::int64_t>(attributes->size))},
      {Value("NSFileCreationDate"), Value(attributes->creationDate)},
      {Value("NSFileModificationDate"), Value(attributes->modificationDate)},
      {Value("NSFilePosixPermissions"), Value(static_cast<std::int64_t>(attributes->permissions))},
  };
}

void ZEVOveverizuru::setSessionTimeoutInterval(double seconds) {
  postToWorkerQueue("ZEVOveverizuru:1565", [seconds](ZEVOveverizuru& core) {
    if (const auto reporter = core.sessionReporter()) reporter->setTimeoutSessionInterval(seconds);
  });
}

// ---- Ad personalization and consent upkeep ----

Value ZEVOveverizuru::shouldDisableAdPersonalization() {
  // 1. The persisted setting.
  if (persistedConfig_) {
    const Value allow = persistedConfig_->allowPersonalizedAds();
    if (const auto flag = integerOf(allow)) return Value(*flag == 0);
  }
  // 2. The consent settings.
  if (const auto granted = APMConsentSettingsUtil::adPersonalization()) return Value(!*granted);
  // 3. The application's property list: a number only.
  if (const auto bundle = platform::Bundle::main()) {
    const Value plist = bundle->objectForInfoDictionaryKey(kAllowAdPersonalizationPlistKey);
    if (!plist.isNull()) {
      if (const auto flag = integerOf(plist)) {
        foundAdPersonalizationPlistFlag_ = true;
        return Value(*flag == 0);
      }
      return Value(false);
    }
  }
  // 4. The consent defaults.
  if (const auto defaults = APMConsentSettingsUtil::defaultSettings()) {
    const auto found = defaults->find(Value(APMConsentTypeAdPersonalization));
    if (found != defaults->end()) {
      if (const auto* text = found->second.ifString()) {
        std::string lower = *text;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (lower == APMConsentStatusDenied) return Value(true);
        if (lower == APMConsentStatusGranted) return Value(false);
      }
    }
  }
  return Value();
}

void ZEVOveverizuru::setPersonalizedAdsUserPropertyOnWorkerQueue() {
  const auto db = database();
  if (!db) return;
  platform::ErrorPtr error;
  const auto stored = db->userAttributeWithName("_npa", &error);
  if (!stored && error) {
    report(1, 23172, "Unable to read personalized ads user property. Error", {errorContext(error)});
    return;
  }
  const Value decision = shouldDisableAdPersonalization();
  if (decision.isNull()) {
    if (!stored) return;
    platform::ErrorPtr deleteError;
    if (db->deleteUserAttributeWithName("_npa", &deleteError) || !deleteError) {
      report(4, 23180, "No value set for personalized ads. Removing user property.");
      APMConsentSettingsUtil::setDiagnosticSource(0, APMConsentTypeAdPersonalization);
    } else {
      report(1, 23173, "Unable to remove personalized ads user property in the database. Error",
             {errorContext(deleteError)});
    }
    return;
  }
  const std::int64_t value = decision.asBool() ? 1 : 0;
  const bool changed =
      !stored || !stored->value().isInt64() || stored->value().int64Value() != value;
  if (!APMConsentSettingsUtil::adPersonalization()) {
    updateAdPersonalizationConsentFromNPAValue(Value(value));
  }
  if (changed) setUserAttributeOnWorkerQueue(autoAttribute("_npa", APMValue(value), now()));
}

void ZEVOveverizuru::updateAdPersonalizationConsentFromNPAValue(const Value& value) {
  const auto npa = integerOf(value);
  const auto granted = APMConsentSettingsUtil::adPersonalization();
  // 1. Already in step.
  if (npa && granted && (*granted == (*npa == 0))) return;
  // 2.
  const bool disabled = npa && *npa != 0;
  APMConsentSettingsUtil::updateSettings(
      ValueMap{{Value(APMConsentTypeAdPersonalization),
                Value(disabled ? APMConsentStatusDenied : APMConsentStatusGranted)}});
  // 3. Where the value came from.
  bool hasDefault = false;
  if (const auto defaults = APMConsentSettingsUtil::defaultSettings()) {
    hasDefault = defaults->count(Value(APMConsentTypeAdPersonalization)) != 0;
  }
  if (persistedConfig_ && !persistedConfig_->allowPersonalizedAds().isNull()) {
    APMConsentSettingsUtil::setDiagnosticSource(5, APMConsentTypeAdPersonalization);
  } else if (foundAdPersonalizationPlistFlag_) {
    APMConsentSettingsUtil::setDiagnosticSource(3, APMConsentTypeAdPersonalization);
  } else if (hasDefault) {
    APMConsentSettingsUtil::setDiagnosticSource(1, APMConsentTypeAdPersonalization);
  }
}

void ZEVOveverizuru::updateConsentSettingsUtilWithRemoteConfig() {
  const auto config = remoteConfigInstance();
  if (!config) return;
  const auto before = APMConsentSettingsUtil::adPersonalization();
  const ValueMap defaults = config->consentDefaults();
  const ValueMap delegations = config->consentDelegations();
  if (!defaults.empty() || !delegations.empty()) {
    APMConsentSettingsUtil::setDefaultSettings(defaults);
    APMConsentSettingsUtil::setDelegatedSettings(delegations);
  }
  const ValueMap regional = config->regionalDefaults();
  if (!regional.empty()) {
    APMConsentSettingsUtil::setRegionalDefaults(regional);
  } else {
    APMConsentSettingsUtil::setRegionalDefaults(std::nullopt);
  }
  const auto after = APMConsentSettingsUtil::adPersonalization();
  if (after && after != before) shouldUpdateNPAUserProperty_ = true;
}

void ZEVOveverizuru::updateCachedAdCampaignInfoWithExistingZBRAIDProperty() {
  const auto db = database();
  if (!db || !persistedConfig_) return;
  const Value buffer = persistedConfig_->adCampaignInfoBuffer();
  if (const auto* bytes = buffer.ifBytes(); bytes && !bytes->empty()) return;
  platform::ErrorPtr error;
  const auto zbraid = db->userAttributeWithName("_zbraid", &error);
  if (!zbraid) return;
  auto info = APMPBAdCampaignInfo::initWithMessageInfo();
  NANOSetString(info.get(), apmpb_field::AdCampaignInfo::kZbraid, valueText(zbraid->value()));
  NANOSetInt64(info.get(), apmpb_field::AdCampaignInfo::kTimestampMillis,
               static_cast<std::int64_t>(zbraid->lastSetTimestamp() * 1000));
  if (const auto data = info->protoBuffer())
    persistedConfig_->setAdCampaignInfoBuffer(Value(*data));
}

bool ZEVOveverizuru::shouldAllowAdNetworkRegistration() {
  const auto bundle = platform::Bundle::main();
  if (!bundle) return true;
  const Value value = bundle->objectForInfoDictionaryKey(kAdNetworkRegistrationPlistKey);
  if (const auto flag = integerOf(value); flag && !value.isString()) return *flag != 0;
  return true;
}

void ZEVOveverizuru::setUserData(const ValueMap& userData) {
  postToWorkerQueue("ZEVOveverizuru:3367",
                    [userData](ZEVOveverizuru& core) { core.setUserDataOnWorkerQueue(userData); });
}

void ZEVOveverizuru::setUserDataOnWorkerQueue(const ValueMap& userData) {
  initiateODM1ProtocolWithUserData(userData);
}
