// The web view bridge's requests, configuration, user content, cookies and website data through
// the test host, driven as the application's code drives them.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

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
json send(const std::string& method, json message) {
  return json{{"op", "send"}, {"channel", kPrefix + method}, {"message", message}};
}
json engine(const std::string& method, json args = nullptr) {
  return json{
      {"op", "invoke"}, {"channel", "lumora_test/webkit"}, {"method", method}, {"args", args}};
}
json answerAll() {
  return json{{"op", "answer"}, {"prefix", kPrefix}, {"reply", json::array({nullptr})}};
}
std::vector<json> replies(const PeerRun& run, const std::string& method) {
  std::vector<json> out;
  for (const auto& line : run.withOp("reply", kPrefix + method))
    out.push_back(line.value("empty", false) ? json("empty") : line["reply"]);
  return out;
}
// The host's messages toward the application, as [method, message], in order.
std::vector<json> incoming(const PeerRun& run) {
  std::vector<json> out;
  for (const auto& line : run.withOp("incoming")) {
    std::string channel = line["channel"];
    if (channel.rfind(kPrefix, 0) == 0)
      out.push_back(json::array({channel.substr(kPrefix.size()), line["message"]}));
  }
  return out;
}
std::vector<json> described(const PeerRun& run) {
  std::vector<json> out;
  for (const auto& line : run.withOp("result", "lumora_test/webkit")) {
    if (line["method"] == "describe") out.push_back(line["result"]);
  }
  return out;
}

TEST(WebViewContentE2E, RequestsReadBackWhatWasSetAndRefuseTextsThatAreNoURL) {
  Host host(testHost());
  auto run = runPeer(
      host, {
                answerAll(),
                send("URLRequest.pigeon_defaultConstructor", {1, "https://a.invalid/p?q=1"}),
                send("URLRequest.getHttpMethod", {ref(1)}),
                send("URLRequest.getHttpBody", {ref(1)}),
                send("URLRequest.setHttpBody", {ref(1), {{"$uint8", "0102"}}}),
                send("URLRequest.setAllHttpHeaderFields", {ref(1), {{"Accept", "x"}}}),
                send("URLRequest.getHttpBody", {ref(1)}),
                send("URLRequest.getAllHttpHeaderFields", {ref(1)}),
                send("URLRequest.getUrl", {ref(1)}),
                send("URLRequest.pigeon_defaultConstructor", {2, ""}),
                send("URLRequest.getHttpMethod", {ref(2)}),
            });
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
  auto constructed = replies(run, "URLRequest.pigeon_defaultConstructor");
  ASSERT_EQ(constructed.size(), 2u);
  EXPECT_EQ(constructed[0], json::array({nullptr}));
  EXPECT_EQ(constructed[1][0], "ConstructorReturnedNullError");
  const std::string message = constructed[1][1];
  EXPECT_EQ(message.rfind("Failed to instantiate `NSURL` with parameters: ", 0), 0u) << message;
  EXPECT_NE(message.find("string"), std::string::npos) << message;
  auto method = replies(run, "URLRequest.getHttpMethod");
  ASSERT_EQ(method.size(), 2u);
  EXPECT_EQ(method[0], json::array({"GET"}));
  EXPECT_EQ(method[1][0], "invalid-arguments");
  EXPECT_EQ(replies(run, "URLRequest.getHttpBody"),
            (std::vector<json>{json::array({nullptr}), json::array({{{"$uint8", "0102"}}})}));
  EXPECT_EQ(replies(run, "URLRequest.getAllHttpHeaderFields"),
            std::vector<json>{json::array({{{"Accept", "x"}}})});
  EXPECT_EQ(replies(run, "URLRequest.getUrl"),
            std::vector<json>{json::array({"https://a.invalid/p?q=1"})});
  EXPECT_EQ(host.logLines("Failed to find instance with identifier: 2").size(), 1u) << host.log();
}

TEST(WebViewContentE2E, ConfigurationGettersAnnounceOnceBeforeTheReply) {
  Host host(testHost());
  auto run = runPeer(
      host, {
                answerAll(),
                send("WKWebViewConfiguration.pigeon_defaultConstructor", {10}),
                send("WKWebViewConfiguration.getPreferences", {ref(10)}),
                send("WKWebViewConfiguration.getPreferences", {ref(10)}),
                send("WKWebViewConfiguration.setMediaTypesRequiringUserActionForPlayback",
                     {ref(10), ext(133, 3)}),
                send("WKWebViewConfiguration.setAllowsInlineMediaPlayback", {ref(10), true}),
                engine("describe", {{"identifier", 10}}),
            });
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
  EXPECT_EQ(replies(run, "WKWebViewConfiguration.getPreferences"),
            (std::vector<json>{json::array({ref(65536)}), json::array({ref(65536)})}));
  EXPECT_EQ(incoming(run), std::vector<json>{json::array(
                               {"WKPreferences.pigeon_newInstance", json::array({65536})})});
  // The announcement arrives before the first reply that refers to it.
  std::size_t announced = run.lines.size(), replied = run.lines.size();
  for (std::size_t i = 0; i < run.lines.size(); ++i) {
    const auto& line = run.lines[i];
    if (line.value("op", "") == "incoming" && announced == run.lines.size()) announced = i;
    if (line.value("op", "") == "reply" &&
        line.value("channel", "") == kPrefix + "WKWebViewConfiguration.getPreferences" &&
        replied == run.lines.size())
      replied = i;
  }
  EXPECT_LT(announced, replied);
  EXPECT_EQ(replies(run, "WKWebViewConfiguration.setAllowsInlineMediaPlayback"),
            std::vector<json>{json::array({nullptr})});
  auto state = described(run).at(0)["state"];
  EXPECT_EQ(state["mediaTypesRequiringUserActionForPlayback"], "0xffffffffffffffff");
}

TEST(WebViewContentE2E, TheFourVersionRulesOnEachSideOfEleven) {
  struct Rule {
    std::string method;
    json request;
    std::string error;
    bool worksFrom11;
  };
  const std::vector<Rule> rules = {
      {"WKWebViewConfiguration.setLimitsNavigationsToAppBoundDomains",
       {ref(10), true},
       "`WKWebViewConfiguration.limitsNavigationsToAppBoundDomains` requires iOS 14.0, macOS 11.0.",
       true},
      {"WKWebpagePreferences.setAllowsContentJavaScript",
       {ref(65537), false},
       "`WKWebpagePreferences.allowsContentJavaScript` requires iOS 14.0, macOS 11.0.",
       true},
      {"WKPreferences.setJavaScriptEnabled",
       {ref(65536), false},
       "`WKPreferences.javaScriptEnabled` requires < iOS 14.0, macOS 11.0.",
       false},
      {"WKUserContentController.removeAllScriptMessageHandlers",
       {ref(65538)},
       "`WKUserContentController.removeAllScriptMessageHandlers` requires iOS 14.0, macOS 11.0.",
       true},
  };
  for (const std::string version : {"10.15", "11.0"}) {
    Host host(testHost({{"LUMORA_OS_VERSION", version}}));
    std::vector<json> commands = {
        answerAll(),
        send("WKWebViewConfiguration.pigeon_defaultConstructor", {10}),
        send("WKWebViewConfiguration.getPreferences", {ref(10)}),                // 65536
        send("WKWebViewConfiguration.getDefaultWebpagePreferences", {ref(10)}),  // 65537
        send("WKWebViewConfiguration.getUserContentController", {ref(10)}),      // 65538
        send("WKScriptMessageHandler.pigeon_defaultConstructor", {20}),
        send("WKUserContentController.addScriptMessageHandler", {ref(65538), ref(20), "h"}),
    };
    for (const auto& rule : rules)
      commands.push_back(send(rule.method, rule.request));
    for (int id : {10, 65536, 65537, 65538})
      commands.push_back(engine("describe", {{"identifier", id}}));
    auto run = runPeer(host, commands);
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
    auto states = described(run);
    ASSERT_EQ(states.size(), 4u);
    const std::vector<bool> changed = {
        states[0]["state"]["limitsNavigationsToAppBoundDomains"] == true,
        states[2]["state"]["allowsContentJavaScript"] == false,
        states[1]["state"]["javaScriptEnabled"] == false,
        states[3]["state"]["scriptMessageHandlers"].empty(),
    };
    for (std::size_t i = 0; i < rules.size(); ++i) {
      const bool works = (version == "11.0") == rules[i].worksFrom11;
      auto reply = replies(run, rules[i].method);
      ASSERT_EQ(reply.size(), 1u) << rules[i].method;
      if (works) {
        EXPECT_EQ(reply[0], json::array({nullptr})) << rules[i].method << " on " << version;
      } else {
        EXPECT_EQ(reply[0], json::array({"FWFUnsupportedVersionError", rules[i].error, nullptr}))
            << rules[i].method << " on " << version;
      }
      EXPECT_EQ(changed[i], works) << rules[i].method << " on " << version;
    }
  }
}

TEST(WebViewContentE2E, UserScriptsAndScriptMessagesInPostingOrder) {
  Host host(testHost());
  auto run = runPeer(
      host,
      {
          answerAll(),
          send("WKWebViewConfiguration.pigeon_defaultConstructor", {10}),
          send("WKWebViewConfiguration.getUserContentController", {ref(10)}),  // 65536
          send("WKUserScript.pigeon_defaultConstructor", {1, "f()", ext(132, 1), false}),
          send("WKUserScript.pigeon_defaultConstructor", {2, "g()", ext(132, 2), true}),
          send("WKUserContentController.addUserScript", {ref(65536), ref(1)}),
          send("WKScriptMessageHandler.pigeon_defaultConstructor", {20}),
          send("WKUserContentController.addScriptMessageHandler", {ref(65536), ref(20), "bridge"}),
          send("WKScriptMessageHandler.pigeon_defaultConstructor", {21}),
          send("WKUserContentController.addScriptMessageHandler", {ref(65536), ref(21), "bridge"}),
          engine("postScriptMessage", {{"controller", 65536}, {"name", "bridge"}, {"body", "a"}}),
          engine("postScriptMessage", {{"controller", 65536}, {"name", "bridge"}}),
          {{"op", "await"},
           {"channel", kPrefix + "WKScriptMessageHandler.didReceiveScriptMessage"},
           {"count", 2},
           {"timeoutMs", 5000}},
          engine("describe", {{"identifier", 65536}}),
          engine("describe", {{"identifier", 2}}),
      });
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
  EXPECT_EQ(
      replies(run, "WKUserScript.pigeon_defaultConstructor"),
      (std::vector<json>{json::array({nullptr}),
                         json::array({"UnknownEnumError",
                                      "unknown doesn't represent a native value.", nullptr})}));
  auto added = replies(run, "WKUserContentController.addScriptMessageHandler");
  ASSERT_EQ(added.size(), 2u);
  EXPECT_EQ(added[1][0], "name-in-use-error");
  auto states = described(run);
  ASSERT_EQ(states.size(), 2u);
  EXPECT_EQ(states[0]["state"]["userScripts"], json::array({{{"source", "f()"},
                                                             {"injectionTime", "atDocumentEnd"},
                                                             {"forMainFrameOnly", false}}}));
  EXPECT_EQ(states[0]["state"]["scriptMessageHandlers"], json::array({"bridge"}));
  EXPECT_EQ(states[1]["registered"], false);
  const std::vector<json> expected = {
      json::array({"WKUserContentController.pigeon_newInstance", json::array({65536})}),
      json::array({"WKScriptMessage.pigeon_newInstance", json::array({65537, "bridge", "a"})}),
      json::array({"WKScriptMessageHandler.didReceiveScriptMessage",
                   json::array({ref(20), ref(65536), ref(65537)})}),
      json::array({"WKScriptMessage.pigeon_newInstance", json::array({65538, "bridge", nullptr})}),
      json::array({"WKScriptMessageHandler.didReceiveScriptMessage",
                   json::array({ref(20), ref(65536), ref(65538)})}),
  };
  EXPECT_EQ(incoming(run), expected);
}

TEST(WebViewContentE2E, IgnoredCallsDropAPostedMessageWithOneLogLine) {
  Host host(testHost());
  auto run = runPeer(
      host, {
                answerAll(),
                send("WKWebViewConfiguration.pigeon_defaultConstructor", {10}),
                send("WKWebViewConfiguration.getUserContentController", {ref(10)}),
                send("WKScriptMessageHandler.pigeon_defaultConstructor", {20}),
                send("WKUserContentController.addScriptMessageHandler", {ref(65536), ref(20), "b"}),
                engine("ignoreCallsToDart", {{"flag", true}}),
                engine("postScriptMessage", {{"controller", 65536}, {"name", "b"}, {"body", "a"}}),
            });
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
  const std::string name = "WKScriptMessageHandler.didReceiveScriptMessage";
  for (int i = 0; i < 100 && host.logLines(name).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(host.logLines(name).size(), 1u) << host.log();
  // Only the controller's announcement, sent before calls were ignored.
  EXPECT_EQ(incoming(run),
            std::vector<json>{
                json::array({"WKUserContentController.pigeon_newInstance", json::array({65536})})});
}

json cookieProperties(bool withName, bool withUnknown = false) {
  json pairs =
      json::array({json::array({ext(137, 12), "v"}), json::array({ext(137, 3), "a.invalid"}),
                   json::array({ext(137, 8), "/"})});
  if (withName) pairs.push_back(json::array({ext(137, 6), "n"}));
  if (withUnknown) pairs.push_back(json::array({ext(137, 14), "x"}));
  return json{{"$map", pairs}};
}

TEST(WebViewContentE2E, CookiesAndWebsiteDataRecords) {
  Host host(testHost());
  auto run = runPeer(
      host, {
                answerAll(),
                send("WKWebsiteDataStore.defaultDataStore", {30}),
                send("WKWebsiteDataStore.httpCookieStore", {ref(30), 31}),
                send("HTTPCookie.pigeon_defaultConstructor", {1, cookieProperties(true)}),
                send("HTTPCookie.pigeon_defaultConstructor", {2, cookieProperties(true, true)}),
                send("HTTPCookie.pigeon_defaultConstructor", {3, cookieProperties(false)}),
                send("WKHTTPCookieStore.setCookie", {ref(31), ref(1)}),
                send("WKHTTPCookieStore.getAllCookies", {ref(31)}),
                send("HTTPCookie.getProperties", {ref(65536)}),
                send("WKWebsiteDataStore.removeDataOfTypes", {ref(30), {ext(134, 4)}, 0.0}),
                engine("addWebsiteData", {{"store", 30}, {"type", 4}, {"modifiedAt", 100}}),
                engine("addWebsiteData", {{"store", 30}, {"type", 4}, {"modifiedAt", 200}}),
                engine("addWebsiteData", {{"store", 30}, {"type", 2}, {"modifiedAt", 300}}),
                send("WKWebsiteDataStore.removeDataOfTypes", {ref(30), {ext(134, 4)}, 150.0}),
                engine("describe", {{"identifier", 30}}),
            });
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
  auto made = replies(run, "HTTPCookie.pigeon_defaultConstructor");
  ASSERT_EQ(made.size(), 3u);
  EXPECT_EQ(made[0], json::array({nullptr}));
  EXPECT_EQ(made[1][0], "UnknownEnumError");
  EXPECT_EQ(made[2][0], "ConstructorReturnedNullError");
  EXPECT_NE(made[2][1].get<std::string>().find("properties"), std::string::npos);
  EXPECT_EQ(replies(run, "WKHTTPCookieStore.setCookie"), std::vector<json>{json::array({nullptr})});
  EXPECT_EQ(replies(run, "WKHTTPCookieStore.getAllCookies"),
            std::vector<json>{json::array({json::array({ref(65536)})})});
  EXPECT_EQ(incoming(run), std::vector<json>{json::array(
                               {"HTTPCookie.pigeon_newInstance", json::array({65536})})});
  auto properties = replies(run, "HTTPCookie.getProperties");
  ASSERT_EQ(properties.size(), 1u);
  EXPECT_EQ(properties[0][0]["$map"].size(), 4u);
  const json given = cookieProperties(true);
  for (const auto& pair : given["$map"]) {
    EXPECT_NE(std::find(properties[0][0]["$map"].begin(), properties[0][0]["$map"].end(), pair),
              properties[0][0]["$map"].end())
        << pair;
  }
  EXPECT_EQ(replies(run, "WKWebsiteDataStore.removeDataOfTypes"),
            (std::vector<json>{json::array({false}), json::array({true})}));
  auto records = described(run).at(0)["state"]["records"];
  EXPECT_EQ(records,
            json::array({{{"type", "WKWebsiteDataTypeLocalStorage"}, {"modifiedAt", 100.0}},
                         {{"type", "WKWebsiteDataTypeDiskCache"}, {"modifiedAt", 300.0}}}));
}

TEST(WebViewContentE2E, TheDefaultStoreUnderTwoIdentifiersAndAnIdentifierInUse) {
  Host host(testHost());
  auto run = runPeer(host, {
                               answerAll(),
                               send("WKWebsiteDataStore.defaultDataStore", {30}),
                               send("WKWebsiteDataStore.defaultDataStore", {31}),
                               send("WKWebViewConfiguration.pigeon_defaultConstructor", {30}),
                               engine("describe", {{"identifier", 30}}),
                               engine("describe", {{"identifier", 31}}),
                           });
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
  EXPECT_EQ(replies(run, "WKWebsiteDataStore.defaultDataStore"),
            (std::vector<json>{json::array({nullptr}), json::array({nullptr})}));
  auto refused = replies(run, "WKWebViewConfiguration.pigeon_defaultConstructor");
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0][0], "identifier-in-use-error");
  auto states = described(run);
  EXPECT_EQ(states.at(0)["className"], "WKWebsiteDataStore");
  EXPECT_EQ(states.at(1)["className"], "WKWebsiteDataStore");
  EXPECT_TRUE(
      run.withOp("incoming", kPrefix + "PigeonInternalInstanceManager.removeStrongReference")
          .empty());
}

}  // namespace
}  // namespace lumora::e2e
