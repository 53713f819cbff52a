// FIRInstallationsItem: the in-memory record of one app's installation (its FID, tokens and
// registration state). A value type: copies are deep (the auth token is copied too), so a record
// handed to another queue shares nothing with the one it came from.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/core/error.h"
#include "platform/core/value.h"
#include "zevevidi/installations/fir_installations_stored_auth_token.h"
#include "zevevidi/installations/fir_installations_stored_item.h"

enum FIRInstallationsStatus : std::int64_t {
  FIRInstallationStatusInvalid = 0,
  FIRInstallationStatusUnregistered = 1,
  FIRInstallationStatusRegistered = 2,
};

class FIRInstallationsItem {
 public:
  FIRInstallationsItem() = default;
  FIRInstallationsItem(const FIRInstallationsItem& other);
  FIRInstallationsItem& operator=(const FIRInstallationsItem& other);
  FIRInstallationsItem(FIRInstallationsItem&&) = default;
  FIRInstallationsItem& operator=(FIRInstallationsItem&&) = default;

  // A record with only the app identifier and name set (status invalid).
  static FIRInstallationsItem initWithAppID(std::string appID, std::string zevevidiAppName);

  std::optional<std::string> appID;
  std::optional<std::string> zevevidiAppName;
  std::optional<std::string> zevevidiInstallationID;
  std::optional<std::string> refreshToken;
  FIRInstallationsStoredAuthTokenPtr authToken;
  std::int64_t registrationStatus = FIRInstallationStatusInvalid;
  std::optional<std::string> IIDDefaultToken;

  // The app identifier immediately followed by the app name: the keychain and marker key.
  std::string identifier() const;
  static std::string identifierWithAppID(const std::string& appID, const std::string& appName);

  std::shared_ptr<FIRInstallationsStoredItem> storedItem() const;
  void updateWithStoredItem(const FIRInstallationsStoredItem& item);

  // True when the record is complete for its status; otherwise false and, when asked, a code-0
  // error listing every problem.
  bool isValid(platform::ErrorPtr* error = nullptr) const;

  // A fresh FID: 22 URL-safe base64 characters, the first one of "c" to "f".
  static std::string generateFID();
  // Standard base64 with "/" as "_" and "+" as "-"; padding kept.
  static std::string base64URLEncodedStringWithData(const platform::Bytes& data);

  // ---- Parsing the installations service's answers (fir_installations_item_register_api.cpp)

  // Parses a create answer into a registered record for this record's app; the answer's FID, when
  // it has one, replaces the FID sent. `date` is the reference of the token's lifetime.
  std::optional<FIRInstallationsItem>
  registeredInstallationWithJSONData(const platform::Bytes& data, platform::Date date,
                                     platform::ErrorPtr* error) const;
  static FIRInstallationsStoredAuthTokenPtr
  authTokenWithGenerateTokenAPIJSONData(const platform::Bytes& data, platform::Date date,
                                        platform::ErrorPtr* error);
  static FIRInstallationsStoredAuthTokenPtr authTokenWithJSONDict(const platform::ValueMap& dict,
                                                                  platform::Date date,
                                                                  platform::ErrorPtr* error);
  static std::optional<platform::ValueMap> dictionaryFromJSONData(const platform::Bytes& data,
                                                                  platform::ErrorPtr* error);
  static std::optional<std::string> validStringOrNilForKey(const std::string& key,
                                                           const platform::ValueMap& dict);
  // Seconds of an "expiresIn" text: a decimal number followed by one unit character. Anything
  // that is not a finite decimal number reads as 0.
  static double expiresInSeconds(const std::string& text);
};
