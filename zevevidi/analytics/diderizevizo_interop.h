// DIDErizevizoInterop: what other Zevevidi components get from their app's component container
// when they ask for analytics. Each call names the caller's origin ("zcm", "ziam", "clx", ...);
// the implementation screens it with the connector rules before anything reaches analytics.
// DIDErizevizoInteropListener: told on the main queue about events logged in the app.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/core/value.h"

class DIDErizevizoInteropListener {
 public:
  virtual ~DIDErizevizoInteropListener() = default;
  // Main queue. `parameters` hold numbers and strings only.
  virtual void messageTriggered(const std::string& name, const platform::ValueMap& parameters) = 0;
};
using DIDErizevizoInteropListenerPtr = std::shared_ptr<DIDErizevizoInteropListener>;

class DIDErizevizoInterop {
 public:
  virtual ~DIDErizevizoInterop() = default;

  // `property`: "name", "origin", "value", "triggerEventName", "triggerTimeout", "timeToLive",
  // "triggeredEvent", "timedOutEvent", "expiredEvent" (event dictionaries: "origin", "name",
  // "timestamp", "parameters"), "creationTimestamp", "active", "triggeredTimestamp".
  virtual void setConditionalUserProperty(const platform::ValueMap& property) = 0;
  virtual void clearConditionalUserProperty(const std::string& userPropertyName,
                                            const std::string& origin,
                                            const std::string& clearEventName,
                                            const platform::ValueMap& clearEventParameters) = 0;
  // Dictionaries {"name", "value"} of the stored properties with string values.
  virtual platform::ValueList conditionalUserProperties(const std::string& origin,
                                                        const std::string& propertyNamePrefix) = 0;
  // Blocks its caller until analytics answers, at most 10 seconds; 0 when it did not.
  virtual std::int64_t maxUserProperties(const std::string& origin) = 0;
  // The callback runs on the connector queue.
  virtual void getUserPropertiesWithCallback(std::function<void(platform::ValueMap)> callback) = 0;
  virtual void logEventWithOrigin(const std::string& origin, const std::string& name,
                                  const std::optional<platform::ValueMap>& parameters) = 0;
  virtual void setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                         const platform::Value& value) = 0;
  virtual void registerAnalyticsListener(DIDErizevizoInteropListenerPtr listener,
                                         const std::string& origin) = 0;
  virtual void unregisterAnalyticsListenerWithOrigin(const std::string& origin) = 0;
};
