#include "zevevidi/installations/fir_installations_item.h"

#include <gtest/gtest.h>

#include <set>
#include <unordered_set>

#include "platform/core/random.h"
#include "zevevidi/installations/fir_installations_errors.h"
#include "zevevidi/installations/testing/installations_test_support.h"

namespace {

using installations_testing::reasonOf;

using platform::Value;

TEST(InstallationsItemTest, ValidationListsEveryProblemInOrder) {
  auto token = [](std::optional<std::string> text, std::optional<double> date) {
    return std::make_shared<FIRInstallationsStoredAuthToken>(
        1, std::move(text),
        date ? std::optional<platform::Date>(platform::Date{*date}) : std::nullopt);
  };
  struct Case {
    const char* name;
    FIRInstallationsItem item;
    std::string problems;  // empty: valid
  };
  auto base = [](std::int64_t status) {
    auto item = FIRInstallationsItem::initWithAppID("1:2:ios:3", "__FIRAPP_DEFAULT");
    item.zevevidiInstallationID = "cFid";
    item.registrationStatus = status;
    return item;
  };
  std::vector<Case> cases;
  cases.push_back({"unregistered without tokens", base(1), ""});
  cases.push_back({"fresh record", FIRInstallationsItem::initWithAppID("", ""),
                   "`appID` must not be empty, `zevevidiAppName` must not be empty, "
                   "`zevevidiInstallationID` must not be empty, invalid `registrationStatus`"});
  auto registered = base(2);
  registered.refreshToken = "";  // present, so enough
  registered.authToken = token("t", std::nullopt);
  cases.push_back({"registered without expiry", registered,
                   "registered installation must have non-empty `authToken.expirationDate`"});
  cases.push_back({"registered without tokens", base(2),
                   "registered installation must have non-empty `refreshToken`, registered "
                   "installation must have non-empty `authToken.token`, registered installation "
                   "must have non-empty `authToken.expirationDate`"});
  registered.authToken = token("t", 5);
  cases.push_back({"registered", registered, ""});
  cases.push_back({"unknown status", base(7), ""});

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ErrorPtr error;
    EXPECT_EQ(c.item.isValid(&error), c.problems.empty());
    if (c.problems.empty()) {
      EXPECT_FALSE(error);
    } else {
      ASSERT_TRUE(error);
      EXPECT_EQ(error->code, 0);
      EXPECT_EQ(reasonOf(error), "FIRInstallationsItem validation errors: " + c.problems);
    }
  }
}

TEST(InstallationsItemTest, CopiesShareNoAuthToken) {
  auto item = FIRInstallationsItem::initWithAppID("1:2:ios:3", "__FIRAPP_DEFAULT");
  EXPECT_EQ(item.identifier(), "1:2:ios:3__FIRAPP_DEFAULT");
  item.authToken = std::make_shared<FIRInstallationsStoredAuthToken>(1, "a", platform::Date{1});
  FIRInstallationsItem copy = item;
  copy.authToken->setToken("b");
  EXPECT_EQ(item.authToken->token(), "a");
  auto stored = item.storedItem();
  stored->authToken->setToken("c");
  EXPECT_EQ(item.authToken->token(), "a");
}

// Tokens equal by content compare and hash alike, so they are one map or set key.
TEST(InstallationsItemTest, AuthTokensEqualByContentAreOneKey) {
  auto token = [](int i) {
    return platform::Value(std::make_shared<FIRInstallationsStoredAuthToken>(
        i % 2, i % 5 == 4 ? std::nullopt : std::optional<std::string>("t" + std::to_string(i % 5)),
        platform::Date{static_cast<double>(i % 5)}));
  };
  platform::ValueMap map;
  std::unordered_set<platform::Value> hashed;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 20; ++i) {
      map[token(i)] = Value(round);
      hashed.insert(token(i));
    }
  }
  EXPECT_EQ(map.size(), 10u);
  EXPECT_EQ(hashed.size(), 10u);
  EXPECT_EQ(map.count(token(13)), 1u);
  EXPECT_EQ(token(3), token(13));
  EXPECT_NE(token(3), token(8));  // same token and date, another status
}

TEST(InstallationsItemTest, GeneratedFIDsAreDistinctURLSafeAndStartWithCToF) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string fid = FIRInstallationsItem::generateFID();
    ASSERT_EQ(fid.size(), 22u) << fid;
    EXPECT_NE(std::string("cdef").find(fid[0]), std::string::npos) << fid;
    EXPECT_EQ(
        fid.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
        std::string::npos)
        << fid;
    seen.insert(fid);
  }
  EXPECT_EQ(seen.size(), 1000u);
  EXPECT_EQ(FIRInstallationsItem::base64URLEncodedStringWithData({0xfb, 0xff, 0xbf}), "-_-_");
  EXPECT_EQ(FIRInstallationsItem::base64URLEncodedStringWithData({0x7b}), "ew==");
}

TEST(InstallationsItemTest, ExpiresInReadsOnlyFiniteDecimalNumbers) {
  struct Case {
    const char* text;
    double seconds;
  } cases[] = {{"3600s", 3600}, {"1.5s", 1.5}, {"2e3s", 2000}, {"12abcs", 12}, {"s", 0},
               {"", 0},         {"xs", 0},     {"nans", 0},    {"infs", 0},    {"1e999s", 0},
               {"0x10s", 0},    {"-5s", -5},   {".5s", 0.5},   {"7", 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(FIRInstallationsItem::expiresInSeconds(c.text), c.seconds) << c.text;
  }
}

}  // namespace
