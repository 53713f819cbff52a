// Errors of the installations subsystem: one domain, three codes, one factory that builds every
// record, and the HTTP error record made for every answer outside 200-299.
//
// Every error carries its failure reason under the localized-failure-reason key and, where one
// caused it, the underlying error under the underlying-error key. Stateless; any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/core/error.h"
#include "platform/core/value.h"
#include "platform/net/url_request.h"
#include "zevevidi/promises/fbl_promise.h"

inline constexpr const char* kZevevidiInstallationsErrorDomain = "com.zevevidi.installations";

enum FIRInstallationsErrorCode : std::int64_t {
  // Invalid or missing record, malformed answer, HTTP error, any foreign error made public.
  FIRInstallationsErrorCodeUnknown = 0,
  // A keychain call failed.
  FIRInstallationsErrorCodeKeychain = 1,
  // Refused locally: the backoff interval has not passed.
  FIRInstallationsErrorCodeServerUnreachable = 2,
};

// An answer of the installations service whose status lies outside 200-299. Code 0 whatever the
// status; the response and the body travel with it.
class FIRInstallationsHTTPError : public platform::Error {
 public:
  FIRInstallationsHTTPError(platform::HTTPURLResponsePtr HTTPResponse, platform::Bytes data);

  const platform::HTTPURLResponsePtr& HTTPResponse() const { return HTTPResponse_; }
  const platform::Bytes& data() const { return data_; }

  // A new error made from the same response and body.
  std::shared_ptr<const FIRInstallationsHTTPError> copy() const;

  // The archive form: the response under "HTTPResponse", the body under "data".
  std::optional<platform::Bytes> archivedData(platform::ErrorPtr* error = nullptr) const;
  // None when the archive holds no HTTP response under "HTTPResponse".
  static std::shared_ptr<const FIRInstallationsHTTPError>
  unarchivedError(const platform::Bytes& archive, platform::ErrorPtr* error = nullptr);

 private:
  platform::HTTPURLResponsePtr HTTPResponse_;
  platform::Bytes data_;
};

class FIRInstallationsErrorUtil {
 public:
  static platform::ErrorPtr installationsErrorWithCode(std::int64_t code,
                                                       std::optional<std::string> failureReason,
                                                       platform::ErrorPtr underlyingError);

  static platform::ErrorPtr installationItemNotFoundForAppID(const std::string& appID,
                                                             const std::string& appName);
  static platform::ErrorPtr corruptedIIDTokenData();
  static platform::ErrorPtr JSONSerializationError(platform::ErrorPtr underlyingError);
  static platform::ErrorPtr FIDRegistrationErrorWithResponseMissingField(const std::string& name);
  static platform::ErrorPtr keychainErrorWithFunction(const std::string& function,
                                                      std::int64_t status);
  static platform::ErrorPtr backoffIntervalWaitError();
  static platform::ErrorPtr APIErrorWithHTTPResponse(platform::HTTPURLResponsePtr response,
                                                     platform::Bytes data);
  // An installations error unchanged; any other error wrapped as code 0 without a reason.
  static platform::ErrorPtr publicDomainErrorWithError(const platform::ErrorPtr& error);

  template <class T>
  static typename FBLPromise<T>::Ptr rejectedPromiseWithError(platform::ErrorPtr error) {
    auto promise = FBLPromise<T>::pendingPromise();
    promise->reject(std::move(error));
    return promise;
  }

  // Whether `error` is an FIRInstallationsHTTPError whose response has status `code`.
  static bool isAPIError(const platform::ErrorPtr& error, std::int64_t code);
  // The response status of an FIRInstallationsHTTPError; none for any other error.
  static std::optional<int> HTTPStatusOfError(const platform::ErrorPtr& error);
};

// The body as text when it is UTF-8, else "(null)", the way an absent text prints.
std::string FIRInstallationsTextFromUTF8Data(const platform::Bytes& data);
