#include "zevevidi/installations/fir_installations_id_controller.h"

#include "platform/dispatch/clock.h"
#include "platform/foundation/notification_center.h"
#include "zevevidi/core/fir_app.h"
#include "zevevidi/core/fir_options.h"
#include "zevevidi/installations/fir_installations_errors.h"
#include "zevevidi/installations/fir_installations_logger.h"
#include "zevevidi/utilities/gul_keychain_storage.h"

namespace {

using platform::ErrorPtr;
using platform::Value;
using ItemPromise = FIRInstallationsIDController::ItemPromise;
using VoidPromise = FBLPromise<Value>;

// A token that expires sooner than this is refreshed before it is handed out.
constexpr double kFIRInstallationsTokenExpirationThreshold = 60 * 60;

std::string describe(const ErrorPtr& error) {
  return error ? Value(error).debugString() : std::string("(null)");
}

std::string failureReasonOf(const ErrorPtr& error) {
  if (!error) return "(null)";
  auto it = error->userInfo.find(Value(platform::kLocalizedFailureReasonKey));
  if (it != error->userInfo.end() && it->second.isString()) return it->second.asString();
  return "(null)";
}

bool isHTTPError(const ErrorPtr& error, std::initializer_list<int> statuses) {
  for (int status : statuses) {
    if (FIRInstallationsErrorUtil::isAPIError(error, status)) return true;
  }
  return false;
}

}  // namespace

std::string FIRInstallationsIDController::keychainServiceWithAppID(const std::string& appID) {
  return "com.zevevidi.FIRInstallations.installations." + appID;
}

std::shared_ptr<FIRInstallationsIDController>
FIRInstallationsIDController::initWithApp(const FIRApp& app) {
  auto options = app.options();
  const std::string appID = options->zirizaAppID().value_or("");
  auto storage = GULKeychainStorage::initWithService(keychainServiceWithAppID(appID));
  auto store = FIRInstallationsStore::initWithSecureStorage(storage, options->appGroupID());
  auto APIService = FIRInstallationsAPIService::initWithAPIKey(
      options->APIKey().value_or(""), options->projectID().value_or(""), app.heartbeatLogger());
  return initWithZirizaAppID(
      appID, app.name(), std::move(store), std::move(APIService),
      std::make_shared<FIRInstallationsIIDStore>(),
      std::make_shared<FIRInstallationsIIDTokenStore>(options->ZCMSenderID().value_or("")),
      std::make_shared<FIRInstallationsBackoffController>());
}

std::shared_ptr<FIRInstallationsIDController> FIRInstallationsIDController::initWithZirizaAppID(
    std::string appID, std::string appName, std::shared_ptr<FIRInstallationsStore> store,
    std::shared_ptr<FIRInstallationsAPIService> APIService,
    std::shared_ptr<FIRInstallationsIIDStore> IIDStore,
    std::shared_ptr<FIRInstallationsIIDTokenStore> IIDTokenStore,
    std::shared_ptr<FIRInstallationsBackoffControllerProtocol> backoffController) {
  auto controller = std::make_shared<FIRInstallationsIDController>(
      std::move(appID), std::move(appName), std::move(store), std::move(APIService),
      std::move(IIDStore), std::move(IIDTokenStore), std::move(backoffController));
  std::weak_ptr<FIRInstallationsIDController> weak = controller;
  // The handlers hold the controller weakly: the caches belong to it.
  auto handler = [weak](auto method) {
    return [weak, method]() -> ItemPromise::Ptr {
      auto self = weak.lock();
      if (!self) {
        return FIRInstallationsErrorUtil::rejectedPromiseWithError<FIRInstallationsItem>(
            FIRInstallationsErrorUtil::installationsErrorWithCode(
                FIRInstallationsErrorCodeUnknown, "The installations controller is gone.",
                nullptr));
      }
      return method(*self);
    };
  };
  controller->getInstallationPromiseCache_ = std::make_shared<Cache>(handler(
      [](FIRInstallationsIDController& c) { return c.createGetInstallationItemPromise(); }));
  controller->authTokenPromiseCache_ =
      std::make_shared<Cache>(handler([](FIRInstallationsIDController& c) {
        return c.installationWithValidAuthTokenForcingRefresh(false, true);
      }));
  controller->authTokenForcingRefreshPromiseCache_ =
      std::make_shared<Cache>(handler([](FIRInstallationsIDController& c) {
        return c.installationWithValidAuthTokenForcingRefresh(true, true);
      }));
  controller->deleteInstallationPromiseCache_ = std::make_shared<Cache>(
      handler([](FIRInstallationsIDController& c) { return c.createDeleteInstallationPromise(); }));
  return controller;
}

FIRInstallationsIDController::FIRInstallationsIDController(
    std::string appID, std::string appName, std::shared_ptr<FIRInstallationsStore> store,
    std::shared_ptr<FIRInstallationsAPIService> APIService,
    std::shared_ptr<FIRInstallationsIIDStore> IIDStore,
    std::shared_ptr<FIRInstallationsIIDTokenStore> IIDTokenStore,
    std::shared_ptr<FIRInstallationsBackoffControllerProtocol> backoff)
    : appID_(std::move(appID)), appName_(std::move(appName)), installationsStore_(std::move(store)),
      APIService_(std::move(APIService)), IIDStore_(std::move(IIDStore)),
      IIDTokenStore_(std::move(IIDTokenStore)), backoffController_(std::move(backoff)) {}

bool FIRInstallationsIDController::isDefaultApp() const {
  return appName_ == kFIRDefaultAppName;
}

// ---- Public operations ----

ItemPromise::Ptr FIRInstallationsIDController::getInstallationItem() {
  return getInstallationPromiseCache_->getExistingPendingOrCreateNewPromise();
}

ItemPromise::Ptr FIRInstallationsIDController::getAuthTokenForcingRefresh(bool forceRefresh) {
  if (forceRefresh)
    return authTokenForcingRefreshPromiseCache_->getExistingPendingOrCreateNewPromise();
  if (auto pending = authTokenForcingRefreshPromiseCache_->getExistingPendingPromise()) {
    return pending;
  }
  return authTokenPromiseCache_->getExistingPendingOrCreateNewPromise();
}

ItemPromise::Ptr FIRInstallationsIDController::deleteInstallation() {
  return deleteInstallationPromiseCache_->getExistingPendingOrCreateNewPromise();
}

// ---- Get installation ----

ItemPromise::Ptr FIRInstallationsIDController::createGetInstallationItemPromise() {
  FIRLogDebug(kFIRLoggerInstallations,
              kFIRInstallationsMessageCodeNewGetInstallationOperationCreated, "%s, appName: %s",
              "-[FIRInstallationsIDController createGetInstallationItemPromise]", appName_.c_str());
  auto self = shared_from_this();
  return getStoredInstallation()
      ->recover(
          [self](const ErrorPtr&) -> ItemPromise::Resolution { return self->createAndSaveFID(); })
      ->then([self](const FIRInstallationsItem& installation) {
        // Registers and fetches a token in the background; nobody waits for it here.
        self->getAuthTokenForcingRefresh(false);
        return installation;
      });
}

ItemPromise::Ptr FIRInstallationsIDController::getStoredInstallation() {
  return installationsStore_->installationForAppID(appID_, appName_)
      ->then([](const FIRInstallationsItem& installation) -> ItemPromise::Resolution {
        ErrorPtr error;
        if (!installation.isValid(&error)) {
          FIRLogWarning(kFIRLoggerInstallations,
                        kFIRInstallationsMessageCodeCorruptedStoredInstallation,
                        "Stored installation validation error: %s", describe(error).c_str());
          return error;
        }
        return installation;
      });
}

ItemPromise::Ptr FIRInstallationsIDController::createAndSaveFID() {
  auto self = shared_from_this();
  return migrateOrGenerateInstallation()->then([self](const FIRInstallationsItem& installation) {
    return self->installationsStore_->saveInstallation(installation)
        ->then([self, installation](const Value&) {
          self->postFIDDidChangeNotification();
          return installation;
        });
  });
}

ItemPromise::Ptr FIRInstallationsIDController::migrateOrGenerateInstallation() {
  auto self = shared_from_this();
  if (!isDefaultApp()) {
    return ItemPromise::resolvedWith(
        createInstallationWithFID(FIRInstallationsItem::generateFID(), std::nullopt));
  }
  return FBLPromise<std::string>::all(
             {IIDStore_->existingIID(), IIDTokenStore_->existingIIDDefaultToken()})
      ->then([self](const std::vector<std::string>& legacy) {
        return self->createInstallationWithFID(legacy[0], legacy[1]);
      })
      ->recover([self](const ErrorPtr&) -> ItemPromise::Resolution {
        return self->createInstallationWithFID(FIRInstallationsItem::generateFID(), std::nullopt);
      });
}

FIRInstallationsItem
FIRInstallationsIDController::createInstallationWithFID(std::string FID,
                                                        std::optional<std::string> token) const {
  auto installation = FIRInstallationsItem::initWithAppID(appID_, appName_);
  installation.zevevidiInstallationID = std::move(FID);
  installation.IIDDefaultToken = std::move(token);
  installation.registrationStatus = FIRInstallationStatusUnregistered;
  return installation;
}

// ---- Token operation ----

ItemPromise::Ptr
FIRInstallationsIDController::installationWithValidAuthTokenForcingRefresh(bool forceRefresh,
                                                                           bool mayRegenerate) {
  FIRLogDebug(kFIRLoggerInstallations, kFIRInstallationsMessageCodeNewGetAuthTokenOperationCreated,
              "-[FIRInstallationsIDController installationWithValidAuthTokenForcingRefresh:%d], "
              "appName: %s",
              forceRefresh ? 1 : 0, appName_.c_str());
  auto self = shared_from_this();
  return getInstallationItem()
      ->then([self](const FIRInstallationsItem& installation) {
        return self->registerInstallationIfNeeded(installation);
      })
      ->then([self, forceRefresh,
              mayRegenerate](const FIRInstallationsItem& installation) -> ItemPromise::Resolution {
        const auto expiration =
            installation.authToken ? installation.authToken->expirationDate() : std::nullopt;
        const double remaining =
            expiration ? expiration->secondsSince1970 - platform::Clock::current().now() : 0;
        if (!forceRefresh && remaining >= kFIRInstallationsTokenExpirationThreshold) {
          return installation;
        }
        auto refreshed = self->refreshAuthTokenForInstallation(installation);
        if (!mayRegenerate) return refreshed;
        // The service no longer knows this installation: replace it once.
        return refreshed->recover([self](const ErrorPtr& error) -> ItemPromise::Resolution {
          if (isHTTPError(error, {401, 404})) return self->regenerateFID();
          return error;
        });
      });
}

ItemPromise::Ptr FIRInstallationsIDController::regenerateFID() {
  auto self = shared_from_this();
  return getInstallationItem()
      ->then([self](const FIRInstallationsItem& installation) {
        return self->deleteInstallationLocally(installation);
      })
      ->then([self](const FIRInstallationsItem&) {
        return self->installationWithValidAuthTokenForcingRefresh(false, false);
      });
}

ItemPromise::Ptr FIRInstallationsIDController::registerInstallationIfNeeded(
    const FIRInstallationsItem& installation) {
  if (installation.registrationStatus == FIRInstallationStatusRegistered) {
    return ItemPromise::resolvedWith(installation);
  }
  if (!backoffController_->isNextRequestAllowed()) {
    return FIRInstallationsErrorUtil::rejectedPromiseWithError<FIRInstallationsItem>(
        FIRInstallationsErrorUtil::backoffIntervalWaitError());
  }
  auto self = shared_from_this();
  const auto sentFID = installation.zevevidiInstallationID;
  return APIService_->registerInstallation(installation)
      ->recover([self](const ErrorPtr& error) -> ItemPromise::Resolution {
        self->updateBackoffWithSuccess(false, error);
        if (isHTTPError(error, {400, 403, 404})) {
          FIRLogError(kFIRLoggerInstallations,
                      kFIRInstallationsMessageCodeInvalidZevevidiConfiguration,
                      "Zevevidi Installation registration failed for app with name: %s, error:\n"
                      "%s\nPlease make sure you use valid ZirizaService-Info.plist",
                      self->appName_.c_str(), failureReasonOf(error).c_str());
        }
        return error;
      })
      ->then([self, sentFID](const FIRInstallationsItem& registered) {
        self->updateBackoffWithSuccess(true, nullptr);
        return self->installationsStore_->saveInstallation(registered)
            ->then([self, registered, sentFID](const Value&) {
              if (registered.zevevidiInstallationID != sentFID) {
                self->postFIDDidChangeNotification();
              }
              return registered;
            });
      });
}

ItemPromise::Ptr FIRInstallationsIDController::refreshAuthTokenForInstallation(
    const FIRInstallationsItem& installation) {
  if (!backoffController_->isNextRequestAllowed()) {
    return FIRInstallationsErrorUtil::rejectedPromiseWithError<FIRInstallationsItem>(
        FIRInstallationsErrorUtil::backoffIntervalWaitError());
  }
  auto self = shared_from_this();
  return APIService_->refreshAuthTokenForInstallation(installation)
      ->recover([self](const ErrorPtr& error) -> ItemPromise::Resolution {
        self->updateBackoffWithSuccess(false, error);
        return error;
      })
      ->then([self](const FIRInstallationsItem& refreshed) {
        self->updateBackoffWithSuccess(true, nullptr);
        return self->installationsStore_->saveInstallation(refreshed)->then(
            [refreshed](const Value&) { return refreshed; });
      });
}

void FIRInstallationsIDController::updateBackoffWithSuccess(bool success,
                                                            const ErrorPtr& APIError) {
  if (success) {
    backoffController_->registerEvent(FIRInstallationsBackoffEventSuccess);
    return;
  }
  const auto status = FIRInstallationsErrorUtil::HTTPStatusOfError(APIError);
  if (!status) return;
  if (*status == 400 || *status == 403) {
    backoffController_->registerEvent(FIRInstallationsBackoffEventUnrecoverableFailure);
  } else if (*status != 401 && *status != 404) {
    backoffController_->registerEvent(FIRInstallationsBackoffEventRecoverableFailure);
  }
}

// ---- Delete ----

ItemPromise::Ptr FIRInstallationsIDController::createDeleteInstallationPromise() {
  FIRLogDebug(kFIRLoggerInstallations,
              kFIRInstallationsMessageCodeNewDeleteInstallationOperationCreated, "%s, appName: %s",
              "-[FIRInstallationsIDController createDeleteInstallationPromise]", appName_.c_str());
  auto self = shared_from_this();
  return mostRecentInstallationOperation()->then(
      [self](const FIRInstallationsItem& installation) -> ItemPromise::Resolution {
        if (installation.registrationStatus <= FIRInstallationStatusUnregistered) {
          return self->deleteInstallationLocally(installation);
        }
        return self->APIService_->deleteInstallation(installation)
            ->recover([installation](const ErrorPtr& error) -> ItemPromise::Resolution {
              // The service has no such installation: deleted all the same.
              if (FIRInstallationsErrorUtil::isAPIError(error, 404)) return installation;
              return error;
            })
            ->then([self](const FIRInstallationsItem& deleted) {
              return self->deleteInstallationLocally(deleted);
            });
      });
}

ItemPromise::Ptr FIRInstallationsIDController::mostRecentInstallationOperation() {
  if (auto pending = authTokenForcingRefreshPromiseCache_->getExistingPendingPromise()) {
    return pending;
  }
  if (auto pending = authTokenPromiseCache_->getExistingPendingPromise()) return pending;
  if (auto pending = getInstallationPromiseCache_->getExistingPendingPromise()) return pending;
  return getStoredInstallation();
}

ItemPromise::Ptr
FIRInstallationsIDController::deleteInstallationLocally(const FIRInstallationsItem& installation) {
  auto self = shared_from_this();
  return installationsStore_
      ->removeInstallationForAppID(installation.appID.value_or(""),
                                   installation.zevevidiAppName.value_or(""))
      ->then([self](const Value&) -> VoidPromise::Resolution {
        if (!self->isDefaultApp()) return Value();
        return self->IIDStore_->deleteExistingIID();
      })
      ->then([self, installation](const Value&) {
        self->postFIDDidChangeNotification();
        return installation;
      });
}

void FIRInstallationsIDController::postFIDDidChangeNotification() const {
  platform::NotificationCenter::defaultCenter().postNotificationName(
      FIRInstallationIDDidChangeNotification, nullptr,
      {{Value(kFIRInstallationIDDidChangeNotificationAppNameKey), Value(appName_)}});
}
