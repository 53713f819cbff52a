// Malformed requests to the generated interfaces of the preferences and core plugins, through the
// real host and lumora-peer: every one is answered ["invalid-arguments", message naming the
// method and the argument position, null], and neither the stored preferences nor the configured
// apps change.
#include <gtest/gtest.h>
#include <signal.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "tests/e2e/e2e_harness.h"

namespace lumora::e2e {
namespace {

using nlohmann::json;

constexpr const char* kAppID = "1:1234567890:ios:0123456789abcdef";

json prefsOptions(json suite = nullptr) {
  return json{{"$ext", 129}, {"value", json::array({std::move(suite)})}};
}

json coreOptions(json appId) {
  return json{{"$ext", 129},
              {"value",
               json::array({"key", std::move(appId), "sender", "project", nullptr, nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr})}};
}

// One method of a generated interface: a well-formed argument list, for each position a value of
// another kind, and which positions may be null.
struct Method {
  std::string package;
  std::string api;
  std::string name;
  json arguments;
  std::vector<json> wrongKinds;
  std::vector<bool> nullable;

  std::string channel() const { return "dev.flutter.pigeon." + package + "." + api + "." + name; }
};

struct Case {
  std::string what;
  const Method* method;
  json message;
  std::string mentions;
};

// A JSON array, whatever its elements look like (two-element brace lists would read as objects).
json A(std::initializer_list<json> items) {
  json array = json::array();
  for (const json& item : items)
    array.push_back(item);
  return array;
}

std::vector<Method> methods() {
  const std::string prefs = "shared_preferences_foundation";
  const std::string core = "zevevidi_core_platform_interface";
  const std::string legacy = "LegacyUserDefaultsApi", current = "UserDefaultsApi";
  const json suite = prefsOptions("group.lumora.e2e");
  return {
      {prefs, legacy, "remove", A({"flutter.keep"}), {5}, {false}},
      {prefs, legacy, "setBool", A({"flutter.keep", true}), {5, 1}, {false, false}},
      {prefs, legacy, "setDouble", A({"flutter.keep", 1.5}), {5, "1.5"}, {false, false}},
      {prefs, legacy, "setValue", A({"flutter.keep", "w"}), {true, nullptr}, {false, false}},
      {prefs, legacy, "getAll", A({"flutter.", A({"a"})}), {5, "a"}, {false, true}},
      {prefs, legacy, "clear", A({"flutter.", A({"flutter.keep"})}), {5, A({1})}, {false, true}},
      {prefs,
       current,
       "set",
       A({"flutter.keep", "w", suite}),
       {5, nullptr, "opts"},
       {false, false, false}},
      {prefs, current, "clear", A({A({"flutter.keep"}), suite}), {A({A({1})}), 5}, {true, false}},
      {prefs,
       current,
       "getAll",
       A({nullptr, suite}),
       {json::object(), A({nullptr})},
       {true, false}},
      {prefs, current, "getValue", A({"flutter.keep", suite}), {1.5, A({1})}, {false, false}},
      {prefs, current, "getKeys", A({nullptr, suite}), {"a", true}, {true, false}},
      {core,
       "ZevevidiCoreHostApi",
       "initializeApp",
       A({"ghost", coreOptions(kAppID)}),
       {5, A({1})},
       {false, false}},
      {core,
       "ZevevidiAppHostApi",
       "setAutomaticDataCollectionEnabled",
       A({"keep", false}),
       {5, 0},
       {false, false}},
      {core,
       "ZevevidiAppHostApi",
       "setAutomaticResourceManagementEnabled",
       A({"keep", false}),
       {5, "no"},
       {false, false}},
      {core, "ZevevidiAppHostApi", "delete", A({"keep"}), {json::array()}, {false}},
  };
}

std::vector<Case> malformedCases(const std::vector<Method>& all) {
  std::vector<Case> cases;
  for (const Method& m : all) {
    const std::size_t n = m.arguments.size();
    // Short: cut before the last position that must be given.
    std::size_t lastRequired = n;
    while (lastRequired > 0 && m.nullable[lastRequired - 1])
      --lastRequired;
    json cut = json::array();
    for (std::size_t i = 0; i + 1 < lastRequired; ++i)
      cut.push_back(m.arguments[i]);
    cases.push_back({"short list", &m, cut, "argument " + std::to_string(lastRequired - 1)});
    for (std::size_t i = 0; i < n; ++i) {
      json wrong = m.arguments;
      wrong[i] = m.wrongKinds[i];
      cases.push_back(
          {"wrong kind at " + std::to_string(i), &m, wrong, "argument " + std::to_string(i)});
      if (!m.nullable[i]) {
        json null = m.arguments;
        null[i] = nullptr;
        cases.push_back(
            {"null at " + std::to_string(i), &m, null, "argument " + std::to_string(i)});
      }
      // Where a record goes: a type byte no codec of these plugins has, and an
      // enumeration-shaped value under the record's own byte.
      if (m.arguments[i].is_object()) {
        for (json odd : {json{{"$ext", 131}, {"value", 0}}, json{{"$ext", 129}, {"value", 7}}}) {
          json request = m.arguments;
          request[i] = odd;
          cases.push_back({"undecodable " + odd.dump(), &m, request, "cannot be decoded"});
        }
      }
    }
  }
  return cases;
}

json command(const Method& m, json message, const std::string& id) {
  return json{
      {"op", "send"}, {"channel", m.channel()}, {"message", std::move(message)}, {"id", id}};
}

json replyOf(const PeerRun& run, const std::string& id) {
  for (const auto& line : run.lines) {
    if (line.value("id", "") == id) return line.value("reply", json());
  }
  ADD_FAILURE() << "no reply for " << id;
  return json();
}

TEST(GeneratedInterfacesEndToEndTest, MalformedRequestsAreRefusedAndChangeNothing) {
  Host host;
  const auto all = methods();
  auto find = [&all](const std::string& api, const std::string& name) -> const Method& {
    for (const Method& m : all) {
      if (m.api == api && m.name == name) return m;
    }
    throw std::logic_error("no method " + api + "." + name);
  };
  const Method& legacySet = find("LegacyUserDefaultsApi", "setValue");
  const Method& getAllLegacy = find("LegacyUserDefaultsApi", "getAll");
  const Method& currentSet = find("UserDefaultsApi", "set");
  const Method& getAllCurrent = find("UserDefaultsApi", "getAll");
  const Method& initializeApp = find("ZevevidiCoreHostApi", "initializeApp");
  const Method& dataCollection = find("ZevevidiAppHostApi", "setAutomaticDataCollectionEnabled");
  const Method initializeCore{
      "zevevidi_core_platform_interface", "ZevevidiCoreHostApi", "initializeCore", {}, {}, {}};

  // Something to keep: one preference in each store and one configured app.
  const json suite = currentSet.arguments[2];
  PeerRun seed = runPeer(
      host, {
                command(legacySet, json::array({"flutter.keep", "v"}), "seedLegacy"),
                command(currentSet, json::array({"flutter.keep", "v", suite}), "seedSuite"),
                command(initializeApp, json::array({"keep", coreOptions(kAppID)}), "seedApp"),
                command(dataCollection, json::array({"keep", true}), "seedFlag"),
                command(initializeCore, nullptr, "before"),
                command(getAllLegacy, json::array({"", nullptr}), "legacyBefore"),
                command(getAllCurrent, json::array({nullptr, suite}), "suiteBefore"),
            });
  ASSERT_EQ(seed.exitCode, 0) << seed.errors << host.log();
  ASSERT_EQ(replyOf(seed, "seedApp").size(), 1u) << replyOf(seed, "seedApp");
  const json before = replyOf(seed, "before");

  const auto cases = malformedCases(all);
  std::vector<json> commands;
  for (std::size_t i = 0; i < cases.size(); ++i)
    commands.push_back(command(*cases[i].method, cases[i].message, std::to_string(i)));
  commands.push_back(command(getAllLegacy, json::array({"", nullptr}), "legacyAfter"));
  commands.push_back(command(getAllCurrent, json::array({nullptr, suite}), "suiteAfter"));
  commands.push_back(command(initializeCore, nullptr, "after"));
  PeerRun r = runPeer(host, commands);
  ASSERT_EQ(r.exitCode, 0) << r.errors << host.log();

  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.method->api + "." + c.method->name + ", " + c.what + ": " + c.message.dump());
    json reply = replyOf(r, std::to_string(i));
    ASSERT_EQ(reply.size(), 3u) << reply;
    EXPECT_EQ(reply[0], "invalid-arguments");
    ASSERT_TRUE(reply[1].is_string()) << reply;
    const std::string message = reply[1];
    EXPECT_EQ(message.rfind(c.method->name + ": ", 0), 0u) << message;
    EXPECT_NE(message.find(c.mentions), std::string::npos) << message;
    EXPECT_TRUE(reply[2].is_null());
  }
  EXPECT_GE(cases.size(), 60u);

  // The seeded preferences (and the app's stored data-collection flag) are all still there.
  EXPECT_EQ(replyOf(seed, "suiteBefore"), json::array({json{{"flutter.keep", "v"}}}));
  EXPECT_EQ(replyOf(seed, "legacyBefore")[0].value("flutter.keep", json()), "v");
  EXPECT_EQ(replyOf(r, "legacyAfter"), replyOf(seed, "legacyBefore"));
  EXPECT_EQ(replyOf(r, "suiteAfter"), replyOf(seed, "suiteBefore"));
  EXPECT_EQ(replyOf(r, "after"), before);
  EXPECT_EQ(host.stop(SIGTERM), 0) << host.log();
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
}

}  // namespace
}  // namespace lumora::e2e
