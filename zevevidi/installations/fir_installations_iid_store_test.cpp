#include "zevevidi/installations/fir_installations_iid_store.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/core/base64.h"
#include "platform/core/digest.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/environment.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/keyed_archive.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/testing/scratch_dir_for_testing.h"
#include "platform/security/keychain.h"
#include "zevevidi/installations/fir_installations_errors.h"
#include "zevevidi/installations/testing/installations_test_support.h"

namespace {

using installations_testing::waitFor;
using platform::Bytes;
using platform::Value;

constexpr const char* kBundleID = "com.example.app";

Bytes bytesOf(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

// The token record as the earlier component archived it.
class LegacyTokenInfo : public platform::ArchivableObject {
 public:
  explicit LegacyTokenInfo(std::string token) : token_(std::move(token)) {}
  std::string className() const override { return "FIRInstanceIDTokenInfo"; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override {
    coder.encodeObject(Value(token_), "token");
    coder.encodeObject(Value("ignored"), "scope");
  }

 private:
  std::string token_;
};

class IIDStoreTest : public testing::Test {
 protected:
  platform::TestEnvironment env_;
  void SetUp() override {
    platform::Keychain::setSharedForTesting(keychain_);
    setBundleID(kBundleID);
  }
  void TearDown() override {
    platform::Keychain::setSharedForTesting(nullptr);
    platform::Bundle::setMainForTesting(nullptr);
  }
  static void setBundleID(std::optional<std::string> id) {
    platform::ValueMap info;
    if (id) info[Value("CFBundleIdentifier")] = Value(*id);
    platform::Bundle::setMainForTesting(platform::Bundle::inMemory("/nonexistent", info));
  }
  void writeFlagFile(const Value& contents) {
    const auto path = FIRInstallationsIIDStore::IIDCheckinFilePath();
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    ASSERT_TRUE(platform::writePropertyListFile(path, contents, platform::PropertyListFormat::Xml));
  }
  void addKey(const std::string& prefix, Bytes data) {
    platform::KeychainItem key;
    key.itemClass = platform::KeychainItemClass::Key;
    key.keyType = platform::kSecAttrKeyTypeRSA;
    key.applicationTag = bytesOf(prefix + kBundleID);
    key.data = std::move(data);
    ASSERT_EQ(keychain_->add(key), platform::kSecSuccess);
  }
  void addToken(const Bytes& archive) {
    platform::KeychainQuery query;
    query.generic = bytesOf("com.ziriza.iid-tokens");
    query.account = kBundleID;
    query.service = "sender:*";
    ASSERT_EQ(keychain_->add(query.itemWithData(archive)), platform::kSecSuccess);
  }

  platform::ScratchDirForTesting root_;
  platform::ScopedEnvironmentForTesting home_{"LUMORA_HOME", root_.path()};
  std::shared_ptr<platform::InMemoryKeychain> keychain_ =
      std::make_shared<platform::InMemoryKeychain>();
  FIRInstallationsIIDStore store_;
};

TEST_F(IIDStoreTest, TheLegacyIdentifierComesFromTheFlaggedPublicKey) {
  const Bytes key = bytesOf("public key bytes");
  // Derived independently: SHA-1, first byte 0x70 | low nibble, 8 bytes, URL-safe base64.
  Bytes sha1 = platform::digest(platform::DigestAlgorithm::SHA1, key);
  sha1[0] = static_cast<std::uint8_t>(0x70 | (sha1[0] & 0x0F));
  std::string expected = platform::base64Encode(Bytes(sha1.begin(), sha1.begin() + 8));
  for (char& c : expected)
    c = c == '+' ? '-' : c == '/' ? '_' : c;
  std::erase(expected, '=');
  ASSERT_EQ(expected.size(), 11u);
  EXPECT_EQ(FIRInstallationsIIDStore::IIDWithPublicKeyData(key), expected);
  EXPECT_EQ(FIRInstallationsIIDStore::IIDWithPublicKeyData({}), "");

  EXPECT_TRUE(waitFor(env_, store_.existingIID()).error) << "no flag file";
  writeFlagFile(Value(platform::ValueMap{{Value("|S|cre"), Value("123")}}));
  EXPECT_TRUE(waitFor(env_, store_.existingIID()).error) << "a flag without a key is no identifier";
  addKey("com.ziriza.iid.keypair.public-", key);
  auto iid = waitFor(env_, store_.existingIID());
  ASSERT_TRUE(iid.value);
  EXPECT_EQ(*iid.value, FIRInstallationsIIDStore::IIDWithPublicKeyData(key));
  EXPECT_NE(std::string("cdef").find((*iid.value)[0]), std::string::npos);

  setBundleID(std::nullopt);
  EXPECT_TRUE(waitFor(env_, store_.existingIID()).error) << "no tag without a bundle identifier";
}

TEST_F(IIDStoreTest, DeletionRemovesTheFlagAndBothKeys) {
  // Neither file nor keys: nothing to do, success.
  EXPECT_FALSE(waitFor(env_, store_.deleteExistingIID()).error);

  writeFlagFile(
      Value(platform::ValueMap{{Value("|S|cre"), Value("1")}, {Value("other"), Value(2)}}));
  addKey("com.ziriza.iid.keypair.public-", bytesOf("pub"));
  addKey("com.ziriza.iid.keypair.private-", bytesOf("priv"));
  ASSERT_FALSE(waitFor(env_, store_.deleteExistingIID()).error);
  EXPECT_TRUE(keychain_->items().empty());
  auto flags = platform::readPropertyListFile(FIRInstallationsIIDStore::IIDCheckinFilePath());
  ASSERT_TRUE(flags);
  EXPECT_EQ(*flags, Value(platform::ValueMap{{Value("other"), Value(2)}}));

  // A flag file that is no dictionary still lets the keys go.
  writeFlagFile(Value(platform::ValueList{Value("|S|cre")}));
  addKey("com.ziriza.iid.keypair.public-", bytesOf("pub"));
  addKey("com.ziriza.iid.keypair.private-", bytesOf("priv"));
  ASSERT_FALSE(waitFor(env_, store_.deleteExistingIID()).error);
  EXPECT_TRUE(keychain_->items().empty());

  // A keychain failure is reported with the function and status.
  addKey("com.ziriza.iid.keypair.public-", bytesOf("pub"));
  keychain_->injectFailure(platform::KeychainOperation::Delete,
                           platform::kSecInteractionNotAllowed);
  auto failed = waitFor(env_, store_.deleteExistingIID());
  ASSERT_TRUE(failed.error);
  EXPECT_EQ(failed.error->code, 1);
  EXPECT_EQ(failed.error->userInfo.at(Value(platform::kLocalizedFailureReasonKey)),
            Value("SecItemDelete (-25308)"));
}

TEST_F(IIDStoreTest, TheLegacyTokenIsReadFromItsArchive) {
  FIRInstallationsIIDTokenStore tokens("sender");
  auto corrupted = [&] {
    auto outcome = waitFor(env_, tokens.existingIIDDefaultToken());
    return outcome.error &&
           outcome.error->userInfo.at(Value(platform::kLocalizedFailureReasonKey)) ==
               Value("IID token data stored in Keychain is corrupted or in an "
                     "incompatible format.");
  };
  EXPECT_TRUE(corrupted()) << "no item";
  addToken(*platform::KeyedArchiver::archivedDataWithRootObject(
      Value(std::make_shared<LegacyTokenInfo>(""))));
  EXPECT_TRUE(corrupted()) << "empty token";
  keychain_ = std::make_shared<platform::InMemoryKeychain>();
  platform::Keychain::setSharedForTesting(keychain_);
  addToken(*platform::KeyedArchiver::archivedDataWithRootObject(
      Value(std::make_shared<LegacyTokenInfo>("legacy-token"))));
  auto token = waitFor(env_, tokens.existingIIDDefaultToken());
  ASSERT_TRUE(token.value) << Value(token.error).debugString();
  EXPECT_EQ(*token.value, "legacy-token");
}

}  // namespace
