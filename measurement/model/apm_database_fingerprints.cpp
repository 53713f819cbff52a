// APMDatabase: four small tables of single engine features: the fingerprints of purchases
// already reported ("purchase_transactions"), subscription IDs already logged
// ("subscriptions"), complex events under audience evaluation ("main_event_params") and the
// on-device-measurement values ("odm_values").
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_database_family_support.h"
#include "measurement/model/apm_event.h"

using namespace apm_database_rows;

namespace {

constexpr const char* kPurchases = "purchase_transactions";
constexpr const char* kSubscriptions = "subscriptions";
constexpr const char* kMainEventParams = "main_event_params";
constexpr const char* kODMValues = "odm_values";

}  // namespace

std::optional<bool>
APMDatabase::insertIfNotDuplicatePurchaseFingerprint(const std::string& fingerprint,
                                                     platform::ErrorPtr* error) {
  if (fingerprint.empty()) return false;
  const auto known = boolFromQuery(
      "SELECT EXISTS (SELECT 1 FROM purchase_transactions WHERE fingerprint = ? LIMIT 1)",
      {platform::Value(fingerprint)}, error);
  if (!known) return std::nullopt;
  if (*known) return false;
  APMSqliteStore* store = openStore(error);
  if (!store ||
      !store->upsertRecord({{platform::Value("fingerprint"), platform::Value(fingerprint)}},
                           kPurchases, error)) {
    return std::nullopt;
  }
  if (!deleteRows(kPurchases,
                  "rowid IN (SELECT rowid FROM purchase_transactions ORDER BY rowid DESC LIMIT -1 "
                  "OFFSET ?)",
                  {integer(APMDatabasePurchaseTransactionsMaxCount)}, error)) {
    return std::nullopt;
  }
  return true;
}

std::optional<bool>
APMDatabase::insertIfNotDuplicateSubscriptionID(const std::string& subscriptionID,
                                                platform::ErrorPtr* error) {
  if (subscriptionID.empty()) return false;
  const auto known =
      boolFromQuery("SELECT EXISTS (SELECT 1 FROM subscriptions WHERE subscription_id = ? LIMIT 1)",
                    {platform::Value(subscriptionID)}, error);
  if (!known) return std::nullopt;
  if (*known) return false;
  APMSqliteStore* store = openStore(error);
  if (!store ||
      !store->upsertRecord({{platform::Value("subscription_id"), platform::Value(subscriptionID)}},
                           kSubscriptions, error)) {
    return std::nullopt;
  }
  return true;
}

std::optional<std::int64_t> APMDatabase::deleteSubscriptionsOverLimit(platform::ErrorPtr* error) {
  return deleteRows(
      kSubscriptions,
      "rowid IN (SELECT rowid FROM subscriptions ORDER BY rowid DESC LIMIT -1 OFFSET ?)",
      {integer(APMDatabasePurchaseTransactionsMaxCount)}, error);
}

bool APMDatabase::updateComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID,
                                                                     std::int64_t childEventCount,
                                                                     const APMEvent* mainEvent,
                                                                     platform::ErrorPtr* error) {
  if (!APMAssertNotNull(mainEvent, error, 1, "Received nil main event")) return false;
  auto blob = APMNSDataFromEvent(mainEvent);
  if (!APMAssertTrue(blob && !blob->empty(), error, 1, "Cannot create the main event blob")) {
    return false;
  }
  APMSqliteStore* store = openStore(error);
  return store &&
         store->upsertRecord({{platform::Value("main_event"), platform::Value(std::move(*blob))},
                              {platform::Value("event_id"), integer(eventID)},
                              {platform::Value("children_to_process"), integer(childEventCount)}},
                             kMainEventParams, error);
}

std::optional<std::pair<std::shared_ptr<APMEvent>, std::int64_t>>
APMDatabase::mainEventAndChildCountPairWithEventID(std::int64_t eventID,
                                                   platform::ErrorPtr* error) {
  const auto rows = rowsFromQuery("SELECT * FROM main_event_params WHERE event_id=? LIMIT 1",
                                  {integer(eventID)}, error);
  if (!rows || rows->empty()) return std::nullopt;
  const APMSqliteRecord& row = rows->front();
  const platform::Value* blob = presentColumn(row, "main_event");
  auto event = blob ? APMEventFromNSData(*blob, nullptr) : nullptr;
  if (!APMAssertNotNull(event.get(), error, 3, "Main event blob is nil in database")) {
    return std::nullopt;
  }
  const auto children = int64Column(row, "children_to_process");
  if (!APMAssertTrue(children.has_value(), error, 3,
                     "Complex event does not have children count in database")) {
    return std::nullopt;
  }
  return std::make_pair(std::move(event), *children);
}

bool APMDatabase::deleteComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID,
                                                                     platform::ErrorPtr* error) {
  return deleteRows(kMainEventParams, "event_id=?", {integer(eventID)}, error).has_value();
}

bool APMDatabase::updateODMValue(const std::string& value, const std::string& name,
                                 double setTimestamp, platform::ErrorPtr* error) {
  if (!APMAssertNotZero(value.size(), error, 1, "Received empty ODM value for update") ||
      !APMAssertNotZero(name.size(), error, 1, "Received ODM value with empty name for update")) {
    return false;
  }
  const platform::Value key(name);
  return upsertDataType(
      APMSqliteRecord{{platform::Value("name"), key},
                      {platform::Value("value"), platform::Value(value)},
                      {platform::Value("set_timestamp"), platform::Value(setTimestamp)}},
      kODMValues, "name", key, APMDatabaseODMValuesMaxCount, error);
}

std::optional<APMSqliteRecord> APMDatabase::ODMValueWithName(const std::string& name,
                                                             platform::ErrorPtr* error) {
  if (!APMAssertNotZero(name.size(), error, 1, "Received ODM value with empty name for query")) {
    return std::nullopt;
  }
  // Asked for every stored event, and mostly none is stored.
  auto& absent = absentODMValues_[name];
  if (stillAbsent(absent, kODMValues, {})) return std::nullopt;
  const auto rows = dataTypesFromTableWithName<APMSqliteRecord>(
      kODMValues, "name", platform::Value(name), error,
      [](const APMSqliteRecord& row) { return std::optional<APMSqliteRecord>(row); });
  if (rows && rows->empty()) rememberAbsent(absent, kODMValues, {});
  if (!rows || rows->empty()) return std::nullopt;
  return rows->front();
}

bool APMDatabase::deleteODMValueWithName(const std::string& name, platform::ErrorPtr* error) {
  if (!APMAssertNotZero(name.size(), error, 1, "Received ODM value with empty name for delete")) {
    return false;
  }
  APMSqliteStore* store = openStore(error);
  return store &&
         store->deleteRecordFromTableWithName(kODMValues, "name", platform::Value(name), error);
}
