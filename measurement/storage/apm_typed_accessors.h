// Typed reads and writes shared by the measurement side's key-value stores (the preferences
// wrapper and the persistent dictionary), built on the store's own objectForKey / setObject.
// Reads are strict: a number (a boolean counts as 0 / 1) gives its value, anything else 0 /
// false; the kinded getters give the value only when it has that kind.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/core/value.h"

// The value of a number (a boolean counts as 0 / 1), else none.
std::optional<double> APMNumberValue(const platform::Value& value);
// An integer as stored, a double truncated and saturated, else 0.
std::int64_t APMInt64Value(const platform::Value& value);

template <class Store> class APMTypedAccessors {
 public:
  std::int64_t integerForKey(const platform::Value& key) const {
    return APMInt64Value(store().objectForKey(key));
  }
  float floatForKey(const platform::Value& key) const {
    return static_cast<float>(doubleForKey(key));
  }
  double doubleForKey(const platform::Value& key) const {
    return APMNumberValue(store().objectForKey(key)).value_or(0.0);
  }
  bool boolForKey(const platform::Value& key) const {
    return APMNumberValue(store().objectForKey(key)).value_or(0.0) != 0.0;
  }
  std::optional<std::string> stringForKey(const platform::Value& key) const {
    const platform::Value value = store().objectForKey(key);
    if (const auto* s = value.ifString()) return *s;
    return std::nullopt;
  }
  platform::Value numberForKey(const platform::Value& key) const {
    platform::Value value = store().objectForKey(key);
    return APMNumberValue(value) ? value : platform::Value();
  }
  std::optional<platform::ValueList> arrayForKey(const platform::Value& key) const {
    const platform::Value value = store().objectForKey(key);
    if (const auto* l = value.ifList()) return *l;
    return std::nullopt;
  }
  std::optional<platform::ValueMap> dictionaryForKey(const platform::Value& key) const {
    const platform::Value value = store().objectForKey(key);
    if (const auto* m = value.ifMap()) return *m;
    return std::nullopt;
  }

  bool setInteger(std::int64_t value, const platform::Value& key) {
    return store().setObject(platform::Value(value), key);
  }
  bool setFloat(float value, const platform::Value& key) {
    return store().setObject(platform::Value(value), key);
  }
  bool setDouble(double value, const platform::Value& key) {
    return store().setObject(platform::Value(value), key);
  }
  bool setBool(bool value, const platform::Value& key) {
    return store().setObject(platform::Value(value), key);
  }
  bool removeObjectForKey(const platform::Value& key) { return store().setObject({}, key); }

 private:
  const Store& store() const { return static_cast<const Store&>(*this); }
  Store& store() { return static_cast<Store&>(*this); }
};
