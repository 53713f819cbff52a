#include "measurement/storage/apm_monitor.h"

#include <gmock/gmock.h>

#include <limits>

#include "measurement/storage/apm_error.h"
#include "measurement/storage/apm_file_locations.h"
#include "measurement/storage/apm_user_defaults.h"
#include "measurement/storage/storage_test_support.h"
#include "platform/core/random.h"
#include "platform/dispatch/test_environment.h"
#include "platform/foundation/class_registry.h"
#include "platform/foundation/property_list.h"

namespace {

using platform::Value;
using testing::ElementsAre;

class RecordingLogger : public APMLogging {
 public:
  struct Line {
    std::string message;
    std::string tag;
    std::int64_t code;
    std::int64_t level;
  };
  void logMessage(const std::string& message, const std::string& tag, std::int64_t code,
                  std::int64_t level) override {
    std::lock_guard lock(mutex);
    lines.push_back({message, tag, code, level});
  }
  std::vector<Line> snapshot() {
    std::lock_guard lock(mutex);
    return lines;
  }
  std::mutex mutex;
  std::vector<Line> lines;
};

class APMMonitorTest : public apm_testing::StorageTest {
 protected:
  std::shared_ptr<APMMonitor> makeMonitor() {
    auto monitor = APMMonitor::initWithLogLevel(6, logger_, APMMeasurementLibraryVersion);
    monitor->waitForMonitorQueue();
    return monitor;
  }
  std::shared_ptr<RecordingLogger> logger_ = std::make_shared<RecordingLogger>();
};

TEST(APMMonitorTables, LevelTables) {
  struct Row {
    std::int64_t level;
    std::optional<std::string> name;
    GULLoggerLevel mapped;
    bool silent;
    bool monitorable;
  };
  const Row rows[] = {
      {-1, std::nullopt, GULLoggerLevelWarning, true, true},
      {0, "ERROR", GULLoggerLevelError, false, false},
      {1, "ERROR", GULLoggerLevelError, false, true},
      {2, "ERROR", GULLoggerLevelError, true, true},
      {3, "WARNING", GULLoggerLevelWarning, false, false},
      {4, "WARNING", GULLoggerLevelWarning, false, true},
      {5, "WARNING", GULLoggerLevelWarning, true, true},
      {6, "NOTICE", GULLoggerLevelNotice, false, false},
      {7, "DEBUG", GULLoggerLevelDebug, false, false},
      {8, std::nullopt, GULLoggerLevelDebug, false, false},
      {9, std::nullopt, GULLoggerLevelWarning, true, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.level);
    EXPECT_EQ(APMMonitor::logLevelDescriptionFromLogLevel(row.level), row.name);
    EXPECT_EQ(APMASLLogger::GULLoggerLevelFromLogLevel(row.level), row.mapped);
    EXPECT_EQ(APMMonitor::isSilentLevel(row.level), row.silent);
    EXPECT_EQ(APMMonitor::isMonitorableLevel(row.level), row.monitorable);
  }
}

TEST_F(APMMonitorTest, EachLevelReachesTheConsoleAndTheHealthSampleAsItsRowSays) {
  GULSetLoggerLevel(GULLoggerLevelDebug);  // let the platform logger take every level
  struct Row {
    std::int64_t level;
    bool printed;
    bool sampled;
  };
  const Row rows[] = {{0, true, false}, {1, true, true},  {2, false, true},
                      {3, true, false}, {4, true, true},  {5, false, true},
                      {6, true, false}, {7, true, false}, {8, false, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.level);
    logger_->lines.clear();
    auto monitor = makeMonitor();
    monitor->clearMonitoringData();
    monitor->logWithLevel(row.level, 99001, "report");
    monitor->waitForMonitorQueue();
    EXPECT_EQ(logger_->snapshot().size(), row.printed ? 1u : 0u);
    EXPECT_EQ(!monitor->sampledDataForTesting().isNull(), row.sampled);
  }
}

TEST_F(APMMonitorTest, VerboseReportsNeedVerboseLoggingEvenInDebugMode) {
  auto monitor = makeMonitor();
  monitor->setDebugModeEnabled(true);
  monitor->logWithLevel(8, 99002, "verbose detail");
  monitor->waitForMonitorQueue();
  for (const auto& line : logger_->snapshot())
    EXPECT_NE(line.code, 99002);

  monitor->setVerboseLoggingEnabled(true);
  monitor->logWithLevel(8, 99002, "verbose detail");
  monitor->waitForMonitorQueue();
  ASSERT_FALSE(logger_->snapshot().empty());
  EXPECT_EQ(logger_->snapshot().back().code, 99002);
}

// Callers leave out costly contexts when isReportedLevel() says no: it must say yes for every
// report that reaches the console or the health sample, and for every report while a report tap
// is installed.
TEST_F(APMMonitorTest, IsReportedLevelSaysWhetherAReportReachesAnything) {
  APMMonitor::setReportTap(nullptr);  // the fixture's tap would see everything
  for (const auto loggerLevel : {GULLoggerLevelNotice, GULLoggerLevelDebug}) {
    for (const bool verbose : {false, true}) {
      for (std::int64_t level = 0; level <= 8; ++level) {
        SCOPED_TRACE("logger level " + std::to_string(loggerLevel) + ", verbose " +
                     std::to_string(verbose) + ", level " + std::to_string(level));
        auto monitor = makeMonitor();
        monitor->setVerboseLoggingEnabled(verbose);
        GULSetLoggerLevel(loggerLevel);
        monitor->clearMonitoringData();
        monitor->waitForMonitorQueue();
        logger_->lines.clear();
        const bool reported = monitor->isReportedLevel(level);
        monitor->logWithLevel(level, 99003, "report");
        monitor->waitForMonitorQueue();
        const bool seen =
            !logger_->snapshot().empty() || !monitor->sampledDataForTesting().isNull();
        EXPECT_EQ(reported, seen);
        APMMonitor::setReportTap(
            [](std::int64_t, std::int64_t, const std::string&, const platform::ValueList&) {});
        EXPECT_TRUE(monitor->isReportedLevel(level));
        APMMonitor::setReportTap(nullptr);
      }
    }
  }
}

TEST_F(APMMonitorTest, SwitchRulesAtConstruction) {
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    bool storedDebug;
    bool storeBuild;
    bool coreRegistered;
    bool debug;
    bool verbose;
    bool defer;
    GULLoggerLevel loggerLevel;
    bool debugStored;
  };
  const Case cases[] = {
      {"nothing", {}, false, false, false, false, false, false, GULLoggerLevelNotice, false},
      {"argument",
       {"-APMAnalyticsDebugEnabled"},
       false,
       false,
       false,
       true,
       false,
       false,
       GULLoggerLevelDebug,
       true},
      {"other argument",
       {"-DIDErizevizoDebugEnabled"},
       false,
       false,
       false,
       true,
       false,
       false,
       GULLoggerLevelDebug,
       true},
      {"stored", {}, true, false, false, true, false, false, GULLoggerLevelDebug, true},
      {"disabled wins",
       {"-APMAnalyticsDebugEnabled", "-noAPMAnalyticsDebugEnabled"},
       true,
       false,
       false,
       false,
       false,
       false,
       GULLoggerLevelNotice,
       false},
      {"store build",
       {"-APMAnalyticsDebugEnabled"},
       false,
       true,
       false,
       false,
       false,
       false,
       GULLoggerLevelNotice,
       false},
      {"core decides the level",
       {"-FIRDebugEnabled"},
       false,
       false,
       true,
       true,
       false,
       true,
       GULLoggerLevelNotice,
       true},
      {"no core",
       {"-FIRDebugEnabled"},
       false,
       false,
       false,
       true,
       false,
       false,
       GULLoggerLevelDebug,
       true},
      {"verbose",
       {"-APMAnalyticsVerboseLoggingEnabled"},
       false,
       false,
       false,
       false,
       true,
       false,
       GULLoggerLevelDebug,
       false},
  };
  auto shared = APMUserDefaults::sharedUserDefaults();
  const Value debugKey(APMPersistedConfigDebugModeKey);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    GULResetLoggerForTesting();
    GULLoggerInitialize();
    shared->removeObjectForKey(debugKey);
    shared->removeObjectForKey(Value(APMPersistedConfigVerboseLoggingKey));
    if (c.storedDebug) shared->setBool(true, debugKey);
    std::vector<std::string> arguments{"tests"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    platform::ProcessInfo::processInfo().setArguments(arguments);
    GULAppEnvironmentUtil::setFromAppStoreForTesting(c.storeBuild);
    if (c.coreRegistered) {
      platform::ClassRegistry::shared().registerClass("FIRConfiguration", std::make_shared<int>(1));
    }

    auto monitor = makeMonitor();
    EXPECT_EQ(monitor->isDebugModeEnabled(), c.debug);
    EXPECT_EQ(monitor->isVerboseLoggingEnabled(), c.verbose);
    EXPECT_EQ(monitor->deferToFIRLogger(), c.defer);
    EXPECT_EQ(GULGetLoggerLevel(), c.loggerLevel);
    EXPECT_EQ(shared->boolForKey(debugKey), c.debugStored);
    platform::ClassRegistry::shared().unregisterClass("FIRConfiguration");
  }
}

TEST_F(APMMonitorTest, SwitchesInAStoreBuild) {
  GULAppEnvironmentUtil::setFromAppStoreForTesting(true);
  auto monitor = makeMonitor();
  monitor->setDebugModeEnabled(true);
  EXPECT_FALSE(monitor->isDebugModeEnabled());
  EXPECT_EQ(monitor->logLevel(), 6);
  monitor->setSZTMDebugModeEnabled(true);
  EXPECT_TRUE(monitor->isDebugModeEnabled());
  EXPECT_EQ(monitor->logLevel(), 7);
  // The switch reports before it flips: "on" only while it already was on.
  const auto codes = reportedCodes();
  EXPECT_THAT(codes, testing::IsSupersetOf({24001, 24006}));
}

TEST(APMMonitorContexts, EncodedContextObjects) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    Value context;
    std::string encoded;
  };
  const Case cases[] = {
      {Value(), ""},
      {Value("secret text"), "-"},
      {Value(7), "7"},
      {Value(99), "99"},
      {Value(-99), "-99"},
      {Value(100), "100...999"},
      {Value(250), "100...999"},
      {Value(-250), "-999...-100"},
      {Value(std::numeric_limits<std::int64_t>::min()),
       "-9999999999999999999...-1000000000000000000"},
      {Value(std::numeric_limits<std::int64_t>::max()),
       "1000000000000000000...9999999999999999999"},
      {Value(1234.9), "1000...9999"},
      {Value(nan), "0"},
      {Value(1e300), "1000000000000000000...9999999999999999999"},
      {Value(-1e300), "-9999999999999999999...-1000000000000000000"},
      {Value(apm_errorWithCode(3, "failed")), APMErrorDomain},
      {Value(platform::Error::make("", 1)), "-"},
      {Value(platform::ObjectPtr(std::make_shared<APMExceptionContext>("NSRangeException", "r"))),
       "NSRangeException"},
      {Value(platform::Date{1.0}), "?"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.context.debugString());
    EXPECT_EQ(APMMonitor::encodedStringWithContextObject(c.context), c.encoded);
  }
  EXPECT_EQ(APMMonitor::encodedStringWithContextArray(
                {Value("abc"), Value(7), Value(-1234), Value()}, false),
            "-,7,-9999...-1000,");
  EXPECT_EQ(APMMonitor::encodedStringWithContextArray({Value("abc"), Value(7)}, true), "-, 7");
  EXPECT_EQ(APMMonitor::encodedStringWithContextArray({}, true), "");
}

TEST(APMMonitorContexts, ConsoleText) {
  const Value exception(platform::ObjectPtr(std::make_shared<APMExceptionContext>(
      "NSInvalidArgumentException", "bad argument",
      std::vector<std::string>{"0 a", "1 b", "2 Lumora 0x1 -[Other run] + 12",
                               "3 Lumora 0x2 -[APMDatabase open] + 40"})));
  EXPECT_EQ(APMMonitor::stringWithLogMessage("", 1, {}, false), "(Message was empty)");
  EXPECT_EQ(APMMonitor::stringWithLogMessage("Plain", 1, {}, true), "Plain");
  EXPECT_EQ(APMMonitor::stringWithLogMessage("Failed", 1, {Value("x"), Value(), Value(250)}, false),
            "Failed: x, (nil), 250");
  EXPECT_EQ(
      APMMonitor::stringWithLogMessage("Rates", 1, {Value(0.1), Value(-2.5), Value(1e300)}, false),
      "Rates: 0.1, -2.5, 1e+300");
  EXPECT_EQ(APMMonitor::stringWithLogMessage("Failed", 1, {Value("x"), Value(250)}, true),
            "Failed: -, 100...999");
  EXPECT_EQ(APMMonitor::stringWithLogMessage("Failed", 1, {exception}, false),
            "Failed: -[APMDatabase open]: bad argument");
  EXPECT_EQ(APMMonitor::stringWithLogMessage("Failed", 1, {exception}, true),
            "Failed: -[APMDatabase open]");
}

TEST_F(APMMonitorTest, ConsoleLinesGoThroughThePlatformLoggerWithPercentSignsLiteral) {
  platform::ProcessInfo::processInfo().setArguments({"tests", "-APMAnalyticsDebugEnabled"});
  auto monitor = APMMonitor::initWithLibraryVersion(APMMeasurementLibraryVersion);
  monitor->waitForMonitorQueue();  // the tag is read when the queued line is written
  monitor->setLogTag("<Custom>");
  monitor->logWithLevel(7, 99003, "100% done %d %@");
  monitor->logWithLevel(2, 99004, "silent");
  monitor->waitForMonitorQueue();
  EXPECT_THAT(linesWithCode("I-ACS099003"),
              ElementsAre("11.15.0 - <Custom>[I-ACS099003] 100% done %d %@"));
  EXPECT_THAT(linesWithCode("I-ACS024000"),
              ElementsAre("11.15.0 - <DevAzerirerize>[I-ACS024000] Debug mode is on"));
  EXPECT_TRUE(linesWithCode("I-ACS099004").empty());
}

TEST_F(APMMonitorTest, HealthSampleKeepsOneOfThePeriodsErrorsAndDispatchesAfterThePeriod) {
  platform::TestEnvironment env(1'700'000'000);
  auto monitor = makeMonitor();
  const std::string messages[] = {"first failure", "second failure", "third failure"};
  for (const auto& message : messages)
    monitor->logWithLevel(1, 99005, message);
  monitor->logWithLevel(0, 99006, "console only");
  monitor->logWithLevel(3, 99007, "console warning");
  monitor->waitForMonitorQueue();

  // The record is in the monitor's own suite file before the dispatch.
  const std::string suiteFile = APMFilePathForPreferencesName(APMMonitorSuiteName);
  const auto stored = platform::readPropertyListFile(suiteFile);
  ASSERT_TRUE(stored && stored->isMap());
  const Value* record = stored->find(Value(APMUserDefaultsHealthMonitorKey));
  ASSERT_TRUE(record && record->isList());
  EXPECT_EQ(record->asList().size(), 4u);

  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(3600, 0), std::nullopt);
  env.advance(3601);
  const auto text = monitor->monitoringDataForDispatchWithSamplePeriod(3600, 0);
  ASSERT_TRUE(text);
  EXPECT_THAT(*text, testing::AnyOf("3:1E_111500:first failure", "3:1E_111500:second failure",
                                    "3:1E_111500:third failure"));
  const auto after = platform::readPropertyListFile(suiteFile);
  ASSERT_TRUE(after && after->isMap());
  EXPECT_EQ(after->find(Value(APMUserDefaultsHealthMonitorKey)), nullptr);

  // Nothing reported since: nil until a period has passed since the last dispatch, then "0:".
  const double lastDispatch = env.now();
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(3600, lastDispatch), std::nullopt);
  env.advance(3601);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(3600, lastDispatch), "0:");
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(3600, 0), std::nullopt);
}

TEST_F(APMMonitorTest, HealthContextCarriesTheStoreErrorsMonitorContexts) {
  platform::TestEnvironment env;
  auto monitor = makeMonitor();
  monitor->logWithLevel(1, 34018, "Failed to close database. Got error code",
                        {Value(apm_errorWithCode(3, "d", "prepare statement,1,A")), Value(5),
                         Value(apm_errorWithCode(3, "d", "bind values,25,A"))});
  env.advance(61);
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(60, 0),
            "1:1E_111500:Failed to close database. Got error code:" + std::string(APMErrorDomain) +
                ",5," + APMErrorDomain + ",prepare statement,1,A,bind values,25,A");
}

TEST_F(APMMonitorTest, StoredRecordsAreMigratedAndValidatedOnLoad) {
  platform::TestEnvironment env;
  const Value valid =
      APMMonitoringSampledData::sampledDataEntryWithKey("1W_111500:old", env.now(), "ctx", 4);
  APMUserDefaults::sharedUserDefaults()->setObject(valid, Value(APMUserDefaultsHealthMonitorKey));
  auto monitor = makeMonitor();
  EXPECT_EQ(monitor->sampledDataForTesting(), valid);
  EXPECT_TRUE(APMUserDefaults::sharedUserDefaults()
                  ->objectForKey(Value(APMUserDefaultsHealthMonitorKey))
                  .isNull());

  // Wrong shapes are no record.
  const Value wrong[] = {Value::list({"ctx", 1, "key"}), Value::list({"ctx", 1, 5, Value::date(1)}),
                         Value::list({"ctx", "1", "key", Value::date(1)})};
  for (const auto& array : wrong)
    EXPECT_FALSE(APMMonitoringSampledData::isValidUserDefaultsArrayEntry(array));
  auto suite = APMUserDefaults::initWithSuiteName(std::string(APMMonitorSuiteName));
  suite->setObject(wrong[0], Value(APMUserDefaultsHealthMonitorKey));
  EXPECT_TRUE(makeMonitor()->sampledDataForTesting().isNull());
}

TEST(APMMonitorHealthRecord, PopulationCountsEveryOfferAndTheKeptOneIsUniform) {
  platform::ScopedSeededRandom seeded(7);
  std::map<std::string, int> kept;
  for (int round = 0; round < 3000; ++round) {
    APMMonitoringSampledData record;
    for (const char* key : {"a", "b", "c"})
      record.insertOrUpdateSampledDataWithKey(key, "");
    const Value data = record.sampledData();
    EXPECT_EQ(data.asList()[1], Value(3));
    ++kept[data.asList()[2].asString()];
  }
  for (const auto& [key, count] : kept)
    EXPECT_NEAR(count, 1000, 150) << key;
  EXPECT_EQ(kept.size(), 3u);
}

TEST(APMMonitorHealthRecord, KeysAndDispatchText) {
  EXPECT_EQ(APMMonitor::monitoringDataKeyWithMessage("Failed to delete database. Error", 1, 111500),
            "1E_111500:Failed to delete database. Error");
  EXPECT_EQ(APMMonitor::monitoringDataKeyWithMessage("m", 5, 111500), "1W_111500:m");
  EXPECT_EQ(APMMonitor::monitoringDataKeyWithMessage("m", 9, 111500), "1?_111500:m");
  EXPECT_EQ(APMMonitoringSampledData::monitoringURLParamWithKey("k", 2, ""), "2:k");
  EXPECT_EQ(APMMonitoringSampledData::monitoringURLParamWithKey("k", 2, "c"), "2:k:c");
}

}  // namespace
