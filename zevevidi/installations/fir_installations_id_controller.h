// FIRInstallationsIDController: owns one app's installation. It reads the stored installation or
// creates one (migrating the legacy identifier for the default app), registers it with the
// installations service, keeps its auth token fresh, deletes it on request and posts
// "FIRInstallationIDDidChangeNotification" whenever the identifier changes.
//
// Each of the four operations (get, token, forced token, delete) runs at most once at a time
// through its single-operation cache. The controller holds no lock of its own; cache locks are
// taken in the order delete -> token (forced, plain) -> get, never the other way. Continuations
// run on the main queue unless a collaborator runs its work on its own queue. Any thread may call.
#pragma once

#include <memory>
#include <string>

#include "zevevidi/installations/fir_installations_api_service.h"
#include "zevevidi/installations/fir_installations_backoff_controller.h"
#include "zevevidi/installations/fir_installations_iid_store.h"
#include "zevevidi/installations/fir_installations_item.h"
#include "zevevidi/installations/fir_installations_single_operation_promise_cache.h"
#include "zevevidi/installations/fir_installations_store.h"

class FIRApp;

inline constexpr const char* FIRInstallationIDDidChangeNotification =
    "FIRInstallationIDDidChangeNotification";
inline constexpr const char* kFIRInstallationIDDidChangeNotificationAppNameKey =
    "FIRInstallationIDDidChangeNotification";

class FIRInstallationsIDController
    : public std::enable_shared_from_this<FIRInstallationsIDController> {
 public:
  using ItemPromise = FBLPromise<FIRInstallationsItem>;
  using Cache = FIRInstallationsSingleOperationPromiseCache<FIRInstallationsItem>;

  // Builds the collaborators from the app's options, heartbeat logger and name.
  static std::shared_ptr<FIRInstallationsIDController> initWithApp(const FIRApp& app);
  static std::shared_ptr<FIRInstallationsIDController>
  initWithZirizaAppID(std::string appID, std::string appName,
                      std::shared_ptr<FIRInstallationsStore> store,
                      std::shared_ptr<FIRInstallationsAPIService> APIService,
                      std::shared_ptr<FIRInstallationsIIDStore> IIDStore,
                      std::shared_ptr<FIRInstallationsIIDTokenStore> IIDTokenStore,
                      std::shared_ptr<FIRInstallationsBackoffControllerProtocol> backoffController);

  static std::string keychainServiceWithAppID(const std::string& appID);

  // The current installation (stored, else created and saved).
  ItemPromise::Ptr getInstallationItem();
  // An installation with a valid auth token; without forced refresh a pending forced operation
  // is joined.
  ItemPromise::Ptr getAuthTokenForcingRefresh(bool forceRefresh);
  // Settles once the installation is deleted; the value is the deleted record.
  ItemPromise::Ptr deleteInstallation();

  const std::string& appID() const { return appID_; }
  const std::string& appName() const { return appName_; }

  FIRInstallationsIDController(std::string appID, std::string appName,
                               std::shared_ptr<FIRInstallationsStore> store,
                               std::shared_ptr<FIRInstallationsAPIService> APIService,
                               std::shared_ptr<FIRInstallationsIIDStore> IIDStore,
                               std::shared_ptr<FIRInstallationsIIDTokenStore> IIDTokenStore,
                               std::shared_ptr<FIRInstallationsBackoffControllerProtocol> backoff);

 private:
  bool isDefaultApp() const;
  ItemPromise::Ptr createGetInstallationItemPromise();
  ItemPromise::Ptr getStoredInstallation();
  ItemPromise::Ptr createAndSaveFID();
  ItemPromise::Ptr migrateOrGenerateInstallation();
  FIRInstallationsItem createInstallationWithFID(std::string FID,
                                                 std::optional<std::string> IIDDefaultToken) const;
  // `mayRegenerate`: whether a 401 or 404 of the token refresh may replace the installation (an
  // operation started by such a replacement may not, so the replacement happens at most once).
  ItemPromise::Ptr installationWithValidAuthTokenForcingRefresh(bool forceRefresh,
                                                                bool mayRegenerate);
  ItemPromise::Ptr registerInstallationIfNeeded(const FIRInstallationsItem& installation);
  ItemPromise::Ptr refreshAuthTokenForInstallation(const FIRInstallationsItem& installation);
  ItemPromise::Ptr regenerateFID();
  void updateBackoffWithSuccess(bool success, const platform::ErrorPtr& APIError);
  ItemPromise::Ptr createDeleteInstallationPromise();
  ItemPromise::Ptr mostRecentInstallationOperation();
  ItemPromise::Ptr deleteInstallationLocally(const FIRInstallationsItem& installation);
  void postFIDDidChangeNotification() const;

  const std::string appID_;
  const std::string appName_;
  const std::shared_ptr<FIRInstallationsStore> installationsStore_;
  const std::shared_ptr<FIRInstallationsAPIService> APIService_;
  const std::shared_ptr<FIRInstallationsIIDStore> IIDStore_;
  const std::shared_ptr<FIRInstallationsIIDTokenStore> IIDTokenStore_;
  const std::shared_ptr<FIRInstallationsBackoffControllerProtocol> backoffController_;
  // Set once by the factory, right after construction.
  std::shared_ptr<Cache> getInstallationPromiseCache_;
  std::shared_ptr<Cache> authTokenPromiseCache_;
  std::shared_ptr<Cache> authTokenForcingRefreshPromiseCache_;
  std::shared_ptr<Cache> deleteInstallationPromiseCache_;
};
