// Stands in for the platform's URL loading records that the web engine hands out and takes in:
// a request value (URLRequest), a URL as an engine object (URLObject), and responses
// (URLResponse, HTTPURLResponse).
//
// A request is a plain value: copying it copies everything, so a request the engine hands out
// never changes the one it was copied from. Its method is "GET" until set; its body and header
// fields are absent until set, and an empty body or header map stays apart from an absent one.
// The engine objects are immutable once made; any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/core/value.h"
#include "platform/foundation/url.h"
#include "platform/webkit/native_object.h"

namespace platform::webkit {

enum class URLRequestCachePolicy : std::int64_t {
  useProtocolCachePolicy = 0,
  reloadIgnoringLocalCacheData = 1,
  returnCacheDataElseLoad = 2,
  returnCacheDataDontLoad = 3,
};

struct URLRequest {
  static constexpr const char* kDefaultMethod = "GET";
  static constexpr double kDefaultTimeoutInterval = 60.0;

  URLRequest() = default;
  explicit URLRequest(
      platform::URL url,
      URLRequestCachePolicy cachePolicy = URLRequestCachePolicy::useProtocolCachePolicy,
      double timeoutInterval = kDefaultTimeoutInterval)
      : url(std::move(url)), cachePolicy(cachePolicy), timeoutInterval(timeoutInterval) {}

  const std::string& httpMethod() const { return method_; }
  // An absent method restores the default, "GET".
  void setHttpMethod(const std::optional<std::string>& method) {
    method_ = method ? *method : kDefaultMethod;
  }

  std::optional<platform::URL> url;
  URLRequestCachePolicy cachePolicy = URLRequestCachePolicy::useProtocolCachePolicy;
  double timeoutInterval = kDefaultTimeoutInterval;
  std::optional<platform::Bytes> httpBody;
  std::optional<std::map<std::string, std::string>> allHTTPHeaderFields;

  platform::ValueMap describe() const;

 private:
  std::string method_ = kDefaultMethod;
};

// A URL handed to the application's code as an object of its own ("URL").
class URLObject : public NativeObject {
 public:
  explicit URLObject(platform::URL url) : url(std::move(url)) {}
  std::string className() const override { return "URL"; }
  std::string debugDescription() const override { return url.absoluteString(); }
  platform::ValueMap engineState() const override;
  const platform::URL url;
};

// The response to a load that did not go over HTTP (a file, "about:", ...).
class URLResponse : public NativeObject {
 public:
  URLResponse(std::optional<platform::URL> url, std::string mimeType)
      : url(std::move(url)), mimeType(std::move(mimeType)) {}
  std::string className() const override { return "NSURLResponse"; }
  platform::ValueMap engineState() const override;
  const std::optional<platform::URL> url;
  const std::string mimeType;
};

class HTTPURLResponse : public URLResponse {
 public:
  HTTPURLResponse(std::optional<platform::URL> url, std::int64_t statusCode,
                  std::map<std::string, std::string> headerFields = {})
      : URLResponse(std::move(url), ""), statusCode(statusCode),
        headerFields(std::move(headerFields)) {}
  std::string className() const override { return "NSHTTPURLResponse"; }
  platform::ValueMap engineState() const override;
  const std::int64_t statusCode;
  const std::map<std::string, std::string> headerFields;
};

}  // namespace platform::webkit
