// FIRInstallationsStore: keeps installation records in the keychain (archived stored items, one
// per app identifier + app name) and, beside each, a marker in the preferences saying that the
// installation exists. A record whose marker is missing is treated as absent, so records left in
// the keychain after the preferences were cleared are never read (the next save overwrites them).
//
// Every operation returns a promise. Marker reads and writes run on the serial queue
// "com.zevevidi.FIRInstallationsStore"; keychain work runs on the keychain storage's queues;
// the steps in between continue on the main queue. The store has no other state and may be
// called from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/core/value.h"
#include "platform/dispatch/queue.h"
#include "zevevidi/installations/fir_installations_item.h"
#include "zevevidi/promises/fbl_promise.h"

class GULKeychainStorage;
class GULUserDefaults;

inline constexpr const char* kFIRInstallationsStoreUserDefaultsID = "com.zevevidi.FIRInstallations";
inline constexpr const char* kFIRInstallationsStoreQueueLabel =
    "com.zevevidi.FIRInstallationsStore";

class FIRInstallationsStore : public std::enable_shared_from_this<FIRInstallationsStore> {
 public:
  using VoidPromise = FBLPromise<platform::Value>;

  // `accessGroup` (absent or empty for none) names the keychain access group and the preference
  // suite of the markers; without it the markers live in kFIRInstallationsStoreUserDefaultsID.
  static std::shared_ptr<FIRInstallationsStore>
  initWithSecureStorage(std::shared_ptr<GULKeychainStorage> storage,
                        std::optional<std::string> accessGroup);

  // The record, or the not-found error when its marker or its archive is missing.
  FBLPromise<FIRInstallationsItem>::Ptr installationForAppID(const std::string& appID,
                                                             const std::string& appName);
  // Writes the archive, then sets the marker. A keychain failure leaves the marker as it was.
  VoidPromise::Ptr saveInstallation(const FIRInstallationsItem& installation);
  // Removes the archive, then the marker.
  VoidPromise::Ptr removeInstallationForAppID(const std::string& appID, const std::string& appName);
  // Fulfilled when the marker is present; the not-found error otherwise.
  VoidPromise::Ptr installationExistsForAppID(const std::string& appID, const std::string& appName);
  VoidPromise::Ptr setInstallationExists(bool exists, const std::string& identifier);

  const std::optional<std::string>& accessGroup() const { return accessGroup_; }
  const std::shared_ptr<GULKeychainStorage>& secureStorage() const { return secureStorage_; }

  FIRInstallationsStore(std::shared_ptr<GULKeychainStorage> storage,
                        std::optional<std::string> accessGroup);

 private:
  // The error every operation fails with when the markers have no preference suite.
  platform::ErrorPtr markerStoreError() const;

  const std::shared_ptr<GULKeychainStorage> secureStorage_;
  const std::optional<std::string> accessGroup_;
  const platform::QueuePtr queue_;
  // Null when the preferences refuse the access group as a suite name.
  const std::shared_ptr<GULUserDefaults> userDefaults_;
};
