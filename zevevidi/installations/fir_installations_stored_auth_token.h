// FIRInstallationsStoredAuthToken: an auth token of the installations service with its
// expiration date, as kept inside installation records and archived into the keychain.
//
// Token and expiration date are guarded by a lock of the object, so a token shared between
// queues reads consistently; everything else is set at creation.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/keyed_archive.h"

enum FIRInstallationsAuthTokenStatus : std::int64_t {
  FIRInstallationsAuthTokenStatusUnknown = 0,
  // A token was received from the service.
  FIRInstallationsAuthTokenStatusTokenReceived = 1,
};

class FIRInstallationsStoredAuthToken : public platform::ArchivableObject {
 public:
  static constexpr std::int64_t kStorageVersion = 1;
  static constexpr const char* kClassName = "FIRInstallationsStoredAuthToken";

  FIRInstallationsStoredAuthToken() = default;
  FIRInstallationsStoredAuthToken(std::int64_t status, std::optional<std::string> token,
                                  std::optional<platform::Date> expirationDate);

  std::int64_t status() const { return status_; }
  std::optional<std::string> token() const;
  void setToken(std::optional<std::string> token);
  std::optional<platform::Date> expirationDate() const;
  void setExpirationDate(std::optional<platform::Date> date);
  std::int64_t storageVersion() const { return kStorageVersion; }

  std::shared_ptr<FIRInstallationsStoredAuthToken> copy() const;

  std::string className() const override { return kClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  // Equality, order and hash by content (status, token, expiration date), in agreement, so
  // tokens equal by content are one map key.
  bool isEqual(const platform::Object& other) const override;
  std::strong_ordering compareObject(const platform::Object& other) const override;
  std::size_t hash() const override;
  // Decodes the known keys; a newer storage version logs I-FIS004000 and reads them all the same.
  static platform::ArchiveClass archiveClass();

 private:
  const std::int64_t status_ = FIRInstallationsAuthTokenStatusUnknown;
  mutable std::mutex mutex_;
  std::optional<std::string> token_;
  std::optional<platform::Date> expirationDate_;

  // The fields as one value, read under the lock.
  platform::Value contents() const;
};
using FIRInstallationsStoredAuthTokenPtr = std::shared_ptr<FIRInstallationsStoredAuthToken>;
