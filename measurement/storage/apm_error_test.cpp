#include "measurement/storage/apm_error.h"

#include <gtest/gtest.h>

namespace {

using platform::Value;

TEST(APMError, RecordsCarryOnlyNonEmptyEntries) {
  const auto full = apm_errorWithCode(3, "failed", "prepare statement,1,A");
  EXPECT_EQ(full->domain, APMErrorDomain);
  EXPECT_EQ(full->code, 3);
  EXPECT_EQ(full->localizedDescription(), "failed");
  EXPECT_EQ(full->userInfo.at(Value(APMMonitorContextKey)), Value("prepare statement,1,A"));
  EXPECT_TRUE(apm_errorWithCode(1, "", "")->userInfo.empty());
}

TEST(APMError, ChecksFillTheOutPointerOnlyOnFailure) {
  platform::ErrorPtr error;
  EXPECT_TRUE(APMAssertNotZero(3, &error, 1, "empty"));
  EXPECT_TRUE(APMAssertNotNil(Value(0), &error, 1, "nil"));
  EXPECT_FALSE(error);
  EXPECT_FALSE(APMAssertNotNull(nullptr, nullptr, 1, "null"));  // no place: still fails
  EXPECT_FALSE(APMAssertNotNil(Value(), &error, 2, "Received nil value"));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 2);
  EXPECT_EQ(error->localizedDescription(), "Received nil value");
  EXPECT_FALSE(APMAssertTrue(false, &error, 4, "false"));
  EXPECT_EQ(error->code, 4);
}

TEST(APMError, MonitorContextStringJoinsStoreErrorsInOrder) {
  const platform::ValueList contexts = {
      Value(apm_errorWithCode(3, "x", "prepare statement,1,A")),
      Value(platform::Error::make("other.domain", 3, {{Value(APMMonitorContextKey), Value("no")}})),
      Value("text"),
      Value(apm_errorWithCode(3, "no context")),
      Value(apm_errorWithCode(3, "y", "bind values,25,A")),
  };
  EXPECT_EQ(APMMonitorContextString(contexts), "prepare statement,1,A,bind values,25,A");
  EXPECT_EQ(APMMonitorContextString({}), "");
}

}  // namespace
