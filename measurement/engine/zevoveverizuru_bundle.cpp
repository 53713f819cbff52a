// Category Bundle: the oldest run of raw events that share one metadata fingerprint becomes one
// measurement bundle in the upload queue. Everything runs on the worker queue, one exclusive
// transaction per batch: a failed step rolls the whole batch back so it is tried again.
//
// Audiences: every event of a pass is evaluated against the stored event filters as its
// aggregates are counted, the bundle's user properties after sampling, and the results of every
// evaluated audience go out with the bundle (tag 29). Nothing of that runs while analytics
// storage is denied.
#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "measurement/engine/apm_bundle_signals.h"
#include "measurement/engine/apm_engine_neighbours.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_app_metadata.h"
#include "measurement/model/apm_consent_settings_util.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_database_family_support.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_event_aggregates.h"
#include "measurement/model/apm_identity.h"
#include "measurement/model/apm_name_tables.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/model/apm_user_attribute.h"
#include "measurement/model/apm_utilities.h"
#include "measurement/storage/apm_aeu.h"
#include "measurement/storage/apm_monitor.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/bundle.h"

namespace {

namespace B = apmpb_field::MeasurementBundle;
namespace E = apmpb_field::Event;
namespace UA = apmpb_field::UserAttribute;

void report(std::int64_t level, std::int64_t code, std::string_view text,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, text, contexts);
}

platform::Value errorContext(const platform::ErrorPtr& error) {
  return platform::Value(error ? error->localizedDescription() : std::string("(none)"));
}

// Milliseconds to whole seconds, floored, in 64 bits. A timestamp of any size (a year past 2038,
// a bogus far-future value) gets an hour of its own instead of an overflow.
std::int64_t hourOfMillis(std::int64_t millis) {
  const std::int64_t seconds = millis >= 0 ? millis / 1000 : -((-(millis + 1)) / 1000) - 1;
  return seconds >= 0 ? seconds / 3600 : -((-(seconds + 1)) / 3600) - 1;
}

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
  std::int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) {
    return b > 0 ? std::numeric_limits<std::int64_t>::max()
                 : std::numeric_limits<std::int64_t>::min();
  }
  return sum;
}

std::int64_t millisFromSeconds(double seconds) {
  const double ms = std::floor(seconds * 1000.0);
  if (!std::isfinite(ms)) return 0;
  if (ms >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
  if (ms <= -9.2e18) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(ms);
}

// The real-time and conversion flags live in the event's parameters.
bool isRealtimeEvent(const APMEvent& event) {
  return event.isRealtime();
}

}  // namespace

bool APMHasRealTimeEvents(const std::vector<std::shared_ptr<APMEvent>>& events) {
  return std::any_of(events.begin(), events.end(),
                     [](const auto& event) { return event && isRealtimeEvent(*event); });
}

// Deletes the batch (every raw event up to `lastRowID`) and, when no event of the fingerprint is
// left, its metadata row.
static bool APMCleanupRawEvents(APMDatabase& database, std::int64_t lastRowID,
                                std::int64_t fingerprint) {
  platform::ErrorPtr error;
  if (!database.deleteRawEventsWithMaxRowID(lastRowID, &error)) {
    report(1, 23119, "Unable to delete raw events. RowID, error",
           {platform::Value(lastRowID), errorContext(error)});
    return false;
  }
  const auto remains = database.containsRawEventWithMetadataFingerprint(fingerprint, &error);
  if (!remains) {
    report(1, 23120, "Unable to query existence of raw event. Metadata, error",
           {platform::Value(fingerprint), errorContext(error)});
    return false;
  }
  if (!*remains && !database.deleteRawEventMetadataWithMetadataFingerprint(fingerprint, &error)) {
    report(1, 23121, "Unable to delete raw event metadata. Metadata, error",
           {platform::Value(fingerprint), errorContext(error)});
    return false;
  }
  return true;
}

bool ZEVOveverizuru::bundleRawEvents() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("bundleRawEvents");
  const auto db = database();
  if (!db) return false;
  bool consumed = false;
  const bool committed = db->performTransaction([&]() -> bool {
    platform::ErrorPtr error;
    // 1.
    const auto fingerprint = db->nextMetadataFingerprintToProcess(&error);
    if (!fingerprint) {
      if (error) {
        report(1, 23095, "Unable to fetch next event metadata. Error", {errorContext(error)});
        return false;
      }
      return true;
    }
    // 2.
    lastBatchRowID_ = 0;
    const auto batch = rawEventsWithMetadataFingerprint(*fingerprint);
    if (!batch) {
      report(1, 23097, "Inconsistent state, raw event is expected. Error",
             {errorContext(lastBatchError_)});
      // Rows that were read but none of which decodes will never decode: they go, with their
      // metadata when nothing else needs it, so that they stop blocking every later upload. A
      // database error (nothing was read, or the read cannot be repeated) rolls back instead.
      if (lastBatchRowID_ > 0) {
        platform::ErrorPtr probeError;
        const auto exists = db->containsRawEventWithMetadataFingerprint(*fingerprint, &probeError);
        if (exists && *exists && APMCleanupRawEvents(*db, lastBatchRowID_, *fingerprint)) {
          consumed = true;
          return true;
        }
      }
      return false;
    }
    if (batch->empty()) return true;
    const std::int64_t lastRowID = batch->back()->rowID();
    // 3.
    error.reset();
    auto bundle = db->queryRawEventsMetadataWithFingerprint(*fingerprint, &error);
    if (!bundle) {
      report(1, 23098, "Unable to fetch event metadata. Metadata fingerprint, error",
             {platform::Value(*fingerprint), errorContext(error)});
      // A missing row, or one that is there but does not decode, can never become a bundle: the
      // batch goes. A database error rolls back and is tried again.
      if (!error || rawEventsMetadataRowExists(*fingerprint)) {
        if (APMCleanupRawEvents(*db, lastRowID, *fingerprint)) {
          consumed = true;
          return true;
        }
      }
      return false;
    }
    // 4.
    auto events = processRawEvents(*batch, *fingerprint);
    if (!events) return false;
    // Every event was rejected: the batch is gone already, nothing was queued.
    if (events->empty()) return true;
    // 5.-7.
    const bool denied = APMConsentSettingsUtil::isAnalyticsStorageDenied();
    evaluationTimeFromRawEvents(*batch, *bundle);
    handleAnalyticsStorageConsentTransitions(*bundle);
    // 8.
    const auto cache = APMAudienceTimestampsCache::init();
    auto stamped = eventsAfterUpdatingEventAggregates(*events, cache, !denied);
    if (!stamped) return false;
    const bool realtime = APMHasRealTimeEvents(*stamped);
    // 9.
    std::vector<std::shared_ptr<APMPBEvent>> protos;
    protos.reserve(stamped->size());
    for (const auto& event : *stamped) {
      if (auto proto = event->protoEvent()) protos.push_back(std::move(proto));
    }
    const auto remote = remoteConfigInstance();
    if (remote && remote->boolSetting(APMSetting::IsEventSamplingEnabled) &&
        !APMProcessMonitor()->isDebugModeEnabled()) {
      platform::ErrorPtr samplingError;
      auto sampled = sampleEvents(protos, &samplingError);
      if (!sampled) return false;
      protos = std::move(*sampled);
    }
    // 10.
    if (protos.empty()) {
      report(5, 23159, "No events left after sampling. Dropping bundle");
      consumed = APMCleanupRawEvents(*db, lastRowID, *fingerprint);
      return consumed;
    }
    // 11. The messages were made for this bundle alone: their contents move into it.
    if (!APMMoveEventMessagesIntoBundle(protos, *bundle)) {
      const auto values = NANOMessageValues(protos);
      NANOSetArray(bundle.get(), B::kEvents, &values);
    }
    double start = std::numeric_limits<double>::infinity();
    double end = -std::numeric_limits<double>::infinity();
    for (const auto& raw : *batch) {
      // The event's time in whole milliseconds, as its message carries it.
      const std::int64_t millis = raw->event()
                                      ? APMMillisecondsFromSeconds(raw->event()->timestamp())
                                      : NANOGetInt64(raw->rawEvent().get(), E::kTimestampMillis);
      const double t = static_cast<double>(millis) / 1000.0;
      start = std::min(start, t);
      end = std::max(end, t);
    }
    // 12.
    if (!updateAppMetadataForBundle(*bundle, start, end)) return false;
    // 13.
    if (shouldUpdateNPAUserProperty()) {
      setPersonalizedAdsUserPropertyOnWorkerQueue();
      setShouldUpdateNPAUserProperty(false);
    }
    // 14.
    if (!denied) {
      const auto evaluator = audience();
      if (!evaluator) return false;
      const auto properties =
          NANOGetArray(bundle.get(), B::kUserAttributes, APMPBUserAttribute::classObject());
      for (const auto& item : properties.value_or(platform::ValueList{})) {
        const auto property = item.asObjectOf<APMPBUserAttribute>();
        if (property && !evaluator->evaluateFiltersForNanoUserProperty(*property, cache, start)) {
          return false;
        }
      }
      std::optional<APMAudience::LeafResults> results;
      if (!evaluator->resultsForBundling(&results) || !results) {
        report(1, 23113, "Unable to read audience evaluation results");
        return false;
      }
      if (!results->empty()) {
        const auto values = NANOMessageValues(*results);
        NANOSetArray(bundle.get(), B::kAudienceEvaluationResults, &values);
      }
    }
    // 15.
    addBundleMetadataIntoBundle(*bundle, start, end);
    if (denied || !(remote && remote->sessionStitchingTokenFeatureEnabled())) {
      NANOClearField(bundle.get(), B::kSessionStitchingToken);
    }
    // 16.
    error.reset();
    if (!db->insertBundle(bundle.get(), realtime, &error)) {
      report(1, 23115, "Unable to insert bundle. Error", {errorContext(error)});
      return false;
    }
    // 17.
    report(8, 23221, APMConsentSettingsUtil::description());
    report(7, 23116, "Bundle added to the upload queue. BundleID, timestamp (ms)",
           {platform::Value(static_cast<std::int64_t>(NANOGetInt32(bundle.get(), B::kBundleIndex))),
            platform::Value(NANOGetInt64(bundle.get(), B::kStartTimestampMillis))});
    consumed = APMCleanupRawEvents(*db, lastRowID, *fingerprint);
    return consumed;
  });
  if (committed && consumed) {
    setSuspendedUploadTimestamp(0);
    return true;
  }
  return false;
}

bool ZEVOveverizuru::rawEventsMetadataRowExists(std::int64_t fingerprint) {
  const auto db = database();
  if (!db) return false;
  platform::ErrorPtr error;
  const auto rows = db->dataTypesFromTableWithName<bool>(
      "raw_events_metadata", "metadata_fingerprint", platform::Value(fingerprint), &error,
      [](const APMSqliteRecord&) -> std::optional<bool> { return true; });
  return rows && !rows->empty();
}

std::optional<std::vector<std::shared_ptr<APMRawEventData>>>
ZEVOveverizuru::rawEventsWithMetadataFingerprint(std::int64_t fingerprint) {
  const auto db = database();
  if (!db) return std::nullopt;
  const auto remote = remoteConfigInstance();
  const std::int64_t maxEvents =
      remote ? remote->integerSetting(APMSetting::UploadMaxEventsPerBundle) : 1000;
  const std::int64_t maxSize =
      remote ? remote->integerSetting(APMSetting::UploadMaxSizeLimitBytes) : 65536;
  std::int64_t taken = 0;
  std::int64_t size = 0;
  std::int64_t previousRowID = 0;
  std::int64_t firstHour = 0;
  lastBatchRowID_ = 0;
  auto filter = [&](std::int64_t rowID, const std::shared_ptr<APMPBEvent>& proto,
                    std::size_t dataSize) -> bool {
    if (taken > 0 && (taken >= maxEvents || rowID != previousRowID + 1)) return false;
    if (!proto) {
      // An unreadable row stays in the run so that it can be removed with it.
      report(4, 23096, "Failed to filter raw event. Error",
             {platform::Value("the stored event does not decode")});
    } else {
      const std::int64_t hour = hourOfMillis(NANOGetInt64(proto.get(), E::kTimestampMillis));
      const auto eventSize = static_cast<std::int64_t>(dataSize);
      if (taken == 0) {
        firstHour = hour;
      } else if (hour != firstHour || saturatingAdd(size, eventSize) >= maxSize) {
        return false;
      }
      size = saturatingAdd(size, eventSize);
    }
    ++taken;
    previousRowID = rowID;
    lastBatchRowID_ = rowID;
    return true;
  };
  lastBatchError_.reset();
  auto rows = db->rawEventBatchWithMetadataFingerprint(fingerprint, &lastBatchError_, filter);
  if (rows) lastBatchRowID_ = rows->empty() ? 0 : rows->back()->rowID();
  return rows;
}

std::optional<std::vector<std::shared_ptr<APMEvent>>>
ZEVOveverizuru::processRawEvents(const std::vector<std::shared_ptr<APMRawEventData>>& batch,
                                 std::int64_t fingerprint) {
  const auto db = database();
  const auto remote = remoteConfigInstance();
  if (!db || !remote || batch.empty()) return std::nullopt;
  const bool blocklistInternal = remote->boolSetting(APMSetting::BlocklistInternal);
  const bool blocklistPublic = remote->boolSetting(APMSetting::BlocklistPublic);
  const bool removeEngagement = remote->boolSetting(APMSetting::RedundantEngagementRemovalEnabled);
  const auto& twins = APMInternalEventNamesByPublicEventNames();
  std::vector<std::shared_ptr<APMRawEventData>> kept;
  for (const auto& raw : batch) {
    auto event = raw->event() ? raw->event() : APMEvent::initWithEventProto(*raw->rawEvent());
    if (!event) continue;
    const std::string* twin = twins.find(event->name());
    const bool hasTwin = twin != nullptr;
    if (hasTwin && blocklistInternal && !blocklistPublic) {
      kept.push_back(std::make_shared<APMRawEventData>(event, raw->rawEvent(), raw->rowID(),
                                                       raw->metadataFingerprint()));
      continue;
    }
    if (remote->isEventBlocklisted(event->name()) ||
        (hasTwin && remote->isEventBlocklisted(*twin))) {
      report(4, 23099, "Rejected event. Event name", {platform::Value(event->name())});
      continue;
    }
    if (removeEngagement && event->name() == "_e") {
      const auto fr = event->parameter("_fr");
      if (fr && fr->isInt64() && fr->int64Value() == 1) continue;
    }
    kept.push_back(std::make_shared<APMRawEventData>(event, raw->rawEvent(), raw->rowID(),
                                                     raw->metadataFingerprint()));
  }
  if (kept.empty()) {
    if (!APMCleanupRawEvents(*db, batch.back()->rowID(), fingerprint)) return std::nullopt;
    report(4, 23100, "Rejected all events.");
    return std::vector<std::shared_ptr<APMEvent>>{};
  }
  platform::ErrorPtr error;
  auto counts = db->dailyCounts(&error);
  if (!counts) {
    report(1, 23101, "Failed to query daily event counts. Error", {errorContext(error)});
    return std::nullopt;
  }
  bool changed = false;
  std::vector<std::shared_ptr<APMEvent>> out;
  out.reserve(kept.size());
  for (auto raw : kept) {
    raw = internalEventFromPublicEvent(raw);
    changed = checkConversion(*raw, *counts) || changed;
    changed = checkRealtime(*raw, *counts) || changed;
    raw = validatePurchaseEvent(raw);
    out.push_back(raw->event());
  }
  if (changed && !db->updateDailyCounts(counts.get(), &error)) {
    report(2, 23106, "Failed to update daily event counts. Name, error",
           {platform::Value(out.back()->name()), errorContext(error)});
    return std::nullopt;
  }
  return out;
}

bool ZEVOveverizuru::checkConversion(const APMRawEventData& rawEvent, APMDailyCounts& dailyCounts) {
  const auto& event = rawEvent.event();
  const auto remote = remoteConfigInstance();
  const auto db = database();
  if (!event || !remote || !db) return false;
  if (remote->isEventCustomConversion(event->name())) event->setConversion(true);
  if (!APMEventUtilIsPublicName(event->name()) || !event->isConversion()) return false;
  const std::int64_t limit = remote->integerSetting(APMSetting::MaxConversionsPerDay);
  if (dailyCounts.conversionsCount() < limit) {
    dailyCounts.incrementCountsForCurrentDay(db->currentDayNumber(), false, true);
    dailyCounts.decrementAllEventsCount();
    return true;
  }
  event->setConversion(false);
  report(3, 23102, "Too many conversion events. Not logging event as conversion. Name, limit",
         {platform::Value(event->name()), platform::Value(limit)});
  return false;
}

bool ZEVOveverizuru::checkRealtime(const APMRawEventData& rawEvent, APMDailyCounts& dailyCounts) {
  const auto& event = rawEvent.event();
  const auto remote = remoteConfigInstance();
  const auto db = database();
  if (!event || !remote || !db) return false;
  if (!event->isRealtime() && !event->isConversion()) return false;
  const platform::ValueList contexts{platform::Value(event->name()),
                                     platform::Value(event->parameters())};
  if (APMIsSubjectToMaxRealtimeCountPerDay(*event)) {
    if (dailyCounts.realtimeCount() <
        remote->integerSetting(APMSetting::MaxRealtimeEventCountPerDay)) {
      dailyCounts.incrementRealtimeCountsForCurrentDay(db->currentDayNumber());
      event->setRealtime(true);
      report(7, 23103,
             "Event is under real-time event count daily limit. Marking the event as real-time. "
             "Event name, parameters",
             contexts);
      return true;
    }
    event->setRealtime(false);
    report(4, 23104,
           "Number of real-time events is over the real-time event count daily limit. Event is "
           "no longer real-time. Event name, parameters",
           contexts);
    return false;
  }
  if (APMIsSubjectToMaxDCURealtimeCountPerDay(*event)) {
    if (dailyCounts.dcuRealtimeCount() <
        remote->integerSetting(APMSetting::MaxRealtimeDCUEventCountPerDay)) {
      dailyCounts.incrementDCURealtimeCountsForCurrentDay(db->currentDayNumber());
      event->setRealtime(true);
      return true;
    }
    event->setRealtime(false);
    return false;
  }
  event->setRealtime(true);
  report(7, 23105,
         "Event is not subject to real-time event count daily limit. Marking an event as "
         "real-time. Event name, parameters",
         contexts);
  return false;
}

std::shared_ptr<APMRawEventData>
ZEVOveverizuru::internalEventFromPublicEvent(std::shared_ptr<APMRawEventData> rawEvent) {
  const auto& event = rawEvent->event();
  if (!event) return rawEvent;
  const auto& twins = APMInternalEventNamesByPublicEventNames();
  const std::string* twin = twins.find(event->name());
  if (!twin) return rawEvent;
  auto internal = APMEvent::initWithOrigin(event->origin(), false, *twin, event->timestamp(),
                                           event->previousTimestamp(), event->parameters());
  if (!internal) return rawEvent;
  return std::make_shared<APMRawEventData>(internal, rawEvent->rawEvent(), rawEvent->rowID(),
                                           rawEvent->metadataFingerprint());
}

std::shared_ptr<APMRawEventData>
ZEVOveverizuru::validatePurchaseEvent(std::shared_ptr<APMRawEventData> rawEvent) {
  const auto& event = rawEvent->event();
  if (!event || event->name() != "_iap" || event->parameter("sandbox")) return rawEvent;
  if (!APMAEU::isASRS()) return rawEvent;
  auto parameters = event->parameters();
  parameters[platform::Value("sandbox")] = platform::Value(std::int64_t{1});
  auto copy = event->copyWithParameters(std::move(parameters));
  if (!copy) return rawEvent;
  return std::make_shared<APMRawEventData>(copy, rawEvent->rawEvent(), rawEvent->rowID(),
                                           rawEvent->metadataFingerprint());
}

void ZEVOveverizuru::evaluationTimeFromRawEvents(
    const std::vector<std::shared_ptr<APMRawEventData>>& batch, APMPBMeasurementBundle& bundle) {
  const auto db = database();
  if (!db) return;
  bool sessionStart = false;
  std::int64_t engagement = 0;
  for (const auto& raw : batch) {
    auto event = raw->event() ? raw->event() : APMEvent::initWithEventProto(*raw->rawEvent());
    if (!event) continue;
    if (event->name() == "_s") sessionStart = true;
    if (event->parameter("_fr")) continue;
    const auto et = event->parameter("_et");
    if (!et) continue;
    if (!et->isInt64()) {
      report(1, 23165, "User engagement event doesn't contain any user engagement time");
      continue;
    }
    engagement = saturatingAdd(engagement, et->int64Value());
  }
  platform::ErrorPtr error;
  if (sessionStart) sessionStartedInBatch(bundle);
  if (!updateUserEngagement(engagement, bundle, false)) return;
  if (sessionStart && !db->deleteUserAttributeWithName("_se", &error)) {
    report(1, 23188, "Unable to delete session engagement property on session start. Error",
           {errorContext(error)});
    return;
  }
  updateUserEngagement(engagement, bundle, true);
}

// 1. of evaluationTimeFromRawEvents: session-scoped audience filters start over, the bundle's user
// properties are evaluated afresh, then the session counts are cleared. A failure ends this step
// only; the engagement sums still follow.
void ZEVOveverizuru::sessionStartedInBatch(const APMPBMeasurementBundle& bundle) {
  const auto db = database();
  const auto evaluator = audience();
  if (!db) return;
  if (evaluator) {
    evaluator->clearEvaluationResultsForSessionScopedFilters();
    const auto properties =
        NANOGetArray(&bundle, B::kUserAttributes, APMPBUserAttribute::classObject());
    for (const auto& item : properties.value_or(platform::ValueList{})) {
      const auto property = item.asObjectOf<APMPBUserAttribute>();
      if (property &&
          !evaluator->evaluateFiltersForNanoUserProperty(*property, nullptr, std::nullopt)) {
        return;
      }
    }
  }
  platform::ErrorPtr error;
  if (!db->clearCurrentSessionCounts(&error)) {
    report(1, 23185, "Failed to clear event session counts. Error", {errorContext(error)});
  }
}

bool ZEVOveverizuru::updateUserEngagement(std::int64_t engagementTime,
                                          APMPBMeasurementBundle& bundle, bool sessionScoped) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("updateUserEngagement");
  if (engagementTime < 0) {
    report(2, 23186, "User engagement time is negative.");
    return false;
  }
  if (engagementTime == 0) return true;
  const auto db = database();
  if (!db) return false;
  const std::string name = sessionScoped ? "_se" : "_lte";
  platform::ErrorPtr error;
  const auto stored = db->userAttributeWithName(name, &error);
  if (error) {
    report(1, 23187, "Failed to query for user engagement user property. Name, error",
           {platform::Value(name), errorContext(error)});
    return false;
  }
  std::int64_t value = engagementTime;
  if (stored && stored->value().isInt64()) {
    value = saturatingAdd(stored->value().int64Value(), engagementTime);
  }
  const double now = platform::Clock::current().now();
  const auto attribute = std::make_shared<APMUserAttribute>("auto", name, APMValue(value), now);
  if (!setUserPropertyInDatabaseOnWorkerQueue(attribute)) return false;
  auto list = NANOGetArray(&bundle, B::kUserAttributes, APMPBUserAttribute::classObject());
  platform::ValueList attributes = list ? *list : platform::ValueList{};
  bool found = false;
  for (auto& item : attributes) {
    auto proto = item.asObjectOf<APMPBUserAttribute>();
    if (!proto || NANOGetString(proto.get(), UA::kName) != name) continue;
    NANOSetInt64(proto.get(), UA::kIntValue, value);
    NANOSetInt64(proto.get(), UA::kSetTimestampMillis, millisFromSeconds(now));
    found = true;
  }
  if (!found) {
    if (auto proto = attribute->protoUserAttribute())
      attributes.emplace_back(platform::ObjectPtr(proto));
  }
  NANOSetArray(&bundle, B::kUserAttributes, &attributes);
  return true;
}

void ZEVOveverizuru::handleAnalyticsStorageConsentTransitions(APMPBMeasurementBundle& bundle) {
  if (!persistedConfig_) return;
  const auto db = database();
  const std::string current = NANOGetString(&bundle, B::kConsentSignals).value_or("");
  const std::string previous = persistedConfig_->previousBundledConsentSignals().value_or("");
  if (current == previous) return;
  if (db && !previous.empty()) {
    platform::ErrorPtr error;
    const bool wasDenied = APMIsAnalyticsStorageDenied(previous);
    const bool isDenied = APMIsAnalyticsStorageDenied(current);
    if (!wasDenied && isDenied && !db->createEventsSnapshotTable(&error)) {
      report(4, 23266, "Unable to create table snapshot. Error", {errorContext(error)});
    } else if (wasDenied && !isDenied && !db->restoreFromEventsSnapshotTable(&error)) {
      report(4, 23267, "Unable to restore from table snapshot. Error", {errorContext(error)});
    }
  }
  persistedConfig_->setPreviousBundledConsentSignals(current);
}

std::optional<std::vector<std::shared_ptr<APMEvent>>>
ZEVOveverizuru::eventsAfterUpdatingEventAggregates(
    const std::vector<std::shared_ptr<APMEvent>>& events,
    const std::shared_ptr<APMAudienceTimestampsCache>& cache, bool allowEventFilterEvaluation) {
  const auto db = database();
  if (!db) return std::nullopt;
  const auto evaluator = allowEventFilterEvaluation ? audience() : nullptr;
  if (allowEventFilterEvaluation && !evaluator) return std::nullopt;
  std::vector<std::shared_ptr<APMEvent>> out;
  out.reserve(events.size());
  // The aggregates of each name as this pass last wrote them: a name is read from the database
  // once, and every write goes straight through, so whatever reads the table meanwhile (the
  // purchase check, sampling) sees what the pass counted so far.
  std::unordered_map<std::string, std::shared_ptr<APMEventAggregates>> written;
  for (auto event : events) {
    event = purchaseEventWithCustomerTypeParam(event);
    platform::ErrorPtr error;
    std::shared_ptr<APMEventAggregates> aggregates;
    const auto known = written.find(event->name());
    if (known != written.end()) {
      aggregates = known->second;
    } else {
      aggregates = db->eventAggregatesWithName(event->name(), &error);
      if (error) {
        report(1, 23107, "Failed to query event aggregates. Name, error",
               {platform::Value(event->name()), errorContext(error)});
        return std::nullopt;
      }
    }
    if (aggregates) {
      if (auto stamped = event->copyWithPreviousTimestamp(aggregates->lastFireTimestamp())) {
        stamped->setRealtime(event->isRealtime());
        event = stamped;
      }
      aggregates->incrementCurrentBundleCount();
      aggregates->incrementLifetimeCount();
      aggregates->incrementCurrentSessionCount();
      aggregates->setLastFireTimestamp(event->timestamp());
    } else {
      aggregates = APMEventAggregates::initWithName(event->name(), 1, 1, 1, event->timestamp());
    }
    const bool stored =
        aggregates &&
        (known != written.end() ? db->replaceStoredEventAggregates(aggregates.get(), &error)
                                : db->updateEventAggregates(aggregates.get(), &error));
    if (!stored) {
      report(1, 23108, "Failed to update event aggregates. Error", {errorContext(error)});
      return std::nullopt;
    }
    written.insert_or_assign(event->name(), aggregates);
    // 4.
    if (evaluator && !evaluator->evaluateFiltersForEvent(*event, aggregates.get(), cache)) {
      return std::nullopt;
    }
    out.push_back(std::move(event));
  }
  return out;
}

std::shared_ptr<APMEvent>
ZEVOveverizuru::purchaseEventWithCustomerTypeParam(std::shared_ptr<APMEvent> event) {
  const auto remote = remoteConfigInstance();
  const auto db = database();
  if (!event || !remote || !db || !remote->customerTypeEnabled()) return event;
  const auto& name = event->name();
  if (name != "_iap" && name != "purchase" && name != "ecommerce_purchase") return event;
  platform::ErrorPtr error;
  const auto all = db->allEventAggregates(&error);
  if (!all) {
    report(1, 23274, "Failed to query all event aggregates. Error", {errorContext(error)});
    return event;
  }
  const bool returning = std::any_of(all->begin(), all->end(), [](const auto& a) {
    const auto& n = a->name();
    return (n == "_iap" || n == "purchase" || n == "ecommerce_purchase") && a->lifetimeCount() > 0;
  });
  auto parameters = event->parameters();
  parameters[platform::Value("_ct")] = platform::Value(returning ? "returning" : "new");
  auto copy = event->copyWithParameters(std::move(parameters));
  if (!copy) return event;
  copy->setRealtime(event->isRealtime());
  return copy;
}

bool ZEVOveverizuru::updateAppMetadataForBundle(APMPBMeasurementBundle& bundle,
                                                double bundleStartTimestamp,
                                                double bundleEndTimestamp) {
  const auto db = database();
  if (!db) return false;
  platform::ErrorPtr error;
  auto metadata = db->queryAppMetadata(&error);
  if (!metadata) {
    report(1, 23111, "Unable to fetch app metadata for bundling events. Error",
           {errorContext(error)});
    return false;
  }
  const double previousEnd = metadata->lastBundleEndTimestamp();
  const double previousStart = metadata->lastBundleStartTimestamp();
  if (previousEnd > 0) {
    NANOSetInt64(&bundle, B::kPreviousBundleEndTimestampMillis, millisFromSeconds(previousEnd));
    NANOSetInt64(&bundle, B::kPreviousBundleStartTimestampMillis,
                 millisFromSeconds(previousStart > 0 ? previousStart : previousEnd));
  }
  metadata->increaseLastBundleIndex(
      static_cast<std::int64_t>(NANOGetArrayCount(&bundle, B::kEvents)));
  metadata->incrementLastDeliveryIndex();
  metadata->setLastBundleStartTimestamp(bundleStartTimestamp);
  metadata->setLastBundleEndTimestamp(bundleEndTimestamp);
  NANOSetInt32(&bundle, B::kBundleIndex, metadata->lastBundleIndex());
  NANOSetInt32(&bundle, B::kDeliveryIndex, metadata->lastDeliveryIndex());
  if (!db->updateAppMetadata(metadata.get(), &error)) {
    report(1, 23112, "Unable to update the app metadata. Error", {errorContext(error)});
    return false;
  }
  return true;
}

void ZEVOveverizuru::addBundleMetadataIntoBundle(APMPBMeasurementBundle& bundle,
                                                 double bundleStartTimestamp,
                                                 double bundleEndTimestamp) {
  NANOSetInt64(&bundle, B::kStartTimestampMillis, millisFromSeconds(bundleStartTimestamp));
  NANOSetInt64(&bundle, B::kEndTimestampMillis, millisFromSeconds(bundleEndTimestamp));
  const auto remote = remoteConfigInstance();
  if (remote) {
    const auto ids = remote->experimentIDs();
    if (!ids.empty()) {
      platform::ValueList values;
      for (const auto id : ids)
        values.emplace_back(id);
      NANOSetArray(&bundle, B::kExperimentIds, &values);
    }
    const std::int64_t version = remote->version();
    if (version >= 0) NANOSetInt64(&bundle, B::kConfigVersion, version);
  }
  if (persistedConfig_ && remote) {
    const auto data = APMProcessMonitor()->monitoringDataForDispatchWithSamplePeriod(
        remote->doubleSetting(APMSetting::MonitoringSamplePeriod),
        persistedConfig_->lastMonitorDataSampledTimestamp());
    if (data && !data->empty()) {
      NANOSetString(&bundle, B::kMonitoringData, *data);
      persistedConfig_->setLastMonitorDataSampledTimestamp(platform::Clock::current().now());
    }
  }
  const auto stored = NANOGetString(&bundle, B::kAppId);
  if (!stored || stored->empty()) {
    const auto id = identity();
    std::optional<std::string> bundleID = id ? id->appID() : std::nullopt;
    if (!bundleID || bundleID->empty()) bundleID = platform::Bundle::main()->bundleIdentifier();
    if (bundleID && !bundleID->empty()) NANOSetString(&bundle, B::kAppId, *bundleID);
  }
}
