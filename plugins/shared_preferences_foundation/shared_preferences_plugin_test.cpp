#include "plugins/shared_preferences_foundation/shared_preferences_plugin.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <tuple>

#include "platform/engine/engine.h"
#include "platform/engine/in_process_driver.h"
#include "platform/foundation/preferences.h"

namespace shared_preferences {
namespace {

using platform::Preferences;
using platform::Value;

Value M(std::initializer_list<std::pair<const Value, Value>> items) {
  return Value::map(items);
}
Value L(std::initializer_list<Value> items) {
  return Value::list(items);
}

Value options(std::optional<std::string> suite = std::nullopt) {
  return Value(platform::ObjectPtr(std::make_shared<SharedPreferencesPigeonOptions>(suite)));
}

class SharedPreferencesPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = flutter::Engine::create();
    SharedPreferencesPlugin::registerWith(engine_->registrarForPlugin("SharedPreferencesPlugin"));
    driver_ = flutter::InProcessDriver::attach(engine_);
  }
  void TearDown() override { driver_->detach(); }

  // The raw reply list of one call.
  Value send(const std::string& api, const std::string& method, const Value& request) {
    auto reply = driver_->sendMessage("dev.flutter.pigeon.shared_preferences_foundation." + api +
                                          "." + method,
                                      request, MessagesPigeonCodec::shared());
    EXPECT_TRUE(reply.has_value()) << api << "." << method << " got no reply";
    return reply.value_or(Value());
  }
  // The result of a call that must succeed.
  Value ok(const std::string& api, const std::string& method, const Value& request) {
    Value reply = send(api, method, request);
    EXPECT_EQ(reply.size(), 1u) << api << "." << method << ": " << reply.debugString();
    return reply.size() == 1 ? reply.asList()[0] : Value();
  }
  Value legacy(const std::string& method, const Value& request) {
    return ok("LegacyUserDefaultsApi", method, request);
  }
  Value current(const std::string& method, const Value& request) {
    return ok("UserDefaultsApi", method, request);
  }

  platform::ScopedPreferencesForTesting preferences_{"com.lumora.prefs-tests"};
  flutter::EnginePtr engine_;
  std::shared_ptr<flutter::InProcessDriver> driver_;
};

TEST_F(SharedPreferencesPluginTest, LegacyInterfaceWritesAndReadsByPrefix) {
  EXPECT_EQ(legacy("setBool", L({"flutter.b", true})), Value());
  EXPECT_EQ(legacy("setDouble", L({"flutter.d", 1.5})), Value());
  EXPECT_EQ(legacy("setValue", L({"flutter.s", "text"})), Value());
  EXPECT_EQ(legacy("setValue", L({"flutter.l", L({"x", "y"})})), Value());
  EXPECT_EQ(legacy("setValue", L({"other.i", 3})), Value());
  // Stored by someone else: not a type the application's code can use.
  Preferences::standard()->setObject("flutter.date", Value::date(100));

  EXPECT_EQ(legacy("getAll", L({"flutter.", Value()})), M({{"flutter.b", true},
                                                           {"flutter.d", 1.5},
                                                           {"flutter.s", "text"},
                                                           {"flutter.l", L({"x", "y"})}}));
  EXPECT_EQ(legacy("getAll", L({"flutter.", L({"flutter.b", "other.i", "flutter.zz"})})),
            M({{"flutter.b", true}}));
  EXPECT_EQ(legacy("getAll", L({"", Value()})).size(), 5u);

  EXPECT_EQ(legacy("remove", L({"flutter.s"})), Value());
  EXPECT_EQ(legacy("clear", L({"flutter.", Value()})), Value(true));
  // The date is left in place; keys outside the prefix too.
  EXPECT_EQ(Preferences::standard()->objectForKey("flutter.date"), Value::date(100));
  EXPECT_EQ(legacy("getAll", L({"", Value()})), M({{"other.i", 3}}));
}

TEST_F(SharedPreferencesPluginTest, CurrentInterfaceWithAndWithoutSuite) {
  for (std::optional<std::string> suite :
       {std::optional<std::string>(), std::optional<std::string>("group.test")}) {
    SCOPED_TRACE(suite.value_or("(application)"));
    EXPECT_EQ(current("set", L({"a", 1, options(suite)})), Value());
    EXPECT_EQ(current("set", L({"c", L({"s"}), options(suite)})), Value());
    EXPECT_EQ(current("getValue", L({"a", options(suite)})), Value(1));
    EXPECT_EQ(current("getValue", L({"missing", options(suite)})), Value());
    EXPECT_EQ(current("getAll", L({Value(), options(suite)})), M({{"a", 1}, {"c", L({"s"})}}));
    EXPECT_EQ(current("getAll", L({L({"a", "b"}), options(suite)})), M({{"a", 1}}));
    EXPECT_EQ(current("getKeys", L({Value(), options(suite)})), L({"a", "c"}));
    EXPECT_EQ(current("clear", L({L({"a", "never-set"}), options(suite)})), Value());
    EXPECT_EQ(current("getKeys", L({Value(), options(suite)})), L({"c"}));
  }
  // The suite and the application's domain are separate.
  EXPECT_EQ(Preferences::withSuiteName("group.test")->objectForKey("c"), Value(L({"s"})));
  EXPECT_EQ(current("clear", L({Value(), options("group.test")})), Value());
  EXPECT_EQ(current("getAll", L({Value(), options("group.test")})), Value::emptyMap());
  EXPECT_EQ(current("getAll", L({Value(), options()})), M({{"c", L({"s"})}}));
}

TEST_F(SharedPreferencesPluginTest, IncompatibleStoredValuesAreSkippedOnReadButCleared) {
  auto prefs = Preferences::standard();
  prefs->setObject("date", Value::date(5));
  prefs->setObject("data", Value(platform::Bytes{1, 2}));
  prefs->setObject("dates", L({Value::date(5)}));
  prefs->setObject("map", M({{"k", 1}}));
  prefs->setObject("fine", L({}));
  EXPECT_EQ(current("getAll", L({Value(), options()})), M({{"fine", Value::emptyList()}}));
  EXPECT_EQ(current("getKeys", L({Value(), options()})), L({"fine"}));
  for (const char* key : {"date", "data", "dates", "map"}) {
    EXPECT_EQ(current("getValue", L({key, options()})), Value()) << key;
  }
  // Registered defaults are found by getValue but are not part of the persisted domain.
  prefs->registerDefaults({{Value("registered"), Value("d")}});
  EXPECT_EQ(current("getValue", L({"registered", options()})), Value("d"));
  EXPECT_EQ(current("getAll", L({Value(), options()})).find(Value("registered")), nullptr);

  EXPECT_EQ(current("clear", L({Value(), options()})), Value());
  for (const char* key : {"date", "data", "dates", "map", "fine"}) {
    EXPECT_TRUE(prefs->objectForKey(key).isNull()) << key;
  }
}

TEST_F(SharedPreferencesPluginTest, RefusedSuiteNameIsAnArgumentErrorAndStoresNothing) {
  for (const char* method : {"set", "getValue", "getAll", "clear"}) {
    SCOPED_TRACE(method);
    Value request = std::string(method) == "set"        ? L({"k", 1, options("bad/suite")})
                    : std::string(method) == "getValue" ? L({"k", options("bad/suite")})
                                                        : L({Value(), options("bad/suite")});
    EXPECT_EQ(send("UserDefaultsApi", method, request),
              L({"Argument Error", "The provided Suite Name 'bad/suite' does not exist", ""}));
  }
  EXPECT_TRUE(Preferences::standard()->objectForKey("k").isNull());
}

// These used to reach the store unchecked.
TEST_F(SharedPreferencesPluginTest, UnstorableValuesAreRefusedNamingTheKeyAndNothingChanges) {
  legacy("setValue", L({"k", "old"}));
  const Value unstorable[] = {
      Value(platform::Bytes{1, 2, 3}),
      Value(platform::Int32List{1, 2}),
      Value(platform::Float64List{1.5}),
      L({"a", Value()}),
      M({{1, "int key"}}),
      M({{"k", M({{2, "nested int key"}})}}),
      L({L({Value(platform::Int64List{7})})}),
  };
  for (const Value& value : unstorable) {
    SCOPED_TRACE(value.debugString());
    for (bool legacyApi : {true, false}) {
      Value reply = legacyApi ? send("LegacyUserDefaultsApi", "setValue", L({"k", value}))
                              : send("UserDefaultsApi", "set", L({"k", value, options()}));
      ASSERT_EQ(reply.size(), 3u) << reply.debugString();
      EXPECT_EQ(reply.asList()[0], Value("invalid-arguments"));
      EXPECT_NE(reply.asList()[1].asString().find("'k'"), std::string::npos);
      EXPECT_EQ(Preferences::standard()->objectForKey("k"), Value("old"));
    }
  }
  // Maps keyed by strings and nested lists are property lists; they are stored as given.
  EXPECT_EQ(current("set", L({"k", M({{"x", L({1, 2.5, "s", true})}}), options()})), Value());
  EXPECT_EQ(Preferences::standard()->objectForKey("k"), M({{"x", L({1, 2.5, "s", true})}}));
}

TEST_F(SharedPreferencesPluginTest, ValuesPastTheSizeLimitAreRefusedAndNothingIsStored) {
  legacy("setValue", L({"k", "old"}));
  const Value huge(std::string(platform::kPreferencesMaxValueBytes, 'x'));
  for (bool legacyApi : {true, false}) {
    Value reply = legacyApi ? send("LegacyUserDefaultsApi", "setValue", L({"k", huge}))
                            : send("UserDefaultsApi", "set", L({"k", huge, options()}));
    ASSERT_EQ(reply.size(), 3u) << reply.asList()[0].debugString();
    EXPECT_EQ(reply.asList()[0], Value("invalid-arguments"));
    EXPECT_NE(reply.asList()[1].asString().find("limit"), std::string::npos);
    EXPECT_EQ(Preferences::standard()->objectForKey("k"), Value("old"));
  }
}

// A write that cannot reach the disk used to be answered as a success.
TEST(SharedPreferencesPluginWriteFailureTest, UnwritableStoreIsReportedNotAnsweredAsSuccess) {
  // The store's folder lies under a regular file, so no preferences file can be written.
  std::string blocker = ::testing::TempDir() + "/prefs-blocker-" + std::to_string(::getpid());
  { std::ofstream(blocker) << "not a folder"; }
  {
    platform::ScopedPreferencesForTesting store("com.lumora.prefs-tests", blocker + "/root");
    auto engine = flutter::Engine::create();
    SharedPreferencesPlugin::registerWith(engine->registrarForPlugin("SharedPreferencesPlugin"));
    auto driver = flutter::InProcessDriver::attach(engine);
    for (const auto& [api, method, request] :
         {std::tuple{"UserDefaultsApi", "set", L({"k", 1, options()})},
          std::tuple{"LegacyUserDefaultsApi", "setBool", L({"k", true})}}) {
      SCOPED_TRACE(method);
      auto reply = driver->sendMessage(
          std::string("dev.flutter.pigeon.shared_preferences_foundation.") + api + "." + method,
          request, MessagesPigeonCodec::shared());
      ASSERT_TRUE(reply.has_value());
      ASSERT_EQ(reply->size(), 3u) << reply->debugString();
      EXPECT_EQ(reply->asList()[0], Value("write-failed"));
      EXPECT_NE(reply->asList()[1].asString().find("'k'"), std::string::npos);
    }
    driver->detach();
  }
  std::remove(blocker.c_str());
}

TEST_F(SharedPreferencesPluginTest, MalformedRequestsAreRefusedWithoutTouchingTheStore) {
  struct Case {
    const char* api;
    const char* method;
    Value request;
  };
  const Case cases[] = {
      {"LegacyUserDefaultsApi", "setBool", L({"k"})},
      {"LegacyUserDefaultsApi", "setBool", L({"k", 1})},
      {"LegacyUserDefaultsApi", "remove", L({5})},
      {"LegacyUserDefaultsApi", "setValue", L({"k", Value()})},
      {"LegacyUserDefaultsApi", "getAll", L({"p", L({1})})},
      {"UserDefaultsApi", "set", L({"k", 1})},
      {"UserDefaultsApi", "set", L({"k", 1, "not options"})},
      {"UserDefaultsApi", "getKeys", Value("not a list")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.api) + "." + c.method + " " + c.request.debugString());
    Value reply = send(c.api, c.method, c.request);
    ASSERT_EQ(reply.size(), 3u) << reply.debugString();
    EXPECT_EQ(reply.asList()[0], Value("invalid-arguments"));
    EXPECT_NE(reply.asList()[1].asString().find(c.method), std::string::npos);
  }
  EXPECT_TRUE(Preferences::standard()->keys().empty());
}

}  // namespace
}  // namespace shared_preferences
