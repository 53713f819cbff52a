#include "zevevidi/utilities/gul_keychain_utils.h"

namespace {

void setError(platform::ErrorPtr* out, platform::ErrorPtr error) {
  if (out) *out = std::move(error);
}

}  // namespace

platform::ErrorPtr GULKeychainUtils::keychainErrorWithFunction(const std::string& function,
                                                               platform::OSStatus status) {
  platform::ValueMap info;
  info.emplace(platform::Value(platform::kLocalizedFailureReasonKey),
               platform::Value(function + " (" + std::to_string(status) + ")"));
  return platform::Error::make(kGULKeychainUtilsErrorDomain, 0, std::move(info));
}

std::optional<platform::Bytes>
GULKeychainUtils::getItemWithQuery(const platform::KeychainQuery& query,
                                   platform::ErrorPtr* error) {
  platform::KeychainItem item;
  const platform::OSStatus status = platform::Keychain::shared()->copyMatching(query, &item);
  if (status == platform::kSecSuccess) return std::move(item.data);
  if (status != platform::kSecItemNotFound) {
    setError(error, keychainErrorWithFunction("SecItemCopyMatching", status));
  }
  return std::nullopt;
}

bool GULKeychainUtils::setItem(const platform::Bytes& data, const platform::KeychainQuery& query,
                               platform::ErrorPtr* error) {
  platform::ErrorPtr readError;
  const bool exists = getItemWithQuery(query, &readError).has_value();
  if (readError) {
    setError(error, readError);
    return false;
  }
  auto keychain = platform::Keychain::shared();
  if (exists) {
    platform::KeychainUpdate changes;
    changes.data = data;
    const platform::OSStatus status = keychain->update(query, changes);
    if (status != platform::kSecSuccess) {
      setError(error, keychainErrorWithFunction("SecItemUpdate", status));
      return false;
    }
    return true;
  }
  const platform::OSStatus status = keychain->add(
      query.itemWithData(data, platform::kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly));
  if (status != platform::kSecSuccess) {
    setError(error, keychainErrorWithFunction("SecItemAdd", status));
    return false;
  }
  return true;
}

bool GULKeychainUtils::removeItemWithQuery(const platform::KeychainQuery& query,
                                           platform::ErrorPtr* error) {
  const platform::OSStatus status = platform::Keychain::shared()->remove(query);
  if (status == platform::kSecSuccess || status == platform::kSecItemNotFound) return true;
  setError(error, keychainErrorWithFunction("SecItemDelete", status));
  return false;
}
