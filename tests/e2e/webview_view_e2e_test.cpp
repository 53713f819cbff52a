// The web view itself through the test host: its platform view and lookup, loads, history,
// key-value observation, scripts, version rules and the application's assets, driven as the
// application's code drives them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/e2e/e2e_harness.h"

namespace lumora::e2e {
namespace {

using nlohmann::json;

const std::string kPrefix = "dev.flutter.pigeon.webview_flutter_wkwebview.";

HostOptions testHost(std::map<std::string, std::string> environment = {}) {
  HostOptions options;
  options.executable = testHostExecutable();
  options.environment = std::move(environment);
  return options;
}

json ref(std::int64_t id) {
  return json{{"$ext", 128}, {"value", id}};
}
json ext(int type, json value) {
  return json{{"$ext", type}, {"value", value}};
}
json send(const std::string& method, json message, bool noWait = false) {
  json command{{"op", "send"}, {"channel", kPrefix + method}, {"message", message}};
  if (noWait) command["noWait"] = true;
  return command;
}
json engine(const std::string& method, json args = nullptr) {
  return json{
      {"op", "invoke"}, {"channel", "lumora_test/webkit"}, {"method", method}, {"args", args}};
}
json createView(std::int64_t id, json params) {
  json args{{"id", id}, {"viewType", "plugins.flutter.io/webview"}};
  if (!params.is_null()) args["params"] = params;
  return json{{"op", "invoke"},
              {"channel", "flutter/platform_views"},
              {"method", "create"},
              {"args", args}};
}
json answerAll() {
  return json{{"op", "answer"}, {"prefix", kPrefix}, {"reply", json::array({nullptr})}};
}
// A configuration [10] and a web view [11] made with it.
std::vector<json> webView() {
  return {answerAll(), send("WKWebViewConfiguration.pigeon_defaultConstructor", {10}),
          send("NSViewWKWebView.pigeon_defaultConstructor", {11, ref(10)})};
}
std::vector<json> with(std::vector<json> first, const std::vector<json>& then) {
  first.insert(first.end(), then.begin(), then.end());
  return first;
}
std::vector<json> replies(const PeerRun& run, const std::string& method) {
  std::vector<json> out;
  for (const auto& line : run.withOp("reply", kPrefix + method))
    out.push_back(line.value("empty", false) ? json("empty") : line["reply"]);
  return out;
}
std::vector<json> results(const PeerRun& run, const std::string& channel,
                          const std::string& method) {
  std::vector<json> out;
  for (const auto& line : run.withOp("result", channel)) {
    if (line["method"] == method) out.push_back(line.contains("result") ? line["result"] : line);
  }
  return out;
}
// The host's messages toward the application on `method`, in order.
std::vector<json> incoming(const PeerRun& run, const std::string& method) {
  std::vector<json> out;
  for (const auto& line : run.withOp("incoming", kPrefix + method))
    out.push_back(line["message"]);
  return out;
}
// The value under KeyValueChangeKey `key` in a change map as the peer prints it; "absent" when
// the map has no such key.
json changeValue(const json& change, int key) {
  if (!change.contains("$map")) return "absent";
  for (const auto& entry : change["$map"]) {
    if (entry[0] == ext(131, key)) return entry[1];
  }
  return "absent";
}

TEST(WebViewViewE2E, ThePlatformViewShowsTheWebViewTheLookupFinds) {
  Host host(testHost());
  auto run = runPeer(
      host, with(webView(), {
                                createView(1, {{"$uint8", "030b000000"}}),
                                engine("platformViewIs", {{"viewId", 1}, {"identifier", 11}}),
                                engine("platformViewIs", {{"viewId", 1}, {"identifier", 10}}),
                                createView(2, {{"$uint8", "0363000000"}}),
                                createView(3, nullptr),
                                createView(4, {{"$uint8", "070178"}}),
                                engine("platformViewIs", {{"viewId", 2}, {"identifier", 11}}),
                                send("NSViewWKWebView.getUrl", {ref(11)}),
                            }));
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
  auto created = results(run, "flutter/platform_views", "create");
  ASSERT_EQ(created.size(), 4u) << run.errors;
  for (const auto& reply : created)
    EXPECT_TRUE(reply.is_null()) << reply;
  EXPECT_EQ(results(run, "lumora_test/webkit", "platformViewIs"),
            (std::vector<json>{true, false, false}));
  // Identifier 99, no parameters, a string: one line each, and the host keeps serving.
  EXPECT_EQ(host.logLines("names no live web view").size(), 3u) << host.log();
  EXPECT_EQ(replies(run, "NSViewWKWebView.getUrl"), std::vector<json>{json::array({nullptr})});
}

TEST(WebViewViewE2E, LoadsAreObservedUntilTheObserverIsReleased) {
  Host host(testHost());
  const json newValue = json::array({ext(129, 0)});
  auto run = runPeer(
      host,
      with(webView(),
           {
               send("NSObject.pigeon_defaultConstructor", {12}),
               send("NSObject.addObserver", {ref(11), ref(12), "estimatedProgress", newValue}),
               send("NSObject.addObserver", {ref(11), ref(12), "URL", newValue}),
               send("NSObject.addObserver", {ref(11), ref(11), "title", newValue}),
               send("NSViewWKWebView.loadHtmlString", {ref(11), "<title>T</title>", nullptr}),
               send("NSViewWKWebView.getUrl", {ref(11)}),
               send("NSViewWKWebView.getTitle", {ref(11)}),
               send("NSViewWKWebView.getEstimatedProgress", {ref(11)}),
               {{"op", "await"},
                {"channel", kPrefix + "NSObject.observeValue"},
                {"count", 5},
                {"timeoutMs", 5000}},
               send("PigeonInternalInstanceManager.removeStrongReference", {12}),
               send("NSViewWKWebView.loadHtmlString",
                    {ref(11), "<html><TITLE> U </TITLE></html>", "https://a.invalid/u"}),
               send("NSViewWKWebView.getTitle", {ref(11)}),
               // Never added: refused, and the title observation stays.
               send("NSObject.removeObserver", {ref(11), ref(11), "estimatedProgress"}),
               send("NSObject.removeObserver", {ref(11), ref(11), "title"}),
               send("NSObject.removeObserver", {ref(11), ref(11), "title"}),
               send("NSViewWKWebView.loadHtmlString", {ref(11), "<title>V</title>", nullptr}),
               engine("describe", {{"identifier", 11}}),
           }));
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
  EXPECT_EQ(replies(run, "NSViewWKWebView.getUrl"),
            std::vector<json>{json::array({"about:blank"})});
  EXPECT_EQ(replies(run, "NSViewWKWebView.getTitle"),
            (std::vector<json>{json::array({"T"}), json::array({"U"})}));
  EXPECT_EQ(replies(run, "NSViewWKWebView.getEstimatedProgress"),
            std::vector<json>{json::array({1.0})});

  auto observed = incoming(run, "NSObject.observeValue");
  std::vector<json> progress, urls, titles;
  for (const auto& message : observed) {
    ASSERT_EQ(message.size(), 4u) << message;
    EXPECT_EQ(message[2], ref(11)) << message;  // the observed object
    if (message[1] == "estimatedProgress") progress.push_back(message);
    if (message[1] == "URL") urls.push_back(message);
    if (message[1] == "title") titles.push_back(message);
  }
  // Progress steps of the first load only: the observer was released before the second.
  ASSERT_EQ(progress.size(), 3u) << json(observed).dump();
  for (const auto& message : progress) {
    EXPECT_EQ(message[0], ref(12));
    EXPECT_EQ(changeValue(message[3], 1), 1) << message;
    EXPECT_EQ(changeValue(message[3], 4), "absent") << message;  // old values were not asked for
  }
  EXPECT_EQ(changeValue(progress.back()[3], 2), 1.0);
  ASSERT_EQ(urls.size(), 1u);
  const json url = changeValue(urls[0][3], 2);
  ASSERT_TRUE(url.is_object() && url.value("$ext", 0) == 128) << url;
  bool announced = false;
  for (const auto& message : incoming(run, "URL.pigeon_newInstance"))
    announced = announced || message[0] == url["value"];
  EXPECT_TRUE(announced) << "the URL instance was not announced";
  // The web view observing itself: two titles, then its registration was removed.
  ASSERT_EQ(titles.size(), 2u) << json(observed).dump();
  for (const auto& message : titles)
    EXPECT_EQ(message[0], ref(11)) << message;
  EXPECT_EQ(changeValue(titles[0][3], 2), "T");
  EXPECT_EQ(changeValue(titles[1][3], 2), "U");

  auto removed = replies(run, "NSObject.removeObserver");
  ASSERT_EQ(removed.size(), 3u);
  ASSERT_EQ(removed[0].size(), 3u) << removed[0];
  EXPECT_EQ(removed[0][0], "observer-not-registered-error");
  const std::string message = removed[0][1];
  EXPECT_NE(message.find("estimatedProgress"), std::string::npos) << message;
  EXPECT_NE(message.find("WKWebView"), std::string::npos) << message;
  EXPECT_EQ(removed[1], json::array({nullptr}));
  EXPECT_EQ(removed[2][0], "observer-not-registered-error");
}

TEST(WebViewViewE2E, HistoryUserAgentAndLoadsThatFail) {
  Host host(testHost());
  auto run = runPeer(
      host,
      with(webView(),
           {
               engine("scriptLoad", {{"url", "https://a.invalid/one"}, {"title", "One"}}),
               engine("scriptLoad", {{"url", "https://a.invalid/down"}, {"failure", "offline"}}),
               send("URLRequest.pigeon_defaultConstructor", {20, "https://a.invalid/one"}),
               send("URLRequest.pigeon_defaultConstructor", {21, "https://a.invalid/two"}),
               send("URLRequest.pigeon_defaultConstructor", {22, "https://a.invalid/down"}),
               send("NSViewWKWebView.load", {ref(11), ref(20)}),
               send("NSViewWKWebView.load", {ref(11), ref(21)}),
               send("NSViewWKWebView.load", {ref(11), ref(22)}),  // fails: stays on two
               send("NSViewWKWebView.goBack", {ref(11)}),
               send("NSViewWKWebView.canGoBack", {ref(11)}),
               send("NSViewWKWebView.canGoForward", {ref(11)}),
               send("NSViewWKWebView.getUrl", {ref(11)}),
               send("NSViewWKWebView.getTitle", {ref(11)}),
               send("NSViewWKWebView.setCustomUserAgent", {ref(11), "x"}),
               send("NSViewWKWebView.getCustomUserAgent", {ref(11)}),
               send("NSViewWKWebView.setCustomUserAgent", {ref(11), nullptr}),
               send("NSViewWKWebView.getCustomUserAgent", {ref(11)}),
               send("NSViewWKWebView.loadHtmlString", {ref(11), "<p>", "http://[bad"}),
               send("NSViewWKWebView.loadFileUrl", {ref(11), "no/such/file.html", "no/such"}),
               send("NSViewWKWebView.setAllowsLinkPreview", {ref(11), false}),
               send("NSViewWKWebView.setAllowsBackForwardNavigationGestures", {ref(11), true}),
               send("NSViewWKWebView.configuration", {ref(11), 30}),
               engine("describe", {{"identifier", 11}}),
               engine("describe", {{"identifier", 30}}),
               send("NSViewWKWebView.getUrl", {ref(10)}),
           }));
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
  EXPECT_EQ(replies(run, "NSViewWKWebView.canGoBack"), std::vector<json>{json::array({false})});
  EXPECT_EQ(replies(run, "NSViewWKWebView.canGoForward"), std::vector<json>{json::array({true})});
  auto urls = replies(run, "NSViewWKWebView.getUrl");
  ASSERT_EQ(urls.size(), 2u);
  EXPECT_EQ(urls[0], json::array({"https://a.invalid/one"}));
  EXPECT_EQ(urls[1][0], "invalid-arguments");  // a configuration is no web view
  EXPECT_EQ(replies(run, "NSViewWKWebView.getTitle"), std::vector<json>{json::array({"One"})});
  EXPECT_EQ(replies(run, "NSViewWKWebView.getCustomUserAgent"),
            (std::vector<json>{json::array({"x"}), json::array({nullptr})}));
  auto html = replies(run, "NSViewWKWebView.loadHtmlString");
  ASSERT_EQ(html.size(), 1u);
  EXPECT_EQ(html[0][0], "FWFURLParsingError") << html[0];
  EXPECT_EQ(replies(run, "NSViewWKWebView.loadFileUrl"), std::vector<json>{json::array({nullptr})});

  auto described = results(run, "lumora_test/webkit", "describe");
  ASSERT_EQ(described.size(), 2u);
  const json state = described[0]["state"];
  // The missing file failed its load: still on page one, its URL taken from the current folder.
  EXPECT_EQ(state["url"], "https://a.invalid/one") << state;
  EXPECT_EQ(state["backForwardList"],
            json::array({"https://a.invalid/one", "https://a.invalid/two"}));
  EXPECT_EQ(state["lastError"]["code"], -1100) << state;
  EXPECT_EQ(state["allowsLinkPreview"], false);
  EXPECT_EQ(state["allowsBackForwardNavigationGestures"], true);
  EXPECT_EQ(state["customUserAgent"], nullptr);
  // "configuration" registers the very configuration the web view was made with.
  EXPECT_EQ(described[1]["className"], "WKWebViewConfiguration");
  EXPECT_EQ(replies(run, "NSViewWKWebView.configuration"),
            std::vector<json>{json::array({nullptr})});
}

TEST(WebViewViewE2E, JavaScriptResultsInTheOrderOfTheirRules) {
  Host host(testHost());
  auto script = [](const std::string& source, json outcome) {
    json args{{"webView", 11}, {"source", source}};
    args.update(outcome);
    return engine("scriptJavaScript", args);
  };
  auto run = runPeer(
      host, with(webView(), {
                                script("s", {{"result", "text"}}),
                                script("n", {{"result", 2.5}}),
                                script("b", {{"result", true}}),
                                script("l", {{"result", json::array({1, 2})}}),
                                script("none", json::object()),
                                script("bad", {{"error", "boom"}}),
                                send("NSViewWKWebView.evaluateJavaScript", {ref(11), "s"}, true),
                                send("NSViewWKWebView.evaluateJavaScript", {ref(11), "n"}, true),
                                send("NSViewWKWebView.evaluateJavaScript", {ref(11), "b"}),
                                send("NSViewWKWebView.evaluateJavaScript", {ref(11), "l"}),
                                send("NSViewWKWebView.evaluateJavaScript", {ref(11), "none"}),
                                send("NSViewWKWebView.evaluateJavaScript", {ref(11), "bad"}),
                                send("NSViewWKWebView.evaluateJavaScript", {ref(11), "unscripted"}),
                            }));
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
  auto evaluated = replies(run, "NSViewWKWebView.evaluateJavaScript");
  ASSERT_EQ(evaluated.size(), 7u);
  // The two in flight together each got their own reply.
  EXPECT_EQ(std::set<json>(evaluated.begin(), evaluated.begin() + 2),
            (std::set<json>{json::array({"text"}), json::array({2.5})}));
  EXPECT_EQ(evaluated[2], json::array({true}));
  EXPECT_EQ(evaluated[3], json::array({"[1, 2]"}));
  EXPECT_EQ(evaluated[4], json::array({nullptr}));
  auto errors = incoming(run, "NSError.pigeon_newInstance");
  ASSERT_EQ(errors.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    const json expected =
        json::array({"FWFEvaluateJavaScriptError", "Failed evaluating JavaScript.",
                     ref(errors[i][0].get<std::int64_t>())});
    EXPECT_EQ(evaluated[5 + i], expected);
  }
  EXPECT_EQ(errors[0][1], 4);
  EXPECT_EQ(errors[0][2], "WKErrorDomain");
  EXPECT_EQ(errors[1][2], "com.lumora.webkit.simulated");
  auto lines = host.logLines("Return type of evaluateJavaScript is not directly supported: ");
  ASSERT_EQ(lines.size(), 1u) << host.log();
  EXPECT_NE(lines[0].find("[1, 2]. Returned description of value.\""), std::string::npos)
      << lines[0];
}

TEST(WebViewViewE2E, InspectableOnEachSideOfThirteenThree) {
  for (const auto& [version, allowed] :
       std::vector<std::pair<std::string, bool>>{{"13.2", false}, {"13.3", true}}) {
    SCOPED_TRACE(version);
    Host host(testHost({{"LUMORA_OS_VERSION", version}}));
    auto run =
        runPeer(host, with(webView(), {
                                          send("NSViewWKWebView.setInspectable", {ref(11), true}),
                                          engine("describe", {{"identifier", 11}}),
                                      }));
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    auto replied = replies(run, "NSViewWKWebView.setInspectable");
    ASSERT_EQ(replied.size(), 1u);
    if (allowed) {
      EXPECT_EQ(replied[0], json::array({nullptr}));
    } else {
      EXPECT_EQ(replied[0],
                json::array({"FWFUnsupportedVersionError",
                             "`WKWebView.inspectable` requires iOS 16.4, macOS 13.3.", nullptr}));
    }
    auto described = results(run, "lumora_test/webkit", "describe");
    ASSERT_EQ(described.size(), 1u);
    EXPECT_EQ(described[0]["state"]["inspectable"], allowed);
  }
}

TEST(WebViewViewE2E, AssetsLoadFromTheBundleAndAMissingOneLoadsNothing) {
  const auto bundle = std::filesystem::temp_directory_path() /
                      ("lumora-webview-bundle-" + std::to_string(::getpid()));
  std::filesystem::create_directories(bundle / "Resources/flutter_assets/www");
  std::ofstream(bundle / "Resources/flutter_assets/www/index.html")
      << "<html><head><title>Index</title></head></html>";
  struct Cleanup {
    std::filesystem::path path;
    ~Cleanup() { std::filesystem::remove_all(path); }
  } cleanup{bundle};

  Host host(testHost({{"LUMORA_BUNDLE", bundle.string()}}));
  auto run = runPeer(
      host,
      with(webView(), {
                          send("NSViewWKWebView.loadFlutterAsset", {ref(11), "www/index.html"}),
                          engine("describe", {{"identifier", 11}}),
                          send("NSViewWKWebView.loadFlutterAsset", {ref(11), "www/missing.html"}),
                          engine("describe", {{"identifier", 11}}),
                      }));
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
  auto loaded = replies(run, "NSViewWKWebView.loadFlutterAsset");
  ASSERT_EQ(loaded.size(), 2u);
  EXPECT_EQ(loaded[0], json::array({nullptr}));
  EXPECT_EQ(loaded[1],
            json::array({"FWFURLParsingError",
                         "Failed to find asset with filepath: `flutter_assets/www/missing.html`.",
                         nullptr}));
  auto described = results(run, "lumora_test/webkit", "describe");
  ASSERT_EQ(described.size(), 2u);
  const std::string folder = "file://" + (bundle / "Resources/flutter_assets/www/").string();
  EXPECT_EQ(described[0]["state"]["url"], folder + "index.html");
  EXPECT_EQ(described[0]["state"]["readAccessURL"], folder);
  EXPECT_EQ(described[0]["state"]["title"], "Index");
  EXPECT_EQ(described[1]["state"], described[0]["state"]);  // nothing loaded
}

}  // namespace
}  // namespace lumora::e2e
