// The preferences plugin's two interfaces through the real host and lumora-peer.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "tests/e2e/e2e_harness.h"

namespace lumora::e2e {
namespace {

using nlohmann::json;

std::string channel(const std::string& api, const std::string& method) {
  return "dev.flutter.pigeon.shared_preferences_foundation." + api + "." + method;
}

// The options record travels under its plugin type byte.
json options(json suite = nullptr) {
  return json{{"$ext", 129}, {"value", {std::move(suite)}}};
}

json current(const std::string& method, json arguments, const std::string& id) {
  return json{{"op", "send"},
              {"channel", channel("UserDefaultsApi", method)},
              {"message", std::move(arguments)},
              {"id", id}};
}

json legacy(const std::string& method, json arguments, const std::string& id) {
  return json{{"op", "send"},
              {"channel", channel("LegacyUserDefaultsApi", method)},
              {"message", std::move(arguments)},
              {"id", id}};
}

// The reply list of the command with `id`.
json replyOf(const PeerRun& run, const std::string& id) {
  for (const auto& line : run.lines) {
    if (line.value("id", "") == id) return line.value("reply", json());
  }
  ADD_FAILURE() << "no reply for " << id << " in " << json(run.lines).dump();
  return json();
}

PeerRun runOk(const Host& host, const std::vector<json>& commands) {
  PeerRun r = runPeer(host, commands);
  EXPECT_EQ(r.exitCode, 0) << r.errors << "\n" << host.log();
  return r;
}

TEST(SharedPreferencesEndToEndTest, CurrentInterfaceWithAndWithoutSuite) {
  Host host;
  for (json suite : {json(nullptr), json("group.lumora.shared")}) {
    SCOPED_TRACE(suite.dump());
    PeerRun r =
        runOk(host, {
                        current("set", {"flutter.name", "Ada", options(suite)}, "setName"),
                        current("set", {"flutter.count", 3, options(suite)}, "setCount"),
                        current("set", {"flutter.tags", {"a", "b"}, options(suite)}, "setTags"),
                        current("set", {"other", 2.5, options(suite)}, "setOther"),
                        current("getValue", {"flutter.count", options(suite)}, "getValue"),
                        current("getValue", {"missing", options(suite)}, "getMissing"),
                        current("getAll", {nullptr, options(suite)}, "getAll"),
                        current("getAll", {{"flutter.name", "nope"}, options(suite)}, "getAllowed"),
                        current("getKeys", {{"flutter.name", "other"}, options(suite)}, "getKeys"),
                        current("clear", {{"flutter.name"}, options(suite)}, "clearSome"),
                        current("getKeys", {nullptr, options(suite)}, "keysAfterClear"),
                        current("clear", {nullptr, options(suite)}, "clearAll"),
                        current("getAll", {nullptr, options(suite)}, "empty"),
                    });
    EXPECT_EQ(replyOf(r, "setName"), json::array({nullptr}));
    EXPECT_EQ(replyOf(r, "getValue"), json::array({3}));
    EXPECT_EQ(replyOf(r, "getMissing"), json::array({nullptr}));
    EXPECT_EQ(replyOf(r, "getAll"), json::array({{{"flutter.count", 3},
                                                  {"flutter.name", "Ada"},
                                                  {"flutter.tags", {"a", "b"}},
                                                  {"other", 2.5}}}));
    EXPECT_EQ(replyOf(r, "getAllowed"), json::array({{{"flutter.name", "Ada"}}}));
    EXPECT_EQ(replyOf(r, "getKeys"), json::array({{"flutter.name", "other"}}));
    EXPECT_EQ(replyOf(r, "keysAfterClear"),
              json::array({{"flutter.count", "flutter.tags", "other"}}));
    EXPECT_EQ(replyOf(r, "empty"), json::array({json::object()}));
  }
}

TEST(SharedPreferencesEndToEndTest, LegacyInterfaceByPrefixAndAllowList) {
  Host host;
  PeerRun r =
      runOk(host, {
                      legacy("setBool", {"flutter.on", true}, "b"),
                      legacy("setDouble", {"flutter.ratio", 0.25}, "d"),
                      legacy("setValue", {"flutter.list", {"x"}}, "v"),
                      legacy("setValue", {"app.other", "kept"}, "o"),
                      legacy("getAll", {"flutter.", nullptr}, "all"),
                      legacy("getAll", {"flutter.", {"flutter.on", "app.other"}}, "allowed"),
                      legacy("remove", {"flutter.list"}, "remove"),
                      legacy("clear", {"flutter.", nullptr}, "clear"),
                      legacy("getAll", {"", nullptr}, "left"),
                      // The legacy interface works on the application's own preferences, as "set"
                      // without a suite does.
                      current("getValue", {"app.other", options()}, "sameDomain"),
                  });
  EXPECT_EQ(
      replyOf(r, "all"),
      json::array({{{"flutter.list", {"x"}}, {"flutter.on", true}, {"flutter.ratio", 0.25}}}));
  EXPECT_EQ(replyOf(r, "allowed"), json::array({{{"flutter.on", true}}}));
  EXPECT_EQ(replyOf(r, "remove"), json::array({nullptr}));
  EXPECT_EQ(replyOf(r, "clear"), json::array({true}));
  EXPECT_EQ(replyOf(r, "left"), json::array({{{"app.other", "kept"}}}));
  EXPECT_EQ(replyOf(r, "sameDomain"), json::array({"kept"}));
}

TEST(SharedPreferencesEndToEndTest, ValuesSurviveAHostRestart) {
  Host first;
  runOk(first, {
                   current("set", {"flutter.token", "abc", options()}, "app"),
                   current("set", {"flutter.level", 7, options("group.lumora.shared")}, "suite"),
                   legacy("setBool", {"flutter.flag", true}, "legacy"),
               });
  ASSERT_EQ(first.stop(SIGTERM), 0) << first.log();

  Host second(HostOptions{hostExecutable(), {}, {{"LUMORA_HOME", first.home().string()}}});
  PeerRun r = runOk(
      second, {
                  current("getAll", {nullptr, options()}, "app"),
                  current("getValue", {"flutter.level", options("group.lumora.shared")}, "suite"),
              });
  EXPECT_EQ(replyOf(r, "app"), json::array({{{"flutter.flag", true}, {"flutter.token", "abc"}}}));
  EXPECT_EQ(replyOf(r, "suite"), json::array({7}));
}

TEST(SharedPreferencesEndToEndTest, RefusedSuiteAndUnstorableValuesAreErrorsThatStoreNothing) {
  Host host;
  PeerRun r = runOk(host, {
                              current("set", {"k", 1, options("bad/suite")}, "badSuite"),
                              current("getAll", {nullptr, options("bad/suite")}, "badSuiteRead"),
                              current("set", {"k", {{"$uint8", "0102"}}, options()}, "typedData"),
                              legacy("setValue", {"k", {"a", nullptr}}, "nullInList"),
                              current("set", {"k", {{"$map", {{1, "x"}}}}, options()}, "intKeys"),
                              current("getAll", {nullptr, options()}, "nothing"),
                          });
  const json argumentError =
      json::array({"Argument Error", "The provided Suite Name 'bad/suite' does not exist", ""});
  EXPECT_EQ(replyOf(r, "badSuite"), argumentError);
  EXPECT_EQ(replyOf(r, "badSuiteRead"), argumentError);
  for (const char* id : {"typedData", "nullInList", "intKeys"}) {
    SCOPED_TRACE(id);
    json reply = replyOf(r, id);
    ASSERT_EQ(reply.size(), 3u) << reply.dump();
    EXPECT_EQ(reply[0], "invalid-arguments");
    EXPECT_NE(reply[1].get<std::string>().find("'k'"), std::string::npos);
  }
  EXPECT_EQ(replyOf(r, "nothing"), json::array({json::object()}));
}

}  // namespace
}  // namespace lumora::e2e
