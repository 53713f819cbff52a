// The seam between a web view and a real rendering engine. Without an installed factory every
// web view runs on the simulated engine (web_view.h); with one, each web view made afterwards
// gets its own WebEngine, which loads, renders and runs scripts, and reports back through the
// WebEngineClient the web view gives it. The web view keeps its delegates, its key-value
// observation and its handler records either way, so the bridge above sees one behaviour.
//
// Everything here runs on the main thread: an engine reports its events as ordinary main-loop
// work and calls the client from there, never while holding a lock of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/core/error.h"
#include "platform/core/value.h"
#include "platform/foundation/url.h"
#include "platform/webkit/authentication.h"
#include "platform/webkit/url_request.h"

namespace platform::webkit {

class WebViewConfiguration;

// What a web view answers its engine. Decision handlers take the engine's policy values
// (kNavigationPolicy...); each handler is to be called once.
class WebEngineClient {
 public:
  virtual ~WebEngineClient() = default;
  // The URL, title or history of the page changed: the web view reads them again and tells its
  // observers what differs.
  virtual void engineStateChanged() = 0;
  virtual void engineProgressChanged(double progress) = 0;
  // A navigation the engine is about to make. Without an answer it neither starts nor ends.
  virtual void engineDecidePolicyForNavigationAction(
      const platform::URL& url, std::int64_t navigationType, bool mainFrame,
      std::function<void(std::int64_t policy)> decisionHandler) = 0;
  virtual void engineDidStartProvisionalNavigation() = 0;
  virtual void
  engineDecidePolicyForNavigationResponse(const std::shared_ptr<URLResponse>& response,
                                          bool mainFrame,
                                          std::function<void(std::int64_t policy)> decision) = 0;
  virtual void engineDidFinishNavigation() = 0;
  // `provisional`: the load failed before the page committed.
  virtual void engineDidFailNavigation(const platform::ErrorPtr& error, bool provisional) = 0;
  virtual void engineWebContentProcessDidTerminate() = 0;
  // A server asks for a password. The answer is a disposition (kAuthChallenge...) and the
  // credential to use, if any.
  virtual void engineReceiveAuthenticationChallenge(
      const std::shared_ptr<ProtectionSpace>& space,
      std::function<void(std::int64_t disposition, std::shared_ptr<URLCredential> credential)>
          completion) = 0;
  // A page posted `body` (none when it sent undefined) to the handler added under `name`.
  virtual void engineDidReceiveScriptMessage(const std::string& name,
                                             std::optional<platform::Value> body) = 0;
  // The page's script dialogs; each completion is called once (with the engine's default when
  // the web view has no UI delegate).
  virtual void engineRunAlert(const std::string& message, std::function<void()> completion) = 0;
  virtual void engineRunConfirm(const std::string& message,
                                std::function<void(bool confirmed)> completion) = 0;
  virtual void engineRunPrompt(const std::string& prompt,
                               const std::optional<std::string>& defaultText,
                               std::function<void(std::optional<std::string>)> completion) = 0;
  // A page asks for camera or microphone (kMediaCaptureType...); the answer is a
  // kPermissionDecision... value.
  virtual void
  engineRequestMediaCapturePermission(std::int64_t type,
                                      std::function<void(std::int64_t decision)> completion) = 0;
  // A page opens a window on `url`; the engine makes none either way.
  virtual void engineOpenWindow(const platform::URL& url) = 0;
};

class WebEngine {
 public:
  using JavaScriptCompletion =
      std::function<void(std::optional<platform::Value> result, platform::ErrorPtr error)>;

  virtual ~WebEngine() = default;

  virtual std::optional<platform::URL> url() const = 0;
  virtual std::optional<std::string> title() const = 0;
  virtual double estimatedProgress() const = 0;
  virtual bool canGoBack() const = 0;
  virtual bool canGoForward() const = 0;
  // The last main-frame response's HTTP status, none for other schemes.
  virtual std::optional<std::int64_t> statusCode() const = 0;

  virtual void loadRequest(const URLRequest& request) = 0;
  virtual void loadHTMLString(const std::string& html,
                              const std::optional<platform::URL>& baseURL) = 0;
  virtual void loadFileURL(const platform::URL& url, const platform::URL& readAccessURL) = 0;
  virtual void goBack() = 0;
  virtual void goForward() = 0;
  virtual void reload() = 0;
  // The completion runs on a later main-loop turn, once.
  virtual void evaluateJavaScript(const std::string& source, JavaScriptCompletion completion) = 0;

  virtual void setCustomUserAgent(const std::optional<std::string>& userAgent) = 0;
  virtual void setInspectable(bool inspectable) = 0;
  // The web view is embedded in the application's user interface: the engine shows it.
  virtual void show() = 0;
};

class WebEngineFactory {
 public:
  virtual ~WebEngineFactory() = default;
  // The engine of one web view. `client` outlives the engine.
  virtual std::unique_ptr<WebEngine>
  create(WebEngineClient& client, const std::shared_ptr<WebViewConfiguration>& configuration) = 0;
};

// The factory new web views take their engine from; none (the default) keeps the simulated
// engine. Set once at start-up, before the first web view.
void setWebEngineFactory(std::shared_ptr<WebEngineFactory> factory);
std::shared_ptr<WebEngineFactory> webEngineFactory();

// Why web views run on the simulated engine, as the host found when it tried a real one; none
// where no host tried (a build without a real engine, the test host).
void setSimulatedEngineReason(std::string reason);
std::optional<std::string> simulatedEngineReason();

}  // namespace platform::webkit
