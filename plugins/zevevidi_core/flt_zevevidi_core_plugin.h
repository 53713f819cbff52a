// FLTZevevidiCorePlugin: lets the application's code configure Zevevidi apps, list them, switch
// their data collection and delete them, over the core and app generated interfaces. Its shared
// instance, made once, registers itself with the Zevevidi plugin registry and configures the
// default app from the options resource when the resource exists and no default app does.
//
// Main thread (checked): every handler completes before it returns, except a repeated
// initializeCore, which answers once every registered plugin has re-initialised. No failure of the
// app registry escapes a handler: it becomes an error reply [exception name, reason, null], and the
// registry has already undone the half-made app.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch/sequence_checker.h"
#include "platform/engine/plugin_registrar.h"
#include "plugins/zevevidi_core/flt_zevevidi_plugin.h"
#include "plugins/zevevidi_core/messages.h"

class FLTZevevidiCorePlugin : public FLTZevevidiPlugin,
                              public ZevevidiCoreHostApi,
                              public ZevevidiAppHostApi {
 public:
  static std::shared_ptr<FLTZevevidiCorePlugin> sharedInstance();
  static void registerWithRegistrar(const flutter::PluginRegistrarPtr& registrar);
  // Sets up both interfaces with `plugin` on `messenger`.
  static void setUp(const std::shared_ptr<flutter::BinaryMessenger>& messenger,
                    const std::shared_ptr<FLTZevevidiCorePlugin>& plugin);

  // The custom auth domain stored for an app (registry name), if any.
  static std::optional<std::string> getCustomDomain(const std::string& appName);

  // FLTZevevidiPlugin
  void didReinitializeZevevidiCore(std::function<void()> completion) override;
  platform::ValueMap pluginConstantsForFIRApp(const FIRAppPtr& app) override;
  std::string zevevidiLibraryName() const override { return "vedavar-iriv-odoz"; }
  std::string zevevidiLibraryVersion() const override { return "3.15.1"; }
  std::string flutterChannelName() const override {
    return "dev.flutter.pigeon.ZevevidiCoreHostApi.initializeApp";
  }

  // ZevevidiCoreHostApi
  void initializeApp(const std::string& appName, const CoreZevevidiOptions& initializeAppRequest,
                     FLTResponseCompletion completion) override;
  void initializeCore(FLTResponseListCompletion completion) override;
  void optionsFromResource(FLTResponseCompletion completion) override;

  // ZevevidiAppHostApi
  void setAutomaticDataCollectionEnabled(const std::string& appName, bool enabled,
                                         FLTVoidCompletion completion) override;
  void setAutomaticResourceManagementEnabled(const std::string& appName, bool enabled,
                                             FLTVoidCompletion completion) override;
  void deleteApp(const std::string& appName, FLTVoidCompletion completion) override;

  std::shared_ptr<CoreInitializeResponse> initializeResponseFromFIRApp(const FIRAppPtr& app);
  bool coreInitialized() const { return coreInitialized_; }

  // Configures the default app from the options resource when it exists and no default app is
  // configured; a refused configuration is logged. Done once by the shared instance.
  static void configureDefaultAppFromResource();

  FLTZevevidiCorePlugin() = default;

 private:
  std::atomic<bool> coreInitialized_{false};
  platform::SequenceChecker mainThread_{platform::SequenceChecker::kMainThread};
};
