#include "platform/security/keychain.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/foundation/file_system.h"
#include "platform/foundation/testing/expanding_property_list_for_testing.h"
#include "platform/foundation/testing/scratch_dir_for_testing.h"
#include "platform/log/log.h"

namespace platform {
namespace {

Bytes bytesOf(std::string_view s) {
  return Bytes(s.begin(), s.end());
}

KeychainQuery password(std::string service, std::string account) {
  KeychainQuery q;
  q.service = std::move(service);
  q.account = std::move(account);
  return q;
}

KeychainQuery key(std::string tag) {
  KeychainQuery q;
  q.itemClass = KeychainItemClass::Key;
  q.keyType = kSecAttrKeyTypeRSA;
  q.applicationTag = bytesOf(tag);
  return q;
}

// The same contract holds for the file store and the test double.
class KeychainContract : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == "file") {
      keychain_ = std::make_shared<FileKeychain>(scratch_ / "Keychains");
    } else {
      keychain_ = std::make_shared<InMemoryKeychain>();
    }
  }
  ScratchDirForTesting scratch_;
  std::shared_ptr<Keychain> keychain_;
};

TEST_P(KeychainContract, AddCopyUpdateDeleteWithStatusCodes) {
  Keychain& k = *keychain_;
  KeychainItem found;
  auto q = password("svc", "acct");
  EXPECT_EQ(k.copyMatching(q, &found), kSecItemNotFound);
  EXPECT_EQ(k.update(q, {bytesOf("x"), {}}), kSecItemNotFound);
  EXPECT_EQ(k.remove(q), kSecItemNotFound);

  ASSERT_EQ(
      k.add(q.itemWithData(bytesOf("secret"), kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly)),
      kSecSuccess);
  EXPECT_EQ(k.add(q.itemWithData(bytesOf("again"))), kSecDuplicateItem);
  ASSERT_EQ(k.copyMatching(q, &found), kSecSuccess);
  EXPECT_EQ(found.data, bytesOf("secret"));
  EXPECT_EQ(found.accessible, kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly);

  EXPECT_EQ(k.update(q, {bytesOf("rotated"), {}}), kSecSuccess);
  ASSERT_EQ(k.copyMatching(q, &found), kSecSuccess);
  EXPECT_EQ(found.data, bytesOf("rotated"));
  EXPECT_EQ(found.accessible, kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly);

  EXPECT_EQ(k.remove(q), kSecSuccess);
  EXPECT_EQ(k.copyMatching(q, &found), kSecItemNotFound);
}

TEST_P(KeychainContract, ItemsAreAddressedByServiceAccountGroupAndByKeyTag) {
  Keychain& k = *keychain_;
  auto inGroup = password("svc", "a");
  inGroup.accessGroup = "group.one";
  ASSERT_EQ(k.add(password("svc", "a").itemWithData(bytesOf("default group"))), kSecSuccess);
  ASSERT_EQ(k.add(inGroup.itemWithData(bytesOf("group one"))), kSecSuccess);
  ASSERT_EQ(k.add(password("svc", "b").itemWithData(bytesOf("other account"))), kSecSuccess);
  ASSERT_EQ(k.add(password("other", "a").itemWithData(bytesOf("other service"))), kSecSuccess);
  ASSERT_EQ(k.add(key("tag-public").itemWithData(bytesOf("public key"))), kSecSuccess);
  ASSERT_EQ(k.add(key("tag-private").itemWithData(bytesOf("private key"))), kSecSuccess);

  KeychainItem found;
  ASSERT_EQ(k.copyMatching(inGroup, &found), kSecSuccess);
  EXPECT_EQ(found.data, bytesOf("group one"));
  auto wrongGroup = inGroup;
  wrongGroup.accessGroup = "group.two";
  EXPECT_EQ(k.copyMatching(wrongGroup, &found), kSecItemNotFound);
  // No access group in the query searches every group.
  std::vector<KeychainItem> all;
  ASSERT_EQ(k.copyAllMatching(password("svc", "a"), &all), kSecSuccess);
  EXPECT_EQ(all.size(), 2u);
  // A password query never sees keys, and a key query only its tag.
  ASSERT_EQ(k.copyAllMatching(KeychainQuery{}, &all), kSecSuccess);
  EXPECT_EQ(all.size(), 4u);
  ASSERT_EQ(k.copyMatching(key("tag-private"), &found), kSecSuccess);
  EXPECT_EQ(found.data, bytesOf("private key"));
  EXPECT_EQ(k.copyMatching(key("tag-missing"), &found), kSecItemNotFound);

  // Deleting one group's item leaves the others.
  EXPECT_EQ(k.remove(inGroup), kSecSuccess);
  ASSERT_EQ(k.copyMatching(password("svc", "a"), &found), kSecSuccess);
  EXPECT_EQ(found.data, bytesOf("default group"));
  EXPECT_EQ(k.remove(key("tag-public")), kSecSuccess);
  EXPECT_EQ(k.copyMatching(key("tag-private"), &found), kSecSuccess);
}

TEST_P(KeychainContract, GenericAttributeNarrowsTheMatch) {
  auto q = password("svc", "acct");
  q.generic = bytesOf("tokens");
  ASSERT_EQ(keychain_->add(q.itemWithData(bytesOf("t"))), kSecSuccess);
  KeychainItem found;
  EXPECT_EQ(keychain_->copyMatching(q, &found), kSecSuccess);
  q.generic = bytesOf("other");
  EXPECT_EQ(keychain_->copyMatching(q, &found), kSecItemNotFound);
}

INSTANTIATE_TEST_SUITE_P(Both, KeychainContract, ::testing::Values("file", "memory"));

TEST(InMemoryKeychain, InjectedFailuresFailThatOperationAndChangeNothing) {
  InMemoryKeychain k;
  auto q = password("svc", "acct");
  k.injectFailure(KeychainOperation::Add, kSecInteractionNotAllowed, 1);
  EXPECT_EQ(k.add(q.itemWithData(bytesOf("v"))), kSecInteractionNotAllowed);
  EXPECT_TRUE(k.items().empty());
  EXPECT_EQ(k.add(q.itemWithData(bytesOf("v"))), kSecSuccess);  // only once

  k.injectFailure(KeychainOperation::CopyMatching, kSecIO);
  KeychainItem found;
  EXPECT_EQ(k.copyMatching(q, &found), kSecIO);
  EXPECT_EQ(k.copyMatching(q, &found), kSecIO);  // until cleared
  k.injectFailure(KeychainOperation::Update, kSecMissingEntitlement);
  EXPECT_EQ(k.update(q, {bytesOf("w"), {}}), kSecMissingEntitlement);
  k.injectFailure(KeychainOperation::Delete, kSecNotAvailable);
  EXPECT_EQ(k.remove(q), kSecNotAvailable);
  ASSERT_EQ(k.items().size(), 1u);
  EXPECT_EQ(k.items()[0].data, bytesOf("v"));

  k.clearFailures();
  EXPECT_EQ(k.copyMatching(q, &found), kSecSuccess);
  EXPECT_EQ(k.callCount(KeychainOperation::CopyMatching), 3);
  EXPECT_EQ(k.callCount(KeychainOperation::Add), 2);
}

TEST(FileKeychain, PrivateFilesSharedByInstancesAndDamageSetAside) {
  ScratchDirForTesting scratch;
  std::string dir = scratch / "Keychains";
  auto q = password("svc", "acct");
  ASSERT_EQ(FileKeychain(dir).add(q.itemWithData(bytesOf("v"))), kSecSuccess);

  struct stat st {};
  ASSERT_EQ(::stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat((dir + "/keychain.plist").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  KeychainItem found;
  FileKeychain second(dir);  // another instance, as another process would
  ASSERT_EQ(second.copyMatching(q, &found), kSecSuccess);
  EXPECT_EQ(found.data, bytesOf("v"));

  std::ofstream(dir + "/keychain.plist") << "garbage";
  ScopedLogCapture log;
  EXPECT_EQ(second.copyMatching(q, &found), kSecItemNotFound);
  EXPECT_EQ(log.count("keychain.plist.damaged"), 1u);
  std::ifstream aside(dir + "/keychain.plist.damaged");
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(aside)), {}), "garbage");
  EXPECT_EQ(second.add(q.itemWithData(bytesOf("fresh"))), kSecSuccess);

  // A file of shared references that would read as gigabytes of copies is damaged too.
  auto bomb = expandingPropertyListForTesting();
  std::ofstream(dir + "/keychain.plist", std::ios::binary)
      .write(reinterpret_cast<const char*>(bomb.data()), static_cast<std::streamsize>(bomb.size()));
  EXPECT_EQ(second.copyMatching(q, &found), kSecItemNotFound);
  EXPECT_EQ(log.count("keychain.plist.damaged"), 2u);
}

TEST(FileKeychain, DiskAndLockFailuresAreIOStatusesAndLoseNothing) {
  ScratchDirForTesting scratch;
  const std::string dir = scratch / "Keychains";
  const std::string file = dir + "/keychain.plist";
  auto kept = password("svc", "kept");
  ASSERT_EQ(FileKeychain(dir).add(kept.itemWithData(bytesOf("v"))), kSecSuccess);
  auto fresh = password("svc", "fresh");
  struct Case {
    std::uint32_t operation;
    std::string path;
    int error;
  };
  const Case cases[] = {
      {kFileWrite, file, ENOSPC},
      {kFileWrite, file, EIO},
      {kFileRead, file, EIO},
      {kFileRead, file, EACCES},
      {kFileLock, dir + "/keychain.lock", EACCES},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + " " + std::to_string(c.error));
    auto fs = std::make_shared<FaultInjectingFileSystem>();
    fs->inject(c.operation, c.path, c.error);
    ScopedFileSystemForTesting installed(fs);
    FileKeychain keychain(dir);
    EXPECT_EQ(keychain.add(fresh.itemWithData(bytesOf("new"))), kSecIO);
    if (c.operation != kFileWrite) {
      KeychainItem found;
      EXPECT_EQ(keychain.copyMatching(kept, &found), kSecIO);
    }
    EXPECT_GT(fs->injectedFailures(), 0);
    fs->clear();
    // Nothing was lost, nothing half-added, and an unreadable file was not set aside.
    std::vector<KeychainItem> all;
    ASSERT_EQ(keychain.copyAllMatching(KeychainQuery{}, &all), kSecSuccess);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].account, "kept");
    EXPECT_FALSE(std::filesystem::exists(file + ".damaged"));
  }
}

TEST(FileKeychain, WritersSharingTheFileLoseNothing) {
  ScratchDirForTesting scratch;
  std::string dir = scratch / "Keychains";
  // Separate instances stand for separate processes: only the lock file orders them.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, dir] {
      FileKeychain k(dir);
      for (int i = 0; i < 25; ++i) {
        auto q = password("svc", std::to_string(t) + "-" + std::to_string(i));
        EXPECT_EQ(k.add(q.itemWithData(bytesOf("v"))), kSecSuccess);
      }
    });
  }
  for (auto& th : threads)
    th.join();
  std::vector<KeychainItem> all;
  ASSERT_EQ(FileKeychain(dir).copyAllMatching(KeychainQuery{}, &all), kSecSuccess);
  EXPECT_EQ(all.size(), 100u);
}

TEST(FileKeychain, SharedKeychainLivesUnderTheStateRoot) {
  ScratchDirForTesting home;
  ScopedEnvironmentForTesting env("LUMORA_HOME", home.path());
  Keychain::setSharedForTesting(nullptr);
  auto q = password("svc", "acct");
  ASSERT_EQ(Keychain::shared()->add(q.itemWithData(bytesOf("v"))), kSecSuccess);
  struct stat st {};
  EXPECT_EQ(::stat((home.path() + "/Keychains/keychain.plist").c_str(), &st), 0);
  Keychain::setSharedForTesting(nullptr);
}

}  // namespace
}  // namespace platform
