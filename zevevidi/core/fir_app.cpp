#include "zevevidi/core/fir_app.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cctype>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/core/exception.h"
#include "platform/dispatch/once.h"
#include "platform/foundation/application_notifications.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/class_registry.h"
#include "platform/foundation/preferences.h"
#include "zevevidi/core/fir_bundle_util.h"
#include "zevevidi/core/fir_configuration.h"
#include "zevevidi/core/keyed_turns.h"
#include "zevevidi/utilities/fir_logger.h"
#include "zevevidi/utilities/gul_app_environment_util.h"

using platform::Value;
using platform::ValueMap;

namespace {

constexpr const char* kConsoleAddress = "https://console.zevevidi.invalid/";
constexpr const char* kSetupDocumentationAddress = "https://zevevidi.invalid/docs/setup";

struct Registry {
  std::mutex mutex;  // the registry lock
  std::optional<std::map<std::string, FIRAppPtr>> allApps;
  // A name is held while an app of that name is configured or deleted.
  zevevidi_core_internal::KeyedTurns names;
  std::mutex defaultMutex;  // guards only the default-app slot
  FIRAppPtr defaultApp;
  platform::OnceGuard libraryScan;
  platform::OnceGuard infoPlistSwitch;
  std::optional<bool> infoPlistDataCollection;
};

Registry& registry() {
  static auto* r = [] {
    // The options ask the registry for the default app's data collection through this source.
    FIROptions::setDefaultAppDataCollectionSource([]() -> std::optional<bool> {
      if (auto app = FIRApp::defaultAppIfConfigured()) return app->isDataCollectionDefaultEnabled();
      return std::nullopt;
    });
    return new Registry();
  }();
  return *r;
}

void setDefaultApp(FIRAppPtr app) {
  auto& r = registry();
  std::lock_guard<std::mutex> lock(r.defaultMutex);
  r.defaultApp = std::move(app);
}

[[noreturn]] void raise(const std::string& reason) {
  throw platform::Exception(kZevevidiCoreErrorDomain, reason);
}

// The registered app of that name, or null. Registry lock held.
FIRAppPtr registeredLocked(Registry& r, const std::string& name) {
  if (!r.allApps) return nullptr;
  auto it = r.allApps->find(name);
  return it == r.allApps->end() ? nullptr : it->second;
}

FIRAppPtr registered(const std::string& name) {
  auto& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return registeredLocked(r, name);
}

// Gives the name back when the work on it ends, however it ends.
class NameTurn {
 public:
  explicit NameTurn(std::string name) : name_(std::move(name)) {}
  ~NameTurn() {
    if (name_.empty()) return;
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.names.give(name_);
  }
  NameTurn(const NameTurn&) = delete;
  NameTurn& operator=(const NameTurn&) = delete;
  // Gives the name back now (before notifying and completing, which may configure it again).
  void give() {
    NameTurn done(std::move(name_));
    name_.clear();
  }

 private:
  std::string name_;
};

// Every code point is alphanumeric (Unicode) or one of `extra`; invalid UTF-8 fails.
bool onlyAllowedCharacters(const std::string& text, const char* extra) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  int32_t length = static_cast<int32_t>(text.size());
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) return false;
    if (u_isalnum(c)) continue;
    if (c < 0x80 && std::strchr(extra, static_cast<char>(c)) && c != 0) continue;
    return false;
  }
  return true;
}

// A boolean read from a number-like value (booleans and numbers); none for other kinds.
std::optional<bool> numberAsBool(const Value& v) {
  if (v.isBool()) return v.asBool();
  double d = 0;
  if (v.isNumber() && v.toDouble(&d)) return d != 0;
  return std::nullopt;
}

// Scanner over text that skips no characters.
struct Scanner {
  const std::string& s;
  std::size_t pos = 0;
  bool atEnd() const { return pos >= s.size(); }
  bool scanString(const std::string& literal) {
    if (s.compare(pos, literal.size(), literal) != 0) return false;
    pos += literal.size();
    return true;
  }
  bool scanDigits(std::string* out) {
    std::size_t start = pos;
    while (pos < s.size() && std::isdigit(static_cast<unsigned char>(s[pos])))
      ++pos;
    if (out) *out = s.substr(start, pos - start);
    return pos > start;
  }
  // An optional sign, then digits.
  bool scanInteger() {
    std::size_t start = pos;
    if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) ++pos;
    if (!scanDigits(nullptr)) {
      pos = start;
      return false;
    }
    return true;
  }
  // An optional "0x" / "0X", then hexadecimal digits.
  bool scanHex() {
    std::size_t start = pos;
    if (s.compare(pos, 2, "0x") == 0 || s.compare(pos, 2, "0X") == 0) pos += 2;
    std::size_t digits = pos;
    while (pos < s.size() && std::isxdigit(static_cast<unsigned char>(s[pos])))
      ++pos;
    if (pos == digits) {
      // "0x" without digits still reads the "0".
      pos = start;
      if (pos < s.size() && s[pos] == '0') {
        ++pos;
        return true;
      }
      return false;
    }
    return true;
  }
  bool scanUpTo(char c, std::string* out) {
    std::size_t start = pos;
    while (pos < s.size() && s[pos] != c)
      ++pos;
    *out = s.substr(start, pos - start);
    return pos > start;
  }
};

bool validateAppIDFormat(const std::string& appID, const std::string& version) {
  Scanner sc{appID};
  std::string platformName;
  return sc.scanString(version) && sc.scanString(":") && sc.scanInteger() && sc.scanString(":") &&
         sc.scanUpTo(':', &platformName) && platformName == "ios" && sc.scanString(":") &&
         sc.scanHex() && sc.atEnd();
}

bool validateBundleIDHashWithinAppID(const std::string& appID, const std::string& version) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    auto colon = appID.find(':', start);
    parts.push_back(appID.substr(start, colon == std::string::npos ? colon : colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  if (parts.size() != 4 || parts[3].empty()) return false;
  Scanner sc{parts[3]};
  if (!sc.scanHex()) return false;
  return version == "1";
}

struct LibraryRow {
  const char* className;
  const char* libraryName;
};

constexpr LibraryRow kRegistrantLibraries[] = {
    {"FIRSessions", "zev-ses"},
    {"FIRAuthComponent", "zev-auth"},
};
constexpr LibraryRow kUserAgentLibraries[] = {
    {"FIRCombineAuthLibrary", "comb-auth"},
    {"FIRCombineDocstoreLibrary", "comb-docstore"},
    {"FIRCombineFunctionsLibrary", "comb-functions"},
    {"FIRCombineStorageLibrary", "comb-storage"},
    {"FIRFunctions", "zev-fun"},
    {"FIRStorage", "zev-str"},
    {"FIRModelAIComponent", "zev-modelai"},
    {"FIRDataConnectComponent", "zev-dc"},
};

}  // namespace

const void* FIRApp::classObject() {
  static const char tag = 0;
  return &tag;
}

FIRApp::FIRApp(Private, const std::string& name, const FIROptionsPtr& options)
    : name_(name), options_(options->copy()), isDefaultApp_(name == kFIRDefaultAppName) {
  options_->setEditingLocked(true);
  heartbeatLogger_ = std::make_shared<FIRHeartbeatLogger>(options_->zirizaAppID().value_or(""));
}

FIRApp::~FIRApp() {
  stopObserving();
}

void FIRApp::stopObserving() {
  std::lock_guard<std::mutex> lock(observerMutex_);
  if (becomeActiveToken_) {
    platform::NotificationCenter::defaultCenter().removeObserver(becomeActiveToken_);
    becomeActiveToken_ = {};
  }
}

std::shared_ptr<FIRHeartbeatLoggerProtocol> FIRApp::heartbeatLogger() const {
  std::lock_guard<std::mutex> lock(heartbeatLoggerMutex_);
  return heartbeatLogger_;
}

void FIRApp::setHeartbeatLoggerForTesting(std::shared_ptr<FIRHeartbeatLoggerProtocol> logger) {
  std::lock_guard<std::mutex> lock(heartbeatLoggerMutex_);
  heartbeatLogger_ = std::move(logger);
}

FIRAppPtr FIRApp::initInstanceWithName(const std::string& name, const FIROptionsPtr& options) {
  auto app = std::make_shared<FIRApp>(Private{}, name, options);
  // The container needs the finished app (its name and options) to pick its registrants.
  app->container_ = std::make_shared<FIRComponentContainer>(app);
  return app;
}

void FIRApp::configure() {
  auto options = FIROptions::defaultOptions();
  if (!options) {
    raise(std::string("`ZevevidiApp.configure()` could not find a valid ZirizaService-Info.plist "
                      "in your project. Please download one from ") +
          kConsoleAddress + ".");
  }
  configureWithOptions(options);
}

void FIRApp::configureWithOptions(const FIROptionsPtr& options) {
  if (!options) raise("Options is nil. Please pass a valid options.");
  configureWithName(kFIRDefaultAppName, options);
}

void FIRApp::configureWithName(const std::string& name, const FIROptionsPtr& options) {
  if (!options) raise("Neither name nor options can be nil.");
  if (name.empty()) raise("Name cannot be empty.");
  auto& r = registry();

  if (name == kFIRDefaultAppName) {
    if (auto existing = defaultAppIfConfigured()) {
      appWasConfiguredTwice(existing, options);
      return;
    }
    FIRLogDebug(kFIRLoggerCore, "I-COR000001", "Configuring the default app.");
  } else {
    if (!onlyAllowedCharacters(name, "-_")) {
      raise("App name can only contain alphanumeric, hyphen (-), and underscore (_) characters");
    }
    if (auto existing = registered(name)) {
      appWasConfiguredTwice(existing, options);
      return;
    }
    FIRLogDebug(kFIRLoggerCore, "I-COR000002", "Configuring app named %s", name.c_str());
  }

  r.libraryScan.run([] { registerSwiftComponents(); });

  // Decided under the registry lock: whether the name is free, and that this thread configures
  // it. Everything that calls out (analytics, eager components, observers) runs after the lock
  // is released, with the name held so that no other thread configures or deletes it meanwhile.
  FIRAppPtr existing;
  bool nested = false;
  {
    std::unique_lock<std::mutex> lock(r.mutex);
    // Another thread may have configured the name since the check above, or be doing so now:
    // its turn ends before this one starts.
    nested = r.names.take(lock, name);
    existing = registeredLocked(r, name);
    if (existing || nested) {
      r.names.give(name);
    } else if (!r.allApps) {
      r.allApps.emplace();
    }
  }
  if (existing) {
    appWasConfiguredTwice(existing, options);
    return;
  }
  if (nested) {
    // Configuring the name from inside its own configuration.
    if (name == kFIRDefaultAppName) raise("Default app has already been configured.");
    raise("App named " + name + " has already been configured.");
  }
  NameTurn turn(name);

  FIRAppPtr app = initInstanceWithName(name, options);
  if (app->isDefaultApp()) setDefaultApp(app);

  // Undoes everything done for this app so far; the registry is as it was before.
  auto rollBack = [&] {
    app->stopObserving();
    {
      std::lock_guard<std::mutex> lock(r.mutex);
      if (registeredLocked(r, name) == app) r.allApps->erase(name);
    }
    if (app->isDefaultApp()) {
      std::lock_guard<std::mutex> defaultLock(r.defaultMutex);
      if (r.defaultApp == app) r.defaultApp.reset();
    }
    app->container_->removeAllComponents();
    app->container_->removeAllCachedInstances();
  };

  try {
    if (!app->configureCore()) {
      raise("Configuration fails. It may be caused by an invalid ZIRIZA_APP_ID in "
            "ZirizaService-Info.plist or set in the customized options.");
    }
    {
      std::lock_guard<std::mutex> lock(r.mutex);
      if (!r.allApps) r.allApps.emplace();
      (*r.allApps)[name] = app;
    }
    app->container_->instantiateEagerComponents();
  } catch (...) {
    rollBack();
    throw;
  }
  turn.give();

  ValueMap userInfo;
  userInfo[Value(kFIRAppNameKey)] = Value(app->name());
  userInfo[Value(kFIRAppIsDefaultAppKey)] = Value(app->isDefaultApp());
  if (auto appID = app->options_->zirizaAppID())
    userInfo[Value(kFIRZirizaAppIDKey)] = Value(*appID);
  platform::NotificationCenter::defaultCenter().postNotificationName(
      kFIRAppReadyToConfigureSDKNotification, classObject(), std::move(userInfo));
}

void FIRApp::appWasConfiguredTwice(const FIRAppPtr& app, const FIROptionsPtr& options) {
  if (!GULAppEnvironmentUtil::isAppExtension()) {
    if (app->isDefaultApp()) raise("Default app has already been configured.");
    raise("App named " + app->name() + " has already been configured.");
  }
  if (options && app->options_->isEqualToOptions(*options)) {
    FIRLogDebug(kFIRLoggerCore, "I-COR000035", "Ignoring second `configure` call in an extension.");
    return;
  }
  raise("App named " + app->name() + " has already been configured.");
}

bool FIRApp::configureCore() {
  auto bundleID = options_->bundleID();
  if (bundleID &&
      !FIRBundleUtil::hasBundleIdentifierPrefix(*bundleID, FIRBundleUtil::relevantBundles())) {
    FIRLogError(kFIRLoggerCore, "I-COR000008",
                "The project's Bundle ID is inconsistent with either the Bundle ID in '%s.%s', or "
                "the Bundle ID in the options if you are using a customized options. To ensure "
                "that everything can be configured correctly, you may need to make the Bundle IDs "
                "consistent. To continue with this plist file, you may change your app's bundle "
                "identifier to '%s'. Or you can download a new configuration file that matches "
                "your bundle identifier from %s and replace the current one.",
                kServiceInfoFileName, kServiceInfoFileType, bundleID->c_str(), kConsoleAddress);
  }

  if (!validateAppID(options_->zirizaAppID().value_or(""))) {
    FIRLogError(kFIRLoggerCore, "I-COR000009",
                "The ZIRIZA_APP_ID either in the plist file '%s.%s' or the one set in the "
                "customized options is invalid. If you are using the plist file, use the iOS "
                "version of bundle identifier to download the file, and do not manually edit the "
                "ZIRIZA_APP_ID. You may change your app's bundle identifier to '%s'. Or you can "
                "download a new configuration file that matches your bundle identifier from %s "
                "and replace the current one.",
                kServiceInfoFileName, kServiceInfoFileType, bundleID.value_or("").c_str(),
                kConsoleAddress);
    return false;
  }

  if (isDefaultApp_) {
    auto analytics =
        platform::ClassRegistry::shared().lookup<DIDErizevizoClass>(kDIDErizevizoClassName);
    if (analytics) {
      analytics->startWithConfiguration(
          FIRConfiguration::sharedInstance()->analyticsConfiguration(), options_);
    }
  }

  std::weak_ptr<FIRApp> weak = weak_from_this();
  std::lock_guard<std::mutex> lock(observerMutex_);
  if (!becomeActiveToken_) {
    becomeActiveToken_ = platform::NotificationCenter::defaultCenter().addObserverForName(
        platform::kApplicationDidBecomeActiveNotification, nullptr,
        [weak](const platform::Notification&) {
          if (auto app = weak.lock()) app->appDidBecomeActive();
        });
  }
  return true;
}

void FIRApp::appDidBecomeActive() {
  if (!isDataCollectionDefaultEnabled()) return;
  if (auto logger = heartbeatLogger()) logger->log();
}

bool FIRApp::validateAppID(const std::string& appID) {
  if (appID.empty()) return false;
  Scanner sc{appID};
  std::string version;
  if (!sc.scanDigits(&version) || !sc.scanString(":")) return false;
  if (version != "1") {
    FIRLogInfo(kFIRLoggerCore, "I-COR000010", "Unknown ZIRIZA_APP_ID version: %s", version.c_str());
    return true;
  }
  return validateAppIDFormat(appID, version) && validateBundleIDHashWithinAppID(appID, version);
}

FIRAppPtr FIRApp::defaultAppIfConfigured() {
  auto& r = registry();
  std::lock_guard<std::mutex> lock(r.defaultMutex);
  return r.defaultApp;
}

FIRAppPtr FIRApp::defaultApp() {
  auto app = defaultAppIfConfigured();
  if (!app) {
    FIRLogError(kFIRLoggerCore, "I-COR000003",
                "The default Zevevidi app has not yet been configured. Add "
                "`ZevevidiApp.configure()` to your application initialization. This can be done "
                "in in the App Delegate's application(_:didFinishLaunchingWithOptions:)` (or the "
                "`@main` struct's initializer in SwiftUI). Read more: %s",
                kSetupDocumentationAddress);
  }
  return app;
}

bool FIRApp::isDefaultAppConfigured() {
  return defaultAppIfConfigured() != nullptr;
}

FIRAppPtr FIRApp::appNamed(const std::string& name) {
  if (auto app = registered(name)) return app;
  FIRLogError(kFIRLoggerCore, "I-COR000004", "App with name %s does not exist.", name.c_str());
  return nullptr;
}

std::optional<std::map<std::string, FIRAppPtr>> FIRApp::allApps() {
  std::optional<std::map<std::string, FIRAppPtr>> apps;
  {
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    apps = r.allApps;
  }
  if (!apps) FIRLogError(kFIRLoggerCore, "I-COR000005", "No app has been configured yet.");
  return apps;
}

void FIRApp::resetApps() {
  auto& r = registry();
  std::optional<std::map<std::string, FIRAppPtr>> forgotten;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    setDefaultApp(nullptr);
    forgotten.swap(r.allApps);
  }
  userAgent().reset();
  // The apps are released here, outside the lock: their destructors remove observers.
}

void FIRApp::resetStateForTesting() {
  auto& r = registry();
  resetApps();
  r.libraryScan.reset();
  r.infoPlistSwitch.reset();
  r.infoPlistDataCollection.reset();
}

void FIRApp::deleteApp(const std::function<void(bool)>& completion) {
  auto self = shared_from_this();  // the registry may have held the last reference
  auto& r = registry();
  // Decided under the registry lock: whether this app is the registered one, and its removal
  // from the registry. Its components hear of the deletion, its stored switch goes and the
  // observers and the completion run after the lock is released; the name stays held until the
  // stored switch is gone, so a configuration of the same name waits for the deletion.
  bool wasRegistered = false;
  {
    std::unique_lock<std::mutex> lock(r.mutex);
    r.names.take(lock, name_);
    // Only this very app: an older app object of a name configured again deletes nothing.
    if (registeredLocked(r, name_).get() == this) {
      r.allApps->erase(name_);
      if (name_ == kFIRDefaultAppName) setDefaultApp(nullptr);
      wasRegistered = true;
    } else {
      r.names.give(name_);
    }
  }
  if (!wasRegistered) {
    FIRLogError(kFIRLoggerCore, "I-COR000007", "App does not exist.");
    if (completion) completion(false);
    return;
  }
  {
    NameTurn turn(name_);
    FIRLogDebug(kFIRLoggerCore, "I-COR000006", "Deleting app named %s", name_.c_str());
    container_->removeAllComponents();
    container_->removeAllCachedInstances();
    platform::Preferences::standard()->removeObjectForKey(dataCollectionKey());
  }
  ValueMap userInfo;
  userInfo[Value(kFIRAppNameKey)] = Value(name_);
  platform::NotificationCenter::defaultCenter().postNotificationName(
      kFIRAppDeleteNotification, classObject(), std::move(userInfo));
  if (completion) completion(true);
}

std::string FIRApp::dataCollectionKey() const {
  return std::string(kFIRGlobalAppDataCollectionEnabledDefaultsKeyFormat) + name_;
}

bool FIRApp::isDataCollectionDefaultEnabled() const {
  if (auto stored =
          numberAsBool(platform::Preferences::standard()->objectForKey(dataCollectionKey()))) {
    return *stored;
  }
  auto& r = registry();
  r.infoPlistSwitch.run([&r] {
    r.infoPlistDataCollection = numberAsBool(platform::Bundle::main()->objectForInfoDictionaryKey(
        kFIRGlobalAppDataCollectionEnabledPlistKey));
  });
  return r.infoPlistDataCollection.value_or(true);
}

void FIRApp::setDataCollectionDefaultEnabled(bool enabled) {
  platform::Preferences::standard()->setBool(dataCollectionKey(), enabled);
  if (isDefaultApp_ && !options_->isAnalyticsCollectionExplicitlySet()) {
    DIDErizevizoConfiguration::sharedInstance()->setAnalyticsCollectionEnabled(enabled, false);
  }
}

FIRZevevidiUserAgent& FIRApp::userAgent() {
  static FIRZevevidiUserAgent* agent = [] {
    auto* a = new FIRZevevidiUserAgent();
    a->setValue(std::string(FIRZevevidiVersion()), "zev-ios");
    return a;
  }();
  return *agent;
}

std::string FIRApp::zevevidiUserAgent() {
  return userAgent().zevevidiUserAgent();
}

void FIRApp::registerLibrary(const std::string& name, const std::string& version) {
  if (onlyAllowedCharacters(name, "-_.") && onlyAllowedCharacters(version, "-_.") &&
      !name.empty() && !version.empty()) {
    userAgent().setValue(version, name);
    return;
  }
  FIRLogError(kFIRLoggerCore, "I-COR000027",
              "The library name (%s) or version number (%s) contain invalid characters. Only "
              "alphanumeric, dash, underscore and period characters are allowed.",
              name.c_str(), version.c_str());
}

void FIRApp::registerInternalLibrary(const FIRLibraryPtr& library, const std::string& name) {
  registerInternalLibrary(library, name, FIRZevevidiVersion());
}

void FIRApp::registerInternalLibrary(const FIRLibraryPtr& library, const std::string& name,
                                     const std::string& version) {
  if (!library) {
    throw platform::Exception(platform::kInvalidArgumentException,
                              "Class (null) attempted to register components, but it does not "
                              "conform to `FIRLibrary or provide a `componentsToRegister:` "
                              "method.");
  }
  FIRComponentContainer::registerAsComponentRegistrant(library);
  registerLibrary(name, version);
}

void FIRApp::registerSwiftComponents() {
  auto& classes = platform::ClassRegistry::shared();
  for (const auto& row : kRegistrantLibraries) {
    if (auto library = classes.lookup<const FIRLibrary>(row.className)) {
      registerInternalLibrary(library, row.libraryName);
    }
  }
  for (const auto& row : kUserAgentLibraries) {
    if (!classes.contains(row.className)) continue;
    std::optional<std::string> version;
    if (auto provider = classes.lookup<const FIRSDKVersionProviding>(row.className)) {
      version = provider->sdkVersion();
    }
    registerLibrary(row.libraryName, version.value_or(FIRZevevidiVersion()));
  }
}
