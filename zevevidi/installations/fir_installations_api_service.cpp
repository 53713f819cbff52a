#include "zevevidi/installations/fir_installations_api_service.h"

#include "platform/dispatch/clock.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/json.h"
#include "platform/foundation/process_info.h"
#include "platform/net/url_error.h"
#include "zevevidi/core/fir_heartbeat_logger.h"
#include "zevevidi/core/fir_options.h"
#include "zevevidi/installations/fir_installations_errors.h"
#include "zevevidi/installations/fir_installations_logger.h"

namespace {

using platform::Bytes;
using platform::ErrorPtr;
using platform::Value;
using platform::ValueMap;

constexpr const char* kRedacted = "<redacted>";
constexpr const char* kAuthVersion = "FIS_v2";
constexpr int kMaxRedactionDepth = 64;

std::string textOf(const Bytes& data) {
  return std::string(data.begin(), data.end());
}

Value redactedJSON(const Value& value, int depth) {
  if (depth > kMaxRedactionDepth) return Value(kRedacted);
  if (const auto* map = value.ifMap()) {
    ValueMap out;
    for (const auto& [key, entry] : *map) {
      const bool secret =
          key.isString() && (key.asString() == "refreshToken" || key.asString() == "token");
      out.emplace(key, secret ? Value(kRedacted) : redactedJSON(entry, depth + 1));
    }
    return Value(std::move(out));
  }
  if (const auto* list = value.ifList()) {
    platform::ValueList out;
    for (const auto& entry : *list)
      out.push_back(redactedJSON(entry, depth + 1));
    return Value(std::move(out));
  }
  return value;
}

std::string describeRequest(const platform::URLRequest& request) {
  return "<URLRequest " + request.httpMethod + " " + request.url + ">";
}

std::string describeResponse(const platform::HTTPURLResponsePtr& response) {
  if (!response) return "(null)";
  return "<HTTPURLResponse " + response->url + " status " + std::to_string(response->statusCode) +
         ">";
}

std::string describeError(const ErrorPtr& error) {
  return error ? Value(error).debugString() : std::string("(null)");
}

// The debug lines of one kind of answer.
struct ParseLog {
  const char* failedCode;
  const char* failedPrefix;  // followed by the error and "."
  const char* succeededCode;
  const char* succeededText;
};

// Parses an answer with the current time as the reference of token lifetimes, logging the
// attempt and its outcome.
FIRInstallationsAPIService::ItemPromise::Resolution parseResponse(
    const FIRInstallationsURLSessionResponse& response, const ParseLog& log,
    const std::function<std::optional<FIRInstallationsItem>(platform::Date, ErrorPtr*)>& parse) {
  FIRLogDebug(kFIRLoggerInstallations, kFIRInstallationsMessageCodeParsingAPIResponse,
              "Parsing server response for %s.", response.HTTPResponse->url.c_str());
  ErrorPtr error;
  auto parsed = parse(platform::Date{platform::Clock::current().now()}, &error);
  if (!parsed) {
    if (!error) {
      error = FIRInstallationsErrorUtil::installationsErrorWithCode(
          FIRInstallationsErrorCodeUnknown, "The server's answer could not be parsed.", nullptr);
    }
    FIRLoggerWrapper::logWithLevel(FIRLoggerLevelDebug, kFIRLoggerInstallations, log.failedCode,
                                   log.failedPrefix + describeError(error) + ".");
    return error;
  }
  FIRLoggerWrapper::logWithLevel(FIRLoggerLevelDebug, kFIRLoggerInstallations, log.succeededCode,
                                 log.succeededText);
  return std::move(*parsed);
}

}  // namespace

std::string FIRInstallationsRedactedHeaders(const platform::HTTPHeaders& headers) {
  std::string out = "{";
  bool first = true;
  for (const auto& [name, value] : headers.entries()) {
    const bool secret = platform::equalsIgnoringCase(name, kFIRInstallationsAPIKeyHeader) ||
                        platform::equalsIgnoringCase(name, kFIRInstallationsAuthorizationHeader) ||
                        platform::equalsIgnoringCase(name, kFIRInstallationsIIDMigrationAuthHeader);
    if (!first) out += "; ";
    first = false;
    out += name + ": " + (secret ? std::string(kRedacted) : value);
  }
  return out + "}";
}

std::string FIRInstallationsRedactedBody(const Bytes& body) {
  const std::string text = FIRInstallationsTextFromUTF8Data(body);
  if (body.empty()) return text;
  auto json = platform::JSONObjectWithData(textOf(body));
  if (!json) {
    // Not JSON, so there is no key to find a secret under; the text is shown as it came.
    return text;
  }
  auto redacted = platform::dataWithJSONObject(redactedJSON(*json, 0));
  return redacted ? *redacted : std::string(kRedacted);
}

// ---- FIRInstallationsAPIService ----

std::shared_ptr<FIRInstallationsAPIService>
FIRInstallationsAPIService::initWithAPIKey(std::string APIKey, std::string projectID,
                                           std::shared_ptr<FIRHeartbeatLoggerProtocol> logger) {
  auto session = platform::URLSession::sessionWithConfiguration(
      platform::URLSessionConfiguration::ephemeralSessionConfiguration(), nullptr, nullptr);
  return initWithURLSession(std::move(session), std::move(APIKey), std::move(projectID),
                            std::move(logger));
}

std::shared_ptr<FIRInstallationsAPIService>
FIRInstallationsAPIService::initWithURLSession(platform::URLSessionPtr URLSession,
                                               std::string APIKey, std::string projectID,
                                               std::shared_ptr<FIRHeartbeatLoggerProtocol> logger) {
  return std::make_shared<FIRInstallationsAPIService>(std::move(URLSession), std::move(APIKey),
                                                      std::move(projectID), std::move(logger));
}

FIRInstallationsAPIService::FIRInstallationsAPIService(
    platform::URLSessionPtr URLSession, std::string APIKey, std::string projectID,
    std::shared_ptr<FIRHeartbeatLoggerProtocol> heartbeatLogger)
    : URLSession_(std::move(URLSession)), APIKey_(std::move(APIKey)),
      projectID_(std::move(projectID)), heartbeatLogger_(std::move(heartbeatLogger)) {}

std::string FIRInstallationsAPIService::baseURL() {
  auto override =
      platform::ProcessInfo::processInfo().environmentValue(kFIRInstallationsBaseURLVariable);
  if (override) {
    std::string url = *override;
    while (!url.empty() && url.back() == '/')
      url.pop_back();
    platform::URLRequest probe;
    probe.url = url;
    const std::string scheme = probe.scheme();
    if ((scheme == "http" || scheme == "https") && !probe.host().empty()) return url;
  }
  return kFIRInstallationsDefaultBaseURL;
}

std::string FIRInstallationsAPIService::pathSegment(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

std::string FIRInstallationsAPIService::SDKVersion() {
  return std::string("i:") + FIRZevevidiVersion();
}

std::string
FIRInstallationsAPIService::installationsURL(const std::optional<std::string>& FID) const {
  std::string url = baseURL() + "/v1/projects/" + pathSegment(projectID_) + "/installations/";
  if (FID) url += pathSegment(*FID) + "/";
  return url;
}

FIRInstallationsAPIService::RequestPromise::Ptr FIRInstallationsAPIService::requestWithURL(
    std::string URL, std::string HTTPMethod, ValueMap bodyDict,
    std::optional<std::string> refreshToken, platform::HTTPHeaders additionalHeaders) {
  auto self = shared_from_this();
  return RequestPromise::onQueueDo(
      platform::globalQueue(platform::QueuePriority::Utility),
      [self, URL = std::move(URL), HTTPMethod = std::move(HTTPMethod),
       bodyDict = std::move(bodyDict), refreshToken = std::move(refreshToken),
       additionalHeaders = std::move(additionalHeaders)]() -> RequestPromise::Resolution {
        auto request = platform::URLRequest::withURL(URL);
        request.httpMethod = HTTPMethod;
        request.headers.set(kFIRInstallationsAPIKeyHeader, self->APIKey_);
        if (auto bundleID = platform::Bundle::main()->bundleIdentifier()) {
          request.headers.set(kFIRInstallationsBundleIdHeader, *bundleID);
        }
        request.headers.set("Content-Type", "application/json");
        auto body = platform::dataWithJSONObject(Value(bodyDict));
        request.httpBody = body ? Bytes(body->begin(), body->end()) : Bytes();
        if (refreshToken) {
          request.headers.set(kFIRInstallationsAuthorizationHeader,
                              std::string(kAuthVersion) + " " + *refreshToken);
        }
        if (self->heartbeatLogger_) {
          if (auto heartbeat = self->heartbeatLogger_->headerValue()) {
            request.headers.set(kFIRInstallationsHeartbeatHeader, *heartbeat);
          }
        }
        for (const auto& [name, value] : additionalHeaders.entries()) {
          request.headers.set(name, value);
        }
        return request;
      });
}

FIRInstallationsAPIService::ResponsePromise::Ptr
FIRInstallationsAPIService::sendURLRequest(const platform::URLRequest& request) {
  auto self = shared_from_this();
  return ResponsePromise::attempts(
      1, 1.0,
      [](std::int64_t, const ErrorPtr& error) {
        return FIRInstallationsErrorUtil::isAPIError(error, 500);
      },
      [self, request]() -> ResponsePromise::Resolution {
        return self->URLRequestPromise(request);
      });
}

FIRInstallationsAPIService::ResponsePromise::Ptr
FIRInstallationsAPIService::URLRequestPromise(const platform::URLRequest& request) {
  FIRLogDebug(kFIRLoggerInstallations, kFIRInstallationsMessageCodeSendAPIRequest,
              "Sending request: %s, body:%s, headers: %s.", describeRequest(request).c_str(),
              FIRInstallationsRedactedBody(request.httpBody).c_str(),
              FIRInstallationsRedactedHeaders(request.headers).c_str());
  auto exchange = ResponsePromise::pendingPromise();
  auto task = URLSession_->dataTaskWithRequest(
      request, [exchange, request](const Bytes& data, const platform::HTTPURLResponsePtr& response,
                                   ErrorPtr error) {
        if (!error && !response) {
          error = platform::Error::withDescription(platform::kURLErrorDomain,
                                                   platform::kURLErrorBadServerResponse,
                                                   "The server gave no HTTP response.");
        }
        if (error) {
          FIRLogDebug(kFIRLoggerInstallations, kFIRInstallationsMessageCodeAPIRequestNetworkError,
                      "Request failed: %s, error: %s.", describeRequest(request).c_str(),
                      describeError(error).c_str());
          exchange->reject(std::move(error));
          return;
        }
        FIRLogDebug(kFIRLoggerInstallations, kFIRInstallationsMessageCodeAPIRequestResponse,
                    "Request response received: %s, error: %s, body: %s.",
                    describeRequest(request).c_str(), "(null)",
                    FIRInstallationsRedactedBody(data).c_str());
        exchange->fulfill(FIRInstallationsURLSessionResponse{response, data});
      });
  if (!task) {
    exchange->reject(platform::Error::withDescription(
        platform::kURLErrorDomain, platform::kURLErrorCancelled,
        "The installations service's URL session no longer takes requests."));
    return exchange;
  }
  task->resume();
  return exchange->then(
      [](const FIRInstallationsURLSessionResponse& response) -> ResponsePromise::Resolution {
        const int status = response.HTTPResponse->statusCode;
        if (status >= 200 && status <= 299) return response;
        FIRLogDebug(kFIRLoggerInstallations,
                    kFIRInstallationsMessageCodeUnexpectedAPIRequestResponse,
                    "Unexpected API response: %s, body: %s.",
                    describeResponse(response.HTTPResponse).c_str(),
                    FIRInstallationsRedactedBody(response.data).c_str());
        return FIRInstallationsErrorUtil::APIErrorWithHTTPResponse(response.HTTPResponse,
                                                                   response.data);
      });
}

FIRInstallationsAPIService::ItemPromise::Ptr
FIRInstallationsAPIService::registerInstallation(const FIRInstallationsItem& installation) {
  ErrorPtr validationError;
  if (!installation.isValid(&validationError)) {
    return FIRInstallationsErrorUtil::rejectedPromiseWithError<FIRInstallationsItem>(
        validationError);
  }
  ValueMap body{
      {Value("fid"), Value(installation.zevevidiInstallationID.value_or(""))},
      {Value("authVersion"), Value(kAuthVersion)},
      {Value("appId"), Value(installation.appID.value_or(""))},
      {Value("sdkVersion"), Value(SDKVersion())},
  };
  platform::HTTPHeaders headers;
  if (installation.IIDDefaultToken) {
    headers.set(kFIRInstallationsIIDMigrationAuthHeader, *installation.IIDDefaultToken);
  }
  static const ParseLog kLog{kFIRInstallationsMessageCodeAPIResponseParsingInstallationFailed,
                             "Failed to parse FIRInstallationsItem: ",
                             kFIRInstallationsMessageCodeAPIResponseParsingInstallationSucceed,
                             "FIRInstallationsItem parsed successfully."};
  return exchange(requestWithURL(installationsURL(std::nullopt), "POST", std::move(body),
                                 std::nullopt, std::move(headers)),
                  [installation](const FIRInstallationsURLSessionResponse& response) {
                    return parseResponse(response, kLog, [&](platform::Date date, ErrorPtr* error) {
                      return installation.registeredInstallationWithJSONData(response.data, date,
                                                                             error);
                    });
                  });
}

FIRInstallationsAPIService::ItemPromise::Ptr
FIRInstallationsAPIService::refreshAuthTokenForInstallation(
    const FIRInstallationsItem& installation) {
  ValueMap body{
      {Value("installation"), Value(ValueMap{{Value("sdkVersion"), Value(SDKVersion())}})}};
  static const ParseLog kLog{kFIRInstallationsMessageCodeAPIResponseParsingAuthTokenFailed,
                             "Failed to parse FIRInstallationsStoredAuthToken: ",
                             kFIRInstallationsMessageCodeAPIResponseParsingAuthTokenSucceed,
                             "FIRInstallationsStoredAuthToken parsed successfully."};
  return exchange(
      requestWithURL(installationsURL(installation.zevevidiInstallationID.value_or("")) +
                         "authTokens:generate",
                     "POST", std::move(body), installation.refreshToken),
      [installation](const FIRInstallationsURLSessionResponse& response) {
        return parseResponse(
            response, kLog,
            [&](platform::Date date, ErrorPtr* error) -> std::optional<FIRInstallationsItem> {
              auto token = FIRInstallationsItem::authTokenWithGenerateTokenAPIJSONData(
                  response.data, date, error);
              if (!token) return std::nullopt;
              FIRInstallationsItem updated = installation;
              updated.authToken = std::move(token);
              return updated;
            });
      });
}

FIRInstallationsAPIService::ItemPromise::Ptr
FIRInstallationsAPIService::deleteInstallation(const FIRInstallationsItem& installation) {
  return exchange(
      requestWithURL(installationsURL(installation.zevevidiInstallationID.value_or("")), "DELETE",
                     ValueMap{}, installation.refreshToken),
      [installation](const FIRInstallationsURLSessionResponse&) -> ItemPromise::Resolution {
        return installation;
      });
}

FIRInstallationsAPIService::ItemPromise::Ptr FIRInstallationsAPIService::exchange(
    RequestPromise::Ptr request,
    std::function<ItemPromise::Resolution(const FIRInstallationsURLSessionResponse&)> answer) {
  auto self = shared_from_this();
  return request
      ->then([self](const platform::URLRequest& built) { return self->sendURLRequest(built); })
      ->then(std::move(answer));
}
