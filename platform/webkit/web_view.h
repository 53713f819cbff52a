// Stands in for the web engine's web view: loads requests, HTML text and local files, keeps a
// back-forward list, reports its URL, title and loading progress (observable by key-value
// observation under "URL", "title", "estimatedProgress", "canGoBack" and "canGoForward"), runs
// scripts and keeps a few settings.
//
// The simulated engine fetches nothing and runs no script: what a network load answers and
// what a script evaluates to are scripted (scriptLoad, scriptJavaScript). The title comes from
// the document's <title> where the engine holds the HTML (strings and local files) or from the
// load's script. Without a navigation delegate a load runs to its end within the call: progress
// steps 0.1, 0.5, 1.0; a failed load (a missing local file, a scripted failure) keeps the
// previous page and records its error. With one, each step waits for its decision handler.
// Script evaluations complete on a later turn of the main loop.
//
// The configuration is the one the web view was made with. view() is the view that shows the
// web view; it keeps the web view alive while it is shown. Main thread (the state is guarded,
// but loads and observers run where they are called).
//
// Where a real engine is installed (setWebEngineFactory), each web view made afterwards loads,
// renders and runs scripts on its own engine instead; the delegates, the observations and the
// handler records stay the same, and scriptLoad/scriptJavaScript and the simulated page events
// below have no effect on it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/appkit/view.h"
#include "platform/core/error.h"
#include "platform/core/value.h"
#include "platform/foundation/url.h"
#include "platform/webkit/native_object.h"
#include "platform/webkit/navigation.h"
#include "platform/webkit/ui_delegate.h"
#include "platform/webkit/url_request.h"
#include "platform/webkit/web_engine.h"
#include "platform/webkit/web_view_configuration.h"

namespace platform::webkit {

// The error domain of the simulated engine's own failures (an unscripted script, ...).
inline constexpr const char* kSimulatedEngineErrorDomain = "com.lumora.webkit.simulated";
// The platform's URL-loading error domain and the codes the simulated engine reports in it.
inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";
inline constexpr std::int64_t kURLErrorFileDoesNotExist = -1100;
inline constexpr std::int64_t kURLErrorUnknown = -1;
// The web engine's error domain and its "a JavaScript exception occurred" code.
inline constexpr const char* kWebKitErrorDomain = "WKErrorDomain";
inline constexpr std::int64_t kWebKitErrorJavaScriptExceptionOccurred = 4;

class WebView;

// The view that shows a web view on screen.
class WebViewHostView : public platform::View {
 public:
  explicit WebViewHostView(std::shared_ptr<WebView> webView) : webView_(std::move(webView)) {}
  std::string className() const override { return "WKWebView"; }
  const std::shared_ptr<WebView>& webView() const { return webView_; }

 private:
  std::shared_ptr<WebView> webView_;
};

class WebView : public NativeObject, private WebEngineClient {
 public:
  // What the simulated engine answers for loads of one URL.
  struct LoadScript {
    std::int64_t statusCode = 200;
    std::optional<std::string> title;
    std::optional<std::string> failure;  // a failure message: the load fails
  };
  // What a script evaluates to: a result (none for a script without one) or an error.
  struct JavaScriptScript {
    std::optional<platform::Value> result;
    platform::ErrorPtr error;
  };
  using JavaScriptCompletion =
      std::function<void(std::optional<platform::Value> result, platform::ErrorPtr error)>;

  explicit WebView(std::shared_ptr<WebViewConfiguration> configuration);
  ~WebView() override;
  // Whether this web view runs on a real engine rather than the simulated one.
  bool hasRealEngine() const { return engine_ != nullptr; }
  std::string className() const override { return "WKWebView"; }
  platform::ValueMap engineState() const override;
  platform::Value valueForKey(const std::string& keyPath) const override;

  // Scripts loads of `url` (its absolute string) for every web view of the process.
  static void scriptLoad(const std::string& url, LoadScript script);
  // Scripts the evaluation of `source` in this web view.
  void scriptJavaScript(const std::string& source, JavaScriptScript script);

  const std::shared_ptr<WebViewConfiguration>& configuration() const { return configuration_; }
  std::optional<platform::URL> url() const;
  std::optional<std::string> title() const;
  double estimatedProgress() const;
  bool canGoBack() const;
  bool canGoForward() const;

  void loadRequest(const URLRequest& request);
  // No base URL loads the text as "about:blank".
  void loadHTMLString(const std::string& html, const std::optional<platform::URL>& baseURL);
  void loadFileURL(const platform::URL& url, const platform::URL& readAccessURL);
  void goBack();
  void goForward();
  void reload();

  // Runs `source`; `completion` gets the scripted outcome on a later main-loop turn, or an error
  // of kSimulatedEngineErrorDomain for a script nobody scripted.
  void evaluateJavaScript(const std::string& source, JavaScriptCompletion completion);

  std::optional<std::string> customUserAgent() const;
  void setCustomUserAgent(std::optional<std::string> userAgent);
  bool allowsBackForwardNavigationGestures() const;
  void setAllowsBackForwardNavigationGestures(bool allow);
  bool allowsLinkPreview() const;
  void setAllowsLinkPreview(bool allow);
  bool isInspectable() const;
  void setInspectable(bool inspectable);

  // The view showing this web view: the same one while it lives. Main thread.
  std::shared_ptr<WebViewHostView> view();

  // The UI delegate, held without ownership (none answers every request with the engine's own
  // default: no window, permission prompted by the engine, panels dismissed).
  void setUIDelegate(const std::shared_ptr<UIDelegate>& delegate);
  std::shared_ptr<UIDelegate> uiDelegate() const;

  // Page events of the simulated engine, as a page in the main frame would raise them. Each
  // returns false when no UI delegate is set (nothing is asked). Main thread.
  // `answered`, when given, also gets the delegate's answer.
  bool runJavaScriptAlertPanel(const std::string& message,
                               std::function<void()> answered = nullptr);
  bool runJavaScriptConfirmPanel(const std::string& message,
                                 std::function<void(bool)> answered = nullptr);
  bool
  runJavaScriptTextInputPanel(const std::string& prompt,
                              const std::optional<std::string>& defaultText,
                              std::function<void(std::optional<std::string>)> answered = nullptr);
  bool requestMediaCapturePermission(std::int64_t type,
                                     std::function<void(std::int64_t)> answered = nullptr);
  // A page opening `url` in a new window; `openedWebView` tells whether the delegate gave one.
  bool openWindow(const platform::URL& url, bool* openedWebView = nullptr);

  // The navigation delegate, held without ownership; none loads without asking.
  void setNavigationDelegate(const std::shared_ptr<NavigationDelegate>& delegate);
  std::shared_ptr<NavigationDelegate> navigationDelegate() const;
  // A link of `navigationType` (the engine's value) clicked in the main frame or a subframe.
  void clickLink(const platform::URL& url, std::int64_t navigationType, bool mainFrame);
  // A server asking the navigation delegate for authentication in `space`; false without a
  // delegate. The answer is recorded as {"disposition", "user", "password", "persistence",
  // "trust"}, and for a trust credential "trustOfThisChallenge" (whether it vouches for the
  // space's own server trust).
  bool receiveAuthenticationChallenge(
      const std::shared_ptr<ProtectionSpace>& space,
      std::function<void(std::int64_t, std::shared_ptr<URLCredential>)> answered = nullptr);
  // The page's content process ended; the navigation delegate is told.
  void terminateWebContentProcess();

  // Every handler this web view handed to a delegate, in order: {"kind", "answered", "answer"}.
  // A handler called a second time is reported as a broken precondition and changes nothing.
  platform::ValueList handlerRecords() const;

 private:
  // What the real engine reports (WebEngineClient).
  void engineStateChanged() override;
  void engineProgressChanged(double progress) override;
  void engineDecidePolicyForNavigationAction(
      const platform::URL& url, std::int64_t navigationType, bool mainFrame,
      std::function<void(std::int64_t policy)> decisionHandler) override;
  void engineDidStartProvisionalNavigation() override;
  void engineDecidePolicyForNavigationResponse(
      const std::shared_ptr<URLResponse>& response, bool mainFrame,
      std::function<void(std::int64_t policy)> decision) override;
  void engineDidFinishNavigation() override;
  void engineDidFailNavigation(const platform::ErrorPtr& error, bool provisional) override;
  void engineWebContentProcessDidTerminate() override;
  void engineReceiveAuthenticationChallenge(
      const std::shared_ptr<ProtectionSpace>& space,
      std::function<void(std::int64_t disposition, std::shared_ptr<URLCredential> credential)>
          completion) override;
  void engineDidReceiveScriptMessage(const std::string& name,
                                     std::optional<platform::Value> body) override;
  void engineRunAlert(const std::string& message, std::function<void()> completion) override;
  void engineRunConfirm(const std::string& message,
                        std::function<void(bool confirmed)> completion) override;
  void engineRunPrompt(const std::string& prompt, const std::optional<std::string>& defaultText,
                       std::function<void(std::optional<std::string>)> completion) override;
  void engineRequestMediaCapturePermission(
      std::int64_t type, std::function<void(std::int64_t decision)> completion) override;
  void engineOpenWindow(const platform::URL& url) override;

  // One page of the back-forward list, and how to load it again.
  struct Page {
    enum class Kind { request, html, file };
    Page(Kind kind, platform::URL url) : kind(kind), url(std::move(url)) {}
    Kind kind;
    platform::URL url;
    std::string html;                            // kind html
    std::optional<platform::URL> readAccessURL;  // kind file
  };
  struct Snapshot {
    platform::Value url, title, canGoBack, canGoForward;
  };

  Snapshot snapshot() const;
  void publishChanges(const Snapshot& before);
  void setProgress(double progress);
  // Loads `page`; on success it replaces the current page (historyIndex) or, when none is given,
  // is pushed onto the list after the current page, dropping the pages ahead.
  // With a navigation delegate the load waits for its decisions (startLoad, then commit);
  // without one it runs to its end within the call.
  void navigate(const Page& page, std::optional<std::size_t> historyIndex,
                std::int64_t navigationType = kNavigationTypeOther, bool mainFrame = true);
  // The page's title and the error of a failed load.
  struct Outcome {
    std::optional<std::string> title;
    platform::ErrorPtr error;
    std::optional<std::int64_t> statusCode;
  };
  static Outcome fetch(const Page& page);
  void startLoad(const Page& page, std::optional<std::size_t> historyIndex, bool mainFrame);
  void commit(const Page& page, std::optional<std::size_t> historyIndex, const Outcome& outcome);

  const std::shared_ptr<WebViewConfiguration> configuration_;
  mutable std::mutex mutex_;  // guards the fields below; never held calling out
  std::vector<Page> history_;
  std::optional<std::size_t> current_;
  std::optional<std::string> title_;
  double estimatedProgress_ = 0.0;
  platform::ErrorPtr lastError_;
  std::optional<std::int64_t> lastStatusCode_;
  std::optional<std::string> customUserAgent_;
  bool allowsBackForwardNavigationGestures_ = false;
  bool allowsLinkPreview_ = true;
  bool inspectable_ = false;
  std::vector<std::pair<std::string, JavaScriptScript>> javaScript_;
  std::weak_ptr<WebViewHostView> view_;
  std::weak_ptr<UIDelegate> uiDelegate_;
  std::weak_ptr<NavigationDelegate> navigationDelegate_;
  std::optional<platform::URL> provisionalURL_;  // the load in flight, once started
  Snapshot published_;  // with a real engine: what observers were last told

  // Handlers handed out, shared with the handlers themselves (which may outlive the web view).
  struct HandlerLog;
  std::shared_ptr<HandlerLog> handlers_;
  // A slot for one handler's answer; record() fills it once and tells whether it was the first.
  std::function<bool(platform::Value)> newHandler(const std::string& kind);
  std::shared_ptr<FrameInfo> mainFrame() const;

  // Last, so it goes first: an engine reports nothing once its web view is being destroyed.
  std::unique_ptr<WebEngine> engine_;
};

// The text of the first <title> element of `html` (tags matched without regard to case),
// whitespace at both ends removed; none without one.
std::optional<std::string> titleOfDocument(const std::string& html);

}  // namespace platform::webkit
