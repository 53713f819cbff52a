#include "zevevidi/installations/fir_installations_id_controller.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <nlohmann/json.hpp>

#include "platform/dispatch/test_environment.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/environment.h"
#include "platform/foundation/keyed_archive.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/preferences.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/testing/scratch_dir_for_testing.h"
#include "platform/log/log.h"
#include "platform/security/keychain.h"
#include "zevevidi/installations/fir_installations_errors.h"
#include "zevevidi/installations/testing/installations_test_support.h"
#include "zevevidi/utilities/gul_keychain_storage.h"
#include "zevevidi/utilities/gul_logger.h"

namespace {

using installations_testing::reasonOf;

using installations_testing::FakeInstallationsService;
using installations_testing::FixedHeartbeatLogger;
using installations_testing::waitFor;
using Kind = FakeInstallationsService::Kind;
using nlohmann::json;
using platform::Value;

constexpr const char* kAppID = "1:2:ios:3";

std::string createAnswer(const std::string& expiresIn, const std::string& token = "token-1") {
  return json{{"refreshToken", "refresh-1"},
              {"authToken", {{"token", token}, {"expiresIn", expiresIn}}}}
      .dump();
}

std::string tokenAnswer(const std::string& token, const std::string& expiresIn = "604800s") {
  return json{{"token", token}, {"expiresIn", expiresIn}}.dump();
}

class ControllerFixture {
 public:
  explicit ControllerFixture(const std::string& appName = "__FIRAPP_DEFAULT") {
    platform::Keychain::setSharedForTesting(keychain);
    platform::Bundle::setMainForTesting(platform::Bundle::inMemory(
        "/nonexistent", {{Value("CFBundleIdentifier"), Value("com.example.app")}}));
    observer = platform::NotificationCenter::defaultCenter().addObserverForName(
        FIRInstallationIDDidChangeNotification, nullptr,
        [this](const platform::Notification& notification) {
          changes.push_back(notification.userInfo);
        });
    store = FIRInstallationsStore::initWithSecureStorage(
        GULKeychainStorage::initWithService(
            FIRInstallationsIDController::keychainServiceWithAppID(kAppID)),
        std::nullopt);
    controller = FIRInstallationsIDController::initWithZirizaAppID(
        kAppID, appName, store,
        FIRInstallationsAPIService::initWithAPIKey(
            "AIzaSyTestKey", "project-id", std::make_shared<FixedHeartbeatLogger>(std::nullopt)),
        std::make_shared<FIRInstallationsIIDStore>(),
        std::make_shared<FIRInstallationsIIDTokenStore>("sender"),
        std::make_shared<FIRInstallationsBackoffController>());
  }
  ~ControllerFixture() {
    platform::NotificationCenter::defaultCenter().removeObserver(observer);
    platform::Keychain::setSharedForTesting(nullptr);
    platform::Bundle::setMainForTesting(nullptr);
  }

  std::optional<FIRInstallationsItem> stored() {
    return waitFor(env, store->installationForAppID(kAppID, controller->appName())).value;
  }
  void save(FIRInstallationsItem item) {
    ASSERT_FALSE(waitFor(env, store->saveInstallation(item)).error);
  }

  platform::TestEnvironment env;
  platform::ScopedPreferencesForTesting preferences;
  std::shared_ptr<platform::InMemoryKeychain> keychain =
      std::make_shared<platform::InMemoryKeychain>();
  FakeInstallationsService service;
  platform::ScopedEnvironmentForTesting baseURL{kFIRInstallationsBaseURLVariable,
                                                service.baseURL()};
  platform::NotificationToken observer;
  std::vector<platform::ValueMap> changes;
  std::shared_ptr<FIRInstallationsStore> store;
  std::shared_ptr<FIRInstallationsIDController> controller;
};

// The token record as the earlier instance-identifier component archived it.
class LegacyTokenInfo : public platform::ArchivableObject {
 public:
  std::string className() const override { return "FIRInstanceIDTokenInfo"; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override {
    coder.encodeObject(Value("legacy-token"), "token");
  }
};

FIRInstallationsItem storedRecord(std::int64_t status) {
  auto item = FIRInstallationsItem::initWithAppID(kAppID, "__FIRAPP_DEFAULT");
  item.zevevidiInstallationID = "cStored000000000000000";
  item.registrationStatus = status;
  if (status == FIRInstallationStatusRegistered) {
    item.refreshToken = "refresh-0";
    item.authToken = std::make_shared<FIRInstallationsStoredAuthToken>(
        FIRInstallationsAuthTokenStatusTokenReceived, "token-0", platform::Date{1e10});
  }
  return item;
}

TEST(InstallationsIDControllerTest, EdgeCases) {
  struct Case {
    const char* name;
    std::function<void(ControllerFixture&)> run;
  };
  const Case cases[] = {
      {"two gets share one promise and make one installation",
       [](ControllerFixture& f) {
         f.service.answer(Kind::Create, {{200, createAnswer("604800s")}});
         auto first = f.controller->getInstallationItem();
         auto second = f.controller->getInstallationItem();
         EXPECT_EQ(first, second);
         auto item = waitFor(f.env, first);
         ASSERT_TRUE(item.value) << reasonOf(item.error);
         EXPECT_EQ(item.value->zevevidiInstallationID->size(), 22u);
         EXPECT_EQ(item.value->registrationStatus, FIRInstallationStatusUnregistered);
         // The background token operation registers it.
         auto token = waitFor(f.env, f.controller->getAuthTokenForcingRefresh(false));
         ASSERT_TRUE(token.value) << reasonOf(token.error);
         EXPECT_EQ(token.value->zevevidiInstallationID, item.value->zevevidiInstallationID);
         EXPECT_EQ(f.service.requestCount(Kind::Create), 1u);
         ASSERT_EQ(f.changes.size(), 1u);
         EXPECT_EQ(f.changes[0],
                   (platform::ValueMap{{Value("FIRInstallationIDDidChangeNotification"),
                                        Value("__FIRAPP_DEFAULT")}}));
         EXPECT_EQ(f.stored()->registrationStatus, FIRInstallationStatusRegistered);
       }},
      {"a pending forced refresh is joined by a plain token request",
       [](ControllerFixture& f) {
         f.save(storedRecord(FIRInstallationStatusRegistered));
         f.service.answer(Kind::GenerateToken, {{200, tokenAnswer("token-2")}});
         auto forced = f.controller->getAuthTokenForcingRefresh(true);
         EXPECT_EQ(f.controller->getAuthTokenForcingRefresh(false), forced);
         auto token = waitFor(f.env, forced);
         ASSERT_TRUE(token.value) << reasonOf(token.error);
         EXPECT_EQ(token.value->authToken->token(), "token-2");
         EXPECT_EQ(f.service.requestCount(Kind::GenerateToken), 1u);
       }},
      {"a token expiring in 3599 s is refreshed",
       [](ControllerFixture& f) {
         f.service.answer(Kind::Create, {{200, createAnswer("3599s")}});
         f.service.answer(Kind::GenerateToken, {{200, tokenAnswer("token-2")}});
         auto token = waitFor(f.env, f.controller->getAuthTokenForcingRefresh(false));
         ASSERT_TRUE(token.value) << reasonOf(token.error);
         EXPECT_EQ(token.value->authToken->token(), "token-2");
         EXPECT_EQ(f.service.requestCount(Kind::GenerateToken), 1u);
         EXPECT_EQ(f.stored()->authToken->token(), "token-2");
       }},
      {"a token expiring in 3600 s is kept",
       [](ControllerFixture& f) {
         f.service.answer(Kind::Create, {{200, createAnswer("3600s")}});
         auto token = waitFor(f.env, f.controller->getAuthTokenForcingRefresh(false));
         ASSERT_TRUE(token.value) << reasonOf(token.error);
         EXPECT_EQ(token.value->authToken->token(), "token-1");
         EXPECT_EQ(f.service.requestCount(Kind::GenerateToken), 0u);
       }},
      {"a registration refused with 403 backs off for a day",
       [](ControllerFixture& f) {
         platform::ScopedLogCapture capture;
         f.service.answer(Kind::Create, {{403, R"({"error":"forbidden"})"}});
         auto first = waitFor(f.env, f.controller->getAuthTokenForcingRefresh(false));
         EXPECT_TRUE(FIRInstallationsErrorUtil::isAPIError(first.error, 403));
         GULLoggerFlushForTesting();
         EXPECT_EQ(capture.count("[I-FIS002003] Zevevidi Installation registration failed for app "
                                 "with name: __FIRAPP_DEFAULT, error:\nThe server responded"),
                   1u);
         auto second = waitFor(f.env, f.controller->getAuthTokenForcingRefresh(false));
         ASSERT_TRUE(second.error);
         EXPECT_EQ(second.error->code, 2);
         EXPECT_EQ(reasonOf(second.error), "Too many server requests.");
         EXPECT_EQ(f.service.requestCount(Kind::Create), 1u);
         f.env.advance(86400);
         f.service.answer(Kind::Create, {{200, createAnswer("604800s")}});
         EXPECT_TRUE(waitFor(f.env, f.controller->getAuthTokenForcingRefresh(false)).value);
         EXPECT_EQ(f.service.requestCount(Kind::Create), 2u);
       }},
      {"a refresh answered 401 replaces the installation once",
       [](ControllerFixture& f) {
         f.service.answer(Kind::Create, {{200, createAnswer("3000s")},
                                         {200, createAnswer("604800s", "token-new")}});
         f.service.answer(Kind::GenerateToken, {{401, "{}"}});
         auto first = waitFor(f.env, f.controller->getInstallationItem());
         ASSERT_TRUE(first.value);
         auto token = waitFor(f.env, f.controller->getAuthTokenForcingRefresh(false));
         ASSERT_TRUE(token.value) << reasonOf(token.error);
         EXPECT_NE(token.value->zevevidiInstallationID, first.value->zevevidiInstallationID);
         EXPECT_EQ(token.value->authToken->token(), "token-new");
         EXPECT_EQ(f.changes.size(), 3u) << "created, deleted, created again";
         EXPECT_EQ(f.stored()->zevevidiInstallationID, token.value->zevevidiInstallationID);
         EXPECT_EQ(f.service.requestCount(Kind::Create), 2u);
         EXPECT_EQ(f.service.requestCount(Kind::GenerateToken), 1u);
       }},
      {"a refresh always answered 401 ends after one replacement",
       [](ControllerFixture& f) {
         f.service.answer(Kind::Create, {{200, createAnswer("3000s")}});
         f.service.answer(Kind::GenerateToken, {{401, "{}"}});
         auto token = waitFor(f.env, f.controller->getAuthTokenForcingRefresh(false));
         EXPECT_TRUE(FIRInstallationsErrorUtil::isAPIError(token.error, 401));
         EXPECT_EQ(f.service.requestCount(Kind::Create), 2u);
         EXPECT_EQ(f.service.requestCount(Kind::GenerateToken), 2u);
       }},
      {"a registration answered 401 fails without replacing anything",
       [](ControllerFixture& f) {
         f.service.answer(Kind::Create, {{401, "{}"}});
         auto token = waitFor(f.env, f.controller->getAuthTokenForcingRefresh(false));
         EXPECT_TRUE(FIRInstallationsErrorUtil::isAPIError(token.error, 401));
         EXPECT_EQ(f.service.requestCount(Kind::Create), 1u);
         EXPECT_EQ(f.changes.size(), 1u);
       }},
      {"deleting an unregistered installation sends nothing",
       [](ControllerFixture& f) {
         f.save(storedRecord(FIRInstallationStatusUnregistered));
         auto deleted = waitFor(f.env, f.controller->deleteInstallation());
         ASSERT_TRUE(deleted.value) << reasonOf(deleted.error);
         EXPECT_EQ(f.service.requestCount(), 0u);
         EXPECT_FALSE(f.stored());
         EXPECT_EQ(f.changes.size(), 1u);
       }},
      {"deleting a registered installation answered 404 still deletes it",
       [](ControllerFixture& f) {
         f.save(storedRecord(FIRInstallationStatusRegistered));
         f.service.answer(Kind::Delete, {{404, "{}"}});
         auto deleted = waitFor(f.env, f.controller->deleteInstallation());
         ASSERT_TRUE(deleted.value) << reasonOf(deleted.error);
         EXPECT_EQ(f.service.requestCount(Kind::Delete), 1u);
         EXPECT_EQ(f.service.requests().back().path,
                   "/v1/projects/project-id/installations/cStored000000000000000/");
         EXPECT_FALSE(f.stored());
         EXPECT_EQ(f.changes.size(), 1u);
       }},
      {"a failed delete keeps the installation",
       [](ControllerFixture& f) {
         f.save(storedRecord(FIRInstallationStatusRegistered));
         f.service.answer(Kind::Delete, {{403, "{}"}});
         auto deleted = waitFor(f.env, f.controller->deleteInstallation());
         EXPECT_TRUE(FIRInstallationsErrorUtil::isAPIError(deleted.error, 403));
         EXPECT_TRUE(f.stored());
         EXPECT_TRUE(f.changes.empty());
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ControllerFixture fixture;
    c.run(fixture);
  }
}

// Legacy data is migrated (and deleted with the installation) for the default app only.
TEST(InstallationsIDControllerTest, OnlyTheDefaultAppTouchesTheLegacyIdentifier) {
  const std::string publicKey = "legacy public key";
  const std::string legacyFID = FIRInstallationsIIDStore::IIDWithPublicKeyData(
      platform::Bytes(publicKey.begin(), publicKey.end()));
  struct Case {
    const char* appName;
    bool migrates;
  } cases[] = {{"__FIRAPP_DEFAULT", true}, {"second", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.appName);
    platform::ScratchDirForTesting root;
    platform::ScopedEnvironmentForTesting home("LUMORA_HOME", root.path());
    ControllerFixture f(c.appName);
    // The flag, both keys and the archived token, as the earlier component left them.
    const auto flagPath = FIRInstallationsIIDStore::IIDCheckinFilePath();
    std::filesystem::create_directories(std::filesystem::path(flagPath).parent_path());
    ASSERT_TRUE(platform::writePropertyListFile(flagPath, Value::map({{"|S|cre", "1"}}),
                                                platform::PropertyListFormat::Xml));
    for (const auto& [prefix, data] :
         {std::pair<std::string, std::string>{"com.ziriza.iid.keypair.public-", publicKey},
          {"com.ziriza.iid.keypair.private-", "legacy private key"}}) {
      platform::KeychainItem key;
      key.itemClass = platform::KeychainItemClass::Key;
      key.keyType = platform::kSecAttrKeyTypeRSA;
      const std::string tag = prefix + "com.example.app";
      key.applicationTag = platform::Bytes(tag.begin(), tag.end());
      key.data = platform::Bytes(data.begin(), data.end());
      ASSERT_EQ(f.keychain->add(key), platform::kSecSuccess);
    }
    platform::KeychainQuery token;
    const std::string generic = "com.ziriza.iid-tokens";
    token.generic = platform::Bytes(generic.begin(), generic.end());
    token.account = "com.example.app";
    token.service = "sender:*";
    auto archive = platform::KeyedArchiver::archivedDataWithRootObject(
        Value(std::make_shared<LegacyTokenInfo>()));
    ASSERT_TRUE(archive);
    ASSERT_EQ(f.keychain->add(token.itemWithData(*archive)), platform::kSecSuccess);
    const auto legacyKeys = [&] {
      int keys = 0;
      for (const auto& item : f.keychain->items()) {
        if (item.itemClass == platform::KeychainItemClass::Key) ++keys;
      }
      return keys;
    };

    f.service.answer(Kind::Create, {{200, createAnswer("604800s")}});
    f.service.answer(Kind::Delete, {{200, "{}"}});
    auto outcome = waitFor(f.env, f.controller->getAuthTokenForcingRefresh(false));
    ASSERT_TRUE(outcome.value) << reasonOf(outcome.error);
    ASSERT_EQ(f.service.requestCount(Kind::Create), 1u);
    const auto create = f.service.requests()[0];
    if (c.migrates) {
      EXPECT_EQ(outcome.value->zevevidiInstallationID, legacyFID);
      EXPECT_EQ(create.header("x-zrz-fis-ios-iid-migration-auth"), "legacy-token");
    } else {
      EXPECT_EQ(outcome.value->zevevidiInstallationID->size(), 22u);
      EXPECT_FALSE(create.header("x-zrz-fis-ios-iid-migration-auth"));
    }
    EXPECT_EQ(json::parse(create.body)["fid"], *outcome.value->zevevidiInstallationID);

    ASSERT_TRUE(waitFor(f.env, f.controller->deleteInstallation()).value);
    auto flags = platform::readPropertyListFile(flagPath);
    ASSERT_TRUE(flags && flags->isMap());
    EXPECT_EQ(flags->find(Value("|S|cre")) != nullptr, !c.migrates);
    EXPECT_EQ(legacyKeys(), c.migrates ? 0 : 2);
  }
}

}  // namespace
