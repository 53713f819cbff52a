// The native side of the web view bridge's loading records: requests the application's code
// builds and reads (URLRequest, through the box URLRequestWrapper), URLs, responses and errors
// that navigation events carry (URL, HTTPURLResponse, NSError).
//
// The delegates are stateless and run on the main thread; a wrapper is only touched there.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/webkit/native_object.h"
#include "platform/webkit/url_request.h"
#include "plugins/webview_flutter_wkwebview/messages.h"

namespace webview {

// A request value in a box, so that it has an identity the instance manager can register.
// Every operation of the URLRequest interface reads or changes `value` in place; a load later
// reads it as it then stands.
class URLRequestWrapper : public platform::webkit::NativeObject {
 public:
  explicit URLRequestWrapper(platform::webkit::URLRequest value) : value(std::move(value)) {}
  std::string className() const override { return "URLRequestWrapper"; }
  platform::ValueMap engineState() const override { return value.describe(); }
  platform::webkit::URLRequest value;
};

class URLRequestProxyAPIDelegate : public PigeonApiDelegateURLRequest {
 public:
  platform::webkit::NativeObjectPtr pigeonDefaultConstructor(PigeonApiURLRequest& pigeonApi,
                                                             const std::string& url) override;
  std::optional<std::string>
  getUrl(PigeonApiURLRequest& pigeonApi,
         const platform::webkit::NativeObjectPtr& pigeonInstance) override;
  void setHttpMethod(PigeonApiURLRequest& pigeonApi,
                     const platform::webkit::NativeObjectPtr& pigeonInstance,
                     const std::optional<std::string>& method) override;
  std::optional<std::string>
  getHttpMethod(PigeonApiURLRequest& pigeonApi,
                const platform::webkit::NativeObjectPtr& pigeonInstance) override;
  void setHttpBody(PigeonApiURLRequest& pigeonApi,
                   const platform::webkit::NativeObjectPtr& pigeonInstance,
                   const std::optional<platform::Bytes>& body) override;
  std::optional<platform::Bytes>
  getHttpBody(PigeonApiURLRequest& pigeonApi,
              const platform::webkit::NativeObjectPtr& pigeonInstance) override;
  void setAllHttpHeaderFields(PigeonApiURLRequest& pigeonApi,
                              const platform::webkit::NativeObjectPtr& pigeonInstance,
                              const std::optional<platform::ValueMap>& fields) override;
  std::optional<platform::ValueMap>
  getAllHttpHeaderFields(PigeonApiURLRequest& pigeonApi,
                         const platform::webkit::NativeObjectPtr& pigeonInstance) override;
};

class URLProxyAPIDelegate : public PigeonApiDelegateURL {
 public:
  std::string getAbsoluteString(PigeonApiURL& pigeonApi,
                                const platform::webkit::NativeObjectPtr& pigeonInstance) override;
};

class HTTPURLResponseProxyAPIDelegate : public PigeonApiDelegateHTTPURLResponse {
 public:
  std::int64_t statusCode(PigeonApiHTTPURLResponse& pigeonApi,
                          const platform::webkit::NativeObjectPtr& pigeonInstance) override;
};

class URLResponseProxyAPIDelegate : public PigeonApiDelegateURLResponse {};

// An error's code, domain and user information. User-information values travel as they are:
// URLs as "URL" instances and nested errors as "NSError" instances, announced by the codec.
class ErrorProxyAPIDelegate : public PigeonApiDelegateNSError {
 public:
  std::int64_t code(PigeonApiNSError& pigeonApi,
                    const platform::webkit::NativeObjectPtr& pigeonInstance) override;
  std::string domain(PigeonApiNSError& pigeonApi,
                     const platform::webkit::NativeObjectPtr& pigeonInstance) override;
  platform::ValueMap userInfo(PigeonApiNSError& pigeonApi,
                              const platform::webkit::NativeObjectPtr& pigeonInstance) override;
};

}  // namespace webview
