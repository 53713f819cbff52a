// Category URL: opened URLs and user activities become campaign events and attribution data, the
// launch URL is cached for replay at start, the server-side tag-manager preview is switched from
// a URL, and the deferred deep link is asked for once per installation.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <mutex>
#include <string>

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_consent_settings_util.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_identity.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/model/apm_user_attribute.h"
#include "measurement/model/apm_utilities.h"
#include "measurement/storage/apm_monitor.h"
#include "measurement/storage/apm_user_defaults.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/environment.h"
#include "platform/foundation/json.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/url.h"
#include "zevevidi/utilities/gul_app_environment_util.h"

namespace {

using platform::Value;

// A number's value whatever its kind; none for anything else.
std::optional<double> numberOf(const Value& value) {
  if (const auto* i = value.ifInt()) return static_cast<double>(*i);
  if (const auto* d = value.ifDouble()) return *d;
  return std::nullopt;
}
using platform::ValueMap;

constexpr const char* kDeepLinkTimestampKey = "/ziriza/measurement/deep_link_timestamp_seconds";
constexpr const char* kZADPrefix = "zad_";
constexpr const char* kDeferredDeepLinkEnabledPlistKey =
    "ZIRIZA_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED";
constexpr const char* kDebugDeferredDeepLinkArgument = "-DebugDeferredDeepLink";
constexpr const char* kDeferredDeepLinkPath = "/adsvc/conversion/app/deeplink";

// Campaign query key -> event parameter name.
constexpr std::pair<const char*, const char*> kCampaignKeys[] = {
    {"aclid", "aclid"},
    {"anid", "anid"},
    {"utm_campaign", "campaign"},
    {"cis", "_cis"},
    {"utm_content", "content"},
    {"cp1", "cp1"},
    {"dclid", "dclid"},
    {"zad_source", "zad_source"},
    {"zclid", "zclid"},
    {"zbraid", "zbraid"},
    {"utm_medium", "medium"},
    {"utm_source", "source"},
    {"srsltid", "srsltid"},
    {"utm_term", "term"},
    {"utm_id", "campaign_id"},
    {"utm_creative_format", "creative_format"},
    {"utm_marketing_tactic", "marketing_tactic"},
    {"utm_source_platform", "source_platform"},
    {"sfmc_id", "sfmc_id"},
};
// Any one of these with a non-empty value makes a URL a campaign URL.
constexpr const char* kRequiredCampaignKeys[] = {"utm_campaign", "zclid",   "utm_medium",
                                                 "utm_source",   "zbraid",  "utm_id",
                                                 "dclid",        "srsltid", "sfmc_id"};
constexpr const char* kClickIDKeys[] = {"zclid", "dclid", "srsltid"};

void report(std::int64_t level, std::int64_t code, std::string_view text,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, text, contexts);
}

double now() {
  return platform::Clock::current().now();
}

bool startsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

const char* parameterNameForQueryKey(const std::string& key) {
  for (const auto& [query, parameter] : kCampaignKeys)
    if (key == query) return parameter;
  return nullptr;
}

// The text of a string value, or of a number; none for anything else.
std::optional<std::string> stringValueOf(const Value& value) {
  if (const auto* text = value.ifString()) return *text;
  if (const auto* i = value.ifInt()) return std::to_string(*i);
  if (const auto* d = value.ifDouble()) {
    if (std::isfinite(*d) && *d == std::floor(*d) && std::fabs(*d) < 1e15)
      return std::to_string(static_cast<std::int64_t>(*d));
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", *d);
    return std::string(text);
  }
  return std::nullopt;
}

std::string queryOf(const std::string& url) {
  if (const auto parsed = platform::URL::parse(url); parsed && parsed->query())
    return *parsed->query();
  // Not a URL we can parse strictly (a replayed "(not set)" among them): take what follows "?".
  const auto mark = url.find('?');
  if (mark == std::string::npos) return {};
  auto query = url.substr(mark + 1);
  if (const auto hash = query.find('#'); hash != std::string::npos) query.resize(hash);
  return query;
}

struct PreviewState {
  std::mutex mutex;  // guards headers
  std::optional<ValueMap> headers;
};
PreviewState& preview() {
  static PreviewState* state = new PreviewState;
  return *state;
}

// The advertising-services base URL, without a trailing slash.
std::string adsServiceBaseURL() {
  auto base = platform::Environment::current()
                  ->nonEmpty("LUMORA_ADS_URL")
                  .value_or(APMAdsServiceDefaultURL);
  while (!base.empty() && base.back() == '/')
    base.pop_back();
  return base;
}

// A query value: every byte outside the unreserved set is escaped, so a value can neither break
// the address nor add parameters of its own.
std::string queryValue(const std::string& text) {
  return platform::URL::percentEncode(text);
}

}  // namespace

// ---- Facade entry ----

std::optional<std::string>
ZEVOveverizuru::deepLinkFromUserActivity(const APMUserActivity* activity) {
  if (!activity) {
    report(7, 23003, "User Activity is empty. User Activity");
    return std::nullopt;
  }
  if (activity->activityType == APMUserActivityTypeBrowsingWeb && activity->webpageURL &&
      !activity->webpageURL->empty()) {
    return activity->webpageURL;
  }
  report(3, 23006, "User Activity does not have Deep Link. User Activity",
         {Value(activity->activityType)});
  return std::nullopt;
}

void ZEVOveverizuru::handleNonFirstOpenEventURL(const std::string& url,
                                                double eventTimestampInSeconds) {
  if (scheduler_ && platform::currentQueueLabel() == scheduler_->workerQueue()->label()) {
    report(2, 23163, "Do not call handleNonFirstOpenOpenURL on the measurement worker queue");
    return;
  }
  handleOpenURL(url, Value(), eventTimestampInSeconds);
}

void ZEVOveverizuru::handleOpenURL(const std::string& url, const Value& clickTimestampInMs,
                                   double eventTimestampInSeconds) {
  if (url.empty()) return;
  handleDebugModeWithURL(url);
  handleDeepLink(url, clickTimestampInMs, eventTimestampInSeconds);
}

void ZEVOveverizuru::handleDeepLink(const std::string& url, const Value& clickTimestampInMs,
                                    double eventTimestampInSeconds) {
  postToWorkerQueue("ZEVOveverizuru:502", [url, clickTimestampInMs,
                                           eventTimestampInSeconds](ZEVOveverizuru& core) {
    core.handleOpenURLOnWorkerQueue(url, clickTimestampInMs, eventTimestampInSeconds, std::nullopt);
  });
}

// ---- Campaign handling ----

void ZEVOveverizuru::handleOpenURLOnWorkerQueue(const std::optional<std::string>& url,
                                                const Value& clickTimestampInMs,
                                                double eventTimestampInSeconds,
                                                const std::optional<ValueMap>& extraParameters) {
  if (!APMScheduler::checkOnBackgroundThreadWithMethodName("handleOpenURLOnWorkerQueue")) return;
  // 1-2.
  ValueMap stringExtras;
  ValueMap numberExtras;
  if (extraParameters) {
    for (const auto& [key, value] : *extraParameters) {
      if (!key.isString()) continue;
      if (value.isString())
        stringExtras[key] = value;
      else if (value.isNumber())
        numberExtras[key] = value;
    }
  }
  ValueMap urlParameters = stringExtras;
  if (url) {
    for (const auto& [key, value] : apm_dictionaryWithHttpArgumentsString(queryOf(*url)))
      urlParameters[key] = value;
  }
  // 3.
  if (urlParameters.empty()) {
    report(7, 23000, "Deep Link Web URL query is empty");
    return;
  }
  if (!isValidCampaignURLParamDictionary(urlParameters)) {
    report(3, 23001, "Deep Link does not contain valid required params. URL params",
           {Value(urlParameters)});
    return;
  }
  // 4.
  ValueMap parameters;
  for (const auto& [key, value] : urlParameters) {
    const auto* name = key.ifString();
    const auto* text = value.ifString();
    if (!name || !text || text->empty()) continue;
    if (const char* parameter = parameterNameForQueryKey(*name)) {
      parameters[Value(parameter)] = value;
    } else if (startsWith(*name, kZADPrefix)) {
      parameters[key] = value;
    }
  }
  // 5.
  if (!shouldAllowClickID()) {
    for (const char* key : kClickIDKeys)
      parameters.erase(Value(key));
  }
  // 6.
  for (const auto& [key, value] : numberExtras)
    parameters[key] = value;
  if (clickTimestampInMs.isNumber()) parameters[Value("click_timestamp")] = clickTimestampInMs;
  // 7.
  const double firstOpenSeconds =
      persistedConfig_
          ? static_cast<double>(persistedConfig_->firstOpenTimestampMilliseconds()) / 1000
          : 0;
  const double campaignTime = std::max(firstOpenSeconds, eventTimestampInSeconds);
  // 8.
  const auto cc = parameters.find(Value("_cc"));
  const bool expired = cc != parameters.end() && numberOf(cc->second) == 1.0;
  const std::string eventName = expired ? "_cmpx" : "_cmp";
  // 9.
  std::vector<std::shared_ptr<APMPBDeepLinkZadParamsEntry>> entries;
  for (const auto& [key, value] : parameters) {
    const auto* name = key.ifString();
    if (!name || !startsWith(*name, kZADPrefix)) continue;
    const auto text = stringValueOf(value);
    if (!text) continue;
    auto entry = APMPBDeepLinkZadParamsEntry::initWithMessageInfo();
    NANOSetString(entry.get(), apmpb_field::DeepLinkZadParamsEntry::kKey, *name);
    NANOSetString(entry.get(), apmpb_field::DeepLinkZadParamsEntry::kValue, *text);
    entries.push_back(std::move(entry));
  }
  // 10.
  const auto stringParameter = [&](const char* key) -> std::optional<std::string> {
    const auto found = parameters.find(Value(key));
    if (found == parameters.end()) return std::nullopt;
    return stringValueOf(found->second);
  };
  const auto zclid = stringParameter("zclid");
  const auto zbraid = stringParameter("zbraid");
  const auto zadSource = stringParameter("zad_source");
  if ((zclid || zbraid || !entries.empty()) && persistedConfig_) {
    auto info = APMPBAdCampaignInfo::initWithMessageInfo();
    namespace F = apmpb_field::AdCampaignInfo;
    NANOSetInt64(info.get(), F::kTimestampMillis, static_cast<std::int64_t>(campaignTime * 1000));
    if (zclid) NANOSetString(info.get(), F::kZclid, *zclid);
    if (zbraid) NANOSetString(info.get(), F::kZbraid, *zbraid);
    if (zadSource) NANOSetString(info.get(), F::kZadSource, *zadSource);
    if (!entries.empty()) {
      const auto values = NANOMessageValues(entries);
      NANOSetArray(info.get(), F::kDeepLinkZadParams, &values);
    }
    if (const auto data = info->protoBuffer())
      persistedConfig_->setAdCampaignInfoBuffer(Value(*data));
  }
  // 11.
  if (zbraid && !zbraid->empty()) {
    if (auto value = APMValue::initWithString(*zbraid)) {
      setUserPropertyInDatabaseOnWorkerQueue(
          std::make_shared<APMUserAttribute>("auto", "_zbraid", std::move(*value), campaignTime));
    }
  }
  // 12.
  if (auto event =
          APMEvent::initWithOrigin("auto", false, eventName, campaignTime, 0, parameters)) {
    handleInternalEventOnWorkerQueue(event);
    APMAnalytics::notifyEventListeners(event);
  }
}

bool ZEVOveverizuru::isValidCampaignURLParamDictionary(const ValueMap& parameters) {
  for (const char* key : kRequiredCampaignKeys) {
    const auto found = parameters.find(Value(key));
    if (found == parameters.end()) continue;
    if (const auto* text = found->second.ifString(); text && !text->empty()) return true;
  }
  for (const auto& [key, value] : parameters) {
    if (const auto* name = key.ifString(); name && startsWith(*name, kZADPrefix)) return true;
  }
  return false;
}

bool ZEVOveverizuru::shouldAllowClickID() {
  // The identity's platform level always has tracking authorisation.
  const auto id = identity();
  if (!id) return false;
  if (const auto device = id->resettableDeviceID(); device && !device->empty()) return true;
  return id->appleConsentStatus() == 3;
}

void ZEVOveverizuru::handleDebugModeWithURL(const std::string&) {
  // Debug mode is not switched from a URL on this platform.
}

void ZEVOveverizuru::handleSZTMDebugModeWithURL(const std::string& url) {
  const ValueMap query = apm_dictionaryWithHttpArgumentsString(queryOf(url));
  const auto flag = query.find(Value("sztm_debug_enable"));
  if (flag == query.end() || !flag->second.isString()) return;
  const std::string& enable = flag->second.asString();
  if (enable == "1") {
    monitor()->setSZTMDebugModeEnabled(true);
    std::optional<ValueMap> headers;
    const auto key = query.find(Value("sztm_preview_key"));
    if (key != query.end() && key->second.isString() && !key->second.asString().empty())
      headers = ValueMap{{Value("X-Sztm-Server-Preview"), key->second}};
    std::lock_guard lock(preview().mutex);
    preview().headers = std::move(headers);
  } else if (enable == "0") {
    monitor()->setSZTMDebugModeEnabled(false);
    std::lock_guard lock(preview().mutex);
    preview().headers.reset();
  }
}

std::optional<ValueMap> ZEVOveverizuru::SZTMPreviewHeaders() {
  std::lock_guard lock(preview().mutex);
  return preview().headers;
}

void ZEVOveverizuru::handleStoredURLAfterAppLaunchWithNotification(
    const platform::Notification& notification) {
  // The application's launch options carry no user activity and no URL on this platform; a
  // launch notification that does carry them is still honoured.
  const ValueMap* info = &notification.userInfo;
  const auto defaults = APMUserDefaults::sharedUserDefaults();
  bool cached = false;
  if (const auto activities =
          info->find(Value("UIApplicationLaunchOptionsUserActivityDictionaryKey"));
      activities != info->end()) {
    if (const auto* dictionary = activities->second.ifMap(); dictionary && !dictionary->empty()) {
      const auto entry = dictionary->find(Value("UIApplicationLaunchOptionsUserActivityKey"));
      if (entry != dictionary->end()) {
        if (const auto activity = entry->second.asObjectOf<APMUserActivity>()) {
          if (const auto link = deepLinkFromUserActivity(activity.get()); link && !link->empty()) {
            APMSetAttributionCache(*defaults, *link);
            cached = true;
          }
        }
      }
    }
  }
  if (const auto url = info->find(Value("UIApplicationLaunchOptionsURLKey")); url != info->end()) {
    if (const auto* text = url->second.ifString()) {
      if (!cached) APMSetAttributionCache(*defaults, *text);
      handleSZTMDebugModeWithURL(*text);
    }
  }
}

// ---- Deferred deep link ----

bool ZEVOveverizuru::shouldAllowRequestDeferredDeepLink() {
  const auto config = remoteConfigInstance();
  if (!config || !persistedConfig_) return false;
  // 1.
  if (!config->boolSetting(APMSetting::IsDeferredDeepLinkEnabled)) {
    report(5, 23193, "Deferred Deep Link feature disabled");
    return false;
  }
  // 2.
  const auto bundle = platform::Bundle::main();
  const Value flag =
      bundle ? bundle->objectForInfoDictionaryKey(kDeferredDeepLinkEnabledPlistKey) : Value();
  const bool enabled = (flag.ifBool() && *flag.ifBool()) || numberOf(flag).value_or(0) != 0;
  if (!enabled) return false;
  // 3.
  if (!persistedConfig_->deferredDeepLinkRetrievalComplete().isNull()) {
    report(7, 23194, "Already retrieved Deferred Deep Link. Skipping");
    return false;
  }
  // 4.
  if (persistedConfig_->deferredDeepLinkRetryCount() >=
      config->integerSetting(APMSetting::MaxDeferredDeepLinkRetryCount)) {
    report(3, 23195, "Failed to retrieve Deferred Deep Link. Reached retry limit");
    persistedConfig_->setDeferredDeepLinkRetrievalComplete(
        Value(std::int64_t{APMDeferredDeepLinkRetrievalFailed}));
    return false;
  }
  // 5.
  if (APMConsentSettingsUtil::isAdStorageDenied()) {
    report(3, 23252,
           "IDFA unavailable to retrieve Deferred Deep Link due to denied ad storage consent. "
           "Skipping");
    return false;
  }
  // 6.
  const auto id = identity();
  if (id && id->hasLimitedAdTracking() && !id->limitedAdTracking()) {
    report(7, 23197, "Deferred Deep Link feature enabled");
    return true;
  }
  report(3, 23196, "IDFA unavailable to retrieve Deferred Deep Link. Skipping");
  return false;
}

std::optional<std::string> ZEVOveverizuru::deferredDeepLinkRequestURL() {
  const auto id = identity();
  const auto config = remoteConfigInstance();
  if (!id || !config || !persistedConfig_) return std::nullopt;
  // 1.
  std::string address =
      adsServiceBaseURL() + kDeferredDeepLinkPath +
      "?sdk_version=" + queryValue(std::to_string(APMIdentity::devAzerirerizeLibraryVersion())) +
      "&rdid=" + queryValue(id->resettableDeviceID().value_or("")) +
      "&id_type=idfa&bundleid=" + queryValue(id->appID().value_or("")) +
      "&retry=" + queryValue(std::to_string(persistedConfig_->deferredDeepLinkRetryCount()));
  if (!GULAppEnvironmentUtil::isFromAppStore()) {
    const auto arguments = platform::ProcessInfo::processInfo().arguments();
    if (std::find(arguments.begin(), arguments.end(), kDebugDeferredDeepLinkArgument) !=
        arguments.end()) {
      address += "&ddl_test=1";
    }
  }
  if (!platform::URL::parse(address)) return std::nullopt;
  // 2.
  if (const auto signals = APMConsentSettingsUtil::consentSignals(); !signals.empty())
    address += "&gcs=" + queryValue(signals);
  const bool dma = config->isDMARegion();
  address += std::string("&dma=") + (dma ? "1" : "0");
  if (APMConsentSettingsUtil::isAdUserDataDenied()) {
    address += "&dma_cps=-";
  } else if (dma) {
    std::string services;
    for (const auto& service : config->corePlatformServices())  // a set: already sorted
      services += service;
    if (!services.empty()) address += "&dma_cps=" + queryValue(services);
  }
  if (const auto personalization = APMConsentSettingsUtil::adPersonalization())
    address += std::string("&npa=") + (*personalization ? "0" : "1");
  if (!platform::URL::parse(address)) return std::nullopt;
  return address;
}

void ZEVOveverizuru::requestDeferredDeepLink() {
  if (!APMScheduler::checkOnBackgroundThreadWithMethodName("requestDeferredDeepLink")) return;
  const auto address = deferredDeepLinkRequestURL();
  // 3.
  if (!address) {
    report(3, 23198, "URL to retrieve Deferred Deep Link is invalid");
    return;
  }
  // 4.
  setIsNetworkRequestPending(true);
  if (const auto config = remoteConfigInstance())
    network_->setTimeoutInterval(config->doubleSetting(APMSetting::NetworkTimeout));
  std::weak_ptr<ZEVOveverizuru> weak = weak_from_this();
  network_->getURL(
      *address, std::nullopt, scheduler_->workerQueue(), shouldUseBackgroundSession(),
      [weak](const platform::HTTPURLResponsePtr& response, const platform::Bytes& data,
             const platform::ErrorPtr& error) {
        const auto self = weak.lock();
        if (!self) return;
        try {
          self->deferredDeepLinkCompletion(response, data, error);
        } catch (const std::exception& exception) {
          report(1, 23199,
                 "Failed to retrieve Deferred Deep Link. Will retry on next launch. Code, error",
                 {Value(), Value(exception.what())});
        }
      });
}

void ZEVOveverizuru::deferredDeepLinkCompletion(const platform::HTTPURLResponsePtr& response,
                                                const platform::Bytes& data,
                                                const platform::ErrorPtr& error) {
  // 1.
  setIsNetworkRequestPending(false);
  const int status = response ? response->statusCode : 0;
  // 2.
  if (!error && (status == 200 || status == 204 || status == 304)) {
    if (persistedConfig_)
      persistedConfig_->setDeferredDeepLinkRetrievalComplete(
          Value(std::int64_t{APMDeferredDeepLinkRetrievalSuccess}));
    const auto info = deepLinkInfoFromResponseData(data);
    if (info && !info->empty()) {
      report(7, 23200, "Successfully retrieved Deferred Deep Link");
      handleDeferredDeepLinkInfo(*info);
    } else {
      updateSchedule();
    }
    return;
  }
  // 3.
  report(1, 23199, "Failed to retrieve Deferred Deep Link. Will retry on next launch. Code, error",
         {Value(std::int64_t{status}), error ? Value(error) : Value()});
  if (persistedConfig_)
    persistedConfig_->setDeferredDeepLinkRetryCount(persistedConfig_->deferredDeepLinkRetryCount() +
                                                    1);
  updateSchedule();
}

std::optional<ValueMap> ZEVOveverizuru::deepLinkInfoFromResponseData(const platform::Bytes& data) {
  if (data.empty()) {
    report(8, 23201, "Deferred Deep Link response is empty");
    return std::nullopt;
  }
  platform::ErrorPtr error;
  const auto parsed = platform::JSONObjectWithData(
      std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), &error);
  if (!parsed || parsed->isNull() || (parsed->ifMap() && parsed->ifMap()->empty())) {
    if (error) {
      report(1, 23202, "Failed to parse Deferred Deep Link from JSON. Error", {Value(error)});
    }
    return std::nullopt;
  }
  const auto* object = parsed->ifMap();
  if (!object || object->empty()) return std::nullopt;
  const auto link = object->find(Value(APMDeepLinkURLKey));
  if (link == object->end() || !link->second.isString()) return std::nullopt;
  if (!platform::URL::parse(link->second.asString())) return std::nullopt;
  return *object;
}

void ZEVOveverizuru::handleDeferredDeepLinkInfo(const ValueMap& info) {
  // 1.
  const auto link = info.find(Value(APMDeepLinkURLKey));
  if (link == info.end() || !link->second.isString() ||
      !platform::URL::parse(link->second.asString()))
    return;
  const std::string url = link->second.asString();
  // 2.
  ValueMap extras{{Value("cis"), Value("ddp")}};
  for (const char* key : {"zclid", "zbraid"}) {
    if (const auto found = info.find(Value(key)); found != info.end() && !found->second.isNull())
      extras[Value(key)] = found->second;
  }
  std::optional<ValueMap> extraInfo;
  if (const auto found = info.find(Value(APMDeepLinkTimestampKey)); found != info.end())
    extraInfo = ValueMap{{Value(APMDeepLinkTimestampKey), found->second}};
  // 3.
  report(8, 23203, "Sending Deferred Deep Link to app delegate");
  const double time = now();
  // 4.
  std::weak_ptr<ZEVOveverizuru> weak = weak_from_this();
  platform::mainQueue()->async([weak, url, extras, extraInfo, time] {
    const auto self = weak.lock();
    if (!self) return;
    if (!self->sendDeepLinkURLToAppDelegateOnMainThread(url, extraInfo)) {
      report(3, 23204, "App delegate not configured to handle Deferred Deep Link", {Value(url)});
      return;
    }
    self->postToWorkerQueue("ZEVOveverizuru:424", [url, extras, time](ZEVOveverizuru& core) {
      core.handleOpenURLOnWorkerQueue(url, Value(), time, extras);
    });
  });
}

bool ZEVOveverizuru::sendDeepLinkURLToAppDelegateOnMainThread(const std::string&,
                                                              const std::optional<ValueMap>&) {
  // There is no application-delegate hand-off on this platform.
  return false;
}

// ---- Attribution cache ----

void APMSetAttributionCache(APMUserDefaults& userDefaults, const std::string& url) {
  userDefaults.setObject(Value(url), Value(APMUserDefaultsDeepLinkKey));
  userDefaults.setObject(Value(now()), Value(kDeepLinkTimestampKey));
}

void APMClearAttributionCache(APMUserDefaults& userDefaults) {
  userDefaults.setObject(Value(), Value(APMUserDefaultsDeepLinkKey));
  userDefaults.setObject(Value(), Value(kDeepLinkTimestampKey));
}

bool APMIsAttributionCacheExpired(APMUserDefaults& userDefaults, double timeToLiveSeconds) {
  const Value stored = userDefaults.objectForKey(Value(kDeepLinkTimestampKey));
  const auto seconds = numberOf(stored);
  if (!seconds) return false;
  return std::fabs(now() - *seconds) > timeToLiveSeconds;
}

bool APMClearAttributionCacheIfExpired(const std::shared_ptr<APMRemoteConfig>& remoteConfig) {
  if (!remoteConfig) return false;
  const auto defaults = APMUserDefaults::sharedUserDefaults();
  if (!defaults) return false;
  const double ttl = remoteConfig->doubleSetting(APMSetting::AttributionCacheTTLInterval);
  if (!APMIsAttributionCacheExpired(*defaults, ttl)) return false;
  APMClearAttributionCache(*defaults);
  return true;
}

std::int64_t APMAttributionTimestampMillisRoundedToPreviousHour(std::int64_t milliseconds) {
  return milliseconds / 3600000 * 3600000 - 3600000;
}

void APMIncludeMeasurementURLCategory() {}
