#include "zevevidi/installations/fir_installations_item.h"

#include "platform/core/base64.h"
#include "platform/core/uuid.h"
#include "zevevidi/installations/fir_installations_errors.h"

FIRInstallationsItem::FIRInstallationsItem(const FIRInstallationsItem& other)
    : appID(other.appID), zevevidiAppName(other.zevevidiAppName),
      zevevidiInstallationID(other.zevevidiInstallationID), refreshToken(other.refreshToken),
      authToken(other.authToken ? other.authToken->copy() : nullptr),
      registrationStatus(other.registrationStatus), IIDDefaultToken(other.IIDDefaultToken) {}

FIRInstallationsItem& FIRInstallationsItem::operator=(const FIRInstallationsItem& other) {
  if (this != &other) *this = FIRInstallationsItem(other);
  return *this;
}

FIRInstallationsItem FIRInstallationsItem::initWithAppID(std::string appID,
                                                         std::string zevevidiAppName) {
  FIRInstallationsItem item;
  item.appID = std::move(appID);
  item.zevevidiAppName = std::move(zevevidiAppName);
  return item;
}

std::string FIRInstallationsItem::identifier() const {
  return identifierWithAppID(appID.value_or(""), zevevidiAppName.value_or(""));
}

std::string FIRInstallationsItem::identifierWithAppID(const std::string& appID,
                                                      const std::string& appName) {
  return appID + appName;
}

std::shared_ptr<FIRInstallationsStoredItem> FIRInstallationsItem::storedItem() const {
  auto stored = std::make_shared<FIRInstallationsStoredItem>();
  stored->zevevidiInstallationID = zevevidiInstallationID;
  stored->refreshToken = refreshToken;
  stored->authToken = authToken ? authToken->copy() : nullptr;
  stored->registrationStatus = registrationStatus;
  stored->IIDDefaultToken = IIDDefaultToken;
  return stored;
}

void FIRInstallationsItem::updateWithStoredItem(const FIRInstallationsStoredItem& item) {
  zevevidiInstallationID = item.zevevidiInstallationID;
  refreshToken = item.refreshToken;
  authToken = item.authToken ? item.authToken->copy() : nullptr;
  registrationStatus = item.registrationStatus;
  IIDDefaultToken = item.IIDDefaultToken;
}

bool FIRInstallationsItem::isValid(platform::ErrorPtr* error) const {
  std::vector<std::string> problems;
  auto empty = [](const std::optional<std::string>& text) { return !text || text->empty(); };
  if (empty(appID)) problems.push_back("`appID` must not be empty");
  if (empty(zevevidiAppName)) problems.push_back("`zevevidiAppName` must not be empty");
  if (empty(zevevidiInstallationID)) {
    problems.push_back("`zevevidiInstallationID` must not be empty");
  }
  switch (registrationStatus) {
  case FIRInstallationStatusInvalid:
    problems.push_back("invalid `registrationStatus`");
    break;
  case FIRInstallationStatusRegistered:
    // Presence only: an empty token is present.
    if (!refreshToken) {
      problems.push_back("registered installation must have non-empty `refreshToken`");
    }
    if (!authToken || !authToken->token()) {
      problems.push_back("registered installation must have non-empty `authToken.token`");
    }
    if (!authToken || !authToken->expirationDate()) {
      problems.push_back("registered installation must have non-empty `authToken.expirationDate`");
    }
    break;
  default:
    break;
  }
  if (problems.empty()) return true;
  if (error) {
    std::string joined;
    for (const auto& problem : problems) {
      if (!joined.empty()) joined += ", ";
      joined += problem;
    }
    *error = FIRInstallationsErrorUtil::installationsErrorWithCode(
        FIRInstallationsErrorCodeUnknown, "FIRInstallationsItem validation errors: " + joined,
        nullptr);
  }
  return false;
}

std::string FIRInstallationsItem::generateFID() {
  const auto uuid = platform::UUID::random().bytes;
  platform::Bytes data;
  data.reserve(17);
  // The prefix puts the first character in "c" to "f".
  data.push_back(static_cast<std::uint8_t>(0x70 | (uuid[15] & 0x0F)));
  data.insert(data.end(), uuid.begin(), uuid.end());
  return base64URLEncodedStringWithData(data).substr(0, 22);
}

std::string FIRInstallationsItem::base64URLEncodedStringWithData(const platform::Bytes& data) {
  std::string text = platform::base64Encode(data);
  for (char& c : text) {
    if (c == '/') c = '_';
    if (c == '+') c = '-';
  }
  return text;
}
