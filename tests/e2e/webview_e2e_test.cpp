// The web view bridge's instance manager through the test host: native objects announced by the
// test plugin's simulated engine, released by the application, dying and being reported.
#include <gtest/gtest.h>

#include "tests/e2e/e2e_harness.h"

namespace lumora::e2e {
namespace {

using nlohmann::json;

const std::string kPrefix = "dev.flutter.pigeon.webview_flutter_wkwebview.";
const std::string kRemove = kPrefix + "PigeonInternalInstanceManager.removeStrongReference";
const std::string kNewObject = kPrefix + "NSObject.pigeon_newInstance";

HostOptions testHost() {
  HostOptions options;
  options.executable = testHostExecutable();
  return options;
}

json engine(const std::string& method, json args = nullptr) {
  return json{
      {"op", "invoke"}, {"channel", "lumora_test/webkit"}, {"method", method}, {"args", args}};
}
json send(const std::string& channel, json message) {
  return json{{"op", "send"}, {"channel", channel}, {"message", message}};
}

std::vector<json> messages(const PeerRun& run, const std::string& channel) {
  std::vector<json> out;
  for (const auto& line : run.withOp("incoming", channel))
    out.push_back(line["message"]);
  return out;
}

TEST(WebViewE2E, AnnouncedObjectsAreReleasedAndReportedOnceAndClearRestartsNumbering) {
  Host host(testHost());
  auto run =
      runPeer(host, {
                        {{"op", "answer"}, {"prefix", kPrefix}, {"reply", json::array({nullptr})}},
                        engine("announce"),
                        engine("announce"),
                        send(kRemove, {65536}),
                        engine("dropNative", {{"identifier", 65536}}),
                        {{"op", "await"}, {"channel", kRemove}, {"count", 1}, {"timeoutMs", 5000}},
                        send(kPrefix + "PigeonInternalInstanceManager.clear", nullptr),
                        engine("dropNative", {{"identifier", 65537}}),
                        engine("announce"),
                        send(kRemove, {424242}),
                        send(kRemove, {"x"}),
                        engine("describe", {{"identifier", 65536}}),
                    });
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  auto results = run.withOp("result", "lumora_test/webkit");
  ASSERT_EQ(results.size(), 6u);
  EXPECT_EQ(results[0]["result"], 65536);
  EXPECT_EQ(results[1]["result"], 65537);
  EXPECT_EQ(results[4]["result"], 65536);  // numbering restarted after "clear"
  EXPECT_EQ(results[5]["result"]["registered"], true);
  EXPECT_EQ(results[5]["result"]["keptNatively"], true);
  EXPECT_EQ(messages(run, kNewObject), (std::vector<json>{{65536}, {65537}, {65536}}));
  // One report, for the object that died before "clear"; none for the one after it.
  EXPECT_EQ(messages(run, kRemove), std::vector<json>{{65536}});
  EXPECT_EQ(run.withOp("awaited").size(), 1u);
  auto replies = run.withOp("reply", kRemove);
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0]["reply"], json::array({nullptr}));
  EXPECT_EQ(replies[1]["reply"], json::array({nullptr}));
  EXPECT_EQ(replies[2]["reply"][0], "invalid-arguments");
}

TEST(WebViewE2E, MalformedRepliesIgnoredCallsAndMissingDelegatesLeaveTheHostServing) {
  Host host(testHost());
  auto run =
      runPeer(host, {
                        {{"op", "answer"}, {"prefix", kPrefix}, {"reply", json::array({nullptr})}},
                        {{"op", "answer"},
                         {"channel", kRemove},
                         {"replies", json::array({json::array({"a", "b"}), json::array()})}},
                        engine("announce"),
                        engine("announce"),
                        send(kRemove, {65536}),
                        send(kRemove, {65537}),
                        engine("dropNative", {{"identifier", 65536}}),
                        engine("dropNative", {{"identifier", 65537}}),
                        {{"op", "await"}, {"channel", kRemove}, {"count", 2}, {"timeoutMs", 5000}},
                        engine("ignoreCallsToDart", {{"flag", true}}),
                        engine("announce"),
                        // Every interface has a native side now: a method no interface has.
                        send(kPrefix + "SecTrust.noSuchMethod", {1}),
                        send(kRemove, {1}),
                    });
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_EQ(messages(run, kRemove), (std::vector<json>{{65536}, {65537}}));
  EXPECT_EQ(messages(run, kNewObject), (std::vector<json>{{65536}, {65537}}));
  auto results = run.withOp("result", "lumora_test/webkit");
  ASSERT_EQ(results.size(), 6u);
  EXPECT_TRUE(results[5]["result"].is_null());  // nothing announced while ignoring
  auto missing = run.withOp("reply", kPrefix + "SecTrust.noSuchMethod");
  ASSERT_EQ(missing.size(), 1u);
  EXPECT_EQ(missing[0].value("empty", false), true);
  auto last = run.withOp("reply", kRemove);
  ASSERT_FALSE(last.empty());
  EXPECT_EQ(last.back()["reply"], json::array({nullptr}));
  EXPECT_FALSE(host.logHasSanitizerReport());
}

// Identifiers learned at run time: the test drives one lumora-peer line by line, using the
// identifier of an announcement and the id of a held message it has just read.
TEST(WebViewE2E, AnInteractiveSessionUsesIdentifiersLearnedAtRunTime) {
  Host host(testHost());
  PeerSession peer(host);
  peer.write({{"op", "answer"}, {"prefix", kPrefix}, {"reply", json::array({nullptr})}});
  peer.write({{"op", "answer"}, {"channel", kNewObject}, {"hold", true}});
  peer.write(engine("announce"));
  auto held = peer.readOp("incoming", kNewObject);
  ASSERT_TRUE(held) << peer.finish().errors;
  const json identifier = (*held)["message"][0];
  EXPECT_GE(identifier.get<std::int64_t>(), 65536);
  peer.write(
      {{"op", "reply"}, {"incomingId", (*held)["incomingId"]}, {"reply", json::array({nullptr})}});
  auto announced = peer.readOp("result", "lumora_test/webkit");
  ASSERT_TRUE(announced);
  EXPECT_EQ((*announced)["result"], identifier);

  peer.write(send(kRemove, json::array({identifier})));
  peer.write(engine("dropNative", {{"identifier", identifier}}));
  auto report = peer.readOp("incoming", kRemove);
  ASSERT_TRUE(report) << "no removeStrongReference for " << identifier;
  EXPECT_EQ((*report)["message"], json::array({identifier}));
  // Nothing else is reported within the deadline.
  EXPECT_FALSE(peer.readOp("incoming", kRemove, 0.3));

  auto run = peer.finish();
  EXPECT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_EQ(run.withOp("incoming", kNewObject).size(), 1u);
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
}

}  // namespace
}  // namespace lumora::e2e
