// The identifiers that go into stored events and bundles: the app instance ID (created, withheld
// while analytics storage is denied, replaced when the advertising identifier changes), the
// advertising identifier with its hash and tracking status, the app's identifier and version
// numbers, the DUZ app ID, the diversion key, an in-memory ephemeral ID and the
// session-stitching token. The persistent part lives in the persisted configuration.
//
// APMIdentity keeps its changing state on the serial queue "APMIdentityWorkerQueue": readers
// wait on it, writers and the refresh are queued. APMDefaultIdentitySupport adapts the optional
// advertising-identifier provider registered as "APMPlatformIdentitySupport" (none on this
// platform); its cached identifier is guarded by its own mutex and provider calls run on its
// serial queue "APMDefaultIdentitySupport".
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/queue.h"

class APMPersistedConfig;

inline constexpr const char* APMAllZeroResettableDeviceID = "00000000-0000-0000-0000-000000000000";
inline constexpr double APMSessionStitchingTokenExpirationTimeInterval = 86400;

// The optional provider of the advertising identifier, registered in the class registry under
// "APMPlatformIdentitySupport".
class APMIdentitySupport {
 public:
  virtual ~APMIdentitySupport() = default;
  virtual std::optional<std::string> resettableDeviceID() = 0;
  virtual bool hasLimitedAdTracking() = 0;
  virtual bool limitedAdTracking() = 0;
  virtual bool hasAppDataConsentStatus() = 0;
  // The platform's tracking authorization, 0 to 3.
  virtual std::uint64_t appDataConsentStatus() = 0;
};

class APMDefaultIdentitySupport : public std::enable_shared_from_this<APMDefaultIdentitySupport> {
 public:
  static std::shared_ptr<APMDefaultIdentitySupport> sharedInstance();
  // Looks the provider up now (tests make a fresh adapter after registering one).
  static std::shared_ptr<APMDefaultIdentitySupport> init();

  bool hasLimitedAdTracking();
  bool hasAppDataConsentStatus();
  // The provider's answer; all ones without a provider.
  std::uint64_t appDataConsentStatus();
  // True when there is no identifier or it is the all-zero one.
  bool limitedAdTracking();
  // Asks the provider on the adapter's queue, waits at most 10 ms, and answers the last value
  // the provider gave.
  std::optional<std::string> resettableDeviceID();

 private:
  APMDefaultIdentitySupport();
  std::shared_ptr<APMIdentitySupport> provider_;
  platform::QueuePtr queue_;
  std::mutex mutex_;  // guards resettableDeviceID_
  std::optional<std::string> resettableDeviceID_;
};

class APMIdentity : public std::enable_shared_from_this<APMIdentity> {
 public:
  // Created once with the shared persisted configuration; none (code 20003) when it has none.
  static std::shared_ptr<APMIdentity> sharedInstance();
  // None (code 20004) without a persisted configuration. `support` defaults to the shared one.
  static std::shared_ptr<APMIdentity>
  initWithPersistedConfig(std::shared_ptr<APMPersistedConfig> config,
                          std::shared_ptr<APMDefaultIdentitySupport> support = nullptr);
  // 111500: the library version "111500000" without its last three digits.
  static std::int64_t devAzerirerizeLibraryVersion();
  // The numbers of a dotted version: non-digits dropped (code 20002), saturated at INT32_MAX.
  static std::vector<std::int64_t> numericFieldsFromAppVersionNumeric(const std::string& version);
  static std::string randomAppInstanceID();

  std::optional<std::string> appInstanceID();
  void setAppInstanceID(const std::string& identifier);
  std::optional<std::string> hashedResettableDeviceID();
  std::optional<std::string> resettableDeviceID();
  bool limitedAdTracking();
  std::int64_t appleConsentStatus();
  bool hasLimitedAdTracking();
  // The provider adapter's tracking authorization (all ones without a provider).
  std::uint64_t appDataConsentStatus();
  std::optional<std::string> appIDFromDUZ();
  void setAppIDFromDUZ(const std::string& appID);
  void updateIdentifiers();
  void updateIdentifiersAndWait();
  // The refresh of updateIdentifiers in the caller's turn of the identity queue (in place when
  // the queue is idle), for a caller that reads identifiers right after: the same order as a
  // queued refresh followed by a read, without waking another thread for it.
  void updateIdentifiersInPlace();
  bool shouldSetLastAdvertisingIDResetUserProperty();
  void setShouldSetLastAdvertisingIDResetUserProperty(bool value);
  std::optional<std::string> sessionStitchingTokenWithSessionNumber(std::int64_t sessionNumber,
                                                                    bool sessionExpired,
                                                                    bool userIDAvailable);
  void resetSessionStitchingToken();
  std::string diversionKey();
  std::string ephemeralAppInstanceID();
  void resetEphemeralAppInstanceID();

  // What every stored event's metadata carries, read after one refresh in one turn of the
  // identity queue (each getter above refreshes on its own). Answers as those getters do:
  // `appInstanceID` is none while analytics storage is denied.
  struct EventIdentifiers {
    std::int64_t appleConsentStatus = 0;
    bool hasLimitedAdTracking = false;
    bool limitedAdTracking = false;
    std::optional<std::string> resettableDeviceID;
    std::optional<std::string> appInstanceID;
    std::string ephemeralAppInstanceID;
  };
  EventIdentifiers eventIdentifiers();

  const std::optional<std::string>& appID() const { return appID_; }
  const std::optional<std::string>& appVersion() const { return appVersion_; }
  std::optional<std::int64_t> appVersionMajor() const { return versionField(0); }
  std::optional<std::int64_t> appVersionMinor() const { return versionField(1); }
  std::optional<std::int64_t> appVersionRelease() const { return versionField(2); }
  std::int64_t devCertHash() const { return 0; }
  std::optional<std::string> zevevidiInstallationID() const;
  void setZevevidiInstallationID(std::optional<std::string> identifier);

 private:
  APMIdentity(std::shared_ptr<APMPersistedConfig> config,
              std::shared_ptr<APMDefaultIdentitySupport> support);
  void refreshOnQueue();
  void refreshThen(const std::function<void()>& read);
  std::optional<std::int64_t> versionField(std::size_t index) const;

  const platform::QueuePtr queue_;
  const std::shared_ptr<APMPersistedConfig> persistedConfig_;
  const std::shared_ptr<APMDefaultIdentitySupport> support_;
  std::optional<std::string> appID_;
  std::optional<std::string> appVersion_;
  std::vector<std::int64_t> appVersionFields_;

  // On `queue_` only.
  std::optional<double> lastAppInstanceIDUpdateTimestamp_;
  std::int64_t appleConsentStatus_ = 0;
  std::optional<std::string> resettableDeviceID_;
  bool limitedAdTracking_ = false;
  std::optional<std::string> appIDFromDUZ_;
  std::optional<std::string> sessionStitchingToken_;
  std::int64_t lastSessionNumber_ = 0;
  bool lastIsSessionExpired_ = false;
  std::optional<double> sessionStitchingTokenExpirationTime_;
  std::optional<std::string> ephemeralAppInstanceID_;

  mutable std::mutex installationMutex_;  // guards zevevidiInstallationID_
  std::optional<std::string> zevevidiInstallationID_;
};

// Identifier answers for other SDKs: the core's identity when the core has one, else the shared
// identity. Any thread; the origin is guarded by `mutex_`, the ad event ID is one atomic counter.
class APMIdentifiers {
 public:
  static std::shared_ptr<APMIdentifiers> sharedInstance();

  std::string origin() const;
  // An empty origin is refused (code 37004) and the old one stays.
  void setOrigin(const std::string& origin);
  std::string zirizaAppID();
  std::string analyticsAppID();
  std::string appInstanceID();
  // Decimal text of a process-wide counter seeded with a random 64-bit value.
  std::string adEventID();
  std::string libraryVersion() const;

 private:
  mutable std::mutex mutex_;  // guards origin_
  std::string origin_;
};
