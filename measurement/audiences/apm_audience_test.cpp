// The audience evaluator on a real database file under the mock clock: definitions and their
// validation, pruning, evaluation of events and user properties, results handed out for bundles,
// session-start clearing, the timestamp caches, stored rows that cannot be trusted, and database
// failures injected with triggers.
#include "measurement/audiences/apm_audience.h"
#include "measurement/messages/testing/measurement_config_for_testing.h"

#include <algorithm>

#include "measurement/audiences/apm_audience_validation.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_event_aggregates.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/model/apm_user_attribute.h"
#include "measurement/storage/apm_file_locations.h"
#include "measurement/storage/apm_persisted_config.h"
#include "measurement/storage/storage_test_support.h"
#include "measurement/storage/testing/raw_connection.h"
#include "measurement/storage/testing/sqlite_fault_vfs.h"
#include "platform/dispatch/test_environment.h"

namespace {

using platform::Value;
using Words = std::vector<std::uint64_t>;
namespace AudienceField = apmpb_field::Audience;
namespace EventFilterField = apmpb_field::EventFilter;
namespace PropertyFilterField = apmpb_field::PropertyFilter;
namespace FilterField = apmpb_field::Filter;
namespace StringField = apmpb_field::StringFilter;
namespace NumberField = apmpb_field::NumberFilter;
namespace ResultField = apmpb_field::ResultData;
namespace LeafField = apmpb_field::AudienceLeafFilterResult;
namespace DynamicField = apmpb_field::DynamicFilterResultTimestamp;
namespace SequenceField = apmpb_field::SequenceFilterResultTimestamp;
namespace UserAttributeField = apmpb_field::UserAttribute;

constexpr const char* kAppID = "1:123:ios:abc";
constexpr double kNow = 1'700'000'000;

// --- Message builders ---

std::shared_ptr<APMPBNumberFilter> number(std::int32_t type, std::optional<std::string> operand,
                                          bool asFloat = false) {
  auto filter = APMPBNumberFilter::initWithMessageInfo();
  NANOSetInt32(filter.get(), NumberField::kComparisonType, type);
  if (operand) NANOSetString(filter.get(), NumberField::kComparisonValue, *operand);
  if (asFloat) NANOSetBool(filter.get(), NumberField::kMatchAsFloat, true);
  return filter;
}

std::shared_ptr<APMPBStringFilter> text(std::int32_t match, std::string expression) {
  auto filter = APMPBStringFilter::initWithMessageInfo();
  NANOSetInt32(filter.get(), StringField::kMatchType, match);
  NANOSetString(filter.get(), StringField::kExpression, expression);
  return filter;
}

std::shared_ptr<APMPBFilter> valueFilter(std::shared_ptr<APMPBNumberFilter> numeric,
                                         std::shared_ptr<APMPBStringFilter> string,
                                         std::optional<std::string> parameter = std::nullopt) {
  auto filter = APMPBFilter::initWithMessageInfo();
  if (numeric) NANOSetMessage(filter.get(), FilterField::kNumberFilter, numeric.get());
  if (string) NANOSetMessage(filter.get(), FilterField::kStringFilter, string.get());
  if (parameter) NANOSetString(filter.get(), FilterField::kParamName, *parameter);
  return filter;
}

struct Flags {
  bool dynamic = false;
  bool sequence = false;
  bool sessionScoped = false;
};

std::shared_ptr<APMPBEventFilter>
eventFilter(std::optional<std::int32_t> id, std::optional<std::string> name,
            std::vector<std::shared_ptr<APMPBFilter>> parameters = {},
            std::shared_ptr<APMPBNumberFilter> count = nullptr, Flags flags = {}) {
  auto filter = APMPBEventFilter::initWithMessageInfo();
  if (id) NANOSetInt32(filter.get(), EventFilterField::kFilterId, *id);
  if (name) NANOSetString(filter.get(), EventFilterField::kEventName, *name);
  if (!parameters.empty()) {
    const auto values = NANOMessageValues(parameters);
    NANOSetArray(filter.get(), EventFilterField::kFilters, &values);
  }
  if (count) NANOSetMessage(filter.get(), EventFilterField::kEventCountFilter, count.get());
  if (flags.dynamic) NANOSetBool(filter.get(), EventFilterField::kDynamic, true);
  if (flags.sequence) NANOSetBool(filter.get(), EventFilterField::kSequence, true);
  if (flags.sessionScoped) NANOSetBool(filter.get(), EventFilterField::kSessionScoped, true);
  return filter;
}

std::shared_ptr<APMPBPropertyFilter> propertyFilter(std::optional<std::int32_t> id,
                                                    std::optional<std::string> name,
                                                    std::shared_ptr<APMPBFilter> value,
                                                    Flags flags = {}) {
  auto filter = APMPBPropertyFilter::initWithMessageInfo();
  if (id) NANOSetInt32(filter.get(), PropertyFilterField::kFilterId, *id);
  if (name) NANOSetString(filter.get(), PropertyFilterField::kPropertyName, *name);
  if (value) NANOSetMessage(filter.get(), PropertyFilterField::kFilter, value.get());
  if (flags.dynamic) NANOSetBool(filter.get(), PropertyFilterField::kDynamic, true);
  if (flags.sequence) NANOSetBool(filter.get(), PropertyFilterField::kSequence, true);
  if (flags.sessionScoped) NANOSetBool(filter.get(), PropertyFilterField::kSessionScoped, true);
  return filter;
}

std::shared_ptr<APMPBAudience>
audience(std::optional<std::int32_t> id, std::vector<std::shared_ptr<APMPBEventFilter>> events,
         std::vector<std::shared_ptr<APMPBPropertyFilter>> properties = {}) {
  auto message = APMPBAudience::initWithMessageInfo();
  if (id) NANOSetInt32(message.get(), AudienceField::kAudienceId, *id);
  if (!events.empty()) {
    const auto values = NANOMessageValues(events);
    NANOSetArray(message.get(), AudienceField::kEventFilters, &values);
  }
  if (!properties.empty()) {
    const auto values = NANOMessageValues(properties);
    NANOSetArray(message.get(), AudienceField::kPropertyFilters, &values);
  }
  return message;
}

// A parameter filter "v" > 5.
std::shared_ptr<APMPBFilter> vAbove5() {
  return valueFilter(number(2, "5"), nullptr, "v");
}
// A property value filter: begins with "piz", any case.
std::shared_ptr<APMPBFilter> pizPrefix() {
  return valueFilter(nullptr, text(2, "PIZ"));
}

platform::Bytes resultData(const Words& status, const Words& results) {
  auto data = APMPBResultData::initWithMessageInfo();
  platform::ValueList s, r;
  for (auto w : status)
    s.emplace_back(static_cast<std::int64_t>(w));
  for (auto w : results)
    r.emplace_back(static_cast<std::int64_t>(w));
  NANOSetArray(data.get(), ResultField::kStatus, &s);
  NANOSetArray(data.get(), ResultField::kResults, &r);
  return *data->protoBuffer();
}

Words words(const NANOMessageBase* data, std::int32_t field) {
  Words out;
  for (const auto& v : NANOGetArray(data, field).value_or(platform::ValueList{}))
    out.push_back(static_cast<std::uint64_t>(v.asInt()));
  return out;
}

class APMAudienceTest : public apm_testing::StorageTest {
 protected:
  APMAudienceTest() {
    fastDisk_.skipSync = true;
    config_ = APMPersistedConfig::initWithSuiteName(APMPersistedConfigName);
    database_ = APMDatabase::initWithDatabaseName(APMDatabaseFileName, config_, nullptr);
    audience_ = APMAudience::initWithDatabase(database_);
  }
  ~APMAudienceTest() override {
    APMRemoteConfig::setCurrent(nullptr);
    env_.runUntilIdle();
  }

  void useSettings(const std::vector<std::pair<std::string, std::string>>& pairs) {
    auto config = measurementConfigWithSettings(kAppID, std::nullopt, pairs);
    auto remote = APMRemoteConfig::initWithAppID(kAppID, database_, config_, nullptr);
    ASSERT_TRUE(remote && remote->updateMeasurementConfig(config));
    APMRemoteConfig::setCurrent(remote);
  }

  // (level, code) of every report since the last call.
  std::vector<std::pair<std::int64_t, std::int64_t>> codes() {
    monitor()->waitForMonitorQueue();
    std::vector<std::pair<std::int64_t, std::int64_t>> out;
    for (const auto& r : reports())
      out.emplace_back(r.level, r.code);
    clearReports();
    return out;
  }
  bool saw(std::int64_t level, std::int64_t code) {
    const auto all = codes();
    return std::find(all.begin(), all.end(), std::make_pair(level, code)) != all.end();
  }
  std::int64_t countOf(std::int64_t code) {
    monitor()->waitForMonitorQueue();
    std::int64_t n = 0;
    for (const auto& r : reports())
      n += r.code == code ? 1 : 0;
    return n;
  }

  bool update(std::vector<std::shared_ptr<APMPBAudience>> audiences) {
    return audience_->updateAudiences(audiences);
  }
  bool logEvent(const std::string& name, platform::ValueMap parameters = {}, double at = kNow,
                std::shared_ptr<APMAudienceTimestampsCache> cache = nullptr) {
    auto aggregates = APMEventAggregates::initWithName(name, 1, 1, 1, at);
    return audience_->evaluateFiltersForEventName(name, parameters, aggregates.get(), at, cache);
  }
  bool setProperty(const std::string& name, const std::string& value, double at = kNow) {
    auto property =
        APMUserAttribute::initWithOrigin("app", name, *APMValue::initWithString(value), at);
    return audience_->evaluateFiltersForUserProperty(*property, nullptr, at);
  }
  std::shared_ptr<APMFilterResult> stored(std::int32_t audienceID) {
    platform::ErrorPtr error;
    return database_->filterResultForAudienceID(audienceID, &error);
  }
  // Status and results words of the audience's current result; empty lists when none.
  std::pair<Words, Words> bits(std::int32_t audienceID) {
    const auto result = stored(audienceID);
    if (!result) return {};
    const auto data = APMPBResultData::initWithBuffer(result->currentResults());
    return {words(data.get(), ResultField::kStatus), words(data.get(), ResultField::kResults)};
  }
  APMAudience::LeafResults bundle() {
    std::optional<APMAudience::LeafResults> out;
    EXPECT_TRUE(audience_->resultsForBundling(&out));
    return out.value_or(APMAudience::LeafResults{});
  }
  std::string sql(const std::string& query) {
    apm_testing::RawConnection raw(APMFilePathForDatabaseName(APMDatabaseFileName));
    return raw.rows(query);
  }
  void exec(const std::string& statement) {
    apm_testing::RawConnection raw(APMFilePathForDatabaseName(APMDatabaseFileName));
    ASSERT_EQ(raw.exec(statement), 0) << statement;
  }
  // Every write of an audience result fails from now on.
  void failResultWrites() {
    exec("CREATE TRIGGER fail_results BEFORE INSERT ON audience_filter_values BEGIN SELECT "
         "RAISE(ABORT, 'injected'); END");
    exec("CREATE TRIGGER fail_results_update BEFORE UPDATE ON audience_filter_values BEGIN "
         "SELECT RAISE(ABORT, 'injected'); END");
  }

  apm_testing::SqliteFaultVfs fastDisk_;
  platform::TestEnvironment env_{kNow};
  std::shared_ptr<APMPersistedConfig> config_;
  std::shared_ptr<APMDatabase> database_;
  std::shared_ptr<APMAudience> audience_;
};

// --- Definitions ---

TEST_F(APMAudienceTest, EveryValidationRuleRefusesWithItsCodeAndText) {
  std::vector<std::shared_ptr<APMPBEventFilter>> eleven;
  for (int i = 0; i <= 10; ++i)
    eleven.push_back(eventFilter(i % 10, "e" + std::to_string(i)));
  std::vector<std::shared_ptr<APMPBFilter>> params26(26, vAbove5());
  const auto ok = [] { return eventFilter(3, "e"); };
  struct Case {
    const char* name;
    std::shared_ptr<APMPBAudience> audience;
    std::int64_t code;  // 0: valid
    const char* text;
  };
  const std::vector<Case> cases = {
      {"valid",
       audience(1, {ok(), eventFilter(9, "f", {vAbove5()}, number(1, "3"))},
                {propertyFilter(0, "p", pizPrefix())}),
       0, ""},
      {"1", audience(std::nullopt, {ok()}), 9, "Missing audience ID"},
      {"2", audience(-1, {ok()}), 9, "Audience ID is negative"},
      {"3", audience(5, {ok()}), 9, "Duplicate audience ID"},
      {"4", audience(1, {}), 9, "Audience missing filters arrays"},
      {"5", audience(1, eleven), 9, "Audience filter count out of range"},
      {"6 missing", audience(1, {eventFilter(0, std::nullopt)}), 10,
       "Event filter missing event name"},
      {"6 empty", audience(1, {eventFilter(0, "")}), 10, "Event filter missing event name"},
      {"7", audience(1, {eventFilter(std::nullopt, "e")}), 10, "Missing event filter ID"},
      {"8 high", audience(1, {eventFilter(10, "e")}), 10, "Event filter ID is out of range"},
      {"8 negative", audience(1, {eventFilter(-1, "e")}), 10, "Event filter ID is out of range"},
      {"9", audience(1, {ok(), ok()}), 10, "Duplicate event filter ID"},
      {"10", audience(1, {eventFilter(0, "e", {}, number(2, "1", true))}), 10,
       "Event filter has float event count filter"},
      {"11", audience(1, {eventFilter(0, "e", {}, number(0, "1"))}), 10,
       "Event filter has invalid event count filter"},
      {"12", audience(1, {eventFilter(0, "e", params26)}), 10,
       "Event filter parameters filters count out of range"},
      {"13", audience(1, {eventFilter(0, "e", {valueFilter(number(2, "5"), nullptr)})}), 10,
       "Event filter missing parameter name"},
      {"14 both",
       audience(1, {eventFilter(0, "e", {valueFilter(number(2, "5"), text(2, "a"), "v")})}), 10,
       "Event filter must have exactly one of number or string filter"},
      {"14 neither", audience(1, {eventFilter(0, "e", {valueFilter(nullptr, nullptr, "v")})}), 10,
       "Event filter must have exactly one of number or string filter"},
      {"15", audience(1, {eventFilter(0, "e", {valueFilter(number(7, "5"), nullptr, "v")})}), 10,
       "Event filter has invalid number filter"},
      {"16", audience(1, {eventFilter(0, "e", {valueFilter(nullptr, text(0, "a"), "v")})}), 10,
       "Event filter has invalid string filter"},
      {"17", audience(1, {ok()}, {propertyFilter(0, "", pizPrefix())}), 11,
       "Property filter missing property name"},
      {"18", audience(1, {ok()}, {propertyFilter(std::nullopt, "p", pizPrefix())}), 11,
       "Missing property filter ID"},
      {"19", audience(1, {ok()}, {propertyFilter(10, "p", pizPrefix())}), 11,
       "Property filter ID is out of range"},
      {"20", audience(1, {ok()}, {propertyFilter(3, "p", pizPrefix())}), 11,
       "Duplicate property filter ID"},
      {"21", audience(1, {ok()}, {propertyFilter(0, "p", nullptr)}), 11,
       "Property filter has no filter"},
      {"22", audience(1, {ok()}, {propertyFilter(0, "p", valueFilter(nullptr, nullptr))}), 11,
       "Property filter must have exactly one of number or string filter"},
      {"23", audience(1, {ok()}, {propertyFilter(0, "p", valueFilter(number(7, "1"), nullptr))}),
       11, "Property filter must have exactly one of number or string filter"},
      {"24", audience(1, {ok()}, {propertyFilter(0, "p", valueFilter(nullptr, text(0, "a")))}), 11,
       "Property filter has invalid string filter"},
  };
  const std::set<std::int32_t> accepted{5};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ErrorPtr error;
    const bool valid = APMIsValidAudienceProto(*c.audience, accepted, &error);
    EXPECT_EQ(valid, c.code == 0);
    if (c.code != 0) {
      ASSERT_TRUE(error);
      EXPECT_EQ(error->domain, "com.ziriza.duz.measurement.ErrorDomain");
      EXPECT_EQ(error->code, c.code);
      EXPECT_EQ(error->localizedDescription(), c.text);
    }
  }
}

TEST_F(APMAudienceTest, LimitsOutsideTheirRangeGiveTheDefaultAndTooManyAudiencesChangeNothing) {
  // Ten filters pass and eleven fail under the default limit, which an out-of-range setting keeps.
  for (const char* setting : {"", "101", "-1", "abc"}) {
    SCOPED_TRACE(setting);
    if (*setting) {
      useSettings({{"measurement.audience.filter_max_count_per_audience", setting},
                   {"measurement.audience.max_count", setting}});
    }
    std::vector<std::shared_ptr<APMPBEventFilter>> ten, eleven;
    for (int i = 0; i < 10; ++i)
      ten.push_back(eventFilter(i, "e"));
    eleven = ten;
    eleven.push_back(eventFilter(10, "e"));
    platform::ErrorPtr error;
    EXPECT_TRUE(APMIsValidAudienceProto(*audience(1, ten), {}, &error));
    EXPECT_FALSE(APMIsValidAudienceProto(*audience(1, eleven), {}, &error));
  }
  // An in-range setting is used as given.
  useSettings({{"measurement.audience.filter_max_count_per_audience", "11"}});
  std::vector<std::shared_ptr<APMPBEventFilter>> eleven;
  for (int i = 0; i <= 10; ++i)
    eleven.push_back(eventFilter(i, "e"));
  platform::ErrorPtr error;
  EXPECT_TRUE(APMIsValidAudienceProto(*audience(1, eleven), {}, &error));

  // 101 audiences under the default count limit (a setting of 501 is out of range): nothing
  // replaced, 6008 with the count, YES.
  useSettings({{"measurement.audience.max_count", "501"}});
  ASSERT_TRUE(update({audience(7, {eventFilter(0, "kept")})}));
  std::vector<std::shared_ptr<APMPBAudience>> many;
  for (int i = 0; i < 101; ++i)
    many.push_back(audience(100 + i, {eventFilter(0, "new")}));
  clearReports();
  EXPECT_TRUE(update(many));
  monitor()->waitForMonitorQueue();
  const auto all = reports();
  const auto found = std::find_if(all.begin(), all.end(), [](auto& r) { return r.code == 6008; });
  ASSERT_NE(found, all.end());
  EXPECT_EQ(found->level, 2);
  ASSERT_EQ(found->contexts.size(), 1u);
  EXPECT_EQ(found->contexts[0], Value(std::int64_t{101}));
  EXPECT_EQ(sql("SELECT audience_id, event_name FROM event_filters"), "7|kept");
}

TEST_F(APMAudienceTest, AnUpdateStoresValidAudiencesUnderInternalNamesAndReplacesTheOldFilters) {
  ASSERT_TRUE(
      update({audience(99, {eventFilter(0, "old")}, {propertyFilter(1, "p", pizPrefix())})}));
  const auto withParameter =
      eventFilter(0, "first_open", {valueFilter(nullptr, text(5, "x"), "previous_app_version")});
  ASSERT_TRUE(update({
      audience(11, {withParameter, eventFilter(1, "level_up")},
               {propertyFilter(2, "favourite_food", pizPrefix(), {true, false, true})}),
      audience(12, {eventFilter(10, "bad")}),  // invalid: skipped with 6009
      audience(12, {eventFilter(0, "level_up", {}, nullptr, {false, true, false})}),
      audience(11, {eventFilter(0, "dup")}),  // the second 11 is refused
  }));
  EXPECT_EQ(sql("SELECT audience_id, filter_id, event_name, session_scoped FROM event_filters "
                "ORDER BY audience_id, filter_id"),
            "11|0|_f|0\n11|1|level_up|0\n12|0|level_up|0");
  EXPECT_EQ(sql("SELECT audience_id, filter_id, property_name, session_scoped FROM "
                "property_filters"),
            "11|2|favourite_food|1");
  // The stored blob carries the internal names too, and the flags read back from it.
  platform::ErrorPtr error;
  const auto rows = database_->eventFiltersForEventName("_f", &error);
  ASSERT_TRUE(rows && rows->size() == 1);
  const auto blob = APMPBEventFilter::initWithBuffer(rows->front()->data());
  EXPECT_EQ(NANOGetString(blob.get(), EventFilterField::kEventName), "_f");
  const auto parameter =
      NANOGetArray(blob.get(), EventFilterField::kFilters, APMPBFilter::classObject())
          ->front()
          .asObjectOf<APMPBFilter>();
  EXPECT_EQ(NANOGetString(parameter.get(), FilterField::kParamName), "_pv");
  const auto sequence = database_->eventFiltersForEventName("level_up", &error);
  ASSERT_TRUE(sequence);
  EXPECT_EQ(
      std::count_if(sequence->begin(), sequence->end(), [](auto& f) { return f->isSequence(); }),
      1);
  const auto all = codes();
  EXPECT_EQ(std::count(all.begin(), all.end(), std::make_pair(std::int64_t{2}, std::int64_t{6009})),
            2);

  // An empty list leaves no filters.
  ASSERT_TRUE(update({}));
  EXPECT_EQ(sql("SELECT COUNT(*) FROM event_filters") +
                sql("SELECT COUNT(*) FROM property_filters"),
            "00");
}

TEST_F(APMAudienceTest, StoredResultsArePrunedOnlyOverTheLimitAndOnlyWhenStale) {
  const auto storeResults = [&](int count) {
    APMDatabase::FilterResults results;
    for (int i = 0; i < count; ++i)
      results.push_back(APMFilterResult::initWithAudienceID(1000 + i, resultData({1}, {1}), {}));
    platform::ErrorPtr error;
    ASSERT_TRUE(database_->updateFilterResults(results, &error));
  };
  // The previous configuration knows 1000; the new one knows 1001.
  ASSERT_TRUE(update({audience(1000, {eventFilter(0, "e")})}));
  storeResults(150);
  ASSERT_TRUE(update({audience(1001, {eventFilter(0, "e")})}));
  EXPECT_EQ(sql("SELECT COUNT(*) FROM audience_filter_values"), "150");

  exec("DELETE FROM audience_filter_values");
  ASSERT_TRUE(update({audience(1000, {eventFilter(0, "e")})}));
  storeResults(201);
  clearReports();
  ASSERT_TRUE(update({audience(1001, {eventFilter(0, "e")})}));
  EXPECT_TRUE(saw(3, 6016));
  EXPECT_EQ(sql("SELECT group_concat(audience_id) FROM audience_filter_values"), "1000,1001");

  // Mend: 201 live results and nothing stale. The database refuses an empty delete; the update
  // still goes through instead of being refused at every fetch.
  exec("DELETE FROM audience_filter_values");
  std::vector<std::shared_ptr<APMPBAudience>> live;
  for (int i = 0; i < 100; ++i)
    live.push_back(audience(1000 + i, {eventFilter(0, "e")}));
  ASSERT_TRUE(update(live));
  storeResults(201);
  live.clear();
  for (int i = 100; i < 201; ++i)
    live.push_back(audience(1000 + i, {eventFilter(0, "e")}));
  useSettings({{"measurement.audience.max_count", "200"}});
  clearReports();
  EXPECT_TRUE(update(live));
  EXPECT_FALSE(saw(1, 6018));
  EXPECT_EQ(sql("SELECT COUNT(*) FROM audience_filter_values"), "201");
  EXPECT_EQ(sql("SELECT COUNT(DISTINCT audience_id) FROM event_filters"), "101");
}

// --- Evaluation ---

TEST_F(APMAudienceTest, FilterSeventyUsesBitSixOfWordOneAndGrowsBothLists) {
  useSettings({{"measurement.audience.filter_max_count_per_audience", "80"}});
  ASSERT_TRUE(update({audience(1, {eventFilter(0, "a"), eventFilter(70, "b")})}));
  ASSERT_TRUE(logEvent("a"));
  EXPECT_EQ(bits(1), std::make_pair(Words{1}, Words{1}));
  ASSERT_TRUE(logEvent("b"));
  EXPECT_EQ(bits(1), std::make_pair(Words{1, 64}, Words{1, 64}));
}

TEST_F(APMAudienceTest, PlainSessionScopedAndDynamicFiltersKeepOrDropTheirTruth) {
  ASSERT_TRUE(update({
      audience(1, {eventFilter(0, "e", {vAbove5()}),
                   eventFilter(1, "e", {vAbove5()}, nullptr, {false, false, true})}),
      audience(2, {eventFilter(0, "s", {}, nullptr, {false, false, true})}),
      audience(3, {eventFilter(5, "other")},
               {propertyFilter(0, "food", pizPrefix(), {true, false, false}),
                propertyFilter(1, "food", pizPrefix(), {true, false, true}),
                propertyFilter(2, "food", pizPrefix())}),
      audience(4, {eventFilter(0, "n", {vAbove5()})}),
  }));
  // A first false outcome: evaluated, not true.
  ASSERT_TRUE(logEvent("e", {{Value("v"), Value(std::int64_t{1})}}));
  EXPECT_EQ(bits(1), std::make_pair(Words{3}, Words{0}));
  ASSERT_TRUE(logEvent("e", {{Value("v"), Value(std::int64_t{7})}}));
  EXPECT_EQ(bits(1), std::make_pair(Words{3}, Words{3}));
  // The plain filter is not looked at again (no missing-parameter report from it); the
  // session-scoped one is, and a false outcome keeps it true.
  clearReports();
  ASSERT_TRUE(logEvent("e"));
  EXPECT_EQ(countOf(7009), 1);
  ASSERT_TRUE(logEvent("e", {{Value("v"), Value(std::int64_t{1})}}));
  EXPECT_EQ(bits(1), std::make_pair(Words{3}, Words{3}));
  // An outcome of none (the parameter is missing) on a fresh audience stores nothing.
  ASSERT_TRUE(logEvent("n"));
  EXPECT_FALSE(stored(4));
  ASSERT_TRUE(logEvent("other"));
  ASSERT_TRUE(logEvent("s"));

  ASSERT_TRUE(setProperty("food", "Pizza"));
  EXPECT_EQ(bits(3), std::make_pair(Words{39}, Words{39}));  // filters 0, 1, 2 and 5
  ASSERT_TRUE(setProperty("food", "salad"));
  // Dynamic and not session-scoped: false now; dynamic session-scoped and plain: still true.
  EXPECT_EQ(bits(3), std::make_pair(Words{39}, Words{38}));

  // Session start: session-scoped bits go; audience 2 had nothing else and is deleted.
  const auto before = stored(1)->currentResults();
  ASSERT_TRUE(audience_->clearEvaluationResultsForSessionScopedFilters());
  EXPECT_EQ(bits(1), std::make_pair(Words{1}, Words{1}));
  EXPECT_EQ(stored(1)->previousResults(), before);
  EXPECT_FALSE(stored(2));
  EXPECT_EQ(bits(3), std::make_pair(Words{37}, Words{36}));
}

TEST_F(APMAudienceTest, ANewDefinitionUnderTheSameIdentifiersIsEvaluatedAsStored) {
  ASSERT_TRUE(update({audience(1, {eventFilter(0, "e", {vAbove5()})})}));
  ASSERT_TRUE(logEvent("e", {{Value("v"), Value(std::int64_t{1})}}));
  EXPECT_EQ(bits(1), std::make_pair(Words{1}, Words{0}));
  // Same audience and filter identifiers, the opposite comparison: the stored bytes decide.
  ASSERT_TRUE(
      update({audience(1, {eventFilter(0, "e", {valueFilter(number(1, "5"), nullptr, "v")})})}));
  ASSERT_TRUE(logEvent("e", {{Value("v"), Value(std::int64_t{1})}}));
  EXPECT_EQ(bits(1), std::make_pair(Words{1}, Words{1}));
}

TEST_F(APMAudienceTest, AResultRewrittenBetweenEventsIsReadAsStored) {
  ASSERT_TRUE(update({audience(1, {eventFilter(0, "e", {vAbove5()})})}));
  ASSERT_TRUE(logEvent("e", {{Value("v"), Value(std::int64_t{1})}}));
  ASSERT_EQ(bits(1), std::make_pair(Words{1}, Words{0}));
  // Written by another path (here: straight to the table): the filter is already true and,
  // being neither dynamic nor session-scoped, is not evaluated again.
  auto data = APMPBResultData::initWithMessageInfo();
  const platform::ValueList one{Value(std::int64_t{1})};
  NANOSetArray(data.get(), ResultField::kStatus, &one);
  NANOSetArray(data.get(), ResultField::kResults, &one);
  platform::ErrorPtr error;
  ASSERT_TRUE(database_->updateFilterResults(
      {APMFilterResult::initWithAudienceID(1, *data->protoBuffer(), {})}, &error));
  ASSERT_TRUE(logEvent("e", {{Value("v"), Value(std::int64_t{1})}}));
  EXPECT_EQ(bits(1), std::make_pair(Words{1}, Words{1}));
}

TEST_F(APMAudienceTest, BundlesCarryFirstUnchangedAndChangedResultsInAudienceOrder) {
  ASSERT_TRUE(update(
      {audience(12, {eventFilter(0, "e", {vAbove5()})}), audience(11, {eventFilter(1, "e")})}));
  ASSERT_TRUE(logEvent("e", {{Value("v"), Value(std::int64_t{1})}}));
  auto first = bundle();
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(NANOGetInt32(first[0].get(), LeafField::kAudienceId), 11);
  EXPECT_EQ(NANOGetInt32(first[1].get(), LeafField::kAudienceId), 12);
  for (const auto& leaf : first) {
    EXPECT_TRUE(NANOGetBool(leaf.get(), LeafField::kNewAudience));
    EXPECT_FALSE(NANOHasField(leaf.get(), LeafField::kPreviousData));
  }
  auto current = NANOGetMessage<APMPBResultData>(first[1].get(), LeafField::kCurrentData);
  EXPECT_EQ(words(current.get(), ResultField::kStatus), Words{1});
  EXPECT_EQ(words(current.get(), ResultField::kResults), Words{0});

  auto second = bundle();
  ASSERT_EQ(second.size(), 2u);
  for (const auto& leaf : second) {
    EXPECT_TRUE(NANOHasField(leaf.get(), LeafField::kNewAudience));
    EXPECT_FALSE(NANOGetBool(leaf.get(), LeafField::kNewAudience));
    EXPECT_FALSE(NANOHasField(leaf.get(), LeafField::kPreviousData));
  }
  ASSERT_TRUE(logEvent("e", {{Value("v"), Value(std::int64_t{7})}}));
  auto third = bundle();
  ASSERT_EQ(third.size(), 2u);
  EXPECT_FALSE(NANOHasField(third[0].get(), LeafField::kPreviousData));
  auto previous = NANOGetMessage<APMPBResultData>(third[1].get(), LeafField::kPreviousData);
  ASSERT_TRUE(previous);
  EXPECT_EQ(words(previous.get(), ResultField::kResults), Words{0});
  current = NANOGetMessage<APMPBResultData>(third[1].get(), LeafField::kCurrentData);
  EXPECT_EQ(words(current.get(), ResultField::kResults), Words{1});
}

TEST_F(APMAudienceTest, StoredResultsThatCannotBeTrustedAreSkippedNeverIndexedPast) {
  ASSERT_TRUE(update({audience(1, {eventFilter(0, "e")}),
                      audience(2, {eventFilter(1, "e", {}, nullptr, {false, false, true})})}));
  platform::ErrorPtr error;
  // Audience 1: results but no status. Not bundled (6021), not true (6023).
  // Audience 2: status two words long, results one word long.
  // Audience 3: a blob that does not decode.
  ASSERT_TRUE(database_->updateFilterResults(
      {APMFilterResult::initWithAudienceID(1, resultData({}, {1}), {}),
       APMFilterResult::initWithAudienceID(2, resultData({2, 1}, {2}), {}),
       APMFilterResult::initWithAudienceID(3, platform::Bytes{0xff, 0xff, 0xff}, {})},
      &error));
  clearReports();
  EXPECT_FALSE(APMAudience::isFilterResultTrueForFilterID(stored(1), 0));
  EXPECT_TRUE(saw(2, 6023));
  EXPECT_FALSE(APMAudience::isFilterResultTrueForFilterID(stored(2), 64));
  EXPECT_TRUE(APMAudience::isFilterResultTrueForFilterID(stored(2), 1));
  const auto leaves = bundle();
  ASSERT_EQ(leaves.size(), 1u);
  EXPECT_EQ(NANOGetInt32(leaves[0].get(), LeafField::kAudienceId), 2);
  const auto all = codes();
  EXPECT_NE(std::find(all.begin(), all.end(), std::make_pair(std::int64_t{2}, std::int64_t{6021})),
            all.end());
  EXPECT_NE(std::find(all.begin(), all.end(), std::make_pair(std::int64_t{2}, std::int64_t{6020})),
            all.end());
  // Each list grows on its own.
  auto grown = APMAudience::updatedFilterResultWithFilterID(64, 2, stored(2), true,
                                                            APMAudienceTimestampsCache());
  const auto data = APMPBResultData::initWithBuffer(grown->currentResults());
  EXPECT_EQ(words(data.get(), ResultField::kStatus), (Words{2, 1}));
  EXPECT_EQ(words(data.get(), ResultField::kResults), (Words{2, 1}));

  // Stored filter rows with identifiers no configuration may use are corrupt: 6035 and 6036, and
  // the session-start clearing passes them by.
  const auto blob = *eventFilter(0, "e")->protoBuffer();
  const auto propertyBlob = *propertyFilter(0, "p", pizPrefix())->protoBuffer();
  ASSERT_TRUE(database_->updateEventFilters(
      {APMEventFilter::initWithAudienceID(4, 150, "e", blob, true, false, false),
       APMEventFilter::initWithAudienceID(2, -3, "e", blob, true, false, false)},
      &error));
  ASSERT_TRUE(database_->updatePropertyFilters(
      {APMPropertyFilter::initWithAudienceID(4, 100, "p", propertyBlob, false, false, false)},
      &error));
  clearReports();
  ASSERT_TRUE(logEvent("e"));
  EXPECT_EQ(countOf(6035), 2);
  EXPECT_FALSE(stored(4));
  ASSERT_TRUE(setProperty("p", "pizza"));
  EXPECT_TRUE(saw(1, 6036));
  EXPECT_FALSE(stored(4));
  ASSERT_TRUE(audience_->clearEvaluationResultsForSessionScopedFilters());
  EXPECT_EQ(bits(2).first, (Words{0, 1}));
}

TEST_F(APMAudienceTest, NothingToBundleOrAnUnconvertiblePropertyAnswersYes) {
  // Mend: with no stored results the answer is YES with an empty list and no store call (a store
  // call would hit the trigger).
  failResultWrites();
  std::optional<APMAudience::LeafResults> results;
  EXPECT_TRUE(audience_->resultsForBundling(&results));
  ASSERT_TRUE(results);
  EXPECT_TRUE(results->empty());
  // Mend: a property that cannot be converted is reported and skipped.
  auto property = APMPBUserAttribute::initWithMessageInfo();
  NANOSetString(property.get(), UserAttributeField::kName, "food");
  clearReports();
  EXPECT_TRUE(audience_->evaluateFiltersForNanoUserProperty(*property, nullptr, std::nullopt));
  EXPECT_TRUE(saw(2, 6039));
}

TEST_F(APMAudienceTest, DatabaseFailuresEndTheCallWithNoAndItsReport) {
  ASSERT_TRUE(update({audience(1, {eventFilter(0, "e")}, {propertyFilter(1, "p", pizPrefix())})}));
  ASSERT_TRUE(logEvent("e"));
  failResultWrites();
  clearReports();
  EXPECT_FALSE(setProperty("p", "pizza"));
  EXPECT_TRUE(saw(1, 6007));
  std::optional<APMAudience::LeafResults> results;
  EXPECT_FALSE(audience_->resultsForBundling(&results));
  EXPECT_FALSE(results);
  EXPECT_TRUE(saw(1, 6022));
  exec("DROP TABLE audience_filter_values");
  EXPECT_FALSE(logEvent("e"));
  EXPECT_TRUE(saw(1, 6001));
  EXPECT_FALSE(audience_->clearEvaluationResultsForSessionScopedFilters());
  EXPECT_TRUE(saw(1, 6041));
  EXPECT_FALSE(update({audience(1, {eventFilter(0, "e")})}));
  EXPECT_TRUE(saw(1, 6015));
}

// --- Timestamp caches ---

TEST_F(APMAudienceTest, TimestampCachesKeepOneTimePerSecondAndTheNewestStoredTime) {
  const auto sequenceEvent = APMEventFilter::initWithAudienceID(1, 3, "e", {}, false, true, true);
  const auto sequenceProperty =
      APMPropertyFilter::initWithAudienceID(1, 4, "p", {}, false, false, true);
  const auto dynamicEvent = APMEventFilter::initWithAudienceID(1, 2, "e", {}, false, true, false);
  const auto plain = APMEventFilter::initWithAudienceID(1, 5, "e", {}, false, false, false);

  // Stored: dynamic filter 2 at 100, sequence filter 3 at 10, 20, 30.
  auto data = APMPBResultData::initWithMessageInfo();
  auto dynamic = APMPBDynamicFilterResultTimestamp::initWithMessageInfo();
  NANOSetInt32(dynamic.get(), DynamicField::kFilterId, 2);
  NANOSetInt64(dynamic.get(), DynamicField::kEvalTimestamp, 100);
  auto sequence = APMPBSequenceFilterResultTimestamp::initWithMessageInfo();
  NANOSetInt32(sequence.get(), SequenceField::kFilterId, 3);
  platform::ValueList times{Value(std::int64_t{10}), Value(std::int64_t{20}),
                            Value(std::int64_t{30})};
  NANOSetArray(sequence.get(), SequenceField::kEvalTimestamps, &times);
  const platform::ValueList d{Value(platform::ObjectPtr(dynamic))};
  const platform::ValueList s{Value(platform::ObjectPtr(sequence))};
  NANOSetArray(data.get(), ResultField::kDynamicFilterTimestamps, &d);
  NANOSetArray(data.get(), ResultField::kSequenceFilterTimestamps, &s);
  const auto result = APMFilterResult::initWithAudienceID(1, *data->protoBuffer(), {});

  APMAudienceTimestampsCache cache;
  EXPECT_TRUE(cache.dynamicTimestampsForAudienceID(1).empty());
  EXPECT_FALSE(cache.sequenceTimestampsForAudienceID(1));
  // Before loading, a dynamic time is not recorded.
  cache.addEvaluationTimestamp(500, *dynamicEvent);
  cache.populateCachedTimestamps(result, 1);
  EXPECT_EQ(
      NANOGetInt64(cache.dynamicTimestampsForAudienceID(1)[0].get(), DynamicField::kEvalTimestamp),
      100);
  clearReports();
  cache.addEvaluationTimestamp(100.0, *dynamicEvent);
  EXPECT_TRUE(saw(5, 6037));
  cache.addEvaluationTimestamp(100.5, *dynamicEvent);
  EXPECT_EQ(
      NANOGetInt64(cache.dynamicTimestampsForAudienceID(1)[0].get(), DynamicField::kEvalTimestamp),
      100);
  // A second load of the pass changes nothing.
  cache.populateCachedTimestamps(nullptr, 1);
  cache.addEvaluationTimestamp(100.2, *sequenceEvent);
  cache.addEvaluationTimestamp(100.9, *sequenceEvent);
  cache.addEvaluationTimestamp(101.0, *sequenceEvent);
  cache.addEvaluationTimestamp(50, *sequenceProperty);
  clearReports();
  cache.addEvaluationTimestamp(40, *sequenceProperty);
  EXPECT_TRUE(saw(5, 42001));
  cache.addEvaluationTimestamp(700, *plain);

  const auto lists = cache.sequenceTimestampsForAudienceID(1);
  ASSERT_TRUE(lists);
  ASSERT_EQ(lists->size(), 2u);
  const auto timesOf = [](const std::shared_ptr<APMPBSequenceFilterResultTimestamp>& m) {
    std::vector<std::int64_t> out;
    for (const auto& v :
         NANOGetArray(m.get(), SequenceField::kEvalTimestamps).value_or(platform::ValueList{}))
      out.push_back(v.asInt());
    return out;
  };
  EXPECT_EQ(NANOGetInt32((*lists)[0].get(), SequenceField::kFilterId), 3);
  EXPECT_EQ(timesOf((*lists)[0]), (std::vector<std::int64_t>{30, 100, 101}));
  EXPECT_EQ(timesOf((*lists)[1]), (std::vector<std::int64_t>{40}));
  // The sequence-and-dynamic filter 3 and the plain filter 5 left no dynamic entry.
  EXPECT_EQ(cache.dynamicTimestampsForAudienceID(1).size(), 1u);

  // An earlier event time is reported and still taken.
  APMSequenceTimestampsCache own(9);
  own.addEventFilterTimestamp(20, 1);
  clearReports();
  own.addEventFilterTimestamp(10, 1);
  EXPECT_TRUE(saw(5, 42000));
  EXPECT_EQ(own.sequenceTimestampsForFilterID(1), (std::vector<double>{20, 10}));
  EXPECT_FALSE(own.sequenceTimestampsForFilterID(2));
  own.addEventFilterTimestamp(30, std::nullopt);
  EXPECT_FALSE(APMSequenceTimestampsCache::initWithAudienceID(std::nullopt));
}

TEST_F(APMAudienceTest, UnchangedResultsCutTheFirstSequenceEntryToItsNewestTime) {
  ASSERT_TRUE(update({audience(1, {eventFilter(0, "e", {}, nullptr, {false, true, false}),
                                   eventFilter(1, "f", {}, nullptr, {false, true, false})})}));
  const auto cache = APMAudienceTimestampsCache::init();
  ASSERT_TRUE(logEvent("e", {}, 10, cache));
  ASSERT_TRUE(logEvent("e", {}, 20, cache));
  ASSERT_TRUE(logEvent("f", {}, 20, cache));
  ASSERT_TRUE(logEvent("f", {}, 30, cache));
  bundle();
  const auto leaves = bundle();  // unchanged since the last bundle
  ASSERT_EQ(leaves.size(), 1u);
  const auto current = NANOGetMessage<APMPBResultData>(leaves[0].get(), LeafField::kCurrentData);
  const auto entries = NANOGetArray(current.get(), ResultField::kSequenceFilterTimestamps,
                                    APMPBSequenceFilterResultTimestamp::classObject());
  ASSERT_TRUE(entries && entries->size() == 2);
  const auto first =
      NANOGetArray((*entries)[0].asObjectOf<APMPBSequenceFilterResultTimestamp>().get(),
                   SequenceField::kEvalTimestamps);
  const auto second =
      NANOGetArray((*entries)[1].asObjectOf<APMPBSequenceFilterResultTimestamp>().get(),
                   SequenceField::kEvalTimestamps);
  EXPECT_EQ(*first, (platform::ValueList{Value(std::int64_t{20})}));
  EXPECT_EQ(*second, (platform::ValueList{Value(std::int64_t{20}), Value(std::int64_t{30})}));
}

}  // namespace
