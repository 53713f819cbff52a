#include "platform/foundation/keyed_archive.h"

#include <gtest/gtest.h>

#include "platform/foundation/foundation_errors.h"
#include "platform/foundation/testing/expanding_property_list_for_testing.h"

namespace platform {
namespace {

// A small record with a nested record, as the stored installation items are built.
class TokenRecord : public ArchivableObject {
 public:
  std::string className() const override { return "TokenRecord"; }
  void encodeWithCoder(KeyedArchiver& coder) const override {
    coder.encodeInteger(status, "status");
    coder.encodeObject(token ? Value(*token) : Value(), "token");
    coder.encodeObject(expires ? Value(*expires) : Value(), "expires");
  }
  static ObjectPtr decode(KeyedUnarchiver& coder) {
    auto r = std::make_shared<TokenRecord>();
    r->status = coder.decodeIntegerForKey("status");
    r->token = coder.decodeStringForKey("token");
    r->expires = coder.decodeDateForKey("expires");
    return r;
  }
  std::int64_t status = 0;
  std::optional<std::string> token;
  std::optional<Date> expires;
};

class ItemRecord : public ArchivableObject {
 public:
  std::string className() const override { return "ItemRecord"; }
  void encodeWithCoder(KeyedArchiver& coder) const override {
    coder.encodeObject(id, "id");
    coder.encodeObject(token ? Value(ObjectPtr(token)) : Value(), "token");
    coder.encodeObject(extra, "extra");
    coder.encodeInteger(1, "version");
  }
  static ObjectPtr decode(KeyedUnarchiver& coder) {
    auto r = std::make_shared<ItemRecord>();
    r->id = coder.decodeStringForKey("id").value_or("");
    r->token = coder.decodeObjectOfClass<TokenRecord>("token");
    r->extra = coder.decodeObjectForKey("extra");
    r->version = coder.decodeIntegerForKey("version");
    return r;
  }
  std::string id;
  std::shared_ptr<TokenRecord> token;
  Value extra;
  std::int64_t version = 0;
};

class NotArchivable : public Object {
 public:
  std::string className() const override { return "NotArchivable"; }
};

const std::vector<ArchiveClass> kBoth = {{"ItemRecord", ItemRecord::decode},
                                         {"TokenRecord", TokenRecord::decode}};

std::shared_ptr<ItemRecord> sample() {
  auto item = std::make_shared<ItemRecord>();
  item->id = "fid-1";
  item->token = std::make_shared<TokenRecord>();
  item->token->status = 1;
  item->token->token = "secret";
  item->token->expires = Date{1709208000.5};
  item->extra = Value::map({{"list", Value::list({1, "two", Bytes{3}})}, {"$class", "tricky"}});
  return item;
}

TEST(KeyedArchive, RoundTripsNestedObjectsAndPlainValues) {
  ErrorPtr error;
  auto data = KeyedArchiver::archivedDataWithRootObject(Value(ObjectPtr(sample())), &error);
  ASSERT_TRUE(data) << error->localizedDescription();
  auto back = KeyedUnarchiver::unarchivedObjectOfClass<ItemRecord>(*data, kBoth, &error);
  ASSERT_TRUE(back) << error->localizedDescription();
  EXPECT_EQ(back->id, "fid-1");
  EXPECT_EQ(back->version, 1);
  EXPECT_EQ(back->extra, sample()->extra);
  ASSERT_TRUE(back->token);
  EXPECT_EQ(back->token->status, 1);
  EXPECT_EQ(back->token->token, "secret");
  EXPECT_EQ(back->token->expires, Date{1709208000.5});

  auto plain = KeyedArchiver::archivedDataWithRootObject(Value::list({1, "x"}));
  ASSERT_TRUE(plain);
  EXPECT_EQ(KeyedUnarchiver::unarchivedValue(*plain, {}), Value::list({1, "x"}));
}

TEST(KeyedArchive, RefusesClassesNotAllowed) {
  auto data = *KeyedArchiver::archivedDataWithRootObject(Value(ObjectPtr(sample())));
  ErrorPtr error;
  // The nested token's class is not in the list: the whole archive is refused.
  EXPECT_FALSE(KeyedUnarchiver::unarchivedObjectOfClass<ItemRecord>(
      data, {{"ItemRecord", ItemRecord::decode}}, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, kCoderReadCorruptError);
  EXPECT_NE(error->localizedDescription().find("TokenRecord"), std::string::npos);

  // Allowed, but not the class the caller asked for at the root.
  error.reset();
  EXPECT_FALSE(KeyedUnarchiver::unarchivedObjectOfClass<TokenRecord>(data, kBoth, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, kCoderReadCorruptError);
}

TEST(KeyedArchive, RenamedClassesAndWrongKinds) {
  // An archive written under an older class name reads into the class it maps to.
  class OldName : public TokenRecord {
   public:
    std::string className() const override { return "LegacyTokenInfo"; }
  };
  auto legacy = std::make_shared<OldName>();
  legacy->token = "legacy";
  auto data = *KeyedArchiver::archivedDataWithRootObject(Value(ObjectPtr(legacy)));
  EXPECT_FALSE(KeyedUnarchiver::unarchivedObjectOfClass<TokenRecord>(data, kBoth));
  auto mapped = KeyedUnarchiver::unarchivedObjectOfClass<TokenRecord>(
      data, kBoth, nullptr, {{"LegacyTokenInfo", "TokenRecord"}});
  ASSERT_TRUE(mapped);
  EXPECT_EQ(mapped->token, "legacy");

  // A field of the wrong kind fails secure decoding instead of yielding a default.
  class BadToken : public ArchivableObject {
   public:
    std::string className() const override { return "TokenRecord"; }
    void encodeWithCoder(KeyedArchiver& coder) const override { coder.encodeObject(42, "token"); }
  };
  ErrorPtr error;
  auto bad =
      *KeyedArchiver::archivedDataWithRootObject(Value(ObjectPtr(std::make_shared<BadToken>())));
  EXPECT_FALSE(KeyedUnarchiver::unarchivedObjectOfClass<TokenRecord>(bad, kBoth, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, kCoderReadCorruptError);
}

TEST(KeyedArchive, WritingSomethingUnarchivableIsAnError) {
  for (const Value& v : {Value(ObjectPtr(std::make_shared<NotArchivable>())),
                         Value::list({Value(ObjectPtr(std::make_shared<NotArchivable>()))}),
                         Value(Int32List{1}), Value::map({{1, 2}}), Value()}) {
    ErrorPtr error;
    EXPECT_FALSE(KeyedArchiver::archivedDataWithRootObject(v, &error)) << v.debugString();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, kCoderInvalidValueError);
  }
}

TEST(KeyedArchive, DamagedArchivesAreErrors) {
  auto data = *KeyedArchiver::archivedDataWithRootObject(Value(ObjectPtr(sample())));
  for (std::size_t i = 0; i < data.size(); ++i) {
    Bytes damaged = data;
    damaged[i] ^= 0x5A;
    ErrorPtr error;
    auto v = KeyedUnarchiver::unarchivedValue(damaged, kBoth, &error);
    if (!v) {
      EXPECT_TRUE(error);
    }
  }
  ErrorPtr error;
  EXPECT_FALSE(KeyedUnarchiver::unarchivedValue(Bytes{1, 2, 3}, kBoth, &error));
  EXPECT_TRUE(error);
  // A few kilobytes of shared references that would read as gigabytes of copies.
  error.reset();
  EXPECT_FALSE(
      KeyedUnarchiver::unarchivedValue(expandingPropertyListForTesting("$objects"), kBoth, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, kCoderReadCorruptError);
}

}  // namespace
}  // namespace platform
