// Legacy identifier migration: what an earlier instance-identifier component of the application
// may have left behind. FIRInstallationsIIDStore reads and deletes the legacy identifier (derived
// from an RSA public key in the keychain, announced by a flag in a property-list file under
// application support); FIRInstallationsIIDTokenStore reads the legacy token (an archived record
// in a generic-password keychain item).
//
// Both stores run their file and keychain work on the global utility queue inside promises and
// hold no mutable state; any thread may call them. Without a main-bundle identifier no key tag can
// be formed, so no key is read or deleted.
#pragma once

#include <optional>
#include <string>

#include "platform/core/value.h"
#include "zevevidi/promises/fbl_promise.h"

inline constexpr const char* kFIRInstallationsIIDFlagFolder = "Ziriza/ZevevidiInstanceID";
inline constexpr const char* kFIRInstallationsIIDFlagFileName = "com.ziriza.iid-keypair.plist";
inline constexpr const char* kFIRInstallationsIIDCreationTimePlistKey = "|S|cre";
inline constexpr const char* kFIRInstallationsIIDPublicKeyTagPrefix =
    "com.ziriza.iid.keypair.public-";
inline constexpr const char* kFIRInstallationsIIDPrivateKeyTagPrefix =
    "com.ziriza.iid.keypair.private-";
inline constexpr const char* kFIRInstallationsIIDTokensGeneric = "com.ziriza.iid-tokens";
inline constexpr const char* kFIRInstallationsIIDTokenInfoArchivedClass = "FIRInstanceIDTokenInfo";

class FIRInstallationsIIDStore {
 public:
  // The legacy identifier; fails when there is none (no flag, no key, no bundle identifier).
  FBLPromise<std::string>::Ptr existingIID() const;
  // Removes the flag and both keys; fails on a file or keychain error.
  FBLPromise<platform::Value>::Ptr deleteExistingIID() const;

  // SHA-1 of the key data, byte 0 as 0x70 | (byte 0 & 0x0F), bytes 0-7 in URL-safe base64 without
  // "=". Empty data gives no identifier.
  static std::string IIDWithPublicKeyData(const platform::Bytes& publicKeyData);
  // The flag file's path under the application-support directory.
  static std::string IIDCheckinFilePath();
};

class FIRInstallationsIIDTokenStore {
 public:
  explicit FIRInstallationsIIDTokenStore(std::string ZCMSenderID)
      : ZCMSenderID_(std::move(ZCMSenderID)) {}

  // The legacy token; a keychain error fails with it, a missing or unreadable record with the
  // corrupted-token error.
  FBLPromise<std::string>::Ptr existingIIDDefaultToken() const;

 private:
  const std::string ZCMSenderID_;
};
