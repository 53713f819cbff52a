#include "plugins/webview_flutter_wkwebview/navigation_delegate_proxy_api_delegates.h"

#include <optional>
#include <utility>

#include "platform/foundation/process_info.h"
#include "platform/webkit/web_view.h"
#include "plugins/webview_flutter_wkwebview/authentication_proxy_api_delegates.h"
#include "plugins/webview_flutter_wkwebview/delegate_forwarding.h"
#include "plugins/webview_flutter_wkwebview/native_cast.h"
#include "plugins/webview_flutter_wkwebview/proxy_api_codec.h"

namespace webview {

namespace wk = platform::webkit;
using ObjectPtr = platform::webkit::NativeObjectPtr;
using Reporter = ProxyApiRegistrar::FailureReporter;

namespace {

constexpr const char* kDidFinishNavigation = "WKNavigationDelegate.didFinishNavigation";
constexpr const char* kDidStartProvisionalNavigation =
    "WKNavigationDelegate.didStartProvisionalNavigation";
constexpr const char* kDecidePolicyForNavigationAction =
    "WKNavigationDelegate.decidePolicyForNavigationAction";
constexpr const char* kDecidePolicyForNavigationResponse =
    "WKNavigationDelegate.decidePolicyForNavigationResponse";
constexpr const char* kDidFailNavigation = "WKNavigationDelegate.didFailNavigation";
constexpr const char* kDidFailProvisionalNavigation =
    "WKNavigationDelegate.didFailProvisionalNavigation";
constexpr const char* kDidReceiveAuthenticationChallenge =
    "WKNavigationDelegate.didReceiveAuthenticationChallenge";
constexpr const char* kWebContentProcessDidTerminate =
    "WKNavigationDelegate.webViewWebContentProcessDidTerminate";

bool downloadsSupported() {
  return platform::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({11, 3, 0});
}

// The web view's URL when the forwarded call is built, not when the engine called.
std::optional<std::string> currentURL(const std::shared_ptr<wk::WebView>& webView) {
  auto url = webView->url();
  if (!url) return std::nullopt;
  return url->absoluteString();
}

// The settlement of a notification: nothing is owed, a failure is logged.
std::function<void(const pigeon::CallResult&, const Reporter&)> logFailureAs(const char* method) {
  return [method](const pigeon::CallResult& result, const Reporter& onFailure) {
    if (result.error) onFailure(method, *result.error);
  };
}

// The settlement of a decision: the mapped policy, or cancel and then the failure logged (an
// answer of the wrong type included).
template <class Policy>
std::function<void(const pigeon::CallResult&, const Reporter&)>
decide(const char* method, std::function<void(std::int64_t)> decisionHandler) {
  return [method, decisionHandler = std::move(decisionHandler)](const pigeon::CallResult& result,
                                                                const Reporter& onFailure) {
    auto policy = pigeon::WireType<Policy>::from(result.value);
    if (!result.error && policy) {
      decisionHandler(engineNavigationPolicy(*policy));
      return;
    }
    decisionHandler(wk::kNavigationPolicyCancel);
    onFailure(method, result.error ? *result.error
                                   : pigeon::PigeonError("invalid-reply", "Expected a policy."));
  };
}

}  // namespace

std::int64_t engineNavigationPolicy(NavigationActionPolicy policy) {
  switch (policy) {
  case NavigationActionPolicy::allow:
    return wk::kNavigationPolicyAllow;
  case NavigationActionPolicy::cancel:
    return wk::kNavigationPolicyCancel;
  case NavigationActionPolicy::download:
    return downloadsSupported() ? wk::kNavigationPolicyDownload : wk::kNavigationPolicyCancel;
  }
  return wk::kNavigationPolicyCancel;
}

std::int64_t engineNavigationPolicy(NavigationResponsePolicy policy) {
  switch (policy) {
  case NavigationResponsePolicy::allow:
    return wk::kNavigationPolicyAllow;
  case NavigationResponsePolicy::cancel:
    return wk::kNavigationPolicyCancel;
  case NavigationResponsePolicy::download:
    return downloadsSupported() ? wk::kNavigationPolicyDownload : wk::kNavigationPolicyCancel;
  }
  return wk::kNavigationPolicyCancel;
}

void NavigationDelegateImpl::decidePolicyForNavigationAction(
    const std::shared_ptr<wk::WebView>& webView,
    const std::shared_ptr<wk::NavigationAction>& action,
    std::function<void(std::int64_t policy)> decisionHandler) {
  auto self = shared_from_this();
  forward(
      registrar_,
      [self, webView, action](ProxyApiRegistrar& registrar, auto completion) {
        registrar.apis().WKNavigationDelegate->decidePolicyForNavigationAction(
            self, webView, action, std::move(completion));
      },
      decide<NavigationActionPolicy>(kDecidePolicyForNavigationAction, std::move(decisionHandler)));
}

void NavigationDelegateImpl::didStartProvisionalNavigation(
    const std::shared_ptr<wk::WebView>& webView) {
  auto self = shared_from_this();
  forward(
      registrar_,
      [self, webView](ProxyApiRegistrar& registrar, auto completion) {
        registrar.apis().WKNavigationDelegate->didStartProvisionalNavigation(
            self, webView, currentURL(webView), std::move(completion));
      },
      logFailureAs(kDidStartProvisionalNavigation));
}

void NavigationDelegateImpl::decidePolicyForNavigationResponse(
    const std::shared_ptr<wk::WebView>& webView,
    const std::shared_ptr<wk::NavigationResponse>& response,
    std::function<void(std::int64_t policy)> decisionHandler) {
  auto self = shared_from_this();
  forward(
      registrar_,
      [self, webView, response](ProxyApiRegistrar& registrar, auto completion) {
        registrar.apis().WKNavigationDelegate->decidePolicyForNavigationResponse(
            self, webView, response, std::move(completion));
      },
      decide<NavigationResponsePolicy>(kDecidePolicyForNavigationResponse,
                                       std::move(decisionHandler)));
}

void NavigationDelegateImpl::didFinishNavigation(const std::shared_ptr<wk::WebView>& webView) {
  auto self = shared_from_this();
  forward(
      registrar_,
      [self, webView](ProxyApiRegistrar& registrar, auto completion) {
        registrar.apis().WKNavigationDelegate->didFinishNavigation(
            self, webView, currentURL(webView), std::move(completion));
      },
      logFailureAs(kDidFinishNavigation));
}

void NavigationDelegateImpl::didFailNavigation(const std::shared_ptr<wk::WebView>& webView,
                                               const platform::ErrorPtr& error) {
  auto self = shared_from_this();
  auto errorObject = std::make_shared<ErrorObject>(error);
  forward(
      registrar_,
      [self, webView, errorObject](ProxyApiRegistrar& registrar, auto completion) {
        registrar.apis().WKNavigationDelegate->didFailNavigation(self, webView, errorObject,
                                                                 std::move(completion));
      },
      logFailureAs(kDidFailNavigation));
}

void NavigationDelegateImpl::didFailProvisionalNavigation(
    const std::shared_ptr<wk::WebView>& webView, const platform::ErrorPtr& error) {
  auto self = shared_from_this();
  auto errorObject = std::make_shared<ErrorObject>(error);
  forward(
      registrar_,
      [self, webView, errorObject](ProxyApiRegistrar& registrar, auto completion) {
        registrar.apis().WKNavigationDelegate->didFailProvisionalNavigation(
            self, webView, errorObject, std::move(completion));
      },
      logFailureAs(kDidFailProvisionalNavigation));
}

void NavigationDelegateImpl::webContentProcessDidTerminate(
    const std::shared_ptr<wk::WebView>& webView) {
  auto self = shared_from_this();
  forward(
      registrar_,
      [self, webView](ProxyApiRegistrar& registrar, auto completion) {
        registrar.apis().WKNavigationDelegate->webViewWebContentProcessDidTerminate(
            self, webView, std::move(completion));
      },
      logFailureAs(kWebContentProcessDidTerminate));
}

void NavigationDelegateImpl::didReceiveAuthenticationChallenge(
    const std::shared_ptr<wk::WebView>& webView,
    const std::shared_ptr<wk::AuthenticationChallenge>& challenge,
    std::function<void(std::int64_t, std::shared_ptr<wk::URLCredential>)> completionHandler) {
  auto self = shared_from_this();
  forward(
      registrar_,
      [self, webView, challenge](ProxyApiRegistrar& registrar, auto completion) {
        registrar.apis().WKNavigationDelegate->didReceiveAuthenticationChallenge(
            self, webView, challenge, std::move(completion));
      },
      [completionHandler = std::move(completionHandler)](const pigeon::CallResult& result,
                                                         const Reporter& onFailure) {
        std::shared_ptr<AuthenticationChallengeResponse> response;
        if (auto object = result.value.ifObject())
          response = std::dynamic_pointer_cast<AuthenticationChallengeResponse>(*object);
        if (!result.error && response) {
          completionHandler(response->disposition, response->credential);
          return;
        }
        completionHandler(wk::kAuthChallengeCancel, nullptr);
        onFailure(kDidReceiveAuthenticationChallenge,
                  result.error
                      ? *result.error
                      : pigeon::PigeonError("invalid-reply",
                                            "Expected an AuthenticationChallengeResponse."));
      });
}

ObjectPtr NavigationDelegateProxyAPIDelegate::pigeonDefaultConstructor(
    PigeonApiWKNavigationDelegate& pigeonApi) {
  return std::make_shared<NavigationDelegateImpl>(pigeonApi.pigeonRegistrar.shared_from_this());
}

ObjectPtr NavigationResponseProxyAPIDelegate::response(PigeonApiWKNavigationResponse& /*pigeonApi*/,
                                                       const ObjectPtr& pigeonInstance) {
  return nativeAs<wk::NavigationResponse>(pigeonInstance).response;
}

bool NavigationResponseProxyAPIDelegate::isForMainFrame(
    PigeonApiWKNavigationResponse& /*pigeonApi*/, const ObjectPtr& pigeonInstance) {
  return nativeAs<wk::NavigationResponse>(pigeonInstance).forMainFrame;
}

}  // namespace webview
