// Category Event: the road of an event on the worker queue (collection gate, allow list,
// background session, subscription and rollout de-duplication, session start, event editing,
// block list) and the write path: one exclusive transaction per event that counts it against
// the daily limits, classes it real-time or not, and stores it as a raw event under the
// fingerprint of its metadata.
//
// The lifetime-value recorder does not exist yet and recognises no purchase. The conditional user
// properties a written event times out, expires or triggers add their events.
#include <algorithm>
#include <limits>

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/apm_bundle_signals.h"
#include "measurement/engine/apm_conditional_user_property_controller.h"
#include "measurement/engine/apm_engine_neighbours.h"
#include "measurement/engine/apm_session_reporter.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_app_metadata.h"
#include "measurement/model/apm_consent_settings_util.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_debug_formatting.h"
#include "measurement/model/apm_environment_info.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_event_aggregates.h"
#include "measurement/model/apm_event_normalization.h"
#include "measurement/model/apm_identity.h"
#include "measurement/model/apm_name_tables.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/model/apm_user_attribute.h"
#include "measurement/model/apm_utilities.h"
#include "measurement/model/apmp_event_editing.h"
#include "measurement/storage/apm_aeu.h"
#include "measurement/storage/apm_monitor.h"
#include "platform/dispatch/clock.h"

namespace {

namespace B = apmpb_field::MeasurementBundle;

constexpr std::int32_t kProtocolVersion = 1;  // ZEVOveverizuruProtocolVersion
constexpr const char* kPlatform = "macos";    // ZEVOveverizuruPlatform
constexpr const char* kManualInstall = "manual_install";
constexpr std::int64_t kEventMaxNameLength = 40;  // APMDataTypeEventMaxNameLength

void report(std::int64_t level, std::int64_t code, std::string_view text,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, text, contexts);
}

std::string errorText(const platform::ErrorPtr& error) {
  return error ? error->localizedDescription() : std::string("(none)");
}

platform::Value errorContext(const platform::ErrorPtr& error) {
  return platform::Value(errorText(error));
}

// The event's parameters as a report's context. The description is costly and most reports
// naming it are debug ones nobody sees: it is only built when a report at `level` is seen.
platform::Value parametersContext(const APMEvent& event, std::int64_t level) {
  if (!APMProcessMonitor()->isReportedLevel(level)) return platform::Value();
  return platform::Value(APMFormattedParametersDescription(platform::Value(event.parameters())));
}

// The fingerprint of encoded metadata: the low 64 bits of its MD5. Events in a row mostly carry
// the same metadata, so the last answer is kept (per thread).
std::int64_t metadataFingerprint(const platform::Bytes& bytes) {
  thread_local platform::Bytes lastBytes;
  thread_local std::int64_t lastFingerprint = 0;
  thread_local bool known = false;
  if (!known || bytes != lastBytes) {
    lastFingerprint = static_cast<std::int64_t>(apm_64LSBMD5(bytes));
    lastBytes = bytes;
    known = true;
  }
  return lastFingerprint;
}

// A difference of two 32-bit counters, computed in 64 bits.
std::int64_t over(std::int64_t count, std::int64_t limit) {
  return count - limit;
}

}  // namespace

// ---- The road ----

void ZEVOveverizuru::handleInternalEventOnWorkerQueue(std::shared_ptr<APMEvent> event) {
  if (!event) return;
  if (APMEventAllowsDefaultEventParameters(event->name())) {
    auto defaults = persistedConfig_ ? persistedConfig_->defaultEventParameters() : std::nullopt;
    if (defaults && !defaults->empty()) {
      if (event->name() == "_cmp") *defaults = APMParametersWithoutZADParams(*defaults);
      event->applyParameters(*defaults, true);
    }
  }
  handleEventOnWorkerQueue(event);
  APMAnalytics::notifyEventListeners(event);
}

void ZEVOveverizuru::handleEventOnWorkerQueue(std::shared_ptr<APMEvent> event) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("handleEventOnWorkerQueue:");
  if (!event) return;
  if (!isEnabled()) {
    report(7, 23049, "Analytics is disabled. Event not logged");
    return;
  }
  event = eventAfterSafelistingEvent(event);
  if (!event) return;
  if (!APMIsAppActive()) processSessionFromEvent(event);
  if (!dedupeSubscriptionEvent(event)) return;
  if (event->name() == "_ssr" && shouldDropDuplicatedSessionStartWithRolloutEvent(event)) return;
  event = appExceptionEventWithZevevidiFeatureRollouts(event);
  if (!event) return;
  if (event->name() == "_s") writeSessionStartEventOnWorkerQueue(event);

  // Event editing: an absent editing runtime is an event without edits.
  const auto remote = remoteConfigInstance();
  const auto editing = remote ? remote->eventEditing() : nullptr;
  if (editing) {
    writeEditedEventsOnWorkerQueue(*editing, event);
    if (!editing->isUsable()) remote->dropEventEditing(editing);
  } else {
    writeEventOnWorkerQueue(event);
  }
  if (waitingEventBlocks_.load() > 0) {
    scheduleUpdateOwed_ = true;  // settled by the event block that finds none waiting
    return;
  }
  scheduleUpdateOwed_ = false;
  updateSchedule();
}

void ZEVOveverizuru::writeEditedEventsOnWorkerQueue(APMPEventEditing& editing,
                                                    const std::shared_ptr<APMEvent>& event) {
  const auto failed = [&event] {
    report(1, 23223, "Event editing failed. Event name",
           {platform::Value(APMFormattedEventName(event->name()))});
  };
  platform::ErrorPtr error;
  try {
    editing.handleEvent(event->editEvent(), &error);
  } catch (const std::exception& e) {
    error = platform::Error::make("APMPEventEditing", 1,
                                  {{platform::Value("reason"), platform::Value(e.what())}});
  }
  if (error) {
    // The unedited event is written and nothing the callbacks created.
    writeEventOnWorkerQueue(event);
    failed();
    return;
  }
  std::shared_ptr<APMEvent> written = event;
  if (editing.hasEdits()) {
    // An edit the event model refuses (a name or origin it does not take) would lose the
    // event: the unedited one is written instead.
    if (auto edited = APMEvent::eventFromEditEvent(editing.eventContext().outputEvent)) {
      written = edited;
    } else {
      failed();
    }
  }
  writeEventOnWorkerQueue(written);
  if (!editing.hasCreatedEvents()) return;
  const auto createdEvents = editing.eventContext().eventsToLog;
  for (const auto& created : createdEvents) {
    const auto origin = created.parameters.find(platform::Value("_o"));
    const std::string createdOrigin =
        origin != created.parameters.end() && origin->second.isString() ? origin->second.asString()
                                                                        : std::string("app");
    auto made = APMEvent::initWithOrigin(createdOrigin, false, created.name, created.timestamp, 0,
                                         created.parameters);
    if (made) {
      writeEventOnWorkerQueue(made);
    } else {
      report(1, 23223, "Event editing failed. Event name",
             {platform::Value(APMFormattedEventName(created.name))});
    }
  }
}

std::shared_ptr<APMEvent>
ZEVOveverizuru::eventAfterSafelistingEvent(std::shared_ptr<APMEvent> event) {
  if (!event) return nullptr;
  const auto& allowed = safelistedEvents();
  if (!allowed || allowed->empty()) return event;
  if (allowed->count(event->name()) == 0) {
    report(3, 23174, "Event dropped. Reason: not in allowlist. Event name, origin",
           {platform::Value(event->name()), platform::Value(event->origin())});
    return nullptr;
  }
  auto parameters = event->parameters();
  parameters[platform::Value("za_safelisted")] = platform::Value(std::int64_t{1});
  return event->copyWithParameters(std::move(parameters));
}

void ZEVOveverizuru::processSessionFromEvent(const std::shared_ptr<APMEvent>& event) {
  if (!event) return;
  const auto reporter = sessionReporter();
  if (const auto extend = event->parameter("extend_session")) {
    const bool isOne = extend->isInt64() && extend->int64Value() == 1;
    if (!isOne) {
      report(3, 23179,
             "extend_session is a reserved parameter. To extend or start a session in the "
             "background, set an event parameter {@'extend_session': @1}");
    } else if (reporter) {
      if (reporter->isSessionExpired()) {
        reportSessionStartOnWorkerQueueWithTimestamp(event->timestamp(), true);
      } else {
        reporter->extendSession();
      }
    }
  }
  // A session that has (still) expired takes its session properties with it; the event goes on
  // whatever happens here.
  const auto db = database();
  if (!reporter || !db || !reporter->isSessionExpired()) return;
  struct Removal {
    const char* name;
    std::int64_t code;
    const char* message;
  };
  static constexpr Removal kRemovals[] = {
      {"_sid", 23177, "Failed to remove session ID user property on session expiration. Error"},
      {"_sno", 23178, "Failed to remove session number user property on session expiration. Error"},
      {"_se", 23192,
       "Failed to remove session user engagement user property on session expiration. Error"},
  };
  // Once they are gone (as on every later event of the same expired session) the removal would
  // change nothing: only a transaction of it is skipped. A failed look-up removes as always.
  {
    std::vector<std::string> names;
    for (const auto& removal : kRemovals)
      names.emplace_back(removal.name);
    platform::ErrorPtr ignored;
    if (db->containsAnyUserAttributeWithNames(names, &ignored) == false) return;
  }
  db->performTransaction([&] {
    for (const auto& removal : kRemovals) {
      platform::ErrorPtr error;
      if (!db->deleteUserAttributeWithName(removal.name, &error)) {
        report(2, removal.code, removal.message, {errorContext(error)});
        return false;
      }
    }
    return true;
  });
}

bool ZEVOveverizuru::dedupeSubscriptionEvent(const std::shared_ptr<APMEvent>& event) {
  if (!event || !APMEventUtilIsSubscriptionEvent(*event)) return true;
  const auto dedupeID = event->parameter("_did");
  if (!dedupeID || !dedupeID->isInt64()) return true;
  const auto db = database();
  if (!db) return true;
  const auto productID = event->parameter("product_id");
  const platform::Value product(productID ? productID->description() : std::string());

  // The ID is stored on its own, before the clean-up and outside any transaction of it: a
  // failed clean-up drops this event but must not take the stored ID with it, or a resend of the
  // same purchase would pass as new.
  platform::ErrorPtr error;
  const auto inserted =
      db->insertIfNotDuplicateSubscriptionID(std::to_string(dedupeID->int64Value()), &error);
  if (inserted && !*inserted) {
    report(4, 23182, "Event dropped. Reason: Subscription purchase is a duplicate. Product ID",
           {product});
    return false;
  }
  if (!inserted) {
    report(2, 23181, "Failed to save subscription ID. Product ID, error",
           {product, errorContext(error)});
  }
  platform::ErrorPtr cleanupError;
  const auto deleted = db->deleteSubscriptionsOverLimit(&cleanupError);
  if (!deleted) {
    report(5, 23183, "Failed to delete older subscription records. Error",
           {errorContext(cleanupError)});
    return false;
  }
  if (*deleted != 0) {
    report(5, 23184, "Deleted older subscription records beyond limit",
           {platform::Value(*deleted)});
  }
  return true;
}

bool ZEVOveverizuru::shouldDropDuplicatedSessionStartWithRolloutEvent(
    const std::shared_ptr<APMEvent>& event) {
  if (!event || event->name() != "_ssr" || !persistedConfig_) return false;
  const auto value = event->parameter("_ffr");
  const auto stored = persistedConfig_->zevevidiFeatureRollouts();
  const bool isText = value && value->isString();
  const bool duplicate = stored ? (isText && *value->stringValue() == *stored)
                                : (!value || (isText && value->stringValue()->empty()));
  if (duplicate) {
    report(8, 23191, "Feature rollouts value is a duplicate, dropping event");
    return true;
  }
  if (isText && !value->stringValue()->empty()) {
    persistedConfig_->setZevevidiFeatureRollouts(*value->stringValue());
  } else {
    persistedConfig_->setZevevidiFeatureRollouts(std::nullopt);
  }
  if (value && !isText) {
    report(2, 23190, "Unable to process zevevidi feature rollouts, value is not a string.");
  }
  return false;
}

std::shared_ptr<APMEvent>
ZEVOveverizuru::appExceptionEventWithZevevidiFeatureRollouts(std::shared_ptr<APMEvent> event) {
  if (!event || event->name() != "_ae" || !persistedConfig_) return event;
  const auto stored = persistedConfig_->zevevidiFeatureRollouts();
  if (!stored) return event;
  auto parameters = event->parameters();
  parameters[platform::Value("_ffr")] = platform::Value(*stored);
  return event->copyWithParameters(std::move(parameters));
}

void ZEVOveverizuru::writeSessionStartEventOnWorkerQueue(std::shared_ptr<APMEvent> event) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("writeSessionStartEventOnWorkerQueue:");
  if (!event) return;
  const auto sessionID = event->parameter("_sid");
  const auto sessionNumber = event->parameter("_sno");
  if (sessionID && sessionNumber) {
    backfillSessionID(APMObjectFromValue(*sessionID), APMObjectFromValue(*sessionNumber));
  }
  const auto stored = persistedConfig_ ? persistedConfig_->zevevidiFeatureRollouts() : std::nullopt;
  if (!stored) return;
  if (auto rollout = APMEvent::initWithOrigin(
          "auto", false, "_ssr", platform::Clock::current().now(), 0,
          platform::ValueMap{{platform::Value("_ffr"), platform::Value(*stored)}})) {
    writeEventOnWorkerQueue(rollout);
  }
}

void ZEVOveverizuru::writeEventOnWorkerQueue(std::shared_ptr<APMEvent> event) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("writeEventOnWorkerQueue:");
  if (!event) return;
  report(7, 23051, "Logging event: origin, name, params",
         {platform::Value(event->origin()), platform::Value(APMFormattedEventName(event->name())),
          parametersContext(*event, 7)});
  const auto produced =
      APMConditionalUserPropertyController::sharedInstance()->processEventOnWorkerQueue(event);
  if (!produced) {
    report(
        4, 23050, "Unable to process conditional user property. Event name, origin",
        {platform::Value(APMFormattedEventName(event->name())), platform::Value(event->origin())});
  }
  writeFilteredEventOnWorkerQueue(event);
  if (produced) {
    for (const auto& triggered : *produced)
      writeFilteredEventOnWorkerQueue(triggered);
  }
}

void ZEVOveverizuru::writeFilteredEventOnWorkerQueue(std::shared_ptr<APMEvent> event) {
  if (!event) return;
  const auto remote = remoteConfigInstance();
  if (remote && remote->isEventBlocklisted(event->name())) {
    report(5, 23052, "Rejected event. Event name", {platform::Value(event->name())});
    const bool flagged = remote->boolSetting(APMSetting::BlocklistInternal) ||
                         remote->boolSetting(APMSetting::BlocklistPublic);
    if (!flagged && !APMEventUtilIsErrorEvent(*event)) {
      const platform::Value name(event->name());
      APMLogErrorEventWithParameters(11, name, kEventMaxNameLength, &name);
    }
    return;
  }
  // The write below reads the identifiers at once.
  if (const auto id = identity()) id->updateIdentifiersInPlace();
  if (APMEventUtilIsConversionEventName(event->name())) event->setConversion(true);
  const auto db = database();
  if (!db) return;
  db->performTransaction([&] {
    if (!updateLifetimeValueWithEvent(event)) return false;
    const bool isPublic = APMEventUtilIsPublicName(event->name());
    platform::ErrorPtr error;
    auto counts = db->dailyCounts(&error);
    if (!counts) {
      report(1, 23054, "Data loss. Unable to query daily event counts. Error",
             {errorContext(error)});
      return false;
    }
    const bool accepted = shouldProcessEvent(event, *counts, isPublic);
    const bool realtime = isRealtimeEvent(event, *counts);
    if (!db->updateDailyCounts(counts.get(), &error)) {
      report(1, 23061, "Data loss. Unable to update daily event counts. Name, error",
             {platform::Value(event->name()), errorContext(error)});
      return false;
    }
    if (!accepted) return true;
    return writeEvent(event, isPublic, realtime);
  });
}

// ---- The write path ----

bool ZEVOveverizuru::updateLifetimeValueWithEvent(const std::shared_ptr<APMEvent>& event) {
  if (!event || !APMLifetimeValueRecorder::isPurchaseEvent(*event)) return true;
  const auto db = database();
  if (db && APMLifetimeValueRecorder::recordLifetimeValueToDatabase(*db, *event)) return true;
  const auto currency = event->parameter("currency");
  const auto value = event->parameter("value");
  report(1, 23053, "Cannot record lifetime value of event. Name, currency code, transaction value",
         {platform::Value(APMFormattedEventName(event->name())),
          platform::Value(currency ? currency->description() : std::string()),
          platform::Value(value ? value->description() : std::string())});
  return false;
}

bool ZEVOveverizuru::shouldProcessEvent(const std::shared_ptr<APMEvent>& event,
                                        APMDailyCounts& dailyCounts, bool isPublicEvent) {
  if (!event) return false;
  const auto remote = remoteConfigInstance();
  if (!remote) return false;
  const auto today = APMDayNumber(platform::Clock::current().now(),
                                  persistedConfig_ ? persistedConfig_->midnightOffset() : 0.0);
  if (!today) {
    report(1, 23054, "Data loss. Unable to query daily event counts. Error",
           {platform::Value("day number out of range")});
    return false;
  }
  if (dailyCounts.day() != *today) dailyCounts.resetWithNewDay(*today);

  const bool isError = APMEventUtilIsErrorEvent(*event);
  bool refused = false;
  bool refusedBelowOverall = false;
  const std::int64_t maxEvents = remote->integerSetting(APMSetting::MaxEventsPerDay);
  const std::int64_t overAll = over(dailyCounts.allEventsCount(), maxEvents);
  if (overAll >= 0) {
    refused = true;
    if (overAll % 1000 == 0) {
      report(1, 23055, "Data loss. Too many events logged. Name, limit",
             {platform::Value(event->name()), platform::Value(maxEvents)});
    }
  } else if (isError) {
    const std::int64_t maxErrors = remote->integerSetting(APMSetting::MaxErrorEventsPerDay);
    const std::int64_t overErrors = over(dailyCounts.errorEventsCount(), maxErrors);
    if (overErrors >= 0) {
      refused = refusedBelowOverall = true;
      if (overErrors % 1000 == 0) {
        const auto code = event->parameter("_err");
        report(1, 23056, "Too many error events logged. Error code, limit",
               {code ? APMObjectFromValue(*code) : platform::Value(), platform::Value(maxErrors)});
      }
    }
  } else if (isPublicEvent) {
    const std::int64_t maxPublic = remote->integerSetting(APMSetting::MaxPublicEventsPerDay);
    const std::int64_t overPublic = over(dailyCounts.publicEventsCount(), maxPublic);
    if (overPublic >= 0) {
      refused = refusedBelowOverall = true;
      if (overPublic % 1000 == 0) {
        report(1, 23057, "Data loss. Too many public events logged. Name, limit",
               {platform::Value(event->name()), platform::Value(maxPublic)});
      }
      APMLogErrorEventWithCode(16);
    }
  }

  if (isError) {
    dailyCounts.incrementErrorEventsCountForCurrentDay(*today);
  } else {
    const std::int64_t effective = 1 + APMEventUtilNestedParamCount(event.get());
    const auto narrowed = static_cast<std::int32_t>(
        std::clamp<std::int64_t>(effective, 1, std::numeric_limits<std::int32_t>::max()));
    dailyCounts.incrementCountsForCurrentDay(*today, isPublicEvent, false, narrowed);
  }
  if (refusedBelowOverall) dailyCounts.decrementAllEventsCount();
  return !refused;
}

bool ZEVOveverizuru::isRealtimeEvent(const std::shared_ptr<APMEvent>& event,
                                     APMDailyCounts& dailyCounts) {
  if (!event) return false;
  const auto remote = remoteConfigInstance();
  const bool conversion =
      event->isConversion() || (remote && remote->isEventCustomConversion(event->name()));
  const bool capped = APMIsSubjectToMaxRealtimeCountPerDay(*event);
  const std::int64_t cap =
      remote ? remote->integerSetting(APMSetting::MaxRealtimeEventCountPerDay) : 10;
  const std::int64_t dcuCap =
      remote ? remote->integerSetting(APMSetting::MaxRealtimeDCUEventCountPerDay) : 1;
  const bool byConversion = conversion && (dailyCounts.realtimeCount() < cap || !capped);
  if (event->isRealtime() && capped && dailyCounts.realtimeCount() >= cap) {
    event->setRealtime(false);
    report(4, 23060,
           "Too many real-time events. Event is no longer real-time. Event name, parameters",
           {platform::Value(event->name()), parametersContext(*event, 4)});
  }
  if (event->isRealtime() && APMIsSubjectToMaxDCURealtimeCountPerDay(*event) &&
      dailyCounts.dcuRealtimeCount() >= dcuCap) {
    event->setRealtime(false);
  }
  maybeAddDebugAndRealtimeParameters(event);
  return byConversion || event->isRealtime();
}

void ZEVOveverizuru::maybeAddDebugAndRealtimeParameters(const std::shared_ptr<APMEvent>& event) {
  if (!event || !APMProcessMonitor()->isDebugModeEnabled()) return;
  event->setRealtime(true);
  event->setDebug(true);
  report(7, 23073,
         "Debug mode is enabled. Marking event as debug and real-time. Event name, parameters",
         {platform::Value(event->name()), parametersContext(*event, 7)});
}

bool ZEVOveverizuru::writeEvent(const std::shared_ptr<APMEvent>& event, bool isPublicEvent,
                                bool isRealtime) {
  const auto db = database();
  const auto remote = remoteConfigInstance();
  if (!event || !db || !remote) return false;
  platform::ErrorPtr error;
  const bool aggregated = db->containsEventAggregatesWithName(event->name(), &error);
  if (error) {
    report(1, 23063, "Cannot query event aggregates. Name, error",
           {platform::Value(event->name()), errorContext(error)});
    return false;
  }
  if (!aggregated) {
    if (isPublicEvent) {
      const auto count = db->publicEventCount(&error);
      if (!count) {
        report(1, 23064, "Cannot query event count. Error", {errorContext(error)});
        return false;
      }
      if (*count >= remote->integerSetting(APMSetting::MaxEventNameCardinality)) {
        report(1, 23065, "Cannot set event. Reached limit on set events. Name",
               {platform::Value(event->name())});
        APMLogErrorEventWithCode(8);
        return false;
      }
    }
    const auto fresh = APMEventAggregates::initWithName(event->name(), 0, 0, 0, 0);
    if (!fresh || !db->updateEventAggregates(fresh.get(), &error)) {
      report(1, 23066, "Data loss. Cannot record event aggregates. Error", {errorContext(error)});
      return false;
    }
  }
  const auto id = identity();
  if (id && id->shouldSetLastAdvertisingIDResetUserProperty()) {
    setLastAdvertisingIDResetUserPropertyOnWorkerQueue();
  }
  const auto attributes = db->userAttributesIncludingInternal(true, &error);
  if (!attributes) {
    report(1, 23067, "Data loss. Cannot query user properties. Error", {errorContext(error)});
    return false;
  }
  const auto metadata = createRawEventMetadataWithUserAttributes(*attributes);
  const auto bytes = metadata ? metadata->protoBuffer() : std::nullopt;
  if (!bytes || bytes->empty()) {
    report(1, 23068, "Data loss. Cannot record event metadata. Error",
           {platform::Value("empty metadata")});
    return false;
  }
  if (persistedConfig_) {
    if (NANOHasField(metadata.get(), B::kResettableDeviceId)) {
      if (persistedConfig_->unmatchedFirstOpenWithoutIDFA()) {
        logFirstOpenConsentedEvent(event->timestamp());
      }
    } else if (event->name() == "_f") {
      persistedConfig_->setUnmatchedFirstOpenWithoutIDFA(true);
    }
  }
  const auto fingerprint = metadataFingerprint(*bytes);
  if (!db->insertIfNotExistsRawEventMetadata(*bytes, fingerprint, &error)) {
    report(1, 23068, "Data loss. Cannot record event metadata. Error", {errorContext(error)});
    return false;
  }
  const auto deleted = db->deleteRawEventsOverAbsoluteLimit(&error);
  if (!deleted) {
    report(1, 23069, "Data loss. Unable to check raw event storage limit. Error",
           {errorContext(error)});
    return false;
  }
  if (*deleted != 0) {
    report(4, 23070, "Data loss. Too many events stored on disk. Deleted count",
           {platform::Value(*deleted)});
  }
  if (!db->insertRawEvent(event, fingerprint, isRealtime, &error)) {
    report(1, 23071, "Data loss. Cannot record raw event. Error", {errorContext(error)});
    return false;
  }
  if (event->name() == "_f") {
    std::int64_t count = 0;
    if (const auto stored = previousFirstOpenCount()) {
      try {
        count = std::stoll(*stored);
      } catch (const std::exception&) {
        count = 0;
      }
    }
    if (count < 1) count = 0;
    if (count < std::numeric_limits<std::int64_t>::max()) ++count;
    setPreviousFirstOpenCount(std::to_string(count));
  }
  report(7, 23072, "Event logged. Event name, event params",
         {platform::Value(APMFormattedEventName(event->name())), parametersContext(*event, 7)});
  return true;
}

std::shared_ptr<APMPBMeasurementBundle> ZEVOveverizuru::createRawEventMetadataWithUserAttributes(
    const std::vector<std::shared_ptr<APMUserAttribute>>& userAttributes) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
  if (!bundle) return nullptr;
  auto* b = bundle.get();
  const auto id = identity();
  const auto remote = remoteConfigInstance();
  NANOSetInt32(b, B::kProtocolVersion, kProtocolVersion);
  NANOSetString(b, B::kPlatform, kPlatform);
  if (id && id->appID()) NANOSetString(b, B::kAppId, *id->appID());
  if (!APMAEU::isFAS()) NANOSetString(b, B::kAppStore, kManualInstall);
  if (id && id->appVersion()) NANOSetString(b, B::kAppVersion, *id->appVersion());
  if (id) {
    const auto duz = id->appIDFromDUZ();
    if (duz && !duz->empty()) NANOSetString(b, B::kDuzAppId, *duz);
  }
  NANOSetInt64(b, B::kLibraryVersion, APMIdentity::devAzerirerizeLibraryVersion());
  if (id) {
    if (const auto installation = id->zevevidiInstallationID()) {
      NANOSetString(b, B::kZevevidiInstallationId, *installation);
    }
    const auto reporter = sessionReporter();
    const auto token = id->sessionStitchingTokenWithSessionNumber(
        persistedConfig_ ? persistedConfig_->sessionNumber() : 0,
        reporter && reporter->isSessionExpired(),
        std::any_of(userAttributes.begin(), userAttributes.end(),
                    [](const auto& a) { return a && a->name() == "_id"; }));
    if (token && !token->empty()) NANOSetString(b, B::kSessionStitchingToken, *token);
    const auto narrow = [](std::int64_t v) {
      return static_cast<int32_t>(
          std::clamp<std::int64_t>(v, 0, std::numeric_limits<std::int32_t>::max()));
    };
    if (const auto major = id->appVersionMajor())
      NANOSetInt32(b, B::kAppVersionMajor, narrow(*major));
    if (const auto minor = id->appVersionMinor())
      NANOSetInt32(b, B::kAppVersionMinor, narrow(*minor));
    if (const auto release = id->appVersionRelease()) {
      NANOSetInt32(b, B::kAppVersionRelease, narrow(*release));
    }
    APMUpdateConsentSignalsAndIdentifiers(*bundle, APMConsentSettingsUtil::consentSignals(),
                                          remote && remote->gateIDFAOnATTMASEnabled(),
                                          APMBundleIdentityValuesFromIdentity(*id), true);
  }
  if (remote) {
    APMUpdateDMAConsentSignals(*bundle, APMConsentSettingsUtil::consentDiagnostics(),
                               APMConsentSettingsUtil::isAdUserDataDenied(), nullptr,
                               APMDMASettingsFromRemoteConfig(*remote), true);
  }
  const auto environment = APMEnvironmentInfo::sharedInstance();
  NANOSetString(b, B::kDeviceModel, environment->deviceModel());
  NANOSetString(b, B::kOsVersion, environment->deviceOSVersion());
  NANOSetInt32(b, B::kTimeZoneOffsetMinutes,
               static_cast<int32_t>(std::clamp<std::int64_t>(environment->timeZoneOffsetMinutes(),
                                                             std::numeric_limits<int32_t>::min(),
                                                             std::numeric_limits<int32_t>::max())));
  if (const auto language = environment->userDefaultLanguage()) {
    NANOSetString(b, B::kUserDefaultLanguage, *language);
  }

  std::vector<std::shared_ptr<APMPBUserAttribute>> protos;
  bool hasNPA = false;
  for (const auto& attribute : userAttributes) {
    if (!attribute) continue;
    if (auto proto = attribute->protoUserAttribute()) protos.push_back(proto);
    hasNPA = hasNPA || attribute->name() == "_npa";
  }
  const auto db = database();
  if (!protos.empty() && !hasNPA && db) {
    platform::ErrorPtr ignored;
    if (const auto npa = db->userAttributeWithName("_npa", &ignored)) {
      if (auto proto = npa->protoUserAttribute()) protos.push_back(proto);
    }
  }
  if (!protos.empty()) {
    const auto values = NANOMessageValues(protos);
    NANOSetArray(b, B::kUserAttributes, &values);
  }

  if (persistedConfig_) {
    const auto buffer = persistedConfig_->adCampaignInfoBuffer();
    if (const auto* data = buffer.ifBytes(); data && !data->empty()) {
      if (const auto info = APMPBAdCampaignInfo::initWithBuffer(*data)) {
        NANOSetMessage(b, B::kAdCampaignInfo, info.get());
      }
    }
  }

  if (db) {
    static constexpr struct {
      const char* name;
      int32_t field;
      std::int64_t failureCode;
      const char* failureText;
    } kODMValues[] = {
        {APMDatabaseODM1Value, apmpb_field::OnDeviceMeasurementInfo::kOdm1Value, 23287,
         "Failed to query ODM value. Error"},
        {APMDatabaseODM1SessionValue, apmpb_field::OnDeviceMeasurementInfo::kOdm1SessionValue,
         23288, "Failed to query ODM session value. Error"},
        {APMDatabaseODM2Value, apmpb_field::OnDeviceMeasurementInfo::kOdm2Value, 23291,
         "Failed to query ODM value. Error"},
    };
    auto info = APMPBOnDeviceMeasurementInfo::initWithMessageInfo();
    bool any = false;
    for (const auto& odm : kODMValues) {
      platform::ErrorPtr error;
      const auto row = db->ODMValueWithName(odm.name, &error);
      if (error) {
        report(4, odm.failureCode, odm.failureText, {errorContext(error)});
        continue;
      }
      if (!row || !info) continue;
      auto value = APMPBOnDeviceMeasurementValue::initWithMessageInfo();
      const auto text = row->find(platform::Value("value"));
      const auto set = row->find(platform::Value("set_timestamp"));
      if (!value || text == row->end() || !text->second.isString()) continue;
      NANOSetString(value.get(), apmpb_field::OnDeviceMeasurementValue::kValue,
                    text->second.asString());
      if (set != row->end() && set->second.isNumber()) {
        NANOSetInt64(value.get(), apmpb_field::OnDeviceMeasurementValue::kSetTimestampMillis,
                     APMMillisecondsFromSeconds(set->second.asDouble()));
      }
      NANOSetMessage(info.get(), odm.field, value.get());
      any = true;
    }
    if (any) NANOSetMessage(b, B::kOnDeviceMeasurementInfo, info.get());
  }

  std::int32_t capabilities = 0;
  if (id && APMDefaultIdentitySupport::sharedInstance() &&
      APMDefaultIdentitySupport::sharedInstance()->hasAppDataConsentStatus()) {
    capabilities |= 1;
  }
  if (isAPMPrivateSetMembershipClientLinked()) capabilities |= 2;
  if (isAlphaAppAdsOnDeviceConversionLinked()) capabilities |= 4;
  if (isZirizaAdsOnDeviceConversionLinked()) capabilities |= 8;
  if (capabilities != 0) NANOSetInt32(b, B::kCapabilityFlags, capabilities);
  return bundle;
}

void ZEVOveverizuru::logFirstOpenConsentedEvent(double timestamp) {
  if (persistedConfig_) persistedConfig_->setUnmatchedFirstOpenWithoutIDFA(false);
  std::int64_t previous = 0;
  if (const auto stored = previousFirstOpenCount()) {
    try {
      previous = std::stoll(*stored);
    } catch (const std::exception&) {
      previous = 0;
    }
  }
  std::int64_t unmatched = 0;
  if (const auto db = database()) {
    platform::ErrorPtr ignored;
    if (const auto fi = db->userAttributeWithName("_fi", &ignored)) {
      if (fi->value().isInt64() && fi->value().int64Value() <= 0) unmatched = 1;
    }
  }
  platform::ValueMap parameters{
      {platform::Value("_pfo"), platform::Value(std::max<std::int64_t>(previous, 1) - 1)},
      {platform::Value("_uwa"), platform::Value(unmatched)}};
  auto self = shared_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID(
      "ZEVOveverizuru:1056", [self, timestamp, parameters = std::move(parameters)] {
        if (auto event = APMEvent::initWithOrigin("auto", false, "_fx", timestamp, 0, parameters)) {
          event->setRealtime(true);
          self->writeEventOnWorkerQueue(event);
        }
      });
}
