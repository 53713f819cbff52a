#include "plugins/webview_flutter_wkwebview/web_view_proxy_api_delegates.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "platform/foundation/process_info.h"
#include "plugins/webview_flutter_wkwebview/native_cast.h"
#include "plugins/webview_flutter_wkwebview/object_proxy_api_delegates.h"
#include "plugins/webview_flutter_wkwebview/proxy_api_registrar.h"
#include "plugins/webview_flutter_wkwebview/url_request_proxy_api_delegates.h"

namespace webview {

namespace wk = platform::webkit;
using platform::Value;

namespace {

wk::WebView& webView(const platform::webkit::NativeObjectPtr& object) {
  return nativeAs<wk::WebView>(object);
}

// `path` made absolute against the current directory (relative paths are never refused).
std::string absolutePath(const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  std::error_code error;
  auto cwd = std::filesystem::current_path(error);
  std::string base = error ? std::string("/") : cwd.string();
  if (path.empty()) return base;
  if (base.back() != '/') base += '/';
  return base + path;
}

// The text as the runtime's debug form prints it: quoted, with quotes and control characters
// escaped, as values print their strings.
std::string quoted(const std::string& text) {
  return Value(text).debugString();
}

}  // namespace

void WebViewImpl::observeValue(const std::string& keyPath,
                               const std::shared_ptr<platform::webkit::NativeObject>& object,
                               const platform::ValueMap& change) {
  NSObjectImpl::handleObserveValue(registrar_, shared_from_this(), keyPath, object, change);
}

std::optional<Value> javaScriptResultForChannel(const std::optional<Value>& result) {
  if (!result || result->isNull()) return std::nullopt;
  if (result->isString() || result->isNumber() || result->isBool()) return result;
  const std::string description = result->debugString();
  const std::string line =
      quoted("Return type of evaluateJavaScript is not directly supported: " + description +
             ". Returned description of value.");
  std::fprintf(stdout, "%s\n", line.c_str());
  std::fflush(stdout);
  return Value(description);
}

WebViewProxyAPIDelegate::ObjectPtr
WebViewProxyAPIDelegate::pigeonDefaultConstructor(Api& pigeonApi,
                                                  const ObjectPtr& initialConfiguration) {
  return std::make_shared<WebViewImpl>(pigeonApi.pigeonRegistrar.shared_from_this(),
                                       nativeCast<wk::WebViewConfiguration>(initialConfiguration));
}

WebViewProxyAPIDelegate::ObjectPtr
WebViewProxyAPIDelegate::configuration(Api& /*pigeonApi*/, const ObjectPtr& pigeonInstance) {
  return webView(pigeonInstance).configuration();
}

void WebViewProxyAPIDelegate::setUIDelegate(Api& /*pigeonApi*/, const ObjectPtr& pigeonInstance,
                                            const ObjectPtr& delegate) {
  auto uiDelegate = std::dynamic_pointer_cast<wk::UIDelegate>(delegate);
  if (!uiDelegate) {
    throw pigeon::ArgumentError("setUIDelegate: argument 1 is an instance of " +
                                (delegate ? delegate->className() : std::string("nothing")) +
                                ", not a UI delegate");
  }
  // The web view does not own its delegate: the instance manager keeps it alive.
  webView(pigeonInstance).setUIDelegate(uiDelegate);
}

void WebViewProxyAPIDelegate::setNavigationDelegate(Api& /*pigeonApi*/,
                                                    const ObjectPtr& pigeonInstance,
                                                    const ObjectPtr& delegate) {
  auto navigationDelegate = std::dynamic_pointer_cast<wk::NavigationDelegate>(delegate);
  if (!navigationDelegate) {
    throw pigeon::ArgumentError("setNavigationDelegate: argument 1 is an instance of " +
                                (delegate ? delegate->className() : std::string("nothing")) +
                                ", not a navigation delegate");
  }
  // The web view does not own its delegate: the instance manager keeps it alive.
  webView(pigeonInstance).setNavigationDelegate(navigationDelegate);
}

std::optional<std::string> WebViewProxyAPIDelegate::getUrl(Api& /*pigeonApi*/,
                                                           const ObjectPtr& pigeonInstance) {
  auto url = webView(pigeonInstance).url();
  if (!url) return std::nullopt;
  return url->absoluteString();
}

double WebViewProxyAPIDelegate::getEstimatedProgress(Api& /*pigeonApi*/,
                                                     const ObjectPtr& pigeonInstance) {
  return webView(pigeonInstance).estimatedProgress();
}

void WebViewProxyAPIDelegate::load(Api& /*pigeonApi*/, const ObjectPtr& pigeonInstance,
                                   const ObjectPtr& request) {
  webView(pigeonInstance).loadRequest(nativeAs<URLRequestWrapper>(request).value);
}

void WebViewProxyAPIDelegate::loadHtmlString(Api& /*pigeonApi*/, const ObjectPtr& pigeonInstance,
                                             const std::string& string,
                                             const std::optional<std::string>& baseUrl) {
  auto& view = webView(pigeonInstance);
  std::optional<platform::URL> base;
  if (baseUrl) {
    base = platform::URL::parse(*baseUrl);
    if (!base) throw ProxyApiRegistrar::createNullURLError(*baseUrl);
  }
  view.loadHTMLString(string, base);
}

void WebViewProxyAPIDelegate::loadFileUrl(Api& /*pigeonApi*/, const ObjectPtr& pigeonInstance,
                                          const std::string& url,
                                          const std::string& readAccessUrl) {
  auto& view = webView(pigeonInstance);
  auto file = platform::URL::fileURLWithPath(absolutePath(url), false);
  auto access = platform::URL::fileURLWithPath(absolutePath(readAccessUrl), true);
  if (!file) throw ProxyApiRegistrar::createNullURLError(url);
  if (!access) throw ProxyApiRegistrar::createNullURLError(readAccessUrl);
  view.loadFileURL(*file, *access);
}

void WebViewProxyAPIDelegate::loadFlutterAsset(Api& /*pigeonApi*/, const ObjectPtr& pigeonInstance,
                                               const std::string& key) {
  auto& view = webView(pigeonInstance);
  auto url = assetManager_ ? assetManager_->urlForAsset(key) : std::nullopt;
  // A URL that names no file would only fail later, as a navigation: refused here instead.
  std::optional<std::string> path = url ? url->filePath() : std::nullopt;
  std::error_code error;
  if (!path || !std::filesystem::is_regular_file(*path, error)) {
    throw pigeon::PigeonError("FWFURLParsingError",
                              "Failed to find asset with filepath: `" +
                                  FlutterAssetManager::lookupKeyForAsset(key) + "`.",
                              Value());
  }
  const auto folder = std::filesystem::path(*path).parent_path().string();
  auto access = platform::URL::fileURLWithPath(folder, true);
  if (!access) throw ProxyApiRegistrar::createNullURLError(folder);
  view.loadFileURL(*url, *access);
}

bool WebViewProxyAPIDelegate::canGoBack(Api& /*pigeonApi*/, const ObjectPtr& pigeonInstance) {
  return webView(pigeonInstance).canGoBack();
}

bool WebViewProxyAPIDelegate::canGoForward(Api& /*pigeonApi*/, const ObjectPtr& pigeonInstance) {
  return webView(pigeonInstance).canGoForward();
}

void WebViewProxyAPIDelegate::goBack(Api& /*pigeonApi*/, const ObjectPtr& pigeonInstance) {
  webView(pigeonInstance).goBack();
}

void WebViewProxyAPIDelegate::goForward(Api& /*pigeonApi*/, const ObjectPtr& pigeonInstance) {
  webView(pigeonInstance).goForward();
}

void WebViewProxyAPIDelegate::reload(Api& /*pigeonApi*/, const ObjectPtr& pigeonInstance) {
  webView(pigeonInstance).reload();
}

std::optional<std::string> WebViewProxyAPIDelegate::getTitle(Api& /*pigeonApi*/,
                                                             const ObjectPtr& pigeonInstance) {
  return webView(pigeonInstance).title();
}

void WebViewProxyAPIDelegate::setAllowsBackForwardNavigationGestures(
    Api& /*pigeonApi*/, const ObjectPtr& pigeonInstance, bool allow) {
  webView(pigeonInstance).setAllowsBackForwardNavigationGestures(allow);
}

void WebViewProxyAPIDelegate::setCustomUserAgent(Api& /*pigeonApi*/,
                                                 const ObjectPtr& pigeonInstance,
                                                 const std::optional<std::string>& userAgent) {
  webView(pigeonInstance).setCustomUserAgent(userAgent);
}

void WebViewProxyAPIDelegate::evaluateJavaScript(
    Api& /*pigeonApi*/, const ObjectPtr& pigeonInstance, const std::string& javaScriptString,
    std::function<void(std::optional<Value> result,
                       const std::optional<pigeon::PigeonError>& error)>
        completion) {
  webView(pigeonInstance)
      .evaluateJavaScript(
          javaScriptString, [completion = std::move(completion)](std::optional<Value> result,
                                                                 platform::ErrorPtr error) {
            if (error) {
              completion(std::nullopt,
                         pigeon::PigeonError("FWFEvaluateJavaScriptError",
                                             "Failed evaluating JavaScript.", Value(error)));
              return;
            }
            completion(javaScriptResultForChannel(result), std::nullopt);
          });
}

void WebViewProxyAPIDelegate::setInspectable(Api& /*pigeonApi*/, const ObjectPtr& pigeonInstance,
                                             bool inspectable) {
  auto& view = webView(pigeonInstance);
  if (!platform::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({13, 3, 0})) {
    throw ProxyApiRegistrar::createUnsupportedVersionError("WKWebView.inspectable",
                                                           "iOS 16.4, macOS 13.3");
  }
  view.setInspectable(inspectable);
}

std::optional<std::string>
WebViewProxyAPIDelegate::getCustomUserAgent(Api& /*pigeonApi*/, const ObjectPtr& pigeonInstance) {
  return webView(pigeonInstance).customUserAgent();
}

void WebViewProxyAPIDelegate::setAllowsLinkPreview(Api& /*pigeonApi*/,
                                                   const ObjectPtr& pigeonInstance, bool allow) {
  webView(pigeonInstance).setAllowsLinkPreview(allow);
}

}  // namespace webview
