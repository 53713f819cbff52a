// The preferences plugin's two interfaces through the real host and lumora-peer.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <string>

#include "platform/foundation/property_list.h"
#include "platform/foundation/testing/expanding_property_list_for_testing.h"
#include "platform/foundation/testing/scratch_dir_for_testing.h"
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

// The largest resident size the process has had, in bytes.
long peakResidentBytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6)) * 1024;
  }
  return -1;
}

// The application's domain file holds 13 KB of shared references that read as copies would
// take about 10^21 bytes. The host must refuse it within bounded memory, set it aside, and
// keep serving; a host reading a plain file of the same size is the baseline.
TEST(SharedPreferencesEndToEndTest, AnExpandingPreferencesFileIsRefusedWithinBoundedMemory) {
  const platform::Bytes bomb = platform::expandingPropertyListForTesting("flutter.bomb");
  ASSERT_LT(bomb.size(), 14000u);
  platform::ValueMap plain;
  for (int i = 0; i < 130; ++i)
    plain[platform::Value("flutter.k" + std::to_string(i))] = std::string(80, 'x');
  const platform::Bytes plainData =
      *platform::dataFromPropertyList(platform::Value(plain), platform::PropertyListFormat::Binary);

  long peak[2] = {0, 0};
  for (int withBomb = 0; withBomb < 2; ++withBomb) {
    platform::ScratchDirForTesting home;
    std::filesystem::create_directories(home / "Preferences");
    const std::string file = home / "Preferences/com.lumora.host.plist";
    const platform::Bytes& data = withBomb ? bomb : plainData;
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
    Host host(HostOptions{hostExecutable(), {}, {{"LUMORA_HOME", home.path()}}});
    PeerRun r = runOk(host, {
                                current("getAll", {nullptr, options()}, "all"),
                                current("set", {"flutter.after", 1, options()}, "set"),
                                current("getValue", {"flutter.after", options()}, "get"),
                            });
    peak[withBomb] = peakResidentBytes(host.pid());
    ASSERT_GT(peak[withBomb], 0);
    EXPECT_EQ(replyOf(r, "get"), json::array({1}));
    if (withBomb) {
      EXPECT_EQ(replyOf(r, "all"), json::array({json::object()}));
      EXPECT_EQ(host.logLines("is damaged").size(), 1u) << host.log();
      EXPECT_TRUE(std::filesystem::exists(file + ".damaged"));
    } else {
      EXPECT_EQ(replyOf(r, "all")[0].size(), 130u);
    }
    EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
  }
  EXPECT_LT(peak[1] - peak[0], 64l << 20)
      << "baseline " << peak[0] << ", with the file " << peak[1];
}

TEST(SharedPreferencesEndToEndTest, AValuePastTheSizeLimitIsRefusedAndNothingIsStored) {
  Host host;
  const std::string huge(2 << 20, 'x');
  PeerRun r = runOk(host, {
                              current("set", {"flutter.big", huge, options()}, "current"),
                              legacy("setValue", {"flutter.big", huge}, "legacy"),
                              current("getAll", {nullptr, options()}, "nothing"),
                          });
  for (const char* id : {"current", "legacy"}) {
    json reply = replyOf(r, id);
    ASSERT_EQ(reply.size(), 3u) << reply.dump().substr(0, 200);
    EXPECT_EQ(reply[0], "invalid-arguments");
    EXPECT_NE(reply[1].get<std::string>().find("limit"), std::string::npos);
  }
  EXPECT_EQ(replyOf(r, "nothing"), json::array({json::object()}));
}

}  // namespace
}  // namespace lumora::e2e
