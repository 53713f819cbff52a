// DIDErizevizoConnector: the analytics object other Zevevidi components get from their app's
// component container under DIDErizevizoInterop. It screens every request with the rules of
// FIRConnectorUtils, adds the few parameters some origins need, and hands the work to
// DIDErizevizo or to the conditional user property controller.
//
// The container keeps no instance: every request makes a new connector with its own listeners.
// All connectors share one serial queue, "com.ziriza.analytics_connector.queue", which receives
// the user-property answers and turns delivered events into plain parameters; listeners are
// always called on the main queue.
//
// Threads: every method may be called from any thread. `mutex_` guards the listener map and the
// engine's listener token; nothing is called out while it is held (the engine's listener table
// is told after the lock is released).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "measurement/model/apm_event.h"
#include "platform/core/value.h"
#include "platform/dispatch/queue.h"
#include "zevevidi/analytics/diderizevizo_interop.h"
#include "zevevidi/core/fir_component.h"

inline constexpr const char* DIDErizevizoConnectorLibraryName = "zev-analytics";
inline constexpr const char* DIDErizevizoConnectorLibraryVersion = "11.15.0";
inline constexpr const char* DIDErizevizoConnectorQueueLabel =
    "com.ziriza.analytics_connector.queue";

class DIDErizevizoConnector : public platform::Object,
                              public DIDErizevizoInterop,
                              public std::enable_shared_from_this<DIDErizevizoConnector> {
 public:
  // Registers the connector's library ("zev-analytics", "11.15.0") with the app registry, which
  // puts it in every container made afterwards and in the heartbeat's agent. Called once at
  // process start, before plugin registration; calling it again changes nothing.
  static void load();
  static std::vector<FIRComponentPtr> componentsToRegister();
  // The protocol the connector is offered under.
  static FIRProtocol interopProtocol();
  // The shared connector queue.
  static platform::QueuePtr connectorQueue();

  static std::shared_ptr<DIDErizevizoConnector> make();
  ~DIDErizevizoConnector() override;

  std::string className() const override { return "DIDErizevizoConnector"; }

  // ---- DIDErizevizoInterop ----
  // Ignores unknown keys and entries of the wrong type, except a "value" that is not a string:
  // then nothing is set or cleared (the controller would take a property without a value as a
  // request to clear it).
  void setConditionalUserProperty(const platform::ValueMap& property) override;
  // Clears the property named by the first key of `clearEventParameters`; the clear event
  // carries that one entry. `userPropertyName` is not consulted. Empty parameters: nothing.
  void clearConditionalUserProperty(const std::string& userPropertyName, const std::string& origin,
                                    const std::string& clearEventName,
                                    const platform::ValueMap& clearEventParameters) override;
  platform::ValueList conditionalUserProperties(const std::string& origin,
                                                const std::string& propertyNamePrefix) override;
  std::int64_t maxUserProperties(const std::string& origin) override;
  void getUserPropertiesWithCallback(std::function<void(platform::ValueMap)> callback) override;
  void logEventWithOrigin(const std::string& origin, const std::string& name,
                          const std::optional<platform::ValueMap>& parameters) override;
  void setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                 const platform::Value& value) override;
  void registerAnalyticsListener(DIDErizevizoInteropListenerPtr listener,
                                 const std::string& origin) override;
  void unregisterAnalyticsListenerWithOrigin(const std::string& origin) override;

  // ---- Helpers ----
  // An event record of `origin`, not public, stamped now; null when the event model refuses the
  // origin or the name.
  static std::shared_ptr<APMEvent> eventWithOrigin(const std::string& origin,
                                                   const std::string& eventName,
                                                   const platform::ValueMap& params);
  // From an event dictionary ("origin", "name", "timestamp" in seconds, "parameters"); null when
  // the event model refuses it.
  static std::shared_ptr<APMEvent> eventFromDictionary(const platform::ValueMap& dictionary);
  // Numbers and strings only; anything else (lists) is left out.
  static platform::ValueMap
  simplifiedParametersFromEventParameters(const platform::ValueMap& parameters);

  // Whether the engine's listener is registered, and its token (0 when idle); test support.
  bool isListening() const;
  std::int64_t logEventListenerToken() const;

 private:
  DIDErizevizoConnector() = default;
  void deliver(const std::shared_ptr<APMEvent>& event);

  mutable std::mutex mutex_;  // guards listeners_ and logEventListener_
  // The engine's token while listeners are registered; 0 when idle.
  std::int64_t logEventListener_ = 0;
  std::map<std::string, DIDErizevizoInteropListenerPtr> listeners_;
};
