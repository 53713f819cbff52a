// Small helpers the table-family files of APMDatabase share: reading typed columns of a row
// dictionary and making its values. Internal to measurement/model.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "measurement/model/apm_app_metadata.h"
#include "measurement/storage/apm_sqlite_store.h"
#include "platform/core/value.h"

namespace apm_database_rows {

// The column's value, or null when the row has no such column.
inline const platform::Value* column(const APMSqliteRecord& row, const char* name) {
  const auto found = row.find(platform::Value(name));
  return found == row.end() ? nullptr : &found->second;
}

// A present, non-NULL column.
inline const platform::Value* presentColumn(const APMSqliteRecord& row, const char* name) {
  const platform::Value* value = column(row, name);
  return value && !value->isNull() ? value : nullptr;
}

inline std::optional<std::int64_t> int64Column(const APMSqliteRecord& row, const char* name) {
  const platform::Value* value = presentColumn(row, name);
  if (!value) return std::nullopt;
  if (value->isInt()) return value->asInt();
  if (value->isDouble()) {
    const double number = value->asDouble();
    if (std::isfinite(number) && number == std::trunc(number) && number >= -9.2e18 &&
        number <= 9.2e18) {
      return static_cast<std::int64_t>(number);
    }
  }
  return std::nullopt;
}

inline std::optional<std::int32_t> int32Column(const APMSqliteRecord& row, const char* name) {
  const platform::Value* value = presentColumn(row, name);
  return value ? APMInt32FromValue(*value) : std::nullopt;
}

// A REAL column, or INTEGER where whole seconds were stored.
inline std::optional<double> doubleColumn(const APMSqliteRecord& row, const char* name) {
  const platform::Value* value = presentColumn(row, name);
  if (!value) return std::nullopt;
  if (value->isDouble()) return value->asDouble();
  if (value->isInt()) return static_cast<double>(value->asInt());
  return std::nullopt;
}

inline const std::string* stringColumn(const APMSqliteRecord& row, const char* name) {
  const platform::Value* value = presentColumn(row, name);
  return value ? value->ifString() : nullptr;
}

inline const platform::Bytes* bytesColumn(const APMSqliteRecord& row, const char* name) {
  const platform::Value* value = presentColumn(row, name);
  return value && value->isBytes() ? &value->asBytes() : nullptr;
}

inline platform::Value integer(std::int64_t value) {
  return platform::Value(value);
}

}  // namespace apm_database_rows
