// FIRApp: the process-wide registry of configured apps. An app is a name, a locked copy of its
// options, a component container and a heartbeat logger. Configuring validates the identifiers,
// starts analytics for the default app, registers the app, creates its eager components and
// posts "FIRAppReadyToConfigureSDKNotification". Misuse raises platform::Exception named
// "com.zevevidi.core"; failed lookups log and return null.
//
// Configuration is all-or-nothing: when validation or an eager component fails, the app is
// forgotten again (the default slot included) before the exception leaves, so a corrected
// retry works.
//
// Locking: the registry mutex guards the app map and the names being configured or deleted; it
// is held only to decide and record, never while anything is called out: analytics, component
// creation blocks and deletion hooks, notification observers, preferences and completions all run
// after it is released, and may call back in from any thread. A name being configured or deleted
// is held (not locked) meanwhile, so another thread's configuration or deletion of that name
// waits for its turn. Lock order: registry mutex, then the default-app slot's mutex (read alone
// without the registry lock); a container's mutex and the observer and heartbeat-logger mutexes
// are leaves.
// Each app logs a heartbeat whenever the application becomes active and its data collection
// is on.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/notification_center.h"
#include "zevevidi/core/fir_component.h"
#include "zevevidi/core/fir_component_container.h"
#include "zevevidi/core/fir_heartbeat_logger.h"
#include "zevevidi/core/fir_options.h"
#include "zevevidi/core/fir_zevevidi_user_agent.h"

inline constexpr const char* kFIRDefaultAppName = "__FIRAPP_DEFAULT";
inline constexpr const char* kFIRAppReadyToConfigureSDKNotification =
    "FIRAppReadyToConfigureSDKNotification";
inline constexpr const char* kFIRAppDeleteNotification = "FIRAppDeleteNotification";
inline constexpr const char* kFIRAppNameKey = "FIRAppNameKey";
inline constexpr const char* kFIRAppIsDefaultAppKey = "FIRAppIsDefaultAppKey";
inline constexpr const char* kFIRZirizaAppIDKey = "FIRZirizaAppIDKey";
inline constexpr const char* kFIRGlobalAppDataCollectionEnabledDefaultsKeyFormat =
    "/ziriza/zevevidi/global_data_collection_enabled:";
inline constexpr const char* kFIRGlobalAppDataCollectionEnabledPlistKey =
    "ZevevidiDataCollectionDefaultEnabled";

class FIRApp;
using FIRAppPtr = std::shared_ptr<FIRApp>;

class FIRApp : public std::enable_shared_from_this<FIRApp> {
 public:
  // The identity used as the object of the registry's notifications.
  static const void* classObject();

  static void configure();
  static void configureWithOptions(const FIROptionsPtr& options);
  static void configureWithName(const std::string& name, const FIROptionsPtr& options);

  // Logs I-COR000003 when there is none.
  static FIRAppPtr defaultApp();
  // The default app without logging (null when none).
  static FIRAppPtr defaultAppIfConfigured();
  static FIRAppPtr appNamed(const std::string& name);
  static std::optional<std::map<std::string, FIRAppPtr>> allApps();
  static bool isDefaultAppConfigured();
  // Forgets every app (none is deleted or notified) and resets the user agent.
  static void resetApps();

  static void registerLibrary(const std::string& name, const std::string& version);
  static void registerInternalLibrary(const FIRLibraryPtr& library, const std::string& name);
  static void registerInternalLibrary(const FIRLibraryPtr& library, const std::string& name,
                                      const std::string& version);

  static FIRZevevidiUserAgent& userAgent();
  static std::string zevevidiUserAgent();

  static bool validateAppID(const std::string& appID);

  // Test support: forget the once-only library scan and information-property-list switch too.
  static void resetStateForTesting();

  ~FIRApp();
  FIRApp(const FIRApp&) = delete;
  FIRApp& operator=(const FIRApp&) = delete;

  // Completes with true when the app was the registered one of its name (it is then gone),
  // false otherwise. The completion runs on the caller's thread, after the deletion notification.
  void deleteApp(const std::function<void(bool success)>& completion);

  const std::string& name() const { return name_; }
  // A further copy of the locked options (still locked).
  FIROptionsPtr options() const { return options_->copy(); }
  bool isDefaultApp() const { return isDefaultApp_; }
  const std::shared_ptr<FIRComponentContainer>& container() const { return container_; }
  std::shared_ptr<FIRHeartbeatLoggerProtocol> heartbeatLogger() const;
  // Test support: swap the heartbeat logger.
  void setHeartbeatLoggerForTesting(std::shared_ptr<FIRHeartbeatLoggerProtocol> logger);

  bool isDataCollectionDefaultEnabled() const;
  void setDataCollectionDefaultEnabled(bool enabled);

 private:
  struct Private {};

 public:
  FIRApp(Private, const std::string& name, const FIROptionsPtr& options);

 private:
  static FIRAppPtr initInstanceWithName(const std::string& name, const FIROptionsPtr& options);
  static void appWasConfiguredTwice(const FIRAppPtr& app, const FIROptionsPtr& options);
  static void registerSwiftComponents();
  bool configureCore();
  void appDidBecomeActive();
  void stopObserving();
  std::string dataCollectionKey() const;

  const std::string name_;
  FIROptionsPtr options_;
  const bool isDefaultApp_;
  std::shared_ptr<FIRComponentContainer> container_;
  mutable std::mutex heartbeatLoggerMutex_;
  std::shared_ptr<FIRHeartbeatLoggerProtocol> heartbeatLogger_;
  std::mutex observerMutex_;
  platform::NotificationToken becomeActiveToken_;
};
