#include "measurement/storage/apm_monitoring_sampled_data.h"

#include <cmath>
#include <limits>

#include "platform/core/random.h"
#include "platform/dispatch/clock.h"

APMMonitoringSampledData::APMMonitoringSampledData(const platform::Value& array) {
  if (!isValidUserDefaultsArrayEntry(array)) return;
  const auto& items = array.asList();
  record_ = Record{items[0].asString(), static_cast<std::int32_t>(items[1].asInt()),
                   items[2].asString(), items[3].asDate().secondsSince1970};
}

void APMMonitoringSampledData::insertOrUpdateSampledDataWithKey(const std::string& key,
                                                                const std::string& encodedContext) {
  if (!record_) {
    record_ = Record{encodedContext, 1, key, platform::Clock::current().now()};
    return;
  }
  // A stored population at the top of the range stays there rather than wrapping negative.
  if (record_->population < std::numeric_limits<std::int32_t>::max()) ++record_->population;
  if (platform::randomUniform(static_cast<std::uint32_t>(record_->population)) == 0) {
    record_->key = key;
    record_->context = encodedContext;
  }
}

std::optional<std::string>
APMMonitoringSampledData::monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                    double lastSampledTimestamp) {
  const double now = platform::Clock::current().now();
  if (record_) {
    if (record_->startTime < now - samplePeriod) {
      std::string text =
          monitoringURLParamWithKey(record_->key, record_->population, record_->context);
      record_.reset();
      return text;
    }
    return std::nullopt;
  }
  if (lastSampledTimestamp > 0 && std::fabs(lastSampledTimestamp - now) > samplePeriod) {
    return std::string("0:");
  }
  return std::nullopt;
}

platform::Value APMMonitoringSampledData::sampledData() const {
  if (!record_) return {};
  return sampledDataEntryWithKey(record_->key, record_->startTime, record_->context,
                                 record_->population);
}

bool APMMonitoringSampledData::isValidUserDefaultsArrayEntry(const platform::Value& array) {
  const platform::ValueList* items = array.ifList();
  if (!items || items->size() != 4) return false;
  const platform::Value& population = (*items)[1];
  const bool populationFits = population.isInt() &&
                              population.asInt() >= std::numeric_limits<std::int32_t>::min() &&
                              population.asInt() <= std::numeric_limits<std::int32_t>::max();
  return (*items)[0].isString() && populationFits && (*items)[2].isString() && (*items)[3].isDate();
}

std::string APMMonitoringSampledData::monitoringURLParamWithKey(const std::string& key,
                                                                std::int32_t population,
                                                                const std::string& context) {
  std::string text = std::to_string(population);
  text.append(":").append(key);
  if (!context.empty()) text.append(":").append(context);
  return text;
}

platform::Value APMMonitoringSampledData::sampledDataEntryWithKey(const std::string& key,
                                                                  double timestamp,
                                                                  const std::string& context,
                                                                  std::int32_t population) {
  return platform::Value::list({platform::Value(context), platform::Value(population),
                                platform::Value(key), platform::Value::date(timestamp)});
}
