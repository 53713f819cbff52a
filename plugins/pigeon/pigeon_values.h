// Value helpers of generated interfaces: nilOrValue, deep equality and hash, and the base classes
// of records and enumeration values carried in platform::Value. Pure functions; records are
// immutable once built and may be shared between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/core/value.h"

namespace pigeon {

// Null reads as no value.
inline std::optional<platform::Value> nilOrValue(const platform::Value& value) {
  if (value.isNull()) return std::nullopt;
  return value;
}

// Two absent values are equal, one absent value equals nothing; lists compare element by
// element, maps by count and key lookup; everything else by value (records by their fields).
bool deepEquals(const platform::Value& a, const platform::Value& b);
// Consistent with deepEquals: equal values hash alike.
std::size_t deepHash(const platform::Value& value);

// Base of every record: equality and hash come from the field list.
class PigeonRecord : public platform::Object {
 public:
  // The fields in declaration order; absent optional fields as null, nested records and
  // enumeration values as object values.
  virtual platform::ValueList toList() const = 0;

  bool isEqual(const platform::Object& other) const override;
  std::size_t hash() const override;
  std::string debugDescription() const override;
};

// An enumeration value inside platform::Value: the enumeration is identified by `E`.
template <class E> class EnumValue : public platform::Object {
 public:
  explicit EnumValue(E value) : value(value) {}
  bool isEqual(const platform::Object& other) const override {
    auto o = dynamic_cast<const EnumValue<E>*>(&other);
    return o && o->value == value;
  }
  std::size_t hash() const override { return std::hash<std::int64_t>()(rawValue()); }
  std::string debugDescription() const override {
    return "enum(" + std::to_string(rawValue()) + ")";
  }
  std::int64_t rawValue() const { return static_cast<std::int64_t>(value); }

  const E value;
};

template <class E> platform::Value enumValue(E value) {
  return platform::Value(std::make_shared<EnumValue<E>>(value));
}

// The enumeration value held by `value`, or none when it holds no value of `E`.
template <class E> std::optional<E> enumFromValue(const platform::Value& value) {
  if (auto e = value.asObjectOf<EnumValue<E>>()) return e->value;
  return std::nullopt;
}

}  // namespace pigeon
