// What a web view asks of its UI delegate: a new window, camera or microphone access and the
// three JavaScript panels. The engine hands every handler out once; each must be called exactly
// once (the web view records the answers and reports a second call as a broken precondition).
// The engine calls the delegate on the main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/webkit/navigation.h"

namespace platform::webkit {

class WebView;
class WebViewConfiguration;

// The engine's media capture types (WKMediaCaptureType).
inline constexpr std::int64_t kMediaCaptureTypeCamera = 0;
inline constexpr std::int64_t kMediaCaptureTypeMicrophone = 1;
inline constexpr std::int64_t kMediaCaptureTypeCameraAndMicrophone = 2;
// The engine's permission decisions (WKPermissionDecision).
inline constexpr std::int64_t kPermissionDecisionPrompt = 0;
inline constexpr std::int64_t kPermissionDecisionGrant = 1;
inline constexpr std::int64_t kPermissionDecisionDeny = 2;

class UIDelegate {
 public:
  virtual ~UIDelegate() = default;
  // The web view for a window a page opens; none opens no window.
  virtual std::shared_ptr<WebView>
  createWebView(const std::shared_ptr<WebView>& webView,
                const std::shared_ptr<WebViewConfiguration>& configuration,
                const std::shared_ptr<NavigationAction>& action) = 0;
  virtual void
  requestMediaCapturePermission(const std::shared_ptr<WebView>& webView,
                                const std::shared_ptr<SecurityOrigin>& origin,
                                const std::shared_ptr<FrameInfo>& frame, std::int64_t type,
                                std::function<void(std::int64_t decision)> decisionHandler) = 0;
  virtual void runJavaScriptAlertPanel(const std::shared_ptr<WebView>& webView,
                                       const std::string& message,
                                       const std::shared_ptr<FrameInfo>& frame,
                                       std::function<void()> completionHandler) = 0;
  virtual void runJavaScriptConfirmPanel(const std::shared_ptr<WebView>& webView,
                                         const std::string& message,
                                         const std::shared_ptr<FrameInfo>& frame,
                                         std::function<void(bool)> completionHandler) = 0;
  virtual void runJavaScriptTextInputPanel(
      const std::shared_ptr<WebView>& webView, const std::string& prompt,
      const std::optional<std::string>& defaultText, const std::shared_ptr<FrameInfo>& frame,
      std::function<void(std::optional<std::string>)> completionHandler) = 0;
};

}  // namespace platform::webkit
