// Constants, error codes, message codes and the logger protocol shared by the network client
// (GULNetwork) and its per-request transport (GULNetworkURLSession). Users of the client read
// these too (status codes, the error domain, the logger protocol).
#pragma once

#include <string>
#include <vector>

#include "platform/core/value.h"

inline constexpr double kGULNetworkTimeOutInterval = 60.0;
inline constexpr double kGULNetworkTempFolderExpireTime = 3600.0;
inline constexpr const char* kGULNetworkErrorDomain = "com.gul.network.ErrorDomain";
inline constexpr const char* kGULNetworkErrorContext = "Context";
inline constexpr const char* kGULNetworkBackgroundSessionConfigIDPrefix =
    "com.gul.network.background-upload";
inline constexpr const char* kGULNetworkApplicationSupportSubdirectory = "GUL/Network";
inline constexpr const char* kGULNetworkTempDirectoryName = "GULNetworkTemporaryDirectory";
// Default host whose reachability a client watches: the measurement collection service. The
// host of LUMORA_MEASUREMENT_URL replaces it when that is set (see GULNetworkReachabilityHost).
inline constexpr const char* kGULNetworkReachabilityHost = "measurement.lumora.invalid";
inline constexpr const char* kGULLoggerNetwork = "[GULNetwork]";

inline constexpr int kGULNetworkHTTPStatusOK = 200;
inline constexpr int kGULNetworkHTTPStatusNoContent = 204;
inline constexpr int kGULNetworkHTTPStatusCodeMultipleChoices = 300;
inline constexpr int kGULNetworkHTTPStatusCodeMovedPermanently = 301;
inline constexpr int kGULNetworkHTTPStatusCodeFound = 302;
inline constexpr int kGULNetworkHTTPStatusCodeNotModified = 304;
inline constexpr int kGULNetworkHTTPStatusCodeMovedTemporarily = 307;
inline constexpr int kGULNetworkHTTPStatusCodeNotFound = 404;
inline constexpr int kGULNetworkHTTPStatusCodeCannotAcceptTraffic = 429;
inline constexpr int kGULNetworkHTTPStatusCodeUnavailable = 503;

// Codes of kGULNetworkErrorDomain; every such error carries {"Context": text}.
enum GULNetworkErrorCode : std::int64_t {
  GULErrorCodeNetworkInvalidURL = 1,
  GULErrorCodeNetworkSessionTaskCreation = 2,
  GULErrorCodeNetworkPayloadCompression = 3,
  GULErrorCodeNetworkEmptyURL = 4,  // bad request object, or no session identifier
  GULErrorCodeNetworkEmptyResponse = 5,
};

enum GULNetworkLogLevel : int {
  kGULNetworkLogLevelError = 3,
  kGULNetworkLogLevelWarning = 4,
  kGULNetworkLogLevelInfo = 6,
  kGULNetworkLogLevelDebug = 7,
};

enum GULNetworkMessageCode : int {
  kGULNetworkMessageCodeNetwork000 = 900000,  // "Uploading data. Host"
  kGULNetworkMessageCodeNetwork001 = 900001,  // "Downloading data. Host"
  kGULNetworkMessageCodeNetwork002 = 900002,  // request creation / logger delegate refusal
  kGULNetworkMessageCodeNetwork003 = 900003,  // background session lost after relaunch
  kGULNetworkMessageCodeURLSession000 = 901000,
  kGULNetworkMessageCodeURLSession001 = 901001,
  kGULNetworkMessageCodeURLSession002 = 901002,
  kGULNetworkMessageCodeURLSession004 = 901004,
  kGULNetworkMessageCodeURLSession005 = 901005,
  kGULNetworkMessageCodeURLSession006 = 901006,
  kGULNetworkMessageCodeURLSession007 = 901007,
  kGULNetworkMessageCodeURLSession008 = 901008,
  kGULNetworkMessageCodeURLSession009 = 901009,
  kGULNetworkMessageCodeURLSession010 = 901010,
  kGULNetworkMessageCodeURLSession011 = 901011,
  kGULNetworkMessageCodeURLSession012 = 901012,
  kGULNetworkMessageCodeURLSession013 = 901013,
  kGULNetworkMessageCodeURLSession014 = 901014,
  kGULNetworkMessageCodeURLSession015 = 901015,
  kGULNetworkMessageCodeURLSession016 = 901016,
  kGULNetworkMessageCodeURLSession017 = 901017,
  kGULNetworkMessageCodeURLSession019 = 901019,
};

// Receives every log line of the networking code. All three forms are required; contexts are
// values (texts, numbers, errors), a null value standing for an absent context.
class GULNetworkLoggerDelegate {
 public:
  virtual ~GULNetworkLoggerDelegate() = default;
  virtual void GULNetwork_logWithLevel_contexts(GULNetworkLogLevel level,
                                                GULNetworkMessageCode messageCode,
                                                const std::string& message,
                                                const std::vector<platform::Value>& contexts) = 0;
  virtual void GULNetwork_logWithLevel_context(GULNetworkLogLevel level,
                                               GULNetworkMessageCode messageCode,
                                               const std::string& message,
                                               const platform::Value& context) = 0;
  virtual void GULNetwork_logWithLevel(GULNetworkLogLevel level, GULNetworkMessageCode messageCode,
                                       const std::string& message) = 0;
};

// The host a client made with GULNetwork::init() watches.
std::string GULNetworkReachabilityHost();
