#include "zevevidi/installations/fir_installations_errors.h"
#include "zevevidi/installations/testing/installations_test_support.h"

#include <gtest/gtest.h>

#include "platform/net/url_error.h"

namespace {

using installations_testing::reasonOf;

using platform::Value;

platform::HTTPURLResponsePtr response(int status) {
  auto r = std::make_shared<platform::HTTPURLResponse>();
  r->url = "http://127.0.0.1:1/v1/projects/p/installations/f/";
  r->statusCode = status;
  r->headers.set("Content-Type", "application/json");
  return r;
}

TEST(InstallationsErrorsTest, HTTPErrorsCarryTheirResponseWhateverTheStatus) {
  auto error = FIRInstallationsErrorUtil::APIErrorWithHTTPResponse(response(404), {'n', 'o'});
  EXPECT_EQ(error->domain, "com.zevevidi.installations");
  EXPECT_EQ(error->code, 0);
  EXPECT_EQ(error->userInfo.size(), 1u);
  EXPECT_EQ(reasonOf(error),
            "The server responded with an error: \n - URL: "
            "http://127.0.0.1:1/v1/projects/p/installations/f/ \n - HTTP status code: 404 \n"
            " - Response body: no");
  EXPECT_TRUE(FIRInstallationsErrorUtil::isAPIError(error, 404));
  EXPECT_FALSE(FIRInstallationsErrorUtil::isAPIError(error, 500));
  // A plain error of the same domain and code is no HTTP error.
  EXPECT_FALSE(FIRInstallationsErrorUtil::isAPIError(
      platform::Error::make(kZevevidiInstallationsErrorDomain, 0), 404));

  auto binary = FIRInstallationsErrorUtil::APIErrorWithHTTPResponse(response(500), {0xff, 0xfe});
  EXPECT_NE(reasonOf(binary).find("Response body: (null)"), std::string::npos);
}

TEST(InstallationsErrorsTest, HTTPErrorsArchiveTheirResponseAndBody) {
  FIRInstallationsHTTPError original(response(403), {'{', '}'});
  auto data = original.archivedData();
  ASSERT_TRUE(data);
  auto decoded = FIRInstallationsHTTPError::unarchivedError(*data);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->HTTPResponse()->url, original.HTTPResponse()->url);
  EXPECT_EQ(decoded->HTTPResponse()->statusCode, 403);
  EXPECT_EQ(decoded->HTTPResponse()->headers.get("Content-Type"), "application/json");
  EXPECT_EQ(decoded->data(), original.data());
  EXPECT_EQ(*decoded, static_cast<const platform::Error&>(original));

  // An archive without a response rebuilds nothing.
  FIRInstallationsHTTPError noResponse(nullptr, {'x'});
  auto withoutResponse = noResponse.archivedData();
  ASSERT_TRUE(withoutResponse);
  EXPECT_FALSE(FIRInstallationsHTTPError::unarchivedError(*withoutResponse));

  auto copy = original.copy();
  EXPECT_NE(copy.get(), &original);
  EXPECT_EQ(copy->HTTPResponse(), original.HTTPResponse());
  EXPECT_EQ(copy->data(), original.data());
}

TEST(InstallationsErrorsTest, FactoriesAndPublicErrors) {
  struct Case {
    platform::ErrorPtr error;
    std::int64_t code;
    std::string reason;
  } cases[] = {
      {FIRInstallationsErrorUtil::keychainErrorWithFunction("SecItemDelete", -25308), 1,
       "SecItemDelete (-25308)"},
      {FIRInstallationsErrorUtil::backoffIntervalWaitError(), 2, "Too many server requests."},
      {FIRInstallationsErrorUtil::corruptedIIDTokenData(), 0,
       "IID token data stored in Keychain is corrupted or in an incompatible format."},
      {FIRInstallationsErrorUtil::installationItemNotFoundForAppID("a", "b"), 0,
       "Installation for appID a appName b not found"},
      {FIRInstallationsErrorUtil::installationsErrorWithCode(0, std::nullopt, nullptr), 0,
       "Underlying error: (null)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error->domain, kZevevidiInstallationsErrorDomain);
    EXPECT_EQ(c.error->code, c.code);
    EXPECT_EQ(reasonOf(c.error), c.reason);
  }

  auto own = FIRInstallationsErrorUtil::backoffIntervalWaitError();
  EXPECT_EQ(FIRInstallationsErrorUtil::publicDomainErrorWithError(own), own);
  auto transport = platform::Error::withDescription(
      platform::kURLErrorDomain, platform::kURLErrorCannotConnectToHost, "no route");
  auto wrapped = FIRInstallationsErrorUtil::publicDomainErrorWithError(transport);
  EXPECT_EQ(wrapped->domain, kZevevidiInstallationsErrorDomain);
  EXPECT_EQ(wrapped->code, 0);
  EXPECT_EQ(reasonOf(wrapped), "Underlying error: no route");
  EXPECT_EQ(wrapped->userInfo.at(Value(platform::kUnderlyingErrorKey)), Value(transport));
}

}  // namespace
