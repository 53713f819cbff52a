#include "zevevidi/installations/fir_installations_store.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include <nlohmann/json.hpp>

#include "platform/foundation/environment.h"
#include "platform/foundation/preferences.h"
#include "platform/foundation/testing/scratch_dir_for_testing.h"
#include "platform/log/log.h"
#include "platform/security/keychain.h"
#include "zevevidi/installations/fir_installations_errors.h"
#include "zevevidi/installations/testing/installations_test_support.h"
#include "zevevidi/utilities/gul_keychain_storage.h"
#include "zevevidi/utilities/gul_keychain_utils.h"
#include "zevevidi/utilities/gul_logger.h"

namespace {

using installations_testing::reasonOf;

using installations_testing::waitFor;
using platform::KeychainOperation;
using platform::Value;

constexpr const char* kAppID = "1:2:ios:3";
constexpr const char* kAppName = "__FIRAPP_DEFAULT";
constexpr const char* kIdentifier = "1:2:ios:3__FIRAPP_DEFAULT";
constexpr const char* kService = "com.zevevidi.FIRInstallations.installations.1:2:ios:3";

FIRInstallationsItem registeredItem() {
  auto item = FIRInstallationsItem::initWithAppID(kAppID, kAppName);
  item.zevevidiInstallationID = "cFid0000000000000000_-";
  item.refreshToken = "refresh";
  item.authToken = std::make_shared<FIRInstallationsStoredAuthToken>(
      FIRInstallationsAuthTokenStatusTokenReceived, "token", platform::Date{1700003600});
  item.registrationStatus = FIRInstallationStatusRegistered;
  return item;
}

// A stored item as a newer version of the record would write it.
class FutureStoredItem : public platform::ArchivableObject {
 public:
  std::string className() const override { return FIRInstallationsStoredItem::kClassName; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override {
    coder.encodeObject(Value("cFutureFid000000000000"), "zevevidiInstallationID");
    coder.encodeInteger(FIRInstallationStatusUnregistered, "registrationStatus");
    coder.encodeObject(Value("added later"), "somethingNew");
    coder.encodeInteger(2, "storageVersion");
  }
};

class InstallationsStoreTest : public testing::Test {
 protected:
  platform::TestEnvironment env_;
  void SetUp() override { platform::Keychain::setSharedForTesting(keychain_); }
  void TearDown() override { platform::Keychain::setSharedForTesting(nullptr); }

  std::shared_ptr<FIRInstallationsStore> makeStore(std::optional<std::string> accessGroup = {}) {
    return FIRInstallationsStore::initWithSecureStorage(
        GULKeychainStorage::initWithService(kService), std::move(accessGroup));
  }
  static Value marker(const std::string& suite) {
    return platform::Preferences::withSuiteName(suite)->objectForKey(kIdentifier);
  }

  platform::ScopedPreferencesForTesting preferences_;
  std::shared_ptr<platform::InMemoryKeychain> keychain_ =
      std::make_shared<platform::InMemoryKeychain>();
};

TEST_F(InstallationsStoreTest, SavedRecordsReadBackUntilRemoved) {
  auto store = makeStore();
  ASSERT_FALSE(waitFor(env_, store->saveInstallation(registeredItem())).error);
  EXPECT_EQ(marker("com.zevevidi.FIRInstallations"), Value(true));
  auto items = keychain_->items();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].service, kService);
  EXPECT_EQ(items[0].account, kIdentifier);

  // A fresh store (no cache) reads the archive back.
  auto read = waitFor(env_, makeStore()->installationForAppID(kAppID, kAppName));
  ASSERT_TRUE(read.value) << reasonOf(read.error);
  EXPECT_EQ(read.value->appID, kAppID);
  EXPECT_EQ(read.value->zevevidiAppName, kAppName);
  EXPECT_EQ(read.value->zevevidiInstallationID, "cFid0000000000000000_-");
  EXPECT_EQ(read.value->refreshToken, "refresh");
  EXPECT_EQ(read.value->registrationStatus, FIRInstallationStatusRegistered);
  ASSERT_TRUE(read.value->authToken);
  EXPECT_EQ(read.value->authToken->token(), "token");
  EXPECT_EQ(read.value->authToken->expirationDate()->secondsSince1970, 1700003600);
  EXPECT_TRUE(read.value->isValid());

  ASSERT_FALSE(waitFor(env_, store->removeInstallationForAppID(kAppID, kAppName)).error);
  EXPECT_TRUE(marker("com.zevevidi.FIRInstallations").isNull());
  EXPECT_TRUE(keychain_->items().empty());
  auto gone = waitFor(env_, store->installationForAppID(kAppID, kAppName));
  ASSERT_TRUE(gone.error);
  EXPECT_EQ(gone.error->code, 0);
  EXPECT_EQ(reasonOf(gone.error),
            "Installation for appID 1:2:ios:3 appName __FIRAPP_DEFAULT not found");
}

TEST_F(InstallationsStoreTest, AnArchiveWithoutItsMarkerIsNotRead) {
  auto store = makeStore();
  ASSERT_FALSE(waitFor(env_, store->saveInstallation(registeredItem())).error);
  platform::Preferences::withSuiteName("com.zevevidi.FIRInstallations")
      ->removeObjectForKey(kIdentifier);
  const int reads = keychain_->callCount(KeychainOperation::CopyMatching);
  auto read = waitFor(env_, makeStore()->installationForAppID(kAppID, kAppName));
  ASSERT_TRUE(read.error);
  EXPECT_EQ(reasonOf(read.error),
            "Installation for appID 1:2:ios:3 appName __FIRAPP_DEFAULT not found");
  EXPECT_EQ(keychain_->callCount(KeychainOperation::CopyMatching), reads);
}

TEST_F(InstallationsStoreTest, KeychainFailuresPassThroughAndLeaveTheMarker) {
  keychain_->injectFailure(KeychainOperation::Add, platform::kSecInteractionNotAllowed);
  auto store = makeStore();
  auto saved = waitFor(env_, store->saveInstallation(registeredItem()));
  ASSERT_TRUE(saved.error);
  EXPECT_EQ(saved.error->domain, kGULKeychainUtilsErrorDomain);
  EXPECT_TRUE(marker("com.zevevidi.FIRInstallations").isNull());

  keychain_->clearFailures();
  ASSERT_FALSE(waitFor(env_, store->saveInstallation(registeredItem())).error);
  keychain_->injectFailure(KeychainOperation::Delete, platform::kSecInteractionNotAllowed);
  auto removed = waitFor(env_, store->removeInstallationForAppID(kAppID, kAppName));
  ASSERT_TRUE(removed.error);
  EXPECT_EQ(marker("com.zevevidi.FIRInstallations"), Value(true));
}

TEST_F(InstallationsStoreTest, TheAccessGroupNamesTheMarkerSuite) {
  auto store = makeStore("group.x");
  ASSERT_FALSE(waitFor(env_, store->saveInstallation(registeredItem())).error);
  EXPECT_EQ(marker("group.x"), Value(true));
  EXPECT_TRUE(marker("com.zevevidi.FIRInstallations").isNull());
  EXPECT_EQ(keychain_->items().at(0).accessGroup, "group.x");
  EXPECT_TRUE(waitFor(env_, store->installationForAppID(kAppID, kAppName)).value);
}

TEST_F(InstallationsStoreTest, AnAccessGroupThatCannotBeASuiteFailsEveryOperation) {
  auto store = makeStore("group/x");
  auto saved = waitFor(env_, store->saveInstallation(registeredItem()));
  auto read = waitFor(env_, store->installationForAppID(kAppID, kAppName));
  auto exists = waitFor(env_, store->installationExistsForAppID(kAppID, kAppName));
  auto removed = waitFor(env_, store->removeInstallationForAppID(kAppID, kAppName));
  for (const auto& error : {saved.error, read.error, exists.error, removed.error}) {
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, kZevevidiInstallationsErrorDomain);
    EXPECT_EQ(error->code, 0);
    EXPECT_NE(reasonOf(error).find("group/x"), std::string::npos) << reasonOf(error);
  }
  EXPECT_EQ(keychain_->callCount(KeychainOperation::Add), 0);
  EXPECT_EQ(keychain_->callCount(KeychainOperation::Delete), 0);
}

TEST_F(InstallationsStoreTest, ANewerStorageVersionReadsWithAWarning) {
  auto data = platform::KeyedArchiver::archivedDataWithRootObject(
      Value(std::make_shared<FutureStoredItem>()));
  ASSERT_TRUE(data);
  platform::KeychainQuery query;
  query.service = kService;
  query.account = kIdentifier;
  ASSERT_EQ(keychain_->add(query.itemWithData(*data)), platform::kSecSuccess);
  platform::Preferences::withSuiteName("com.zevevidi.FIRInstallations")->setBool(kIdentifier, true);

  platform::ScopedLogCapture capture;
  auto read = waitFor(env_, makeStore()->installationForAppID(kAppID, kAppName));
  GULLoggerFlushForTesting();
  ASSERT_TRUE(read.value) << reasonOf(read.error);
  EXPECT_EQ(read.value->zevevidiInstallationID, "cFutureFid000000000000");
  EXPECT_EQ(read.value->registrationStatus, FIRInstallationStatusUnregistered);
  EXPECT_EQ(capture.count("[I-FIS003000] FIRInstallationsStoredItem was encoded by a newer coder "
                          "version 2. Current coder version is 1. Some installation data may be "
                          "lost."),
            1u);
}

// The product's keychain stand-in and preferences, read back by python's plistlib.
TEST(InstallationsStoreFilesTest, ARegisteredRecordIsReadableOutsideTheCode) {
  platform::TestEnvironment env_;
  platform::ScratchDirForTesting root;
  ASSERT_FALSE(root.path().empty());
  platform::ScopedEnvironmentForTesting home("LUMORA_HOME", root.path());
  platform::ScopedPreferencesForTesting preferences("com.lumora.tests", root / "Preferences");
  platform::Keychain::setSharedForTesting(std::make_shared<platform::FileKeychain>());

  auto store = FIRInstallationsStore::initWithSecureStorage(
      GULKeychainStorage::initWithService(kService), std::nullopt);
  ASSERT_FALSE(waitFor(env_, store->saveInstallation(registeredItem())).error);

  const std::string script = root / "read.py";
  std::ofstream(script) << R"(import json, os, plistlib, sys
root = sys.argv[1]
out = {}
path = os.path.join(root, "Keychains", "keychain.plist")
items = plistlib.load(open(path, "rb")) if os.path.exists(path) else []
out["items"] = []
for item in items:
    archive = plistlib.loads(item["data"])
    stored = archive["$top"]["root"]
    fields = stored["$fields"]
    token = fields["authToken"]
    out["items"].append({"class": item["class"], "service": item["service"],
        "account": item["account"], "archivedClass": stored["$class"],
        "keys": sorted(fields), "status": fields["registrationStatus"],
        "fid": fields["zevevidiInstallationID"], "tokenClass": token["$class"],
        "tokenKeys": sorted(token["$fields"])})
prefs = os.path.join(root, "Preferences", "com.zevevidi.FIRInstallations.plist")
out["marker"] = plistlib.load(open(prefs, "rb")) if os.path.exists(prefs) else None
print(json.dumps(out))
)";
  auto read = [&] {
    return installations_testing::runPython("'" + script + "' '" + root.path() + "'");
  };

  auto saved = read();
  ASSERT_EQ(saved["items"].size(), 1u) << saved.dump();
  const auto& item = saved["items"][0];
  EXPECT_EQ(item["class"], "password");
  EXPECT_EQ(item["service"], kService);
  EXPECT_EQ(item["account"], kIdentifier);
  EXPECT_EQ(item["archivedClass"], "FIRInstallationsStoredItem");
  EXPECT_EQ(item["keys"], nlohmann::json({"authToken", "refreshToken", "registrationStatus",
                                          "storageVersion", "zevevidiInstallationID"}));
  EXPECT_EQ(item["status"], 2);
  EXPECT_EQ(item["fid"], "cFid0000000000000000_-");
  EXPECT_EQ(item["tokenClass"], "FIRInstallationsStoredAuthToken");
  EXPECT_EQ(item["tokenKeys"],
            nlohmann::json({"expirationDate", "status", "storageVersion", "token"}));
  EXPECT_EQ(saved["marker"], nlohmann::json({{kIdentifier, true}}));

  ASSERT_FALSE(waitFor(env_, store->removeInstallationForAppID(kAppID, kAppName)).error);
  auto removed = read();
  EXPECT_TRUE(removed["items"].empty()) << removed.dump();
  EXPECT_TRUE(removed["marker"].is_null() || removed["marker"].empty()) << removed.dump();
  platform::Keychain::setSharedForTesting(nullptr);
}

}  // namespace
