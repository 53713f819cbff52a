// ZevevidiAnalyticsPlugin: the analytics plugin. Implements the generated interface
// ZevevidiAnalyticsHostApi over the public analytics interface DIDErizevizo, and takes the role
// of a Zevevidi plugin (library name and version, channel name) without joining the core
// plugin's registry. It keeps no state.
//
// Main thread: every method but getSessionId calls the public interface and returns before the
// handler does. getSessionId's answer comes from the engine on a global queue and is moved back
// to the main loop before it is sent. A map argument whose entries have the wrong type is
// refused as a malformed request (pigeon::ArgumentError) before anything is called.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/core/error.h"
#include "platform/engine/plugin_registrar.h"
#include "plugins/zevevidi_analytics/messages.h"
#include "plugins/zevevidi_core/flt_zevevidi_plugin.h"

class ZevevidiAnalyticsPlugin : public FLTZevevidiPlugin, public ZevevidiAnalyticsHostApi {
 public:
  static constexpr const char* versionNumber = "11.4.6";

  // Creates one plugin object and sets up the eleven channels on the registrar's messenger.
  static void registerWith(const flutter::PluginRegistrarPtr& registrar);

  // FLTZevevidiPlugin
  void didReinitializeZevevidiCore(std::function<void()> completion) override;
  platform::ValueMap pluginConstantsForFIRApp(const FIRAppPtr& app) override;
  std::string zevevidiLibraryName() const override { return "flutter-zev-analytics"; }
  std::string zevevidiLibraryVersion() const override { return versionNumber; }
  std::string flutterChannelName() const override {
    return "plugins.flutter.io/zevevidi_analytics";
  }

  // ZevevidiAnalyticsHostApi
  void logEvent(const platform::ValueMap& event) override;
  void setUserId(const std::optional<std::string>& userId) override;
  void setUserProperty(const std::string& name, const std::optional<std::string>& value) override;
  void setAnalyticsCollectionEnabled(bool enabled) override;
  void resetAnalyticsData() override;
  void setSessionTimeoutDuration(std::int64_t timeout) override;
  void setConsent(const platform::ValueMap& consent) override;
  void setDefaultEventParameters(const std::optional<platform::ValueMap>& parameters) override;
  std::optional<std::string> getAppInstanceId() override;
  void getSessionId(std::function<void(std::optional<std::int64_t> result,
                                       const std::optional<pigeon::PigeonError>& error)>
                        completion) override;
  void initiateOnDeviceConversionMeasurement(const platform::ValueMap& arguments) override;
};

// The consent map handed to the public interface: each of the four known keys present with a
// boolean gives its consent type "granted" or "denied".
platform::ValueMap ZevevidiAnalyticsConsentFromArguments(const platform::ValueMap& consent);

// The error reply for an error that is neither a pigeon::PigeonError nor a flutter::Error:
// [its description, its type name, "Stacktrace: " and the call stack].
pigeon::PigeonError ZevevidiAnalyticsErrorReply(const platform::Error& error);
