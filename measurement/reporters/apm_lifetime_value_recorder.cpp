#include "measurement/reporters/apm_lifetime_value_recorder.h"

#include <cmath>
#include <string>

#include "measurement/model/apm_data_type_validator.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_debug_formatting.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/model/apm_user_attribute.h"
#include "measurement/storage/apm_monitor.h"
#include "platform/dispatch/clock.h"

namespace {

void report(std::int64_t level, std::int64_t code, std::string_view text,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, text, contexts);
}

platform::Value errorContext(const platform::ErrorPtr& error) {
  if (!error) return platform::Value();
  return platform::Value(error->domain + " " + std::to_string(error->code) + " " +
                         error->localizedDescription());
}

// The text's length in UTF-16 units, as the currency check counts it.
std::size_t utf16Length(const std::string& text) {
  std::size_t units = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if ((byte & 0xC0) == 0x80) continue;  // continuation byte
    units += byte >= 0xF0 ? 2 : 1;
  }
  return units;
}

std::string uppercased(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// Doubles at or past 2^63 (or below -2^63), and NaN, have no 64-bit value.
bool fitsInt64(double value) {
  return value >= -9223372036854775808.0 && value < 9223372036854775808.0;
}

}  // namespace

bool APMLifetimeValueRecorder::isPurchaseEvent(const APMEvent& event) {
  return event.name() == "_iap" || isEcommercePurchaseEvent(event);
}

bool APMLifetimeValueRecorder::isEcommercePurchaseEvent(const APMEvent& event) {
  const std::string& name = event.name();
  return name == "ecommerce_purchase" || name == "purchase" || name == "refund";
}

bool APMLifetimeValueRecorder::recordLifetimeValueToDatabase(APMDatabase& database,
                                                             const APMEvent& event) {
  if (!isPurchaseEvent(event)) return true;
  const auto currency = event.parameter("currency");
  const std::string* code = currency ? currency->stringValue() : nullptr;
  if (!code || utf16Length(*code) != 3) {
    report(1, 22000, "Cannot record transaction with invalid currency code",
           {currency ? currency->value() : platform::Value()});
    return true;
  }
  const auto value = event.parameter("value");
  // NaN passes no comparison, so it is caught here rather than cast below.
  if (!value || !(value->isDouble() || value->isInt64()) ||
      (value->isDouble() && std::isnan(value->doubleValue()))) {
    report(1, 22001, "Cannot record transaction with invalid transaction value",
           {value ? value->value() : platform::Value()});
    return true;
  }

  std::int64_t amount = 0;
  if (isEcommercePurchaseEvent(event)) {
    const double units =
        value->isDouble() ? value->doubleValue() : static_cast<double>(value->int64Value());
    const double micros = std::round(units * static_cast<double>(APMDataTypeMicrosMultiplier));
    if (!fitsInt64(micros)) {
      report(1, 22002, "Cannot record transaction with value that is out of bounds");
      return false;
    }
    amount = static_cast<std::int64_t>(micros);
    if (event.name() == "refund") {
      if (amount == INT64_MIN) {
        report(1, 22002, "Cannot record transaction with value that is out of bounds");
        return false;
      }
      amount = -amount;
    }
  } else if (value->isInt64()) {
    amount = value->int64Value();
  } else {
    const double truncated = std::trunc(value->doubleValue());
    if (!fitsInt64(truncated)) {
      report(1, 22002, "Cannot record transaction with value that is out of bounds");
      return false;
    }
    amount = static_cast<std::int64_t>(truncated);
  }

  const std::string name = "_ltv_" + uppercased(*code);
  platform::ErrorPtr error;
  const auto existing = database.allLifetimeValueUserAttributes(&error);
  if (!existing) {
    report(1, 22003, "Failed to query all Lifetime Value User properties. Error",
           {errorContext(error)});
    return false;
  }

  std::int64_t total = amount;
  bool found = false;
  for (const auto& attribute : *existing) {
    if (!attribute || attribute->name() != name) continue;
    found = true;
    if (__builtin_add_overflow(attribute->value().int64Value(), amount, &total)) {
      report(1, 22002, "Cannot record transaction with value that is out of bounds");
      return false;
    }
    break;
  }
  const auto attribute = APMUserAttribute::initWithOrigin("auto", name, APMValue(total),
                                                          platform::Clock::current().now());
  if (!attribute) {
    // A three-character code the property name refuses (not letters): nothing is recorded.
    report(1, 22000, "Cannot record transaction with invalid currency code",
           {platform::Value(*code)});
    return true;
  }
  if (!found) {
    const auto maxCurrencies =
        APMRemoteConfig::current()->integerSetting(APMSetting::MaxTrackedCurrencies);
    if (!existing->empty() && static_cast<std::int64_t>(existing->size()) >= maxCurrencies) {
      const auto& oldest = existing->back();
      platform::ErrorPtr deleteError;
      if (!database.deleteUserAttributeWithName(oldest->name(), &deleteError) && deleteError) {
        report(1, 22004, "Unable to delete Lifetime Value User property. Name, error",
               {platform::Value(APMFormattedUserPropertyName(oldest->name())),
                errorContext(deleteError)});
        return false;
      }
    }
  }

  platform::ErrorPtr writeError;
  if (!database.updateUserAttribute(attribute.get(), &writeError) && writeError) {
    report(1, 22005, "Unable to upsert Lifetime Value User Attribute in database. Name, error",
           {platform::Value(APMFormattedUserPropertyName(name)), errorContext(writeError)});
    return false;
  }
  report(7, 22006, "Lifetime value has been updated in database",
         {platform::Value(attribute->name() + "=" + attribute->value().description())});
  return true;
}
