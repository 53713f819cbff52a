#include "plugins/webview_flutter_wkwebview/flutter_view_factory.h"

#include "platform/log/log.h"
#include "plugins/webview_flutter_wkwebview/instance_manager.h"
#include "plugins/webview_flutter_wkwebview/webview_flutter_plugin.h"

namespace webview {

platform::ViewPtr FlutterViewFactory::createWithViewIdentifier(std::int64_t viewId,
                                                               const platform::Value& arguments) {
  std::shared_ptr<platform::webkit::WebView> webView;
  if (arguments.isInt()) {
    webView = std::dynamic_pointer_cast<platform::webkit::WebView>(
        instanceManager_.instance(arguments.asInt()));
  }
  if (webView) return webView->view();
  platform::Log::cached("com.lumora.webview", "bridge")
      ->error("web view platform view " + std::to_string(viewId) + ": the creation argument " +
              arguments.debugString() + " names no live web view; showing an empty view");
  return std::make_shared<platform::View>();
}

flutter::MessageCodecPtr FlutterViewFactory::createArgsCodec() const {
  return flutter::StandardMessageCodec::sharedInstance();
}

std::shared_ptr<platform::webkit::WebView>
FWFWebViewFlutterWKWebViewExternalAPI::webViewForIdentifier(
    std::int64_t identifier, const flutter::PluginRegistry& registry) {
  auto plugin = std::dynamic_pointer_cast<WebViewFlutterPlugin>(
      registry.valuePublishedByPlugin(WebViewFlutterPlugin::kKey));
  if (!plugin || !plugin->proxyApiRegistrar()) return nullptr;
  return std::dynamic_pointer_cast<platform::webkit::WebView>(
      plugin->proxyApiRegistrar()->instanceManager().instance(identifier));
}

}  // namespace webview
