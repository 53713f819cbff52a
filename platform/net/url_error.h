// Error domain and codes of the URL session, with the platform's numbers, so callers that compare
// transport failures (time-out, no connection, cancelled, untrusted server) see the values they
// expect. Every transport failure of the session is one of these.
#pragma once

#include <cstdint>
#include <string>

#include "platform/core/error.h"

namespace platform {

inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";
inline constexpr const char* kURLErrorFailingURLStringKey = "NSErrorFailingURLStringKey";

enum URLErrorCode : std::int64_t {
  kURLErrorUnknown = -1,
  kURLErrorCancelled = -999,
  kURLErrorBadURL = -1000,
  kURLErrorTimedOut = -1001,
  kURLErrorUnsupportedURL = -1002,
  kURLErrorCannotFindHost = -1003,
  kURLErrorCannotConnectToHost = -1004,
  kURLErrorNetworkConnectionLost = -1005,
  kURLErrorHTTPTooManyRedirects = -1007,
  kURLErrorBadServerResponse = -1011,
  kURLErrorCannotDecodeContentData = -1016,
  kURLErrorDataLengthExceedsMaximum = -1103,
  kURLErrorSecureConnectionFailed = -1200,
  kURLErrorServerCertificateUntrusted = -1202,
  kURLErrorCannotCreateFile = -3000,
  kURLErrorCannotOpenFile = -3001,
  kURLErrorCannotWriteToFile = -3003,
};

ErrorPtr urlError(std::int64_t code, std::string description, const std::string& failingURL);

}  // namespace platform
