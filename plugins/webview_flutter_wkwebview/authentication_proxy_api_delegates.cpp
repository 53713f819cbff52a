#include "plugins/webview_flutter_wkwebview/authentication_proxy_api_delegates.h"

#include "plugins/webview_flutter_wkwebview/native_cast.h"
#include "plugins/webview_flutter_wkwebview/proxy_api_registrar.h"
#include "plugins/webview_flutter_wkwebview/trust_proxy_api_delegates.h"

namespace webview {

namespace wk = platform::webkit;
using ObjectPtr = platform::webkit::NativeObjectPtr;
using platform::Value;

namespace {

std::shared_ptr<wk::URLCredential> credentialOf(const ObjectPtr& object) {
  if (!object) return nullptr;
  return nativeCast<wk::URLCredential>(object);
}

}  // namespace

platform::ValueMap AuthenticationChallengeResponse::engineState() const {
  return {{Value("disposition"), Value(disposition)},
          {Value("credential"), credential ? Value(credential->engineState()) : Value()}};
}

std::int64_t engineDisposition(UrlSessionAuthChallengeDisposition disposition) {
  switch (disposition) {
  case UrlSessionAuthChallengeDisposition::useCredential:
    return wk::kAuthChallengeUseCredential;
  case UrlSessionAuthChallengeDisposition::performDefaultHandling:
    return wk::kAuthChallengePerformDefaultHandling;
  case UrlSessionAuthChallengeDisposition::cancelAuthenticationChallenge:
    return wk::kAuthChallengeCancel;
  case UrlSessionAuthChallengeDisposition::rejectProtectionSpace:
    return wk::kAuthChallengeRejectProtectionSpace;
  case UrlSessionAuthChallengeDisposition::unknown:
    break;
  }
  throw ProxyApiRegistrar::createUnknownEnumError("unknown");
}

UrlSessionAuthChallengeDisposition dispositionFromEngine(std::int64_t disposition) {
  switch (disposition) {
  case wk::kAuthChallengeUseCredential:
    return UrlSessionAuthChallengeDisposition::useCredential;
  case wk::kAuthChallengePerformDefaultHandling:
    return UrlSessionAuthChallengeDisposition::performDefaultHandling;
  case wk::kAuthChallengeCancel:
    return UrlSessionAuthChallengeDisposition::cancelAuthenticationChallenge;
  case wk::kAuthChallengeRejectProtectionSpace:
    return UrlSessionAuthChallengeDisposition::rejectProtectionSpace;
  default:
    return UrlSessionAuthChallengeDisposition::unknown;
  }
}

std::int64_t enginePersistence(UrlCredentialPersistence persistence) {
  switch (persistence) {
  case UrlCredentialPersistence::none:
    return 0;
  case UrlCredentialPersistence::forSession:
    return 1;
  case UrlCredentialPersistence::permanent:
    return 2;
  case UrlCredentialPersistence::synchronizable:
    return 3;
  }
  return 0;
}

ObjectPtr AuthenticationChallengeResponseProxyAPIDelegate::pigeonDefaultConstructor(
    PigeonApiAuthenticationChallengeResponse& /*pigeonApi*/,
    UrlSessionAuthChallengeDisposition disposition, const ObjectPtr& credential) {
  return std::make_shared<AuthenticationChallengeResponse>(engineDisposition(disposition),
                                                           credentialOf(credential));
}

ObjectPtr AuthenticationChallengeResponseProxyAPIDelegate::createAsync(
    PigeonApiAuthenticationChallengeResponse& pigeonApi,
    UrlSessionAuthChallengeDisposition disposition, const ObjectPtr& credential) {
  return pigeonDefaultConstructor(pigeonApi, disposition, credential);
}

UrlSessionAuthChallengeDisposition AuthenticationChallengeResponseProxyAPIDelegate::disposition(
    PigeonApiAuthenticationChallengeResponse& /*pigeonApi*/, const ObjectPtr& pigeonInstance) {
  return dispositionFromEngine(
      nativeAs<AuthenticationChallengeResponse>(pigeonInstance).disposition);
}

ObjectPtr AuthenticationChallengeResponseProxyAPIDelegate::credential(
    PigeonApiAuthenticationChallengeResponse& /*pigeonApi*/, const ObjectPtr& pigeonInstance) {
  return nativeAs<AuthenticationChallengeResponse>(pigeonInstance).credential;
}

ObjectPtr URLAuthenticationChallengeProxyAPIDelegate::getProtectionSpace(
    PigeonApiURLAuthenticationChallenge& /*pigeonApi*/, const ObjectPtr& pigeonInstance) {
  return nativeAs<wk::AuthenticationChallenge>(pigeonInstance).protectionSpace;
}

ObjectPtr URLCredentialProxyAPIDelegate::withUser(PigeonApiURLCredential& /*pigeonApi*/,
                                                  const std::string& user,
                                                  const std::string& password,
                                                  UrlCredentialPersistence persistence) {
  return std::make_shared<wk::URLCredential>(user, password, enginePersistence(persistence));
}

ObjectPtr URLCredentialProxyAPIDelegate::withUserAsync(PigeonApiURLCredential& pigeonApi,
                                                       const std::string& user,
                                                       const std::string& password,
                                                       UrlCredentialPersistence persistence) {
  return withUser(pigeonApi, user, password, persistence);
}

ObjectPtr URLCredentialProxyAPIDelegate::serverTrustAsync(PigeonApiURLCredential& /*pigeonApi*/,
                                                          const ObjectPtr& trust) {
  if (!trust) throw pigeon::ArgumentError("serverTrustAsync: no trust given");
  const auto& value = nativeAs<SecTrustWrapper>(trust).value;
  if (!value) throw pigeon::ArgumentError("serverTrustAsync: the wrapper holds no trust");
  return std::make_shared<wk::URLCredential>(value);
}

ObjectPtr
URLProtectionSpaceProxyAPIDelegate::getServerTrust(PigeonApiURLProtectionSpace& /*pigeonApi*/,
                                                   const ObjectPtr& pigeonInstance) {
  const auto& trust = nativeAs<wk::ProtectionSpace>(pigeonInstance).serverTrust;
  if (!trust) return nullptr;
  return std::make_shared<SecTrustWrapper>(trust);
}

std::string URLProtectionSpaceProxyAPIDelegate::host(PigeonApiURLProtectionSpace& /*pigeonApi*/,
                                                     const ObjectPtr& pigeonInstance) {
  return nativeAs<wk::ProtectionSpace>(pigeonInstance).host;
}

std::int64_t URLProtectionSpaceProxyAPIDelegate::port(PigeonApiURLProtectionSpace& /*pigeonApi*/,
                                                      const ObjectPtr& pigeonInstance) {
  return nativeAs<wk::ProtectionSpace>(pigeonInstance).port;
}

std::optional<std::string>
URLProtectionSpaceProxyAPIDelegate::realm(PigeonApiURLProtectionSpace& /*pigeonApi*/,
                                          const ObjectPtr& pigeonInstance) {
  return nativeAs<wk::ProtectionSpace>(pigeonInstance).realm;
}

std::optional<std::string>
URLProtectionSpaceProxyAPIDelegate::authenticationMethod(PigeonApiURLProtectionSpace& /*pigeonApi*/,
                                                         const ObjectPtr& pigeonInstance) {
  return nativeAs<wk::ProtectionSpace>(pigeonInstance).authenticationMethod;
}

}  // namespace webview
