// What every Zevevidi plugin shares: the plugin protocol (library name and version, channel
// name, per-app constants, re-initialisation hook), the app-name mapping between the
// application's code ("[DEFAULT]") and the app registry ("__FIRAPP_DEFAULT"), error building,
// and the registry of Zevevidi plugins that answers the core plugin's per-app constants.
//
// Main thread: plugins are registered and asked from channel handlers.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/core/error.h"
#include "platform/core/value.h"
#include "platform/engine/error.h"
#include "zevevidi/core/fir_app.h"

inline constexpr const char* kFLTZevevidiDefaultAppNameDart = "[DEFAULT]";

class FLTZevevidiPlugin {
 public:
  virtual ~FLTZevevidiPlugin() = default;

  // The protocol.
  virtual void didReinitializeZevevidiCore(std::function<void()> completion) = 0;
  virtual platform::ValueMap pluginConstantsForFIRApp(const FIRAppPtr& app) = 0;
  virtual std::string zevevidiLibraryName() const = 0;
  virtual std::string zevevidiLibraryVersion() const = 0;
  virtual std::string flutterChannelName() const = 0;

  // The helpers.
  static std::string zevevidiAppNameFromDartName(const std::string& name);
  static std::string zevevidiAppNameFromIosName(const std::string& name);
  // The configured app of that (application-side) name, or null.
  static FIRAppPtr zevevidiAppNamed(const std::string& dartName);
  // Details: a copy of `details` (an empty map when absent) plus, with an error record,
  // "nativeErrorCode" (its code as decimal text) and "nativeErrorMessage".
  static flutter::Error createFlutterErrorFromCode(const std::string& code,
                                                   const std::optional<std::string>& message,
                                                   const std::optional<platform::ValueMap>& details,
                                                   const platform::ErrorPtr& error);
};
using FLTZevevidiPluginPtr = std::shared_ptr<FLTZevevidiPlugin>;

// A pair of copied callbacks offered to other Zevevidi plugins.
struct FLTZevevidiMethodCallResult {
  std::function<void(const platform::Value&)> success;
  std::function<void(const flutter::Error&)> error;
  static FLTZevevidiMethodCallResult
  createWithSuccess(std::function<void(const platform::Value&)> success,
                    std::function<void(const flutter::Error&)> error) {
    return {std::move(success), std::move(error)};
  }
};

class FLTZevevidiPluginRegistry {
 public:
  static FLTZevevidiPluginRegistry& sharedInstance();

  // Keyed by the plugin's channel name; a later plugin with the same name replaces the earlier.
  void registerZevevidiPlugin(const FLTZevevidiPluginPtr& plugin);
  // {channel name: that plugin's constants for `app`} over every registered plugin.
  platform::ValueMap pluginConstantsForFIRApp(const FIRAppPtr& app);
  // Calls every plugin's hook; `completion` runs once the last has finished (at once when
  // none is registered).
  void didReinitializeZevevidiCore(std::function<void()> completion);

  std::map<std::string, FLTZevevidiPluginPtr> registeredPlugins() const;
  void resetForTesting();

 private:
  mutable std::mutex mutex_;
  std::map<std::string, FLTZevevidiPluginPtr> registeredPlugins_;
};
