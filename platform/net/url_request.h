// HTTP request and response values of the URL session (stands in for the platform's URL request,
// mutable URL request and HTTP URL response). Plain value types: copy freely, share read-only
// across threads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/core/value.h"

namespace platform {

// Header fields in the order they were first set. Names compare case-insensitively; setting a
// field that exists replaces its value in place.
class HTTPHeaders {
 public:
  using Entry = std::pair<std::string, std::string>;

  HTTPHeaders() = default;
  HTTPHeaders(std::initializer_list<Entry> entries);

  void set(std::string_view name, std::string_view value);
  void remove(std::string_view name);
  std::optional<std::string> get(std::string_view name) const;
  bool contains(std::string_view name) const { return get(name).has_value(); }
  const std::vector<Entry>& entries() const { return entries_; }
  bool empty() const { return entries_.empty(); }
  std::size_t size() const { return entries_.size(); }
  void clear() { entries_.clear(); }

  friend bool operator==(const HTTPHeaders&, const HTTPHeaders&) = default;

 private:
  std::vector<Entry> entries_;
};

bool equalsIgnoringCase(std::string_view a, std::string_view b);

enum class URLRequestCachePolicy {
  UseProtocolCachePolicy,
  // Always go to the server; never answer from a local cache.
  ReloadIgnoringLocalCacheData,
};

inline constexpr double kURLRequestDefaultTimeout = 60.0;

struct URLRequest {
  std::string url;
  std::string httpMethod = "GET";
  HTTPHeaders headers;
  Bytes httpBody;
  // Seconds without progress after which the request fails with a time-out.
  double timeoutInterval = kURLRequestDefaultTimeout;
  URLRequestCachePolicy cachePolicy = URLRequestCachePolicy::UseProtocolCachePolicy;

  static URLRequest
  withURL(std::string url, double timeout = kURLRequestDefaultTimeout,
          URLRequestCachePolicy policy = URLRequestCachePolicy::UseProtocolCachePolicy);
  // Scheme and host of `url`, lower-cased; empty when the URL does not parse.
  std::string scheme() const;
  std::string host() const;
};

struct HTTPURLResponse {
  std::string url;  // the URL that answered (after any redirects followed)
  int statusCode = 0;
  HTTPHeaders headers;
  // The body length announced by the server, or -1 when it announced none.
  std::int64_t expectedContentLength = -1;
};
using HTTPURLResponsePtr = std::shared_ptr<const HTTPURLResponse>;

}  // namespace platform
