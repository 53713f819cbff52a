// What a load that needs authentication hands the navigation delegate: the challenge, its
// protection space (host, port, realm, method and, for a server-trust challenge, the trust) and
// the credentials the answer may carry.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/core/value.h"
#include "platform/security/trust.h"
#include "platform/webkit/native_object.h"

namespace platform::webkit {

// The loading system's dispositions (NSURLSessionAuthChallengeDisposition).
inline constexpr std::int64_t kAuthChallengeUseCredential = 0;
inline constexpr std::int64_t kAuthChallengePerformDefaultHandling = 1;
inline constexpr std::int64_t kAuthChallengeCancel = 2;
inline constexpr std::int64_t kAuthChallengeRejectProtectionSpace = 3;

inline constexpr const char* kAuthenticationMethodHTTPBasic = "NSURLAuthenticationMethodHTTPBasic";
inline constexpr const char* kAuthenticationMethodServerTrust =
    "NSURLAuthenticationMethodServerTrust";

class ProtectionSpace : public NativeObject {
 public:
  ProtectionSpace(std::string host, std::int64_t port, std::optional<std::string> realm,
                  std::string authenticationMethod, platform::SecTrustPtr serverTrust = nullptr)
      : host(std::move(host)), port(port), realm(std::move(realm)),
        authenticationMethod(std::move(authenticationMethod)), serverTrust(std::move(serverTrust)) {
  }
  std::string className() const override { return "NSURLProtectionSpace"; }
  platform::ValueMap engineState() const override;
  const std::string host;
  const std::int64_t port;
  const std::optional<std::string> realm;
  const std::string authenticationMethod;
  const platform::SecTrustPtr serverTrust;  // none unless the space is for a server trust
};

class AuthenticationChallenge : public NativeObject {
 public:
  explicit AuthenticationChallenge(std::shared_ptr<ProtectionSpace> protectionSpace)
      : protectionSpace(std::move(protectionSpace)) {}
  std::string className() const override { return "NSURLAuthenticationChallenge"; }
  const std::shared_ptr<ProtectionSpace> protectionSpace;
};

// A user name and password, or a server trust; the persistence is the loading system's value.
class URLCredential : public NativeObject {
 public:
  URLCredential(std::string user, std::string password, std::int64_t persistence)
      : user(std::move(user)), password(std::move(password)), persistence(persistence) {}
  explicit URLCredential(platform::SecTrustPtr trust) : persistence(1), trust(std::move(trust)) {}
  std::string className() const override { return "NSURLCredential"; }
  platform::ValueMap engineState() const override;
  const std::optional<std::string> user;
  const std::optional<std::string> password;
  const std::int64_t persistence;
  const platform::SecTrustPtr trust;
};

}  // namespace platform::webkit
