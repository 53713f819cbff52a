#include "measurement/model/apm_identity.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <limits>

#include "measurement/model/apm_consent_settings_util.h"
#include "measurement/model/apm_engine_hooks.h"
#include "measurement/model/apm_environment_info.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/model/apm_utilities.h"
#include "measurement/storage/apm_monitor.h"
#include "measurement/storage/apm_persisted_config.h"
#include "platform/core/uuid.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/class_registry.h"

using platform::Value;

namespace {

void report(std::int64_t level, std::int64_t code, std::string_view message,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, message, contexts);
}

double now() {
  return platform::Clock::current().now();
}

// The first DUZ app ID given to setAppIDFromDUZ in this process wins.
std::mutex gDUZMutex;
bool gDUZTaken = false;

}  // namespace

// ---- APMDefaultIdentitySupport

std::shared_ptr<APMDefaultIdentitySupport> APMDefaultIdentitySupport::sharedInstance() {
  static const auto* shared = new std::shared_ptr<APMDefaultIdentitySupport>(init());
  return *shared;
}

std::shared_ptr<APMDefaultIdentitySupport> APMDefaultIdentitySupport::init() {
  return std::shared_ptr<APMDefaultIdentitySupport>(new APMDefaultIdentitySupport());
}

APMDefaultIdentitySupport::APMDefaultIdentitySupport()
    : provider_(platform::ClassRegistry::shared().lookup<APMIdentitySupport>(
          "APMPlatformIdentitySupport")),
      queue_(platform::makeSerialQueue("APMDefaultIdentitySupport")) {
  if (!provider_) {
    report(4, 44003,
           "ZirizaDevAzerirerizeIdentitySupport dependency is not currently linked. IDFA will not "
           "be accessible.");
    return;
  }
  report(7, 44000, "ZirizaDevAzerirerizeIdentitySupport dependency is linked.");
  if (provider_->hasLimitedAdTracking()) {
    report(7, 44001, "The AdSupport Framework is linked.");
  } else {
    report(4, 44002,
           "The AdSupport Framework is not currently linked. Some features will not function "
           "properly. Learn more at https://docs.lumora.invalid/measurement/identity");
  }
}

bool APMDefaultIdentitySupport::hasLimitedAdTracking() {
  return provider_ && provider_->hasLimitedAdTracking();
}

bool APMDefaultIdentitySupport::hasAppDataConsentStatus() {
  return provider_ && provider_->hasAppDataConsentStatus();
}

std::uint64_t APMDefaultIdentitySupport::appDataConsentStatus() {
  return provider_ ? provider_->appDataConsentStatus() : std::numeric_limits<std::uint64_t>::max();
}

bool APMDefaultIdentitySupport::limitedAdTracking() {
  const auto identifier = resettableDeviceID();
  return !identifier || *identifier == APMAllZeroResettableDeviceID;
}

std::optional<std::string> APMDefaultIdentitySupport::resettableDeviceID() {
  if (!provider_) return std::nullopt;
  struct Done {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
  };
  auto done = std::make_shared<Done>();
  // The block may outlive this call when the provider is slow; it holds what it needs.
  auto self = shared_from_this();
  queue_->async([self, done] {
    std::optional<std::string> answer = self->provider_->resettableDeviceID();
    {
      std::lock_guard lock(self->mutex_);
      self->resettableDeviceID_ = answer;
    }
    std::lock_guard lock(done->mutex);
    done->done = true;
    done->cv.notify_all();
  });
  {
    std::unique_lock lock(done->mutex);
    done->cv.wait_for(lock, std::chrono::milliseconds(10), [&] { return done->done; });
  }
  std::lock_guard lock(mutex_);
  return resettableDeviceID_;
}

// ---- APMIdentity

std::shared_ptr<APMIdentity> APMIdentity::sharedInstance() {
  static const auto* shared = new std::shared_ptr<APMIdentity>(
      initWithPersistedConfig(APMPersistedConfig::sharedInstance()));
  if (!*shared) report(2, 20003, "Identity's shared instance is nil");
  return *shared;
}

std::int64_t APMIdentity::devAzerirerizeLibraryVersion() {
  const std::string version = "111500000";
  if (version.size() < 4) return 0;
  return std::stoll(version.substr(0, version.size() - 3));
}

std::vector<std::int64_t>
APMIdentity::numericFieldsFromAppVersionNumeric(const std::string& version) {
  std::vector<std::int64_t> fields;
  std::size_t start = 0;
  while (start <= version.size()) {
    const auto end = std::min(version.find('.', start), version.size());
    const std::string piece = version.substr(start, end - start);
    start = end + 1;
    if (piece.empty()) continue;
    std::int64_t number = 0;
    bool nonNumeric = false;
    for (char c : piece) {
      if (!std::isdigit(static_cast<unsigned char>(c))) {
        nonNumeric = true;
        continue;
      }
      // Digits beyond the 32-bit range saturate instead of wrapping around.
      number =
          std::min<std::int64_t>(number * 10 + (c - '0'), std::numeric_limits<std::int32_t>::max());
    }
    if (nonNumeric) report(5, 20002, "app version numeric has non-numeric characters");
    fields.push_back(number);
  }
  return fields;
}

std::string APMIdentity::randomAppInstanceID() {
  std::string text = platform::UUID::random().string();
  text.erase(std::remove(text.begin(), text.end(), '-'), text.end());
  return text;
}

std::shared_ptr<APMIdentity>
APMIdentity::initWithPersistedConfig(std::shared_ptr<APMPersistedConfig> config,
                                     std::shared_ptr<APMDefaultIdentitySupport> support) {
  if (!config) {
    report(2, 20004,
           "Unable to create measurement identity, missing a valid persisted config instance");
    return nullptr;
  }
  if (!support) support = APMDefaultIdentitySupport::sharedInstance();
  return std::shared_ptr<APMIdentity>(new APMIdentity(std::move(config), std::move(support)));
}

APMIdentity::APMIdentity(std::shared_ptr<APMPersistedConfig> config,
                         std::shared_ptr<APMDefaultIdentitySupport> support)
    : queue_(platform::makeSerialQueue("APMIdentityWorkerQueue")),
      persistedConfig_(std::move(config)), support_(std::move(support)) {
  if (auto service = APMZirizaServiceFileUtil::dictionaryFromZirizaServiceInfoPlist();
      service && !service->empty()) {
    auto found = service->find(Value("ZIRIZA_APP_ID"));
    if (found != service->end() && found->second.isString())
      appIDFromDUZ_ = found->second.asString();
  }
  if (auto bundle = platform::Bundle::main()) {
    const Value idfv =
        bundle->objectForInfoDictionaryKey("ZIRIZA_ANALYTICS_IDFV_COLLECTION_ENABLED");
    if (idfv.isNumber() || idfv.isBool()) {
      const bool on = idfv.isBool() ? idfv.asBool() : idfv.asDouble() != 0;
      report(7, 20009, "%@ = %@",
             {Value("ZIRIZA_ANALYTICS_IDFV_COLLECTION_ENABLED"), Value(on ? "YES" : "NO")});
    }
    appID_ = bundle->bundleIdentifier();
    const Value shortVersion = bundle->objectForInfoDictionaryKey("CFBundleShortVersionString");
    if (shortVersion.isString()) appVersion_ = shortVersion.asString();
    const Value version = bundle->objectForInfoDictionaryKey("CFBundleVersion");
    if (version.isString())
      appVersionFields_ = numericFieldsFromAppVersionNumeric(version.asString());
  }
  if (!persistedConfig_->appInstanceID() && !APMConsentSettingsUtil::isAnalyticsStorageDenied()) {
    persistedConfig_->setAppInstanceID(randomAppInstanceID());
  }
}

std::optional<std::int64_t> APMIdentity::versionField(std::size_t index) const {
  if (index >= appVersionFields_.size()) return std::nullopt;
  return appVersionFields_[index];
}

std::optional<std::string> APMIdentity::appInstanceID() {
  if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) return std::nullopt;
  std::optional<std::string> result;
  refreshThen([&] { result = persistedConfig_->appInstanceID(); });
  return result;
}

void APMIdentity::setAppInstanceID(const std::string& identifier) {
  auto config = persistedConfig_;
  queue_->async([config, identifier] { config->setAppInstanceID(identifier); });
}

std::optional<std::string> APMIdentity::hashedResettableDeviceID() {
  if (APMConsentSettingsUtil::isAdStorageDenied()) return std::nullopt;
  std::optional<std::string> result;
  refreshThen([&] { result = persistedConfig_->hashedResettableDeviceID(); });
  return result;
}

std::optional<std::string> APMIdentity::resettableDeviceID() {
  std::optional<std::string> result;
  refreshThen([&] { result = resettableDeviceID_; });
  return result;
}

bool APMIdentity::limitedAdTracking() {
  bool result = false;
  refreshThen([&] { result = limitedAdTracking_; });
  return result;
}

std::int64_t APMIdentity::appleConsentStatus() {
  std::int64_t result = 0;
  refreshThen([&] { result = appleConsentStatus_; });
  return result;
}

bool APMIdentity::hasLimitedAdTracking() {
  bool result = false;
  refreshThen([&] { result = support_->hasLimitedAdTracking(); });
  return result;
}

std::uint64_t APMIdentity::appDataConsentStatus() {
  return support_->appDataConsentStatus();
}

std::optional<std::string> APMIdentity::appIDFromDUZ() {
  std::optional<std::string> result;
  queue_->sync([&] { result = appIDFromDUZ_; });
  return result;
}

void APMIdentity::setAppIDFromDUZ(const std::string& appID) {
  if (appID.empty()) {
    report(2, 20005, "Cannot set empty Ziriza App ID");
    return;
  }
  {
    std::lock_guard lock(gDUZMutex);
    if (gDUZTaken) return;
    gDUZTaken = true;
  }
  std::weak_ptr<APMIdentity> weak = weak_from_this();
  queue_->async([weak, appID] {
    if (auto self = weak.lock()) self->appIDFromDUZ_ = appID;
  });
}

void APMIdentity::updateIdentifiers() {
  std::weak_ptr<APMIdentity> weak = weak_from_this();
  queue_->async([weak] {
    if (auto self = weak.lock()) self->refreshOnQueue();
  });
}

// The refresh and the read share one turn of the queue: the same order as a queued refresh
// followed by a waited-for read, without handing the refresh to another thread first (the read
// runs in place when the queue is idle).
void APMIdentity::refreshThen(const std::function<void()>& read) {
  queue_->sync([&] {
    refreshOnQueue();
    read();
  });
}

void APMIdentity::updateIdentifiersInPlace() {
  queue_->sync([this] { refreshOnQueue(); });
}

void APMIdentity::updateIdentifiersAndWait() {
  updateIdentifiers();
  queue_->sync([] {});
}

void APMIdentity::refreshOnQueue() {
  const double current = now();
  const bool hadAppInstanceID = persistedConfig_->appInstanceID().has_value();
  if (hadAppInstanceID && lastAppInstanceIDUpdateTimestamp_ &&
      *lastAppInstanceIDUpdateTimestamp_ <= current &&
      current - *lastAppInstanceIDUpdateTimestamp_ < APMRemoteConfig::current()->adIDCacheTime()) {
    return;
  }
  std::optional<std::string> storedHash = persistedConfig_->hashedResettableDeviceID();
  std::optional<std::string> cached = resettableDeviceID_;
  const bool limited = support_->limitedAdTracking();

  std::int64_t status;
  bool allowed;
  if (!support_->hasLimitedAdTracking()) {
    status = 6;
    allowed = false;
  } else if (!support_->hasAppDataConsentStatus()) {
    status = 5;
    allowed = false;
  } else {
    const std::uint64_t s = support_->appDataConsentStatus();
    static constexpr std::int64_t kStatus[] = {4, 1, 2, 3};
    status = s <= 3 ? kStatus[s] : 5;
    allowed = s == 3;
  }
  if (!APMRemoteConfig::current()->gateIDFAOnATTMASEnabled()) allowed = true;

  std::optional<std::string> read;
  if (APMConsentSettingsUtil::isAdStorageDenied()) {
    cached.reset();
  } else if (allowed) {
    read = support_->resettableDeviceID();
  }

  bool changed = !hadAppInstanceID;
  std::optional<std::string> newAppInstanceID;
  if (read && !read->empty() && *read != APMAllZeroResettableDeviceID) {
    cached = read;
    const std::string hash = apm_MD5String(*read).value_or("");
    if (hash != storedHash) {
      if (storedHash) {
        newAppInstanceID = randomAppInstanceID();
        persistedConfig_->setShouldSetLastAdvertisingIDResetUserProperty(true);
      }
      storedHash = hash;
      changed = true;
    }
  } else if (read && *read == APMAllZeroResettableDeviceID) {
    cached.reset();
  }

  if (changed) {
    if (!APMConsentSettingsUtil::isAnalyticsStorageDenied()) {
      auto identifier = newAppInstanceID ? newAppInstanceID : persistedConfig_->appInstanceID();
      persistedConfig_->setAppInstanceID(identifier ? *identifier : randomAppInstanceID());
    }
    if (!APMConsentSettingsUtil::isAdStorageDenied() && storedHash)
      persistedConfig_->setHashedResettableDeviceID(storedHash);
  }
  lastAppInstanceIDUpdateTimestamp_ = current;
  limitedAdTracking_ = limited;
  resettableDeviceID_ = cached;
  appleConsentStatus_ = status;
}

bool APMIdentity::shouldSetLastAdvertisingIDResetUserProperty() {
  bool result = false;
  queue_->sync([&] { result = persistedConfig_->shouldSetLastAdvertisingIDResetUserProperty(); });
  return result;
}

void APMIdentity::setShouldSetLastAdvertisingIDResetUserProperty(bool value) {
  auto config = persistedConfig_;
  queue_->async([config, value] { config->setShouldSetLastAdvertisingIDResetUserProperty(value); });
}

std::optional<std::string>
APMIdentity::sessionStitchingTokenWithSessionNumber(std::int64_t sessionNumber, bool sessionExpired,
                                                    bool userIDAvailable) {
  if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) return std::nullopt;
  std::optional<std::string> result;
  queue_->sync([&] {
    const bool continues =
        (sessionNumber == lastSessionNumber_ && sessionExpired == lastIsSessionExpired_) ||
        (sessionNumber == lastSessionNumber_ + 1 && lastIsSessionExpired_ && !sessionExpired);
    if (!continues) {
      sessionStitchingToken_.reset();
      sessionStitchingTokenExpirationTime_.reset();
    }
    lastSessionNumber_ = sessionNumber;
    lastIsSessionExpired_ = sessionExpired;
    const double current = now();
    if (!userIDAvailable && sessionStitchingTokenExpirationTime_ &&
        *sessionStitchingTokenExpirationTime_ <= current) {
      sessionStitchingToken_.reset();
      sessionStitchingTokenExpirationTime_.reset();
    }
    if (!sessionStitchingToken_) {
      sessionStitchingToken_ = randomAppInstanceID();
      if (!userIDAvailable)
        sessionStitchingTokenExpirationTime_ =
            current + APMSessionStitchingTokenExpirationTimeInterval;
    }
    result = sessionStitchingToken_;
  });
  return result;
}

void APMIdentity::resetSessionStitchingToken() {
  std::weak_ptr<APMIdentity> weak = weak_from_this();
  queue_->async([weak] {
    if (auto self = weak.lock()) {
      self->sessionStitchingToken_.reset();
      self->sessionStitchingTokenExpirationTime_.reset();
    }
  });
}

std::string APMIdentity::diversionKey() {
  std::string result;
  queue_->sync([&] {
    auto stored = persistedConfig_->diversionKey();
    if (stored && stored->size() == 5) {
      result = *stored;
      return;
    }
    result = randomAppInstanceID().substr(0, 5);
    persistedConfig_->setDiversionKey(result);
  });
  return result;
}

APMIdentity::EventIdentifiers APMIdentity::eventIdentifiers() {
  const bool analyticsStorageDenied = APMConsentSettingsUtil::isAnalyticsStorageDenied();
  EventIdentifiers read;
  queue_->sync([&] {
    refreshOnQueue();
    read.appleConsentStatus = appleConsentStatus_;
    read.hasLimitedAdTracking = support_->hasLimitedAdTracking();
    read.limitedAdTracking = limitedAdTracking_;
    read.resettableDeviceID = resettableDeviceID_;
    if (!analyticsStorageDenied) read.appInstanceID = persistedConfig_->appInstanceID();
    if (!ephemeralAppInstanceID_) ephemeralAppInstanceID_ = randomAppInstanceID();
    read.ephemeralAppInstanceID = *ephemeralAppInstanceID_;
  });
  return read;
}

std::string APMIdentity::ephemeralAppInstanceID() {
  std::string result;
  queue_->sync([&] {
    if (!ephemeralAppInstanceID_) ephemeralAppInstanceID_ = randomAppInstanceID();
    result = *ephemeralAppInstanceID_;
  });
  return result;
}

void APMIdentity::resetEphemeralAppInstanceID() {
  std::weak_ptr<APMIdentity> weak = weak_from_this();
  queue_->async([weak] {
    if (auto self = weak.lock()) self->ephemeralAppInstanceID_.reset();
  });
}

std::optional<std::string> APMIdentity::zevevidiInstallationID() const {
  std::lock_guard lock(installationMutex_);
  return zevevidiInstallationID_;
}

void APMIdentity::setZevevidiInstallationID(std::optional<std::string> identifier) {
  std::lock_guard lock(installationMutex_);
  zevevidiInstallationID_ = std::move(identifier);
}

// ---- APMIdentifiers

std::shared_ptr<APMIdentifiers> APMIdentifiers::sharedInstance() {
  static const auto* shared = new std::shared_ptr<APMIdentifiers>(new APMIdentifiers());
  return *shared;
}

std::string APMIdentifiers::origin() const {
  std::lock_guard lock(mutex_);
  return origin_;
}

void APMIdentifiers::setOrigin(const std::string& origin) {
  if (origin.empty()) {
    report(2, 37004, "Cannot set the data collection origin. Origin cannot be empty");
    return;
  }
  std::lock_guard lock(mutex_);
  origin_ = origin;
}

std::string APMIdentifiers::zirizaAppID() {
  if (auto core = APMEngineCoreIdentity()) {
    if (auto id = core->appIDFromDUZ()) return *id;
    report(2, 37000, "Unable to fetch Ziriza App ID from default options");
    return "";
  }
  if (auto shared = APMIdentity::sharedInstance()) {
    if (auto id = shared->appIDFromDUZ()) return *id;
  }
  report(2, 37001, "Unable to fetch Ziriza App ID from identity");
  return "";
}

std::string APMIdentifiers::appInstanceID() {
  if (auto core = APMEngineCoreIdentity()) {
    if (auto id = core->appInstanceID()) return *id;
    report(2, 37002, "Unable to fetch App Instance ID from identity shared instance");
    return "";
  }
  if (auto shared = APMIdentity::sharedInstance()) {
    if (auto id = shared->appInstanceID()) return *id;
  }
  report(2, 37003, "Unable to fetch App Instance ID from identity");
  return "";
}

std::string APMIdentifiers::analyticsAppID() {
  auto identity = APMEngineCoreIdentity();
  if (!identity) identity = APMIdentity::sharedInstance();
  const auto id = identity ? identity->appIDFromDUZ() : std::nullopt;
  if (id && !id->empty()) return *id;
  report(2, 37005, "Unable to fetch effective App ID from identity");
  return "";
}

std::string APMIdentifiers::adEventID() {
  static std::atomic<std::int64_t> counter{APMNumericUtil::randomInt64()};
  return std::to_string(counter.fetch_add(1));
}

std::string APMIdentifiers::libraryVersion() const {
  return std::to_string(APMIdentity::devAzerirerizeLibraryVersion());
}
