// Audiences inside the measurement core, on a real database under the mock clock: the fetched
// configuration's audiences become the stored filters inside the configuration's transaction, the
// bundling pass evaluates events and user properties and attaches the results (tag 29), and a
// failure of either rolls the whole transaction back.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/engine_test_support.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/model/apm_user_attribute.h"
#include "measurement/storage/testing/raw_connection.h"

namespace {

namespace B = apmpb_field::MeasurementBundle;
namespace C = apmpb_field::MeasurementConfig;
namespace L = apmpb_field::AudienceLeafFilterResult;
namespace R = apmpb_field::ResultData;
using platform::Value;
using Words = std::vector<std::int64_t>;

[[maybe_unused]] testing::Environment* const kStateRoot =
    testing::AddGlobalTestEnvironment(new engine_testing::StateRoot);

constexpr const char* kAppID = "1:1:ios:abc";

template <class Wrapper> platform::ValueList listOf(std::vector<std::shared_ptr<Wrapper>> items) {
  return NANOMessageValues(items);
}

// "level_up" with "level" compared (1 below, 2 above) with 5.
std::shared_ptr<APMPBEventFilter> levelUp(std::int32_t id, std::int32_t comparison) {
  auto number = APMPBNumberFilter::initWithMessageInfo();
  NANOSetInt32(number.get(), apmpb_field::NumberFilter::kComparisonType, comparison);
  NANOSetString(number.get(), apmpb_field::NumberFilter::kComparisonValue, "5");
  auto parameter = APMPBFilter::initWithMessageInfo();
  NANOSetMessage(parameter.get(), apmpb_field::Filter::kNumberFilter, number.get());
  NANOSetString(parameter.get(), apmpb_field::Filter::kParamName, "level");
  auto filter = APMPBEventFilter::initWithMessageInfo();
  NANOSetInt32(filter.get(), apmpb_field::EventFilter::kFilterId, id);
  NANOSetString(filter.get(), apmpb_field::EventFilter::kEventName, "level_up");
  const auto parameters = listOf<APMPBFilter>({parameter});
  NANOSetArray(filter.get(), apmpb_field::EventFilter::kFilters, &parameters);
  return filter;
}

std::shared_ptr<APMPBPropertyFilter> favouriteFood(std::int32_t id) {
  auto text = APMPBStringFilter::initWithMessageInfo();
  NANOSetInt32(text.get(), apmpb_field::StringFilter::kMatchType, 2);
  NANOSetString(text.get(), apmpb_field::StringFilter::kExpression, "PIZ");
  auto value = APMPBFilter::initWithMessageInfo();
  NANOSetMessage(value.get(), apmpb_field::Filter::kStringFilter, text.get());
  auto filter = APMPBPropertyFilter::initWithMessageInfo();
  NANOSetInt32(filter.get(), apmpb_field::PropertyFilter::kFilterId, id);
  NANOSetString(filter.get(), apmpb_field::PropertyFilter::kPropertyName, "favourite_food");
  NANOSetMessage(filter.get(), apmpb_field::PropertyFilter::kFilter, value.get());
  return filter;
}

std::shared_ptr<APMPBAudience> audience(std::int32_t id,
                                        std::vector<std::shared_ptr<APMPBEventFilter>> events,
                                        std::vector<std::shared_ptr<APMPBPropertyFilter>> props) {
  auto message = APMPBAudience::initWithMessageInfo();
  NANOSetInt32(message.get(), apmpb_field::Audience::kAudienceId, id);
  const auto e = listOf(events);
  const auto p = listOf(props);
  NANOSetArray(message.get(), apmpb_field::Audience::kEventFilters, &e);
  NANOSetArray(message.get(), apmpb_field::Audience::kPropertyFilters, &p);
  return message;
}

platform::Bytes configWith(std::vector<std::shared_ptr<APMPBAudience>> audiences) {
  auto config = APMPBMeasurementConfig::initWithMessageInfo();
  NANOSetInt64(config.get(), C::kVersion, 7);
  NANOSetString(config.get(), C::kAppId, kAppID);
  const auto values = listOf(audiences);
  NANOSetArray(config.get(), C::kAudiences, &values);
  return *config->protoBuffer();
}

// Audience 11: level_up above 5 (0), level_up below 5 (1), favourite_food begins with "piz" (2).
// Audience 12: level_up below 5 (0). Audience 13: a filter identifier out of range.
platform::Bytes threeAudiences() {
  return configWith({audience(11, {levelUp(0, 2), levelUp(1, 1)}, {favouriteFood(2)}),
                     audience(12, {levelUp(0, 1)}, {}), audience(13, {levelUp(10, 2)}, {})});
}

class AudiencesTest : public engine_testing::EngineTest {
 protected:
  void start() {
    APMAnalytics::startWithAppID(kAppID, "fa", {});
    env_.runUntilIdle();
    ASSERT_TRUE(core());
    onWorker([&] {
      platform::ErrorPtr error;
      core()->database()->deleteRawEventsWithMaxRowID(std::numeric_limits<std::int64_t>::max(),
                                                      &error);
    });
  }
  void onWorker(std::function<void()> body) {
    core()->scheduler()->scheduleOnWorkerQueueBlockID("test", std::move(body));
    env_.runUntilIdle();
  }
  // Applies the configuration as a fetch does: in one transaction.
  bool apply(const platform::Bytes& data) {
    bool applied = false;
    onWorker([&] {
      applied = core()->database()->performTransaction(
          [&] { return core()->applyMeasurementConfig(data); });
    });
    return applied;
  }
  void log(const std::string& name, platform::ValueMap parameters = {}) {
    APMAnalytics::logEventWithName(name, parameters);
    env_.runUntilIdle();
  }
  int bundleAll() {
    int made = 0;
    bool more = true;
    while (more) {
      onWorker([&] { more = core()->bundleRawEvents(); });
      made += more ? 1 : 0;
    }
    return made;
  }
  std::vector<std::shared_ptr<APMPBMeasurementBundle>> takeQueue() {
    std::vector<std::shared_ptr<APMPBMeasurementBundle>> out;
    onWorker([&] {
      platform::ErrorPtr error;
      auto rows = core()->database()->queryBundlesWithCountLimit(1000, 100000000, &error);
      ASSERT_TRUE(rows);
      for (const auto& row : *rows) {
        out.push_back(row.bundle);
        core()->database()->deleteBundlesWithRowIDs({row.rowID}, &error);
      }
    });
    return out;
  }
  std::string sql(const std::string& query) {
    apm_testing::RawConnection raw(APMFilePathForDatabaseName(APMDatabaseFileName));
    return raw.rows(query);
  }
  void exec(const std::string& statement) {
    apm_testing::RawConnection raw(APMFilePathForDatabaseName(APMDatabaseFileName));
    ASSERT_EQ(raw.exec(statement), 0) << statement;
  }

  struct Leaf {
    Words status, results;
    std::optional<Words> previousResults;
    bool newAudience = false;
  };
  static Words words(const NANOMessageBase* data, std::int32_t field) {
    Words out;
    for (const auto& v : NANOGetArray(data, field).value_or(platform::ValueList{}))
      out.push_back(v.asInt());
    return out;
  }
  // Tag 29 of a bundle by audience.
  static std::map<std::int32_t, Leaf> leaves(const APMPBMeasurementBundle& bundle) {
    std::map<std::int32_t, Leaf> out;
    for (const auto& v : NANOGetArray(&bundle, B::kAudienceEvaluationResults,
                                      APMPBAudienceLeafFilterResult::classObject())
                             .value_or(platform::ValueList{})) {
      const auto leaf = v.asObjectOf<APMPBAudienceLeafFilterResult>();
      Leaf entry;
      const auto current = NANOGetMessage<APMPBResultData>(leaf.get(), L::kCurrentData);
      entry.status = words(current.get(), R::kStatus);
      entry.results = words(current.get(), R::kResults);
      if (const auto previous = NANOGetMessage<APMPBResultData>(leaf.get(), L::kPreviousData)) {
        entry.previousResults = words(previous.get(), R::kResults);
      }
      entry.newAudience = NANOGetBool(leaf.get(), L::kNewAudience);
      out[NANOGetInt32(leaf.get(), L::kAudienceId)] = entry;
    }
    return out;
  }
};

TEST_F(AudiencesTest, FetchedAudiencesBecomeFiltersAndEveryBundleCarriesTheirResults) {
  start();
  ASSERT_TRUE(apply(threeAudiences()));
  EXPECT_EQ(sql("SELECT audience_id, filter_id, event_name FROM event_filters ORDER BY 1, 2"),
            "11|0|level_up\n11|1|level_up\n12|0|level_up");
  EXPECT_EQ(sql("SELECT audience_id, filter_id, property_name FROM property_filters"),
            "11|2|favourite_food");
  EXPECT_TRUE(reported(6009));
  // The audiences are not part of the stored configuration.
  bool stored = false;
  onWorker([&] { stored = core()->hasStoredMeasurementConfig(); });
  EXPECT_TRUE(stored);
  EXPECT_EQ(core()->remoteConfigInstance()->version(), 7);

  log("level_up", {{Value("level"), Value(std::int64_t{7})}});
  ASSERT_GE(bundleAll(), 1);
  auto bundles = takeQueue();
  ASSERT_EQ(bundles.size(), 1u);
  auto results = leaves(*bundles[0]);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[11].status, Words{3});
  EXPECT_EQ(results[11].results, Words{1});
  EXPECT_TRUE(results[11].newAudience);
  EXPECT_EQ(results[12].status, Words{1});
  EXPECT_EQ(results[12].results, Words{0});

  // The property is evaluated at the bundle's time; audience 12 is unchanged.
  // Stored as the properties category stores it; the next event's metadata carries it.
  onWorker([&] {
    const APMUserAttribute property("app", "favourite_food", *APMValue::initWithString("pizza"),
                                    env_.now());
    platform::ErrorPtr error;
    ASSERT_TRUE(core()->database()->updateUserAttribute(&property, &error));
  });
  log("level_up", {{Value("level"), Value(std::int64_t{7})}});
  ASSERT_GE(bundleAll(), 1);
  bundles = takeQueue();
  ASSERT_FALSE(bundles.empty());
  results = leaves(*bundles.back());
  EXPECT_EQ(results[11].status, Words{7});
  EXPECT_EQ(results[11].results, Words{5});
  EXPECT_EQ(results[11].previousResults, Words{1});
  EXPECT_FALSE(results[11].newAudience);
  EXPECT_FALSE(results[12].previousResults);
  EXPECT_FALSE(results[12].newAudience);
}

TEST_F(AudiencesTest, AFailedAudienceUpdateRollsTheWholeConfigurationBack) {
  start();
  exec("CREATE TRIGGER fail_filters BEFORE INSERT ON event_filters BEGIN SELECT RAISE(ABORT, "
       "'injected'); END");
  clearReports();
  EXPECT_FALSE(apply(threeAudiences()));
  EXPECT_TRUE(reported(6012));
  EXPECT_TRUE(reported(23137));
  bool stored = true;
  onWorker([&] { stored = core()->hasStoredMeasurementConfig(); });
  EXPECT_FALSE(stored);
}

TEST_F(AudiencesTest, AnAudienceFailureRollsTheWholeBundlingPassBack) {
  start();
  ASSERT_TRUE(apply(threeAudiences()));
  log("level_up", {{Value("level"), Value(std::int64_t{7})}});
  const std::string rawBefore = sql("SELECT COUNT(*) FROM raw_events");
  const std::string aggregatesBefore = sql("SELECT name, lifetime_count FROM events ORDER BY 1");
  ASSERT_NE(rawBefore, "0");
  exec("CREATE TRIGGER fail_results BEFORE INSERT ON audience_filter_values BEGIN SELECT "
       "RAISE(ABORT, 'injected'); END");
  clearReports();
  EXPECT_EQ(bundleAll(), 0);
  EXPECT_TRUE(reported(6003));
  EXPECT_EQ(sql("SELECT COUNT(*) FROM raw_events"), rawBefore);
  EXPECT_EQ(sql("SELECT name, lifetime_count FROM events ORDER BY 1"), aggregatesBefore);
  EXPECT_EQ(sql("SELECT COUNT(*) FROM queue") + sql("SELECT COUNT(*) FROM audience_filter_values"),
            "00");
  // Once the fault is gone the same batch goes out, evaluated once.
  exec("DROP TRIGGER fail_results");
  ASSERT_GE(bundleAll(), 1);
  const auto bundles = takeQueue();
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(leaves(*bundles[0])[11].results, Words{1});
}

}  // namespace
