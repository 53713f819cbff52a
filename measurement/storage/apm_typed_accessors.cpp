#include "measurement/storage/apm_typed_accessors.h"

#include "measurement/storage/apm_monitor.h"

std::optional<double> APMNumberValue(const platform::Value& value) {
  if (const auto* i = value.ifInt()) return static_cast<double>(*i);
  if (const auto* d = value.ifDouble()) return *d;
  if (const auto* b = value.ifBool()) return *b ? 1.0 : 0.0;
  return std::nullopt;
}

std::int64_t APMInt64Value(const platform::Value& value) {
  if (const auto* i = value.ifInt()) return *i;
  const auto number = APMNumberValue(value);
  return number ? APMSaturatingInt64(*number) : 0;
}
