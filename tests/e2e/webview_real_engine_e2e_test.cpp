// The product host's web view on the real engine: the host started on a virtual display (an
// Xvfb of the test's own, whose screen is kept in a file), driven as the application's code
// drives it; and the same host without a display, on the simulated engine.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>

#include "tests/e2e/e2e_harness.h"

namespace lumora::e2e {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string kPrefix = "dev.flutter.pigeon.webview_flutter_wkwebview.";

json ref(std::int64_t id) {
  return json{{"$ext", 128}, {"value", id}};
}
json ext(int type, json value) {
  return json{{"$ext", type}, {"value", value}};
}
json send(const std::string& method, json message) {
  return json{{"op", "send"}, {"channel", kPrefix + method}, {"message", message}};
}
json answer(const std::string& method, json replies) {
  return json{{"op", "answer"}, {"channel", kPrefix + method}, {"replies", replies}};
}
json await(const std::string& method, int count) {
  return json{
      {"op", "await"}, {"channel", kPrefix + method}, {"count", count}, {"timeoutMs", 20000}};
}
std::vector<json> incoming(const PeerRun& run, const std::string& method) {
  std::vector<json> out;
  for (const auto& line : run.withOp("incoming", kPrefix + method))
    out.push_back(line["message"]);
  return out;
}
std::vector<json> replies(const PeerRun& run, const std::string& method) {
  std::vector<json> out;
  for (const auto& line : run.withOp("reply", kPrefix + method))
    out.push_back(line["reply"]);
  return out;
}

// An Xvfb of the test's own: the display it chose and the file its screen is kept in.
class VirtualDisplay {
 public:
  VirtualDisplay() {
    directory_ = fs::temp_directory_path() / ("lumora-xvfb-" + std::to_string(::getpid()));
    fs::create_directories(directory_);
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      const int devnull = ::open("/dev/null", O_WRONLY);
      ::dup2(devnull, STDOUT_FILENO);
      ::dup2(devnull, STDERR_FILENO);
      const std::string fd = std::to_string(fds[1]);
      const std::string fbdir = directory_.string();
      ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-fbdir",
               fbdir.c_str(), "-nolisten", "tcp", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    std::string number;
    char c;
    while (::read(fds[0], &c, 1) == 1 && c != '\n')
      number += c;
    ::close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }
  ~VirtualDisplay() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    fs::remove_all(directory_, ignored);
  }
  const std::string& display() const { return display_; }
  fs::path screenFile() const { return directory_ / "Xvfb_screen0"; }

 private:
  fs::path directory_;
  pid_t pid_ = -1;
  std::string display_;
};

// The host on `display`. In sanitizer builds allocations keep their full stacks, so the
// toolkit's one-time allocations meet the suppressions that name its libraries.
std::map<std::string, std::string> displayEnvironment(const VirtualDisplay& display) {
  return {{"DISPLAY", display.display()},
          {"WAYLAND_DISPLAY", ""},
          {"ASAN_OPTIONS", "fast_unwind_on_malloc=0"}};
}

struct Rgb {
  int red, green, blue;
};

// The pixel at (x, y) of the XWD file Xvfb keeps its 24-bit TrueColor screen in: a big-endian
// header (its size first, 25 fields), the colour map (12 bytes an entry), then the rows.
std::optional<Rgb> screenPixel(const fs::path& file, int x, int y) {
  std::ifstream in(file, std::ios::binary);
  unsigned char raw[100];
  if (!in.read(reinterpret_cast<char*>(raw), sizeof raw)) return std::nullopt;
  auto field = [&](int i) {
    return (std::uint32_t(raw[i * 4]) << 24) | (std::uint32_t(raw[i * 4 + 1]) << 16) |
           (std::uint32_t(raw[i * 4 + 2]) << 8) | std::uint32_t(raw[i * 4 + 3]);
  };
  const std::uint32_t bitsPerPixel = field(11);
  if (bitsPerPixel != 32 || field(7) != 0) return std::nullopt;  // least significant byte first
  in.seekg(static_cast<std::streamoff>(field(0) + field(19) * 12 + std::uint64_t(y) * field(12) +
                                       std::uint64_t(x) * 4));
  unsigned char p[4];
  if (!in.read(reinterpret_cast<char*>(p), 4)) return std::nullopt;
  return Rgb{p[2], p[1], p[0]};  // masks ff0000, ff00, ff
}

// Polls the middle of the window (800x600 at the top left) until it shows `expected` (±8).
::testing::AssertionResult middleShows(const VirtualDisplay& display, Rgb expected) {
  std::optional<Rgb> seen;
  for (int i = 0; i < 200; ++i) {
    seen = screenPixel(display.screenFile(), 400, 300);
    if (seen && std::abs(seen->red - expected.red) <= 8 &&
        std::abs(seen->green - expected.green) <= 8 && std::abs(seen->blue - expected.blue) <= 8)
      return ::testing::AssertionSuccess();
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  if (!seen) return ::testing::AssertionFailure() << "the screen file cannot be read";
  return ::testing::AssertionFailure()
         << "rgb(" << seen->red << "," << seen->green << "," << seen->blue << ")";
}

struct Pages {
  fs::path directory, first, second;
};
Pages writePages() {
  Pages pages;
  pages.directory = fs::temp_directory_path() / ("lumora-pages-" + std::to_string(::getpid()));
  fs::create_directories(pages.directory);
  pages.first = pages.directory / "first.html";
  pages.second = pages.directory / "second.html";
  std::ofstream(pages.second) << "<html><head><title>Second</title></head>"
                                 "<body style='margin:0;background:rgb(20,40,220)'></body></html>";
  std::ofstream(pages.first)
      << "<html><head><title>First</title></head>"
         "<body style='margin:0;background:rgb(220,30,30)'>"
         "<a id='next' href='second.html'>next</a>"
         "<script>window.addEventListener('load', function() {"
         "window.webkit.messageHandlers.lumora.postMessage('ready'); });</script></body></html>";
  return pages;
}

// Configuration 10 with its controller (65536) and a handler "lumora" (20), web view 11 with a
// navigation delegate (40), an observer (12) of its progress, and platform view 1 showing it;
// then the first page, the scripts, and the link clicked with `linkPolicy` (0 allow, 1 cancel).
std::vector<json> session(const Pages& pages, int linkPolicy) {
  return {
      {{"op", "answer"}, {"prefix", kPrefix}, {"reply", json::array({nullptr})}},
      answer("WKNavigationDelegate.decidePolicyForNavigationAction",
             {{ext(135, 0)}, {ext(135, linkPolicy)}, {ext(135, 0)}}),
      answer("WKNavigationDelegate.decidePolicyForNavigationResponse", {{ext(136, 0)}}),
      send("WKWebViewConfiguration.pigeon_defaultConstructor", {10}),
      send("WKWebViewConfiguration.getUserContentController", {ref(10)}),
      send("WKScriptMessageHandler.pigeon_defaultConstructor", {20}),
      send("WKUserContentController.addScriptMessageHandler", {ref(65536), ref(20), "lumora"}),
      send("NSViewWKWebView.pigeon_defaultConstructor", {11, ref(10)}),
      send("WKNavigationDelegate.pigeon_defaultConstructor", {40}),
      send("NSViewWKWebView.setNavigationDelegate", {ref(11), ref(40)}),
      send("NSObject.pigeon_defaultConstructor", {12}),
      send("NSObject.addObserver",
           {ref(11), ref(12), "estimatedProgress", json::array({ext(129, 0)})}),
      {{"op", "invoke"},
       {"channel", "flutter/platform_views"},
       {"method", "create"},
       {"args",
        {{"id", 1},
         {"viewType", "plugins.flutter.io/webview"},
         {"params", {{"$uint8", "030b000000"}}}}}},
      send("NSViewWKWebView.loadFileUrl",
           {ref(11), pages.first.string(), pages.directory.string()}),
      await("WKScriptMessageHandler.didReceiveScriptMessage", 1),
      await("WKNavigationDelegate.didFinishNavigation", 1),
      send("NSViewWKWebView.evaluateJavaScript", {ref(11), "document.title"}),
      send("NSViewWKWebView.evaluateJavaScript", {ref(11), "1+2"}),
      send("NSViewWKWebView.evaluateJavaScript",
           {ref(11), "document.getElementById('next').click()"}),
      await("WKNavigationDelegate.decidePolicyForNavigationAction", 2),
  };
}

TEST(WebViewRealEngineE2E, TheHostShowsPagesOnTheDisplayAndFollowsTheApplication) {
  VirtualDisplay display;
  ASSERT_FALSE(display.display().empty()) << "Xvfb did not start";
  const Pages pages = writePages();
  const std::string firstURL = "file://" + pages.first.string();
  const std::string secondURL = "file://" + pages.second.string();
  struct Case {
    int policy;
    std::string url;
    Rgb colour;
  };
  for (const Case& c :
       {Case{1, firstURL, Rgb{220, 30, 30}}, Case{0, secondURL, Rgb{20, 40, 220}}}) {
    SCOPED_TRACE(c.url);
    HostOptions options;
    options.environment = displayEnvironment(display);
    Host host(options);
    auto commands = session(pages, c.policy);
    if (c.policy == 0) commands.push_back(await("WKNavigationDelegate.didFinishNavigation", 2));
    commands.push_back(send("NSViewWKWebView.getUrl", {ref(11)}));
    auto run = runPeer(host, commands);
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_EQ(host.logLines("web view engine: WebKitGTK 2.").size(), 1u) << host.log();

    auto announced = incoming(run, "WKScriptMessage.pigeon_newInstance");
    ASSERT_EQ(announced.size(), 1u);
    EXPECT_EQ(announced[0][1], "lumora");
    EXPECT_EQ(announced[0][2], "ready");
    EXPECT_EQ(incoming(run, "WKScriptMessageHandler.didReceiveScriptMessage").size(), 1u);
    auto finished = incoming(run, "WKNavigationDelegate.didFinishNavigation");
    ASSERT_FALSE(finished.empty());
    EXPECT_EQ(finished[0][2], firstURL);
    auto evaluated = replies(run, "NSViewWKWebView.evaluateJavaScript");
    ASSERT_GE(evaluated.size(), 2u);
    EXPECT_EQ(evaluated[0], json::array({"First"}));
    EXPECT_EQ(evaluated[1], json::array({3.0}));
    EXPECT_EQ(replies(run, "NSViewWKWebView.getUrl"), std::vector<json>{json::array({c.url})});
    bool progressReachedOne = false;
    // [observer, key path, object, change]; the change's new value (key 2) reaches 1.0.
    std::string observed;
    for (const auto& message : incoming(run, "NSObject.observeValue")) {
      observed += message.dump() + "\n";
      if (message[1] != "estimatedProgress" || !message[3].contains("$map")) continue;
      for (const auto& entry : message[3]["$map"]) {
        if (entry[0] == ext(131, 2) && entry[1] == 1.0) progressReachedOne = true;
      }
    }
    EXPECT_TRUE(progressReachedOne) << observed;
    EXPECT_TRUE(middleShows(display, c.colour));
  }
  std::error_code ignored;
  fs::remove_all(pages.directory, ignored);
}

TEST(WebViewRealEngineE2E, APasswordChallengeIsAnsweredWithTheApplicationsCredential) {
  VirtualDisplay display;
  ASSERT_FALSE(display.display().empty()) << "Xvfb did not start";
  httplib::Server server;
  server.set_keep_alive_max_count(1);
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
      return;
    }
    response.set_content("<title>Inside</title>", "text/html");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  std::thread serving([&] { server.listen_after_bind(); });
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/private";
  const std::string challenge = "WKNavigationDelegate.didReceiveAuthenticationChallenge";

  std::optional<json> held, space, response, finished;
  PeerRun run;
  {
    HostOptions options;
    options.environment = displayEnvironment(display);
    Host host(options);
    PeerSession peer(host);
    for (const json& command : std::vector<json>{
             {{"op", "answer"}, {"prefix", kPrefix}, {"reply", json::array({nullptr})}},
             answer("WKNavigationDelegate.decidePolicyForNavigationAction", {{ext(135, 0)}}),
             answer("WKNavigationDelegate.decidePolicyForNavigationResponse", {{ext(136, 0)}}),
             {{"op", "answer"}, {"channel", kPrefix + challenge}, {"hold", true}},
             send("WKWebViewConfiguration.pigeon_defaultConstructor", {10}),
             send("NSViewWKWebView.pigeon_defaultConstructor", {11, ref(10)}),
             send("WKNavigationDelegate.pigeon_defaultConstructor", {40}),
             send("NSViewWKWebView.setNavigationDelegate", {ref(11), ref(40)}),
             send("URLRequest.pigeon_defaultConstructor", {20, url}),
             send("NSViewWKWebView.load", {ref(11), ref(20)})})
      ASSERT_TRUE(peer.write(command));
    held = peer.readUntil(
        [&](const json& line) {
          return line.value("op", "") == "incoming" &&
                 line.value("channel", "") == kPrefix + challenge;
        },
        20);
    if (held) {
      peer.write(send("URLAuthenticationChallenge.getProtectionSpace", {(*held)["message"][2]}));
      space = peer.readOp("incoming", kPrefix + "URLProtectionSpace.pigeon_newInstance");
      peer.write(send("URLCredential.withUser", {50, "ann", "s3cret", ext(142, 1)}));
      peer.write(send("AuthenticationChallengeResponse.createAsync", {ext(141, 0), ref(50)}));
      response = peer.readOp("reply", kPrefix + "AuthenticationChallengeResponse.createAsync");
      if (response) {
        peer.write(json{{"op", "reply"},
                        {"incomingId", (*held)["incomingId"]},
                        {"reply", (*response)["reply"]}});
      }
      finished = peer.readOp("incoming", kPrefix + "WKNavigationDelegate.didFinishNavigation", 20);
    }
    run = peer.finish();
  }
  server.stop();
  serving.join();
  ASSERT_TRUE(held) << run.errors;
  ASSERT_TRUE(space);
  const json& fields = (*space)["message"];
  EXPECT_EQ(json(std::vector<json>(fields.begin() + 1, fields.end())),
            json::array({"127.0.0.1", port, "Lumora Realm", "NSURLAuthenticationMethodHTTPBasic"}));
  ASSERT_TRUE(response);
  ASSERT_TRUE(finished);
  EXPECT_EQ((*finished)["message"][2], url);
  ASSERT_FALSE(authorizations.empty());
  EXPECT_EQ(authorizations.back(), "Basic YW5uOnMzY3JldA==");  // ann:s3cret
  auto responses = incoming(run, "HTTPURLResponse.pigeon_newInstance");
  ASSERT_FALSE(responses.empty());
  EXPECT_EQ(responses.back()[1], 200);
}

// The application's cookie goes with the page's request to a loopback server, so it is in the
// engine's own jar; once removed there, the next request goes without it.
TEST(WebViewRealEngineE2E, CookiesAndWebsiteDataAreTheEnginesOwn) {
  VirtualDisplay display;
  ASSERT_FALSE(display.display().empty()) << "Xvfb did not start";
  httplib::Server server;
  server.set_keep_alive_max_count(1);  // no idle connection holds up stop()
  std::mutex mutex;
  std::vector<std::string> sent;  // the Cookie header of each request
  server.Get("/jar", [&](const httplib::Request& request, httplib::Response& response) {
    {
      std::lock_guard lock(mutex);
      sent.push_back(request.get_header_value("Cookie"));
    }
    response.set_content("<title>Jar</title>", "text/html");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  std::thread serving([&] { server.listen_after_bind(); });
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/jar";

  HostOptions options;
  options.environment = displayEnvironment(display);
  Host host(options);
  // ext(137, k): the cookie property keys name (6), value (12), domain (3) and path (8);
  // ext(134, 0): the cookies data type.
  const json given = {
      {"$map",
       json::array({json::array({ext(137, 6), "flavour"}), json::array({ext(137, 12), "oat"}),
                    json::array({ext(137, 3), "127.0.0.1"}), json::array({ext(137, 8), "/"})})}};
  auto run = runPeer(
      host, {{{"op", "answer"}, {"prefix", kPrefix}, {"reply", json::array({nullptr})}},
             answer("WKNavigationDelegate.decidePolicyForNavigationAction", {{ext(135, 0)}}),
             answer("WKNavigationDelegate.decidePolicyForNavigationResponse", {{ext(136, 0)}}),
             send("WKWebViewConfiguration.pigeon_defaultConstructor", {10}),
             send("NSViewWKWebView.pigeon_defaultConstructor", {11, ref(10)}),
             send("WKNavigationDelegate.pigeon_defaultConstructor", {40}),
             send("NSViewWKWebView.setNavigationDelegate", {ref(11), ref(40)}),
             send("URLRequest.pigeon_defaultConstructor", {20, url}),
             send("WKWebsiteDataStore.defaultDataStore", {30}),
             send("WKWebsiteDataStore.httpCookieStore", {ref(30), 31}),
             send("HTTPCookie.pigeon_defaultConstructor", {1, given}),
             send("WKHTTPCookieStore.setCookie", {ref(31), ref(1)}),
             send("WKHTTPCookieStore.getAllCookies", {ref(31)}),
             send("HTTPCookie.getProperties", {ref(65536)}),
             send("NSViewWKWebView.load", {ref(11), ref(20)}),
             await("WKNavigationDelegate.didFinishNavigation", 1),
             send("WKWebsiteDataStore.removeDataOfTypes", {ref(30), {ext(134, 0)}, 0.0}),
             send("WKHTTPCookieStore.getAllCookies", {ref(31)}),
             // Nothing of the type is left: nothing removed.
             send("WKWebsiteDataStore.removeDataOfTypes", {ref(30), {ext(134, 0)}, 0.0}),
             send("NSViewWKWebView.reload", {ref(11)}),
             await("WKNavigationDelegate.didFinishNavigation", 2)});
  server.stop();
  serving.join();
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_EQ(host.logLines("web view engine: WebKitGTK 2.").size(), 1u) << host.log();
  EXPECT_EQ(sent, (std::vector<std::string>{"flavour=oat", ""}));
  EXPECT_EQ(replies(run, "WKHTTPCookieStore.setCookie"), std::vector<json>{json::array({nullptr})});
  EXPECT_EQ(
      replies(run, "WKHTTPCookieStore.getAllCookies"),
      (std::vector<json>{json::array({json::array({ref(65536)})}), json::array({json::array()})}));
  auto properties = replies(run, "HTTPCookie.getProperties");
  ASSERT_EQ(properties.size(), 1u);
  for (const auto& pair : given["$map"]) {
    EXPECT_NE(std::find(properties[0][0]["$map"].begin(), properties[0][0]["$map"].end(), pair),
              properties[0][0]["$map"].end())
        << pair << " in " << properties[0].dump();
  }
  EXPECT_EQ(replies(run, "WKWebsiteDataStore.removeDataOfTypes"),
            (std::vector<json>{json::array({true}), json::array({false})}));
}

TEST(WebViewRealEngineE2E, WithoutADisplayTheHostAnswersOnTheSimulatedEngine) {
  HostOptions options;
  options.environment = {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}};
  Host host(options);
  auto run =
      runPeer(host, {{{"op", "answer"}, {"prefix", kPrefix}, {"reply", json::array({nullptr})}},
                     send("WKWebViewConfiguration.pigeon_defaultConstructor", {10}),
                     send("NSViewWKWebView.pigeon_defaultConstructor", {11, ref(10)}),
                     send("NSViewWKWebView.loadHtmlString", {ref(11), "<title>T</title>", nullptr}),
                     send("NSViewWKWebView.getTitle", {ref(11)})});
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_EQ(host.logLines("web view engine: simulated (no display: neither DISPLAY nor "
                          "WAYLAND_DISPLAY is set); pages are neither fetched nor shown")
                .size(),
            1u)
      << host.log();
  EXPECT_EQ(replies(run, "NSViewWKWebView.getTitle"), std::vector<json>{json::array({"T"})});
}

}  // namespace
}  // namespace lumora::e2e
