#include "platform/webkit/web_view.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <sstream>
#include <utility>

#include "platform/core/assertion.h"
#include "platform/dispatch/queue.h"

namespace platform::webkit {

using platform::Value;

namespace {

// Local documents larger than this are loaded without reading their title.
constexpr std::size_t kMaxTitleScan = 4 * 1024 * 1024;

std::mutex& engineFactoryMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<WebEngineFactory>& engineFactory() {
  static std::shared_ptr<WebEngineFactory> factory;
  return factory;
}

std::mutex& loadScriptsMutex() {
  static std::mutex mutex;
  return mutex;
}
std::map<std::string, WebView::LoadScript>& loadScripts() {
  static std::map<std::string, WebView::LoadScript> scripts;
  return scripts;
}

platform::ErrorPtr urlError(std::int64_t code, const platform::URL& url, const std::string& text) {
  // As the loading system reports it: the failing URL (as a URL object) and the error of the
  // layer below.
  auto underlying = std::make_shared<const platform::Error>(
      kURLErrorDomain, code, platform::ValueMap{{Value("NSLocalizedDescription"), Value(text)}});
  return std::make_shared<const platform::Error>(
      kURLErrorDomain, code,
      platform::ValueMap{{Value("NSLocalizedDescription"), Value(text)},
                         {Value("NSErrorFailingURLStringKey"), Value(url.absoluteString())},
                         {Value("NSErrorFailingURLKey"),
                          Value(platform::ObjectPtr(std::make_shared<URLObject>(url)))},
                         {Value("NSUnderlyingError"), Value(platform::ErrorPtr(underlying))}});
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

Value optionalString(const std::optional<std::string>& text) {
  return text ? Value(*text) : Value();
}

}  // namespace

void setWebEngineFactory(std::shared_ptr<WebEngineFactory> factory) {
  std::lock_guard lock(engineFactoryMutex());
  engineFactory() = std::move(factory);
}

std::shared_ptr<WebEngineFactory> webEngineFactory() {
  std::lock_guard lock(engineFactoryMutex());
  return engineFactory();
}

namespace {
std::optional<std::string>& reasonForSimulation() {
  static std::optional<std::string> reason;
  return reason;
}
}  // namespace

void setSimulatedEngineReason(std::string reason) {
  std::lock_guard lock(engineFactoryMutex());
  reasonForSimulation() = std::move(reason);
}

std::optional<std::string> simulatedEngineReason() {
  std::lock_guard lock(engineFactoryMutex());
  return reasonForSimulation();
}

std::optional<std::string> titleOfDocument(const std::string& html) {
  const std::string folded = lower(html.substr(0, std::min(html.size(), kMaxTitleScan)));
  auto open = folded.find("<title");
  while (open != std::string::npos) {
    // "<title>" or "<title attr...>", not "<titles>".
    const char next = open + 6 < folded.size() ? folded[open + 6] : '\0';
    if (next == '>' || std::isspace(static_cast<unsigned char>(next))) break;
    open = folded.find("<title", open + 6);
  }
  if (open == std::string::npos) return std::nullopt;
  auto start = folded.find('>', open);
  if (start == std::string::npos) return std::nullopt;
  ++start;
  auto end = folded.find("</title", start);
  if (end == std::string::npos) return std::nullopt;
  std::string title = html.substr(start, end - start);
  auto first = title.find_first_not_of(" \t\r\n\f\v");
  if (first == std::string::npos) return std::string();
  auto last = title.find_last_not_of(" \t\r\n\f\v");
  return title.substr(first, last - first + 1);
}

struct WebView::HandlerLog {
  struct Entry {
    std::string kind;
    bool answered = false;
    Value answer;
  };
  std::mutex mutex;
  std::vector<Entry> entries;
};

WebView::WebView(std::shared_ptr<WebViewConfiguration> configuration)
    : configuration_(configuration ? std::move(configuration)
                                   : std::make_shared<WebViewConfiguration>()),
      handlers_(std::make_shared<HandlerLog>()) {
  if (auto factory = webEngineFactory()) engine_ = factory->create(*this, configuration_);
}

WebView::~WebView() {
  engine_.reset();  // before the state it reports into goes
}

void WebView::scriptLoad(const std::string& url, LoadScript script) {
  std::lock_guard lock(loadScriptsMutex());
  loadScripts()[url] = std::move(script);
}

void WebView::scriptJavaScript(const std::string& source, JavaScriptScript script) {
  std::lock_guard lock(mutex_);
  for (auto& entry : javaScript_) {
    if (entry.first == source) {
      entry.second = std::move(script);
      return;
    }
  }
  javaScript_.emplace_back(source, std::move(script));
}

std::optional<platform::URL> WebView::url() const {
  if (engine_) return engine_->url();
  std::lock_guard lock(mutex_);
  if (provisionalURL_) return provisionalURL_;
  if (!current_) return std::nullopt;
  return history_[*current_].url;
}

std::optional<std::string> WebView::title() const {
  if (engine_) return engine_->title();
  std::lock_guard lock(mutex_);
  return title_;
}

double WebView::estimatedProgress() const {
  std::lock_guard lock(mutex_);
  return estimatedProgress_;
}

bool WebView::canGoBack() const {
  if (engine_) return engine_->canGoBack();
  std::lock_guard lock(mutex_);
  return current_ && *current_ > 0;
}

bool WebView::canGoForward() const {
  if (engine_) return engine_->canGoForward();
  std::lock_guard lock(mutex_);
  return current_ && *current_ + 1 < history_.size();
}

Value WebView::valueForKey(const std::string& keyPath) const {
  if (keyPath == "estimatedProgress") return Value(estimatedProgress());
  if (keyPath == "title") return optionalString(title());
  if (keyPath == "URL") {
    auto current = url();
    return current ? Value(platform::ObjectPtr(std::make_shared<URLObject>(*current))) : Value();
  }
  if (keyPath == "canGoBack") return Value(canGoBack());
  if (keyPath == "canGoForward") return Value(canGoForward());
  return Value();
}

WebView::Snapshot WebView::snapshot() const {
  if (engine_) {
    auto current = engine_->url();
    return {current ? Value(current->absoluteString()) : Value(), optionalString(engine_->title()),
            Value(engine_->canGoBack()), Value(engine_->canGoForward())};
  }
  std::lock_guard lock(mutex_);
  Snapshot s;
  s.url = current_ ? Value(history_[*current_].url.absoluteString()) : Value();
  s.title = optionalString(title_);
  s.canGoBack = Value(current_ && *current_ > 0);
  s.canGoForward = Value(current_ && *current_ + 1 < history_.size());
  return s;
}

void WebView::publishChanges(const Snapshot& before) {
  const Snapshot after = snapshot();
  auto urlObject = [](const Value& text) {
    if (!text.isString()) return Value();
    auto parsed = platform::URL::parse(text.asString());
    return parsed ? Value(platform::ObjectPtr(std::make_shared<URLObject>(*parsed))) : Value();
  };
  if (before.url != after.url)
    didChangeValueForKey("URL", urlObject(before.url), urlObject(after.url));
  if (before.title != after.title) didChangeValueForKey("title", before.title, after.title);
  if (before.canGoBack != after.canGoBack)
    didChangeValueForKey("canGoBack", before.canGoBack, after.canGoBack);
  if (before.canGoForward != after.canGoForward)
    didChangeValueForKey("canGoForward", before.canGoForward, after.canGoForward);
}

void WebView::setProgress(double progress) {
  double old;
  {
    std::lock_guard lock(mutex_);
    old = estimatedProgress_;
    estimatedProgress_ = progress;
  }
  if (old != progress) didChangeValueForKey("estimatedProgress", Value(old), Value(progress));
}

WebView::Outcome WebView::fetch(const Page& page) {
  Outcome outcome;
  switch (page.kind) {
  case Page::Kind::html:
    outcome.title = titleOfDocument(page.html);
    return outcome;
  case Page::Kind::file: {
    auto path = page.url.filePath();
    std::ifstream in(path ? *path : std::string(), std::ios::binary);
    if (!path || !in) {
      outcome.error = urlError(kURLErrorFileDoesNotExist, page.url,
                               "The requested URL was not found on this server.");
      return outcome;
    }
    std::string text(kMaxTitleScan, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    outcome.title = titleOfDocument(text);
    return outcome;
  }
  case Page::Kind::request:
    break;
  }
  if (page.url.isFileURL()) return fetch(Page(Page::Kind::file, page.url));
  std::optional<LoadScript> script;
  {
    std::lock_guard lock(loadScriptsMutex());
    auto it = loadScripts().find(page.url.absoluteString());
    if (it != loadScripts().end()) script = it->second;
  }
  if (!script) {
    outcome.statusCode = 200;  // an unscripted page answers, empty
    return outcome;
  }
  if (script->failure) {
    outcome.error = urlError(kURLErrorUnknown, page.url, *script->failure);
    return outcome;
  }
  outcome.statusCode = script->statusCode;
  outcome.title = script->title;
  return outcome;
}

void WebView::navigate(const Page& page, std::optional<std::size_t> historyIndex,
                       std::int64_t navigationType, bool mainFrame) {
  auto delegate = navigationDelegate();
  if (!delegate) {
    setProgress(0.1);
    Outcome outcome = fetch(page);
    setProgress(0.5);
    commit(page, historyIndex, outcome);
    return;
  }
  auto self = std::static_pointer_cast<WebView>(shared_from_this());
  auto frame = std::make_shared<FrameInfo>(mainFrame, URLRequest(page.url));
  auto action = std::make_shared<NavigationAction>(URLRequest(page.url), frame, navigationType);
  auto record = newHandler("navigationAction");
  delegate->decidePolicyForNavigationAction(self, action,
                                            [weak = std::weak_ptr<WebView>(self), record, page,
                                             historyIndex, mainFrame](std::int64_t policy) {
                                              if (!record(Value(policy)) ||
                                                  policy != kNavigationPolicyAllow)
                                                return;
                                              if (auto webView = weak.lock())
                                                webView->startLoad(page, historyIndex, mainFrame);
                                            });
}

void WebView::startLoad(const Page& page, std::optional<std::size_t> historyIndex, bool mainFrame) {
  auto delegate = navigationDelegate();
  if (!delegate) return;
  auto self = std::static_pointer_cast<WebView>(shared_from_this());
  {
    std::lock_guard lock(mutex_);
    provisionalURL_ = page.url;
  }
  delegate->didStartProvisionalNavigation(self);
  setProgress(0.1);
  Outcome outcome = fetch(page);
  if (outcome.error) {
    {
      std::lock_guard lock(mutex_);
      provisionalURL_.reset();
      lastError_ = outcome.error;
      lastStatusCode_.reset();
    }
    setProgress(1.0);
    delegate->didFailProvisionalNavigation(self, outcome.error);
    return;
  }
  std::shared_ptr<URLResponse> response;
  if (page.kind == Page::Kind::request && !page.url.isFileURL() && outcome.statusCode) {
    response = std::make_shared<HTTPURLResponse>(page.url, *outcome.statusCode);
  } else {
    response = std::make_shared<URLResponse>(page.url, "text/html");
  }
  setProgress(0.5);
  auto record = newHandler("navigationResponse");
  delegate->decidePolicyForNavigationResponse(
      self, std::make_shared<NavigationResponse>(response, mainFrame),
      [weak = std::weak_ptr<WebView>(self), record, page, historyIndex,
       outcome](std::int64_t policy) {
        if (!record(Value(policy))) return;
        auto webView = weak.lock();
        if (!webView) return;
        if (policy != kNavigationPolicyAllow) {
          {
            std::lock_guard lock(webView->mutex_);
            webView->provisionalURL_.reset();
          }
          webView->setProgress(1.0);
          return;
        }
        webView->commit(page, historyIndex, outcome);
        if (auto delegate = webView->navigationDelegate()) delegate->didFinishNavigation(webView);
      });
}

void WebView::commit(const Page& page, std::optional<std::size_t> historyIndex,
                     const Outcome& outcome) {
  const Snapshot before = snapshot();
  {
    std::lock_guard lock(mutex_);
    provisionalURL_.reset();
    lastError_ = outcome.error;
    lastStatusCode_ = outcome.statusCode;
    if (!outcome.error) {
      if (historyIndex && *historyIndex < history_.size()) {
        history_[*historyIndex] = page;
        current_ = historyIndex;
      } else {
        if (current_)
          history_.erase(history_.begin() + static_cast<std::ptrdiff_t>(*current_ + 1),
                         history_.end());
        history_.push_back(page);
        current_ = history_.size() - 1;
      }
      title_ = outcome.title;
    }
  }
  publishChanges(before);
  setProgress(1.0);
}

void WebView::clickLink(const platform::URL& url, std::int64_t navigationType, bool mainFrame) {
  navigate(Page(Page::Kind::request, url), std::nullopt, navigationType, mainFrame);
}

bool WebView::receiveAuthenticationChallenge(
    const std::shared_ptr<ProtectionSpace>& space,
    std::function<void(std::int64_t, std::shared_ptr<URLCredential>)> answered) {
  auto delegate = navigationDelegate();
  if (!delegate) return false;
  auto record = newHandler("authenticationChallenge");
  delegate->didReceiveAuthenticationChallenge(
      std::static_pointer_cast<WebView>(shared_from_this()),
      std::make_shared<AuthenticationChallenge>(space),
      [record, space, answered = std::move(answered)](std::int64_t disposition,
                                                      std::shared_ptr<URLCredential> credential) {
        platform::ValueMap answer{{Value("disposition"), Value(disposition)}};
        if (credential) {
          answer[Value("user")] = optionalString(credential->user);
          answer[Value("password")] = optionalString(credential->password);
          answer[Value("persistence")] = Value(credential->persistence);
          answer[Value("trust")] = Value(credential->trust != nullptr);
          // Whether the credential vouches for this challenge's own trust, not another's.
          if (credential->trust)
            answer[Value("trustOfThisChallenge")] = Value(credential->trust == space->serverTrust);
        }
        if (record(Value(std::move(answer))) && answered) answered(disposition, credential);
      });
  return true;
}

void WebView::terminateWebContentProcess() {
  if (auto delegate = navigationDelegate())
    delegate->webContentProcessDidTerminate(std::static_pointer_cast<WebView>(shared_from_this()));
}

void WebView::setNavigationDelegate(const std::shared_ptr<NavigationDelegate>& delegate) {
  std::lock_guard lock(mutex_);
  navigationDelegate_ = delegate;
}

std::shared_ptr<NavigationDelegate> WebView::navigationDelegate() const {
  std::lock_guard lock(mutex_);
  return navigationDelegate_.lock();
}

void WebView::loadRequest(const URLRequest& request) {
  if (!request.url) return;
  if (engine_) return engine_->loadRequest(request);
  navigate(Page(Page::Kind::request, *request.url), std::nullopt);
}

void WebView::loadHTMLString(const std::string& html, const std::optional<platform::URL>& baseURL) {
  if (engine_) return engine_->loadHTMLString(html, baseURL);
  Page page(Page::Kind::html, baseURL ? *baseURL : *platform::URL::parse("about:blank"));
  page.html = html;
  navigate(page, std::nullopt);
}

void WebView::loadFileURL(const platform::URL& url, const platform::URL& readAccessURL) {
  if (engine_) return engine_->loadFileURL(url, readAccessURL);
  Page page(Page::Kind::file, url);
  page.readAccessURL = readAccessURL;
  navigate(page, std::nullopt);
}

void WebView::goBack() {
  if (engine_) return engine_->goBack();
  std::optional<Page> page;
  std::size_t index = 0;
  {
    std::lock_guard lock(mutex_);
    if (!current_ || *current_ == 0) return;
    index = *current_ - 1;
    page = history_[index];
  }
  navigate(*page, index);
}

void WebView::goForward() {
  if (engine_) return engine_->goForward();
  std::optional<Page> page;
  std::size_t index = 0;
  {
    std::lock_guard lock(mutex_);
    if (!current_ || *current_ + 1 >= history_.size()) return;
    index = *current_ + 1;
    page = history_[index];
  }
  navigate(*page, index);
}

void WebView::reload() {
  if (engine_) return engine_->reload();
  std::optional<Page> page;
  std::size_t index = 0;
  {
    std::lock_guard lock(mutex_);
    if (!current_) return;
    index = *current_;
    page = history_[index];
  }
  navigate(*page, index);
}

void WebView::evaluateJavaScript(const std::string& source, JavaScriptCompletion completion) {
  if (engine_) {
    // The web view lives until its evaluation completes.
    return engine_->evaluateJavaScript(
        source, [self = shared_from_this(), completion = std::move(completion)](
                    std::optional<platform::Value> result, platform::ErrorPtr error) {
          if (completion) completion(std::move(result), std::move(error));
        });
  }
  std::optional<JavaScriptScript> script;
  {
    std::lock_guard lock(mutex_);
    for (const auto& entry : javaScript_) {
      if (entry.first == source) script = entry.second;
    }
  }
  if (!script) {
    script.emplace();
    script->error = std::make_shared<const platform::Error>(
        kSimulatedEngineErrorDomain, 1,
        platform::ValueMap{{Value("NSLocalizedDescription"),
                            Value("The simulated engine has no result scripted for this "
                                  "script.")}});
  }
  if (!completion) return;
  auto self = shared_from_this();  // the web view lives until its evaluation completes
  platform::mainQueue()->async(
      [self = std::move(self), script = std::move(*script), completion = std::move(completion)] {
        completion(script.error ? std::nullopt : script.result, script.error);
      });
}

std::optional<std::string> WebView::customUserAgent() const {
  std::lock_guard lock(mutex_);
  return customUserAgent_;
}

void WebView::setCustomUserAgent(std::optional<std::string> userAgent) {
  {
    std::lock_guard lock(mutex_);
    customUserAgent_ = userAgent;
  }
  if (engine_) engine_->setCustomUserAgent(userAgent);
}

bool WebView::allowsBackForwardNavigationGestures() const {
  std::lock_guard lock(mutex_);
  return allowsBackForwardNavigationGestures_;
}

void WebView::setAllowsBackForwardNavigationGestures(bool allow) {
  std::lock_guard lock(mutex_);
  allowsBackForwardNavigationGestures_ = allow;
}

bool WebView::allowsLinkPreview() const {
  std::lock_guard lock(mutex_);
  return allowsLinkPreview_;
}

void WebView::setAllowsLinkPreview(bool allow) {
  std::lock_guard lock(mutex_);
  allowsLinkPreview_ = allow;
}

bool WebView::isInspectable() const {
  std::lock_guard lock(mutex_);
  return inspectable_;
}

void WebView::setInspectable(bool inspectable) {
  {
    std::lock_guard lock(mutex_);
    inspectable_ = inspectable;
  }
  if (engine_) engine_->setInspectable(inspectable);
}

std::shared_ptr<WebViewHostView> WebView::view() {
  std::shared_ptr<WebViewHostView> view;
  {
    std::lock_guard lock(mutex_);
    if (auto shown = view_.lock()) return shown;
    view = std::make_shared<WebViewHostView>(std::static_pointer_cast<WebView>(shared_from_this()));
    view_ = view;
  }
  if (engine_) engine_->show();
  return view;
}

platform::ValueMap WebView::engineState() const {
  if (engine_) {
    auto current = engine_->url();
    auto status = engine_->statusCode();
    std::lock_guard lock(mutex_);
    return {
        {Value("engine"), Value("real")},
        {Value("url"), current ? Value(current->absoluteString()) : Value()},
        {Value("title"), optionalString(engine_->title())},
        {Value("estimatedProgress"), Value(estimatedProgress_)},
        {Value("canGoBack"), Value(engine_->canGoBack())},
        {Value("canGoForward"), Value(engine_->canGoForward())},
        {Value("customUserAgent"), optionalString(customUserAgent_)},
        {Value("allowsBackForwardNavigationGestures"), Value(allowsBackForwardNavigationGestures_)},
        {Value("allowsLinkPreview"), Value(allowsLinkPreview_)},
        {Value("inspectable"), Value(inspectable_)},
        {Value("handlers"), Value(handlerRecords())},
        {Value("statusCode"), status ? Value(*status) : Value()},
        {Value("lastError"), lastError_ ? Value::map({{"domain", Value(lastError_->domain)},
                                                      {"code", Value(lastError_->code)}})
                                        : Value()},
    };
  }
  std::lock_guard lock(mutex_);
  platform::ValueList list;
  for (const auto& page : history_)
    list.push_back(Value(page.url.absoluteString()));
  platform::ValueMap state{
      {Value("url"), current_ ? Value(history_[*current_].url.absoluteString()) : Value()},
      {Value("title"), optionalString(title_)},
      {Value("estimatedProgress"), Value(estimatedProgress_)},
      {Value("backForwardList"), Value(std::move(list))},
      {Value("currentIndex"), current_ ? Value(static_cast<std::int64_t>(*current_)) : Value()},
      {Value("customUserAgent"), optionalString(customUserAgent_)},
      {Value("allowsBackForwardNavigationGestures"), Value(allowsBackForwardNavigationGestures_)},
      {Value("allowsLinkPreview"), Value(allowsLinkPreview_)},
      {Value("inspectable"), Value(inspectable_)},
      {Value("handlers"), Value(handlerRecords())},
      {Value("statusCode"), lastStatusCode_ ? Value(*lastStatusCode_) : Value()},
      {Value("lastError"), lastError_ ? Value::map({{"domain", Value(lastError_->domain)},
                                                    {"code", Value(lastError_->code)}})
                                      : Value()},
  };
  if (current_) {
    const Page& page = history_[*current_];
    const char* kind = page.kind == Page::Kind::html   ? "html"
                       : page.kind == Page::Kind::file ? "file"
                                                       : "request";
    state[Value("loadKind")] = Value(kind);
    state[Value("readAccessURL")] =
        page.readAccessURL ? Value(page.readAccessURL->absoluteString()) : Value();
  }
  return state;
}

}  // namespace platform::webkit

namespace platform::webkit {

std::function<bool(Value)> WebView::newHandler(const std::string& kind) {
  auto log = handlers_;
  std::size_t index = 0;
  {
    std::lock_guard lock(log->mutex);
    index = log->entries.size();
    log->entries.push_back({kind, false, Value()});
  }
  return [log, index](Value answer) {
    std::lock_guard lock(log->mutex);
    auto& entry = log->entries[index];
    if (!LUMORA_CHECK(!entry.answered, "the " + entry.kind + " handler was called twice"))
      return false;
    entry.answered = true;
    entry.answer = std::move(answer);
    return true;
  };
}

platform::ValueList WebView::handlerRecords() const {
  std::lock_guard lock(handlers_->mutex);
  platform::ValueList list;
  for (const auto& entry : handlers_->entries) {
    list.push_back(Value::map({{"kind", Value(entry.kind)},
                               {"answered", Value(entry.answered)},
                               {"answer", entry.answer}}));
  }
  return list;
}

void WebView::setUIDelegate(const std::shared_ptr<UIDelegate>& delegate) {
  std::lock_guard lock(mutex_);
  uiDelegate_ = delegate;
}

std::shared_ptr<UIDelegate> WebView::uiDelegate() const {
  std::lock_guard lock(mutex_);
  return uiDelegate_.lock();
}

std::shared_ptr<FrameInfo> WebView::mainFrame() const {
  auto current = url();
  return std::make_shared<FrameInfo>(true, current ? std::optional<URLRequest>(URLRequest(*current))
                                                   : std::nullopt);
}

bool WebView::runJavaScriptAlertPanel(const std::string& message, std::function<void()> answered) {
  auto delegate = uiDelegate();
  if (!delegate) return false;
  auto record = newHandler("alert");
  delegate->runJavaScriptAlertPanel(std::static_pointer_cast<WebView>(shared_from_this()), message,
                                    mainFrame(), [record, answered = std::move(answered)] {
                                      if (record(Value(true)) && answered) answered();
                                    });
  return true;
}

bool WebView::runJavaScriptConfirmPanel(const std::string& message,
                                        std::function<void(bool)> answered) {
  auto delegate = uiDelegate();
  if (!delegate) return false;
  auto record = newHandler("confirm");
  delegate->runJavaScriptConfirmPanel(std::static_pointer_cast<WebView>(shared_from_this()),
                                      message, mainFrame(),
                                      [record, answered = std::move(answered)](bool confirmed) {
                                        if (record(Value(confirmed)) && answered)
                                          answered(confirmed);
                                      });
  return true;
}

bool WebView::runJavaScriptTextInputPanel(
    const std::string& prompt, const std::optional<std::string>& defaultText,
    std::function<void(std::optional<std::string>)> answered) {
  auto delegate = uiDelegate();
  if (!delegate) return false;
  auto record = newHandler("prompt");
  delegate->runJavaScriptTextInputPanel(
      std::static_pointer_cast<WebView>(shared_from_this()), prompt, defaultText, mainFrame(),
      [record, answered = std::move(answered)](std::optional<std::string> text) {
        if (record(optionalString(text)) && answered) answered(std::move(text));
      });
  return true;
}

bool WebView::requestMediaCapturePermission(std::int64_t type,
                                            std::function<void(std::int64_t)> answered) {
  auto delegate = uiDelegate();
  if (!delegate) return false;
  auto current = url();
  auto origin =
      current ? SecurityOrigin::of(*current) : std::make_shared<SecurityOrigin>("", 0, "");
  auto record = newHandler("mediaCapturePermission");
  delegate->requestMediaCapturePermission(
      std::static_pointer_cast<WebView>(shared_from_this()), origin, mainFrame(), type,
      [record, answered = std::move(answered)](std::int64_t decision) {
        if (record(Value(decision)) && answered) answered(decision);
      });
  return true;
}

bool WebView::openWindow(const platform::URL& url, bool* openedWebView) {
  auto delegate = uiDelegate();
  if (!delegate) return false;
  auto action = std::make_shared<NavigationAction>(URLRequest(url), nullptr, kNavigationTypeOther);
  auto record = newHandler("createWebView");
  auto created = delegate->createWebView(std::static_pointer_cast<WebView>(shared_from_this()),
                                         configuration_, action);
  record(Value(created != nullptr));
  if (openedWebView) *openedWebView = created != nullptr;
  return true;
}

}  // namespace platform::webkit

namespace platform::webkit {

// What the real engine reports. Each call runs on the main thread from the engine's own event
// handling; the delegates are asked exactly as for the simulated engine.

void WebView::engineStateChanged() {
  Snapshot before;
  {
    std::lock_guard lock(mutex_);
    before = published_;
  }
  Snapshot after = snapshot();
  {
    std::lock_guard lock(mutex_);
    published_ = after;
  }
  publishChanges(before);
}

void WebView::engineProgressChanged(double progress) {
  setProgress(progress);
}

void WebView::engineDecidePolicyForNavigationAction(
    const platform::URL& url, std::int64_t navigationType, bool mainFrame,
    std::function<void(std::int64_t policy)> decisionHandler) {
  auto delegate = navigationDelegate();
  if (!delegate) return decisionHandler(kNavigationPolicyAllow);
  auto frame = std::make_shared<FrameInfo>(mainFrame, URLRequest(url));
  auto action = std::make_shared<NavigationAction>(URLRequest(url), frame, navigationType);
  auto record = newHandler("navigationAction");
  delegate->decidePolicyForNavigationAction(
      std::static_pointer_cast<WebView>(shared_from_this()), action,
      [record, decisionHandler = std::move(decisionHandler)](std::int64_t policy) {
        if (record(Value(policy))) decisionHandler(policy);
      });
}

void WebView::engineDidStartProvisionalNavigation() {
  if (auto delegate = navigationDelegate())
    delegate->didStartProvisionalNavigation(std::static_pointer_cast<WebView>(shared_from_this()));
}

void WebView::engineDecidePolicyForNavigationResponse(
    const std::shared_ptr<URLResponse>& response, bool mainFrame,
    std::function<void(std::int64_t policy)> decision) {
  auto delegate = navigationDelegate();
  if (!delegate) return decision(kNavigationPolicyAllow);
  auto record = newHandler("navigationResponse");
  delegate->decidePolicyForNavigationResponse(
      std::static_pointer_cast<WebView>(shared_from_this()),
      std::make_shared<NavigationResponse>(response, mainFrame),
      [record, decision = std::move(decision)](std::int64_t policy) {
        if (record(Value(policy))) decision(policy);
      });
}

void WebView::engineDidFinishNavigation() {
  {
    std::lock_guard lock(mutex_);
    lastError_.reset();
  }
  if (auto delegate = navigationDelegate())
    delegate->didFinishNavigation(std::static_pointer_cast<WebView>(shared_from_this()));
}

void WebView::engineDidFailNavigation(const platform::ErrorPtr& error, bool provisional) {
  {
    std::lock_guard lock(mutex_);
    lastError_ = error;
  }
  auto delegate = navigationDelegate();
  if (!delegate) return;
  auto self = std::static_pointer_cast<WebView>(shared_from_this());
  if (provisional) {
    delegate->didFailProvisionalNavigation(self, error);
  } else {
    delegate->didFailNavigation(self, error);
  }
}

void WebView::engineWebContentProcessDidTerminate() {
  terminateWebContentProcess();
}

void WebView::engineReceiveAuthenticationChallenge(
    const std::shared_ptr<ProtectionSpace>& space,
    std::function<void(std::int64_t disposition, std::shared_ptr<URLCredential> credential)>
        completion) {
  if (!receiveAuthenticationChallenge(space, completion))
    completion(kAuthChallengePerformDefaultHandling, nullptr);
}

void WebView::engineDidReceiveScriptMessage(const std::string& name,
                                            std::optional<platform::Value> body) {
  if (auto controller = configuration_->userContentController())
    controller->postScriptMessage(name, std::move(body));
}

void WebView::engineRunAlert(const std::string& message, std::function<void()> completion) {
  if (!runJavaScriptAlertPanel(message, completion)) completion();
}

void WebView::engineRunConfirm(const std::string& message,
                               std::function<void(bool confirmed)> completion) {
  if (!runJavaScriptConfirmPanel(message, completion)) completion(false);
}

void WebView::engineRunPrompt(const std::string& prompt,
                              const std::optional<std::string>& defaultText,
                              std::function<void(std::optional<std::string>)> completion) {
  if (!runJavaScriptTextInputPanel(prompt, defaultText, completion)) completion(std::nullopt);
}

void WebView::engineRequestMediaCapturePermission(
    std::int64_t type, std::function<void(std::int64_t decision)> completion) {
  if (!requestMediaCapturePermission(type, completion)) completion(kPermissionDecisionPrompt);
}

void WebView::engineOpenWindow(const platform::URL& url) {
  openWindow(url);
}

}  // namespace platform::webkit
