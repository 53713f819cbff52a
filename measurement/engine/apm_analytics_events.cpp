// The facade's events, user properties and listeners. Not built yet: events and user properties
// go nowhere, listeners are not kept.
#include "measurement/engine/apm_analytics.h"

#include "measurement/model/apm_event.h"

void APMAnalytics::logEventWithName(const std::string&, const platform::ValueMap&) {}
void APMAnalytics::logEventWithOrigin(const std::string&, const std::string&,
                                      const platform::ValueMap&) {}
void APMAnalytics::logInternalEventWithOrigin(const std::string&, const std::string&,
                                              const platform::ValueMap&) {}
void APMAnalytics::logInternalEventWithOrigin(const std::string&, const std::string&, double,
                                              const platform::ValueMap&) {}
void APMAnalytics::logEventWithOrigin(const std::string&, bool, const std::string&,
                                      const platform::ValueMap&) {}
void APMAnalytics::logEventWithOrigin(const std::string&, bool, const std::string&,
                                      const platform::ValueMap&, double, bool, bool) {}
void APMAnalytics::setDefaultEventParameters(const std::optional<platform::ValueMap>&) {}
void APMAnalytics::setUserPropertyString(const std::optional<std::string>&, const std::string&) {}
void APMAnalytics::setUserID(const std::optional<std::string>&) {}
void APMAnalytics::removeUserAttributeForName(const std::string&) {}
void APMAnalytics::setUserAttributeNumber(const platform::Value&, const std::string&) {}
void APMAnalytics::removeInternalUserAttributeForName(const std::string&) {}
void APMAnalytics::userPropertiesIncludingInternal(bool, platform::QueuePtr,
                                                   std::function<void(platform::ValueMap)>) {}
void APMAnalytics::setLogEventInterceptor(Interceptor) {}
std::int64_t APMAnalytics::addLogEventListener(Listener) {
  return 0;
}
void APMAnalytics::removeLogEventListener(std::int64_t) {}
void APMAnalytics::notifyEventListeners(const std::shared_ptr<APMEvent>&) {}
void APMAnalytics::setInternalUserProperty(const platform::Value&, const std::string&,
                                           const std::string&) {}
void APMAnalytics::maxUserPropertiesForOrigin(const std::string&, platform::QueuePtr,
                                              std::function<void(std::int32_t)>) {}
