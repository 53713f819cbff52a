// The native side of authentication challenges: the challenge and its protection space (read
// only), credentials built from a user name and password or from a server trust, and the answer
// (AuthenticationChallengeResponse: a disposition and an optional credential).
//
// Stateless delegates on the main thread; the objects are immutable once made.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/webkit/authentication.h"
#include "platform/webkit/native_object.h"
#include "plugins/webview_flutter_wkwebview/messages.h"

namespace webview {

// The answer to a challenge, holding the loading system's disposition value.
class AuthenticationChallengeResponse : public platform::webkit::NativeObject {
 public:
  AuthenticationChallengeResponse(std::int64_t disposition,
                                  std::shared_ptr<platform::webkit::URLCredential> credential)
      : disposition(disposition), credential(std::move(credential)) {}
  std::string className() const override { return "AuthenticationChallengeResponse"; }
  platform::ValueMap engineState() const override;
  const std::int64_t disposition;
  const std::shared_ptr<platform::webkit::URLCredential> credential;
};

// The bridge's disposition as the loading system's value; `unknown` throws "UnknownEnumError".
std::int64_t engineDisposition(UrlSessionAuthChallengeDisposition disposition);
// The loading system's disposition as the bridge's case; values outside 0 to 3 are `unknown`.
UrlSessionAuthChallengeDisposition dispositionFromEngine(std::int64_t disposition);
std::int64_t enginePersistence(UrlCredentialPersistence persistence);

class AuthenticationChallengeResponseProxyAPIDelegate
    : public PigeonApiDelegateAuthenticationChallengeResponse {
 public:
  platform::webkit::NativeObjectPtr
  pigeonDefaultConstructor(PigeonApiAuthenticationChallengeResponse& pigeonApi,
                           UrlSessionAuthChallengeDisposition disposition,
                           const platform::webkit::NativeObjectPtr& credential) override;
  platform::webkit::NativeObjectPtr
  createAsync(PigeonApiAuthenticationChallengeResponse& pigeonApi,
              UrlSessionAuthChallengeDisposition disposition,
              const platform::webkit::NativeObjectPtr& credential) override;
  UrlSessionAuthChallengeDisposition
  disposition(PigeonApiAuthenticationChallengeResponse& pigeonApi,
              const platform::webkit::NativeObjectPtr& pigeonInstance) override;
  platform::webkit::NativeObjectPtr
  credential(PigeonApiAuthenticationChallengeResponse& pigeonApi,
             const platform::webkit::NativeObjectPtr& pigeonInstance) override;
};

class URLAuthenticationChallengeProxyAPIDelegate
    : public PigeonApiDelegateURLAuthenticationChallenge {
 public:
  platform::webkit::NativeObjectPtr
  getProtectionSpace(PigeonApiURLAuthenticationChallenge& pigeonApi,
                     const platform::webkit::NativeObjectPtr& pigeonInstance) override;
};

class URLCredentialProxyAPIDelegate : public PigeonApiDelegateURLCredential {
 public:
  platform::webkit::NativeObjectPtr withUser(PigeonApiURLCredential& pigeonApi,
                                             const std::string& user, const std::string& password,
                                             UrlCredentialPersistence persistence) override;
  platform::webkit::NativeObjectPtr withUserAsync(PigeonApiURLCredential& pigeonApi,
                                                  const std::string& user,
                                                  const std::string& password,
                                                  UrlCredentialPersistence persistence) override;
  platform::webkit::NativeObjectPtr
  serverTrustAsync(PigeonApiURLCredential& pigeonApi,
                   const platform::webkit::NativeObjectPtr& trust) override;
};

class URLProtectionSpaceProxyAPIDelegate : public PigeonApiDelegateURLProtectionSpace {
 public:
  // None for a password space; a new wrapper on every call otherwise.
  platform::webkit::NativeObjectPtr
  getServerTrust(PigeonApiURLProtectionSpace& pigeonApi,
                 const platform::webkit::NativeObjectPtr& pigeonInstance) override;
  std::string host(PigeonApiURLProtectionSpace& pigeonApi,
                   const platform::webkit::NativeObjectPtr& pigeonInstance) override;
  std::int64_t port(PigeonApiURLProtectionSpace& pigeonApi,
                    const platform::webkit::NativeObjectPtr& pigeonInstance) override;
  std::optional<std::string>
  realm(PigeonApiURLProtectionSpace& pigeonApi,
        const platform::webkit::NativeObjectPtr& pigeonInstance) override;
  std::optional<std::string>
  authenticationMethod(PigeonApiURLProtectionSpace& pigeonApi,
                       const platform::webkit::NativeObjectPtr& pigeonInstance) override;
};

}  // namespace webview
