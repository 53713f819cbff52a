// The table families of the measurement database, checked against the file itself: raw events
// and their metadata, the upload queue, user attributes and conditional user properties, event
// aggregates and the snapshot, audience filters and results, fingerprints and small tables.
#include <sqlite3.h>

#include <algorithm>
#include <functional>
#include <sstream>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/messages/testing/measurement_config_for_testing.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/model/apm_utilities.h"
#include "measurement/storage/apm_file_locations.h"
#include "measurement/storage/apm_persisted_config.h"
#include "measurement/storage/storage_test_support.h"
#include "measurement/storage/testing/raw_connection.h"
#include "measurement/storage/testing/sqlite_fault_vfs.h"
#include "platform/dispatch/test_environment.h"
#include "zevevidi/utilities/gul_gzip.h"

namespace {

using apm_testing::RawConnection;
using platform::Value;
namespace Bundle = apmpb_field::MeasurementBundle;

constexpr const char* kAppID = "1:123:ios:abc";

std::string describe(const platform::ErrorPtr& error) {
  return error ? std::to_string(error->code) + ": " + error->localizedDescription() : "no error";
}

std::string hex(const platform::Bytes& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (const auto byte : bytes) {
    out += digits[byte >> 4];
    out += digits[byte & 15];
  }
  return out;
}

// A bundle whose message is exactly `size` bytes, padded in its device-model field.
std::shared_ptr<APMPBMeasurementBundle> bundleOfSize(std::size_t size, std::int64_t endMillis,
                                                     const std::string& appID = "com.example") {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
  NANOSetString(bundle.get(), Bundle::kAppId, appID);
  NANOSetInt64(bundle.get(), Bundle::kEndTimestampMillis, endMillis);
  std::int64_t pad = static_cast<std::int64_t>(size) - 40;
  for (int attempt = 0; attempt < 8 && pad >= 0; ++attempt) {
    NANOSetString(bundle.get(), Bundle::kDeviceModel, std::string(static_cast<size_t>(pad), 'x'));
    const auto actual = static_cast<std::int64_t>(bundle->protoBuffer()->size());
    if (actual == static_cast<std::int64_t>(size)) return bundle;
    pad += static_cast<std::int64_t>(size) - actual - (attempt > 3 ? 1 : 0);
  }
  return nullptr;
}

class APMDatabaseFamiliesTest : public apm_testing::StorageTest {
 protected:
  APMDatabaseFamiliesTest() {
    fastDisk_.skipSync = true;
    config_ = APMPersistedConfig::initWithSuiteName(APMPersistedConfigName);
    database_ = APMDatabase::initWithDatabaseName(APMDatabaseFileName, config_, nullptr);
  }
  ~APMDatabaseFamiliesTest() override {
    APMRemoteConfig::setCurrent(nullptr);
    env_.runUntilIdle();
  }

  std::string path() const { return APMFilePathForDatabaseName(APMDatabaseFileName); }
  bool reported(std::int64_t code) {
    const auto codes = reportedCodes();
    return std::find(codes.begin(), codes.end(), code) != codes.end();
  }
  // Installs a configuration with these settings as the one in force.
  void useSettings(const std::vector<std::pair<std::string, std::string>>& pairs) {
    auto config = measurementConfigWithSettings(kAppID, std::nullopt, pairs);
    auto remote = APMRemoteConfig::initWithAppID(kAppID, database_, config_, nullptr);
    ASSERT_TRUE(remote && remote->updateMeasurementConfig(config));
    APMRemoteConfig::setCurrent(remote);
  }
  std::shared_ptr<APMEvent> event(const std::string& name, platform::ValueMap parameters = {},
                                  double timestamp = 1'700'000'000.5) {
    return APMEvent::initWithOrigin("app", false, name, timestamp, 0, std::move(parameters));
  }
  std::int64_t fingerprintOf(const APMPBMeasurementBundle& metadata) {
    return static_cast<std::int64_t>(apm_64LSBMD5(*metadata.protoBuffer()));
  }

  // Declared first, so it goes last: every connection is closed by then.
  apm_testing::SqliteFaultVfs fastDisk_;
  platform::TestEnvironment env_{1'700'000'000};
  std::shared_ptr<APMPersistedConfig> config_;
  std::shared_ptr<APMDatabase> database_;
};

// --- Raw events ---

TEST_F(APMDatabaseFamiliesTest, RawEventsRoundTripThroughTheirRowsAndShareOneMetadataRow) {
  ASSERT_TRUE(database_);
  platform::ErrorPtr error;
  auto metadata = APMPBMeasurementBundle::initWithMessageInfo();
  NANOSetString(metadata.get(), Bundle::kAppId, "com.example");
  NANOSetString(metadata.get(), Bundle::kOsVersion, "14.0");
  ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(metadata.get(), &error))
      << describe(error);
  ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(metadata.get(), &error));
  const std::int64_t fingerprint = fingerprintOf(*metadata);

  platform::ValueList items{
      Value(platform::ValueMap{{Value("item_id"), Value("a")}}),
      Value(platform::ValueMap{{Value("item_id"), Value("b")}, {Value("price"), Value(2.5)}})};
  auto purchase = event("purchase", {{Value("items"), Value(items)},
                                     {Value("value"), Value(std::int64_t{7})},
                                     {Value("currency"), Value("EUR")}});
  ASSERT_TRUE(purchase);
  ASSERT_TRUE(database_->insertRawEvent(purchase, fingerprint, true, &error)) << describe(error);
  ASSERT_TRUE(database_->insertRawEvent(event("_e"), fingerprint, false, &error));

  {
    RawConnection raw(path());
    EXPECT_EQ(raw.rows("SELECT count(*), metadata_fingerprint FROM raw_events_metadata"),
              "1|" + std::to_string(fingerprint));
    EXPECT_EQ(raw.firstText("SELECT hex(metadata) FROM raw_events_metadata"),
              hex(*metadata->protoBuffer()));
    EXPECT_EQ(raw.rows("SELECT name, typeof(timestamp), is_realtime FROM raw_events ORDER BY "
                       "rowid"),
              "purchase|real|1\n_e|real|0");
  }
  const auto stored = database_->queryRawEventsMetadataWithFingerprint(fingerprint, &error);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->protoBuffer(), metadata->protoBuffer());

  const auto events = database_->rawEventsWithMetadataFingerprint(fingerprint, &error);
  ASSERT_TRUE(events) << describe(error);
  ASSERT_EQ(events->size(), 2u);
  const auto& first = *events->front();
  EXPECT_EQ(first.metadataFingerprint(), fingerprint);
  EXPECT_EQ(first.rowID(), 1);
  ASSERT_TRUE(first.event());
  EXPECT_EQ(first.event()->name(), "purchase");
  EXPECT_EQ(first.event()->origin(), "app");
  EXPECT_EQ(first.event()->timestamp(), 1'700'000'000.5);
  EXPECT_EQ(first.event()->parameters(), purchase->parameters());
  // The stored message has no name (it lives in its column) and keeps the origin.
  const auto decoded = APMPBEvent::initWithBuffer(*events->front()->rawEvent()->protoBuffer());
  EXPECT_EQ(NANOGetString(decoded.get(), apmpb_field::Event::kName), "purchase");
  RawConnection raw(path());
  const std::string dataHex = raw.firstText("SELECT hex(data) FROM raw_events WHERE rowid = 1");
  platform::Bytes data;
  for (std::size_t i = 0; i + 1 < dataHex.size(); i += 2)
    data.push_back(static_cast<std::uint8_t>(std::stoi(dataHex.substr(i, 2), nullptr, 16)));
  const auto row = APMPBEvent::initWithBuffer(data);
  ASSERT_TRUE(row);
  EXPECT_FALSE(NANOHasField(row.get(), apmpb_field::Event::kName));
  EXPECT_NE(dataHex.find(hex({'_', 'o'})), std::string::npos);

  EXPECT_EQ(database_->nextMetadataFingerprintToProcess(&error), fingerprint);
  EXPECT_EQ(database_->containsRealtimeRawEventsWithError(&error), true);
  EXPECT_EQ(database_->queryLatestRawEventTime(&error), 1'700'000'000.5);

  // A filter ends the read at the first row it refuses.
  const auto filtered = database_->rawEventsWithMetadataFingerprint(
      fingerprint, &error, [](std::uint32_t index, const APMSqliteRecord&) { return index < 1; });
  ASSERT_TRUE(filtered);
  EXPECT_EQ(filtered->size(), 1u);

  ASSERT_TRUE(database_->deleteRawEventsWithMaxRowID(2, &error));
  EXPECT_EQ(database_->isRawEventsTableEmpty(&error), true);
  platform::ErrorPtr none;
  EXPECT_EQ(database_->nextMetadataFingerprintToProcess(&none), std::nullopt);
  EXPECT_FALSE(none);
  ASSERT_TRUE(database_->deleteUnusedRawEventsMetadata(&error));
  EXPECT_EQ(raw.firstText("SELECT count(*) FROM raw_events_metadata"), "0");
}

// The daily counts and the metadata fingerprints an event writes are kept for the next event;
// a change of their rows by any other way is seen.
TEST_F(APMDatabaseFamiliesTest,
       WrittenDailyCountsAndStoredFingerprintsFollowEveryChangeOfTheirRows) {
  ASSERT_TRUE(database_);
  platform::ErrorPtr error;
  const auto counts = [&] {
    platform::ErrorPtr readError;
    const auto read = database_->dailyCounts(&readError);
    EXPECT_FALSE(readError);
    return read ? std::to_string(read->day()) + "/" + std::to_string(read->allEventsCount()) + "/" +
                      std::to_string(read->publicEventsCount()) + "/" +
                      std::to_string(read->realtimeCount())
                : std::string("none");
  };
  const auto write = [&](std::int32_t day, std::int32_t events) {
    const auto written = APMDailyCounts::initWithDay(day, 1, events, 2, 3, 4, 5);
    return database_->updateDailyCounts(written.get(), &error);
  };
  ASSERT_TRUE(write(100, 10));
  EXPECT_EQ(counts(), "100/10/2/4");
  {
    SCOPED_TRACE("the counts written again, then a write rolled back");
    ASSERT_TRUE(write(100, 11));
    // Every counter of the repeated write lands in its own column of the file.
    EXPECT_EQ(RawConnection(path()).rows(
                  "SELECT day, daily_conversions_count, daily_events_count, "
                  "daily_public_events_count, daily_error_events_count, "
                  "daily_real_time_conversion_events_count, daily_real_time_dcu_events_count "
                  "FROM app_metadata"),
              "100|1|11|2|3|4|5");
    EXPECT_FALSE(database_->performTransaction([&] {
      EXPECT_TRUE(write(101, 99));
      EXPECT_EQ(counts(), "101/99/2/4");
      return false;
    }));
    EXPECT_EQ(counts(), "100/11/2/4");
  }
  {
    SCOPED_TRACE("the row changed by another statement");
    ASSERT_TRUE(database_->store()->executeSQL(
        "UPDATE app_metadata SET daily_events_count = 7, day = 102", &error));
    EXPECT_EQ(counts(), "102/7/2/4");
    ASSERT_TRUE(write(102, 8));
    EXPECT_EQ(counts(), "102/8/2/4");
  }
  {
    SCOPED_TRACE("the row gone: the write fails as it always did");
    ASSERT_TRUE(database_->store()->deleteAllRecordsFromTableWithName("app_metadata", &error));
    platform::ErrorPtr writeError;
    const auto written = APMDailyCounts::initWithDay(102, 0, 9, 0, 0, 0, 0);
    EXPECT_FALSE(database_->updateDailyCounts(written.get(), &writeError));
    EXPECT_EQ(describe(writeError), "2: Failed to update record. Item doesn't exist");
    EXPECT_EQ(counts(), "none");
  }

  auto metadata = APMPBMeasurementBundle::initWithMessageInfo();
  NANOSetString(metadata.get(), Bundle::kAppId, "com.example");
  const auto bytes = *metadata->protoBuffer();
  const std::int64_t fingerprint = fingerprintOf(*metadata);
  const auto storedRows = [&] {
    RawConnection raw(path());
    return raw.rows("SELECT count(*) FROM raw_events_metadata WHERE metadata_fingerprint = " +
                    std::to_string(fingerprint));
  };
  ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(bytes, fingerprint, &error));
  ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(bytes, fingerprint, &error));
  EXPECT_EQ(storedRows(), "1");
  {
    SCOPED_TRACE("the row deleted, then asked again");
    ASSERT_TRUE(database_->deleteRawEventMetadataWithMetadataFingerprint(fingerprint, &error));
    ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(bytes, fingerprint, &error));
    EXPECT_EQ(storedRows(), "1");
  }
  {
    SCOPED_TRACE("written in a transaction that is rolled back");
    ASSERT_TRUE(database_->deleteRawEventMetadataWithMetadataFingerprint(fingerprint, &error));
    EXPECT_FALSE(database_->performTransaction([&] {
      EXPECT_TRUE(database_->insertIfNotExistsRawEventMetadata(bytes, fingerprint, &error));
      return false;
    }));
    EXPECT_EQ(storedRows(), "0");
    ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(bytes, fingerprint, &error));
    EXPECT_EQ(storedRows(), "1");
  }
  platform::ErrorPtr emptyError;
  EXPECT_FALSE(database_->insertIfNotExistsRawEventMetadata(platform::Bytes{}, 1, &emptyError));
  EXPECT_TRUE(emptyError);
}

TEST_F(APMDatabaseFamiliesTest, RowsThatNoLongerConvertAreSkippedOrFailTheirRead) {
  ASSERT_TRUE(database_);
  platform::ErrorPtr error;
  ASSERT_TRUE(database_->insertRawEvent(event("_e"), 5, false, &error));
  {
    // An event message without its "_o" parameter, and bytes that are no message at all.
    auto proto = APMPBEvent::initWithMessageInfo();
    const auto bytes = hex(*proto->protoBuffer());
    RawConnection raw(path());
    ASSERT_EQ(raw.exec("INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data) "
                       "VALUES ('_e', 1, 9, x'" +
                       bytes + "0A0012'), ('_e', 1, 9, x'FFFFFFFF')"),
              SQLITE_OK);
  }
  const auto all = database_->allRawEventsWithError(&error);
  ASSERT_TRUE(all);
  ASSERT_EQ(all->size(), 1u);
  EXPECT_EQ(all->front()->metadataFingerprint(), 5);

  platform::ErrorPtr readError;
  EXPECT_EQ(database_->rawEventsWithMetadataFingerprint(9, &readError), std::nullopt);
  ASSERT_TRUE(readError);

  RawConnection raw(path());
  const APMSqliteRecord noOrigin{{Value("rowid"), Value(std::int64_t{2})},
                                 {Value("name"), Value("_e")},
                                 {Value("timestamp"), Value(1.0)},
                                 {Value("metadata_fingerprint"), Value(std::int64_t{9})},
                                 {Value("data"), Value(platform::Bytes{0x12, 0x00})}};
  platform::ErrorPtr rowError;
  EXPECT_FALSE(database_->rawEventDataFromDictionary(&noOrigin, &rowError));
  EXPECT_EQ(describe(rowError),
            "2: Cannot create an event from database. Missing origin parameter");
}

// A stored event's parameters as each kind of stored parameter reads back: the named scalars the
// event road writes, and everything else a file may hold.
TEST_F(APMDatabaseFamiliesTest, StoredParametersReadBackByTheirFirstUsableValue) {
  ASSERT_TRUE(database_);
  namespace P = apmpb_field::EventParam;
  struct Field {
    Field(std::optional<std::string> name = {}, std::optional<std::string> text = {},
          std::optional<std::int64_t> integer = {}, std::optional<double> real = {},
          bool items = false)
        : name(std::move(name)), text(std::move(text)), integer(integer), real(real), items(items) {
    }
    std::optional<std::string> name;
    std::optional<std::string> text;
    std::optional<std::int64_t> integer;
    std::optional<double> real;
    bool items;  // one item holding "id" = "x"
  };
  auto param = [](const Field& f) {
    auto p = APMPBEventParam::initWithMessageInfo();
    if (f.name) p->messageInfo()->slot(P::kName) = *f.name;  // the bytes as they are
    if (f.text) p->messageInfo()->slot(P::kStringValue) = *f.text;
    if (f.integer) NANOSetInt64(p.get(), P::kIntValue, *f.integer);
    if (f.real) NANOSetDouble(p.get(), P::kDoubleValue, *f.real);
    if (f.items) {
      auto inner = APMPBEventParam::initWithMessageInfo();
      NANOSetString(inner.get(), P::kName, "id");
      NANOSetString(inner.get(), P::kStringValue, "x");
      const platform::ValueList innerList{Value(platform::ObjectPtr(inner))};
      auto item = APMPBEventParam::initWithMessageInfo();
      NANOSetArray(item.get(), P::kParamValue, &innerList);
      const platform::ValueList itemList{Value(platform::ObjectPtr(item))};
      NANOSetArray(p.get(), P::kParamValue, &itemList);
    }
    return Value(platform::ObjectPtr(p));
  };
  const Field origin{"_o", "app"};
  const std::string bad = "\xFF\xFE";
  struct Case {
    const char* what;
    std::vector<Field> params;
    std::string expected;  // the parameters, or the error
  };
  const Case cases[] = {
      {"text", {origin, {"a", "x"}}, "{_o: app, a: x}"},
      {"text before a number", {origin, {"a", "x", 5, 2.5}}, "{_o: app, a: x}"},
      {"empty text", {origin, {"a", ""}}, "{_o: app, a: }"},
      {"text that is not UTF-8, then a whole number", {origin, {"a", bad, 5}}, "{_o: app, a: 5}"},
      {"a real", {origin, {"a", std::nullopt, std::nullopt, 2.5}}, "{_o: app, a: 2.5}"},
      {"a whole number before a real", {origin, {"a", std::nullopt, -5, 2.5}}, "{_o: app, a: -5}"},
      {"the later of a repeated name",
       {origin, {"a", "x"}, {"a", std::nullopt, 2}},
       "{_o: app, a: 2}"},
      {"names out of order", {{"b", "y"}, origin, {"a", "x"}}, "{_o: app, a: x, b: y}"},
      {"items",
       {origin, {"items", std::nullopt, std::nullopt, std::nullopt, true}},
       "{_o: app, items: [{id: x}]}"},
      {"no value", {origin, {"a"}}, "error 2: Failed to parse event params data"},
      {"a name that is not UTF-8",
       {origin, {bad, "x"}},
       "error 2: Failed to parse event params data"},
      {"no name", {origin, {std::nullopt, "x"}}, "error 2: Failed to parse event params data"},
      {"an origin that is not text",
       {{"_o", std::nullopt, 1}},
       "error 2: Cannot create an event from database. Origin parameter is not a string"},
      {"an origin that is not UTF-8",
       {{"_o", bad}},
       "error 2: Cannot create an event from database. Origin parameter is not a string"},
  };
  for (const auto& c : cases) {
    auto message = APMPBEvent::initWithMessageInfo();
    platform::ValueList params;
    for (const auto& f : c.params)
      params.push_back(param(f));
    NANOSetArray(message.get(), apmpb_field::Event::kParams, &params);
    const APMSqliteRecord row{{Value("rowid"), Value(std::int64_t{3})},
                              {Value("name"), Value("add_to_cart")},
                              {Value("timestamp"), Value(2.0)},
                              {Value("metadata_fingerprint"), Value(std::int64_t{9})},
                              {Value("data"), Value(*message->protoBuffer())}};
    platform::ErrorPtr error;
    const auto read = database_->rawEventDataFromDictionary(&row, &error);
    std::string got;
    if (read) {
      got = "{";
      for (const auto& [name, value] : read->event()->parameters()) {
        if (got.size() > 1) got += ", ";
        got += name.asString() + ": ";
        if (const auto* items = value.ifList()) {
          got += "[";
          for (const auto& item : *items) {
            for (const auto& [k, v] : item.asMap())
              got += "{" + k.asString() + ": " + v.asString() + "}";
          }
          got += "]";
        } else if (value.isString()) {
          got += value.asString();
        } else if (value.isInt()) {
          got += std::to_string(value.asInt());
        } else {
          std::ostringstream real;
          real << value.asDouble();
          got += real.str();
        }
      }
      got += "}";
    } else {
      got = "error " + describe(error);
    }
    EXPECT_EQ(got, c.expected) << c.what;
  }
}

TEST_F(APMDatabaseFamiliesTest, TheTrimKeepsTheNewestAndTheStalePurgeLooksBothWays) {
  ASSERT_TRUE(database_);
  useSettings({{"measurement.store.max_stored_events_per_app", "5"}});
  platform::ErrorPtr error;
  ASSERT_TRUE(database_->performTransaction([&] {
    for (int i = 0; i < 10; ++i) {
      if (!database_->insertRawEvent(event("_e", {}, 1'700'000'000 + i), 1, false, &error)) {
        return false;
      }
    }
    return true;
  }));
  EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(&error), 6);
  RawConnection raw(path());
  EXPECT_EQ(raw.rows("SELECT group_concat(rowid) FROM raw_events"), "7,8,9,10");
  // Within the limit nothing goes, also when gaps make the row IDs span more than the limit.
  EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(&error), 0);
  ASSERT_TRUE(database_->insertRawEvent(event("_e", {}, 1'700'000'010), 1, false, &error));
  ASSERT_EQ(raw.exec("DELETE FROM raw_events WHERE rowid IN (8, 9)"), 0);
  EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(&error), 0);
  EXPECT_EQ(raw.rows("SELECT group_concat(rowid) FROM raw_events"), "7,10,11");
  for (int i = 0; i < 2; ++i)
    ASSERT_TRUE(database_->insertRawEvent(event("_e", {}, 1'700'000'011 + i), 1, false, &error));
  EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(&error), 1);
  EXPECT_EQ(raw.rows("SELECT group_concat(rowid) FROM raw_events"), "10,11,12,13");
  EXPECT_EQ(database_->allRawEventsWithError(&error)->size(), 4u);

  // One event far in the future and one far in the past go; the one of now and its metadata stay.
  auto metadata = APMPBMeasurementBundle::initWithMessageInfo();
  NANOSetString(metadata.get(), Bundle::kAppId, "gone");
  ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(metadata.get(), &error));
  ASSERT_TRUE(database_->deleteRawEventsWithMaxRowID(13, &error));
  ASSERT_TRUE(database_->insertRawEvent(event("_e", {}, env_.now() + 100 * 86400),
                                        fingerprintOf(*metadata), false, &error));
  ASSERT_TRUE(
      database_->insertRawEvent(event("_e", {}, env_.now() - 100 * 86400), 2, false, &error));
  ASSERT_TRUE(database_->insertRawEvent(event("_e", {}, env_.now()), 3, false, &error));
  ASSERT_TRUE(database_->deleteStaleRawEventsDataOlderThanMaxAge(86400, &error));
  EXPECT_EQ(raw.rows("SELECT metadata_fingerprint FROM raw_events"), "3");
  EXPECT_EQ(raw.firstText("SELECT count(*) FROM raw_events_metadata"), "0");
  platform::ErrorPtr negative;
  EXPECT_FALSE(database_->deleteStaleRawEventsDataOlderThanMaxAge(-1, &negative));
  EXPECT_EQ(describe(negative), "1: Cannot delete stale raw events given negative time period");
}

// --- The upload queue ---

TEST_F(APMDatabaseFamiliesTest, QueuedBundlesAreReadOldestFirstWithinCountAndDecodedSize) {
  ASSERT_TRUE(database_);
  const std::int64_t now = static_cast<std::int64_t>(env_.now() * 1000);
  struct Case {
    std::vector<std::size_t> sizes;
    std::int64_t countLimit;
    std::int64_t sizeLimit;
    std::vector<std::size_t> taken;  // positions
  } cases[] = {
      {{40000, 30000, 10000}, 10, 65536, {0}},
      {{100000}, 10, 65536, {0}},
      {{100, 100, 100, 100, 100}, 2, 65536, {0, 1}},
      {{30000, 30000, 5000}, 10, 65536, {0, 1, 2}},
  };
  for (const auto& c : cases) {
    platform::ErrorPtr error;
    ASSERT_TRUE(database_->reset(&error));
    std::vector<std::int64_t> rowIDs;
    for (const auto size : c.sizes) {
      auto bundle = bundleOfSize(size, now);
      ASSERT_TRUE(bundle);
      ASSERT_TRUE(database_->insertBundle(bundle.get(), false, &error)) << describe(error);
    }
    const auto read = database_->queryBundlesWithCountLimit(c.countLimit, c.sizeLimit, &error);
    ASSERT_TRUE(read);
    std::vector<std::size_t> taken;
    for (const auto& queued : *read) {
      taken.push_back(static_cast<std::size_t>(queued.rowID - 1));
      EXPECT_EQ(queued.bundle->protoBuffer()->size(), c.sizes[taken.back()]);
    }
    EXPECT_EQ(taken, c.taken) << c.sizes.size() << " bundles, limit " << c.sizeLimit;
  }
}

TEST_F(APMDatabaseFamiliesTest, ABundleIsStoredCompressedAndRefusedWithoutItsKeyFields) {
  ASSERT_TRUE(database_);
  const std::int64_t now = static_cast<std::int64_t>(env_.now() * 1000);
  auto bundle = bundleOfSize(500, now + 1500);
  NANOSetInt32(bundle.get(), Bundle::kRetryCount, 3);
  platform::ErrorPtr error;
  ASSERT_TRUE(database_->insertBundle(bundle.get(), true, &error));
  RawConnection raw(path());
  EXPECT_EQ(raw.rows("SELECT rowid, bundle_end_timestamp, is_realtime, retry_count, "
                     "substr(hex(data), 1, 4) FROM queue"),
            "1|1700000001.5|1|3|1F8B");
  EXPECT_TRUE(reported(12018));
  EXPECT_EQ(database_->containsRealtimeBundlesWithError(&error), true);
  EXPECT_EQ(database_->queryLatestBundleTime(&error), 1'700'000'001.5);

  struct Refused {
    std::string appID;
    std::int64_t endMillis;
    const char* message;
  } refused[] = {
      {"", now, "1: Failed to insert bundle without App ID"},
      {"com.example", 0, "1: Failed to insert bundle without valid timestamp"},
      {"com.example", -5, "1: Failed to insert bundle without valid timestamp"},
  };
  for (const auto& r : refused) {
    auto bad = APMPBMeasurementBundle::initWithMessageInfo();
    if (!r.appID.empty()) NANOSetString(bad.get(), Bundle::kAppId, r.appID);
    NANOSetInt64(bad.get(), Bundle::kEndTimestampMillis, r.endMillis);
    NANOSetString(bad.get(), Bundle::kOsVersion, "14.0");
    platform::ErrorPtr badError;
    EXPECT_FALSE(database_->insertBundle(bad.get(), false, &badError));
    EXPECT_EQ(describe(badError), r.message);
  }
  platform::ErrorPtr emptyError;
  EXPECT_FALSE(database_->insertBundle(APMPBMeasurementBundle::initWithMessageInfo().get(), false,
                                       &emptyError));
  EXPECT_EQ(describe(emptyError), "1: Failed to insert nil bundle");
  EXPECT_EQ(raw.firstText("SELECT count(*) FROM queue"), "1");
}

TEST_F(APMDatabaseFamiliesTest, RetryCountersRiseByOneAndStopAtTheInt32Maximum) {
  ASSERT_TRUE(database_);
  const std::int64_t now = static_cast<std::int64_t>(env_.now() * 1000);
  platform::ErrorPtr error;
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(database_->insertBundle(bundleOfSize(100, now).get(), false, &error));
  {
    RawConnection raw(path());
    ASSERT_EQ(raw.exec("UPDATE queue SET retry_count = 2147483647 WHERE rowid = 2"), SQLITE_OK);
  }
  ASSERT_TRUE(database_->incrementRetryCounterForBundlesWithIDs({1, 2, 3}, &error))
      << describe(error);
  ASSERT_TRUE(database_->incrementRetryCounterForBundlesWithIDs({1}, &error));
  RawConnection raw(path());
  EXPECT_EQ(raw.rows("SELECT group_concat(retry_count) FROM queue"), "2,2147483647,1");
  EXPECT_TRUE(reported(12054));
  const auto read = database_->queryBundlesWithRowIDs({1, 3}, &error);
  ASSERT_TRUE(read);
  ASSERT_EQ(read->size(), 2u);
  EXPECT_EQ(NANOGetInt32(read->at(0).bundle.get(), Bundle::kRetryCount), 2);
  EXPECT_EQ(NANOGetInt32(read->at(1).bundle.get(), Bundle::kRetryCount), 1);
  EXPECT_EQ(APMStatementConditionWithRowIDs({7}, &error), "rowid IN (?)");
  EXPECT_EQ(APMStatementConditionWithRowIDs({7, 8, 9}, &error), "rowid IN (?,?,?)");
  platform::ErrorPtr emptyError;
  EXPECT_FALSE(database_->incrementRetryCounterForBundlesWithIDs({}, &emptyError));
  EXPECT_EQ(describe(emptyError), "1: Failed to increment retry counter");
  ASSERT_TRUE(database_->deleteBundlesWithRowIDs({1, 3}, &error));
  EXPECT_EQ(raw.rows("SELECT rowid FROM queue"), "2");
}

TEST_F(APMDatabaseFamiliesTest, AnOldBundleIsStoredWithAWarningAndGoesAtTheNextDuePurge) {
  ASSERT_TRUE(database_);
  platform::ErrorPtr error;
  const double fortyDays = 40 * 86400;
  const auto old = bundleOfSize(200, static_cast<std::int64_t>((env_.now() - fortyDays) * 1000));
  ASSERT_TRUE(database_->insertBundle(old.get(), false, &error));  // runs the first purge
  EXPECT_TRUE(reported(12016));
  ASSERT_TRUE(database_->insertBundle(bundleOfSize(200, env_.now() * 1000).get(), false, &error));
  EXPECT_EQ(database_->maybeDeleteStaleData(&error), false);  // within the interval
  RawConnection raw(path());
  EXPECT_EQ(raw.firstText("SELECT count(*) FROM queue"), "2");
  env_.advance(86401);
  EXPECT_EQ(database_->maybeDeleteStaleData(&error), true);
  EXPECT_EQ(raw.rows("SELECT rowid FROM queue"), "2");
  EXPECT_EQ(config_->lastDeleteStaleBundlesTimestamp(), env_.now());
  EXPECT_EQ(database_->maybeDeleteStaleData(&error), false);
}

TEST_F(APMDatabaseFamiliesTest, AQueuedRowThatInflatesPast64MiBIsSkippedLikeADamagedOne) {
  ASSERT_TRUE(database_);
  platform::ErrorPtr error;
  const std::int64_t now = static_cast<std::int64_t>(env_.now() * 1000);
  ASSERT_TRUE(database_->insertBundle(bundleOfSize(100, now).get(), false, &error));
  const platform::Bytes huge(APMDatabaseQueuedBundleMaxInflatedSize + 1, 0);
  const auto bomb = GULGzip::gul_dataByGzippingData(huge, &error);
  ASSERT_TRUE(bomb);
  ASSERT_LT(bomb->size(), 1u << 20);
  {
    RawConnection raw(path());
    ASSERT_EQ(raw.exec("INSERT INTO queue (data, bundle_end_timestamp, retry_count) VALUES (x'" +
                       hex(*bomb) + "', 1700000000, 0), (x'1F8B0800', 1700000000, 0)"),
              SQLITE_OK);
  }
  ASSERT_TRUE(database_->insertBundle(bundleOfSize(120, now).get(), false, &error));
  const auto read = database_->queryBundlesWithCountLimit(10, 1 << 20, &error);
  ASSERT_TRUE(read);
  std::vector<std::int64_t> ids;
  for (const auto& queued : *read)
    ids.push_back(queued.rowID);
  EXPECT_EQ(ids, (std::vector<std::int64_t>{1, 4}));
  const APMSqliteRecord row{{Value("rowid"), Value(std::int64_t{2})},
                            {Value("data"), Value(*bomb)}};
  platform::ErrorPtr rowError;
  EXPECT_FALSE(APMBundleRowIDSinglePair(row, &rowError));
  ASSERT_TRUE(rowError);
  EXPECT_EQ(rowError->code, 2);
}

// --- User attributes and conditional user properties ---

TEST_F(APMDatabaseFamiliesTest, UserAttributesKeepTheirValueKindsAndTheTableLimit) {
  ASSERT_TRUE(database_);
  platform::ErrorPtr error;
  const APMUserAttribute text("app", "color", *APMValue::initWithString("blue"), 10);
  const APMUserAttribute integer("app", "level", APMValue(std::int64_t{0}), 11);
  const APMUserAttribute real("auto", "_ltv_EUR", APMValue(2.5), 12);
  const APMUserAttribute newer("auto", "_ltv_USD", APMValue(1.0), 13);
  for (const auto* attribute : {&text, &integer, &real, &newer})
    ASSERT_TRUE(database_->updateUserAttribute(attribute, &error)) << describe(error);
  RawConnection raw(path());
  EXPECT_EQ(raw.rows("SELECT name, typeof(value), origin FROM user_attributes ORDER BY rowid"),
            "color|text|app\nlevel|integer|app\n_ltv_EUR|real|auto\n_ltv_USD|real|auto");
  platform::ErrorPtr emptyError;
  const APMUserAttribute empty("app", "empty", *APMValue::initWithString(""), 1);
  EXPECT_FALSE(database_->updateUserAttribute(&empty, &emptyError));
  EXPECT_EQ(describe(emptyError), "1: Received empty string value for user property");

  const auto read = database_->userAttributeWithName("level", &error);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->value(), APMValue(std::int64_t{0}));
  EXPECT_EQ(read->origin(), "app");
  EXPECT_EQ(database_->publicUserAttributeCount(&error), 2);
  EXPECT_EQ(database_->userAttributeCountForOrigin("auto", &error), 2);
  EXPECT_EQ(database_->containsUserAttributeWithName("color", &error), true);
  const struct {
    std::vector<std::string> names;
    std::optional<bool> expected;
  } anyCases[] = {
      {{"color"}, true},           {{"_sid", "_sno"}, false}, {{"_sid", "level", "_se"}, true},
      {{"_se", "_ltv_USD"}, true}, {{"colo"}, false},         {{}, std::nullopt},
  };
  for (const auto& c : anyCases) {
    platform::ErrorPtr anyError;
    EXPECT_EQ(database_->containsAnyUserAttributeWithNames(c.names, &anyError), c.expected)
        << c.names.size() << " names";
    EXPECT_EQ(static_cast<bool>(anyError), !c.expected.has_value());
  }
  const auto ltv = database_->allLifetimeValueUserAttributes(&error);
  ASSERT_TRUE(ltv);
  ASSERT_EQ(ltv->size(), 2u);
  EXPECT_EQ(ltv->front()->name(), "_ltv_USD");
  const auto visible = database_->userAttributesIncludingInternal(false, &error);
  ASSERT_TRUE(visible);
  EXPECT_EQ(visible->size(), 2u);
  EXPECT_EQ(database_->userAttributesIncludingInternal(true, &error)->size(), 4u);

  ASSERT_TRUE(database_->performTransaction([&] {
    for (int i = 0; i < 996; ++i) {
      const APMUserAttribute filler("app", "p" + std::to_string(i), APMValue(std::int64_t{i}), 1);
      if (!database_->updateUserAttribute(&filler, &error)) return false;
    }
    return true;
  }));
  const APMUserAttribute changed("app", "color", *APMValue::initWithString("red"), 20);
  EXPECT_TRUE(database_->updateUserAttribute(&changed, &error));
  platform::ErrorPtr fullError;
  const APMUserAttribute extra("app", "one_more", APMValue(std::int64_t{1}), 20);
  EXPECT_FALSE(database_->updateUserAttribute(&extra, &fullError));
  EXPECT_EQ(describe(fullError), "2: Failed to insert data type. Table is full");
  EXPECT_EQ(raw.rows("SELECT value FROM user_attributes WHERE name = 'color'"), "red");
}

TEST_F(APMDatabaseFamiliesTest, ConditionalPropertiesRoundTripAndSelectByTimeAndLiteralPrefix) {
  ASSERT_TRUE(database_);
  platform::ErrorPtr error;
  const double now = env_.now();
  const auto store = [&](const std::string& name, const std::string& origin, bool active,
                         double created, double timeout, const std::string& trigger) {
    APMConditionalUserProperty property;
    property.setName(name);
    property.setOrigin(origin);
    property.setValue(APMValue(std::int64_t{1}));
    property.setActive(active);
    property.setCreationTimestamp(created);
    property.setTriggeredTimestamp(created);
    property.setTriggerTimeout(timeout);
    property.setTimeToLive(timeout);
    property.setTriggerEventName(trigger);
    return database_->updateConditionalUserProperty(&property, &error);
  };
  EXPECT_EQ(database_->containsConditionalUserProperties(&error), false);
  ASSERT_TRUE(store("user_a", "app", false, now - 10, 5, ""));
  EXPECT_EQ(database_->containsConditionalUserProperties(&error), true);
  ASSERT_TRUE(store("USER_b", "App", false, now - 10, 20, "level_up"));
  ASSERT_TRUE(store("userX1", "app", true, now - 10, 5, ""));
  ASSERT_TRUE(store("other", "a%", true, now - 1, 5, ""));

  const auto names = [](const std::optional<APMDatabase::ConditionalUserProperties>& found) {
    std::vector<std::string> out;
    for (const auto& property : found.value_or(APMDatabase::ConditionalUserProperties{}))
      out.push_back(property->name());
    std::sort(out.begin(), out.end());
    return out;
  };
  using Names = std::vector<std::string>;
  EXPECT_EQ(names(database_->timedOutConditionalUserPropertiesWithError(&error)), Names{"user_a"});
  EXPECT_EQ(names(database_->expiredConditionalUserPropertiesWithError(&error)), Names{"userX1"});
  EXPECT_EQ(names(database_->triggeredConditionalUserPropertiesWithEventName("level_up", &error)),
            Names{"USER_b"});
  struct Case {
    const char* prefix;
    const char* origin;
    Names expected;
  } cases[] = {
      {"user_", "", {"USER_b", "user_a"}},
      {"user", "", {"USER_b", "userX1", "user_a"}},
      {"user_", "APP", {"USER_b", "user_a"}},
      {"", "a%", {"other"}},
      {"%", "", {}},
      {"", "", {"USER_b", "other", "userX1", "user_a"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(names(database_->conditionalUserPropertiesWithPrefix(c.prefix, c.origin, &error)),
              c.expected)
        << "prefix " << c.prefix << ", origin " << c.origin;
  }

  // The events and the trigger name come back; an absent trigger name is NULL.
  APMConditionalUserProperty full;
  full.setName("full");
  full.setOrigin("app");
  full.setValue(*APMValue::initWithString("v"));
  full.setTriggeredEvent(event("_e", {{Value("k"), Value("v")}}));
  full.setExpiredEvent(event("_s"));
  ASSERT_TRUE(database_->updateConditionalUserProperty(&full, &error));
  RawConnection raw(path());
  EXPECT_EQ(raw.rows("SELECT trigger_event_name IS NULL, timed_out_event IS NULL, typeof("
                     "triggered_event) FROM conditional_properties WHERE name = 'full'"),
            "1|1|blob");
  const auto read = database_->conditionalUserPropertyWithName("full", &error);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->value(), APMValue::initWithString("v"));
  EXPECT_TRUE(read->triggerEventName().empty());
  ASSERT_TRUE(read->triggeredEvent());
  EXPECT_EQ(read->triggeredEvent()->name(), "_e");
  EXPECT_EQ(read->triggeredEvent()->parameters(), full.triggeredEvent()->parameters());
  EXPECT_FALSE(read->timedOutEvent());
  ASSERT_TRUE(read->expiredEvent());
  ASSERT_TRUE(database_->deleteConditionalUserPropertyWithName("full", &error));
  EXPECT_FALSE(database_->conditionalUserPropertyWithName("full", &error));
  EXPECT_EQ(database_->containsConditionalUserProperties(&error), true);
  for (const char* name : {"user_a", "USER_b", "userX1", "other"})
    ASSERT_TRUE(database_->deleteConditionalUserPropertyWithName(name, &error)) << name;
  EXPECT_EQ(database_->containsConditionalUserProperties(&error), false);
}

// The "none stored" answers of the look-ups run for every event are kept between events; each
// way rows can come back must end them.
TEST_F(APMDatabaseFamiliesTest, ANoneStoredAnswerHoldsOnlyWhileTheRowsStayAsTheyWere) {
  ASSERT_TRUE(database_);
  platform::ErrorPtr error;
  const std::vector<std::string> session{"_sid", "_se"};
  const auto anySession = [&] {
    return database_->containsAnyUserAttributeWithNames(session, &error);
  };
  const auto setAttribute = [&](const std::string& name) {
    const APMUserAttribute attribute("auto", name, APMValue(std::int64_t{1}), 10);
    return database_->updateUserAttribute(&attribute, &error);
  };
  const auto setProperty = [&](const std::string& name) {
    APMConditionalUserProperty property;
    property.setName(name);
    property.setOrigin("app");
    property.setValue(APMValue(std::int64_t{1}));
    return database_->updateConditionalUserProperty(&property, &error);
  };
  const auto anyProperty = [&] { return database_->containsConditionalUserProperties(&error); };
  const auto named = [&](const std::string& name) {
    return database_->userAttributeWithName(name, &error) != nullptr;
  };

  EXPECT_EQ(anySession(), false);
  EXPECT_EQ(anyProperty(), false);
  EXPECT_FALSE(named("_se"));
  {
    SCOPED_TRACE("rows stored");
    ASSERT_TRUE(setAttribute("_se"));
    ASSERT_TRUE(setProperty("p"));
    EXPECT_EQ(anySession(), true);
    EXPECT_EQ(anyProperty(), true);
    EXPECT_TRUE(named("_se"));
  }
  {
    SCOPED_TRACE("rows deleted in a transaction that is rolled back");
    EXPECT_FALSE(database_->performTransaction([&] {
      EXPECT_TRUE(database_->deleteUserAttributeWithName("_se", &error));
      EXPECT_TRUE(database_->deleteConditionalUserPropertyWithName("p", &error));
      EXPECT_EQ(anySession(), false);
      EXPECT_EQ(anyProperty(), false);
      EXPECT_FALSE(named("_se"));
      return false;
    }));
    EXPECT_EQ(anySession(), true);
    EXPECT_EQ(anyProperty(), true);
    EXPECT_TRUE(named("_se"));
  }
  {
    SCOPED_TRACE("rows deleted, then another name stored");
    ASSERT_TRUE(database_->deleteUserAttributeWithName("_se", &error));
    EXPECT_EQ(anySession(), false);
    EXPECT_FALSE(named("_se"));
    ASSERT_TRUE(setAttribute("_other"));
    EXPECT_EQ(anySession(), false);
    EXPECT_FALSE(named("_se"));
    EXPECT_TRUE(named("_other"));
    EXPECT_EQ(database_->containsAnyUserAttributeWithNames({"_other"}, &error), true);
    ASSERT_TRUE(setAttribute("_sid"));
    EXPECT_EQ(anySession(), true);
  }
  {
    SCOPED_TRACE("a reset empties, rows stored after it are seen");
    ASSERT_TRUE(database_->reset(&error));
    EXPECT_EQ(anySession(), false);
    EXPECT_EQ(anyProperty(), false);
    EXPECT_FALSE(named("_sid"));
    ASSERT_TRUE(setAttribute("_sid"));
    ASSERT_TRUE(setProperty("q"));
    EXPECT_TRUE(named("_sid"));
    EXPECT_EQ(anySession(), true);
    EXPECT_EQ(anyProperty(), true);
  }
}

TEST_F(APMDatabaseFamiliesTest, KnownAggregatesAndAbsentODMValuesFollowEveryChangeOfTheirRows) {
  ASSERT_TRUE(database_);
  platform::ErrorPtr error;
  const auto aggregated = [&](const std::string& name) {
    platform::ErrorPtr readError;
    const bool found = database_->containsEventAggregatesWithName(name, &readError);
    EXPECT_FALSE(readError) << name;
    return found;
  };
  const auto storeAggregates = [&](const std::string& name) {
    const auto aggregates = APMEventAggregates::initWithName(name, 1, 1, 0, 1.5);
    return aggregates && database_->updateEventAggregates(aggregates.get(), &error);
  };
  const auto odm = [&] {
    platform::ErrorPtr readError;
    const auto row = database_->ODMValueWithName(APMDatabaseODM1Value, &readError);
    EXPECT_FALSE(readError);
    return row.has_value();
  };

  EXPECT_FALSE(aggregated("level_up"));
  EXPECT_FALSE(odm());
  ASSERT_TRUE(storeAggregates("level_up"));
  ASSERT_TRUE(database_->updateODMValue("v", APMDatabaseODM1Value, 5, &error));
  EXPECT_TRUE(aggregated("level_up"));
  EXPECT_TRUE(aggregated("level_up"));
  EXPECT_FALSE(aggregated("other"));
  EXPECT_TRUE(odm());
  {
    SCOPED_TRACE("all aggregates deleted, the value deleted");
    ASSERT_TRUE(database_->deleteAllEventAggregates(&error));
    ASSERT_TRUE(database_->deleteODMValueWithName(APMDatabaseODM1Value, &error));
    EXPECT_FALSE(aggregated("level_up"));
    EXPECT_FALSE(odm());
  }
  {
    SCOPED_TRACE("stored in a transaction that is rolled back");
    EXPECT_FALSE(database_->performTransaction([&] {
      EXPECT_TRUE(storeAggregates("level_up"));
      EXPECT_TRUE(database_->updateODMValue("v", APMDatabaseODM1Value, 5, &error));
      EXPECT_TRUE(aggregated("level_up"));
      EXPECT_TRUE(odm());
      return false;
    }));
    EXPECT_FALSE(aggregated("level_up"));
    EXPECT_FALSE(odm());
  }
  {
    SCOPED_TRACE("a row that no longer reads is an error again, not a remembered answer");
    ASSERT_TRUE(storeAggregates("level_up"));
    EXPECT_TRUE(aggregated("level_up"));
    ASSERT_TRUE(database_->store()->executeSQL(
        "UPDATE events SET lifetime_count = 'x' WHERE name = 'level_up'", &error));
    platform::ErrorPtr readError;
    EXPECT_FALSE(database_->containsEventAggregatesWithName("level_up", &readError));
    EXPECT_TRUE(readError);
  }
}

TEST_F(APMDatabaseFamiliesTest, UserAttributesReadAgainShowEveryChangeOfTheirRows) {
  ASSERT_TRUE(database_);
  platform::ErrorPtr error;
  const auto names = [&](bool internal) {
    platform::ErrorPtr readError;
    const auto all = database_->userAttributesIncludingInternal(internal, &readError);
    EXPECT_FALSE(readError);
    std::string out;
    for (const auto& attribute : all.value_or(std::vector<std::shared_ptr<APMUserAttribute>>{}))
      out += attribute->name() + "=" + attribute->value().description() + ";";
    return out;
  };
  const auto set = [&](const std::string& name, std::int64_t value) {
    const APMUserAttribute attribute("app", name, APMValue(value), 10);
    return database_->updateUserAttribute(&attribute, &error);
  };
  EXPECT_EQ(names(true), "");
  ASSERT_TRUE(set("_fot", 1) && set("color", 2));
  EXPECT_EQ(names(true), "_fot=1;color=2;");
  EXPECT_EQ(names(false), "color=2;");
  {
    auto all = database_->userAttributesIncludingInternal(true, &error);
    ASSERT_TRUE(all);
    all->clear();  // the caller's copy
  }
  EXPECT_EQ(names(true), "_fot=1;color=2;");
  ASSERT_TRUE(set("color", 3));
  EXPECT_EQ(names(true), "_fot=1;color=3;");
  EXPECT_FALSE(database_->performTransaction([&] {
    EXPECT_TRUE(database_->deleteUserAttributeWithName("_fot", &error));
    EXPECT_EQ(names(true), "color=3;");
    return false;
  }));
  EXPECT_EQ(names(true), "_fot=1;color=3;");
  ASSERT_TRUE(
      database_->store()->executeSQL("DELETE FROM user_attributes WHERE name = 'color'", &error));
  EXPECT_EQ(names(true), "_fot=1;");
}

// --- Event aggregates ---

TEST_F(APMDatabaseFamiliesTest, AggregatesReadTheirStartValuesFromNullColumns) {
  ASSERT_TRUE(database_);
  platform::ErrorPtr error;
  auto aggregates = APMEventAggregates::initWithName("_e", 3, 2, 1, 5.5);
  ASSERT_TRUE(aggregates);
  ASSERT_TRUE(database_->updateEventAggregates(aggregates.get(), &error));
  RawConnection raw(path());
  EXPECT_EQ(raw.rows("SELECT last_sampled_complex_event_id IS NULL, last_sampling_rate FROM "
                     "events"),
            "1|1");
  aggregates->setLastSampledComplexEventID(42);
  aggregates->setLastSamplingRate(10);
  aggregates->setLastExemptFromSampling(true);
  aggregates->setLastBundledDay(19000);
  aggregates->setLastBundledTimestamp(4.5);
  ASSERT_TRUE(database_->updateEventAggregates(aggregates.get(), &error));
  const auto read = database_->eventAggregatesWithName("_e", &error);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->lastSampledComplexEventID(), 42);
  EXPECT_EQ(read->lastSamplingRate(), 10);
  EXPECT_TRUE(read->lastExemptFromSampling());
  EXPECT_EQ(read->lastBundledDay(), 19000);
  EXPECT_EQ(read->lastBundledTimestamp(), 4.5);
  EXPECT_EQ(read->currentSessionCount(), 1);

  // A row an older version wrote: only the elementary columns.
  ASSERT_EQ(raw.exec("INSERT INTO events (name, lifetime_count, current_bundle_count, "
                     "last_fire_timestamp) VALUES ('old', 4, 1, 2.0)"),
            SQLITE_OK);
  const auto old = database_->eventAggregatesWithName("old", &error);
  ASSERT_TRUE(old);
  EXPECT_EQ(old->lastSamplingRate(), 1);
  EXPECT_EQ(old->currentSessionCount(), 0);
  EXPECT_EQ(old->lastBundledDay(), 0);
  EXPECT_FALSE(old->lastExemptFromSampling());
  EXPECT_FALSE(old->lastSampledComplexEventID());
  EXPECT_EQ(database_->publicEventCount(&error), 1);
  ASSERT_TRUE(database_->clearCurrentSessionCounts(&error));
  EXPECT_EQ(raw.rows("SELECT group_concat(current_session_count) FROM events"), "0,0");
  EXPECT_EQ(database_->allEventAggregates(&error)->size(), 2u);
}

// The write for a name already stored in the pass goes through a statement of its own: each state
// it writes must leave the same row, column by column and type by type, as the upsert does.
TEST_F(APMDatabaseFamiliesTest, ReplacingStoredAggregatesWritesTheRowTheUpsertWrites) {
  ASSERT_TRUE(database_);
  struct State {
    std::int32_t lifetime;
    std::optional<std::int64_t> complexEventID;
    bool exempt;
    double lastBundled;
  };
  const State states[] = {{1, std::nullopt, false, 0},
                          {2, 42, true, 4.25},
                          {3, std::nullopt, false, 7.5},
                          {4, 9, false, 0}};
  const std::string dump =
      "SELECT quote(name), quote(lifetime_count), quote(current_bundle_count), "
      "quote(current_session_count), quote(last_fire_timestamp), quote(last_bundled_timestamp), "
      "quote(last_sampled_complex_event_id), quote(last_sampling_rate), "
      "quote(last_exempt_from_sampling), quote(last_bundled_day) FROM events";
  auto write = [&](bool replace) {
    std::vector<std::string> rows;
    platform::ErrorPtr error;
    EXPECT_TRUE(database_->reset(&error));
    for (const auto& state : states) {
      auto aggregates = APMEventAggregates::initWithName("level_up", state.lifetime, 2, 3, 5.5);
      aggregates->setLastSampledComplexEventID(state.complexEventID);
      aggregates->setLastExemptFromSampling(state.exempt);
      aggregates->setLastBundledTimestamp(state.lastBundled);
      aggregates->setLastSamplingRate(state.lifetime + 1);
      aggregates->setLastBundledDay(19000 + state.lifetime);
      const bool written = replace
                               ? database_->replaceStoredEventAggregates(aggregates.get(), &error)
                               : database_->updateEventAggregates(aggregates.get(), &error);
      EXPECT_TRUE(written) << describe(error);
      rows.push_back(RawConnection(path()).rows(dump));
    }
    return rows;
  };
  const auto upserted = write(false);
  EXPECT_EQ(upserted[1], "'level_up'|2|2|3|5.5|4.25|42|3|1|19002");
  EXPECT_EQ(upserted[2], "'level_up'|3|2|3|5.5|7.5|NULL|4|0|19003");
  EXPECT_EQ(write(true), upserted);

  // The same refusals as the upsert's record.
  platform::ErrorPtr error;
  EXPECT_FALSE(database_->replaceStoredEventAggregates(nullptr, &error));
  EXPECT_EQ(describe(error).substr(0, 3), "3: ");
}

TEST_F(APMDatabaseFamiliesTest, TheSnapshotRestoreKeepsACurrentFirstOpenOnlyWhenItHasNone) {
  ASSERT_TRUE(database_);
  struct Case {
    const char* name;
    std::optional<std::int32_t> savedFirstOpen;  // lifetime count of "_f" in the snapshot
    std::int32_t expectedFirstOpen;
  } cases[] = {{"no _f saved", std::nullopt, 7}, {"_f saved with 0", 0, 7}, {"_f saved", 2, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ErrorPtr error;
    ASSERT_TRUE(database_->reset(&error));
    ASSERT_TRUE(database_->updateEventAggregates(
        APMEventAggregates::initWithName("_e", 5, 0, 0, 1).get(), &error));
    if (c.savedFirstOpen) {
      ASSERT_TRUE(database_->updateEventAggregates(
          APMEventAggregates::initWithName("_f", *c.savedFirstOpen, 0, 0, 1).get(), &error));
    }
    ASSERT_TRUE(database_->createEventsSnapshotTable(&error)) << describe(error);
    // Counted while storage is denied.
    ASSERT_TRUE(database_->updateEventAggregates(
        APMEventAggregates::initWithName("_e", 9, 0, 0, 2).get(), &error));
    ASSERT_TRUE(database_->updateEventAggregates(
        APMEventAggregates::initWithName("_f", 7, 0, 0, 2).get(), &error));
    ASSERT_TRUE(database_->restoreFromEventsSnapshotTable(&error)) << describe(error);
    EXPECT_EQ(database_->eventAggregatesWithName("_e", &error)->lifetimeCount(), 5);
    EXPECT_EQ(database_->eventAggregatesWithName("_f", &error)->lifetimeCount(),
              c.expectedFirstOpen);
    RawConnection raw(path());
    EXPECT_EQ(raw.firstText("SELECT count(*) FROM events_snapshot"), "0");
  }
  // An empty snapshot leaves the aggregates as they are; a second save replaces the first.
  platform::ErrorPtr error;
  ASSERT_TRUE(database_->restoreFromEventsSnapshotTable(&error));
  EXPECT_EQ(database_->eventAggregatesWithName("_e", &error)->lifetimeCount(), 5);
  ASSERT_TRUE(database_->createEventsSnapshotTable(&error));
  ASSERT_TRUE(database_->updateEventAggregates(
      APMEventAggregates::initWithName("_e", 6, 0, 0, 2).get(), &error));
  ASSERT_TRUE(database_->createEventsSnapshotTable(&error));
  EXPECT_EQ(database_->eventAggregatesSnapshotWithName("_e", &error)->lifetimeCount(), 6);
  RawConnection raw(path());
  EXPECT_EQ(raw.firstText("SELECT count(*) FROM events_snapshot"), "2");
}

TEST_F(APMDatabaseFamiliesTest, AFailedSnapshotRestoreKeepsTheCurrentAggregatesAndTheSnapshot) {
  ASSERT_TRUE(database_);
  platform::ErrorPtr error;
  ASSERT_TRUE(database_->updateEventAggregates(
      APMEventAggregates::initWithName("_e", 5, 0, 0, 1).get(), &error));
  ASSERT_TRUE(database_->createEventsSnapshotTable(&error));
  ASSERT_TRUE(database_->updateEventAggregates(
      APMEventAggregates::initWithName("_e", 9, 0, 0, 2).get(), &error));
  {
    // A snapshot whose rows no longer fit the live table: the copy back fails.
    RawConnection raw(path());
    ASSERT_EQ(raw.exec("ALTER TABLE events_snapshot ADD COLUMN stray INTEGER"), SQLITE_OK);
  }
  EXPECT_FALSE(database_->restoreFromEventsSnapshotTable(&error));
  EXPECT_TRUE(error);
  const auto current = database_->eventAggregatesWithName("_e", &error);
  ASSERT_TRUE(current);
  EXPECT_EQ(current->lifetimeCount(), 9);
  EXPECT_EQ(database_->eventAggregatesSnapshotWithName("_e", &error)->lifetimeCount(), 5);

  // Inside a caller's transaction the restore nests and commits with it.
  {
    RawConnection raw(path());
    ASSERT_EQ(raw.exec("ALTER TABLE events_snapshot DROP COLUMN stray"), SQLITE_OK);
  }
  ASSERT_TRUE(database_->performTransaction(
      [&] { return database_->restoreFromEventsSnapshotTable(&error); }));
  EXPECT_EQ(database_->eventAggregatesWithName("_e", &error)->lifetimeCount(), 5);
}

TEST_F(APMDatabaseFamiliesTest, EventAggregatesRefuseANewNameWhenTwoThousandAreStored) {
  ASSERT_TRUE(database_);
  platform::ErrorPtr error;
  ASSERT_TRUE(database_->performTransaction([&] {
    for (int i = 0; i < 2000; ++i) {
      auto aggregates = APMEventAggregates::initWithName("e" + std::to_string(i), 1, 1, 1, 1);
      if (!database_->updateEventAggregates(aggregates.get(), &error)) return false;
    }
    return true;
  }));
  EXPECT_TRUE(database_->updateEventAggregates(
      APMEventAggregates::initWithName("e5", 2, 1, 1, 1).get(), &error));
  platform::ErrorPtr fullError;
  EXPECT_FALSE(database_->updateEventAggregates(
      APMEventAggregates::initWithName("new_one", 1, 1, 1, 1).get(), &fullError));
  EXPECT_EQ(describe(fullError), "2: Failed to insert data type. Table is full");
}

// --- Audience filters and results ---

TEST_F(APMDatabaseFamiliesTest, FilterFlagsComeFromTheStoredMessageNotTheColumn) {
  ASSERT_TRUE(database_);
  platform::ErrorPtr error;
  auto message = APMPBEventFilter::initWithMessageInfo();
  NANOSetInt32(message.get(), apmpb_field::EventFilter::kFilterId, 1);
  NANOSetString(message.get(), apmpb_field::EventFilter::kEventName, "_e");
  NANOSetBool(message.get(), apmpb_field::EventFilter::kDynamic, true);
  const platform::Bytes data = *message->protoBuffer();
  auto propertyMessage = APMPBPropertyFilter::initWithMessageInfo();
  NANOSetBool(propertyMessage.get(), apmpb_field::PropertyFilter::kSessionScoped, true);
  NANOSetString(propertyMessage.get(), apmpb_field::PropertyFilter::kPropertyName, "p");
  ASSERT_TRUE(database_->updateEventFilters(
      {APMEventFilter::initWithAudienceID(1, 1, "_e", data, true, false, false),
       APMEventFilter::initWithAudienceID(2, 1, "_e", {0xFF, 0xFF}, false, true, true)},
      &error))
      << describe(error);
  ASSERT_TRUE(database_->updatePropertyFilters(
      {APMPropertyFilter::initWithAudienceID(2, 2, "p", *propertyMessage->protoBuffer(), true,
                                             false, false)},
      &error));
  const auto filters = database_->eventFiltersForEventName("_e", &error);
  ASSERT_TRUE(filters);
  ASSERT_EQ(filters->size(), 2u);
  const auto& stored = *filters->at(0);
  EXPECT_EQ(stored.audienceID(), 1);
  EXPECT_FALSE(stored.isSessionScoped());
  EXPECT_TRUE(stored.isDynamic());
  EXPECT_EQ(stored.data(), data);
  EXPECT_FALSE(filters->at(1)->isDynamic());  // does not decode: all flags off
  EXPECT_TRUE(database_->propertyFiltersForPropertyName("p", &error)->front()->isSessionScoped());
  const auto scoped = database_->allSessionScopedFilters(&error);
  ASSERT_TRUE(scoped);
  EXPECT_EQ(*scoped, (std::map<std::int32_t, std::vector<std::int32_t>>{{1, {1}}, {2, {2}}}));
  EXPECT_EQ(database_->allAudienceIDs(&error), (std::vector<std::int32_t>{1, 2}));

  ASSERT_TRUE(database_->deleteEventFilters({filters->at(0)}, &error));
  EXPECT_EQ(database_->eventFiltersForEventName("_e", &error)->size(), 1u);

  platform::ErrorPtr listError;
  EXPECT_FALSE(database_->updateEventFilters(
      {APMEventFilter::initWithAudienceID(3, 1, "_s", data, false, false, false),
       APMEventFilter::initWithAudienceID(3, 2, "", data, false, false, false)},
      &listError));
  EXPECT_EQ(describe(listError), "3: Received event filter with empty event name for getting "
                                 "dictionary representation");
  EXPECT_EQ(database_->eventFiltersForEventName("_s", &error)->size(), 1u);
}

// A name found without filters is answered from memory until the table changes in any way.
TEST_F(APMDatabaseFamiliesTest, ANameWithoutEventFiltersSeesEveryLaterChangeOfTheFilters) {
  ASSERT_TRUE(database_);
  platform::ErrorPtr error;
  auto message = APMPBEventFilter::initWithMessageInfo();
  NANOSetInt32(message.get(), apmpb_field::EventFilter::kFilterId, 1);
  NANOSetBool(message.get(), apmpb_field::EventFilter::kDynamic, true);
  const platform::Bytes data = *message->protoBuffer();
  const auto filter = [&](std::int32_t audienceID, const std::string& name) {
    return APMEventFilter::initWithAudienceID(audienceID, 1, name, data, false, true, false);
  };
  // The audience IDs read for `name`, "error" for a failed read.
  const auto audiences = [&](const std::string& name) {
    platform::ErrorPtr readError;
    const auto filters = database_->eventFiltersForEventName(name, &readError);
    if (!filters) return std::string("error");
    std::string out;
    for (const auto& row : *filters)
      out += std::to_string(row->audienceID()) + ";";
    return out;
  };
  const std::string escaped = "X'" + hex(data) + "'";

  struct Step {
    const char* what;
    std::function<void()> change;
    const char* levelUp;
    const char* other;
  };
  const std::vector<Step> steps{
      {"nothing stored", [] {}, "", ""},
      {"a filter of another name",
       [&] { ASSERT_TRUE(database_->updateEventFilters({filter(1, "other")}, &error)); }, "", "1;"},
      {"a filter of the name",
       [&] { ASSERT_TRUE(database_->updateEventFilters({filter(2, "level_up")}, &error)); }, "2;",
       "1;"},
      {"its filters deleted",
       [&] { ASSERT_TRUE(database_->deleteEventFilters({filter(2, "level_up")}, &error)); }, "",
       "1;"},
      {"stored in a transaction that is rolled back",
       [&] {
         EXPECT_FALSE(database_->performTransaction([&] {
           EXPECT_TRUE(database_->updateEventFilters({filter(3, "level_up")}, &error));
           EXPECT_EQ(audiences("level_up"), "3;");
           return false;
         }));
       },
       "", "1;"},
      {"deleted in a transaction that is rolled back",
       [&] {
         EXPECT_FALSE(database_->performTransaction([&] {
           EXPECT_TRUE(database_->store()->executeSQL("DELETE FROM event_filters", &error));
           EXPECT_EQ(audiences("other"), "");
           return false;
         }));
       },
       "", "1;"},
      {"a row written by a statement of its own",
       [&] {
         ASSERT_TRUE(database_->store()->executeSQL(
             "INSERT INTO event_filters (audience_id, filter_id, event_name, data, "
             "session_scoped) VALUES (4, 1, 'level_up', " +
                 escaped + ", 0)",
             &error));
       },
       "4;", "1;"},
      {"the table emptied at once",
       [&] { ASSERT_TRUE(database_->store()->executeSQL("DELETE FROM event_filters", &error)); },
       "", ""},
      {"a row written by another connection, seen from the next transaction",
       [&] {
         RawConnection raw(path());
         ASSERT_EQ(raw.exec("INSERT INTO event_filters (audience_id, filter_id, event_name, "
                            "data, session_scoped) VALUES (5, 1, 'level_up', " +
                            escaped + ", 0)"),
                   SQLITE_OK);
         EXPECT_TRUE(database_->performTransaction([&] {
           EXPECT_EQ(audiences("level_up"), "5;");
           return true;
         }));
       },
       "5;", ""},
      {"a row without its keys is an error, not a remembered empty answer",
       [&] {
         ASSERT_TRUE(database_->store()->executeSQL(
             "INSERT INTO event_filters (audience_id, filter_id, event_name, data, "
             "session_scoped) VALUES (6, 'x', 'other', X'00', 0)",
             &error));
       },
       "5;", "error"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    step.change();
    // Asked twice: the second answer may come from memory.
    for (int ask = 0; ask < 2; ++ask) {
      EXPECT_EQ(audiences("level_up"), step.levelUp);
      EXPECT_EQ(audiences("other"), step.other);
    }
  }
}

TEST_F(APMDatabaseFamiliesTest, FilterResultsKeepAnEmptyPreviousResultAsNull) {
  ASSERT_TRUE(database_);
  platform::ErrorPtr error;
  ASSERT_TRUE(database_->updateFilterResults(
      {APMFilterResult::initWithAudienceID(1, {0x08, 0x01}, {}),
       APMFilterResult::initWithAudienceID(2, {0x08, 0x03}, {0x08, 0x01})},
      &error));
  RawConnection raw(path());
  EXPECT_EQ(raw.rows("SELECT audience_id, previous_results IS NULL FROM audience_filter_values"),
            "1|1\n2|0");
  const auto one = database_->filterResultForAudienceID(1, &error);
  ASSERT_TRUE(one);
  EXPECT_EQ(one->currentResults(), (platform::Bytes{0x08, 0x01}));
  EXPECT_TRUE(one->previousResults().empty());
  EXPECT_FALSE(database_->filterResultForAudienceID(9, &error));
  EXPECT_EQ(database_->allFilterResults(&error)->size(), 2u);
  ASSERT_TRUE(database_->deleteFilterResults({one, one}, &error));
  EXPECT_EQ(raw.rows("SELECT audience_id FROM audience_filter_values"), "2");
  platform::ErrorPtr emptyError;
  EXPECT_FALSE(database_->updateFilterResults({APMFilterResult::initWithAudienceID(3, {}, {})},
                                              &emptyError));
  EXPECT_EQ(emptyError->code, 3);
}

TEST_F(APMDatabaseFamiliesTest, UntrustedAudienceRowsReadAsTheirKeysAndBlobsAllow) {
  ASSERT_TRUE(database_);
  platform::ErrorPtr error;
  auto message = APMPBEventFilter::initWithMessageInfo();
  NANOSetInt32(message.get(), apmpb_field::EventFilter::kFilterId, 1);
  NANOSetBool(message.get(), apmpb_field::EventFilter::kDynamic, true);
  const std::string data = hex(*message->protoBuffer());
  {
    RawConnection raw(path());
    ASSERT_EQ(
        raw.exec("INSERT INTO event_filters (audience_id, filter_id, event_name, data) VALUES "
                 "(1, 1, 'e', x'" +
                 data + "'), (2, 'x', 'e', x'" + data +
                 "'), "
                 "(1099511627776, 1, 'e', x'" +
                 data + "'), (3, 2.5, 'e', x'" + data + "'), (4, 1, 'e', x''), (5, 'x', 'bad', x'" +
                 data + "')"),
        SQLITE_OK);
    ASSERT_EQ(raw.exec("INSERT INTO audience_filter_values VALUES (1, x'0801', NULL), "
                       "(2, 'text', x'0803'), (3, x'', NULL)"),
              SQLITE_OK);
  }
  clearReports();
  // Rows without whole int32 keys are left out; an empty blob reads as no data, reported.
  const auto filters = database_->eventFiltersForEventName("e", &error);
  ASSERT_TRUE(filters) << describe(error);
  ASSERT_EQ(filters->size(), 2u);
  EXPECT_EQ(filters->at(0)->audienceID(), 1);
  EXPECT_TRUE(filters->at(0)->isDynamic());
  EXPECT_EQ(filters->at(1)->audienceID(), 4);
  EXPECT_TRUE(filters->at(1)->data().empty());
  EXPECT_FALSE(filters->at(1)->isDynamic());
  EXPECT_TRUE(reported(34004));
  // Every row of the name without its keys: an error, not an empty list.
  platform::ErrorPtr keysError;
  EXPECT_EQ(database_->eventFiltersForEventName("bad", &keysError), std::nullopt);
  EXPECT_EQ(describe(keysError), "3: Received event filter row without its keys");

  const struct {
    std::int32_t audienceID;
    platform::Bytes current, previous;
  } results[] = {
      {1, {0x08, 0x01}, {}},
      {2, {}, {0x08, 0x03}},  // text where a blob belongs reads as none
      {3, {}, {}},
  };
  for (const auto& c : results) {
    SCOPED_TRACE(c.audienceID);
    const auto result = database_->filterResultForAudienceID(c.audienceID, &error);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->audienceID(), c.audienceID);
    EXPECT_EQ(result->currentResults(), c.current);
    EXPECT_EQ(result->previousResults(), c.previous);
  }
}

TEST_F(APMDatabaseFamiliesTest, AFailingAudienceReadIsAnErrorNotAnEmptyAnswer) {
  ASSERT_TRUE(database_);
  platform::ErrorPtr error;
  ASSERT_TRUE(database_->updateFilterResults(
      {APMFilterResult::initWithAudienceID(1, {0x08, 0x01}, {})}, &error));
  ASSERT_TRUE(database_->updateEventFilters(
      {APMEventFilter::initWithAudienceID(1, 1, "e", {0x08, 0x01}, false, false, false)}, &error));
  {
    // Another connection's write makes the store read the file again.
    RawConnection raw(path());
    ASSERT_EQ(raw.exec("INSERT INTO property_filters VALUES (9, 9, 'p', x'01', 0)"), SQLITE_OK);
  }
  fastDisk_.failReadsFrom = 4096;
  platform::ErrorPtr resultError, filterError;
  EXPECT_FALSE(database_->filterResultForAudienceID(1, &resultError));
  ASSERT_TRUE(resultError);
  EXPECT_EQ(resultError->code, 3);
  EXPECT_EQ(database_->eventFiltersForEventName("e", &filterError), std::nullopt);
  ASSERT_TRUE(filterError);
  EXPECT_EQ(filterError->code, 3);
  fastDisk_.failReadsFrom = -1;
  EXPECT_TRUE(database_->filterResultForAudienceID(1, &error));
}

// --- Fingerprints, complex events, on-device-measurement values ---

TEST_F(APMDatabaseFamiliesTest, APurchaseFingerprintAnswersOnceUntilItIsPushedOut) {
  ASSERT_TRUE(database_);
  platform::ErrorPtr error;
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("first", &error), true);
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("first", &error), false);
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("", &error), false);
  ASSERT_TRUE(database_->performTransaction([&] {
    for (int i = 0; i < 1001; ++i) {
      if (database_->insertIfNotDuplicatePurchaseFingerprint("p" + std::to_string(i), &error) !=
          true) {
        return false;
      }
    }
    return true;
  }));
  RawConnection raw(path());
  EXPECT_EQ(raw.firstText("SELECT count(*) FROM purchase_transactions"), "1000");
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("first", &error), true);

  ASSERT_TRUE(database_->performTransaction([&] {
    for (int i = 0; i < 1005; ++i) {
      if (database_->insertIfNotDuplicateSubscriptionID("s" + std::to_string(i), &error) != true) {
        return false;
      }
    }
    return true;
  }));
  EXPECT_EQ(database_->insertIfNotDuplicateSubscriptionID("s3", &error), false);
  EXPECT_EQ(database_->deleteSubscriptionsOverLimit(&error), 5);
  EXPECT_EQ(raw.firstText("SELECT min(subscription_id) FROM subscriptions WHERE subscription_id "
                          "IN ('s0', 's4', 's5')"),
            "s5");
}

TEST_F(APMDatabaseFamiliesTest, ComplexEventsAndOnDeviceValues) {
  ASSERT_TRUE(database_);
  platform::ErrorPtr error;
  auto main = event("_e", {{Value("_eid"), Value(std::int64_t{77})}});
  ASSERT_TRUE(
      database_->updateComplexEventForAudienceEvaluationWithEventID(77, 3, main.get(), &error));
  const auto pair = database_->mainEventAndChildCountPairWithEventID(77, &error);
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->first->name(), "_e");
  EXPECT_EQ(pair->first->parameters(), main->parameters());
  EXPECT_EQ(pair->second, 3);
  platform::ErrorPtr unknown;
  EXPECT_FALSE(database_->mainEventAndChildCountPairWithEventID(78, &unknown));
  EXPECT_FALSE(unknown);
  ASSERT_TRUE(database_->deleteComplexEventForAudienceEvaluationWithEventID(77, &error));
  EXPECT_FALSE(database_->mainEventAndChildCountPairWithEventID(77, &error));

  for (int i = 0; i < 10; ++i)
    ASSERT_TRUE(database_->updateODMValue("v", "n" + std::to_string(i), 1, &error));
  platform::ErrorPtr fullError;
  EXPECT_FALSE(database_->updateODMValue("v", APMDatabaseODM1Value, 1, &fullError));
  EXPECT_EQ(describe(fullError), "2: Failed to insert data type. Table is full");
  ASSERT_TRUE(database_->updateODMValue("w", "n3", 2, &error));
  const auto row = database_->ODMValueWithName("n3", &error);
  ASSERT_TRUE(row);
  EXPECT_EQ(row->at(Value("value")), Value("w"));
  ASSERT_TRUE(database_->deleteODMValueWithName("n3", &error));
  EXPECT_FALSE(database_->ODMValueWithName("n3", &error));
}

}  // namespace
