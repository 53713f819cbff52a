#include "plugins/webview_flutter_wkwebview/website_data_proxy_api_delegates.h"

#include <memory>
#include <set>
#include <utility>

#include "platform/webkit/http_cookie.h"
#include "platform/webkit/website_data_store.h"
#include "plugins/webview_flutter_wkwebview/native_cast.h"
#include "plugins/webview_flutter_wkwebview/proxy_api_registrar.h"

namespace webview {

namespace wk = platform::webkit;
using platform::Value;

namespace {

struct CookieKeyName {
  HttpCookiePropertyKey key;
  const char* name;
};

constexpr CookieKeyName kCookieKeys[] = {
    {HttpCookiePropertyKey::comment, wk::cookie_property::kComment},
    {HttpCookiePropertyKey::commentUrl, wk::cookie_property::kCommentURL},
    {HttpCookiePropertyKey::discard, wk::cookie_property::kDiscard},
    {HttpCookiePropertyKey::domain, wk::cookie_property::kDomain},
    {HttpCookiePropertyKey::expires, wk::cookie_property::kExpires},
    {HttpCookiePropertyKey::maximumAge, wk::cookie_property::kMaximumAge},
    {HttpCookiePropertyKey::name, wk::cookie_property::kName},
    {HttpCookiePropertyKey::originUrl, wk::cookie_property::kOriginURL},
    {HttpCookiePropertyKey::path, wk::cookie_property::kPath},
    {HttpCookiePropertyKey::port, wk::cookie_property::kPort},
    {HttpCookiePropertyKey::sameSitePolicy, wk::cookie_property::kSameSitePolicy},
    {HttpCookiePropertyKey::secure, wk::cookie_property::kSecure},
    {HttpCookiePropertyKey::value, wk::cookie_property::kValue},
    {HttpCookiePropertyKey::version, wk::cookie_property::kVersion},
};

}  // namespace

std::optional<std::string> cookiePropertyName(HttpCookiePropertyKey key) {
  for (const auto& entry : kCookieKeys) {
    if (entry.key == key) return std::string(entry.name);
  }
  return std::nullopt;
}

HttpCookiePropertyKey cookiePropertyKey(const std::string& name) {
  for (const auto& entry : kCookieKeys) {
    if (name == entry.name) return entry.key;
  }
  return HttpCookiePropertyKey::unknown;
}

std::string websiteDataTypeName(WebsiteDataType type) {
  switch (type) {
  case WebsiteDataType::cookies:
    return wk::website_data_type::kCookies;
  case WebsiteDataType::memoryCache:
    return wk::website_data_type::kMemoryCache;
  case WebsiteDataType::diskCache:
    return wk::website_data_type::kDiskCache;
  case WebsiteDataType::offlineWebApplicationCache:
    return wk::website_data_type::kOfflineWebApplicationCache;
  case WebsiteDataType::localStorage:
    return wk::website_data_type::kLocalStorage;
  case WebsiteDataType::sessionStorage:
    return wk::website_data_type::kSessionStorage;
  case WebsiteDataType::webSQLDatabases:
    return wk::website_data_type::kWebSQLDatabases;
  case WebsiteDataType::indexedDBDatabases:
    return wk::website_data_type::kIndexedDBDatabases;
  }
  throw pigeon::ArgumentError("a website data type outside the table");
}

platform::webkit::NativeObjectPtr
HTTPCookieProxyAPIDelegate::pigeonDefaultConstructor(PigeonApiHTTPCookie& /*pigeonApi*/,
                                                     const platform::ValueMap& properties) {
  platform::ValueMap translated;
  for (const auto& [key, value] : properties) {
    auto caseKey = pigeon::enumFromValue<HttpCookiePropertyKey>(key);
    if (!caseKey) {
      throw pigeon::ArgumentError("HTTPCookie.pigeon_defaultConstructor: argument 1 must be a map "
                                  "with HttpCookiePropertyKey keys, not " +
                                  Value(properties).debugString());
    }
    auto name = cookiePropertyName(*caseKey);
    if (!name) throw ProxyApiRegistrar::createUnknownEnumError("unknown");
    translated[Value(*name)] = value;
  }
  auto cookie = wk::HTTPCookie::cookieWithProperties(translated);
  if (!cookie) {
    throw ProxyApiRegistrar::createConstructorNullError(
        "NSHTTPCookie", {{Value("properties"), Value(std::move(translated))}});
  }
  return cookie;
}

std::optional<platform::ValueMap>
HTTPCookieProxyAPIDelegate::getProperties(PigeonApiHTTPCookie& /*pigeonApi*/,
                                          const platform::webkit::NativeObjectPtr& pigeonInstance) {
  platform::ValueMap out;
  for (const auto& [name, value] : nativeAs<wk::HTTPCookie>(pigeonInstance).properties()) {
    const auto key =
        name.isString() ? cookiePropertyKey(name.asString()) : HttpCookiePropertyKey::unknown;
    out[pigeon::enumValue(key)] = value;
  }
  return out;
}

void HTTPCookieStoreProxyAPIDelegate::setCookie(
    PigeonApiWKHTTPCookieStore& /*pigeonApi*/,
    const platform::webkit::NativeObjectPtr& pigeonInstance,
    const platform::webkit::NativeObjectPtr& cookie,
    std::function<void(const std::optional<pigeon::PigeonError>& error)> completion) {
  nativeAs<wk::HTTPCookieStore>(pigeonInstance)
      .setCookie(nativeCast<wk::HTTPCookie>(cookie),
                 [completion = std::move(completion)] { completion(std::nullopt); });
}

void HTTPCookieStoreProxyAPIDelegate::getAllCookies(
    PigeonApiWKHTTPCookieStore& /*pigeonApi*/,
    const platform::webkit::NativeObjectPtr& pigeonInstance,
    std::function<void(platform::ValueList result, const std::optional<pigeon::PigeonError>& error)>
        completion) {
  nativeAs<wk::HTTPCookieStore>(pigeonInstance)
      .getAllCookies([completion = std::move(completion)](wk::HTTPCookieStore::Cookies cookies) {
        platform::ValueList list;
        for (auto& cookie : cookies)
          list.push_back(Value(platform::ObjectPtr(std::move(cookie))));
        completion(std::move(list), std::nullopt);
      });
}

platform::webkit::NativeObjectPtr
WebsiteDataStoreProxyAPIDelegate::defaultDataStore(PigeonApiWKWebsiteDataStore& /*pigeonApi*/) {
  return wk::WebsiteDataStore::defaultDataStore();
}

platform::webkit::NativeObjectPtr WebsiteDataStoreProxyAPIDelegate::httpCookieStore(
    PigeonApiWKWebsiteDataStore& /*pigeonApi*/,
    const platform::webkit::NativeObjectPtr& pigeonInstance) {
  return nativeAs<wk::WebsiteDataStore>(pigeonInstance).httpCookieStore();
}

void WebsiteDataStoreProxyAPIDelegate::removeDataOfTypes(
    PigeonApiWKWebsiteDataStore& /*pigeonApi*/,
    const platform::webkit::NativeObjectPtr& pigeonInstance,
    const std::vector<WebsiteDataType>& dataTypes, double modificationTimeInSecondsSinceEpoch,
    std::function<void(bool result, const std::optional<pigeon::PigeonError>& error)> completion) {
  auto store = nativeCast<wk::WebsiteDataStore>(pigeonInstance);
  std::set<std::string> types;
  for (auto type : dataTypes)
    types.insert(websiteDataTypeName(type));
  store->fetchDataRecordsOfTypes(types, [store, types, since = modificationTimeInSecondsSinceEpoch,
                                         completion = std::move(completion)](
                                            std::vector<wk::WebsiteDataStore::Record> records) {
    if (records.empty()) {
      completion(false, std::nullopt);
      return;
    }
    store->removeDataOfTypes(types, since, [completion] { completion(true, std::nullopt); });
  });
}

}  // namespace webview
