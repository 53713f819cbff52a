// The native side of the web view configuration and its preferences (interfaces
// WKWebViewConfiguration, WKPreferences and WKWebpagePreferences).
//
// Stateless; main thread. Settings that depend on the system version test the version the host
// presents (LUMORA_OS_VERSION) at each call and refuse with "FWFUnsupportedVersionError",
// changing nothing, where the system lacks them.
#pragma once

#include "plugins/webview_flutter_wkwebview/messages.h"

namespace webview {

class WebViewConfigurationProxyAPIDelegate : public PigeonApiDelegateWKWebViewConfiguration {
 public:
  using ObjectPtr = platform::webkit::NativeObjectPtr;
  using Api = PigeonApiWKWebViewConfiguration;

  ObjectPtr pigeonDefaultConstructor(Api& pigeonApi) override;
  void setUserContentController(Api& pigeonApi, const ObjectPtr& pigeonInstance,
                                const ObjectPtr& controller) override;
  ObjectPtr getUserContentController(Api& pigeonApi, const ObjectPtr& pigeonInstance) override;
  void setWebsiteDataStore(Api& pigeonApi, const ObjectPtr& pigeonInstance,
                           const ObjectPtr& dataStore) override;
  ObjectPtr getWebsiteDataStore(Api& pigeonApi, const ObjectPtr& pigeonInstance) override;
  void setPreferences(Api& pigeonApi, const ObjectPtr& pigeonInstance,
                      const ObjectPtr& preferences) override;
  ObjectPtr getPreferences(Api& pigeonApi, const ObjectPtr& pigeonInstance) override;
  // The setting does not exist on this platform: accepted and ignored.
  void setAllowsInlineMediaPlayback(Api& pigeonApi, const ObjectPtr& pigeonInstance,
                                    bool allow) override;
  // From system version 11.0.
  void setLimitsNavigationsToAppBoundDomains(Api& pigeonApi, const ObjectPtr& pigeonInstance,
                                             bool limit) override;
  void setMediaTypesRequiringUserActionForPlayback(Api& pigeonApi, const ObjectPtr& pigeonInstance,
                                                   AudiovisualMediaType type) override;
  ObjectPtr getDefaultWebpagePreferences(Api& pigeonApi, const ObjectPtr& pigeonInstance) override;
};

class PreferencesProxyAPIDelegate : public PigeonApiDelegateWKPreferences {
 public:
  // Before system version 11.0 only; from 11.0 on JavaScript is switched through the web page
  // preferences.
  void setJavaScriptEnabled(PigeonApiWKPreferences& pigeonApi,
                            const platform::webkit::NativeObjectPtr& pigeonInstance,
                            bool enabled) override;
  void
  setJavaScriptCanOpenWindowsAutomatically(PigeonApiWKPreferences& pigeonApi,
                                           const platform::webkit::NativeObjectPtr& pigeonInstance,
                                           bool enabled) override;
};

class WebpagePreferencesProxyAPIDelegate : public PigeonApiDelegateWKWebpagePreferences {
 public:
  // From system version 11.0.
  void setAllowsContentJavaScript(PigeonApiWKWebpagePreferences& pigeonApi,
                                  const platform::webkit::NativeObjectPtr& pigeonInstance,
                                  bool allow) override;
};

// The media-type bits the engine is given for `type`; `all` is every bit.
std::uint64_t audiovisualMediaTypes(AudiovisualMediaType type);
// True when the host presents system version 11.0 or later (read at each call).
bool systemIsAtLeast11();

}  // namespace webview
