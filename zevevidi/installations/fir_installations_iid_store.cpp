#include "zevevidi/installations/fir_installations_iid_store.h"

#include "platform/core/digest.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/keyed_archive.h"
#include "platform/foundation/property_list.h"
#include "platform/security/keychain.h"
#include "zevevidi/installations/fir_installations_errors.h"
#include "zevevidi/installations/fir_installations_item.h"
#include "zevevidi/utilities/gul_keychain_utils.h"

namespace {

using platform::Bytes;
using platform::ErrorPtr;
using platform::Value;

platform::QueuePtr utilityQueue() {
  return platform::globalQueue(platform::QueuePriority::Utility);
}

Bytes bytesOf(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

std::optional<std::string> bundleIdentifier() {
  return platform::Bundle::main()->bundleIdentifier();
}

platform::KeychainQuery keyQuery(const std::string& tag) {
  platform::KeychainQuery query;
  query.itemClass = platform::KeychainItemClass::Key;
  query.keyType = platform::kSecAttrKeyTypeRSA;
  query.applicationTag = bytesOf(tag);
  return query;
}

ErrorPtr noIIDError() {
  return FIRInstallationsErrorUtil::installationsErrorWithCode(
      FIRInstallationsErrorCodeUnknown, "No legacy installation identifier.", nullptr);
}

// The decoded legacy token record.
class FIRInstallationsIIDTokenInfo : public platform::Object {
 public:
  explicit FIRInstallationsIIDTokenInfo(std::optional<std::string> token)
      : token(std::move(token)) {}
  std::string className() const override { return "FIRInstallationsIIDTokenInfo"; }
  static platform::ArchiveClass archiveClass() {
    return {"FIRInstallationsIIDTokenInfo",
            [](platform::KeyedUnarchiver& coder) -> platform::ObjectPtr {
              return std::make_shared<FIRInstallationsIIDTokenInfo>(
                  coder.decodeStringForKey("token"));
            }};
  }
  std::optional<std::string> token;
};

// Deletes the key whose tag is prefix + bundle identifier; a missing key counts as deleted.
ErrorPtr deleteKeyWithTagPrefix(const std::string& prefix, const std::string& bundleID) {
  const platform::OSStatus status =
      platform::Keychain::shared()->remove(keyQuery(prefix + bundleID));
  if (status == platform::kSecSuccess || status == platform::kSecItemNotFound) return nullptr;
  return FIRInstallationsErrorUtil::keychainErrorWithFunction("SecItemDelete", status);
}

}  // namespace

std::string FIRInstallationsIIDStore::IIDCheckinFilePath() {
  const auto& files = platform::FileManager::defaultManager();
  return platform::joinPath(
      platform::joinPath(files.pathForDirectory(platform::SearchPathDirectory::ApplicationSupport),
                         kFIRInstallationsIIDFlagFolder),
      kFIRInstallationsIIDFlagFileName);
}

std::string FIRInstallationsIIDStore::IIDWithPublicKeyData(const Bytes& publicKeyData) {
  // No key data would hash into one identifier shared by every such device: no identifier.
  if (publicKeyData.empty()) return "";
  Bytes sha1 = platform::digest(platform::DigestAlgorithm::SHA1, publicKeyData);
  sha1[0] = static_cast<std::uint8_t>(0x70 | (sha1[0] & 0x0F));
  std::string text =
      FIRInstallationsItem::base64URLEncodedStringWithData(Bytes(sha1.begin(), sha1.begin() + 8));
  std::erase(text, '=');
  return text;
}

FBLPromise<std::string>::Ptr FIRInstallationsIIDStore::existingIID() const {
  return FBLPromise<std::string>::onQueueDo(
      utilityQueue(), []() -> FBLPromise<std::string>::Resolution {
        auto flags = platform::readPropertyListFile(IIDCheckinFilePath());
        const bool flagged =
            flags && flags->isMap() &&
            flags->find(Value(kFIRInstallationsIIDCreationTimePlistKey)) != nullptr;
        auto bundleID = bundleIdentifier();
        if (!flagged || !bundleID) return noIIDError();
        platform::KeychainItem key;
        const platform::OSStatus status = platform::Keychain::shared()->copyMatching(
            keyQuery(kFIRInstallationsIIDPublicKeyTagPrefix + *bundleID), &key);
        std::string iid =
            IIDWithPublicKeyData(status == platform::kSecSuccess ? key.data : Bytes());
        if (iid.empty()) return noIIDError();
        return iid;
      });
}

FBLPromise<Value>::Ptr FIRInstallationsIIDStore::deleteExistingIID() const {
  return FBLPromise<Value>::onQueueDo(utilityQueue(), []() -> FBLPromise<Value>::Resolution {
    const std::string path = IIDCheckinFilePath();
    const auto& files = platform::FileManager::defaultManager();
    if (files.fileExists(path)) {
      ErrorPtr error;
      auto flags = platform::readPropertyListFile(path, &error);
      // A file that is no dictionary holds no flag to remove; the keys still go.
      if (flags && flags->isMap()) {
        platform::ValueMap map = flags->asMap();
        map.erase(Value(kFIRInstallationsIIDCreationTimePlistKey));
        if (!platform::writePropertyListFile(path, Value(std::move(map)),
                                             platform::PropertyListFormat::Binary, &error)) {
          return error;
        }
      }
    }
    auto bundleID = bundleIdentifier();
    if (!bundleID) return Value();
    if (auto error = deleteKeyWithTagPrefix(kFIRInstallationsIIDPublicKeyTagPrefix, *bundleID)) {
      return error;
    }
    if (auto error = deleteKeyWithTagPrefix(kFIRInstallationsIIDPrivateKeyTagPrefix, *bundleID)) {
      return error;
    }
    return Value();
  });
}

FBLPromise<std::string>::Ptr FIRInstallationsIIDTokenStore::existingIIDDefaultToken() const {
  const std::string service = ZCMSenderID_ + ":*";
  return FBLPromise<std::string>::onQueueDo(
      utilityQueue(), [service]() -> FBLPromise<std::string>::Resolution {
        platform::KeychainQuery query;
        query.itemClass = platform::KeychainItemClass::GenericPassword;
        query.generic = bytesOf(kFIRInstallationsIIDTokensGeneric);
        if (auto bundleID = bundleIdentifier()) query.account = *bundleID;
        query.service = service;
        ErrorPtr error;
        auto data = GULKeychainUtils::getItemWithQuery(query, &error);
        if (error) return error;
        if (!data) return FIRInstallationsErrorUtil::corruptedIIDTokenData();
        auto info =
            platform::KeyedUnarchiver::unarchivedObjectOfClass<FIRInstallationsIIDTokenInfo>(
                *data, {FIRInstallationsIIDTokenInfo::archiveClass()}, &error,
                {{kFIRInstallationsIIDTokenInfoArchivedClass, "FIRInstallationsIIDTokenInfo"}});
        if (!info) return error ? error : FIRInstallationsErrorUtil::corruptedIIDTokenData();
        if (!info->token || info->token->empty()) {
          return FIRInstallationsErrorUtil::corruptedIIDTokenData();
        }
        return *info->token;
      });
}
