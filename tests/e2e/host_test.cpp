#include <algorithm>
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <regex>

#include "runner/generated_plugin_registrant.h"
#include "tests/e2e/e2e_harness.h"

namespace lumora::e2e {
namespace {

using nlohmann::json;

std::string hostApi(const std::string& method) {
  return "dev.flutter.pigeon.lumora_test.LumoraTestHostApi." + method;
}

json send(const std::string& channel, json message) {
  return json{{"op", "send"}, {"channel", channel}, {"message", std::move(message)}};
}

TEST(HostEndToEndTest, RegistersThePluginsInTableOrderAndEndsOnSigterm) {
  Host host;
  // An unknown channel gets the empty reply, which also shows the host is serving.
  auto run = runPeer(host, {send("no.such.channel", "hello")});
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  auto replies = run.withOp("reply", "no.such.channel");
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].value("empty", false), true);
  EXPECT_TRUE(replies[0]["reply"].is_null());

  std::vector<std::pair<int, std::string>> logged;
  std::regex pattern("registered plugin ([0-9]+) ([A-Za-z]+)");
  for (const auto& line : host.logLines("registered plugin ")) {
    std::smatch m;
    ASSERT_TRUE(std::regex_search(line, m, pattern)) << line;
    logged.emplace_back(std::stoi(m[1]), m[2]);
  }
  std::vector<std::pair<int, std::string>> expected;
  for (const auto& row : generatedPluginTable())
    expected.emplace_back(row.position, row.key);
  // The host has a media backend (GStreamer), so the video player's row is there too; this test
  // process has none, so its table lacks the row.
  const std::pair<int, std::string> video{10, "VideoPlayerPlugin"};
  if (std::find(expected.begin(), expected.end(), video) == expected.end()) {
    expected.push_back(video);
    std::sort(expected.begin(), expected.end());
  }
  EXPECT_EQ(logged, expected) << host.log();
  EXPECT_NE(std::find(logged.begin(), logged.end(), std::make_pair(4, std::string("FvpPlugin"))),
            logged.end());

  // SIGTERM closes the main window, which ends the application with status 0.
  EXPECT_EQ(host.stop(SIGTERM), 0) << host.log();
  EXPECT_FALSE(std::filesystem::exists(host.socketPath()));
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
}

TEST(HostEndToEndTest, SigintEndsTheHostToo) {
  Host host;
  auto run = runPeer(host, {send("no.such.channel", nullptr)});
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_EQ(host.stop(SIGINT), 0) << host.log();
}

class TestHostEndToEndTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(host.stop(SIGTERM), 0) << host.log();
    EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
  }
  Host host{HostOptions{testHostExecutable(), {}, {}}};
};

TEST_F(TestHostEndToEndTest, GeneratedInterfaceRepliesFollowTheConvention) {
  auto run =
      runPeer(host, {
                        send(hostApi("voidMethod"), nullptr),
                        send(hostApi("throwingMethod"), json::array()),
                        send(hostApi("echoString"), json::array({"round trip"})),
                        send(hostApi("echoString"), json::array({5})),
                        send(hostApi("echoString"), json::array()),
                        send(hostApi("echoString"), "not a list"),
                        json{{"op", "raw"}, {"channel", hostApi("echoString")}, {"hex", "0c0105"}},
                        send(hostApi("handlersOnMainThread"), nullptr),
                    });
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  auto replies = run.withOp("reply");
  ASSERT_EQ(replies.size(), 7u) << json(run.lines).dump();

  EXPECT_EQ(replies[0]["reply"], json::array({nullptr}));

  const json& thrown = replies[1]["reply"];
  ASSERT_TRUE(thrown.is_array());
  ASSERT_EQ(thrown.size(), 3u);
  EXPECT_EQ(thrown[0], "thrown by the test plugin");
  EXPECT_EQ(thrown[1], "runtime_error");
  EXPECT_EQ(thrown[2].get<std::string>().rfind("Stacktrace: ", 0), 0u);

  EXPECT_EQ(replies[2]["reply"], json::array({"round trip"}));

  // Wrong type, too short, not a list: ["invalid-arguments", message, null].
  for (int i : {3, 4, 5}) {
    SCOPED_TRACE(i);
    const json& reply = replies[i]["reply"];
    ASSERT_EQ(reply.size(), 3u) << reply.dump();
    EXPECT_EQ(reply[0], "invalid-arguments");
    EXPECT_NE(reply[1].get<std::string>().find("echoString"), std::string::npos);
    EXPECT_TRUE(reply[2].is_null());
  }
  EXPECT_NE(replies[3]["reply"][1].get<std::string>().find("argument 0"), std::string::npos);
  // An undecodable request (type byte 5) gets the same error, as raw bytes.
  auto raw = run.withOp("rawReply");
  ASSERT_EQ(raw.size(), 1u);
  // [ "invalid-arguments", ...: list of 3, string of 17 bytes.
  EXPECT_EQ(raw[0]["hex"].get<std::string>().substr(0, 42),
            "0c030711696e76616c69642d617267756d656e7473");

  // Every handler above ran on the main thread.
  EXPECT_EQ(replies[6]["reply"], json::array({true}));
}

TEST_F(TestHostEndToEndTest, EventChannelDeliversAfterListenAndNotAfterCancel) {
  const std::string events = "lumora_test/events";
  auto run = runPeer(
      host, {
                send(hostApi("emitEvents"), json::array({2})),
                json{{"op", "listen"}, {"channel", events}},
                send(hostApi("emitEvents"), json::array({2})),
                json{{"op", "cancel"}, {"channel", events}},
                send(hostApi("emitEvents"), json::array({2})),
                json{{"op", "invoke"}, {"channel", "lumora_test/methods"}, {"method", "ping"}},
                json{{"op", "invoke"}, {"channel", "lumora_test/methods"}, {"method", "unknown"}},
                send(hostApi("handlersOnMainThread"), nullptr),
            });
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  auto got = run.withOp("event", events);
  ASSERT_EQ(got.size(), 2u) << json(run.lines).dump();
  EXPECT_EQ(got[0]["event"], "event 0");
  EXPECT_EQ(got[1]["event"], "event 1");
  auto replies = run.withOp("reply", hostApi("emitEvents"));
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0]["reply"], json::array({0}));
  EXPECT_EQ(replies[1]["reply"], json::array({2}));
  EXPECT_EQ(replies[2]["reply"], json::array({0}));
  auto results = run.withOp("result");
  ASSERT_EQ(results.size(), 3u);  // listen, cancel, ping
  EXPECT_EQ(results[2]["result"], "pong");
  EXPECT_EQ(run.withOp("notImplemented", "lumora_test/methods").size(), 1u);
  EXPECT_EQ(run.withOp("reply", hostApi("handlersOnMainThread"))[0]["reply"], json::array({true}));
}

TEST_F(TestHostEndToEndTest, HostCallsIntoTheApplicationAreAnsweredAsScripted) {
  const std::string ask = "dev.flutter.pigeon.lumora_test.LumoraTestFlutterApi.ask";
  auto run = runPeer(
      host, {
                send(hostApi("askApplication"), json::array({"unanswered"})),
                json{{"op", "answer"}, {"channel", ask}, {"reply", json::array({"answered"})}},
                send(hostApi("askApplication"), json::array({"question"})),
            });
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  auto incoming = run.withOp("incoming", ask);
  ASSERT_EQ(incoming.size(), 2u);
  EXPECT_EQ(incoming[1]["message"], json::array({"question"}));
  auto replies = run.withOp("reply", hostApi("askApplication"));
  ASSERT_EQ(replies.size(), 2u);
  // Unanswered (the empty reply): the channel error of the convention.
  EXPECT_EQ(replies[0]["reply"][0], "channel-error");
  EXPECT_EQ(replies[1]["reply"], json::array({"answered"}));
}

}  // namespace
}  // namespace lumora::e2e
