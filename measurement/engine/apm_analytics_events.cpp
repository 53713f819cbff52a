// The facade's events, user properties and listeners. Checks, copies and record creation run
// on the caller's thread; everything that reaches the core is queued with the facade's queue
// discipline, so nothing reaches it before start and everything reaches it in call order.
//
// The timestamp queue "APMAnalyticsTimestampQueue" makes taking the time and queueing the event
// one serial section, so the worker sees events in time order. The interceptor and the listener
// table are touched only on the serial queue "APMAnalyticsQueue"; the token counter is atomic.
#include <atomic>
#include <map>
#include <mutex>

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/apm_screen_view_reporter.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/model/apm_consent_settings_util.h"
#include "measurement/model/apm_data_type_validator.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_event_normalization.h"
#include "measurement/model/apm_user_attribute.h"
#include "measurement/model/apm_value.h"
#include "measurement/storage/apm_monitor.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"

namespace {

constexpr std::int64_t kEventMaxNameLength = 40;          // APMDataTypeEventMaxNameLength
constexpr std::int64_t kUserAttributeMaxNameLength = 24;  // APMDataTypeUserAttributeMaxNameLength
constexpr std::size_t kEventMaxOriginLength = 32;         // APMDataTypeEventMaxOriginLength

void report(std::int64_t level, std::int64_t code, std::string_view text,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, text, contexts);
}

std::shared_ptr<ZEVOveverizuru> engine() {
  return ZEVOveverizuru::hasSharedInstance() ? ZEVOveverizuru::sharedInstance() : nullptr;
}

struct EventState {
  std::once_flag timestampQueueOnce;
  platform::QueuePtr timestampQueue;
  std::atomic<std::int64_t> nextToken{1};
  // Serial queue only.
  APMAnalytics::Interceptor interceptor;
  std::map<std::int64_t, APMAnalytics::Listener> listeners;
  bool hasListenerTable = false;
  // listeners.size(), for other threads.
  std::atomic<std::size_t> listenerCount{0};
};

EventState& state() {
  static auto* s = new EventState();  // lives for the process
  return *s;
}

platform::QueuePtr timestampQueue() {
  auto& s = state();
  std::call_once(s.timestampQueueOnce, [&] {
    s.timestampQueue = platform::makeSerialQueue("APMAnalyticsTimestampQueue");
  });
  return s.timestampQueue;
}

// Hands one event to the core (serial queue only). Without a core the event is dropped.
// `addedScreenParameters` are the current screen's, to be added to the event by the core.
void logEventOnSerialQueue(const std::string& origin, bool isPublicEvent, const std::string& name,
                           platform::ValueMap parameters, double timestamp, bool ignoreEnabled,
                           bool ignoreInterceptor, platform::ValueMap addedScreenParameters) {
  if (ignoreInterceptor && addedScreenParameters.empty()) {
    APMDataTypeValidator::Code failure = 0;
    if (APMDataTypeValidator::isValidForwardedEventOrigin(platform::Value(origin), &failure)) {
      // A forwarded event's own screen parameters are taken out and added back by the core.
      addedScreenParameters = APMExtractScreenParameters(parameters);
      for (const auto& [key, value] : addedScreenParameters)
        parameters.erase(key);
    }
  }
  const auto core = engine();
  if (!core) return;
  core->logEventWithOrigin(origin, isPublicEvent, name, parameters, timestamp,
                           APMAnalytics::isAnalyticsEnabled(), ignoreEnabled, ignoreInterceptor,
                           state().interceptor, addedScreenParameters);
}

void logErrorEventForName(std::int64_t code, const std::string& name, std::int64_t limit) {
  const platform::Value value(name);
  APMLogErrorEventWithParameters(code, value, limit, &value);
}

}  // namespace

// ---- Events ----

void APMAnalytics::logEventWithName(const std::string& name, const platform::ValueMap& parameters) {
  logEventWithOrigin("app", name, parameters);
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const platform::ValueMap& parameters) {
  APMDataTypeValidator::Code failure = 0;
  if (!APMDataTypeValidator::isValidPublicEventName(platform::Value(name), &failure)) {
    logErrorEventForName(failure == 4 ? 13 : 2, name, kEventMaxNameLength);
    return;
  }
  logEventWithOrigin(origin, true, name, parameters);
}

void APMAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const platform::ValueMap& parameters) {
  logEventWithOrigin(origin, false, name, parameters);
}

void APMAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              double timestamp,
                                              const platform::ValueMap& parameters) {
  queueOperationWithBlock([origin, name, parameters, timestamp] {
    logEventOnSerialQueue(origin, false, name, parameters, timestamp, false, false, {});
  });
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                      const std::string& name,
                                      const platform::ValueMap& parameters) {
  // Screen views belong to the screen-view reporter, which logs "_vs" in their place.
  if (name == "screen_view") {
    APMScreenViewReporter::sharedInstance()->trackScreenWithParameters(
        parameters, platform::Clock::current().now());
    return;
  }
  platform::ValueMap screen;
  if (!APMHasScreenParameters(parameters)) {
    screen = APMScreenViewReporter::sharedInstance()->screenParameters();
  }
  platform::ValueMap copy = parameters;
  timestampQueue()->sync([&] {
    const double now = platform::Clock::current().now();
    queueOperationWithBlock(
        [origin, isPublicEvent, name, copy = std::move(copy), now, screen = std::move(screen)] {
          logEventOnSerialQueue(origin, isPublicEvent, name, copy, now, false, false, screen);
        });
  });
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                      const std::string& name, const platform::ValueMap& parameters,
                                      double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
  queueOperationWithBlock(
      [origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled, ignoreInterceptor] {
        logEventOnSerialQueue(origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled,
                              ignoreInterceptor, {});
      });
}

void APMAnalytics::setDefaultEventParameters(const std::optional<platform::ValueMap>& parameters) {
  queueOperationWithBlock([parameters] {
    if (const auto core = engine()) core->setDefaultEventParameters(parameters);
  });
}

// ---- User properties ----

namespace {

// The common user-property path (origin "app" or "auto").
void setUserPropertyWithOrigin(const platform::Value& value, const std::string& name,
                               const std::string& origin) {
  APMDataTypeValidator::Code failure = 0;
  if (!APMDataTypeValidator::isValidInternalUserAttributeName(platform::Value(name), &failure)) {
    logErrorEventForName(6, name, kUserAttributeMaxNameLength);
    return;
  }
  if (origin.empty() || origin.size() > kEventMaxOriginLength) {
    report(2, 25005, "Unable to set user property. Origin is invalid. Origin, name",
           {platform::Value(origin), platform::Value(name)});
    return;
  }
  if (value.isNull()) {
    APMAnalytics::removeInternalUserAttributeForName(name);
    return;
  }
  const auto apmValue = APMValue::valueFromObject(value);
  if (!apmValue) return;
  if (!APMDataTypeValidator::isValidInternalUserAttributeValue(&*apmValue, name, &failure)) {
    if (failure == 2) {
      const platform::Value text =
          value.isString()
              ? value
              : (value.isNumber() ? platform::Value(apmValue->description()) : platform::Value());
      APMLogErrorEventWithParameters(7, text, kUserAttributeMaxNameLength, &text);
    }
    return;
  }
  auto attribute =
      APMUserAttribute::initWithOrigin(origin, name, *apmValue, platform::Clock::current().now());
  if (!attribute) return;
  APMAnalytics::queueOperationWithBlock([attribute] {
    if (const auto core = engine()) core->setUserAttribute(attribute);
  });
}

}  // namespace

namespace {

// "allow_personalized_ads" is no user property: it sets the persisted personalised-ads switch and
// keeps the core's "_npa" in step with it.
void updatePersonalizedAds(const std::optional<std::string>& value) {
  APMAnalytics::dispatchAsyncOnSerialQueue([value] {
    const bool enabled = APMAnalytics::isAnalyticsEnabled();
    if (!enabled) {
      APMProcessMonitor()->logWithLevel(
          7, 25033, "Personalized Ads property changed while Analytics is disabled");
    }
    platform::Value allow;
    if (value) {
      const std::string& text = *value;
      allow = platform::Value(text == "YES" || text == "yes" || text == "true" || text == "TRUE" ||
                              text == "1" || text == "Y" || text == "y");
    }
    if (const auto config = APMPersistedConfig::sharedInstance()) {
      config->setAllowPersonalizedAds(allow);
    }
    if (!value && APMConsentSettingsUtil::adPersonalization()) {
      APMConsentSettingsUtil::unsetAdPersonalization();
    }
    const auto core = engine();
    if (!enabled || !core) return;
    const platform::Value disable = core->shouldDisableAdPersonalization();
    const double now = platform::Clock::current().now();
    if (!disable.isNull()) {
      core->setUserAttribute(std::make_shared<APMUserAttribute>(
          "auto", "_npa", APMValue(std::int64_t{disable.asBool() ? 1 : 0}), now));
    } else {
      core->removeUserAttribute(
          std::make_shared<APMUserAttribute>("auto", "_npa", APMValue(std::int64_t{0}), now));
    }
  });
}

}  // namespace

void APMAnalytics::setUserPropertyString(const std::optional<std::string>& value,
                                         const std::string& name) {
  if (name == "allow_personalized_ads") {
    updatePersonalizedAds(value);
    return;
  }
  if (!value) {
    removeUserAttributeForName(name);
    return;
  }
  APMDataTypeValidator::Code failure = 0;
  if (!APMDataTypeValidator::isValidPublicUserAttributeName(platform::Value(name), &failure)) {
    logErrorEventForName(failure == 4 ? 15 : 6, name, kUserAttributeMaxNameLength);
    return;
  }
  const auto apmValue = APMValue::initWithString(*value);
  if (!apmValue || !APMDataTypeValidator::isValidPublicUserAttributeValue(&*apmValue, &failure)) {
    if (apmValue && failure == 2) {
      const platform::Value text(*value);
      APMLogErrorEventWithParameters(7, text, kUserAttributeMaxNameLength, &text);
    }
    return;
  }
  setUserPropertyWithOrigin(platform::Value(*value), name, "app");
}

void APMAnalytics::setUserID(const std::optional<std::string>& userID) {
  if (!userID) {
    removeInternalUserAttributeForName("_id");
    removeInternalUserAttributeForName("_lair");
    return;
  }
  setUserPropertyWithOrigin(platform::Value(*userID), "_id", "app");
}

void APMAnalytics::removeUserAttributeForName(const std::string& name) {
  APMDataTypeValidator::Code failure = 0;
  if (!APMDataTypeValidator::isValidPublicUserAttributeName(platform::Value(name), &failure)) {
    return;
  }
  removeInternalUserAttributeForName(name);
}

void APMAnalytics::setUserAttributeNumber(const platform::Value& number, const std::string& name) {
  APMDataTypeValidator::Code failure = 0;
  if (!APMDataTypeValidator::isValidPublicUserAttributeName(platform::Value(name), &failure)) {
    logErrorEventForName(failure == 4 ? 15 : 6, name, kUserAttributeMaxNameLength);
    return;
  }
  if (!number.isNumber() && !number.isBool()) return;
  setUserPropertyWithOrigin(number, name, "auto");
}

void APMAnalytics::removeInternalUserAttributeForName(const std::string& name) {
  auto attribute =
      APMUserAttribute::initWithOrigin("", name, APMValue(0.0), platform::Clock::current().now());
  if (!attribute) return;
  queueOperationWithBlock([attribute] {
    if (const auto core = engine()) core->removeUserAttribute(attribute);
  });
}

void APMAnalytics::userPropertiesIncludingInternal(
    bool includingInternal, platform::QueuePtr queue,
    std::function<void(platform::ValueMap)> callback) {
  queueOperationWithBlock([includingInternal, queue, callback] {
    if (!callback) {
      report(2, 25006, "Analytics userProperties callback cannot be nil");
      return;
    }
    if (!queue) {
      report(2, 25007, "Cannot query for Analytics user properties. Queue cannot be nil");
      platform::mainQueue()->async([callback] { callback({}); });
      return;
    }
    if (!isAnalyticsEnabled()) {
      report(5, 25008, "Cannot query for public user properties when Analytics is disabled");
      queue->async([callback] { callback({}); });
      return;
    }
    const auto core = engine();
    if (!core) {
      queue->async([callback] { callback({}); });
      return;
    }
    core->userPropertiesIncludingInternal(
        includingInternal, [queue, callback](platform::ValueMap properties) {
          queue->async([callback, properties] { callback(properties); });
        });
  });
}

// ---- Interceptor and listeners ----

void APMAnalytics::setLogEventInterceptor(Interceptor interceptor) {
  auto apply = [interceptor = std::move(interceptor)] { state().interceptor = interceptor; };
  if (isCurrentQueueSerialQueue()) {
    apply();
  } else {
    queueOperationWithBlock(std::move(apply));
  }
}

std::int64_t APMAnalytics::addLogEventListener(Listener listener) {
  if (!listener) {
    report(2, 25012, "Attempted addition of nil log event listener.");
    return 0;
  }
  // Tokens are ids of their own, never reused, so a stale token cannot name a later listener.
  const std::int64_t token = state().nextToken.fetch_add(1);
  auto add = [token, listener = std::move(listener)] {
    auto& s = state();
    s.hasListenerTable = true;
    s.listeners[token] = listener;
    s.listenerCount = s.listeners.size();
  };
  if (isCurrentQueueSerialQueue()) {
    add();
  } else {
    queueOperationWithBlock(std::move(add));
  }
  return token;
}

void APMAnalytics::removeLogEventListener(std::int64_t token) {
  if (token <= 0) {
    report(2, 25013, "Attempted removal of nil log event.");
    return;
  }
  queueOperationWithBlock([token] {
    auto& s = state();
    if (!s.hasListenerTable) {
      report(2, 25014, "Attempted removal of nil log event listener.");
      return;
    }
    if (s.listeners.erase(token) == 0) {
      report(2, 25015, "Attempted removal of log event listener with invalid token.");
    }
    s.listenerCount = s.listeners.size();
  });
}

bool APMAnalytics::hasLogEventListeners() {
  return state().listenerCount.load() != 0;
}

void APMAnalytics::notifyEventListeners(const std::shared_ptr<APMEvent>& event) {
  if (!event) return;
  dispatchAsyncOnSerialQueue([event] {
    // A copy: a listener may add or remove listeners while being told.
    const auto listeners = state().listeners;
    for (const auto& [token, listener] : listeners)
      listener(event);
  });
}
void APMAnalytics::setInternalUserProperty(const platform::Value& value, const std::string& name,
                                           const std::string& origin) {
  setUserPropertyWithOrigin(value, name, origin);
}
void APMAnalytics::maxUserPropertiesForOrigin(const std::string& origin, platform::QueuePtr queue,
                                              std::function<void(std::int32_t)> callback) {
  if (origin.empty()) {
    report(2, 25009,
           "Cannot query Analytics for max user properties. Origin must be a non-empty string");
    return;
  }
  if (!queue) {
    report(2, 25010, "Cannot query Analytics for max user properties. Queue cannot be nil. Origin",
           {platform::Value(origin)});
    return;
  }
  if (!callback) {
    report(2, 25011,
           "Cannot query Analytics for max user properties. MaxUserProperties callback cannot be "
           "nil. Origin",
           {platform::Value(origin)});
    return;
  }
  queueOperationWithBlock([origin, queue, callback] {
    const auto core = engine();
    if (!core) return;
    core->maxUserPropertiesForOrigin(origin, [queue, callback](std::int64_t limit) {
      queue->async([callback, limit] { callback(static_cast<std::int32_t>(limit)); });
    });
  });
}
