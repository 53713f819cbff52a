// GULKeychainUtils: the keychain calls of the keychain storage, with platform status codes
// turned into error records (domain "com.gul.keychain.ErrorDomain", code 0, failure reason
// naming the keychain function and its status). Works on the process keychain
// (platform::Keychain::shared()); the calls block, so callers run them on their own queue.
#pragma once

#include <optional>
#include <string>

#include "platform/core/error.h"
#include "platform/security/keychain.h"

inline constexpr const char* kGULKeychainUtilsErrorDomain = "com.gul.keychain.ErrorDomain";

class GULKeychainUtils {
 public:
  // The item's data. Not found: none and no error. Any other failure: none and the error for
  // "SecItemCopyMatching".
  static std::optional<platform::Bytes> getItemWithQuery(const platform::KeychainQuery& query,
                                                         platform::ErrorPtr* error);
  // Replaces the data of the matching item, or adds a new item (accessible after first unlock,
  // this device only). A failed read, update or add fails with its error.
  static bool setItem(const platform::Bytes& data, const platform::KeychainQuery& query,
                      platform::ErrorPtr* error);
  // Deletes the matching items; nothing to delete is a success.
  static bool removeItemWithQuery(const platform::KeychainQuery& query, platform::ErrorPtr* error);
  // Failure reason "<function> (<status>)".
  static platform::ErrorPtr keychainErrorWithFunction(const std::string& function,
                                                      platform::OSStatus status);
};
