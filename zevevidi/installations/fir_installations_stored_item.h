// FIRInstallationsStoredItem: the part of an installation record that is archived into the
// keychain (the app identifier and name are the keychain key, not stored fields). Built, archived
// and read on one thread at a time; not shared while being changed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/keyed_archive.h"
#include "zevevidi/installations/fir_installations_stored_auth_token.h"

class FIRInstallationsStoredItem : public platform::ArchivableObject {
 public:
  static constexpr std::int64_t kStorageVersion = 1;
  static constexpr const char* kClassName = "FIRInstallationsStoredItem";

  std::optional<std::string> zevevidiInstallationID;
  std::optional<std::string> refreshToken;
  FIRInstallationsStoredAuthTokenPtr authToken;
  std::int64_t registrationStatus = 0;
  std::optional<std::string> IIDDefaultToken;

  std::int64_t storageVersion() const { return kStorageVersion; }

  std::string className() const override { return kClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  // Decodes the known keys (the auth token included); a newer storage version logs I-FIS003000
  // and reads them all the same.
  static platform::ArchiveClass archiveClass();
};
