// The records the engine hands its delegates with navigation and page events: the frame that
// started something (WKFrameInfo), the security origin of a page (WKSecurityOrigin) and the
// navigation action a page asked for (WKNavigationAction). They are read-only once made.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/core/error.h"
#include "platform/core/value.h"
#include "platform/webkit/authentication.h"
#include "platform/webkit/native_object.h"
#include "platform/webkit/url_request.h"

namespace platform::webkit {

// The engine's navigation types (WKNavigationType); kNavigationTypeOther is -1.
inline constexpr std::int64_t kNavigationTypeLinkActivated = 0;
inline constexpr std::int64_t kNavigationTypeOther = -1;

class FrameInfo : public NativeObject {
 public:
  FrameInfo(bool mainFrame, std::optional<URLRequest> request)
      : mainFrame(mainFrame), request(std::move(request)) {}
  std::string className() const override { return "WKFrameInfo"; }
  platform::ValueMap engineState() const override;
  const bool mainFrame;
  const std::optional<URLRequest> request;
};

class SecurityOrigin : public NativeObject {
 public:
  SecurityOrigin(std::string host, std::int64_t port, std::string protocol)
      : host(std::move(host)), port(port), protocol(std::move(protocol)) {}
  std::string className() const override { return "WKSecurityOrigin"; }
  platform::ValueMap engineState() const override;
  // The origin of `url`: its host, its port (0 when it names none) and its scheme.
  static std::shared_ptr<SecurityOrigin> of(const platform::URL& url);
  const std::string host;
  const std::int64_t port;
  const std::string protocol;
};

class NavigationAction : public NativeObject {
 public:
  NavigationAction(URLRequest request, std::shared_ptr<FrameInfo> targetFrame,
                   std::int64_t navigationType)
      : request(std::move(request)), targetFrame(std::move(targetFrame)),
        navigationType(navigationType) {}
  std::string className() const override { return "WKNavigationAction"; }
  platform::ValueMap engineState() const override;
  const URLRequest request;
  const std::shared_ptr<FrameInfo> targetFrame;  // none for a new window
  const std::int64_t navigationType;             // the engine's WKNavigationType value
};

}  // namespace platform::webkit

namespace platform::webkit {

class WebView;

// The engine's policies (WKNavigationActionPolicy and WKNavigationResponsePolicy alike).
inline constexpr std::int64_t kNavigationPolicyCancel = 0;
inline constexpr std::int64_t kNavigationPolicyAllow = 1;
inline constexpr std::int64_t kNavigationPolicyDownload = 2;

// The response a navigation got, for the main frame or another one.
class NavigationResponse : public NativeObject {
 public:
  NavigationResponse(std::shared_ptr<URLResponse> response, bool forMainFrame)
      : response(std::move(response)), forMainFrame(forMainFrame) {}
  std::string className() const override { return "WKNavigationResponse"; }
  platform::ValueMap engineState() const override;
  const std::shared_ptr<URLResponse> response;
  const bool forMainFrame;
};

// What a web view tells and asks its navigation delegate while it loads. A load with a delegate
// goes: decide action, start, decide response, then finish; or it fails provisionally. Each
// step waits until the previous decision handler was called; a policy other than allow ends the
// load there. Handlers must be called exactly once. Main thread.
class NavigationDelegate {
 public:
  virtual ~NavigationDelegate() = default;
  virtual void
  decidePolicyForNavigationAction(const std::shared_ptr<WebView>& webView,
                                  const std::shared_ptr<NavigationAction>& action,
                                  std::function<void(std::int64_t policy)> decisionHandler) = 0;
  virtual void didStartProvisionalNavigation(const std::shared_ptr<WebView>& webView) = 0;
  virtual void
  decidePolicyForNavigationResponse(const std::shared_ptr<WebView>& webView,
                                    const std::shared_ptr<NavigationResponse>& response,
                                    std::function<void(std::int64_t policy)> decisionHandler) = 0;
  virtual void didFinishNavigation(const std::shared_ptr<WebView>& webView) = 0;
  virtual void didFailNavigation(const std::shared_ptr<WebView>& webView,
                                 const platform::ErrorPtr& error) = 0;
  virtual void didFailProvisionalNavigation(const std::shared_ptr<WebView>& webView,
                                            const platform::ErrorPtr& error) = 0;
  virtual void webContentProcessDidTerminate(const std::shared_ptr<WebView>& webView) = 0;
  // The answer: a disposition (kAuthChallenge...) and the credential to use, if any.
  virtual void didReceiveAuthenticationChallenge(
      const std::shared_ptr<WebView>& webView,
      const std::shared_ptr<AuthenticationChallenge>& challenge,
      std::function<void(std::int64_t disposition, std::shared_ptr<URLCredential> credential)>
          completionHandler) = 0;
};

}  // namespace platform::webkit
