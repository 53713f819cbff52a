// APMMonitoringSampledData: the health record of the measurement monitor. Of all monitorable
// reports offered since the record was started it keeps one, chosen uniformly at random, with
// the number offered; once a sample period has passed the record becomes a short text for an
// upload and starts afresh.
//
// Not thread-safe: the monitor touches it only on its serial monitor queue.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/core/value.h"

class APMMonitoringSampledData {
 public:
  // Keeps the array when it is a valid stored record, else starts with no record.
  explicit APMMonitoringSampledData(const platform::Value& array = {});

  // Offers one report: the first starts the record; later ones count, and each replaces the
  // kept report with probability 1/population.
  void insertOrUpdateSampledDataWithKey(const std::string& key, const std::string& encodedContext);
  // The text to upload once `samplePeriod` seconds have passed since the record was started
  // (the record is then dropped); "0:" when there was no record and the last dispatch lies more
  // than a period away; none otherwise.
  std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                       double lastSampledTimestamp);
  // The stored form [context, population, key, start date], or null when there is no record.
  platform::Value sampledData() const;

  // Exactly four elements: string, number (32-bit integer), string, date.
  static bool isValidUserDefaultsArrayEntry(const platform::Value& array);
  // "population:key:context", or "population:key" when the context is empty.
  static std::string monitoringURLParamWithKey(const std::string& key, std::int32_t population,
                                               const std::string& context);
  static platform::Value sampledDataEntryWithKey(const std::string& key, double timestamp,
                                                 const std::string& context,
                                                 std::int32_t population);

 private:
  struct Record {
    std::string context;
    std::int32_t population = 0;
    std::string key;
    double startTime = 0;
  };
  std::optional<Record> record_;
};
