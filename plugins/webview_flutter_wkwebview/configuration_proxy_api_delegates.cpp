#include "plugins/webview_flutter_wkwebview/configuration_proxy_api_delegates.h"

#include "platform/foundation/process_info.h"
#include "platform/webkit/web_view_configuration.h"
#include "plugins/webview_flutter_wkwebview/native_cast.h"
#include "plugins/webview_flutter_wkwebview/proxy_api_registrar.h"

namespace webview {

namespace wk = platform::webkit;

bool systemIsAtLeast11() {
  return platform::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({11, 0, 0});
}

std::uint64_t audiovisualMediaTypes(AudiovisualMediaType type) {
  switch (type) {
  case AudiovisualMediaType::none:
    return wk::audiovisual_media_type::kNone;
  case AudiovisualMediaType::audio:
    return wk::audiovisual_media_type::kAudio;
  case AudiovisualMediaType::video:
    return wk::audiovisual_media_type::kVideo;
  case AudiovisualMediaType::all:
    return wk::audiovisual_media_type::kAll;
  }
  throw ProxyApiRegistrar::createUnknownEnumError(std::to_string(static_cast<std::int64_t>(type)));
}

WebViewConfigurationProxyAPIDelegate::ObjectPtr
WebViewConfigurationProxyAPIDelegate::pigeonDefaultConstructor(Api& /*pigeonApi*/) {
  return std::make_shared<wk::WebViewConfiguration>();
}

void WebViewConfigurationProxyAPIDelegate::setUserContentController(Api& /*pigeonApi*/,
                                                                    const ObjectPtr& pigeonInstance,
                                                                    const ObjectPtr& controller) {
  nativeAs<wk::WebViewConfiguration>(pigeonInstance)
      .setUserContentController(nativeCast<wk::UserContentController>(controller));
}

WebViewConfigurationProxyAPIDelegate::ObjectPtr
WebViewConfigurationProxyAPIDelegate::getUserContentController(Api& /*pigeonApi*/,
                                                               const ObjectPtr& pigeonInstance) {
  return nativeAs<wk::WebViewConfiguration>(pigeonInstance).userContentController();
}

void WebViewConfigurationProxyAPIDelegate::setWebsiteDataStore(Api& /*pigeonApi*/,
                                                               const ObjectPtr& pigeonInstance,
                                                               const ObjectPtr& dataStore) {
  nativeAs<wk::WebViewConfiguration>(pigeonInstance)
      .setWebsiteDataStore(nativeCast<wk::WebsiteDataStore>(dataStore));
}

WebViewConfigurationProxyAPIDelegate::ObjectPtr
WebViewConfigurationProxyAPIDelegate::getWebsiteDataStore(Api& /*pigeonApi*/,
                                                          const ObjectPtr& pigeonInstance) {
  return nativeAs<wk::WebViewConfiguration>(pigeonInstance).websiteDataStore();
}

void WebViewConfigurationProxyAPIDelegate::setPreferences(Api& /*pigeonApi*/,
                                                          const ObjectPtr& pigeonInstance,
                                                          const ObjectPtr& preferences) {
  nativeAs<wk::WebViewConfiguration>(pigeonInstance)
      .setPreferences(nativeCast<wk::Preferences>(preferences));
}

WebViewConfigurationProxyAPIDelegate::ObjectPtr
WebViewConfigurationProxyAPIDelegate::getPreferences(Api& /*pigeonApi*/,
                                                     const ObjectPtr& pigeonInstance) {
  return nativeAs<wk::WebViewConfiguration>(pigeonInstance).preferences();
}

void WebViewConfigurationProxyAPIDelegate::setAllowsInlineMediaPlayback(
    Api& /*pigeonApi*/, const ObjectPtr& /*pigeonInstance*/, bool /*allow*/) {}

void WebViewConfigurationProxyAPIDelegate::setLimitsNavigationsToAppBoundDomains(
    Api& /*pigeonApi*/, const ObjectPtr& pigeonInstance, bool limit) {
  if (!systemIsAtLeast11()) {
    throw ProxyApiRegistrar::createUnsupportedVersionError(
        "WKWebViewConfiguration.limitsNavigationsToAppBoundDomains", "iOS 14.0, macOS 11.0");
  }
  nativeAs<wk::WebViewConfiguration>(pigeonInstance).setLimitsNavigationsToAppBoundDomains(limit);
}

void WebViewConfigurationProxyAPIDelegate::setMediaTypesRequiringUserActionForPlayback(
    Api& /*pigeonApi*/, const ObjectPtr& pigeonInstance, AudiovisualMediaType type) {
  nativeAs<wk::WebViewConfiguration>(pigeonInstance)
      .setMediaTypesRequiringUserActionForPlayback(audiovisualMediaTypes(type));
}

WebViewConfigurationProxyAPIDelegate::ObjectPtr
WebViewConfigurationProxyAPIDelegate::getDefaultWebpagePreferences(
    Api& /*pigeonApi*/, const ObjectPtr& pigeonInstance) {
  return nativeAs<wk::WebViewConfiguration>(pigeonInstance).defaultWebpagePreferences();
}

void PreferencesProxyAPIDelegate::setJavaScriptEnabled(
    PigeonApiWKPreferences& /*pigeonApi*/, const platform::webkit::NativeObjectPtr& pigeonInstance,
    bool enabled) {
  if (systemIsAtLeast11()) {
    throw ProxyApiRegistrar::createUnsupportedVersionError("WKPreferences.javaScriptEnabled",
                                                           "< iOS 14.0, macOS 11.0");
  }
  nativeAs<wk::Preferences>(pigeonInstance).setJavaScriptEnabled(enabled);
}

void PreferencesProxyAPIDelegate::setJavaScriptCanOpenWindowsAutomatically(
    PigeonApiWKPreferences& /*pigeonApi*/, const platform::webkit::NativeObjectPtr& pigeonInstance,
    bool enabled) {
  nativeAs<wk::Preferences>(pigeonInstance).setJavaScriptCanOpenWindowsAutomatically(enabled);
}

void WebpagePreferencesProxyAPIDelegate::setAllowsContentJavaScript(
    PigeonApiWKWebpagePreferences& /*pigeonApi*/,
    const platform::webkit::NativeObjectPtr& pigeonInstance, bool allow) {
  if (!systemIsAtLeast11()) {
    throw ProxyApiRegistrar::createUnsupportedVersionError(
        "WKWebpagePreferences.allowsContentJavaScript", "iOS 14.0, macOS 11.0");
  }
  nativeAs<wk::WebpagePreferences>(pigeonInstance).setAllowsContentJavaScript(allow);
}

}  // namespace webview
