#include "zevevidi/installations/fir_installations_errors.h"

#include <unicode/utf8.h>

#include "platform/foundation/keyed_archive.h"

namespace {

using platform::Bytes;
using platform::ErrorPtr;
using platform::Value;

constexpr const char* kHTTPErrorClassName = "FIRInstallationsHTTPError";
constexpr const char* kHTTPResponseClassName = "HTTPURLResponse";
constexpr const char* kHTTPResponseKey = "HTTPResponse";
constexpr const char* kDataKey = "data";

// The archived form of an HTTP response: its URL, status and header fields.
class ArchivedHTTPResponse : public platform::ArchivableObject {
 public:
  explicit ArchivedHTTPResponse(platform::HTTPURLResponsePtr response)
      : response(std::move(response)) {}
  std::string className() const override { return kHTTPResponseClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override {
    coder.encodeObject(Value(response->url), "URL");
    coder.encodeInteger(response->statusCode, "statusCode");
    platform::ValueList headers;
    for (const auto& [name, value] : response->headers.entries()) {
      headers.push_back(Value::list({Value(name), Value(value)}));
    }
    coder.encodeObject(Value(std::move(headers)), "headerFields");
  }
  static platform::ArchiveClass archiveClass() {
    return {kHTTPResponseClassName, [](platform::KeyedUnarchiver& coder) -> platform::ObjectPtr {
              auto url = coder.decodeStringForKey("URL");
              const std::int64_t status = coder.decodeIntegerForKey("statusCode");
              if (!url || status < 0 || status > 999) return nullptr;
              auto response = std::make_shared<platform::HTTPURLResponse>();
              response->url = *url;
              response->statusCode = static_cast<int>(status);
              const Value headers = coder.decodeObjectForKey("headerFields");
              if (const auto* list = headers.ifList()) {
                for (const auto& entry : *list) {
                  const auto* pair = entry.ifList();
                  if (pair && pair->size() == 2 && (*pair)[0].isString() && (*pair)[1].isString()) {
                    response->headers.set((*pair)[0].asString(), (*pair)[1].asString());
                  }
                }
              }
              return std::make_shared<ArchivedHTTPResponse>(std::move(response));
            }};
  }
  platform::HTTPURLResponsePtr response;
};

class ArchivedHTTPError : public platform::ArchivableObject {
 public:
  ArchivedHTTPError(platform::HTTPURLResponsePtr response, Bytes data)
      : response(std::move(response)), data(std::move(data)) {}
  std::string className() const override { return kHTTPErrorClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override {
    if (response) {
      coder.encodeObject(Value(std::make_shared<ArchivedHTTPResponse>(response)), kHTTPResponseKey);
    }
    coder.encodeObject(Value(data), kDataKey);
  }
  static platform::ArchiveClass archiveClass() {
    return {kHTTPErrorClassName, [](platform::KeyedUnarchiver& coder) -> platform::ObjectPtr {
              // Without an HTTP response there is no error to rebuild.
              auto response = coder.decodeObjectOfClass<ArchivedHTTPResponse>(kHTTPResponseKey);
              if (!response) return nullptr;
              auto data = coder.decodeBytesForKey(kDataKey);
              return std::make_shared<ArchivedHTTPError>(response->response,
                                                         data.value_or(Bytes()));
            }};
  }
  platform::HTTPURLResponsePtr response;
  Bytes data;
};

platform::ValueMap httpErrorUserInfo(const platform::HTTPURLResponsePtr& response,
                                     const Bytes& data) {
  std::string reason = "The server responded with an error: \n - URL: ";
  reason += response ? response->url : "(null)";
  reason += " \n - HTTP status code: ";
  reason += std::to_string(response ? response->statusCode : 0);
  reason += " \n - Response body: ";
  reason += FIRInstallationsTextFromUTF8Data(data);
  return {{Value(platform::kLocalizedFailureReasonKey), Value(std::move(reason))}};
}

}  // namespace

std::string FIRInstallationsTextFromUTF8Data(const Bytes& data) {
  const auto* bytes = data.data();
  const auto length = static_cast<std::int32_t>(data.size());
  if (data.size() > static_cast<std::size_t>(INT32_MAX)) return "(null)";
  for (std::int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) return "(null)";
  }
  return std::string(data.begin(), data.end());
}

// ---- FIRInstallationsHTTPError ----

FIRInstallationsHTTPError::FIRInstallationsHTTPError(platform::HTTPURLResponsePtr HTTPResponse,
                                                     Bytes data)
    : platform::Error(kZevevidiInstallationsErrorDomain, FIRInstallationsErrorCodeUnknown,
                      httpErrorUserInfo(HTTPResponse, data)),
      HTTPResponse_(std::move(HTTPResponse)), data_(std::move(data)) {}

std::shared_ptr<const FIRInstallationsHTTPError> FIRInstallationsHTTPError::copy() const {
  return std::make_shared<const FIRInstallationsHTTPError>(HTTPResponse_, data_);
}

std::optional<Bytes> FIRInstallationsHTTPError::archivedData(ErrorPtr* error) const {
  return platform::KeyedArchiver::archivedDataWithRootObject(
      Value(std::make_shared<ArchivedHTTPError>(HTTPResponse_, data_)), error);
}

std::shared_ptr<const FIRInstallationsHTTPError>
FIRInstallationsHTTPError::unarchivedError(const Bytes& archive, ErrorPtr* error) {
  auto archived = platform::KeyedUnarchiver::unarchivedObjectOfClass<ArchivedHTTPError>(
      archive, {ArchivedHTTPError::archiveClass(), ArchivedHTTPResponse::archiveClass()}, error);
  if (!archived) return nullptr;
  return std::make_shared<const FIRInstallationsHTTPError>(archived->response, archived->data);
}

// ---- FIRInstallationsErrorUtil ----

ErrorPtr FIRInstallationsErrorUtil::installationsErrorWithCode(std::int64_t code,
                                                               std::optional<std::string> reason,
                                                               ErrorPtr underlyingError) {
  platform::ValueMap userInfo;
  if (!reason) {
    reason = "Underlying error: " +
             (underlyingError ? underlyingError->localizedDescription() : std::string("(null)"));
  }
  if (underlyingError) {
    userInfo.emplace(Value(platform::kUnderlyingErrorKey), Value(underlyingError));
  }
  userInfo.emplace(Value(platform::kLocalizedFailureReasonKey), Value(std::move(*reason)));
  return platform::Error::make(kZevevidiInstallationsErrorDomain, code, std::move(userInfo));
}

ErrorPtr FIRInstallationsErrorUtil::installationItemNotFoundForAppID(const std::string& appID,
                                                                     const std::string& appName) {
  return installationsErrorWithCode(
      FIRInstallationsErrorCodeUnknown,
      "Installation for appID " + appID + " appName " + appName + " not found", nullptr);
}

ErrorPtr FIRInstallationsErrorUtil::corruptedIIDTokenData() {
  return installationsErrorWithCode(
      FIRInstallationsErrorCodeUnknown,
      "IID token data stored in Keychain is corrupted or in an incompatible format.", nullptr);
}

ErrorPtr FIRInstallationsErrorUtil::JSONSerializationError(ErrorPtr underlyingError) {
  return installationsErrorWithCode(FIRInstallationsErrorCodeUnknown,
                                    "Failed to serialize JSON data.", std::move(underlyingError));
}

ErrorPtr
FIRInstallationsErrorUtil::FIDRegistrationErrorWithResponseMissingField(const std::string& name) {
  return installationsErrorWithCode(FIRInstallationsErrorCodeUnknown,
                                    "A required response field with name " + name + " is missing",
                                    nullptr);
}

ErrorPtr FIRInstallationsErrorUtil::keychainErrorWithFunction(const std::string& function,
                                                              std::int64_t status) {
  return installationsErrorWithCode(FIRInstallationsErrorCodeKeychain,
                                    function + " (" + std::to_string(status) + ")", nullptr);
}

ErrorPtr FIRInstallationsErrorUtil::backoffIntervalWaitError() {
  return installationsErrorWithCode(FIRInstallationsErrorCodeServerUnreachable,
                                    "Too many server requests.", nullptr);
}

ErrorPtr FIRInstallationsErrorUtil::APIErrorWithHTTPResponse(platform::HTTPURLResponsePtr response,
                                                             Bytes data) {
  return std::make_shared<const FIRInstallationsHTTPError>(std::move(response), std::move(data));
}

ErrorPtr FIRInstallationsErrorUtil::publicDomainErrorWithError(const ErrorPtr& error) {
  if (error && error->domain == kZevevidiInstallationsErrorDomain) return error;
  return installationsErrorWithCode(FIRInstallationsErrorCodeUnknown, std::nullopt, error);
}

bool FIRInstallationsErrorUtil::isAPIError(const ErrorPtr& error, std::int64_t code) {
  const auto status = HTTPStatusOfError(error);
  return status && *status == code;
}

std::optional<int> FIRInstallationsErrorUtil::HTTPStatusOfError(const ErrorPtr& error) {
  auto httpError = std::dynamic_pointer_cast<const FIRInstallationsHTTPError>(error);
  if (!httpError || !httpError->HTTPResponse()) return std::nullopt;
  return httpError->HTTPResponse()->statusCode;
}
