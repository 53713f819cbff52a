// Stands in for the platform's HTTP cookie: an immutable record made from a property
// dictionary keyed by the platform's property names ("Name", "Value", "Domain", ...).
//
// A dictionary makes a cookie when it holds a non-empty string name, a string value and either
// a non-empty domain or an origin URL with a host (the domain is then the URL's host); the path
// is "/" when absent. Anything else makes no cookie. `properties` reads back what the cookie
// holds: the dictionary it was made from with the domain and path filled in. Any thread.
#pragma once

#include <memory>
#include <string>

#include "platform/core/value.h"
#include "platform/webkit/native_object.h"

namespace platform::webkit {

// The platform's cookie property names.
namespace cookie_property {
inline constexpr const char* kComment = "Comment";
inline constexpr const char* kCommentURL = "CommentURL";
inline constexpr const char* kDiscard = "Discard";
inline constexpr const char* kDomain = "Domain";
inline constexpr const char* kExpires = "Expires";
inline constexpr const char* kMaximumAge = "Max-Age";
inline constexpr const char* kName = "Name";
inline constexpr const char* kOriginURL = "OriginURL";
inline constexpr const char* kPath = "Path";
inline constexpr const char* kPort = "Port";
inline constexpr const char* kSameSitePolicy = "SameSite";
inline constexpr const char* kSecure = "Secure";
inline constexpr const char* kValue = "Value";
inline constexpr const char* kVersion = "Version";
}  // namespace cookie_property

class HTTPCookie : public NativeObject {
 public:
  // None when the dictionary does not make a cookie (see above).
  static std::shared_ptr<HTTPCookie> cookieWithProperties(const platform::ValueMap& properties);

  std::string className() const override { return "NSHTTPCookie"; }
  platform::ValueMap engineState() const override;

  const std::string& name() const { return name_; }
  const std::string& value() const { return value_; }
  const std::string& domain() const { return domain_; }
  const std::string& path() const { return path_; }
  const platform::ValueMap& properties() const { return properties_; }
  // A new cookie object with the same properties.
  std::shared_ptr<HTTPCookie> copy() const;

 private:
  HTTPCookie() = default;

  std::string name_;
  std::string value_;
  std::string domain_;
  std::string path_;
  platform::ValueMap properties_;
};

}  // namespace platform::webkit
