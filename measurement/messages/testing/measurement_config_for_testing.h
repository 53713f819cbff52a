// Builds a measurement configuration for tests. Test-only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "measurement/messages/apmpb_wrappers.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"

// Replaces the remote settings of `config` with `pairs` (name, value), in order.
inline void
setMeasurementConfigSettings(APMPBMeasurementConfig* config,
                             const std::vector<std::pair<std::string, std::string>>& pairs) {
  std::vector<std::shared_ptr<APMPBSetting>> items;
  for (const auto& [key, value] : pairs) {
    auto item = APMPBSetting::initWithMessageInfo();
    NANOSetString(item.get(), apmpb_field::Setting::kName, key);
    NANOSetString(item.get(), apmpb_field::Setting::kValue, value);
    items.push_back(item);
  }
  const auto values = NANOMessageValues(items);
  NANOSetArray(config, apmpb_field::MeasurementConfig::kSettings, &values);
}

// A measurement configuration of `appID` (at `version`, when given) holding the remote settings
// `pairs` (name, value), in order.
inline std::shared_ptr<APMPBMeasurementConfig>
measurementConfigWithSettings(const std::string& appID, std::optional<std::int64_t> version,
                              const std::vector<std::pair<std::string, std::string>>& pairs) {
  auto config = APMPBMeasurementConfig::initWithMessageInfo();
  NANOSetString(config.get(), apmpb_field::MeasurementConfig::kAppId, appID);
  if (version) NANOSetInt64(config.get(), apmpb_field::MeasurementConfig::kVersion, *version);
  setMeasurementConfigSettings(config.get(), pairs);
  return config;
}
