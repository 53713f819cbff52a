// The WebKitGTK engine behind the web view, on a real display (xvfb-run, see CMakeLists.txt).
// Each test drives a web view as the bridge does and waits on the main loop for what the engine
// reports; what is on screen is read back from the file Xvfb keeps its screen in.
#include "platform/webkit_gtk/webkit_gtk_engine.h"

#include <glib.h>
#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/core/base64.h"
#include "platform/dispatch/main_loop.h"
#include "platform/dispatch/queue.h"
#include "platform/webkit/navigation.h"
#include "platform/webkit/ui_delegate.h"
#include "platform/webkit/user_content_controller.h"
#include "platform/webkit/web_view.h"
#include "platform/webkit/web_view_configuration.h"
#include "platform/webkit/website_data_store.h"

namespace platform::webkit {
namespace {

namespace fs = std::filesystem;
using platform::Value;

struct Rgb {
  int red = 0, green = 0, blue = 0;
};

// The pixel at (x, y) of an XWD screen dump (the format Xvfb's -fbdir file is kept in): a
// big-endian header of 25 32-bit fields, the window name, a colour map, then the pixels. Only
// the 24- and 32-bit TrueColor layouts Xvfb writes are read.
std::optional<Rgb> xwdPixel(const std::string& path, int x, int y, std::string* problem) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *problem = "cannot open " + path;
    return std::nullopt;
  }
  unsigned char raw[100];
  if (!in.read(reinterpret_cast<char*>(raw), sizeof raw)) {
    *problem = "short header";
    return std::nullopt;
  }
  auto field = [&](int index) {
    const unsigned char* p = raw + index * 4;
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           std::uint32_t(p[3]);
  };
  const std::uint32_t headerSize = field(0), width = field(4), height = field(5),
                      byteOrder = field(7), bitsPerPixel = field(11), bytesPerLine = field(12),
                      redMask = field(14), greenMask = field(15), blueMask = field(16),
                      colourCount = field(19);
  if (bitsPerPixel != 32 && bitsPerPixel != 24) {
    *problem = "unsupported depth " + std::to_string(bitsPerPixel);
    return std::nullopt;
  }
  if (x < 0 || y < 0 || std::uint32_t(x) >= width || std::uint32_t(y) >= height) {
    *problem = "outside the screen";
    return std::nullopt;
  }
  const std::uint64_t offset = std::uint64_t(headerSize) + std::uint64_t(colourCount) * 12 +
                               std::uint64_t(y) * bytesPerLine +
                               std::uint64_t(x) * bitsPerPixel / 8;
  in.seekg(static_cast<std::streamoff>(offset));
  unsigned char bytes[4] = {0, 0, 0, 0};
  if (!in.read(reinterpret_cast<char*>(bytes), bitsPerPixel / 8)) {
    *problem = "short pixel data";
    return std::nullopt;
  }
  std::uint32_t pixel = 0;
  const int count = static_cast<int>(bitsPerPixel / 8);
  for (int i = 0; i < count; ++i) {
    const int index = byteOrder == 0 ? count - 1 - i : i;  // 0: least significant byte first
    pixel = (pixel << 8) | bytes[index];
  }
  auto channel = [pixel](std::uint32_t mask) {
    if (mask == 0) return 0;
    int shift = 0;
    while (!((mask >> shift) & 1u))
      ++shift;
    return static_cast<int>((pixel & mask) >> shift);
  };
  return Rgb{channel(redMask), channel(greenMask), channel(blueMask)};
}

class RecordingMessageHandler : public ScriptMessageHandler {
 public:
  void userContentControllerDidReceiveScriptMessage(
      const std::shared_ptr<UserContentController>&,
      const std::shared_ptr<ScriptMessage>& message) override {
    messages.push_back(message);
  }
  std::vector<std::shared_ptr<ScriptMessage>> messages;
};

// Answers navigation actions with `actionPolicy` and everything else with the allowing answer;
// password challenges get `credential` (none: default handling).
class RecordingNavigationDelegate : public NavigationDelegate {
 public:
  void decidePolicyForNavigationAction(const std::shared_ptr<WebView>&,
                                       const std::shared_ptr<NavigationAction>& action,
                                       std::function<void(std::int64_t)> handler) override {
    actions.push_back(action);
    handler(actionPolicy);
  }
  void didStartProvisionalNavigation(const std::shared_ptr<WebView>&) override { ++starts; }
  void decidePolicyForNavigationResponse(const std::shared_ptr<WebView>&,
                                         const std::shared_ptr<NavigationResponse>& response,
                                         std::function<void(std::int64_t)> handler) override {
    responses.push_back(response);
    handler(kNavigationPolicyAllow);
  }
  void didFinishNavigation(const std::shared_ptr<WebView>& webView) override {
    auto url = webView->url();
    finished.push_back(url ? url->absoluteString() : "");
  }
  void didFailNavigation(const std::shared_ptr<WebView>&, const platform::ErrorPtr& e) override {
    failures.push_back(e);
  }
  void didFailProvisionalNavigation(const std::shared_ptr<WebView>&,
                                    const platform::ErrorPtr& e) override {
    failures.push_back(e);
  }
  void webContentProcessDidTerminate(const std::shared_ptr<WebView>&) override { ++terminated; }
  void didReceiveAuthenticationChallenge(
      const std::shared_ptr<WebView>&, const std::shared_ptr<AuthenticationChallenge>& challenge,
      std::function<void(std::int64_t, std::shared_ptr<URLCredential>)> handler) override {
    challenges.push_back(challenge);
    if (credential) {
      handler(kAuthChallengeUseCredential, credential);
    } else {
      handler(kAuthChallengePerformDefaultHandling, nullptr);
    }
  }

  std::int64_t actionPolicy = kNavigationPolicyAllow;
  std::shared_ptr<URLCredential> credential;
  std::vector<std::shared_ptr<NavigationAction>> actions;
  std::vector<std::shared_ptr<NavigationResponse>> responses;
  std::vector<std::string> finished;
  std::vector<platform::ErrorPtr> failures;
  std::vector<std::shared_ptr<AuthenticationChallenge>> challenges;
  int starts = 0;
  int terminated = 0;
};

class ProgressObserver : public NativeObject {
 public:
  void observeValue(const std::string& keyPath, const std::shared_ptr<NativeObject>&,
                    const platform::ValueMap& change) override {
    auto it = change.find(Value(key_value_observing::kNewKey));
    if (it != change.end()) seen.emplace_back(keyPath, it->second);
  }
  std::vector<std::pair<std::string, Value>> seen;
};

// Answers confirm panels with `confirm` and prompts with `promptText`; opens no windows.
class RecordingUIDelegate : public UIDelegate {
 public:
  std::shared_ptr<WebView> createWebView(const std::shared_ptr<WebView>&,
                                         const std::shared_ptr<WebViewConfiguration>&,
                                         const std::shared_ptr<NavigationAction>& action) override {
    windows.push_back(action->request.url ? action->request.url->absoluteString() : "");
    return nullptr;
  }
  void requestMediaCapturePermission(const std::shared_ptr<WebView>&,
                                     const std::shared_ptr<SecurityOrigin>&,
                                     const std::shared_ptr<FrameInfo>&, std::int64_t,
                                     std::function<void(std::int64_t)> handler) override {
    handler(kPermissionDecisionDeny);
  }
  void runJavaScriptAlertPanel(const std::shared_ptr<WebView>&, const std::string& message,
                               const std::shared_ptr<FrameInfo>&,
                               std::function<void()> handler) override {
    panels.push_back("alert:" + message);
    if (deferred) {
      platform::mainQueue()->async(handler);
    } else {
      handler();
    }
  }
  void runJavaScriptConfirmPanel(const std::shared_ptr<WebView>&, const std::string& message,
                                 const std::shared_ptr<FrameInfo>&,
                                 std::function<void(bool)> handler) override {
    panels.push_back("confirm:" + message);
    if (deferred) {
      platform::mainQueue()->async([handler, answer = confirm] { handler(answer); });
    } else {
      handler(confirm);
    }
  }
  void
  runJavaScriptTextInputPanel(const std::shared_ptr<WebView>&, const std::string& prompt,
                              const std::optional<std::string>& defaultText,
                              const std::shared_ptr<FrameInfo>&,
                              std::function<void(std::optional<std::string>)> handler) override {
    panels.push_back("prompt:" + prompt + "/" + defaultText.value_or("(none)"));
    if (deferred) {
      platform::mainQueue()->async([handler, answer = promptText] { handler(answer); });
    } else {
      handler(promptText);
    }
  }

  bool deferred = false;  // answers on a later main-loop turn, as the bridge does
  bool confirm = false;
  std::optional<std::string> promptText;
  std::vector<std::string> windows;
  std::vector<std::string> panels;
};

struct JavaScriptOutcome {
  bool done = false;
  std::optional<Value> result;
  platform::ErrorPtr error;
};

class WebKitGtkEngineTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    start_ = startWebKitGtk();
    if (start_.started) setWebEngineFactory(makeWebKitGtkEngineFactory());
  }
  static void TearDownTestSuite() { setWebEngineFactory(nullptr); }

  void SetUp() override {
    ASSERT_TRUE(start_.started) << start_.reason;
    dir_ = fs::temp_directory_path() /
           ("lumora-webkit-gtk-" + std::to_string(::getpid()) + "-" + std::to_string(++counter_));
    fs::create_directories(dir_);
    configuration_ = std::make_shared<WebViewConfiguration>();
    controller_ = std::make_shared<UserContentController>();
    configuration_->setUserContentController(controller_);
    handler_ = std::make_shared<RecordingMessageHandler>();
    ASSERT_TRUE(controller_->addScriptMessageHandler(handler_, "lumora"));
    navigation_ = std::make_shared<RecordingNavigationDelegate>();
  }

  void TearDown() override {
    webView_.reset();
    MainLoop::instance().drain();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::shared_ptr<WebView> makeWebView() {
    webView_ = std::make_shared<WebView>(configuration_);
    webView_->setNavigationDelegate(navigation_);
    observer_ = std::make_shared<ProgressObserver>();
    webView_->addObserver(observer_, "estimatedProgress", key_value_observing::kNew);
    webView_->addObserver(observer_, "title", key_value_observing::kNew);
    view_ = webView_->view();
    return webView_;
  }

  // Runs the main loop until `done` holds or `seconds` pass; answers whether it held.
  bool runUntil(const std::function<bool()>& done, double seconds = 20) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(int(seconds * 1000));
    struct Check {
      const std::function<bool()>* done;
      std::chrono::steady_clock::time_point deadline;
      bool held = false;
    } check{&done, deadline};
    if (done()) return true;
    g_timeout_add(
        10,
        [](gpointer data) -> gboolean {
          auto* c = static_cast<Check*>(data);
          c->held = (*c->done)();
          if (c->held || std::chrono::steady_clock::now() >= c->deadline) {
            MainLoop::instance().quit();
            return G_SOURCE_REMOVE;
          }
          return G_SOURCE_CONTINUE;
        },
        &check);
    MainLoop::instance().run();
    return check.held;
  }

  JavaScriptOutcome evaluate(const std::string& source) {
    auto outcome = std::make_shared<JavaScriptOutcome>();
    webView_->evaluateJavaScript(source,
                                 [outcome](std::optional<Value> result, platform::ErrorPtr error) {
                                   outcome->done = true;
                                   outcome->result = std::move(result);
                                   outcome->error = std::move(error);
                                 });
    EXPECT_TRUE(runUntil([&] { return outcome->done; })) << "no answer to " << source;
    return *outcome;
  }

  // The colour at the middle of the web view's window once it has been drawn for a moment.
  std::optional<Rgb> middleOfWindow(std::string* problem) {
    const char* fbdir = std::getenv("LUMORA_XVFB_FBDIR");
    if (!fbdir) {
      *problem = "LUMORA_XVFB_FBDIR is not set";
      return std::nullopt;
    }
    return xwdPixel(std::string(fbdir) + "/Xvfb_screen0", 400, 300, problem);
  }

  // Waits until the middle of the window shows `expected` (±8 per channel).
  ::testing::AssertionResult showsColour(Rgb expected) {
    std::optional<Rgb> last;
    std::string problem;
    auto near = [&](const Rgb& c) {
      return std::abs(c.red - expected.red) <= 8 && std::abs(c.green - expected.green) <= 8 &&
             std::abs(c.blue - expected.blue) <= 8;
    };
    runUntil(
        [&] {
          last = middleOfWindow(&problem);
          return last && near(*last);
        },
        10);
    if (last && near(*last)) return ::testing::AssertionSuccess();
    if (!last) return ::testing::AssertionFailure() << problem;
    return ::testing::AssertionFailure() << "the middle of the window is rgb(" << last->red << ","
                                         << last->green << "," << last->blue << ")";
  }

  platform::URL writePage(const std::string& name, const std::string& html) {
    std::ofstream(dir_ / name) << html;
    return *platform::URL::fileURLWithPath((dir_ / name).string());
  }

  // Two pages of one colour each; the first links to the second and posts "ready" on load.
  platform::URL writeTwoPages() {
    writePage("second.html", "<html><head><title>Second</title></head>"
                             "<body style='margin:0;background:rgb(20,40,220)'></body></html>");
    return writePage("first.html",
                     "<html><head><title>First</title></head>"
                     "<body style='margin:0;background:rgb(220,30,30)'>"
                     "<a id='next' href='second.html'>next</a>"
                     "<script>window.addEventListener('load', function() {"
                     "window.webkit.messageHandlers.lumora.postMessage('ready'); });</script>"
                     "</body></html>");
  }

  static WebKitGtkStart start_;
  static int counter_;
  fs::path dir_;
  std::shared_ptr<WebViewConfiguration> configuration_;
  std::shared_ptr<UserContentController> controller_;
  std::shared_ptr<RecordingMessageHandler> handler_;
  std::shared_ptr<RecordingNavigationDelegate> navigation_;
  std::shared_ptr<ProgressObserver> observer_;
  std::shared_ptr<WebView> webView_;
  std::shared_ptr<WebViewHostView> view_;
};

WebKitGtkStart WebKitGtkEngineTest::start_;
int WebKitGtkEngineTest::counter_ = 0;

constexpr Rgb kFirstColour{220, 30, 30};
constexpr Rgb kSecondColour{20, 40, 220};

TEST_F(WebKitGtkEngineTest, AFileLoadIsShownPostsItsMessageAndAnswersScripts) {
  auto webView = makeWebView();
  ASSERT_TRUE(webView->hasRealEngine());
  const auto first = writeTwoPages();
  webView->loadFileURL(first, *platform::URL::fileURLWithPath(dir_.string(), true));

  // The title reaches the web view on its own, not necessarily before the load ends.
  ASSERT_TRUE(runUntil([&] {
    return !handler_->messages.empty() && !navigation_->finished.empty() && webView->title();
  }));
  EXPECT_EQ(handler_->messages[0]->name, "lumora");
  EXPECT_EQ(handler_->messages[0]->body, std::optional<Value>(Value("ready")));
  EXPECT_EQ(navigation_->finished[0], first.absoluteString());
  ASSERT_TRUE(webView->url());
  EXPECT_EQ(webView->url()->absoluteString(), first.absoluteString());
  EXPECT_EQ(webView->title(), std::optional<std::string>("First"));
  EXPECT_DOUBLE_EQ(webView->estimatedProgress(), 1.0);
  bool reachedOne = false;
  bool sawTitle = false;
  for (const auto& [key, value] : observer_->seen) {
    if (key == "estimatedProgress" && value == Value(1.0)) reachedOne = true;
    if (key == "title" && value == Value("First")) sawTitle = true;
  }
  EXPECT_TRUE(reachedOne);
  EXPECT_TRUE(sawTitle);
  EXPECT_TRUE(showsColour(kFirstColour));

  struct Case {
    std::string source;
    std::optional<Value> result;
  };
  const std::vector<Case> cases = {
      {"document.title", Value("First")},
      {"1+2", Value(3.0)},
      {"'a' + 'b'", Value("ab")},
      {"1 < 2", Value(true)},
      {"null", Value()},
      {"undefined", std::nullopt},
      // Arrays and objects come through their JSON form, whole numbers as integers.
      {"[1, 'x', {a: 2.5}]", Value(platform::ValueList{Value(std::int64_t{1}), Value("x"),
                                                       Value::map({{"a", Value(2.5)}})})},
  };
  for (const auto& c : cases) {
    auto outcome = evaluate(c.source);
    EXPECT_FALSE(outcome.error) << c.source;
    EXPECT_EQ(outcome.result, c.result) << c.source;
  }
  auto thrown = evaluate("throw new Error('broken')");
  ASSERT_TRUE(thrown.error);
  EXPECT_EQ(thrown.error->domain, kWebKitErrorDomain);
  EXPECT_EQ(thrown.error->code, kWebKitErrorJavaScriptExceptionOccurred);
  EXPECT_FALSE(thrown.result);
}

TEST_F(WebKitGtkEngineTest, AClickedLinkWaitsForTheDecisionThatKeepsOrLeavesThePage) {
  struct Case {
    std::int64_t policy;
    const char* page;
    Rgb colour;
  };
  for (const Case& c : {Case{kNavigationPolicyCancel, "first.html", kFirstColour},
                        Case{kNavigationPolicyAllow, "second.html", kSecondColour}}) {
    SCOPED_TRACE(c.page);
    navigation_ = std::make_shared<RecordingNavigationDelegate>();
    auto webView = makeWebView();
    const auto first = writeTwoPages();
    webView->loadFileURL(first, first);
    ASSERT_TRUE(runUntil([&] { return !navigation_->finished.empty(); }));
    ASSERT_TRUE(showsColour(kFirstColour));
    navigation_->actionPolicy = c.policy;

    evaluate("document.getElementById('next').click()");
    ASSERT_TRUE(runUntil([&] { return navigation_->actions.size() == 2; }));
    const auto& action = navigation_->actions[1];
    EXPECT_EQ(action->navigationType, kNavigationTypeLinkActivated);
    ASSERT_TRUE(action->request.url);
    EXPECT_EQ(action->request.url->absoluteString(),
              platform::URL::fileURLWithPath((dir_ / "second.html").string())->absoluteString());
    if (c.policy == kNavigationPolicyAllow) {
      ASSERT_TRUE(runUntil([&] { return navigation_->finished.size() == 2; }));
      EXPECT_TRUE(webView->canGoBack());
    } else {
      // Nothing more comes of a cancelled navigation; a later script still answers.
      EXPECT_EQ(evaluate("document.title").result, std::optional<Value>(Value("First")));
      EXPECT_EQ(navigation_->finished.size(), 1u);
      EXPECT_FALSE(webView->canGoBack());
    }
    ASSERT_TRUE(webView->url());
    EXPECT_EQ(webView->url()->absoluteString(),
              platform::URL::fileURLWithPath((dir_ / c.page).string())->absoluteString());
    EXPECT_TRUE(showsColour(c.colour));
    EXPECT_TRUE(navigation_->failures.empty());
    webView_.reset();
    view_.reset();
  }
}

TEST_F(WebKitGtkEngineTest, UserScriptsRunAtTheirTimeInTheFramesTheyName) {
  // A start script sees no body yet; an end script sees the document; a script for the top
  // frame only leaves the inner frame alone.
  controller_->addUserScript(std::make_shared<UserScript>(
      "window.atStart = document.body === null;", UserScriptInjectionTime::atDocumentStart, true));
  controller_->addUserScript(
      std::make_shared<UserScript>("window.atEnd = document.getElementById('late') !== null;",
                                   UserScriptInjectionTime::atDocumentEnd, true));
  controller_->addUserScript(std::make_shared<UserScript>(
      "window.webkit.messageHandlers.lumora.postMessage(window === window.top ? 'top' : 'inner');",
      UserScriptInjectionTime::atDocumentEnd, false));
  auto webView = makeWebView();
  writePage("inner.html", "<p>inner</p>");
  webView->loadFileURL(writePage("outer.html", "<iframe src='inner.html'></iframe><p id='late'>"),
                       *platform::URL::fileURLWithPath(dir_.string(), true));
  ASSERT_TRUE(runUntil([&] { return handler_->messages.size() == 2; }));
  std::vector<std::optional<Value>> bodies;
  for (const auto& message : handler_->messages)
    bodies.push_back(message->body);
  EXPECT_THAT(bodies, testing::UnorderedElementsAre(std::optional<Value>(Value("top")),
                                                    std::optional<Value>(Value("inner"))));
  EXPECT_EQ(evaluate("window.atStart").result, std::optional<Value>(Value(true)));
  EXPECT_EQ(evaluate("window.atEnd").result, std::optional<Value>(Value(true)));
  // A handler removed from the controller is gone from the next page.
  controller_->removeScriptMessageHandlerForName("lumora");
  webView->loadHTMLString("<p>x</p>", std::nullopt);
  ASSERT_TRUE(runUntil([&] { return navigation_->finished.size() == 2; }));
  EXPECT_EQ(evaluate("window.webkit === undefined || "
                     "window.webkit.messageHandlers.lumora === undefined")
                .result,
            std::optional<Value>(Value(true)));
  ASSERT_TRUE(webView->url());
  EXPECT_EQ(webView->url()->absoluteString(), "about:blank");
}

TEST_F(WebKitGtkEngineTest, APasswordChallengeCarriesTheRealmAndTheAnswerReachesTheServer) {
  httplib::Server server;
  server.set_keep_alive_max_count(1);  // no idle connection holds up stop()
  std::mutex mutex;
  std::vector<std::string> authorizations;
  server.Get("/private", [&](const httplib::Request& request, httplib::Response& response) {
    const std::string given = request.get_header_value("Authorization");
    {
      std::lock_guard lock(mutex);
      authorizations.push_back(given);
    }
    if (given.empty()) {
      response.status = 401;
      response.set_header("WWW-Authenticate", "Basic realm=\"Lumora Realm\"");
      response.set_content("no", "text/plain");
      return;
    }
    response.set_content("<title>Inside</title>", "text/html");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  std::thread serving([&] { server.listen_after_bind(); });

  navigation_->credential = std::make_shared<URLCredential>("ann", "s3cret", 1);
  auto webView = makeWebView();
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/private";
  webView->loadRequest(URLRequest(*platform::URL::parse(url)));
  const bool finished = runUntil([&] { return !navigation_->finished.empty(); });
  server.stop();
  serving.join();
  ASSERT_TRUE(finished);

  ASSERT_EQ(navigation_->challenges.size(), 1u);
  const auto& space = navigation_->challenges[0]->protectionSpace;
  EXPECT_EQ(space->realm, std::optional<std::string>("Lumora Realm"));
  EXPECT_EQ(space->host, "127.0.0.1");
  EXPECT_EQ(space->port, port);
  EXPECT_EQ(space->authenticationMethod, kAuthenticationMethodHTTPBasic);
  ASSERT_FALSE(authorizations.empty());
  EXPECT_EQ(authorizations.back(), "Basic " + platform::base64Encode("ann:s3cret"));
  ASSERT_FALSE(navigation_->responses.empty());
  auto http = std::dynamic_pointer_cast<HTTPURLResponse>(navigation_->responses.back()->response);
  ASSERT_TRUE(http);
  EXPECT_EQ(http->statusCode, 200);
  EXPECT_EQ(webView->engineState()[Value("statusCode")], Value(std::int64_t{200}));
  EXPECT_EQ(navigation_->finished[0], url);
}

// A data store on the engine's own data manager, the one the web views load with.
class WebKitGtkWebsiteDataTest : public WebKitGtkEngineTest {
 protected:
  void SetUp() override {
    WebKitGtkEngineTest::SetUp();
    if (HasFatalFailure()) return;
    store_ = std::make_shared<WebsiteDataStore>();
    store_->setBackend(makeWebKitGtkWebsiteDataBackend());
    remove(allTypes(), 0);  // nothing left from an earlier run
  }

  static std::set<std::string> allTypes() {
    const auto& all = website_data_type::all();
    return {all.begin(), all.end()};
  }

  void remove(const std::set<std::string>& types, double since) {
    bool done = false;
    store_->removeDataOfTypes(types, since, [&] { done = true; });
    ASSERT_TRUE(runUntil([&] { return done; })) << "no answer to removeDataOfTypes";
  }

  // name=value of every cookie in the engine, in name order.
  std::vector<std::string> cookies() {
    std::optional<HTTPCookieStore::Cookies> got;
    store_->httpCookieStore()->getAllCookies([&](HTTPCookieStore::Cookies all) { got = all; });
    EXPECT_TRUE(runUntil([&] { return got.has_value(); })) << "no answer to getAllCookies";
    std::vector<std::string> out;
    for (const auto& cookie : got.value_or(HTTPCookieStore::Cookies{}))
      out.push_back(cookie->name() + "=" + cookie->value());
    std::sort(out.begin(), out.end());
    return out;
  }

  std::vector<WebsiteDataStore::Record> records(const std::set<std::string>& types) {
    std::optional<std::vector<WebsiteDataStore::Record>> got;
    store_->fetchDataRecordsOfTypes(
        types, [&](std::vector<WebsiteDataStore::Record> all) { got = std::move(all); });
    EXPECT_TRUE(runUntil([&] { return got.has_value(); })) << "no answer to fetchDataRecords";
    return got.value_or(std::vector<WebsiteDataStore::Record>{});
  }

  void setCookie(const platform::ValueMap& properties) {
    auto cookie = HTTPCookie::cookieWithProperties(properties);
    ASSERT_TRUE(cookie);
    bool done = false;
    store_->httpCookieStore()->setCookie(cookie, [&] { done = true; });
    ASSERT_TRUE(runUntil([&] { return done; })) << "no answer to setCookie";
  }

  std::shared_ptr<WebsiteDataStore> store_;
};

TEST_F(WebKitGtkWebsiteDataTest, CookiesGoBothWaysBetweenTheStoreAndThePage) {
  httplib::Server server;
  server.set_keep_alive_max_count(1);
  server.Get("/", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("<title>Jar</title>", "text/html");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  std::thread serving([&] { server.listen_after_bind(); });
  struct Stop {
    httplib::Server& server;
    std::thread& serving;
    ~Stop() {
      server.stop();
      serving.join();
    }
  } stop{server, serving};

  setCookie({{Value(cookie_property::kName), Value("flavour")},
             {Value(cookie_property::kValue), Value("oat")},
             {Value(cookie_property::kDomain), Value("127.0.0.1")},
             {Value(cookie_property::kPath), Value("/")},
             {Value(cookie_property::kSameSitePolicy), Value("Lax")}});
  std::optional<HTTPCookieStore::Cookies> got;
  store_->httpCookieStore()->getAllCookies([&](HTTPCookieStore::Cookies all) { got = all; });
  ASSERT_TRUE(runUntil([&] { return got.has_value(); }));
  ASSERT_EQ(got->size(), 1u);
  EXPECT_EQ((*got)[0]->name(), "flavour");
  EXPECT_EQ((*got)[0]->value(), "oat");
  EXPECT_EQ((*got)[0]->domain(), "127.0.0.1");
  EXPECT_EQ((*got)[0]->path(), "/");
  EXPECT_EQ((*got)[0]->properties().at(Value(cookie_property::kSameSitePolicy)), Value("lax"));

  // The page sees the store's cookie, and the store sees the page's.
  auto webView = makeWebView();
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  webView->loadRequest(URLRequest(*platform::URL::parse(url)));
  ASSERT_TRUE(runUntil([&] { return !navigation_->finished.empty(); }));
  EXPECT_EQ(evaluate("document.cookie").result, std::optional<Value>(Value("flavour=oat")));
  evaluate("document.cookie = 'seen=1; path=/'");
  EXPECT_EQ(cookies(), (std::vector<std::string>{"flavour=oat", "seen=1"}));

  const auto cookieRecords = records({website_data_type::kCookies});
  ASSERT_FALSE(cookieRecords.empty());
  for (const auto& record : cookieRecords)
    EXPECT_EQ(record.type, website_data_type::kCookies);

  remove({website_data_type::kCookies}, 0);
  EXPECT_THAT(cookies(), testing::IsEmpty());
  EXPECT_THAT(records({website_data_type::kCookies}), testing::IsEmpty());
  EXPECT_EQ(evaluate("document.cookie").result, std::optional<Value>(Value("")));
}

TEST_F(WebKitGtkWebsiteDataTest, RemovalTakesOnlyTheNamedTypesChangedSinceTheDate) {
  const double now = static_cast<double>(g_get_real_time()) / G_TIME_SPAN_SECOND;
  struct Case {
    std::set<std::string> types;
    double since;
    bool cookieRemains;
  };
  const std::vector<Case> cases = {
      {{website_data_type::kCookies}, now + 3600, true},  // a date still to come
      {{website_data_type::kLocalStorage, website_data_type::kDiskCache}, 0, true},
      {{"WKWebsiteDataTypeUnknown"}, 0, true},
      {{website_data_type::kCookies}, now - 3600, false},  // set within the last hour
      {{website_data_type::kCookies, website_data_type::kLocalStorage}, 0, false},
  };
  for (const auto& c : cases) {
    setCookie({{Value(cookie_property::kName), Value("kept")},
               {Value(cookie_property::kValue), Value("1")},
               {Value(cookie_property::kDomain), Value("example.test")}});
    ASSERT_EQ(cookies(), (std::vector<std::string>{"kept=1"}));
    remove(c.types, c.since);
    EXPECT_EQ(cookies().size(), c.cookieRemains ? 1u : 0u)
        << "types " << testing::PrintToString(c.types) << " since " << c.since - now
        << " s from now";
  }
}

TEST_F(WebKitGtkWebsiteDataTest, CookiesSetBeforeTheDateStayWhetherTheStoreOrAPageSetThem) {
  auto cookie = [](const char* name) {
    return platform::ValueMap{{Value(cookie_property::kName), Value(name)},
                              {Value(cookie_property::kValue), Value("1")},
                              {Value(cookie_property::kDomain), Value("example.test")}};
  };
  auto webView = makeWebView();
  webView->loadHTMLString("<title>C</title>", platform::URL::parse("http://example.test/"));
  ASSERT_TRUE(runUntil([&] { return !navigation_->finished.empty(); }));
  setCookie(cookie("early"));
  evaluate("document.cookie = 'earlypage=1; path=/'");
  ASSERT_TRUE(runUntil([&] { return cookies().size() == 2; }));
  // The engine reports the page's change on a later turn: let it be noted before the date.
  runUntil([] { return false; }, 0.2);

  const double since = static_cast<double>(g_get_real_time()) / G_TIME_SPAN_SECOND;
  setCookie(cookie("late"));
  evaluate("document.cookie = 'latepage=1; path=/'");
  ASSERT_EQ(cookies(),
            (std::vector<std::string>{"early=1", "earlypage=1", "late=1", "latepage=1"}));
  remove({website_data_type::kCookies}, since);
  EXPECT_EQ(cookies(), (std::vector<std::string>{"early=1", "earlypage=1"}));
  EXPECT_EQ(evaluate("document.cookie").result,
            std::optional<Value>(Value("early=1; earlypage=1")));
}

TEST_F(WebKitGtkEngineTest, ScriptDialogsAndNewWindowsGoToTheUIDelegate) {
  auto ui = std::make_shared<RecordingUIDelegate>();
  auto webView = makeWebView();
  webView->setUIDelegate(ui);
  webView->loadHTMLString("<title>D</title>", platform::URL::parse("https://a.invalid/"));
  ASSERT_TRUE(runUntil([&] { return !navigation_->finished.empty(); }));

  struct Case {
    bool confirm;
    std::optional<std::string> promptText;
    std::string source;
    std::optional<Value> pageSees;
  };
  const std::vector<Case> cases = {
      {true, std::nullopt, "confirm('sure?')", Value(true)},
      {false, std::nullopt, "confirm('sure?')", Value(false)},
      {false, std::string("typed"), "prompt('name?', 'x')", Value("typed")},
      {false, std::nullopt, "prompt('name?', 'x')", Value()},
      {false, std::nullopt, "alert('hi') === undefined", Value(true)},
  };
  for (const bool deferred : {false, true}) {
    ui->deferred = deferred;
    ui->panels.clear();
    for (const auto& c : cases) {
      ui->confirm = c.confirm;
      ui->promptText = c.promptText;
      auto outcome = evaluate(c.source);
      EXPECT_FALSE(outcome.error) << c.source << (deferred ? " (answered later)" : "");
      EXPECT_EQ(outcome.result, c.pageSees) << c.source << (deferred ? " (answered later)" : "");
    }
    EXPECT_EQ(ui->panels,
              (std::vector<std::string>{"confirm:sure?", "confirm:sure?", "prompt:name?/x",
                                        "prompt:name?/x", "alert:hi"}));
  }
  // Every handler handed out was answered once.
  for (const auto& record : webView->handlerRecords()) {
    EXPECT_EQ(record.asMap().at(Value("answered")), Value(true));
  }

  EXPECT_EQ(evaluate("window.open('https://b.invalid/') === null").result,
            std::optional<Value>(Value(true)));
  ASSERT_TRUE(runUntil([&] { return !ui->windows.empty(); }));
  EXPECT_EQ(ui->windows[0], "https://b.invalid/");
}

TEST_F(WebKitGtkEngineTest, TheUserAgentAndHistoryFollowTheWebView) {
  auto webView = makeWebView();
  webView->setCustomUserAgent("LumoraTest/1.0");
  const auto one = writePage("one.html", "<title>One</title>");
  const auto two = writePage("two.html", "<title>Two</title>");
  webView->loadFileURL(one, one);
  ASSERT_TRUE(runUntil([&] { return navigation_->finished.size() == 1; }));
  EXPECT_EQ(evaluate("navigator.userAgent").result, std::optional<Value>(Value("LumoraTest/1.0")));
  webView->setCustomUserAgent(std::nullopt);
  auto standard = evaluate("navigator.userAgent").result;
  ASSERT_TRUE(standard && standard->isString());
  EXPECT_NE(standard->asString(), "LumoraTest/1.0");

  webView->loadFileURL(two, two);
  ASSERT_TRUE(runUntil([&] { return navigation_->finished.size() == 2; }));
  EXPECT_TRUE(webView->canGoBack());
  EXPECT_FALSE(webView->canGoForward());
  webView->goBack();
  ASSERT_TRUE(runUntil([&] {
    return navigation_->finished.size() == 3 &&
           webView->title() == std::optional<std::string>("One");
  }));
  EXPECT_EQ(webView->url()->absoluteString(), one.absoluteString());
  EXPECT_TRUE(webView->canGoForward());
  EXPECT_EQ(navigation_->actions.back()->navigationType, 2);  // back-forward
}

}  // namespace
}  // namespace platform::webkit
