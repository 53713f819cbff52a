#include "zevevidi/installations/fir_installations_store.h"

#include "zevevidi/installations/fir_installations_errors.h"
#include "zevevidi/utilities/gul_keychain_storage.h"
#include "zevevidi/utilities/gul_user_defaults.h"

namespace {

using platform::ErrorPtr;
using platform::Value;

std::optional<std::string> nonEmpty(std::optional<std::string> text) {
  if (text && text->empty()) return std::nullopt;
  return text;
}

}  // namespace

std::shared_ptr<FIRInstallationsStore>
FIRInstallationsStore::initWithSecureStorage(std::shared_ptr<GULKeychainStorage> storage,
                                             std::optional<std::string> accessGroup) {
  return std::make_shared<FIRInstallationsStore>(std::move(storage), std::move(accessGroup));
}

FIRInstallationsStore::FIRInstallationsStore(std::shared_ptr<GULKeychainStorage> storage,
                                             std::optional<std::string> accessGroup)
    : secureStorage_(std::move(storage)), accessGroup_(nonEmpty(std::move(accessGroup))),
      queue_(platform::makeSerialQueue(kFIRInstallationsStoreQueueLabel)),
      userDefaults_(GULUserDefaults::initWithSuiteName(
          accessGroup_.value_or(kFIRInstallationsStoreUserDefaultsID))) {}

ErrorPtr FIRInstallationsStore::markerStoreError() const {
  // Without a suite the markers could be neither read nor written: every start would then make
  // a new installation, so the store refuses to work instead.
  return FIRInstallationsErrorUtil::installationsErrorWithCode(
      FIRInstallationsErrorCodeUnknown,
      "The access group " + accessGroup_.value_or("") +
          " cannot name a preferences suite, so installations cannot be stored.",
      nullptr);
}

FBLPromise<FIRInstallationsItem>::Ptr
FIRInstallationsStore::installationForAppID(const std::string& appID, const std::string& appName) {
  const std::string identifier = FIRInstallationsItem::identifierWithAppID(appID, appName);
  auto storage = secureStorage_;
  auto accessGroup = accessGroup_;
  return installationExistsForAppID(appID, appName)
      ->then([storage, identifier, accessGroup](const Value&) {
        return FBLPromise<platform::ObjectPtr>::wrapObjectOrErrorCompletion(
            [storage, identifier, accessGroup](auto handler) {
              storage->getObjectForKey(identifier,
                                       {FIRInstallationsStoredItem::archiveClass(),
                                        FIRInstallationsStoredAuthToken::archiveClass()},
                                       accessGroup,
                                       [handler](platform::ObjectPtr object, ErrorPtr error) {
                                         handler(std::move(object), std::move(error));
                                       });
            });
      })
      ->then([appID,
              appName](const platform::ObjectPtr& object) -> FBLResolution<FIRInstallationsItem> {
        auto stored = std::dynamic_pointer_cast<FIRInstallationsStoredItem>(object);
        if (!stored) {
          return FIRInstallationsErrorUtil::installationItemNotFoundForAppID(appID, appName);
        }
        auto item = FIRInstallationsItem::initWithAppID(appID, appName);
        item.updateWithStoredItem(*stored);
        return item;
      });
}

FIRInstallationsStore::VoidPromise::Ptr
FIRInstallationsStore::saveInstallation(const FIRInstallationsItem& installation) {
  if (!userDefaults_) {
    return FIRInstallationsErrorUtil::rejectedPromiseWithError<Value>(markerStoreError());
  }
  const std::string identifier = installation.identifier();
  platform::ObjectPtr stored = installation.storedItem();
  auto storage = secureStorage_;
  auto accessGroup = accessGroup_;
  auto self = shared_from_this();
  return FBLPromise<platform::ObjectPtr>::wrapObjectOrErrorCompletion(
             [storage, stored, identifier, accessGroup](auto handler) {
               storage->setObject(stored, identifier, accessGroup,
                                  [handler](platform::ObjectPtr object, ErrorPtr error) {
                                    handler(std::move(object), std::move(error));
                                  });
             })
      ->then([self, identifier](const platform::ObjectPtr&) -> FBLResolution<Value> {
        return self->setInstallationExists(true, identifier);
      });
}

FIRInstallationsStore::VoidPromise::Ptr
FIRInstallationsStore::removeInstallationForAppID(const std::string& appID,
                                                  const std::string& appName) {
  if (!userDefaults_) {
    return FIRInstallationsErrorUtil::rejectedPromiseWithError<Value>(markerStoreError());
  }
  const std::string identifier = FIRInstallationsItem::identifierWithAppID(appID, appName);
  auto storage = secureStorage_;
  auto accessGroup = accessGroup_;
  auto self = shared_from_this();
  return VoidPromise::wrapErrorCompletion([storage, identifier, accessGroup](auto handler) {
           storage->removeObjectForKey(identifier, accessGroup,
                                       [handler](ErrorPtr error) { handler(std::move(error)); });
         })
      ->then([self, identifier](const Value&) -> FBLResolution<Value> {
        return self->setInstallationExists(false, identifier);
      });
}

FIRInstallationsStore::VoidPromise::Ptr
FIRInstallationsStore::installationExistsForAppID(const std::string& appID,
                                                  const std::string& appName) {
  if (!userDefaults_) {
    return FIRInstallationsErrorUtil::rejectedPromiseWithError<Value>(markerStoreError());
  }
  const std::string identifier = FIRInstallationsItem::identifierWithAppID(appID, appName);
  auto defaults = userDefaults_;
  return VoidPromise::onQueueDo(
      queue_, [defaults, identifier, appID, appName]() -> VoidPromise::Resolution {
        if (defaults->objectForKey(Value(identifier)).isNull()) {
          return FIRInstallationsErrorUtil::installationItemNotFoundForAppID(appID, appName);
        }
        return Value();
      });
}

FIRInstallationsStore::VoidPromise::Ptr
FIRInstallationsStore::setInstallationExists(bool exists, const std::string& identifier) {
  if (!userDefaults_) {
    return FIRInstallationsErrorUtil::rejectedPromiseWithError<Value>(markerStoreError());
  }
  auto defaults = userDefaults_;
  return VoidPromise::onQueueDo(queue_,
                                [defaults, identifier, exists]() -> VoidPromise::Resolution {
                                  if (exists) {
                                    defaults->setBool(true, Value(identifier));
                                  } else {
                                    defaults->removeObjectForKey(Value(identifier));
                                  }
                                  return Value();
                                });
}
