#include "plugins/webview_flutter_wkwebview/ui_delegate_proxy_api_delegates.h"

#include <utility>

#include "platform/webkit/web_view.h"
#include "plugins/webview_flutter_wkwebview/delegate_forwarding.h"
#include "plugins/webview_flutter_wkwebview/native_cast.h"
#include "plugins/webview_flutter_wkwebview/proxy_api_registrar.h"
#include "plugins/webview_flutter_wkwebview/url_request_proxy_api_delegates.h"

namespace webview {

namespace wk = platform::webkit;
using ObjectPtr = platform::webkit::NativeObjectPtr;
using Reporter = ProxyApiRegistrar::FailureReporter;

namespace {

constexpr const char* kOnCreateWebView = "WKUIDelegate.onCreateWebView";
constexpr const char* kRequestMediaCapturePermission = "WKUIDelegate.requestMediaCapturePermission";
constexpr const char* kRunJavaScriptAlertPanel = "WKUIDelegate.runJavaScriptAlertPanel";
constexpr const char* kRunJavaScriptConfirmPanel = "WKUIDelegate.runJavaScriptConfirmPanel";
constexpr const char* kRunJavaScriptTextInputPanel = "WKUIDelegate.runJavaScriptTextInputPanel";

}  // namespace

MediaCaptureType mediaCaptureTypeFromEngine(std::int64_t type) {
  switch (type) {
  case wk::kMediaCaptureTypeCamera:
    return MediaCaptureType::camera;
  case wk::kMediaCaptureTypeMicrophone:
    return MediaCaptureType::microphone;
  case wk::kMediaCaptureTypeCameraAndMicrophone:
    return MediaCaptureType::cameraAndMicrophone;
  default:
    return MediaCaptureType::unknown;
  }
}

std::int64_t engineDecision(PermissionDecision decision) {
  switch (decision) {
  case PermissionDecision::deny:
    return wk::kPermissionDecisionDeny;
  case PermissionDecision::grant:
    return wk::kPermissionDecisionGrant;
  case PermissionDecision::prompt:
    return wk::kPermissionDecisionPrompt;
  }
  return wk::kPermissionDecisionDeny;
}

NavigationType navigationTypeFromEngine(std::int64_t type) {
  switch (type) {
  case 0:
    return NavigationType::linkActivated;
  case 1:
    return NavigationType::formSubmitted;
  case 2:
    return NavigationType::backForward;
  case 3:
    return NavigationType::reload;
  case 4:
    return NavigationType::formResubmitted;
  case wk::kNavigationTypeOther:
    return NavigationType::other;
  default:
    return NavigationType::unknown;
  }
}

std::shared_ptr<wk::WebView>
UIDelegateImpl::createWebView(const std::shared_ptr<wk::WebView>& webView,
                              const std::shared_ptr<wk::WebViewConfiguration>& configuration,
                              const std::shared_ptr<wk::NavigationAction>& action) {
  auto self = shared_from_this();
  forward(
      registrar_,
      [self, webView, configuration, action](ProxyApiRegistrar& registrar, auto completion) {
        registrar.apis().WKUIDelegate->onCreateWebView(self, webView, configuration, action,
                                                       std::move(completion));
      },
      [](const pigeon::CallResult& result, const Reporter& onFailure) {
        if (result.error) onFailure(kOnCreateWebView, *result.error);
      });
  return nullptr;  // this delegate never opens a window itself
}

void UIDelegateImpl::requestMediaCapturePermission(
    const std::shared_ptr<wk::WebView>& webView, const std::shared_ptr<wk::SecurityOrigin>& origin,
    const std::shared_ptr<wk::FrameInfo>& frame, std::int64_t type,
    std::function<void(std::int64_t decision)> decisionHandler) {
  auto self = shared_from_this();
  const MediaCaptureType captureType = mediaCaptureTypeFromEngine(type);
  forward(
      registrar_,
      [self, webView, origin, frame, captureType](ProxyApiRegistrar& registrar, auto completion) {
        registrar.apis().WKUIDelegate->requestMediaCapturePermission(
            self, webView, origin, frame, captureType, std::move(completion));
      },
      [decisionHandler = std::move(decisionHandler)](const pigeon::CallResult& result,
                                                     const Reporter& onFailure) {
        auto decision = pigeon::WireType<PermissionDecision>::from(result.value);
        if (!result.error && decision) {
          decisionHandler(engineDecision(*decision));
          return;
        }
        decisionHandler(wk::kPermissionDecisionDeny);
        onFailure(kRequestMediaCapturePermission,
                  result.error ? *result.error
                               : pigeon::PigeonError("invalid-reply", "Expected a decision."));
      });
}

void UIDelegateImpl::runJavaScriptAlertPanel(const std::shared_ptr<wk::WebView>& webView,
                                             const std::string& message,
                                             const std::shared_ptr<wk::FrameInfo>& frame,
                                             std::function<void()> completionHandler) {
  auto self = shared_from_this();
  forward(
      registrar_,
      [self, webView, message, frame](ProxyApiRegistrar& registrar, auto completion) {
        registrar.apis().WKUIDelegate->runJavaScriptAlertPanel(self, webView, message, frame,
                                                               std::move(completion));
      },
      [completionHandler = std::move(completionHandler)](const pigeon::CallResult& result,
                                                         const Reporter& onFailure) {
        if (result.error) onFailure(kRunJavaScriptAlertPanel, *result.error);
        completionHandler();
      });
}

void UIDelegateImpl::runJavaScriptConfirmPanel(const std::shared_ptr<wk::WebView>& webView,
                                               const std::string& message,
                                               const std::shared_ptr<wk::FrameInfo>& frame,
                                               std::function<void(bool)> completionHandler) {
  auto self = shared_from_this();
  forward(
      registrar_,
      [self, webView, message, frame](ProxyApiRegistrar& registrar, auto completion) {
        registrar.apis().WKUIDelegate->runJavaScriptConfirmPanel(self, webView, message, frame,
                                                                 std::move(completion));
      },
      [completionHandler = std::move(completionHandler)](const pigeon::CallResult& result,
                                                         const Reporter& onFailure) {
        auto confirmed = pigeon::WireType<bool>::from(result.value);
        if (!result.error && confirmed) {
          completionHandler(*confirmed);
          return;
        }
        completionHandler(false);
        onFailure(kRunJavaScriptConfirmPanel,
                  result.error ? *result.error
                               : pigeon::PigeonError("invalid-reply", "Expected a boolean."));
      });
}

void UIDelegateImpl::runJavaScriptTextInputPanel(
    const std::shared_ptr<wk::WebView>& webView, const std::string& prompt,
    const std::optional<std::string>& defaultText, const std::shared_ptr<wk::FrameInfo>& frame,
    std::function<void(std::optional<std::string>)> completionHandler) {
  auto self = shared_from_this();
  forward(
      registrar_,
      [self, webView, prompt, defaultText, frame](ProxyApiRegistrar& registrar, auto completion) {
        registrar.apis().WKUIDelegate->runJavaScriptTextInputPanel(
            self, webView, prompt, defaultText, frame, std::move(completion));
      },
      [completionHandler = std::move(completionHandler)](const pigeon::CallResult& result,
                                                         const Reporter& onFailure) {
        if (!result.error && (result.value.isNull() || result.value.isString())) {
          completionHandler(result.value.isString()
                                ? std::optional<std::string>(result.value.asString())
                                : std::nullopt);
          return;
        }
        completionHandler(std::nullopt);
        onFailure(kRunJavaScriptTextInputPanel,
                  result.error
                      ? *result.error
                      : pigeon::PigeonError("invalid-reply", "Expected a string or null."));
      });
}

ObjectPtr UIDelegateProxyAPIDelegate::pigeonDefaultConstructor(PigeonApiWKUIDelegate& pigeonApi) {
  return std::make_shared<UIDelegateImpl>(pigeonApi.pigeonRegistrar.shared_from_this());
}

bool FrameInfoProxyAPIDelegate::isMainFrame(PigeonApiWKFrameInfo& /*pigeonApi*/,
                                            const ObjectPtr& pigeonInstance) {
  return nativeAs<wk::FrameInfo>(pigeonInstance).mainFrame;
}

ObjectPtr FrameInfoProxyAPIDelegate::request(PigeonApiWKFrameInfo& /*pigeonApi*/,
                                             const ObjectPtr& pigeonInstance) {
  const auto& request = nativeAs<wk::FrameInfo>(pigeonInstance).request;
  if (!request) return nullptr;
  return std::make_shared<URLRequestWrapper>(*request);
}

std::string SecurityOriginProxyAPIDelegate::host(PigeonApiWKSecurityOrigin& /*pigeonApi*/,
                                                 const ObjectPtr& pigeonInstance) {
  return nativeAs<wk::SecurityOrigin>(pigeonInstance).host;
}

std::int64_t SecurityOriginProxyAPIDelegate::port(PigeonApiWKSecurityOrigin& /*pigeonApi*/,
                                                  const ObjectPtr& pigeonInstance) {
  return nativeAs<wk::SecurityOrigin>(pigeonInstance).port;
}

std::string
SecurityOriginProxyAPIDelegate::securityProtocol(PigeonApiWKSecurityOrigin& /*pigeonApi*/,
                                                 const ObjectPtr& pigeonInstance) {
  return nativeAs<wk::SecurityOrigin>(pigeonInstance).protocol;
}

ObjectPtr NavigationActionProxyAPIDelegate::request(PigeonApiWKNavigationAction& /*pigeonApi*/,
                                                    const ObjectPtr& pigeonInstance) {
  return std::make_shared<URLRequestWrapper>(
      nativeAs<wk::NavigationAction>(pigeonInstance).request);
}

ObjectPtr NavigationActionProxyAPIDelegate::targetFrame(PigeonApiWKNavigationAction& /*pigeonApi*/,
                                                        const ObjectPtr& pigeonInstance) {
  return nativeAs<wk::NavigationAction>(pigeonInstance).targetFrame;
}

NavigationType
NavigationActionProxyAPIDelegate::navigationType(PigeonApiWKNavigationAction& /*pigeonApi*/,
                                                 const ObjectPtr& pigeonInstance) {
  return navigationTypeFromEngine(nativeAs<wk::NavigationAction>(pigeonInstance).navigationType);
}

}  // namespace webview
