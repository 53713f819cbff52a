// FIRInstallationsAPIService: the client of the installations service's REST protocol. It
// registers (creates) an installation, generates a new auth token for a registered one and
// deletes one, each call taking an installation record and answering with a promise.
//
// Requests carry the app's API key, the main bundle's identifier and the heartbeat header, go out
// over the service's own ephemeral URL session (an HTTP 500 is retried once after 1.0 s) and are
// answered with the parsed record or an error: FIRInstallationsHTTPError for any status outside
// 200-299, code-0 errors for malformed answers, the session's error for transport failures.
//
// Requests are built on the global utility queue; data-task completions arrive on the session's
// own queue; status checks and parsing run on the main queue. The service holds no mutable state,
// so calls may overlap freely from any thread. Debug lines never show the API key or tokens.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/net/url_request.h"
#include "platform/net/url_session.h"
#include "zevevidi/installations/fir_installations_item.h"
#include "zevevidi/promises/fbl_promise.h"

class FIRHeartbeatLoggerProtocol;

// Base URL of the service unless LUMORA_INSTALLATIONS_URL names another (scheme, host, port).
inline constexpr const char* kFIRInstallationsDefaultBaseURL =
    "https://installations.zevevidi.invalid";
inline constexpr const char* kFIRInstallationsBaseURLVariable = "LUMORA_INSTALLATIONS_URL";

inline constexpr const char* kFIRInstallationsAPIKeyHeader = "X-Vozo-Api-Key";
inline constexpr const char* kFIRInstallationsBundleIdHeader = "X-Ios-Bundle-Identifier";
inline constexpr const char* kFIRInstallationsAuthorizationHeader = "Authorization";
inline constexpr const char* kFIRInstallationsHeartbeatHeader = "X-zevevidi-client";
inline constexpr const char* kFIRInstallationsIIDMigrationAuthHeader =
    "x-zrz-fis-ios-iid-migration-auth";

struct FIRInstallationsURLSessionResponse {
  platform::HTTPURLResponsePtr HTTPResponse;
  platform::Bytes data;  // empty when the session gave none
};

class FIRInstallationsAPIService : public std::enable_shared_from_this<FIRInstallationsAPIService> {
 public:
  using ItemPromise = FBLPromise<FIRInstallationsItem>;
  using ResponsePromise = FBLPromise<FIRInstallationsURLSessionResponse>;
  using RequestPromise = FBLPromise<platform::URLRequest>;

  // Over a new URL session of the ephemeral configuration (no cookies, cache or credentials kept).
  static std::shared_ptr<FIRInstallationsAPIService>
  initWithAPIKey(std::string APIKey, std::string projectID,
                 std::shared_ptr<FIRHeartbeatLoggerProtocol> heartbeatLogger);
  static std::shared_ptr<FIRInstallationsAPIService>
  initWithURLSession(platform::URLSessionPtr URLSession, std::string APIKey, std::string projectID,
                     std::shared_ptr<FIRHeartbeatLoggerProtocol> heartbeatLogger);

  // An invalid record fails with its validation error and sends nothing.
  ItemPromise::Ptr registerInstallation(const FIRInstallationsItem& installation);
  // A copy of the record with the new auth token.
  ItemPromise::Ptr refreshAuthTokenForInstallation(const FIRInstallationsItem& installation);
  // The same record once the service answered with a 2xx status.
  ItemPromise::Ptr deleteInstallation(const FIRInstallationsItem& installation);

  // The base URL in force: the override when it is an http(s) URL with a host (a trailing "/"
  // dropped), else kFIRInstallationsDefaultBaseURL.
  static std::string baseURL();
  // `text` as one path segment: every byte outside A-Z, a-z, 0-9, "-" and "_" as %XX.
  static std::string pathSegment(const std::string& text);
  // "i:" followed by the SDK version.
  static std::string SDKVersion();

  // Building and sending, exposed for the tests of the exchange itself.
  RequestPromise::Ptr requestWithURL(std::string URL, std::string HTTPMethod,
                                     platform::ValueMap bodyDict,
                                     std::optional<std::string> refreshToken,
                                     platform::HTTPHeaders additionalHeaders = {});
  ResponsePromise::Ptr sendURLRequest(const platform::URLRequest& request);

  FIRInstallationsAPIService(platform::URLSessionPtr URLSession, std::string APIKey,
                             std::string projectID,
                             std::shared_ptr<FIRHeartbeatLoggerProtocol> heartbeatLogger);

 private:
  ResponsePromise::Ptr URLRequestPromise(const platform::URLRequest& request);
  // Sends the request once built, then answers from the response on the main queue.
  ItemPromise::Ptr exchange(
      RequestPromise::Ptr request,
      std::function<ItemPromise::Resolution(const FIRInstallationsURLSessionResponse&)> answer);
  std::string installationsURL(const std::optional<std::string>& FID) const;

  const platform::URLSessionPtr URLSession_;
  const std::string APIKey_;
  const std::string projectID_;
  const std::shared_ptr<FIRHeartbeatLoggerProtocol> heartbeatLogger_;
};

// Text forms for debug lines with every secret masked: the API key, authorization and migration
// headers, and the values under "refreshToken" and "token" at any depth of a JSON body.
std::string FIRInstallationsRedactedHeaders(const platform::HTTPHeaders& headers);
std::string FIRInstallationsRedactedBody(const platform::Bytes& body);
