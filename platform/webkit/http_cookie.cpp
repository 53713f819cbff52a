#include "platform/webkit/http_cookie.h"

#include <optional>

#include "platform/foundation/url.h"

namespace platform::webkit {

using platform::Value;

namespace {

std::optional<std::string> stringProperty(const platform::ValueMap& properties, const char* key) {
  auto it = properties.find(Value(key));
  if (it == properties.end() || !it->second.isString()) return std::nullopt;
  return it->second.asString();
}

bool hasProperty(const platform::ValueMap& properties, const char* key) {
  auto it = properties.find(Value(key));
  return it != properties.end() && !it->second.isNull();
}

// The host of an origin URL given as text or as a URL object.
std::optional<std::string> originHost(const platform::ValueMap& properties) {
  auto it = properties.find(Value(cookie_property::kOriginURL));
  if (it == properties.end()) return std::nullopt;
  std::optional<platform::URL> url;
  if (it->second.isString()) url = platform::URL::parse(it->second.asString());
  if (!url || !url->host() || url->host()->empty()) return std::nullopt;
  return url->host();
}

}  // namespace

std::shared_ptr<HTTPCookie> HTTPCookie::cookieWithProperties(const platform::ValueMap& properties) {
  auto name = stringProperty(properties, cookie_property::kName);
  auto value = stringProperty(properties, cookie_property::kValue);
  if (!name || name->empty() || !value) return nullptr;
  std::optional<std::string> domain;
  if (hasProperty(properties, cookie_property::kDomain)) {
    domain = stringProperty(properties, cookie_property::kDomain);
    if (!domain || domain->empty()) return nullptr;
  } else {
    domain = originHost(properties);
    if (!domain) return nullptr;
  }
  std::string path = "/";
  if (hasProperty(properties, cookie_property::kPath)) {
    auto given = stringProperty(properties, cookie_property::kPath);
    if (!given) return nullptr;
    if (!given->empty()) path = *given;
  }
  std::shared_ptr<HTTPCookie> cookie(new HTTPCookie());
  cookie->name_ = *name;
  cookie->value_ = *value;
  cookie->domain_ = *domain;
  cookie->path_ = path;
  cookie->properties_ = properties;
  cookie->properties_[Value(cookie_property::kDomain)] = Value(*domain);
  cookie->properties_[Value(cookie_property::kPath)] = Value(path);
  return cookie;
}

std::shared_ptr<HTTPCookie> HTTPCookie::copy() const {
  std::shared_ptr<HTTPCookie> cookie(new HTTPCookie());
  cookie->name_ = name_;
  cookie->value_ = value_;
  cookie->domain_ = domain_;
  cookie->path_ = path_;
  cookie->properties_ = properties_;
  return cookie;
}

platform::ValueMap HTTPCookie::engineState() const {
  return {{Value("properties"), Value(properties_)}};
}

}  // namespace platform::webkit
