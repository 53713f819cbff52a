// Category Sampling: events of a name the configuration gives a sampling rate reach the server
// about once in `rate`; the kept ones carry "_sr" = rate and the first of each day in the
// account's time zone is kept whatever the roll ("_efs"). Runs inside the bundling transaction
// on the worker queue; the per-name state lives in the event aggregates.
#include <cmath>
#include <map>

#include "measurement/engine/zevoveverizuru.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_event_aggregates.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/storage/apm_monitor.h"
#include "platform/core/random.h"

namespace {

namespace E = apmpb_field::Event;
namespace P = apmpb_field::EventParam;

void report(std::int64_t level, std::int64_t code, std::string_view text,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, text, contexts);
}

platform::Value errorContext(const platform::ErrorPtr& error) {
  return platform::Value(error ? error->localizedDescription() : std::string("(none)"));
}

platform::ValueList paramsOf(const APMPBEvent& event) {
  return NANOGetArray(&event, E::kParams, APMPBEventParam::classObject())
      .value_or(platform::ValueList{});
}

bool addIntParam(APMPBEvent& event, const char* name, std::int64_t value) {
  auto param = APMPBEventParam::initWithMessageInfo();
  if (!param) return false;
  NANOSetString(param.get(), P::kName, name);
  NANOSetInt64(param.get(), P::kIntValue, value);
  auto params = paramsOf(event);
  params.emplace_back(platform::ObjectPtr(param));
  NANOSetArray(&event, E::kParams, &params);
  return true;
}

// The day number in the account's time zone; a bogus timestamp does not overflow.
std::int32_t dayNumber(double seconds, std::int64_t offsetMinutes) {
  const double day = std::trunc((seconds + static_cast<double>(offsetMinutes) * 60.0) / 86400.0);
  if (!std::isfinite(day)) return 0;
  if (day > 2147483647.0) return 2147483647;
  if (day < -2147483648.0) return -2147483647 - 1;
  return static_cast<std::int32_t>(day);
}

}  // namespace

void APMAddSamplingParam(APMPBEvent& event, std::int32_t rate) {
  if (APMHasProtoParameter(paramsOf(event), "_sr")) return;
  if (!addIntParam(event, "_sr", rate)) {
    report(2, 23153, "Failed to create sampling rate parameter");
  }
}

bool ZEVOveverizuru::canEventBeSampled(const APMPBEvent& event) {
  const auto remote = remoteConfigInstance();
  if (!remote || !remote->boolSetting(APMSetting::IsEventSamplingEnabled)) return false;
  const auto name = NANOGetString(&event, E::kName).value_or("");
  if (!remote->eventHasSamplingRate(name)) return false;
  if (remote->samplingRateForEvent(name) <= 1) {
    report(5, 23154, "Invalid sampling rate provided");
    return false;
  }
  return true;
}

bool ZEVOveverizuru::isEventBundledAfterRoll(std::int32_t rate) {
  if (rate <= 1) return true;
  return platform::randomUniform(static_cast<std::uint32_t>(rate)) == 0;
}

std::optional<std::vector<std::shared_ptr<APMPBEvent>>>
ZEVOveverizuru::sampleEvents(const std::vector<std::shared_ptr<APMPBEvent>>& events,
                             platform::ErrorPtr* error) {
  const auto db = database();
  const auto remote = remoteConfigInstance();
  if (!db || !remote) return std::nullopt;
  // 1.
  const auto all = db->allEventAggregates(error);
  if (!all) {
    report(1, 23157, "Unable to query all event aggregates for cache. error",
           {errorContext(error ? *error : nullptr)});
    return std::nullopt;
  }
  std::map<std::string, std::shared_ptr<APMEventAggregates>> table;
  for (const auto& aggregate : *all)
    table[aggregate->name()] = aggregate;
  const std::int64_t offset =
      remote->integerSetting(APMSetting::AnalyticsAccountTimeZoneOffsetMinutes);
  // 2.
  std::vector<std::shared_ptr<APMPBEvent>> kept;
  for (const auto& event : events) {
    const auto name = NANOGetString(event.get(), E::kName);
    if (!name || name->empty()) {
      report(2, 23155, "Dropping event at sampling. Event has no name");
      continue;
    }
    const auto found = table.find(*name);
    APMEventAggregates* agg = found == table.end() ? nullptr : found->second.get();
    const double t = static_cast<double>(NANOGetInt64(event.get(), E::kTimestampMillis)) / 1000.0;
    const std::int32_t d = dayNumber(t, offset);
    if (!canEventBeSampled(*event)) {
      if (agg) {
        agg->setLastBundledTimestamp(t);
        agg->setLastBundledDay(d);
      }
      kept.push_back(event);
      continue;
    }
    const std::int32_t rate = remote->samplingRateForEvent(*name);
    if (isEventBundledAfterRoll(rate)) {
      if (agg) {
        agg->setLastSamplingRate(rate);
        if (agg->lastSampledComplexEventID()) agg->setLastSampledComplexEventID(std::nullopt);
        agg->setLastBundledTimestamp(t);
        agg->setLastBundledDay(d);
      }
      APMAddSamplingParam(*event, rate);
      kept.push_back(event);
      continue;
    }
    std::int32_t last = agg ? agg->lastBundledDay() : 0;
    if (last == 0) {
      last = dayNumber(static_cast<double>(NANOGetInt64(event.get(), E::kPreviousTimestampMillis)) /
                           1000.0,
                       offset);
    }
    if (last == d) {
      if (agg) {
        for (const auto& value : paramsOf(*event)) {
          auto param = value.asObjectOf<APMPBEventParam>();
          if (param && NANOGetString(param.get(), P::kName) == "_eid") {
            agg->setLastSampledComplexEventID(NANOGetInt64(param.get(), P::kIntValue));
          }
        }
      }
    } else {
      if (agg) {
        agg->setLastBundledTimestamp(t);
        agg->setLastBundledDay(d);
      }
      APMAddSamplingParam(*event, rate);
      if (!APMHasProtoParameter(paramsOf(*event), "_efs") && !addIntParam(*event, "_efs", 1)) {
        report(2, 23158, "Failed to create exempt from sampling parameter");
      }
      if (agg) agg->setLastExemptFromSampling(true);
      kept.push_back(event);
    }
    if (agg) agg->setLastSamplingRate(rate);
  }
  // 3.
  for (const auto& [name, cached] : table) {
    platform::ErrorPtr readError;
    auto row = db->eventAggregatesWithName(name, &readError);
    if (!row) {
      report(1, 23151, "Unable to query event aggregates to update database. Name, error",
             {platform::Value(name), errorContext(readError)});
      if (error) *error = readError;
      return std::nullopt;
    }
    if (cached->lastBundledTimestamp() != 0) {
      row->setLastBundledTimestamp(cached->lastBundledTimestamp());
    }
    row->setLastSamplingRate(cached->lastSamplingRate());
    row->setLastSampledComplexEventID(cached->lastSampledComplexEventID());
    row->setLastExemptFromSampling(cached->lastExemptFromSampling());
    row->setLastBundledDay(cached->lastBundledDay());
    if (!db->updateEventAggregates(row.get(), &readError)) {
      report(1, 23152,
             "Failed to update event aggregates after removing removing events due to sampling. "
             "Error",
             {errorContext(readError)});
      if (error) *error = readError;
      return std::nullopt;
    }
  }
  return kept;
}
