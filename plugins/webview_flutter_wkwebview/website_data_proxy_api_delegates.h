// The native side of cookies and website data (interfaces HTTPCookie, WKHTTPCookieStore and
// WKWebsiteDataStore).
//
// Stateless delegates; main thread. The cookie store and data store calls answer from the
// engine's completions, on a later main-loop turn.
#pragma once

#include <optional>
#include <string>

#include "plugins/webview_flutter_wkwebview/messages.h"

namespace webview {

class HTTPCookieProxyAPIDelegate : public PigeonApiDelegateHTTPCookie {
 public:
  // Keys are translated to the engine's property names; `unknown` is refused with
  // "UnknownEnumError", properties that make no cookie with "ConstructorReturnedNullError".
  platform::webkit::NativeObjectPtr
  pigeonDefaultConstructor(PigeonApiHTTPCookie& pigeonApi,
                           const platform::ValueMap& properties) override;
  // Keys translated back; keys outside the table read as `unknown` (the last one wins).
  std::optional<platform::ValueMap>
  getProperties(PigeonApiHTTPCookie& pigeonApi,
                const platform::webkit::NativeObjectPtr& pigeonInstance) override;
};

class HTTPCookieStoreProxyAPIDelegate : public PigeonApiDelegateWKHTTPCookieStore {
 public:
  void setCookie(
      PigeonApiWKHTTPCookieStore& pigeonApi,
      const platform::webkit::NativeObjectPtr& pigeonInstance,
      const platform::webkit::NativeObjectPtr& cookie,
      std::function<void(const std::optional<pigeon::PigeonError>& error)> completion) override;
  void getAllCookies(PigeonApiWKHTTPCookieStore& pigeonApi,
                     const platform::webkit::NativeObjectPtr& pigeonInstance,
                     std::function<void(platform::ValueList result,
                                        const std::optional<pigeon::PigeonError>& error)>
                         completion) override;
};

class WebsiteDataStoreProxyAPIDelegate : public PigeonApiDelegateWKWebsiteDataStore {
 public:
  platform::webkit::NativeObjectPtr
  defaultDataStore(PigeonApiWKWebsiteDataStore& pigeonApi) override;
  platform::webkit::NativeObjectPtr
  httpCookieStore(PigeonApiWKWebsiteDataStore& pigeonApi,
                  const platform::webkit::NativeObjectPtr& pigeonInstance) override;
  // False, removing nothing, when the store holds no record of the types; otherwise removes
  // the records modified since the date and answers true.
  void removeDataOfTypes(
      PigeonApiWKWebsiteDataStore& pigeonApi,
      const platform::webkit::NativeObjectPtr& pigeonInstance,
      const std::vector<WebsiteDataType>& dataTypes, double modificationTimeInSecondsSinceEpoch,
      std::function<void(bool result, const std::optional<pigeon::PigeonError>& error)> completion)
      override;
};

// The engine's property name of a cookie property key; none for `unknown`.
std::optional<std::string> cookiePropertyName(HttpCookiePropertyKey key);
// The key of an engine property name; `unknown` for names outside the table.
HttpCookiePropertyKey cookiePropertyKey(const std::string& name);
// The engine's name of a website data type.
std::string websiteDataTypeName(WebsiteDataType type);

}  // namespace webview
