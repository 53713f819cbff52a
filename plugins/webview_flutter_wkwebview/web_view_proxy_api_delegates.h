// The native side of the web view ("NSViewWKWebView", base "WKWebView"): WebViewImpl is the
// engine's web view made for the application's code, which also forwards the key-value
// observations it receives as an observer; WebViewProxyAPIDelegate answers the web view's
// channels. Main thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/webkit/web_view.h"
#include "plugins/webview_flutter_wkwebview/flutter_asset_manager.h"
#include "plugins/webview_flutter_wkwebview/messages.h"

namespace webview {

class ProxyApiRegistrar;

class WebViewImpl : public platform::webkit::WebView {
 public:
  // The registrar is held weakly; it outlives every web view in the hosts.
  WebViewImpl(const std::shared_ptr<ProxyApiRegistrar>& registrar,
              std::shared_ptr<platform::webkit::WebViewConfiguration> configuration)
      : WebView(std::move(configuration)), registrar_(registrar) {}

  void observeValue(const std::string& keyPath,
                    const std::shared_ptr<platform::webkit::NativeObject>& object,
                    const platform::ValueMap& change) override;

 private:
  std::weak_ptr<ProxyApiRegistrar> registrar_;
};

class WebViewBaseProxyAPIDelegate : public PigeonApiDelegateWKWebView {};

class WebViewProxyAPIDelegate : public PigeonApiDelegateNSViewWKWebView {
 public:
  using ObjectPtr = platform::webkit::NativeObjectPtr;
  using Api = PigeonApiNSViewWKWebView;

  explicit WebViewProxyAPIDelegate(std::shared_ptr<const FlutterAssetManager> assetManager)
      : assetManager_(std::move(assetManager)) {}

  ObjectPtr pigeonDefaultConstructor(Api& pigeonApi,
                                     const ObjectPtr& initialConfiguration) override;
  ObjectPtr configuration(Api& pigeonApi, const ObjectPtr& pigeonInstance) override;
  // The navigation and UI delegates are not built yet: these keep nothing.
  void setUIDelegate(Api& pigeonApi, const ObjectPtr& pigeonInstance,
                     const ObjectPtr& delegate) override;
  void setNavigationDelegate(Api& pigeonApi, const ObjectPtr& pigeonInstance,
                             const ObjectPtr& delegate) override;
  std::optional<std::string> getUrl(Api& pigeonApi, const ObjectPtr& pigeonInstance) override;
  double getEstimatedProgress(Api& pigeonApi, const ObjectPtr& pigeonInstance) override;
  void load(Api& pigeonApi, const ObjectPtr& pigeonInstance, const ObjectPtr& request) override;
  // A base URL that does not parse is refused with the registrar's null-URL error.
  void loadHtmlString(Api& pigeonApi, const ObjectPtr& pigeonInstance, const std::string& string,
                      const std::optional<std::string>& baseUrl) override;
  // Relative paths are taken from the current directory.
  void loadFileUrl(Api& pigeonApi, const ObjectPtr& pigeonInstance, const std::string& url,
                   const std::string& readAccessUrl) override;
  // An asset whose file does not exist is refused with "FWFURLParsingError" and loads nothing.
  void loadFlutterAsset(Api& pigeonApi, const ObjectPtr& pigeonInstance,
                        const std::string& key) override;
  bool canGoBack(Api& pigeonApi, const ObjectPtr& pigeonInstance) override;
  bool canGoForward(Api& pigeonApi, const ObjectPtr& pigeonInstance) override;
  void goBack(Api& pigeonApi, const ObjectPtr& pigeonInstance) override;
  void goForward(Api& pigeonApi, const ObjectPtr& pigeonInstance) override;
  void reload(Api& pigeonApi, const ObjectPtr& pigeonInstance) override;
  std::optional<std::string> getTitle(Api& pigeonApi, const ObjectPtr& pigeonInstance) override;
  void setAllowsBackForwardNavigationGestures(Api& pigeonApi, const ObjectPtr& pigeonInstance,
                                              bool allow) override;
  void setCustomUserAgent(Api& pigeonApi, const ObjectPtr& pigeonInstance,
                          const std::optional<std::string>& userAgent) override;
  void evaluateJavaScript(Api& pigeonApi, const ObjectPtr& pigeonInstance,
                          const std::string& javaScriptString,
                          std::function<void(std::optional<platform::Value> result,
                                             const std::optional<pigeon::PigeonError>& error)>
                              completion) override;
  void setInspectable(Api& pigeonApi, const ObjectPtr& pigeonInstance, bool inspectable) override;
  std::optional<std::string> getCustomUserAgent(Api& pigeonApi,
                                                const ObjectPtr& pigeonInstance) override;
  void setAllowsLinkPreview(Api& pigeonApi, const ObjectPtr& pigeonInstance, bool allow) override;

 private:
  std::shared_ptr<const FlutterAssetManager> assetManager_;
};

// What a script's result becomes on the channel: strings and numbers (booleans included) as
// they are, none as none; anything else as its textual description, after one quoted line on
// standard output saying so.
std::optional<platform::Value>
javaScriptResultForChannel(const std::optional<platform::Value>& result);

}  // namespace webview
