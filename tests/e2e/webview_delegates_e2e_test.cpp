// The web view's navigation and UI delegates through the test host: the engine's requests
// reach the application's code as it would see them, and the answers (or the fall-backs when
// there is none) reach the engine.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/security/testing/certificate_fixtures_for_testing.h"
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
json answer(const std::string& method, json replies) {
  return json{{"op", "answer"}, {"channel", kPrefix + method}, {"replies", replies}};
}
json await(const std::string& method, int count) {
  return json{
      {"op", "await"}, {"channel", kPrefix + method}, {"count", count}, {"timeoutMs", 5000}};
}
// A configuration [10], a web view [11] made with it, navigation delegate [40] and UI delegate
// [41] set on it; every other message toward the application is answered [null].
std::vector<json> webViewWithDelegates() {
  return {json{{"op", "answer"}, {"prefix", kPrefix}, {"reply", json::array({nullptr})}},
          send("WKWebViewConfiguration.pigeon_defaultConstructor", {10}),
          send("NSViewWKWebView.pigeon_defaultConstructor", {11, ref(10)}),
          send("WKNavigationDelegate.pigeon_defaultConstructor", {40}),
          send("WKUIDelegate.pigeon_defaultConstructor", {41}),
          send("NSViewWKWebView.setNavigationDelegate", {ref(11), ref(40)}),
          send("NSViewWKWebView.setUIDelegate", {ref(11), ref(41)})};
}
std::vector<json> with(std::vector<json> first, const std::vector<json>& then) {
  first.insert(first.end(), then.begin(), then.end());
  return first;
}
// The host's messages toward the application on `method`, in order.
std::vector<json> incoming(const PeerRun& run, const std::string& method) {
  std::vector<json> out;
  for (const auto& line : run.withOp("incoming", kPrefix + method))
    out.push_back(line["message"]);
  return out;
}
// The channel methods the host sent toward the application, in order.
std::vector<std::string> incomingMethods(const PeerRun& run) {
  std::vector<std::string> out;
  for (const auto& line : run.withOp("incoming")) {
    const std::string channel = line.value("channel", "");
    if (channel.rfind(kPrefix, 0) == 0) out.push_back(channel.substr(kPrefix.size()));
  }
  return out;
}
std::vector<json> results(const PeerRun& run, const std::string& method) {
  std::vector<json> out;
  for (const auto& line : run.withOp("result", "lumora_test/webkit")) {
    if (line["method"] == method) out.push_back(line.contains("result") ? line["result"] : line);
  }
  return out;
}
// The answers the engine's handlers got, from the last "describe" of the web view.
std::vector<json> engineAnswers(const PeerRun& run) {
  auto described = results(run, "describe");
  std::vector<json> out;
  if (described.empty()) return out;
  for (const auto& handler : described.back()["state"]["handlers"])
    out.push_back(handler["answered"] == true ? handler["answer"] : json("none"));
  return out;
}
int indexOf(const std::vector<std::string>& list, const std::string& item) {
  auto it = std::find(list.begin(), list.end(), item);
  return it == list.end() ? -1 : static_cast<int>(it - list.begin());
}

TEST(WebViewDelegatesE2E, LoadsAskTheNavigationDelegateAndFollowItsPolicies) {
  Host host(testHost());
  const auto file = std::filesystem::temp_directory_path() /
                    ("lumora-delegates-" + std::to_string(::getpid()) + ".html");
  std::ofstream(file) << "<title>F</title>";
  auto run = runPeer(
      host,
      with(webViewWithDelegates(),
           {engine("scriptLoad", {{"url", "https://a.invalid/"}, {"status", 200}}),
            answer("WKNavigationDelegate.decidePolicyForNavigationAction",
                   {{ext(135, 0)}, {ext(135, 1)}, {"e", "m", nullptr}, {ext(135, 0)}}),
            answer("WKNavigationDelegate.decidePolicyForNavigationResponse", {{ext(136, 0)}}),
            send("URLRequest.pigeon_defaultConstructor", {20, "https://a.invalid/"}),
            send("NSViewWKWebView.load", {ref(11), ref(20)}),
            await("WKNavigationDelegate.didFinishNavigation", 1),
            engine(
                "clickLink",
                {{"webView", 11}, {"url", "https://b.invalid/"}, {"type", 0}, {"mainFrame", true}}),
            await("WKNavigationDelegate.decidePolicyForNavigationAction", 2),
            send("NSViewWKWebView.getUrl", {ref(11)}),
            engine("clickLink", {{"webView", 11}, {"url", "https://c.invalid/"}}),
            await("WKNavigationDelegate.decidePolicyForNavigationAction", 3),
            engine("failLoad", {{"webView", 11}, {"url", "https://f.invalid/"}}),
            await("WKNavigationDelegate.didFailProvisionalNavigation", 1),
            send("NSViewWKWebView.loadFileUrl",
                 {ref(11), file.string(), file.parent_path().string()}),
            await("WKNavigationDelegate.didFinishNavigation", 2),
            engine("terminate", {{"webView", 11}}),
            await("WKNavigationDelegate.webViewWebContentProcessDidTerminate", 1),
            engine("describe", {{"identifier", 11}})}));
  std::filesystem::remove(file);
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();

  // The first load, in order; the request and frame are announced before the action.
  const auto methods = incomingMethods(run);
  const std::vector<std::string> order = {"WKFrameInfo.pigeon_newInstance",
                                          "WKNavigationAction.pigeon_newInstance",
                                          "WKNavigationDelegate.decidePolicyForNavigationAction",
                                          "WKNavigationDelegate.didStartProvisionalNavigation",
                                          "HTTPURLResponse.pigeon_newInstance",
                                          "WKNavigationDelegate.decidePolicyForNavigationResponse",
                                          "WKNavigationDelegate.didFinishNavigation"};
  for (std::size_t i = 1; i < order.size(); ++i) {
    EXPECT_LT(indexOf(methods, order[i - 1]), indexOf(methods, order[i])) << order[i];
  }
  auto actions = incoming(run, "WKNavigationAction.pigeon_newInstance");
  ASSERT_GE(actions.size(), 2u);
  EXPECT_EQ(actions[0][3], ext(138, 5));  // a load the application started: other
  EXPECT_EQ(actions[1][3], ext(138, 0));  // the clicked link
  EXPECT_EQ(incoming(run, "WKNavigationDelegate.didStartProvisionalNavigation").at(0),
            json::array({ref(40), ref(11), "https://a.invalid/"}));
  EXPECT_EQ(incoming(run, "HTTPURLResponse.pigeon_newInstance").at(0)[1], 200);

  // allow, allow (response); cancel; error reply -> cancel; failLoad: allowed, then failed;
  // the file: allow, allow.
  EXPECT_EQ(engineAnswers(run), (std::vector<json>{1, 1, 0, 0, 1, 1, 1}));
  auto urls = run.withOp("reply", kPrefix + "NSViewWKWebView.getUrl");
  ASSERT_EQ(urls.size(), 1u);
  EXPECT_EQ(urls[0]["reply"], json::array({"https://a.invalid/"}));
  EXPECT_EQ(host.logLines("WKNavigationDelegate.decidePolicyForNavigationAction").size(), 1u)
      << host.log();

  // The failure: an NSError whose user info refers to a URL instance and an underlying error.
  auto failures = incoming(run, "WKNavigationDelegate.didFailProvisionalNavigation");
  ASSERT_EQ(failures.size(), 1u);
  auto errors = incoming(run, "NSError.pigeon_newInstance");
  ASSERT_EQ(errors.size(), 2u);  // the underlying error first, then the outer one
  const std::string userInfo = errors[1][3].dump();
  EXPECT_NE(userInfo.find(ref(errors[0][0].get<std::int64_t>()).dump()), std::string::npos);
  ASSERT_EQ(incoming(run, "URL.pigeon_newInstance").size(), 1u);
  const auto urlId = incoming(run, "URL.pigeon_newInstance")[0][0].get<std::int64_t>();
  EXPECT_NE(userInfo.find(ref(urlId).dump()), std::string::npos) << userInfo;
  // A file load's response is not an HTTP one.
  EXPECT_EQ(incoming(run, "URLResponse.pigeon_newInstance").size(), 1u);
  EXPECT_EQ(incoming(run, "WKNavigationDelegate.webViewWebContentProcessDidTerminate").size(), 1u);
}

TEST(WebViewDelegatesE2E, DownloadNeedsEleventhPointThree) {
  for (const auto& [version, expected] : {std::pair<std::string, int>{"11.3", 2}, {"11.2", 0}}) {
    Host host(testHost({{"LUMORA_OS_VERSION", version}}));
    auto run = runPeer(
        host, with(webViewWithDelegates(),
                   {answer("WKNavigationDelegate.decidePolicyForNavigationAction", {{ext(135, 2)}}),
                    engine("clickLink", {{"webView", 11}, {"url", "https://d.invalid/"}}),
                    await("WKNavigationDelegate.decidePolicyForNavigationAction", 1),
                    send("NSViewWKWebView.getUrl", {ref(11)}),
                    engine("describe", {{"identifier", 11}})}));
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_EQ(engineAnswers(run), std::vector<json>{expected}) << version;
  }
}

TEST(WebViewDelegatesE2E, TheUIDelegateAnswersPanelsPermissionsAndWindows) {
  Host host(testHost());
  auto run = runPeer(
      host,
      with(webViewWithDelegates(),
           {answer("WKUIDelegate.requestMediaCapturePermission",
                   {{ext(139, 0)}, {ext(139, 1)}, {ext(139, 2)}, {ext(139, 1)}}),
            engine("requestMedia", {{"webView", 11}, {"type", 0}}),
            engine("requestMedia", {{"webView", 11}, {"type", 1}}),
            engine("requestMedia", {{"webView", 11}, {"type", 2}}),
            engine("requestMedia", {{"webView", 11}, {"type", 5}}),
            await("WKUIDelegate.requestMediaCapturePermission", 4),
            engine("confirm", {{"webView", 11}, {"message", "sure?"}}),
            engine("prompt", {{"webView", 11}, {"message", "name?"}, {"defaultText", "x"}}),
            engine("alert", {{"webView", 11}, {"message", "hi"}}),
            await("WKUIDelegate.runJavaScriptAlertPanel", 1),
            engine("openWindow", {{"webView", 11}, {"url", "https://w.invalid/"}}),
            await("WKUIDelegate.onCreateWebView", 1), send("NSViewWKWebView.getUrl", {ref(11)}),
            engine("describe", {{"identifier", 11}})}));
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
  std::vector<json> types;
  for (const auto& message : incoming(run, "WKUIDelegate.requestMediaCapturePermission"))
    types.push_back(message[4]);
  EXPECT_EQ(types, (std::vector<json>{ext(140, 0), ext(140, 2), ext(140, 1), ext(140, 3)}));
  auto origin = incoming(run, "WKSecurityOrigin.pigeon_newInstance");
  ASSERT_FALSE(origin.empty());
  // Media: deny 2, grant 1, prompt 0, grant 1; confirm [null] false; prompt [null] none; the
  // alert dismissed; the window: no web view.
  EXPECT_EQ(engineAnswers(run), (std::vector<json>{2, 1, 0, 1, false, nullptr, true, false}));
  EXPECT_EQ(incoming(run, "WKUIDelegate.runJavaScriptTextInputPanel").at(0)[2], "name?");
  EXPECT_EQ(incoming(run, "WKUIDelegate.runJavaScriptTextInputPanel").at(0)[3], "x");
  // The engine had its answer (no web view) before the application heard of the window.
  int resultAt = -1, createAt = -1;
  for (std::size_t i = 0; i < run.lines.size(); ++i) {
    const auto& line = run.lines[i];
    if (line.value("op", "") == "result" && line.value("method", "") == "openWindow")
      resultAt = static_cast<int>(i);
    if (line.value("op", "") == "incoming" &&
        line.value("channel", "") == kPrefix + "WKUIDelegate.onCreateWebView")
      createAt = static_cast<int>(i);
  }
  ASSERT_GE(resultAt, 0);
  EXPECT_EQ(run.lines[static_cast<std::size_t>(resultAt)]["result"], false);
  EXPECT_LT(resultAt, createAt);
  EXPECT_EQ(host.logLines("WKUIDelegate.runJavaScriptConfirmPanel").size(), 1u) << host.log();
}

TEST(WebViewDelegatesE2E, IgnoredCallsCancelDenyAndDismissWithOneLineEach) {
  Host host(testHost());
  auto run =
      runPeer(host, with(webViewWithDelegates(),
                         {engine("ignoreCallsToDart", {{"flag", true}}),
                          engine("clickLink", {{"webView", 11}, {"url", "https://i.invalid/"}}),
                          engine("challenge", {{"webView", 11}, {"realm", "r"}}),
                          engine("requestMedia", {{"webView", 11}, {"type", 0}}),
                          engine("confirm", {{"webView", 11}, {"message", "?"}}),
                          engine("prompt", {{"webView", 11}, {"message", "?"}}),
                          engine("alert", {{"webView", 11}, {"message", "!"}}),
                          send("NSViewWKWebView.getUrl", {ref(11)}),
                          send("NSViewWKWebView.getUrl", {ref(11)}),
                          engine("describe", {{"identifier", 11}})}));
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_TRUE(incomingMethods(run).empty());
  EXPECT_EQ(engineAnswers(run),
            (std::vector<json>{0, json{{"disposition", 2}}, 2, false, nullptr, true}));
  for (const char* method :
       {"WKNavigationDelegate.decidePolicyForNavigationAction",
        "WKNavigationDelegate.didReceiveAuthenticationChallenge",
        "WKUIDelegate.requestMediaCapturePermission", "WKUIDelegate.runJavaScriptConfirmPanel",
        "WKUIDelegate.runJavaScriptTextInputPanel", "WKUIDelegate.runJavaScriptAlertPanel"}) {
    EXPECT_EQ(host.logLines(method).size(), 1u) << method << "\n" << host.log();
  }
}

}  // namespace
}  // namespace lumora::e2e

namespace lumora::e2e {
namespace {

TEST(WebViewDelegatesE2E, APasswordChallengeIsHeldUntilTheApplicationAnswers) {
  Host host(testHost());
  const std::string challenge = "WKNavigationDelegate.didReceiveAuthenticationChallenge";
  PeerSession peer(host);
  for (const auto& command : webViewWithDelegates())
    ASSERT_TRUE(peer.write(command));
  ASSERT_TRUE(peer.write(json{{"op", "answer"}, {"channel", kPrefix + challenge}, {"hold", true}}));
  ASSERT_TRUE(peer.write(engine("challenge", {{"webView", 11},
                                              {"host", "a.invalid"},
                                              {"port", 443},
                                              {"realm", "r"},
                                              {"method", "NSURLAuthenticationMethodHTTPBasic"}})));
  auto held = peer.readUntil(
      [&](const json& line) {
        return line.value("op", "") == "incoming" &&
               line.value("channel", "") == kPrefix + challenge;
      },
      10);
  ASSERT_TRUE(held);
  const json challengeRef = (*held)["message"][2];
  ASSERT_TRUE(peer.write(send("URLAuthenticationChallenge.getProtectionSpace", {challengeRef})));
  auto space = peer.readUntil(
      [&](const json& line) {
        return line.value("channel", "") == kPrefix + "URLProtectionSpace.pigeon_newInstance";
      },
      10);
  ASSERT_TRUE(space);
  const json& fields = (*space)["message"];
  EXPECT_EQ(json(std::vector<json>(fields.begin() + 1, fields.end())),
            json::array({"a.invalid", 443, "r", "NSURLAuthenticationMethodHTTPBasic"}));
  ASSERT_TRUE(
      peer.write(send("URLProtectionSpace.getServerTrust", {ref(fields[0].get<std::int64_t>())})));
  ASSERT_TRUE(peer.write(send("URLCredential.withUser", {50, "u", "p", ext(142, 1)})));
  ASSERT_TRUE(
      peer.write(send("AuthenticationChallengeResponse.createAsync", {ext(141, 0), ref(50)})));
  ASSERT_TRUE(
      peer.write(send("AuthenticationChallengeResponse.createAsync", {ext(141, 4), nullptr})));
  auto response = peer.readUntil(
      [&](const json& line) {
        return line.value("op", "") == "reply" &&
               line.value("channel", "") == kPrefix + "AuthenticationChallengeResponse.createAsync";
      },
      10);
  ASSERT_TRUE(response);
  ASSERT_TRUE(peer.write(json{
      {"op", "reply"}, {"incomingId", (*held)["incomingId"]}, {"reply", (*response)["reply"]}}));
  // An error reply to a second challenge: cancel, no credential.
  ASSERT_TRUE(peer.write(answer(challenge, {{"e", "m", nullptr}})));
  ASSERT_TRUE(peer.write(engine("challenge", {{"webView", 11}, {"realm", "r"}})));
  ASSERT_TRUE(peer.write(await(challenge, 2)));
  ASSERT_TRUE(peer.write(send("NSViewWKWebView.getUrl", {ref(11)})));
  ASSERT_TRUE(peer.write(engine("describe", {{"identifier", 11}})));
  auto described =
      peer.readUntil([](const json& line) { return line.value("method", "") == "describe"; }, 10);
  ASSERT_TRUE(described);

  PeerRun run;
  run.lines = peer.lines();
  auto trust = run.withOp("reply", kPrefix + "URLProtectionSpace.getServerTrust");
  ASSERT_EQ(trust.size(), 1u);
  EXPECT_EQ(trust[0]["reply"], json::array({nullptr}));
  auto created = run.withOp("reply", kPrefix + "AuthenticationChallengeResponse.createAsync");
  ASSERT_EQ(created.size(), 2u);
  EXPECT_EQ(created[1]["reply"][0], "UnknownEnumError");
  EXPECT_EQ(created[1]["reply"][1], "unknown doesn't represent a native value.");
  EXPECT_EQ(incoming(run, "AuthenticationChallengeResponse.pigeon_newInstance").at(0)[1],
            ext(141, 0));
  auto handlers = (*described)["result"]["state"]["handlers"];
  ASSERT_EQ(handlers.size(), 2u);
  EXPECT_EQ(handlers[0]["answer"], (json{{"disposition", 0},
                                         {"user", "u"},
                                         {"password", "p"},
                                         {"persistence", 1},
                                         {"trust", false}}));
  EXPECT_EQ(handlers[1]["answer"], (json{{"disposition", 2}}));
  EXPECT_EQ(host.logLines(challenge).size(), 1u) << host.log();
}

}  // namespace
}  // namespace lumora::e2e

namespace lumora::e2e {
namespace {

const std::string kChallenge = "WKNavigationDelegate.didReceiveAuthenticationChallenge";

platform::Bytes fromHex(const std::string& hex) {
  platform::Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// Sends `method` and waits for its reply list (null when none came).
json request(PeerSession& peer, const std::string& method, json arguments) {
  if (!peer.write(send(method, std::move(arguments)))) return nullptr;
  auto line = peer.readUntil(
      [&](const json& l) {
        return l.value("op", "") == "reply" && l.value("channel", "") == kPrefix + method;
      },
      10);
  return line ? (*line)["reply"] : json(nullptr);
}
// The fields after the identifier of the next announcement on `api`.
json announced(PeerSession& peer, const std::string& api) {
  auto line = peer.readUntil(
      [&](const json& l) {
        return l.value("op", "") == "incoming" &&
               l.value("channel", "") == kPrefix + api + ".pigeon_newInstance";
      },
      10);
  if (!line) return nullptr;
  const json& message = (*line)["message"];
  return json(std::vector<json>(message.begin() + 1, message.end()));
}

// A server-trust challenge for "localhost" held at the application, followed to its trust.
struct HeldTrust {
  json challenge;    // the held incoming line
  json spaceFields;  // the protection space's announced fields
  json trust;        // a reference to the space's trust
};
std::optional<HeldTrust> holdServerTrust(PeerSession& peer, json chain, json anchors) {
  if (!peer.write(engine("challenge", {{"webView", 11},
                                       {"host", "localhost"},
                                       {"port", 443},
                                       {"chain", std::move(chain)},
                                       {"anchors", std::move(anchors)}})))
    return std::nullopt;
  HeldTrust held;
  auto line = peer.readUntil(
      [&](const json& l) {
        return l.value("op", "") == "incoming" && l.value("channel", "") == kPrefix + kChallenge;
      },
      10);
  if (!line) return std::nullopt;
  held.challenge = *line;
  const json space =
      request(peer, "URLAuthenticationChallenge.getProtectionSpace", {(*line)["message"][2]});
  held.spaceFields = announced(peer, "URLProtectionSpace");
  held.trust = request(peer, "URLProtectionSpace.getServerTrust", {space[0]})[0];
  return held;
}
bool replyTo(PeerSession& peer, const HeldTrust& held, const json& reply) {
  return peer.write(
      json{{"op", "reply"}, {"incomingId", held.challenge["incomingId"]}, {"reply", reply}});
}
// A web view with delegates whose challenges are held until answered.
void holdChallenges(PeerSession& peer) {
  for (const auto& command : webViewWithDelegates())
    ASSERT_TRUE(peer.write(command));
  ASSERT_TRUE(
      peer.write(json{{"op", "answer"}, {"channel", kPrefix + kChallenge}, {"hold", true}}));
}

TEST(WebViewDelegatesE2E, ServerTrustChallengesAreEvaluatedInspectedAndAnswered) {
  platform::CertificateFixturesForTesting fixtures;
  ASSERT_TRUE(fixtures.ok()) << fixtures.failure();
  Host host(testHost());
  PeerSession peer(host);
  holdChallenges(peer);
  const json anchors = {fixtures.path("ca.der")};

  // The CA-anchored chain: trusted; its chain reads back as the fixtures' certificates.
  auto anchored =
      holdServerTrust(peer, {fixtures.path("leaf.der"), fixtures.path("ca.der")}, anchors);
  ASSERT_TRUE(anchored);
  EXPECT_EQ(anchored->spaceFields,
            json::array({"localhost", 443, nullptr, "NSURLAuthenticationMethodServerTrust"}));
  const json first = anchored->trust;
  const json second = request(peer, "URLProtectionSpace.getServerTrust",
                              {request(peer, "URLAuthenticationChallenge.getProtectionSpace",
                                       {anchored->challenge["message"][2]})[0]})[0];
  ASSERT_TRUE(first.is_object() && second.is_object()) << first << second;
  EXPECT_NE(first, second);
  EXPECT_EQ(request(peer, "SecTrust.evaluateWithError", {first}), json::array({true}));
  request(peer, "SecTrust.getTrustResult", {first});
  EXPECT_EQ(announced(peer, "GetTrustResultResponse"), json::array({ext(143, 0), 0}));
  const json chain = request(peer, "SecTrust.copyCertificateChain", {first});
  ASSERT_EQ(chain[0].size(), 2u) << chain;
  std::vector<std::string> subjects;
  for (const auto& certificate : chain[0]) {
    const json data = request(peer, "SecCertificate.copyData", {certificate});
    subjects.push_back(fixtures.subjectOf(fromHex(data[0].value("$uint8", ""))));
  }
  EXPECT_EQ(subjects,
            (std::vector<std::string>{platform::CertificateFixturesForTesting::kLeafSubject,
                                      platform::CertificateFixturesForTesting::kCASubject}));
  // Answered with a credential for the trust the second wrapper holds.
  const json credential = request(peer, "URLCredential.serverTrustAsync", {second});
  const json response =
      request(peer, "AuthenticationChallengeResponse.createAsync", {ext(141, 0), credential[0]});
  ASSERT_TRUE(replyTo(peer, *anchored, response));

  // The self-signed leaf: refused with the error's domain and description, then let through by
  // its exceptions.
  auto selfSigned = holdServerTrust(peer, {fixtures.path("self.pem")}, anchors);
  ASSERT_TRUE(selfSigned);
  const json refused = request(peer, "SecTrust.evaluateWithError", {selfSigned->trust});
  ASSERT_EQ(refused.size(), 3u) << refused;
  EXPECT_EQ(refused[0], "NSOSStatusErrorDomain");
  EXPECT_NE(refused[1].get<std::string>().find("\"localhost\" is not trusted"), std::string::npos)
      << refused;
  EXPECT_EQ(refused[2], nullptr);
  request(peer, "SecTrust.getTrustResult", {selfSigned->trust});
  EXPECT_EQ(announced(peer, "GetTrustResultResponse"), json::array({ext(143, 3), 0}));
  const json exceptions = request(peer, "SecTrust.copyExceptions", {selfSigned->trust});
  EXPECT_EQ(request(peer, "SecTrust.setExceptions", {selfSigned->trust, exceptions[0]}),
            json::array({true}));
  EXPECT_EQ(request(peer, "SecTrust.evaluateWithError", {selfSigned->trust}), json::array({true}));
  request(peer, "SecTrust.getTrustResult", {selfSigned->trust});
  EXPECT_EQ(announced(peer, "GetTrustResultResponse"), json::array({ext(143, 1), 0}));
  ASSERT_TRUE(replyTo(
      peer, *selfSigned,
      request(peer, "AuthenticationChallengeResponse.createAsync", {ext(141, 1), nullptr})));

  ASSERT_TRUE(peer.write(send("NSViewWKWebView.getUrl", {ref(11)})));
  ASSERT_TRUE(peer.write(engine("describe", {{"identifier", 11}})));
  auto described =
      peer.readUntil([](const json& line) { return line.value("method", "") == "describe"; }, 10);
  ASSERT_TRUE(described);
  const auto handlers = (*described)["result"]["state"]["handlers"];
  ASSERT_EQ(handlers.size(), 2u) << handlers;
  EXPECT_EQ(handlers[0]["answer"], (json{{"disposition", 0},
                                         {"user", nullptr},
                                         {"password", nullptr},
                                         {"persistence", 1},
                                         {"trust", true},
                                         {"trustOfThisChallenge", true}}));
  EXPECT_EQ(handlers[1]["answer"], (json{{"disposition", 1}}));
  EXPECT_TRUE(host.logLines(kChallenge).empty()) << host.log();
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
}

TEST(WebViewDelegatesE2E, AnEmptyChainIsAnEmptyListFromTwelveAndNoneBefore) {
  for (const auto& [version, expected] :
       {std::pair<std::string, json>{"12.0", json::array()}, {"11.0", nullptr}}) {
    Host host(testHost({{"LUMORA_OS_VERSION", version}}));
    PeerSession peer(host);
    holdChallenges(peer);
    auto held = holdServerTrust(peer, json::array(), json::array());
    ASSERT_TRUE(held) << version;
    EXPECT_EQ(request(peer, "SecTrust.copyCertificateChain", {held->trust}),
              json::array({expected}))
        << version;
    EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
  }
}

}  // namespace
}  // namespace lumora::e2e
