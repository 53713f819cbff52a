#include "measurement/engine/zevoveverizuru.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "measurement/engine/engine_test_support.h"
#include "measurement/model/apm_identity.h"
#include "measurement/storage/testing/raw_connection.h"

namespace {

class ZEVOveverizuruTest : public engine_testing::EngineTest {
 protected:
  void initialize(bool hostEnabled, bool deactivated, const std::string& appID = "1:1:ios:abc") {
    ZEVOveverizuru::initializeSharedInstanceWithAppID(appID, hostEnabled, deactivated,
                                                      std::nullopt);
    env_.runUntilIdle();
  }
};

TEST_F(ZEVOveverizuruTest, EnableDecisionFollowsDeactivationThenThePersistedStateThenTheHost) {
  const struct {
    std::int64_t persisted;
    bool hostEnabled;
    bool deactivated;
    bool enabled;
  } cases[] = {
      {0, true, false, true},   {0, false, false, false}, {1, false, false, true},
      {2, true, false, false},  {1, true, true, false},   {0, true, true, false},
      {7, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "persisted " << c.persisted << " host " << c.hostEnabled
                                    << " deactivated " << c.deactivated);
    resetEngineState();
    APMPersistedConfig::sharedInstance()->setMeasurementEnabledState(c.persisted);
    initialize(c.hostEnabled, c.deactivated);
    ASSERT_TRUE(core());
    EXPECT_EQ(core()->isEnabled(), c.enabled);
    EXPECT_EQ(core()->wasEnabledDuringInitialization(), c.enabled);
    EXPECT_EQ(core()->didInitializeComponents(), c.enabled);
    EXPECT_EQ(reported(23012), c.enabled);
  }
}

TEST_F(ZEVOveverizuruTest, EnablingWhileDeactivatedIsRefusedAndChangesNothing) {
  initialize(true, true);
  ASSERT_TRUE(core());
  core()->setEnabled(true);
  env_.runUntilIdle();
  EXPECT_TRUE(reported(23206));
  EXPECT_FALSE(core()->isEnabled());
  EXPECT_FALSE(core()->didInitializeComponents());
}

TEST_F(ZEVOveverizuruTest, AFailedFirstDatabaseOpenIsTriedOnceMore) {
  fastDisk_.failMainOpens = 1;
  initialize(true, false);
  ASSERT_TRUE(core());
  EXPECT_TRUE(core()->didInitializeComponents());
  EXPECT_TRUE(core()->database());
  EXPECT_TRUE(core()->remoteConfigInstance());
  EXPECT_TRUE(core()->isEnabled());
  EXPECT_TRUE(reported(23012));
  EXPECT_FALSE(reported(23011));
  EXPECT_EQ(fastDisk_.failMainOpens.load(), 0);
}

TEST_F(ZEVOveverizuruTest, TwoFailedOpensDisableCollectionAndTheNextEnablingTriesAgain) {
  fastDisk_.failMainOpens = 2;
  initialize(true, false);
  ASSERT_TRUE(core());
  EXPECT_TRUE(reported(23011));
  EXPECT_TRUE(reported(23013));  // disabled again after the failed start
  EXPECT_FALSE(core()->isEnabled());
  EXPECT_FALSE(core()->didInitializeComponents());

  core()->setEnabled(true);
  env_.runUntilIdle();
  EXPECT_TRUE(core()->didInitializeComponents());
  EXPECT_TRUE(core()->isEnabled());
}

TEST_F(ZEVOveverizuruTest, OnlyTheFirstInitialisationCounts) {
  initialize(true, false, "1:1:ios:abc");
  initialize(true, false, "1:2:ios:other");
  ASSERT_TRUE(core());
  EXPECT_EQ(core()->appID(), "1:1:ios:abc");

  resetEngineState();
  initialize(true, false, "");
  initialize(true, false, "1:1:ios:abc");
  EXPECT_FALSE(ZEVOveverizuru::hasSharedInstance());
}

TEST_F(ZEVOveverizuruTest, StartPersistsTheAppIDAndTheLoadTimestamp) {
  APMIdentifiers::sharedInstance()->setOrigin("fa");
  APMAnalytics::setLoadTimestamp(1234.5);
  initialize(true, false);
  ASSERT_TRUE(core());
  auto config = APMPersistedConfig::sharedInstance();
  EXPECT_EQ(config->appIDFromDUZ(), "1:1:ios:abc");
  EXPECT_EQ(core()->initTimestamp(), 1234.5);
  // The first open of the start consumed the persisted load time.
  EXPECT_EQ(config->loadTimestampValue(), platform::Value());
}

TEST_F(ZEVOveverizuruTest, WipeDecision) {
  initialize(false, false);
  ASSERT_TRUE(core());
  const struct {
    std::int64_t retries;
    std::optional<std::string> current;
    std::optional<std::string> persisted;
    bool wipe;
  } cases[] = {
      {0, "a", "a", false},           {0, "a", "b", true}, {0, std::nullopt, "b", false},
      {0, "a", std::string(), false}, {3, "a", "a", true}, {9, std::nullopt, std::nullopt, true},
      {10, "a", "a", false},          {1, "a", "a", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.retries);
    APMAnalytics::setResetRetryCount(c.retries);
    EXPECT_EQ(core()->shouldWipeDataWithAppID("ignored", c.current, c.persisted), c.wipe);
  }
  APMAnalytics::setResetRetryCount(0);
  EXPECT_TRUE(reported(23294));
}

// A wipe at start runs before the database is opened: the file goes, and so do the log,
// shared-memory and journal files beside it, which would otherwise bring the wiped rows back.
TEST_F(ZEVOveverizuruTest, AWipeAtStartDeletesTheDatabaseWithItsLogAndJournalFiles) {
  const std::string path = APMFilePathForDatabaseName(APMDatabaseFileName);
  {
    apm_testing::RawConnection raw(path);
    raw.exec("CREATE TABLE left_over (x INTEGER)");
  }
  const std::vector<std::string> siblings = {path + "-wal", path + "-shm", path + "-journal"};
  for (const auto& sibling : siblings) {
    std::FILE* file = std::fopen(sibling.c_str(), "wb");
    ASSERT_TRUE(file) << sibling;
    std::fputs("stale", file);
    std::fclose(file);
  }
  APMAnalytics::setResetRetryCount(3);
  initialize(true, false);
  ASSERT_TRUE(core());
  EXPECT_TRUE(reported(23171));
  EXPECT_FALSE(reported(23208));
  EXPECT_TRUE(core()->didInitializeComponents());
  EXPECT_EQ(APMAnalytics::resetRetryCount(), 0);
  for (const auto& sibling : siblings) {
    std::FILE* file = std::fopen(sibling.c_str(), "rb");
    std::string content;
    if (file) {
      char buffer[16] = {};
      content.assign(buffer, std::fread(buffer, 1, sizeof buffer, file));
      std::fclose(file);
    }
    // The new database may keep its own log; none of the stale bytes survive.
    EXPECT_NE(content, "stale") << sibling;
  }
  apm_testing::RawConnection raw(path);
  EXPECT_EQ(raw.firstText("SELECT COUNT(*) FROM sqlite_master WHERE name = 'left_over'"), "0");
}

}  // namespace
