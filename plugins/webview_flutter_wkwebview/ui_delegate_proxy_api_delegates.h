// The native side of the UI delegate (WKUIDelegate) and of the records page events carry to the
// application's code: the frame (WKFrameInfo), the security origin (WKSecurityOrigin) and the
// navigation action (WKNavigationAction).
//
// UIDelegateImpl forwards each engine request on a later main-loop turn and answers the engine's
// handler on a further turn after the reply. Whatever goes wrong, every handler is called once:
// no window, camera denied, confirm false, prompt nil, alert dismissed; failures are logged.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/webkit/native_object.h"
#include "platform/webkit/ui_delegate.h"
#include "plugins/webview_flutter_wkwebview/messages.h"

namespace webview {

class ProxyApiRegistrar;

// The engine's capture type as the bridge's case; values outside the table are `unknown`.
MediaCaptureType mediaCaptureTypeFromEngine(std::int64_t type);
// The application's decision as the engine's value.
std::int64_t engineDecision(PermissionDecision decision);
// The engine's navigation type as the bridge's case: -1 is `other`, values outside -1 to 4
// `unknown`.
NavigationType navigationTypeFromEngine(std::int64_t type);

class UIDelegateImpl : public platform::webkit::NativeObject, public platform::webkit::UIDelegate {
 public:
  explicit UIDelegateImpl(const std::shared_ptr<ProxyApiRegistrar>& registrar)
      : registrar_(registrar) {}
  std::string className() const override { return "WKUIDelegate"; }

  std::shared_ptr<platform::webkit::WebView>
  createWebView(const std::shared_ptr<platform::webkit::WebView>& webView,
                const std::shared_ptr<platform::webkit::WebViewConfiguration>& configuration,
                const std::shared_ptr<platform::webkit::NavigationAction>& action) override;
  void requestMediaCapturePermission(
      const std::shared_ptr<platform::webkit::WebView>& webView,
      const std::shared_ptr<platform::webkit::SecurityOrigin>& origin,
      const std::shared_ptr<platform::webkit::FrameInfo>& frame, std::int64_t type,
      std::function<void(std::int64_t decision)> decisionHandler) override;
  void runJavaScriptAlertPanel(const std::shared_ptr<platform::webkit::WebView>& webView,
                               const std::string& message,
                               const std::shared_ptr<platform::webkit::FrameInfo>& frame,
                               std::function<void()> completionHandler) override;
  void runJavaScriptConfirmPanel(const std::shared_ptr<platform::webkit::WebView>& webView,
                                 const std::string& message,
                                 const std::shared_ptr<platform::webkit::FrameInfo>& frame,
                                 std::function<void(bool)> completionHandler) override;
  void runJavaScriptTextInputPanel(
      const std::shared_ptr<platform::webkit::WebView>& webView, const std::string& prompt,
      const std::optional<std::string>& defaultText,
      const std::shared_ptr<platform::webkit::FrameInfo>& frame,
      std::function<void(std::optional<std::string>)> completionHandler) override;

 private:
  std::weak_ptr<ProxyApiRegistrar> registrar_;
};

class UIDelegateProxyAPIDelegate : public PigeonApiDelegateWKUIDelegate {
 public:
  platform::webkit::NativeObjectPtr
  pigeonDefaultConstructor(PigeonApiWKUIDelegate& pigeonApi) override;
};

class FrameInfoProxyAPIDelegate : public PigeonApiDelegateWKFrameInfo {
 public:
  bool isMainFrame(PigeonApiWKFrameInfo& pigeonApi,
                   const platform::webkit::NativeObjectPtr& pigeonInstance) override;
  // A new request box holding a copy of the frame's request, none without one.
  platform::webkit::NativeObjectPtr
  request(PigeonApiWKFrameInfo& pigeonApi,
          const platform::webkit::NativeObjectPtr& pigeonInstance) override;
};

class SecurityOriginProxyAPIDelegate : public PigeonApiDelegateWKSecurityOrigin {
 public:
  std::string host(PigeonApiWKSecurityOrigin& pigeonApi,
                   const platform::webkit::NativeObjectPtr& pigeonInstance) override;
  std::int64_t port(PigeonApiWKSecurityOrigin& pigeonApi,
                    const platform::webkit::NativeObjectPtr& pigeonInstance) override;
  std::string securityProtocol(PigeonApiWKSecurityOrigin& pigeonApi,
                               const platform::webkit::NativeObjectPtr& pigeonInstance) override;
};

class NavigationActionProxyAPIDelegate : public PigeonApiDelegateWKNavigationAction {
 public:
  // A new request box holding a copy of the action's request.
  platform::webkit::NativeObjectPtr
  request(PigeonApiWKNavigationAction& pigeonApi,
          const platform::webkit::NativeObjectPtr& pigeonInstance) override;
  platform::webkit::NativeObjectPtr
  targetFrame(PigeonApiWKNavigationAction& pigeonApi,
              const platform::webkit::NativeObjectPtr& pigeonInstance) override;
  NavigationType navigationType(PigeonApiWKNavigationAction& pigeonApi,
                                const platform::webkit::NativeObjectPtr& pigeonInstance) override;
};

}  // namespace webview
