// Value helpers of generated interfaces: nilOrValue, deep equality and hash, and the base classes
// of records and enumeration values carried in platform::Value. Pure functions; records are
// immutable once built and may be shared between threads.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

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
  // Records of one class order by their field lists, so keys equal by content are one map key.
  std::strong_ordering compareObject(const platform::Object& other) const override;
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
  std::strong_ordering compareObject(const platform::Object& other) const override {
    auto o = dynamic_cast<const EnumValue<E>*>(&other);
    if (!o) return platform::Object::compareObject(other);
    return rawValue() <=> o->rawValue();
  }
  // Values of different enumerations order apart by their type.
  std::string className() const override { return std::string("enum ") + typeid(E).name(); }
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

// ---- Typed values on the wire ---------------------------------------------------------------
//
// wireValue(x) is what generated code writes for a field, argument or result of a C++ type:
// absent optionals and null records as null, records and enumeration values as objects, typed
// lists element by element. WireType<T>::from(value) reads one back: the T, or none when the
// value holds another kind (null included).

inline platform::Value wireValue(const platform::Value& v) {
  return v;
}
// Temporaries (a delegate's result) are moved, not copied.
inline platform::Value wireValue(platform::Value&& v) {
  return std::move(v);
}
inline platform::Value wireValue(const std::string& v) {
  return platform::Value(v);
}
inline platform::Value wireValue(std::string&& v) {
  return platform::Value(std::move(v));
}
inline platform::Value wireValue(bool v) {
  return platform::Value(v);
}
inline platform::Value wireValue(std::int64_t v) {
  return platform::Value(v);
}
inline platform::Value wireValue(double v) {
  return platform::Value(v);
}
inline platform::Value wireValue(const platform::ValueMap& v) {
  return platform::Value(v);
}
inline platform::Value wireValue(const platform::Bytes& v) {
  return platform::Value(v);
}
template <class E, std::enable_if_t<std::is_enum_v<E>, int> = 0> platform::Value wireValue(E v) {
  return enumValue(v);
}
template <class R, std::enable_if_t<std::is_base_of_v<platform::Object, R>, int> = 0>
platform::Value wireValue(const std::shared_ptr<R>& v) {
  return v ? platform::Value(platform::ObjectPtr(v)) : platform::Value();
}
template <class T> platform::Value wireValue(const std::optional<T>& v) {
  return v ? wireValue(*v) : platform::Value();
}
template <class T> platform::Value wireValue(std::optional<T>&& v) {
  return v ? wireValue(std::move(*v)) : platform::Value();
}
template <class T> platform::Value wireValue(const std::vector<T>& items) {
  platform::ValueList out;
  out.reserve(items.size());
  for (const auto& item : items)
    out.push_back(wireValue(item));
  return platform::Value(std::move(out));
}

template <class T, class = void> struct WireType;
// A kind read through one of Value's `if...` accessors.
template <class T, const T* (platform::Value::*get)() const> struct WireKind {
  static std::optional<T> from(const platform::Value& v) {
    if (const T* p = (v.*get)()) return *p;
    return std::nullopt;
  }
};
template <> struct WireType<std::string> : WireKind<std::string, &platform::Value::ifString> {};
template <> struct WireType<bool> : WireKind<bool, &platform::Value::ifBool> {};
template <> struct WireType<std::int64_t> : WireKind<std::int64_t, &platform::Value::ifInt> {};
template <> struct WireType<double> : WireKind<double, &platform::Value::ifDouble> {};
template <>
struct WireType<platform::Bytes> : WireKind<platform::Bytes, &platform::Value::ifBytes> {};
template <>
struct WireType<platform::ValueList> : WireKind<platform::ValueList, &platform::Value::ifList> {};
template <>
struct WireType<platform::ValueMap> : WireKind<platform::ValueMap, &platform::Value::ifMap> {};
// Any value but null.
template <> struct WireType<platform::Value> {
  static std::optional<platform::Value> from(const platform::Value& v) { return nilOrValue(v); }
};
template <class E> struct WireType<E, std::enable_if_t<std::is_enum_v<E>>> {
  static std::optional<E> from(const platform::Value& v) { return enumFromValue<E>(v); }
};
template <class R> struct WireType<std::shared_ptr<R>> {
  static std::optional<std::shared_ptr<R>> from(const platform::Value& v) {
    if (auto r = v.asObjectOf<R>()) return r;
    return std::nullopt;
  }
};
template <class T> struct WireType<std::vector<T>> {
  static std::optional<std::vector<T>> from(const platform::Value& v) {
    auto list = v.ifList();
    if (!list) return std::nullopt;
    std::vector<T> out;
    out.reserve(list->size());
    for (const auto& item : *list) {
      auto element = WireType<T>::from(item);
      if (!element) return std::nullopt;
      out.push_back(std::move(*element));
    }
    return out;
  }
};

// True when `value` reads as a T.
template <class T> bool holds(const platform::Value& value) {
  return WireType<T>::from(value).has_value();
}

}  // namespace pigeon
