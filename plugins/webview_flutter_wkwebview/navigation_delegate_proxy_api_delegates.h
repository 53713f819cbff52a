// The native side of the navigation delegate (WKNavigationDelegate) and of the navigation
// response record (WKNavigationResponse).
//
// NavigationDelegateImpl forwards each engine event on a later main-loop turn. Decisions are
// answered on a further turn after the reply: the application's policy mapped case by case, or
// cancel when the call fails in any way (then the failure is logged). Notifications owe no answer;
// their failures are only logged.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/webkit/native_object.h"
#include "platform/webkit/navigation.h"
#include "plugins/webview_flutter_wkwebview/messages.h"

namespace webview {

class ProxyApiRegistrar;

// The application's policy as the engine's value: allow 1, cancel 0, download 2 on systems from
// 11.3 on (read at the moment of the decision) and cancel before.
std::int64_t engineNavigationPolicy(NavigationActionPolicy policy);
std::int64_t engineNavigationPolicy(NavigationResponsePolicy policy);

class NavigationDelegateImpl : public platform::webkit::NativeObject,
                               public platform::webkit::NavigationDelegate {
 public:
  explicit NavigationDelegateImpl(const std::shared_ptr<ProxyApiRegistrar>& registrar)
      : registrar_(registrar) {}
  std::string className() const override { return "WKNavigationDelegate"; }

  void decidePolicyForNavigationAction(
      const std::shared_ptr<platform::webkit::WebView>& webView,
      const std::shared_ptr<platform::webkit::NavigationAction>& action,
      std::function<void(std::int64_t policy)> decisionHandler) override;
  void
  didStartProvisionalNavigation(const std::shared_ptr<platform::webkit::WebView>& webView) override;
  void decidePolicyForNavigationResponse(
      const std::shared_ptr<platform::webkit::WebView>& webView,
      const std::shared_ptr<platform::webkit::NavigationResponse>& response,
      std::function<void(std::int64_t policy)> decisionHandler) override;
  void didFinishNavigation(const std::shared_ptr<platform::webkit::WebView>& webView) override;
  void didFailNavigation(const std::shared_ptr<platform::webkit::WebView>& webView,
                         const platform::ErrorPtr& error) override;
  void didFailProvisionalNavigation(const std::shared_ptr<platform::webkit::WebView>& webView,
                                    const platform::ErrorPtr& error) override;
  void
  webContentProcessDidTerminate(const std::shared_ptr<platform::webkit::WebView>& webView) override;
  // The application's AuthenticationChallengeResponse as it stands, or cancel with no credential
  // when the call fails in any way.
  void didReceiveAuthenticationChallenge(
      const std::shared_ptr<platform::webkit::WebView>& webView,
      const std::shared_ptr<platform::webkit::AuthenticationChallenge>& challenge,
      std::function<void(std::int64_t, std::shared_ptr<platform::webkit::URLCredential>)>
          completionHandler) override;

 private:
  std::weak_ptr<ProxyApiRegistrar> registrar_;
};

class NavigationDelegateProxyAPIDelegate : public PigeonApiDelegateWKNavigationDelegate {
 public:
  platform::webkit::NativeObjectPtr
  pigeonDefaultConstructor(PigeonApiWKNavigationDelegate& pigeonApi) override;
};

class NavigationResponseProxyAPIDelegate : public PigeonApiDelegateWKNavigationResponse {
 public:
  platform::webkit::NativeObjectPtr
  response(PigeonApiWKNavigationResponse& pigeonApi,
           const platform::webkit::NativeObjectPtr& pigeonInstance) override;
  bool isForMainFrame(PigeonApiWKNavigationResponse& pigeonApi,
                      const platform::webkit::NativeObjectPtr& pigeonInstance) override;
};

}  // namespace webview
