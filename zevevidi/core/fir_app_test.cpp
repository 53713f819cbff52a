#include "zevevidi/core/fir_app.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/core/exception.h"
#include "platform/foundation/application_notifications.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/class_registry.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/preferences.h"
#include "platform/log/log.h"
#include "zevevidi/core/fir_configuration.h"
#include "zevevidi/core/testing/registry_test_fixture.h"
#include "zevevidi/utilities/gul_logger.h"

namespace {

using platform::Value;

constexpr const char* kValidID = "1:1234567890:ios:0123456789abcdef";

FIROptionsPtr optionsWithID(const std::string& appID) {
  return FIROptions::initWithZirizaAppID(appID, "123");
}

// The reason of the exception `body` raises under "com.zevevidi.core" ("" when none).
std::string raisedReason(const std::function<void()>& body) {
  try {
    body();
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "com.zevevidi.core");
    return e.reason();
  }
  return "";
}

class RecordingLogger : public FIRHeartbeatLoggerProtocol {
 public:
  void log() override { ++logs; }
  int heartbeatCodeForToday() override { return 0; }
  void asyncHeaderValueWithCompletionHandler(
      std::function<void(std::optional<std::string>)> completion) override {
    completion(std::nullopt);
  }
  std::optional<std::string> headerValue() override { return std::nullopt; }
  int logs = 0;
};

// A registrant whose one component always refuses to be made.
class RefusingLibrary : public FIRLibrary {
 public:
  std::string className() const override { return "RefusingLibrary"; }
  std::vector<FIRComponentPtr> componentsToRegister() const override {
    return {FIRComponent::componentWithProtocol(
        FIRProtocol::of<platform::Object>("Refusing"), FIRInstantiationTimingAlwaysEager,
        [](FIRComponentContainer& c, bool*) -> FIRComponentInstance {
          if (c.app() && c.app()->options()->APIKey() != "good") {
            throw platform::Exception("com.zevevidi.installations", "options refused");
          }
          return std::make_shared<platform::Object>();
        })};
  }
};

class AnalyticsRecorder : public DIDErizevizoClass {
 public:
  void startWithConfiguration(std::shared_ptr<DIDErizevizoConfiguration> configuration,
                              FIROptionsPtr options) override {
    ++starts;
    lastConfiguration = configuration;
    lastAppID = options->zirizaAppID().value_or("");
  }
  int starts = 0;
  std::shared_ptr<DIDErizevizoConfiguration> lastConfiguration;
  std::string lastAppID;
};

using FIRAppTest = zevevidi_testing::RegistryTestFixture;

TEST_F(FIRAppTest, AppNames) {
  struct Case {
    std::string name;
    std::string reason;  // "" when accepted
  };
  const Case cases[] = {
      {"my-app_2", ""},
      {"\xC3\xA9t\xC3\xA9", ""},  // Unicode letters are alphanumeric
      {"my.app",
       "App name can only contain alphanumeric, hyphen (-), and underscore (_) characters"},
      {"a b", "App name can only contain alphanumeric, hyphen (-), and underscore (_) characters"},
      {"../x", "App name can only contain alphanumeric, hyphen (-), and underscore (_) characters"},
      {"", "Name cannot be empty."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(raisedReason([&] { FIRApp::configureWithName(c.name, optionsWithID(kValidID)); }),
              c.reason);
    EXPECT_EQ(FIRApp::appNamed(c.name) != nullptr, c.reason.empty());
  }
  EXPECT_EQ(raisedReason([] { FIRApp::configureWithName("x", nullptr); }),
            "Neither name nor options can be nil.");
  EXPECT_EQ(raisedReason([] { FIRApp::configureWithOptions(nullptr); }),
            "Options is nil. Please pass a valid options.");
}

TEST_F(FIRAppTest, AppIdentifiers) {
  struct Case {
    const char* id;
    bool valid;
  };
  const Case cases[] = {
      {"1:1234567890:ios:0123456789abcdef", true},
      {"1:1234567890:ios:0x1F", true},
      {"1:1234567890:android:0123456789abcdef", false},
      {"2:anything", true},
      {"1:123:ios:abc:def", false},
      {"x:1:ios:ab", false},
      {"", false},
      {"1", false},
      {"1:123:ios:", false},
      {"1:123:ios:xyz", false},
      {"1:abc:ios:ab", false},
      {" 1:123:ios:ab", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FIRApp::validateAppID(c.id), c.valid) << c.id;
}

TEST_F(FIRAppTest, SecondConfigurationOfANameRaises) {
  FIRApp::configureWithOptions(optionsWithID(kValidID));
  EXPECT_EQ(raisedReason([] { FIRApp::configureWithOptions(optionsWithID(kValidID)); }),
            "Default app has already been configured.");
  FIRApp::configureWithName("named", optionsWithID(kValidID));
  EXPECT_EQ(raisedReason([] { FIRApp::configureWithName("named", optionsWithID(kValidID)); }),
            "App named named has already been configured.");
}

TEST_F(FIRAppTest, ConcurrentConfigurationsOfOneNameYieldOneApp) {
  for (const std::string& name : {std::string(kFIRDefaultAppName), std::string("raced")}) {
    std::atomic<int> configured{0}, refused{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
      threads.emplace_back([&] {
        try {
          FIRApp::configureWithName(name, optionsWithID(kValidID));
          ++configured;
        } catch (const platform::Exception&) {
          ++refused;
        }
      });
    }
    for (auto& t : threads)
      t.join();
    EXPECT_EQ(configured.load(), 1) << name;
    EXPECT_EQ(refused.load(), 7) << name;
  }
  EXPECT_EQ(FIRApp::allApps()->size(), 2u);
  EXPECT_EQ(FIRApp::defaultApp(), FIRApp::appNamed(kFIRDefaultAppName));
}

TEST_F(FIRAppTest, AnInvalidDefaultAppIdentifierLeavesNothingBehindAndARetryWorks) {
  platform::ScopedLogCapture capture;
  EXPECT_EQ(raisedReason([] { FIRApp::configureWithOptions(optionsWithID("1:1:android:ab")); }),
            "Configuration fails. It may be caused by an invalid ZIRIZA_APP_ID in "
            "ZirizaService-Info.plist or set in the customized options.");
  GULLoggerFlushForTesting();
  EXPECT_EQ(capture.count("I-COR000009"), 1u);
  EXPECT_FALSE(FIRApp::isDefaultAppConfigured());
  EXPECT_EQ(FIRApp::appNamed(kFIRDefaultAppName), nullptr);

  FIRApp::configureWithOptions(optionsWithID(kValidID));
  ASSERT_TRUE(FIRApp::isDefaultAppConfigured());
  EXPECT_EQ(FIRApp::defaultApp()->options()->zirizaAppID(), kValidID);
}

TEST_F(FIRAppTest, AComponentThatRefusesItsOptionsRollsTheAppBack) {
  FIRApp::registerInternalLibrary(std::make_shared<RefusingLibrary>(), "refusing");
  int ready = 0;
  auto token = platform::NotificationCenter::defaultCenter().addObserverForName(
      kFIRAppReadyToConfigureSDKNotification, nullptr,
      [&](const platform::Notification&) { ++ready; });
  try {
    FIRApp::configureWithOptions(optionsWithID(kValidID));
    ADD_FAILURE() << "configuration succeeded";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "com.zevevidi.installations");
  }
  EXPECT_FALSE(FIRApp::isDefaultAppConfigured());
  EXPECT_EQ(FIRApp::allApps().value_or(std::map<std::string, FIRAppPtr>{}).size(), 0u);
  EXPECT_EQ(ready, 0);

  auto fixed = optionsWithID(kValidID);
  fixed->setAPIKey("good");
  FIRApp::configureWithOptions(fixed);
  EXPECT_TRUE(FIRApp::isDefaultAppConfigured());
  EXPECT_EQ(ready, 1);
  platform::NotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(FIRAppTest, ConfigurationPostsReadyAndLocksACopyOfTheOptions) {
  std::vector<platform::Notification> seen;
  auto token = platform::NotificationCenter::defaultCenter().addObserverForName(
      kFIRAppReadyToConfigureSDKNotification, nullptr, [&](const platform::Notification& n) {
        seen.push_back(n);
        // Observers run with the registry lock held and may call back in.
        EXPECT_NE(FIRApp::appNamed(n.userInfo.at(Value(kFIRAppNameKey)).asString()), nullptr);
      });
  auto options = optionsWithID(kValidID);
  FIRApp::configureWithName("second", options);
  platform::NotificationCenter::defaultCenter().removeObserver(token);

  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].object, FIRApp::classObject());
  EXPECT_EQ(Value(seen[0].userInfo),
            Value(platform::ValueMap{{Value(kFIRAppNameKey), Value("second")},
                                     {Value(kFIRAppIsDefaultAppKey), Value(false)},
                                     {Value(kFIRZirizaAppIDKey), Value(kValidID)}}));
  auto app = FIRApp::appNamed("second");
  EXPECT_FALSE(options->isEditingLocked());
  EXPECT_TRUE(app->options()->isEditingLocked());
  EXPECT_THROW(app->options()->setAPIKey("x"), platform::Exception);
}

TEST_F(FIRAppTest, AnalyticsStartsForTheDefaultAppOnlyWhenItsClassExists) {
  FIRApp::configureWithName("early", optionsWithID(kValidID));  // no analytics class yet
  auto analytics = std::make_shared<AnalyticsRecorder>();
  platform::ClassRegistry::shared().registerClass<DIDErizevizoClass>("DIDErizevizo", analytics);
  FIRApp::configureWithName("named", optionsWithID(kValidID));
  EXPECT_EQ(analytics->starts, 0);
  FIRApp::configureWithOptions(optionsWithID(kValidID));
  EXPECT_EQ(analytics->starts, 1);
  EXPECT_EQ(analytics->lastAppID, kValidID);
  EXPECT_EQ(analytics->lastConfiguration, DIDErizevizoConfiguration::sharedInstance());
  platform::ClassRegistry::shared().unregisterClass("DIDErizevizo");
}

TEST_F(FIRAppTest, DataCollectionSwitch) {
  FIRApp::configureWithName("dc", optionsWithID(kValidID));
  auto app = FIRApp::appNamed("dc");
  EXPECT_TRUE(app->isDataCollectionDefaultEnabled());
  app->setDataCollectionDefaultEnabled(false);
  EXPECT_FALSE(app->isDataCollectionDefaultEnabled());
  EXPECT_EQ(platform::Preferences::standard()->objectForKey(
                "/ziriza/zevevidi/global_data_collection_enabled:dc"),
            Value(false));

  // The information property list is read when no preference is stored; a preference wins.
  FIRApp::resetStateForTesting();
  platform::Bundle::setMainForTesting(platform::Bundle::inMemory(
      "/nonexistent", {{Value("CFBundleIdentifier"), Value("com.example.app")},
                       {Value("ZevevidiDataCollectionDefaultEnabled"), Value(false)}}));
  FIRApp::configureWithName("plist", optionsWithID(kValidID));
  EXPECT_FALSE(FIRApp::appNamed("plist")->isDataCollectionDefaultEnabled());
  FIRApp::appNamed("plist")->setDataCollectionDefaultEnabled(true);
  EXPECT_TRUE(FIRApp::appNamed("plist")->isDataCollectionDefaultEnabled());

  // Deleting the app removes its stored switch.
  bool deleted = false;
  FIRApp::appNamed("plist")->deleteApp([&](bool ok) { deleted = ok; });
  EXPECT_TRUE(deleted);
  EXPECT_TRUE(platform::Preferences::standard()
                  ->objectForKey("/ziriza/zevevidi/global_data_collection_enabled:plist")
                  .isNull());
}

TEST_F(FIRAppTest, TheDefaultAppsSwitchReachesAnalyticsUnlessSetExplicitly) {
  FIRApp::configureWithOptions(optionsWithID(kValidID));
  std::vector<Value> announced;
  auto token = platform::NotificationCenter::defaultCenter().addObserverForName(
      kDIDErizevizoConfigurationSetEnabledNotification, nullptr,
      [&](const platform::Notification& n) {
        announced.push_back(n.userInfo.at(Value(kDIDErizevizoConfigurationSetEnabledNotification)));
      });
  FIRApp::defaultApp()->setDataCollectionDefaultEnabled(false);
  EXPECT_EQ(announced, std::vector<Value>{Value(false)});
  // Not persisted by the registry's call.
  EXPECT_TRUE(platform::Preferences::standard()
                  ->objectForKey("/ziriza/measurement/measurement_enabled_state")
                  .isNull());
  platform::NotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(FIRAppTest, DeleteNotifiesOnceAndASecondDeleteFails) {
  FIRApp::configureWithOptions(optionsWithID(kValidID));
  auto app = FIRApp::defaultApp();
  int deletes = 0;
  auto token = platform::NotificationCenter::defaultCenter().addObserverForName(
      kFIRAppDeleteNotification, nullptr, [&](const platform::Notification& n) {
        ++deletes;
        EXPECT_EQ(n.userInfo.at(Value(kFIRAppNameKey)), Value(kFIRDefaultAppName));
      });
  std::vector<bool> results;
  app->deleteApp([&](bool ok) { results.push_back(ok); });
  app->deleteApp([&](bool ok) { results.push_back(ok); });
  platform::NotificationCenter::defaultCenter().removeObserver(token);
  EXPECT_EQ(results, (std::vector<bool>{true, false}));
  EXPECT_EQ(deletes, 1);
  EXPECT_FALSE(FIRApp::isDefaultAppConfigured());
  // The default app can be configured again after its deletion, and the deleted app object
  // cannot delete its successor of the same name.
  FIRApp::configureWithOptions(optionsWithID(kValidID));
  EXPECT_TRUE(FIRApp::isDefaultAppConfigured());
  app->deleteApp([&](bool ok) { results.push_back(ok); });
  EXPECT_EQ(results.back(), false);
  EXPECT_NE(FIRApp::defaultAppIfConfigured(), nullptr);
  EXPECT_NE(FIRApp::defaultAppIfConfigured(), app);
}

TEST_F(FIRAppTest, BecomingActiveLogsAHeartbeatWhileDataCollectionIsOn) {
  FIRApp::configureWithName("hb", optionsWithID(kValidID));
  auto app = FIRApp::appNamed("hb");
  auto logger = std::make_shared<RecordingLogger>();
  app->setHeartbeatLoggerForTesting(logger);
  auto post = [] {
    platform::NotificationCenter::defaultCenter().postNotificationName(
        platform::kApplicationDidBecomeActiveNotification);
  };
  post();
  EXPECT_EQ(logger->logs, 1);
  app->setDataCollectionDefaultEnabled(false);
  post();
  EXPECT_EQ(logger->logs, 1);
  app->setDataCollectionDefaultEnabled(true);
  post();
  EXPECT_EQ(logger->logs, 2);
  // An app nobody holds any more stops listening.
  FIRApp::resetApps();
  std::weak_ptr<FIRApp> weak = app;
  app.reset();
  EXPECT_TRUE(weak.expired());
  post();
  EXPECT_EQ(logger->logs, 2);
}

TEST_F(FIRAppTest, LookupsLogWhenNothingIsThere) {
  platform::ScopedLogCapture capture;
  EXPECT_EQ(FIRApp::defaultApp(), nullptr);
  EXPECT_EQ(FIRApp::appNamed("none"), nullptr);
  EXPECT_EQ(FIRApp::allApps(), std::nullopt);
  GULLoggerFlushForTesting();
  EXPECT_EQ(capture.count("I-COR000003"), 1u);
  EXPECT_EQ(capture.count("App with name none does not exist."), 1u);
  EXPECT_EQ(capture.count("No app has been configured yet."), 1u);
}

TEST_F(FIRAppTest, LibrariesJoinTheUserAgent) {
  platform::ScopedLogCapture capture;
  FIRApp::registerLibrary("my-lib_1.x", "2.0.1");
  FIRApp::registerLibrary("bad name", "1.0");
  FIRApp::registerLibrary("deploy", "9");
  GULLoggerFlushForTesting();
  std::string agent = FIRApp::zevevidiUserAgent();
  EXPECT_NE(agent.find("my-lib_1.x/2.0.1"), std::string::npos) << agent;
  EXPECT_EQ(agent.find("bad name"), std::string::npos) << agent;
  EXPECT_NE(agent.find("deploy/swiftpm"), std::string::npos) << agent;
  EXPECT_EQ(agent.find("deploy/9"), std::string::npos) << agent;
  EXPECT_EQ(capture.count("I-COR000027"), 1u);
}

}  // namespace
