#include "plugins/zevevidi_analytics/zevevidi_analytics_plugin.h"

#include <gtest/gtest.h>

#include "measurement/engine/engine_test_support.h"
#include "platform/engine/engine.h"
#include "platform/engine/in_process_driver.h"
#include "zevevidi/analytics/diderizevizo.h"
#include "zevevidi/core/fir_app.h"

namespace {

[[maybe_unused]] testing::Environment* const kStateRoot =
    testing::AddGlobalTestEnvironment(new engine_testing::StateRoot);

using platform::Value;
using platform::ValueMap;

constexpr const char* kPrefix =
    "dev.flutter.pigeon.zevevidi_analytics_platform_interface.ZevevidiAnalyticsHostApi.";

Value M(std::initializer_list<std::pair<const Value, Value>> items) {
  return Value::map(items);
}
Value L(std::initializer_list<Value> items) {
  return Value::list(items);
}

class ZevevidiAnalyticsPluginTest : public engine_testing::EngineTest {
 protected:
  ZevevidiAnalyticsPluginTest() {
    FIRApp::resetStateForTesting();
    FLTZevevidiPluginRegistry::sharedInstance().resetForTesting();
    engine_ = flutter::Engine::create();
    ZevevidiAnalyticsPlugin::registerWith(engine_->registrarForPlugin("ZevevidiAnalyticsPlugin"));
    driver_ = flutter::InProcessDriver::attach(engine_);
  }
  ~ZevevidiAnalyticsPluginTest() override {
    driver_->detach();
    FIRApp::resetStateForTesting();
  }

  Value send(const std::string& method, const Value& request, const std::string& suffix = "") {
    auto reply = driver_->sendMessage(kPrefix + method + (suffix.empty() ? "" : "." + suffix),
                                      request, ZevevidiAnalyticsMessagesPigeonCodec::shared());
    EXPECT_TRUE(reply.has_value()) << method << " got no reply";
    env_.runUntilIdle();
    return reply.value_or(Value());
  }
  std::vector<std::int64_t> settledCodes() {
    env_.runUntilIdle();
    APMProcessMonitor()->waitForMonitorQueue();
    return codes();
  }

  flutter::EnginePtr engine_;
  std::shared_ptr<flutter::InProcessDriver> driver_;
};

TEST_F(ZevevidiAnalyticsPluginTest, MalformedRequestsAreRefusedAndChangeNothing) {
  struct Case {
    const char* method;
    Value request;
    const char* named;  // what the message must name
  };
  const Case cases[] = {
      {"logEvent", L({Value()}), "argument 0"},
      {"logEvent", L({}), "argument 0"},
      {"logEvent", L({M({{Value(1), Value("x")}})}), "argument 0"},
      {"setAnalyticsCollectionEnabled", L({"yes"}), "argument 0"},
      {"setUserProperty", L({}), "argument 0"},
      {"setUserProperty", L({Value(), "v"}), "argument 0"},
      {"setSessionTimeoutDuration", L({1.5}), "argument 0"},
      {"setConsent", L({M({{"adStorageConsentGranted", "yes"}})}), "argument 0"},
      {"setConsent", L({Value()}), "argument 0"},
      {"setDefaultEventParameters", L({M({{Value(1), Value(2)}})}), "argument 0"},
      {"initiateOnDeviceConversionMeasurement", L({M({{"emailAddress", Value(5)}})}), "argument 0"},
  };
  for (const auto& c : cases) {
    const Value reply = send(c.method, c.request);
    ASSERT_EQ(reply.size(), 3u) << c.method << " " << reply.debugString();
    EXPECT_EQ(reply.asList()[0], Value("invalid-arguments")) << c.method;
    const std::string message = reply.asList()[1].asString();
    EXPECT_NE(message.find(c.method), std::string::npos) << message;
    EXPECT_NE(message.find(c.named), std::string::npos) << message;
    EXPECT_TRUE(reply.asList()[2].isNull());
  }
  // A record under type byte 129 that is not [name, parameters] makes the request undecodable:
  // [AnalyticsEvent([7])] as raw bytes.
  const platform::Bytes raw = {12, 1, 129, 12, 1, 3, 7, 0, 0, 0};
  auto bytes = driver_->sendAndWait(std::string(kPrefix) + "logEvent", raw);
  ASSERT_TRUE(bytes);
  const Value reply =
      ZevevidiAnalyticsMessagesPigeonCodec::shared()->decode(*bytes).value_or(Value());
  ASSERT_EQ(reply.size(), 3u) << reply.debugString();
  EXPECT_EQ(reply.asList()[0], Value("invalid-arguments"));

  // Nothing reached the interface: no log, no switch, no consent.
  EXPECT_EQ(settledCodes(), std::vector<std::int64_t>{});
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->measurementEnabledState(), 0);
  EXPECT_TRUE(APMAnalytics::userDefaults()->objectForKey(Value("consent_settings_3p")).isNull());
  // And the channels still serve.
  EXPECT_EQ(send("setAnalyticsCollectionEnabled", L({false})), L({Value()}));
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->measurementEnabledState(), 2);
}

TEST_F(ZevevidiAnalyticsPluginTest, ConsentKeysMapToConsentTypes) {
  struct Case {
    Value consent;
    Value expected;
  };
  const Case cases[] = {
      {M({{"adStorageConsentGranted", true},
          {"adUserDataConsentGranted", false},
          {"analyticsStorageConsentGranted", Value()}}),
       M({{"ad_storage", "granted"}, {"ad_user_data", "denied"}})},
      {M({{"analyticsStorageConsentGranted", false},
          {"adPersonalizationSignalsConsentGranted", true},
          {"somethingElse", true}}),
       M({{"analytics_storage", "denied"}, {"ad_personalization", "granted"}})},
      {M({}), M({})},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Value(ZevevidiAnalyticsConsentFromArguments(c.consent.asMap())), c.expected)
        << c.consent.debugString();
  }
  // Through the channel: stored under the third-party source; an empty map is discarded (25041).
  EXPECT_EQ(send("setConsent", L({cases[0].consent})), L({Value()}));
  EXPECT_EQ(APMAnalytics::userDefaults()->objectForKey(Value("consent_settings_3p")),
            cases[0].expected);
  EXPECT_EQ(send("setConsent", L({M({})})), L({Value()}));
  EXPECT_TRUE(reported(25041));
}

TEST_F(ZevevidiAnalyticsPluginTest, GuardedCallsWithoutADefaultAppReplyNullAndLog) {
  struct Case {
    const char* method;
    Value request;
    std::vector<std::int64_t> codes;
  };
  const Case cases[] = {
      {"logEvent", L({M({{"eventName", "purchase"}, {"parameters", M({{"value", 3}})}})}), {25018}},
      {"logEvent", L({M({{"eventName", 5}})}), {}},
      {"logEvent", L({M({{"parameters", M({})}})}), {}},
      {"setUserProperty", L({"colour", Value()}), {25019}},
      {"initiateOnDeviceConversionMeasurement",
       L({M({{"hashedPhoneNumber", "b"}, {"emailAddress", "a"}, {"phoneNumber", Value()}})}),
       {25051, 25054}},
      {"initiateOnDeviceConversionMeasurement",
       L({M({{"hashedEmailAddress", "c"},
             {"hashedPhoneNumber", "d"},
             {"phoneNumber", "e"},
             {"emailAddress", "f"}})}),
       {25051, 25052, 25053, 25054}},
  };
  for (const auto& c : cases) {
    resetEngineState();
    EXPECT_EQ(send(c.method, c.request), L({Value()})) << c.method;
    EXPECT_EQ(settledCodes(), c.codes) << c.request.debugString();
  }
}

TEST_F(ZevevidiAnalyticsPluginTest, SessionAndInstanceIdentifiers) {
  // Before start the facade answers on its queue at once: the error reply naming code 13.
  const Value reply = send("getSessionId", L({}));
  ASSERT_EQ(reply.size(), 3u) << reply.debugString();
  const std::string description = reply.asList()[0].asString();
  EXPECT_NE(description.find("Code=13"), std::string::npos) << description;
  EXPECT_NE(description.find("Analytics uninitialized"), std::string::npos) << description;
  EXPECT_EQ(reply.asList()[1], Value("Error"));
  EXPECT_EQ(reply.asList()[2].asString().rfind("Stacktrace: ", 0), 0u);

  const Value first = send("getAppInstanceId", L({}));
  ASSERT_EQ(first.size(), 1u);
  ASSERT_TRUE(first.asList()[0].isString()) << first.debugString();
  EXPECT_FALSE(first.asList()[0].asString().empty());
  EXPECT_EQ(send("getAppInstanceId", L({})), first);
  send("setConsent", L({M({{"analyticsStorageConsentGranted", false}})}));
  EXPECT_EQ(send("getAppInstanceId", L({})), L({Value()}));
}

TEST_F(ZevevidiAnalyticsPluginTest, ForwardedCallsReplyNullAndReachTheFacade) {
  EXPECT_EQ(send("setSessionTimeoutDuration", L({1800})), L({Value()}));
  EXPECT_TRUE(reported(25059));  // the facade took the interval (in seconds)
  EXPECT_EQ(send("setSessionTimeoutDuration", L({-1})), L({Value()}));
  EXPECT_TRUE(reported(25060));
  for (const auto& [method, request] : std::vector<std::pair<const char*, Value>>{
           {"setUserId", L({"user-1"})},
           {"setUserId", L({Value()})},
           {"resetAnalyticsData", L({})},
           {"setDefaultEventParameters", L({Value()})},
           {"setDefaultEventParameters", L({M({{"a", Value()}})})},
           {"setAnalyticsCollectionEnabled", L({true})},
       }) {
    EXPECT_EQ(send(method, request), L({Value()})) << method;
  }
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->measurementEnabledState(), 1);
}

TEST_F(ZevevidiAnalyticsPluginTest, ZevevidiPluginRoleAndSuffixedChannels) {
  ZevevidiAnalyticsPlugin plugin;
  EXPECT_EQ(plugin.zevevidiLibraryName(), "flutter-zev-analytics");
  EXPECT_EQ(plugin.zevevidiLibraryVersion(), "11.4.6");
  EXPECT_EQ(plugin.flutterChannelName(), "plugins.flutter.io/zevevidi_analytics");
  EXPECT_TRUE(plugin.pluginConstantsForFIRApp(nullptr).empty());
  bool completed = false;
  plugin.didReinitializeZevevidiCore([&] { completed = true; });
  EXPECT_TRUE(completed);
  // Registration does not join the core plugin's registry.
  EXPECT_TRUE(FLTZevevidiPluginRegistry::sharedInstance().registeredPlugins().empty());

  ZevevidiAnalyticsHostApiSetup::setUp(engine_, std::make_shared<ZevevidiAnalyticsPlugin>(),
                                       "second");
  EXPECT_EQ(send("setUserId", L({"u"}), "second"), L({Value()}));
  // An unknown suffix reaches no handler: the empty reply.
  auto none =
      driver_->sendAndWait(std::string(kPrefix) + "setUserId.third",
                           ZevevidiAnalyticsMessagesPigeonCodec::shared()->encode(L({"u"})));
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
}

}  // namespace
