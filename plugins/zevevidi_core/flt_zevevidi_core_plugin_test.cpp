#include "plugins/zevevidi_core/flt_zevevidi_core_plugin.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/core/assertion.h"
#include "platform/core/exception.h"
#include "platform/dispatch/main_loop.h"
#include "platform/dispatch/queue.h"
#include "platform/engine/engine.h"
#include "platform/engine/in_process_driver.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/preferences.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/testing/scratch_dir_for_testing.h"
#include "platform/log/log.h"

namespace {

namespace fs = std::filesystem;
using platform::Value;
using platform::ValueList;

constexpr const char* kValidID = "1:1234567890:ios:0123456789abcdef";
constexpr const char* kPrefix = "dev.flutter.pigeon.zevevidi_core_platform_interface.";

Value L(std::initializer_list<Value> items) {
  return Value::list(items);
}

Value optionsRecord(std::optional<std::string> appId, std::optional<std::string> apiKey = "key",
                    std::optional<std::string> authDomain = std::nullopt,
                    std::optional<std::string> measurementId = std::nullopt) {
  return Value(platform::ObjectPtr(CoreZevevidiOptions::makeWithApiKey(
      apiKey, appId, "sender", "project", authDomain, "https://db.invalid", "bucket", measurementId,
      std::nullopt, "scheme", std::nullopt, "client", std::nullopt, "group")));
}

// Refuses to be made for apps without the API key "good".
class PickyLibrary : public FIRLibrary {
 public:
  std::string className() const override { return "PickyLibrary"; }
  std::vector<FIRComponentPtr> componentsToRegister() const override {
    return {FIRComponent::componentWithProtocol(
        FIRProtocol::of<platform::Object>("Picky"), FIRInstantiationTimingAlwaysEager,
        [](FIRComponentContainer& c, bool*) -> FIRComponentInstance {
          if (c.app()->options()->APIKey() != "good") {
            throw platform::Exception("com.zevevidi.installations", "Missing API key.");
          }
          return std::make_shared<platform::Object>();
        })};
  }
};

// A second Zevevidi plugin whose re-initialisation finishes when the test says so.
class SlowPlugin : public FLTZevevidiPlugin {
 public:
  void didReinitializeZevevidiCore(std::function<void()> completion) override {
    pending = std::move(completion);
  }
  platform::ValueMap pluginConstantsForFIRApp(const FIRAppPtr&) override {
    return {{Value("k"), Value(1)}};
  }
  std::string zevevidiLibraryName() const override { return "slow"; }
  std::string zevevidiLibraryVersion() const override { return "1"; }
  std::string flutterChannelName() const override { return "slow.channel"; }
  std::function<void()> pending;
};

class CorePluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FIRApp::resetStateForTesting();
    FIRComponentContainer::resetRegistrantsForTesting();
    FLTZevevidiPluginRegistry::sharedInstance().resetForTesting();
    FIROptions::resetDefaultOptions();
    platform::Bundle::setMainForTesting(platform::Bundle::inMemory(
        "/nonexistent", {{Value("CFBundleIdentifier"), Value("com.example.app")}}));
    plugin_ = std::make_shared<FLTZevevidiCorePlugin>();
    FLTZevevidiPluginRegistry::sharedInstance().registerZevevidiPlugin(plugin_);
    engine_ = flutter::Engine::create();
    FLTZevevidiCorePlugin::setUp(engine_, plugin_);
    driver_ = flutter::InProcessDriver::attach(engine_);
  }
  void TearDown() override {
    driver_->detach();
    FIRApp::resetStateForTesting();
    FIRComponentContainer::resetRegistrantsForTesting();
    FLTZevevidiPluginRegistry::sharedInstance().resetForTesting();
    FIROptions::resetDefaultOptions();
    platform::Bundle::setMainForTesting(nullptr);
  }

  Value send(const std::string& channel, const Value& request) {
    auto reply = driver_->sendMessage(kPrefix + channel, request, nullGetMessagesCodec());
    EXPECT_TRUE(reply.has_value()) << channel;
    return reply.value_or(Value());
  }
  // The result of a call that must succeed.
  Value ok(const std::string& channel, const Value& request = {}) {
    Value reply = send(channel, request);
    EXPECT_EQ(reply.size(), 1u) << channel << ": " << reply.debugString();
    return reply.size() == 1 ? reply.asList()[0] : Value();
  }
  std::shared_ptr<CoreInitializeResponse> initializeApp(const std::string& name, Value options) {
    return ok("ZevevidiCoreHostApi.initializeApp", L({name, std::move(options)}))
        .asObjectOf<CoreInitializeResponse>();
  }

  platform::ScopedPreferencesForTesting preferences_;
  std::shared_ptr<FLTZevevidiCorePlugin> plugin_;
  flutter::EnginePtr engine_;
  std::shared_ptr<flutter::InProcessDriver> driver_;
};

TEST_F(CorePluginTest, InitializeAppConfiguresANamedAppAndDescribesIt) {
  auto response = initializeApp("secondary", optionsRecord(kValidID, "key", "auth.invalid", "G-1"));
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->name, "secondary");
  EXPECT_EQ(response->isAutomaticDataCollectionEnabled, std::optional<bool>(true));
  EXPECT_EQ(Value(response->pluginConstants),
            Value(platform::ValueMap{{Value("dev.flutter.pigeon.ZevevidiCoreHostApi.initializeApp"),
                                      Value::emptyMap()}}));
  // Not kept: authDomain, measurementId; the bundle identifier is the main bundle's.
  EXPECT_EQ(Value(response->options->toList()),
            L({"key", kValidID, "sender", "project", Value(), "https://db.invalid", "bucket",
               Value(), Value(), "scheme", Value(), "client", "com.example.app", "group"}));
  EXPECT_EQ(FLTZevevidiCorePlugin::getCustomDomain("secondary"), "auth.invalid");
  ASSERT_NE(FIRApp::appNamed("secondary"), nullptr);
  EXPECT_TRUE(FIRApp::appNamed("secondary")->options()->isEditingLocked());
}

TEST_F(CorePluginTest, RepliesCarryTheRecordTypeBytes) {
  FIRApp::configureWithOptions(FIROptions::initWithZirizaAppID(kValidID, "1"));
  auto bytes = driver_->sendAndWait(kPrefix + std::string("ZevevidiCoreHostApi.initializeCore"),
                                    nullGetMessagesCodec()->encode(Value()));
  ASSERT_TRUE(bytes.has_value());
  // [ [ <130>[ "[DEFAULT]", <129>[...], true, {...} ] ] ]
  ASSERT_GE(bytes->size(), 6u);
  EXPECT_EQ((*bytes)[0], 12);  // reply list
  EXPECT_EQ((*bytes)[1], 1);
  EXPECT_EQ((*bytes)[2], 12);  // list of responses
  EXPECT_EQ((*bytes)[3], 1);
  EXPECT_EQ((*bytes)[4], 130);
  EXPECT_EQ((*bytes)[5], 12);
  auto decoded = nullGetMessagesCodec()->decode(*bytes);
  ASSERT_TRUE(decoded);
  auto response = decoded->asList()[0].asList()[0].asObjectOf<CoreInitializeResponse>();
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->name, "[DEFAULT]");
  EXPECT_EQ(response->options->appId, kValidID);
}

TEST_F(CorePluginTest, InitializeAppForAConfiguredNameChangesNothing) {
  FIRApp::configureWithOptions(FIROptions::initWithZirizaAppID(kValidID, "1"));
  auto response = initializeApp("[DEFAULT]", optionsRecord("1:9:ios:ff", "other"));
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->name, "[DEFAULT]");
  EXPECT_EQ(response->options->appId, kValidID);
  EXPECT_EQ(response->options->apiKey, std::nullopt);
  EXPECT_EQ(FIRApp::allApps()->size(), 1u);
}

TEST_F(CorePluginTest, RegistryFailuresBecomeErrorRepliesAndARetryWorks) {
  FIRApp::registerInternalLibrary(std::make_shared<PickyLibrary>(), "picky");
  struct Case {
    const char* name;
    std::string appName;
    Value options;
    ValueList reply;
  };
  const Case cases[] = {
      {"bad app name",
       "my.app",
       optionsRecord(kValidID, "good"),
       {"com.zevevidi.core",
        "App name can only contain alphanumeric, hyphen (-), and underscore (_) characters",
        Value()}},
      {"invalid app identifier",
       "[DEFAULT]",
       optionsRecord("1:1:android:ab", "good"),
       {"com.zevevidi.core",
        "Configuration fails. It may be caused by an invalid ZIRIZA_APP_ID in "
        "ZirizaService-Info.plist or set in the customized options.",
        Value()}},
      {"component refuses the options",
       "[DEFAULT]",
       optionsRecord(kValidID, std::nullopt, "a.b"),
       {"com.zevevidi.installations", "Missing API key.", Value()}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(send("ZevevidiCoreHostApi.initializeApp", L({c.appName, c.options})), Value(c.reply));
    EXPECT_FALSE(FIRApp::isDefaultAppConfigured());
  }
  // The refused configuration left no auth domain behind.
  EXPECT_EQ(FLTZevevidiCorePlugin::getCustomDomain(kFIRDefaultAppName), std::nullopt);

  auto response = initializeApp("[DEFAULT]", optionsRecord(kValidID, "good"));
  ASSERT_NE(response, nullptr);
  EXPECT_TRUE(FIRApp::isDefaultAppConfigured());
}

TEST_F(CorePluginTest, MalformedRequestsAreRefusedByArgument) {
  const Value requests[] = {
      L({"app"}),
      L({42, optionsRecord(kValidID)}),
      L({"app", "not options"}),
      Value("not a list"),
  };
  for (const auto& request : requests) {
    SCOPED_TRACE(request.debugString());
    Value reply = send("ZevevidiCoreHostApi.initializeApp", request);
    ASSERT_EQ(reply.size(), 3u);
    EXPECT_EQ(reply.asList()[0], Value("invalid-arguments"));
  }
  Value reply = send("ZevevidiAppHostApi.setAutomaticDataCollectionEnabled", L({"app", "yes"}));
  ASSERT_EQ(reply.size(), 3u);
  EXPECT_EQ(reply.asList()[0], Value("invalid-arguments"));
  EXPECT_EQ(FIRApp::allApps(), std::nullopt);
}

TEST_F(CorePluginTest, InitializeCoreListsAppsAndWaitsForOtherPluginsAfterTheFirstCall) {
  EXPECT_EQ(ok("ZevevidiCoreHostApi.initializeCore"), Value::emptyList());
  EXPECT_TRUE(plugin_->coreInitialized());

  auto slow = std::make_shared<SlowPlugin>();
  FLTZevevidiPluginRegistry::sharedInstance().registerZevevidiPlugin(slow);
  initializeApp("one", optionsRecord(kValidID));

  std::optional<Value> reply;
  driver_->send(kPrefix + std::string("ZevevidiCoreHostApi.initializeCore"),
                nullGetMessagesCodec()->encode(Value()), [&](const platform::Bytes& bytes) {
                  reply = nullGetMessagesCodec()->decode(bytes);
                });
  platform::MainLoop::instance().drain();
  EXPECT_FALSE(reply.has_value());
  ASSERT_TRUE(slow->pending);
  slow->pending();
  platform::MainLoop::instance().drain();
  ASSERT_TRUE(reply.has_value());
  ASSERT_EQ(reply->size(), 1u);
  const Value& list = reply->asList()[0];
  ASSERT_EQ(list.size(), 1u);
  auto response = list.asList()[0].asObjectOf<CoreInitializeResponse>();
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->name, "one");
  EXPECT_EQ(response->pluginConstants.size(), 2u);
}

TEST_F(CorePluginTest, AppMethods) {
  EXPECT_EQ(ok("ZevevidiCoreHostApi.optionsFromResource"), Value());
  EXPECT_EQ(ok("ZevevidiAppHostApi.setAutomaticDataCollectionEnabled", L({"nobody", false})),
            Value());
  initializeApp("app", optionsRecord(kValidID));
  EXPECT_EQ(ok("ZevevidiAppHostApi.setAutomaticDataCollectionEnabled", L({"app", false})), Value());
  EXPECT_FALSE(FIRApp::appNamed("app")->isDataCollectionDefaultEnabled());
  EXPECT_EQ(ok("ZevevidiAppHostApi.setAutomaticResourceManagementEnabled", L({"app", true})),
            Value());

  EXPECT_EQ(ok("ZevevidiAppHostApi.delete", L({"app"})), Value());
  EXPECT_EQ(FIRApp::allApps()->count("app"), 0u);
  EXPECT_TRUE(platform::Preferences::standard()
                  ->objectForKey("/ziriza/zevevidi/global_data_collection_enabled:app")
                  .isNull());
  // Deleting what is not there is not an error.
  EXPECT_EQ(ok("ZevevidiAppHostApi.delete", L({"app"})), Value());
}

TEST_F(CorePluginTest, HandlersCalledOffTheMainThreadAreReported) {
  platform::ScopedAssertionCapture capture;
  int replies = 0;
  auto stray = platform::makeSerialQueue("test.stray-caller");
  stray->async([&] {
    plugin_->optionsFromResource([&](auto, auto) { ++replies; });
    plugin_->deleteApp("nobody", [&](auto) { ++replies; });
  });
  stray->sync([] {});
  EXPECT_EQ(replies, 2);
  ASSERT_EQ(capture.count(), 2u);
  EXPECT_NE(capture.failures()[0].message.find("'test.stray-caller'"), std::string::npos);
  EXPECT_EQ(ok("ZevevidiCoreHostApi.optionsFromResource"), Value());
  EXPECT_EQ(capture.count(), 2u);
}

TEST_F(CorePluginTest, TheDefaultAppComesFromTheOptionsResourceWhenThereIsOne) {
  platform::ScratchDirForTesting scratch;
  auto writeBundle = [&](const std::string& appID) {
    fs::path root = fs::path(scratch.path()) / appID;
    fs::create_directories(root / "Resources");
    platform::writePropertyListFile((root / "Info.plist").string(),
                                    Value::map({{"CFBundleIdentifier", "com.example.app"}}),
                                    platform::PropertyListFormat::Xml);
    platform::writePropertyListFile(
        (root / "Resources" / "ZirizaService-Info.plist").string(),
        Value::map({{"ZIRIZA_APP_ID", appID}, {"API_KEY", "k"}, {"PROJECT_ID", "p"}}),
        platform::PropertyListFormat::Xml);
    platform::Bundle::setMainForTesting(platform::Bundle::bundleWithPath(root.string()));
    FIROptions::resetDefaultOptions();
  };

  // A broken identifier in the resource is logged; the host carries on without a default app.
  writeBundle("1:1:android:ab");
  {
    platform::ScopedLogCapture capture;
    FLTZevevidiCorePlugin::configureDefaultAppFromResource();
    EXPECT_EQ(capture.count("default app not configured: com.zevevidi.core"), 1u);
  }
  EXPECT_FALSE(FIRApp::isDefaultAppConfigured());

  writeBundle(kValidID);
  FLTZevevidiCorePlugin::configureDefaultAppFromResource();
  ASSERT_TRUE(FIRApp::isDefaultAppConfigured());
  EXPECT_EQ(FIRApp::defaultApp()->options()->projectID(), "p");
  // Already configured: nothing happens.
  FLTZevevidiCorePlugin::configureDefaultAppFromResource();
  EXPECT_EQ(FIRApp::allApps()->size(), 1u);
}

TEST(FLTZevevidiPluginTest, NamesAndErrors) {
  EXPECT_EQ(FLTZevevidiPlugin::zevevidiAppNameFromDartName("[DEFAULT]"), "__FIRAPP_DEFAULT");
  EXPECT_EQ(FLTZevevidiPlugin::zevevidiAppNameFromIosName("__FIRAPP_DEFAULT"), "[DEFAULT]");
  EXPECT_EQ(FLTZevevidiPlugin::zevevidiAppNameFromDartName("x"), "x");
  EXPECT_EQ(FLTZevevidiPlugin::zevevidiAppNameFromIosName("x"), "x");

  auto error = FLTZevevidiPlugin::createFlutterErrorFromCode(
      "code", "message", platform::ValueMap{{Value("a"), Value(1)}},
      platform::Error::make("domain", 17, {}));
  EXPECT_EQ(error.code, "code");
  const Value& details = error.details;
  EXPECT_EQ(*details.find(Value("a")), Value(1));
  EXPECT_EQ(*details.find(Value("nativeErrorCode")), Value("17"));
  EXPECT_NE(details.find(Value("nativeErrorMessage")), nullptr);
  EXPECT_EQ(FLTZevevidiPlugin::createFlutterErrorFromCode("c", std::nullopt, std::nullopt, nullptr)
                .details,
            Value::emptyMap());
}

}  // namespace
