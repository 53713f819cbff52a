#include "zevevidi/utilities/gul_keychain_storage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>

#include "platform/foundation/foundation_errors.h"
#include "platform/security/keychain.h"

namespace {

using platform::ErrorPtr;
using platform::KeychainOperation;
using platform::ObjectPtr;
using platform::Value;

class Token : public platform::ArchivableObject {
 public:
  explicit Token(std::string text = {}) : text(std::move(text)) {}
  std::string className() const override { return "Token"; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override {
    coder.encodeObject(Value(text), "text");
  }
  static platform::ArchiveClass archiveClass() {
    return {"Token", [](platform::KeyedUnarchiver& coder) -> ObjectPtr {
              auto text = coder.decodeStringForKey("text");
              return text ? std::make_shared<Token>(*text) : nullptr;
            }};
  }
  std::string text;
};

class OtherRecord : public platform::ArchivableObject {
 public:
  std::string className() const override { return "OtherRecord"; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override {
    coder.encodeInteger(1, "n");
  }
};

// Not archivable: the keychain cannot hold it.
class Plain : public platform::Object {};

// The in-memory keychain, with a gate that can hold the next copy-matching call until the test
// lets it go, to line up the storage's two queues in a chosen order.
class GatedKeychain : public platform::InMemoryKeychain {
 public:
  void holdNextRead() {
    std::lock_guard lock(m_);
    hold_ = true;
  }
  void waitUntilHeld() {
    std::unique_lock lock(m_);
    ASSERT_TRUE(cv_.wait_for(lock, std::chrono::seconds(10), [&] { return held_; }));
  }
  void release() {
    std::lock_guard lock(m_);
    hold_ = false;
    held_ = false;
    cv_.notify_all();
  }

 protected:
  platform::OSStatus before(KeychainOperation op) override {
    if (op == KeychainOperation::CopyMatching) {
      std::unique_lock lock(m_);
      if (hold_) {
        held_ = true;
        cv_.notify_all();
        cv_.wait(lock, [&] { return !hold_; });
      }
    }
    return InMemoryKeychain::before(op);
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool hold_ = false;
  bool held_ = false;
};

struct Outcome {
  ObjectPtr object;
  ErrorPtr error;
  std::string text() const {
    auto token = std::dynamic_pointer_cast<Token>(object);
    return token ? token->text : "<none>";
  }
  std::string reason() const {
    if (!error) return "<no error>";
    auto it = error->userInfo.find(Value(platform::kLocalizedFailureReasonKey));
    return it == error->userInfo.end() ? "<no reason>" : it->second.asString();
  }
};

template <class T> T await(std::future<T>& future) {
  EXPECT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  return future.get();
}

class GULKeychainStorageTest : public testing::Test {
 protected:
  void SetUp() override { platform::Keychain::setSharedForTesting(keychain_); }
  void TearDown() override { platform::Keychain::setSharedForTesting(nullptr); }

  std::future<Outcome> getAsync(const std::shared_ptr<GULKeychainStorage>& storage,
                                const std::string& key,
                                std::optional<std::string> group = std::nullopt) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    storage->getObjectForKey(key, Token::archiveClass(), group, [promise](ObjectPtr o, ErrorPtr e) {
      promise->set_value({std::move(o), std::move(e)});
    });
    return promise->get_future();
  }
  Outcome get(const std::string& key, std::optional<std::string> group = std::nullopt) {
    auto future = getAsync(storage_, key, group);
    return await(future);
  }
  std::future<Outcome> setAsync(ObjectPtr object, const std::string& key,
                                std::optional<std::string> group = std::nullopt) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    storage_->setObject(object, key, group, [promise](ObjectPtr o, ErrorPtr e) {
      promise->set_value({std::move(o), std::move(e)});
    });
    return promise->get_future();
  }
  Outcome set(ObjectPtr object, const std::string& key,
              std::optional<std::string> group = std::nullopt) {
    auto future = setAsync(std::move(object), key, group);
    return await(future);
  }
  ErrorPtr remove(const std::string& key) {
    auto promise = std::make_shared<std::promise<ErrorPtr>>();
    storage_->removeObjectForKey(key, std::nullopt,
                                 [promise](ErrorPtr e) { promise->set_value(std::move(e)); });
    auto future = promise->get_future();
    return await(future);
  }
  int reads() { return keychain_->callCount(KeychainOperation::CopyMatching); }

  std::shared_ptr<GatedKeychain> keychain_ = std::make_shared<GatedKeychain>();
  std::shared_ptr<GULKeychainStorage> storage_ = GULKeychainStorage::initWithService("svc");
};

TEST_F(GULKeychainStorageTest, StoresOneGenericPasswordPerKeyAndReadsThrough) {
  Outcome missing = get("never-written");
  EXPECT_FALSE(missing.object);
  EXPECT_FALSE(missing.error);

  auto token = std::make_shared<Token>("secret");
  Outcome written = set(token, "install");
  EXPECT_EQ(written.object, token);
  EXPECT_FALSE(written.error);

  auto items = keychain_->items();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].itemClass, platform::KeychainItemClass::GenericPassword);
  EXPECT_EQ(items[0].service, "svc");
  EXPECT_EQ(items[0].account, "install");
  EXPECT_EQ(items[0].accessible, platform::kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly);

  // Overwriting updates the same item.
  EXPECT_FALSE(set(std::make_shared<Token>("rotated"), "install").error);
  EXPECT_EQ(keychain_->items().size(), 1u);

  // A storage with a cold cache reads the keychain once, then serves from its cache.
  storage_ = GULKeychainStorage::initWithService("svc");
  const int before = reads();
  EXPECT_EQ(get("install").text(), "rotated");
  EXPECT_EQ(get("install").text(), "rotated");
  EXPECT_EQ(reads(), before + 1);

  storage_->resetInMemoryCache();
  EXPECT_EQ(get("install").text(), "rotated");
  EXPECT_EQ(reads(), before + 2);

  // Another service does not see the item.
  storage_ = GULKeychainStorage::initWithService("other-svc");
  EXPECT_EQ(get("install").text(), "<none>");
}

TEST_F(GULKeychainStorageTest, AReadRightAfterAWriteIsServedFromTheCache) {
  keychain_->holdNextRead();  // the write's keychain step starts with a read
  auto token = std::make_shared<Token>("fresh");
  auto write = setAsync(token, "k");
  keychain_->waitUntilHeld();
  // The keychain write has not finished, yet the read already has the object.
  Outcome read = get("k");
  EXPECT_EQ(read.object, token);
  keychain_->release();
  EXPECT_FALSE(await(write).error);
}

TEST_F(GULKeychainStorageTest, InjectedKeychainFailuresAreReportedAndNeverCached) {
  struct Case {
    const char* name;
    KeychainOperation failing;
    platform::OSStatus status;
    bool existingItem;
    const char* reason;
  };
  const Case cases[] = {
      {"add", KeychainOperation::Add, platform::kSecMissingEntitlement, false,
       "SecItemAdd (-34018)"},
      {"update", KeychainOperation::Update, platform::kSecInteractionNotAllowed, true,
       "SecItemUpdate (-25308)"},
      {"read before write", KeychainOperation::CopyMatching, platform::kSecNotAvailable, true,
       "SecItemCopyMatching (-25291)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    keychain_->clearFailures();
    ASSERT_FALSE(remove("k"));
    if (c.existingItem) {
      ASSERT_FALSE(set(std::make_shared<Token>("old"), "k").error);
    }

    keychain_->injectFailure(c.failing, c.status, 1);
    Outcome failed = set(std::make_shared<Token>("new"), "k");
    EXPECT_FALSE(failed.object);
    ASSERT_TRUE(failed.error);
    EXPECT_EQ(failed.error->domain, "com.gul.keychain.ErrorDomain");
    EXPECT_EQ(failed.error->code, 0);
    EXPECT_EQ(failed.reason(), c.reason);

    // The refused object is not offered from the cache: reads see what the keychain holds.
    EXPECT_EQ(get("k").text(), c.existingItem ? "old" : "<none>");
  }
}

TEST_F(GULKeychainStorageTest, ReadAndDeleteFailuresCompleteWithTheirErrors) {
  ASSERT_FALSE(set(std::make_shared<Token>("v"), "k").error);
  storage_->resetInMemoryCache();
  keychain_->injectFailure(KeychainOperation::CopyMatching, platform::kSecInteractionNotAllowed, 1);
  Outcome read = get("k");
  EXPECT_FALSE(read.object);
  EXPECT_EQ(read.reason(), "SecItemCopyMatching (-25308)");
  EXPECT_EQ(get("k").text(), "v");  // a failed read does not poison the cache

  keychain_->injectFailure(KeychainOperation::Delete, platform::kSecIO, 1);
  ErrorPtr error = remove("k");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, "com.gul.keychain.ErrorDomain");
  EXPECT_EQ(error->userInfo.at(Value(platform::kLocalizedFailureReasonKey)),
            Value("SecItemDelete (-36)"));

  EXPECT_FALSE(remove("k"));
  EXPECT_EQ(get("k").text(), "<none>");
  EXPECT_FALSE(remove("k"));  // removing what is not there succeeds
}

TEST_F(GULKeychainStorageTest, ObjectsThatCannotBeArchivedAreRefusedAndNotCached) {
  auto plain = std::make_shared<Plain>();
  Outcome outcome = set(plain, "k");
  EXPECT_FALSE(outcome.object);
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->code, platform::kCoderInvalidValueError);
  Outcome read = get("k");
  EXPECT_FALSE(read.object);
  EXPECT_FALSE(read.error);
  EXPECT_TRUE(keychain_->items().empty());
}

TEST_F(GULKeychainStorageTest, StoredDataOfTheWrongShapeIsAnError) {
  platform::KeychainQuery query;
  query.service = "svc";
  query.account = "garbage";
  ASSERT_EQ(keychain_->add(query.itemWithData(platform::Bytes{1, 2, 3})), platform::kSecSuccess);
  Outcome garbage = get("garbage");
  EXPECT_FALSE(garbage.object);
  EXPECT_TRUE(garbage.error);

  ASSERT_FALSE(set(std::make_shared<OtherRecord>(), "other").error);
  storage_->resetInMemoryCache();
  Outcome other = get("other");
  EXPECT_FALSE(other.object);
  EXPECT_TRUE(other.error);

  auto text = platform::KeyedArchiver::archivedDataWithRootObject(Value("just text"));
  ASSERT_TRUE(text);
  query.account = "text";
  ASSERT_EQ(keychain_->add(query.itemWithData(*text)), platform::kSecSuccess);
  Outcome plainValue = get("text");
  EXPECT_FALSE(plainValue.object);
  EXPECT_TRUE(plainValue.error);
}

TEST_F(GULKeychainStorageTest, AccessGroupsAddressSeparateItems) {
  ASSERT_FALSE(set(std::make_shared<Token>("one"), "k", "group.one").error);
  storage_->resetInMemoryCache();
  EXPECT_EQ(get("k", "group.two").text(), "<none>");
  EXPECT_EQ(get("k", "group.one").text(), "one");
  ASSERT_FALSE(set(std::make_shared<Token>("two"), "k", "group.two").error);
  EXPECT_EQ(keychain_->items().size(), 2u);
}

TEST_F(GULKeychainStorageTest, TheCacheKeepsFiveEntries) {
  for (int i = 1; i <= 6; ++i) {
    ASSERT_FALSE(
        set(std::make_shared<Token>("v" + std::to_string(i)), "k" + std::to_string(i)).error);
  }
  const int before = reads();
  for (int i = 2; i <= 6; ++i)
    EXPECT_EQ(get("k" + std::to_string(i)).text(), "v" + std::to_string(i));
  EXPECT_EQ(reads(), before);
  // The oldest entry was evicted and is read from the keychain.
  EXPECT_EQ(get("k1").text(), "v1");
  EXPECT_EQ(reads(), before + 1);
}

TEST_F(GULKeychainStorageTest, AKeychainReadDoesNotOverwriteANewerWrite) {
  ASSERT_FALSE(set(std::make_shared<Token>("old"), "k").error);
  storage_->resetInMemoryCache();

  // A read misses the cache and is held inside the keychain, holding "old".
  keychain_->holdNextRead();
  auto staleRead = getAsync(storage_, "k");
  keychain_->waitUntilHeld();
  // Meanwhile a write caches "new"; its keychain step waits behind the held read.
  auto newer = std::make_shared<Token>("new");
  auto write = setAsync(newer, "k");
  EXPECT_EQ(get("k").object, newer);

  keychain_->release();
  EXPECT_EQ(await(staleRead).text(), "old");
  EXPECT_FALSE(await(write).error);
  EXPECT_EQ(get("k").object, newer);

  // The same holds for a removal made while a read is in the keychain.
  storage_->resetInMemoryCache();
  keychain_->holdNextRead();
  auto readBeforeRemoval = getAsync(storage_, "k");
  keychain_->waitUntilHeld();
  auto promise = std::make_shared<std::promise<ErrorPtr>>();
  storage_->removeObjectForKey("k", std::nullopt, [promise](ErrorPtr e) { promise->set_value(e); });
  keychain_->release();
  EXPECT_EQ(await(readBeforeRemoval).text(), "new");
  auto removal = promise->get_future();
  EXPECT_FALSE(await(removal));
  EXPECT_EQ(get("k").text(), "<none>");
}

}  // namespace
