#include "plugins/zevevidi_core/flt_zevevidi_core_plugin.h"

#include <exception>

#include "platform/core/exception.h"
#include "platform/log/log.h"
#include "zevevidi/core/fir_options.h"

using platform::Value;

namespace {

struct AuthDomains {
  std::mutex mutex;
  std::map<std::string, std::string> byApp;
};

AuthDomains& authDomains() {
  static auto* domains = new AuthDomains();
  return *domains;
}

const platform::LogPtr& pluginLog() {
  static const auto log = platform::Log::cached("com.lumora.zevevidi_core", "plugin");
  return log;
}

// The error reply for an exception of the app registry: its name and reason, no details.
flutter::Error errorFromException(const platform::Exception& e) {
  return flutter::Error{e.name(), e.reason(), Value()};
}

}  // namespace

std::shared_ptr<FLTZevevidiCorePlugin> FLTZevevidiCorePlugin::sharedInstance() {
  static const auto instance = [] {
    auto plugin = std::make_shared<FLTZevevidiCorePlugin>();
    FLTZevevidiPluginRegistry::sharedInstance().registerZevevidiPlugin(plugin);
    configureDefaultAppFromResource();
    return plugin;
  }();
  return instance;
}

void FLTZevevidiCorePlugin::configureDefaultAppFromResource() {
  auto options = FIROptions::defaultOptions();
  if (!options) return;
  auto apps = FIRApp::allApps();
  if (apps && apps->count(kFIRDefaultAppName)) return;
  try {
    FIRApp::configureWithOptions(options);
  } catch (const platform::Exception& e) {
    // A broken options resource must not stop the host; the application's code can still
    // configure apps itself.
    pluginLog()->error("default app not configured: " + e.name() + ": " + e.reason());
  } catch (const std::exception& e) {
    pluginLog()->error(std::string("default app not configured: ") + e.what());
  }
}

void FLTZevevidiCorePlugin::registerWithRegistrar(const flutter::PluginRegistrarPtr& registrar) {
  if (!registrar) return;
  setUp(registrar->messenger(), sharedInstance());
}

void FLTZevevidiCorePlugin::setUp(const std::shared_ptr<flutter::BinaryMessenger>& messenger,
                                  const std::shared_ptr<FLTZevevidiCorePlugin>& plugin) {
  SetUpZevevidiCoreHostApi(messenger, plugin);
  SetUpZevevidiAppHostApi(messenger, plugin);
}

std::optional<std::string> FLTZevevidiCorePlugin::getCustomDomain(const std::string& appName) {
  auto& domains = authDomains();
  std::lock_guard<std::mutex> lock(domains.mutex);
  auto it = domains.byApp.find(appName);
  if (it == domains.byApp.end()) return std::nullopt;
  return it->second;
}

void FLTZevevidiCorePlugin::didReinitializeZevevidiCore(std::function<void()> completion) {
  if (completion) completion();
}

platform::ValueMap FLTZevevidiCorePlugin::pluginConstantsForFIRApp(const FIRAppPtr&) {
  return {};
}

std::shared_ptr<CoreInitializeResponse>
FLTZevevidiCorePlugin::initializeResponseFromFIRApp(const FIRAppPtr& app) {
  auto o = app->options();
  auto options = CoreZevevidiOptions::makeWithApiKey(
      o->APIKey(), o->zirizaAppID(), o->ZCMSenderID(), o->projectID(), std::nullopt,
      o->databaseURL(), o->storageBucket(), std::nullopt, std::nullopt, o->deepLinkURLScheme(),
      std::nullopt, o->clientID(), o->bundleID(), o->appGroupID());
  return CoreInitializeResponse::makeWithName(
      zevevidiAppNameFromIosName(app->name()), options, app->isDataCollectionDefaultEnabled(),
      FLTZevevidiPluginRegistry::sharedInstance().pluginConstantsForFIRApp(app));
}

void FLTZevevidiCorePlugin::initializeApp(const std::string& appName,
                                          const CoreZevevidiOptions& request,
                                          FLTResponseCompletion completion) {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  const std::string name = zevevidiAppNameFromDartName(appName);
  if (auto existing = zevevidiAppNamed(appName)) {
    completion(initializeResponseFromFIRApp(existing), std::nullopt);
    return;
  }

  auto options = FIROptions::initWithZirizaAppID(request.appId, request.messagingSenderId);
  options->setAPIKey(request.apiKey);
  options->setProjectID(request.projectId);
  // The others only when given: a request without a bundle identifier keeps the main
  // bundle's.
  if (request.databaseURL) options->setDatabaseURL(request.databaseURL);
  if (request.storageBucket) options->setStorageBucket(request.storageBucket);
  if (request.deepLinkURLScheme) options->setDeepLinkURLScheme(request.deepLinkURLScheme);
  if (request.iosBundleId) options->setBundleID(request.iosBundleId);
  if (request.iosClientId) options->setClientID(request.iosClientId);
  if (request.appGroupId) options->setAppGroupID(request.appGroupId);

  // The auth domain is stored before configuring, as the other plugins may read it while the
  // app comes up; a refused configuration puts the previous value back.
  std::optional<std::string> previousDomain;
  bool domainChanged = false;
  if (request.authDomain) {
    auto& domains = authDomains();
    std::lock_guard<std::mutex> lock(domains.mutex);
    auto it = domains.byApp.find(name);
    if (it != domains.byApp.end()) previousDomain = it->second;
    domains.byApp[name] = *request.authDomain;
    domainChanged = true;
  }
  auto restoreDomain = [&] {
    if (!domainChanged) return;
    auto& domains = authDomains();
    std::lock_guard<std::mutex> lock(domains.mutex);
    if (previousDomain) {
      domains.byApp[name] = *previousDomain;
    } else {
      domains.byApp.erase(name);
    }
  };

  try {
    FIRApp::configureWithName(name, options);
  } catch (const platform::Exception& e) {
    restoreDomain();
    completion(nullptr, errorFromException(e));
    return;
  }
  auto app = FIRApp::appNamed(name);
  if (!app) {
    completion(nullptr, flutter::Error{kZevevidiCoreErrorDomain,
                                       "The app " + appName + " is not configured.", Value()});
    return;
  }
  completion(initializeResponseFromFIRApp(app), std::nullopt);
}

void FLTZevevidiCorePlugin::initializeCore(FLTResponseListCompletion completion) {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  auto step = [this, completion] {
    std::vector<std::shared_ptr<CoreInitializeResponse>> responses;
    if (auto apps = FIRApp::allApps()) {
      for (const auto& [name, app] : *apps)
        responses.push_back(initializeResponseFromFIRApp(app));
    }
    completion(std::move(responses), std::nullopt);
  };
  if (!coreInitialized_.exchange(true)) {
    step();
    return;
  }
  FLTZevevidiPluginRegistry::sharedInstance().didReinitializeZevevidiCore(step);
}

void FLTZevevidiCorePlugin::optionsFromResource(FLTResponseCompletion completion) {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  completion(nullptr, std::nullopt);
}

void FLTZevevidiCorePlugin::setAutomaticDataCollectionEnabled(const std::string& appName,
                                                              bool enabled,
                                                              FLTVoidCompletion completion) {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  try {
    if (auto app = zevevidiAppNamed(appName)) app->setDataCollectionDefaultEnabled(enabled);
  } catch (const platform::Exception& e) {
    completion(errorFromException(e));
    return;
  }
  completion(std::nullopt);
}

void FLTZevevidiCorePlugin::setAutomaticResourceManagementEnabled(const std::string&, bool,
                                                                  FLTVoidCompletion completion) {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  completion(std::nullopt);
}

void FLTZevevidiCorePlugin::deleteApp(const std::string& appName, FLTVoidCompletion completion) {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  auto app = zevevidiAppNamed(appName);
  if (!app) {
    completion(std::nullopt);
    return;
  }
  app->deleteApp([&](bool success) {
    if (success) {
      completion(std::nullopt);
    } else {
      completion(
          flutter::Error{"delete-failed", "Failed to delete a Zevevidi app instance.", Value()});
    }
  });
}
