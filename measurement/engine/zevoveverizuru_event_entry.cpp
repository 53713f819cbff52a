// How an event enters the core from the facade: the hand-off to the worker queue, the default
// event parameters (validated, limited, persisted, merged under the event's own keys), the
// interceptor and the listeners; the backfill of default parameters into raw events logged
// since launch, and of the session's ID and number into those logged since the session began.
#include <algorithm>
#include <map>

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/apm_session_reporter.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_data_type_validator.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_debug_formatting.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_event_normalization.h"
#include "measurement/model/apm_name_tables.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/model/apm_user_attribute.h"
#include "measurement/storage/apm_error.h"
#include "measurement/storage/apm_monitor.h"
#include "measurement/storage/apm_persisted_config.h"

namespace {

void report(std::int64_t level, std::int64_t code, std::string_view text,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, text, contexts);
}

// The stored event of a raw-event row (none when its message does not convert).
std::shared_ptr<APMEvent> storedEvent(const APMRawEventData& raw) {
  if (raw.event()) return raw.event();
  return raw.rawEvent() ? APMEvent::initWithEventProto(*raw.rawEvent()) : nullptr;
}

bool shouldSkipInterceptorAndListeners(const APMEvent& event) {
  return event.origin() == "am" || event.name() == "_xa" || event.name() == "_xu";
}

}  // namespace

void ZEVOveverizuru::logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                        const std::string& name,
                                        const platform::ValueMap& parameters, double timestamp,
                                        bool enabled, bool ignoreEnabled, bool ignoreInterceptor,
                                        Interceptor interceptor,
                                        const platform::ValueMap& addedScreenParameters) {
  // The block holds the core strongly: an event handed over is logged even when the facade
  // lets go of the core meanwhile.
  auto self = shared_from_this();
  ++waitingEventBlocks_;
  scheduler_->scheduleOnWorkerQueueBlockID(
      "ZEVOveverizuru:2476",
      [self, origin, isPublicEvent, name, parameters, timestamp, enabled, ignoreEnabled,
       ignoreInterceptor, interceptor = std::move(interceptor), addedScreenParameters] {
        --self->waitingEventBlocks_;
        self->logEventOnWorkerQueueWithOrigin(origin, isPublicEvent, name, parameters, timestamp,
                                              enabled, ignoreEnabled, ignoreInterceptor,
                                              interceptor, addedScreenParameters);
        // The schedule update an earlier event left to this one, also when this road ended early.
        if (self->scheduleUpdateOwed_ && self->waitingEventBlocks_.load() == 0) {
          self->scheduleUpdateOwed_ = false;
          self->updateSchedule();
        }
      });
}

void ZEVOveverizuru::logEventOnWorkerQueueWithOrigin(
    const std::string& origin, bool isPublicEvent, const std::string& name,
    const platform::ValueMap& parameters, double timestamp, bool enabled, bool ignoreEnabled,
    bool ignoreInterceptor, const Interceptor& interceptor,
    const platform::ValueMap& addedScreenParameters) {
  platform::ValueMap merged = parameters;
  if (!ignoreInterceptor && APMEventAllowsDefaultEventParameters(name)) {
    merged = parametersWithAddedDefaultEventParameters(parameters);
  }
  auto event = APMEvent::initWithOrigin(origin, isPublicEvent, name, timestamp, 0, merged);
  if (!event) {
    report(1, 23219, "Attempted to log nil event. Origin, name, parameters",
           {platform::Value(origin), platform::Value(APMFormattedEventName(name)),
            platform::Value(merged)});
    return;
  }
  if (!addedScreenParameters.empty()) event->addScreenParameters(addedScreenParameters);
  if ((!enabled && !ignoreEnabled) || shouldSkipInterceptorAndListeners(*event)) {
    logEventOnWorkerQueue(event, false);
    return;
  }
  if (!ignoreInterceptor && isPublicEvent && interceptor) {
    interceptor(event);
    return;
  }
  logEventOnWorkerQueue(event, true);
}

void ZEVOveverizuru::logEventOnWorkerQueue(std::shared_ptr<APMEvent> event,
                                           bool notifyEventListeners) {
  if (!event) return;
  // Without listeners there is no one to hand the copy to (one listener added meanwhile is told
  // of the events handled after it was added).
  if (!notifyEventListeners || !APMAnalytics::hasLogEventListeners()) {
    handleEventOnWorkerQueue(event);
    return;
  }
  const auto copy = event->copy();
  handleEventOnWorkerQueue(event);
  if (copy) APMAnalytics::notifyEventListeners(copy);
}

void ZEVOveverizuru::logEvent(std::shared_ptr<APMEvent> event) {
  if (!event) {
    report(4, 23048, "Attempted to log nil event");
    return;
  }
  postToWorkerQueue("ZEVOveverizuru:2582",
                    [event](ZEVOveverizuru& self) { self.handleEventOnWorkerQueue(event); });
}

void ZEVOveverizuru::setDefaultEventParameters(std::optional<platform::ValueMap> parameters) {
  postToWorkerQueue("ZEVOveverizuru:2590", [parameters](ZEVOveverizuru& self) {
    const bool backfill = self.shouldBackfillEvents();
    self.handleSetDefaultEventParametersOnWorkerQueue(parameters, backfill);
  });
}

void ZEVOveverizuru::handleSetDefaultEventParametersOnWorkerQueue(
    std::optional<platform::ValueMap> parameters, bool backfillEvents) {
  if (!persistedConfig_) return;
  platform::ValueMap merged;
  if (parameters)
    merged = persistedConfig_->defaultEventParameters().value_or(platform::ValueMap{});
  if (parameters) {
    for (const auto& [key, value] : *parameters) {
      if (!key.isString()) {
        report(4, 23212, "Invalid key in default event parameters. Parameter ignored.", {key});
      } else if (!value.isNull() && !value.isNumber() && !value.isString()) {
        report(4, 23213, "Invalid key in default event parameters. Parameter ignored.", {key});
        if (value.isList()) APMLogErrorEventWithCode(27);
        continue;
      }
      APMDataTypeValidator::Code failure = 0;
      if (!APMDataTypeValidator::isValidPublicEventParameterName(key, &failure)) {
        report(4, 23214, "Invalid default event parameter name. Name", {key});
        continue;
      }
      if (value.isNull()) {
        merged.erase(key);
        continue;
      }
      const auto apmValue = APMValue::valueFromObject(value);
      if (apmValue &&
          APMDataTypeValidator::isValidPublicEventParameterValue(&*apmValue, &failure)) {
        merged[key] = apmValue->value();
      }
    }
  }
  const auto remote = remoteConfigInstance();
  const std::int64_t limit = remote ? remote->maxPublicEventParams() : 100;
  if (static_cast<std::int64_t>(merged.size()) > limit) {
    APMEventTrimEventParameters(merged, limit);
    APMLogErrorEventWithCode(26);
    report(4, 23215,
           "Too many default event parameters set. Discarding beyond event parameter limit");
  }
  if (backfillEvents) {
    const double since = initTimestamp_;
    backfillEventsWithParameters(merged, true, [since](const APMRawEventData& raw) {
      const auto event = storedEvent(raw);
      return event && event->timestamp() >= since;
    });
    report(7, 23272, "Updating default event parameters with backfill. Parameters",
           {platform::Value(merged)});
  } else {
    report(7, 23216, "Updating default event parameters. Parameters", {platform::Value(merged)});
  }
  persistedConfig_->setDefaultEventParameters(merged);
}

platform::ValueMap
ZEVOveverizuru::parametersWithAddedDefaultEventParameters(const platform::ValueMap& parameters) {
  auto defaults = persistedConfig_ ? persistedConfig_->defaultEventParameters() : std::nullopt;
  if (!defaults || defaults->empty()) return parameters;
  platform::ValueMap merged = std::move(*defaults);
  for (const auto& [key, value] : parameters)
    merged[key] = value;
  return merged;
}

bool ZEVOveverizuru::shouldBackfillEvents() {
  const auto db = database();
  if (!db) return false;
  platform::ErrorPtr error;
  const auto events = db->allRawEventsWithError(&error);
  if (!events || events->empty()) return false;
  return std::none_of(events->begin(), events->end(), [this](const auto& raw) {
    const auto event = raw ? storedEvent(*raw) : nullptr;
    return event && event->timestamp() >= initTimestamp_ && event->origin().rfind("app", 0) == 0;
  });
}

void ZEVOveverizuru::backfillEventsWithParameters(
    const platform::ValueMap& parameters, bool isPublic,
    const std::function<bool(const APMRawEventData&)>& eventFilter) {
  if (parameters.empty()) return;
  const auto db = database();
  if (!db) return;
  platform::ErrorPtr error;
  const auto events = db->allRawEventsWithError(&error);
  if (!events) {
    report(1, 23270, "Unable to backfill events with default event parameters. Fetch failed. Error",
           {platform::Value(error ? error->localizedDescription() : std::string())});
    return;
  }
  std::int64_t failed = 0;
  platform::ErrorPtr lastError;
  for (const auto& raw : *events) {
    if (!raw || (eventFilter && !eventFilter(*raw))) continue;
    const auto event = storedEvent(*raw);
    if (!event) continue;
    event->applyParameters(parameters, isPublic);
    const auto updated =
        APMRawEventData::initWithEvent(event, raw->rowID(), raw->metadataFingerprint());
    platform::ErrorPtr updateError;
    if (!updated || !db->updateRawEvent(updated.get(), &updateError)) {
      ++failed;
      lastError = updateError;
    }
  }
  if (failed > 0) {
    report(1, 23271,
           "Unable to backfill some events with default event parameters. Update failed. Count, "
           "last error",
           {platform::Value(failed),
            platform::Value(lastError ? lastError->localizedDescription() : std::string())});
  }
}

// ---- Session backfill and the session ID ----

double ZEVOveverizuru::backfillStartTimestampForSessionID(const platform::Value& sessionID) {
  if (const auto db = database()) {
    platform::ErrorPtr error;
    if (const auto events = db->allRawEventsWithError(&error)) {
      for (const auto& raw : *events) {
        const auto event = raw ? storedEvent(*raw) : nullptr;
        if (event && event->name() == "_f") return event->timestamp();
      }
    }
  }
  // The session ID is the session's start in seconds.
  const double start = sessionID.isInt()      ? static_cast<double>(sessionID.asInt())
                       : sessionID.isDouble() ? sessionID.asDouble()
                                              : 0;
  return start - 15;
}

void ZEVOveverizuru::backfillSessionID(const platform::Value& sessionID,
                                       const platform::Value& sessionNumber) {
  const auto db = database();
  if (!db) return;
  const double start = backfillStartTimestampForSessionID(sessionID);
  // Whether each metadata row already names a session, looked up once per fingerprint.
  std::map<std::int64_t, bool> fingerprintHasSessionID;
  const auto metadataHasSessionID = [&](std::int64_t fingerprint) -> std::optional<bool> {
    if (const auto found = fingerprintHasSessionID.find(fingerprint);
        found != fingerprintHasSessionID.end())
      return found->second;
    platform::ErrorPtr error;
    const auto metadata = db->queryRawEventsMetadataWithFingerprint(fingerprint, &error);
    if (!metadata && error) {
      report(1, 23273, "Unable to backfill session ID. Fetch metadata failed. Error",
             {platform::Value(error->localizedDescription())});
      return std::nullopt;
    }
    bool has = false;
    if (metadata) {
      namespace B = apmpb_field::MeasurementBundle;
      namespace UA = apmpb_field::UserAttribute;
      if (const auto list =
              NANOGetArray(metadata.get(), B::kUserAttributes, APMPBUserAttribute::classObject())) {
        for (const auto& item : *list) {
          const auto attribute = item.asObjectOf<APMPBUserAttribute>();
          if (attribute && NANOGetString(attribute.get(), UA::kName) == "_sid") has = true;
        }
      }
    }
    fingerprintHasSessionID[fingerprint] = has;
    return has;
  };
  backfillEventsWithParameters(platform::ValueMap{{platform::Value("_sid"), sessionID},
                                                  {platform::Value("_sno"), sessionNumber}},
                               false, [&](const APMRawEventData& raw) {
                                 const auto event = storedEvent(raw);
                                 if (!event || event->timestamp() < start) return false;
                                 const auto has = metadataHasSessionID(raw.metadataFingerprint());
                                 return has && !*has;
                               });
}

void ZEVOveverizuru::backfillSessionNumber() {
  if (!persistedConfig_ || persistedConfig_->sessionNumber() != 0) return;
  const auto db = database();
  if (!db) return;
  platform::ErrorPtr error;
  const auto aggregates = db->eventAggregatesWithName("_s", &error);
  if (!aggregates) {
    if (error) {
      report(1, 23063, "Unable to query event aggregates. Name, error",
             {platform::Value("_s"), platform::Value(error->localizedDescription())});
    }
    return;
  }
  persistedConfig_->setSessionNumber(aggregates->lifetimeCount());
}

void ZEVOveverizuru::sessionIDWithCompletion(SessionIDCompletion completion) {
  if (!completion) return;
  std::weak_ptr<ZEVOveverizuru> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("ZEVOveverizuru:3360", [weak, completion] {
    const auto self = weak.lock();
    if (!self) {
      completion(0, apm_errorWithCode(13, "Analytics deallocated"));
      return;
    }
    if (!self->isEnabled()) {
      completion(0, apm_errorWithCode(13, "Analytics disabled"));
      return;
    }
    if (const auto reporter = self->sessionReporter(); reporter && reporter->isSessionExpired()) {
      completion(0, apm_errorWithCode(13, "Session expired"));
      return;
    }
    platform::ErrorPtr error;
    const auto db = self->database();
    const auto stored = db ? db->userAttributeWithName("_sid", &error) : nullptr;
    if (!stored || !stored->value().isInt64()) {
      completion(0, apm_errorWithCode(13, "Session ID not found"));
      return;
    }
    completion(stored->value().int64Value(), nullptr);
  });
}
