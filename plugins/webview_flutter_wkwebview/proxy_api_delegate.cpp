#include "plugins/webview_flutter_wkwebview/proxy_api_delegate.h"

#include <memory>

#include "plugins/webview_flutter_wkwebview/authentication_proxy_api_delegates.h"
#include "plugins/webview_flutter_wkwebview/configuration_proxy_api_delegates.h"
#include "plugins/webview_flutter_wkwebview/flutter_asset_manager.h"
#include "plugins/webview_flutter_wkwebview/navigation_delegate_proxy_api_delegates.h"
#include "plugins/webview_flutter_wkwebview/object_proxy_api_delegates.h"
#include "plugins/webview_flutter_wkwebview/trust_proxy_api_delegates.h"
#include "plugins/webview_flutter_wkwebview/ui_delegate_proxy_api_delegates.h"
#include "plugins/webview_flutter_wkwebview/url_request_proxy_api_delegates.h"
#include "plugins/webview_flutter_wkwebview/user_content_proxy_api_delegates.h"
#include "plugins/webview_flutter_wkwebview/web_view_proxy_api_delegates.h"
#include "plugins/webview_flutter_wkwebview/website_data_proxy_api_delegates.h"

namespace webview {

ProxyApiDelegates makeProxyApiDelegates() {
  ProxyApiDelegates delegates;
  delegates.URLRequest = std::make_shared<URLRequestProxyAPIDelegate>();
  delegates.URL = std::make_shared<URLProxyAPIDelegate>();
  delegates.URLResponse = std::make_shared<URLResponseProxyAPIDelegate>();
  delegates.HTTPURLResponse = std::make_shared<HTTPURLResponseProxyAPIDelegate>();
  delegates.NSError = std::make_shared<ErrorProxyAPIDelegate>();
  delegates.WKWebViewConfiguration = std::make_shared<WebViewConfigurationProxyAPIDelegate>();
  delegates.WKPreferences = std::make_shared<PreferencesProxyAPIDelegate>();
  delegates.WKWebpagePreferences = std::make_shared<WebpagePreferencesProxyAPIDelegate>();
  delegates.WKUserContentController = std::make_shared<UserContentControllerProxyAPIDelegate>();
  delegates.WKUserScript = std::make_shared<UserScriptProxyAPIDelegate>();
  delegates.WKScriptMessageHandler = std::make_shared<ScriptMessageHandlerProxyAPIDelegate>();
  delegates.WKScriptMessage = std::make_shared<ScriptMessageProxyAPIDelegate>();
  delegates.HTTPCookie = std::make_shared<HTTPCookieProxyAPIDelegate>();
  delegates.WKHTTPCookieStore = std::make_shared<HTTPCookieStoreProxyAPIDelegate>();
  delegates.WKWebsiteDataStore = std::make_shared<WebsiteDataStoreProxyAPIDelegate>();
  delegates.NSObject = std::make_shared<NSObjectProxyAPIDelegate>();
  delegates.WKWebView = std::make_shared<WebViewBaseProxyAPIDelegate>();
  delegates.NSViewWKWebView =
      std::make_shared<WebViewProxyAPIDelegate>(std::make_shared<FlutterAssetManager>());
  delegates.WKUIDelegate = std::make_shared<UIDelegateProxyAPIDelegate>();
  delegates.WKFrameInfo = std::make_shared<FrameInfoProxyAPIDelegate>();
  delegates.WKSecurityOrigin = std::make_shared<SecurityOriginProxyAPIDelegate>();
  delegates.WKNavigationAction = std::make_shared<NavigationActionProxyAPIDelegate>();
  delegates.WKNavigationDelegate = std::make_shared<NavigationDelegateProxyAPIDelegate>();
  delegates.WKNavigationResponse = std::make_shared<NavigationResponseProxyAPIDelegate>();
  delegates.AuthenticationChallengeResponse =
      std::make_shared<AuthenticationChallengeResponseProxyAPIDelegate>();
  delegates.URLAuthenticationChallenge =
      std::make_shared<URLAuthenticationChallengeProxyAPIDelegate>();
  delegates.URLCredential = std::make_shared<URLCredentialProxyAPIDelegate>();
  delegates.URLProtectionSpace = std::make_shared<URLProtectionSpaceProxyAPIDelegate>();
  delegates.SecTrust = std::make_shared<SecTrustProxyAPIDelegate>();
  delegates.SecCertificate = std::make_shared<SecCertificateProxyAPIDelegate>();
  delegates.GetTrustResultResponse = std::make_shared<GetTrustResultResponseProxyAPIDelegate>();
  return delegates;
}

}  // namespace webview
