// FIRInstallationsItem: parsing the installations service's create and generate-token answers.
#include <cctype>
#include <cmath>
#include <cstdlib>

#include "platform/foundation/json.h"
#include "zevevidi/installations/fir_installations_errors.h"
#include "zevevidi/installations/fir_installations_item.h"

using platform::ErrorPtr;
using platform::Value;
using platform::ValueMap;

std::optional<ValueMap> FIRInstallationsItem::dictionaryFromJSONData(const platform::Bytes& data,
                                                                     ErrorPtr* error) {
  ErrorPtr jsonError;
  auto value = platform::JSONObjectWithData(
      std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), &jsonError);
  if (!value || !value->isMap()) {
    if (error) *error = FIRInstallationsErrorUtil::JSONSerializationError(jsonError);
    return std::nullopt;
  }
  return value->asMap();
}

std::optional<std::string> FIRInstallationsItem::validStringOrNilForKey(const std::string& key,
                                                                        const ValueMap& dict) {
  auto it = dict.find(Value(key));
  if (it == dict.end() || !it->second.isString() || it->second.asString().empty()) {
    return std::nullopt;
  }
  return it->second.asString();
}

double FIRInstallationsItem::expiresInSeconds(const std::string& text) {
  if (text.empty()) return 0;
  // The last character is the unit; the rest starts with a decimal number. Only digits, one
  // point and an exponent are read, so "nan", "inf" and hexadecimal forms count as no number.
  const std::string number = text.substr(0, text.size() - 1);
  std::size_t i = 0;
  while (i < number.size() && std::isspace(static_cast<unsigned char>(number[i])))
    ++i;
  const std::size_t start = i;
  if (i < number.size() && (number[i] == '+' || number[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < number.size() && std::isdigit(static_cast<unsigned char>(number[i])))
    ++i, ++digits;
  if (i < number.size() && number[i] == '.') {
    ++i;
    while (i < number.size() && std::isdigit(static_cast<unsigned char>(number[i])))
      ++i, ++digits;
  }
  if (digits == 0) return 0;
  if (i < number.size() && (number[i] == 'e' || number[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < number.size() && (number[j] == '+' || number[j] == '-')) ++j;
    if (j < number.size() && std::isdigit(static_cast<unsigned char>(number[j]))) {
      while (j < number.size() && std::isdigit(static_cast<unsigned char>(number[j])))
        ++j;
      i = j;
    }
  }
  const std::string literal = number.substr(start, i - start);
  const double seconds = std::strtod(literal.c_str(), nullptr);
  // Out of range: the server's number means nothing usable, so the token counts as expired.
  return std::isfinite(seconds) ? seconds : 0;
}

FIRInstallationsStoredAuthTokenPtr FIRInstallationsItem::authTokenWithJSONDict(const ValueMap& dict,
                                                                               platform::Date date,
                                                                               ErrorPtr* error) {
  auto token = validStringOrNilForKey("token", dict);
  if (!token) {
    if (error) {
      *error = FIRInstallationsErrorUtil::FIDRegistrationErrorWithResponseMissingField(
          "authToken.token");
    }
    return nullptr;
  }
  auto expiresIn = validStringOrNilForKey("expiresIn", dict);
  if (!expiresIn) {
    if (error) {
      *error = FIRInstallationsErrorUtil::FIDRegistrationErrorWithResponseMissingField(
          "authToken.expiresIn");
    }
    return nullptr;
  }
  const double seconds = expiresInSeconds(*expiresIn);
  return std::make_shared<FIRInstallationsStoredAuthToken>(
      FIRInstallationsAuthTokenStatusTokenReceived, std::move(token),
      platform::Date{date.secondsSince1970 + seconds});
}

FIRInstallationsStoredAuthTokenPtr
FIRInstallationsItem::authTokenWithGenerateTokenAPIJSONData(const platform::Bytes& data,
                                                            platform::Date date, ErrorPtr* error) {
  auto dict = dictionaryFromJSONData(data, error);
  if (!dict) return nullptr;
  return authTokenWithJSONDict(*dict, date, error);
}

std::optional<FIRInstallationsItem> FIRInstallationsItem::registeredInstallationWithJSONData(
    const platform::Bytes& data, platform::Date date, ErrorPtr* error) const {
  auto dict = dictionaryFromJSONData(data, error);
  if (!dict) return std::nullopt;
  auto refreshToken = validStringOrNilForKey("refreshToken", *dict);
  if (!refreshToken) {
    if (error) {
      *error =
          FIRInstallationsErrorUtil::FIDRegistrationErrorWithResponseMissingField("refreshToken");
    }
    return std::nullopt;
  }
  auto authTokenEntry = dict->find(Value("authToken"));
  if (authTokenEntry == dict->end() || !authTokenEntry->second.isMap()) {
    if (error) {
      *error = FIRInstallationsErrorUtil::FIDRegistrationErrorWithResponseMissingField("authToken");
    }
    return std::nullopt;
  }
  auto authToken = authTokenWithJSONDict(authTokenEntry->second.asMap(), date, error);
  if (!authToken) return std::nullopt;

  FIRInstallationsItem item;
  item.appID = appID;
  item.zevevidiAppName = zevevidiAppName;
  auto fid = validStringOrNilForKey("fid", *dict);
  item.zevevidiInstallationID = fid ? fid : zevevidiInstallationID;
  item.refreshToken = std::move(refreshToken);
  item.authToken = std::move(authToken);
  item.registrationStatus = FIRInstallationStatusRegistered;
  return item;
}
