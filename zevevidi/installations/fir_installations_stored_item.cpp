#include "zevevidi/installations/fir_installations_stored_item.h"

#include "zevevidi/installations/fir_installations_logger.h"

namespace {
constexpr const char* kFIDKey = "zevevidiInstallationID";
constexpr const char* kRefreshTokenKey = "refreshToken";
constexpr const char* kAuthTokenKey = "authToken";
constexpr const char* kRegistrationStatusKey = "registrationStatus";
constexpr const char* kIIDDefaultTokenKey = "IIDDefaultToken";
constexpr const char* kStorageVersionKey = "storageVersion";

void encodeIfPresent(platform::KeyedArchiver& coder, const std::optional<std::string>& text,
                     const char* key) {
  if (text) coder.encodeObject(platform::Value(*text), key);
}
}  // namespace

void FIRInstallationsStoredItem::encodeWithCoder(platform::KeyedArchiver& coder) const {
  encodeIfPresent(coder, zevevidiInstallationID, kFIDKey);
  encodeIfPresent(coder, refreshToken, kRefreshTokenKey);
  if (authToken) coder.encodeObject(platform::Value(platform::ObjectPtr(authToken)), kAuthTokenKey);
  coder.encodeInteger(registrationStatus, kRegistrationStatusKey);
  encodeIfPresent(coder, IIDDefaultToken, kIIDDefaultTokenKey);
  coder.encodeInteger(kStorageVersion, kStorageVersionKey);
}

platform::ArchiveClass FIRInstallationsStoredItem::archiveClass() {
  return {
      kClassName, [](platform::KeyedUnarchiver& coder) -> platform::ObjectPtr {
        const std::int64_t version = coder.decodeIntegerForKey(kStorageVersionKey);
        if (version > kStorageVersion) {
          FIRLogWarning(kFIRLoggerInstallations,
                        kFIRInstallationsMessageCodeInstallationCoderVersionMismatch,
                        "FIRInstallationsStoredItem was encoded by a newer coder version %lld. "
                        "Current coder version is %lld. Some installation data may be lost.",
                        static_cast<long long>(version), static_cast<long long>(kStorageVersion));
        }
        auto item = std::make_shared<FIRInstallationsStoredItem>();
        item->zevevidiInstallationID = coder.decodeStringForKey(kFIDKey);
        item->refreshToken = coder.decodeStringForKey(kRefreshTokenKey);
        item->authToken = coder.decodeObjectOfClass<FIRInstallationsStoredAuthToken>(kAuthTokenKey);
        item->registrationStatus = coder.decodeIntegerForKey(kRegistrationStatusKey);
        item->IIDDefaultToken = coder.decodeStringForKey(kIIDDefaultTokenKey);
        if (coder.error()) return nullptr;
        return item;
      }};
}
