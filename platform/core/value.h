// The one dynamic value type of the project. Stands in for the platform's object graph of
// numbers, strings, data, arrays, dictionaries, dates and errors: preferences, property lists,
// JSON, notification user info, the channel codec and promises all speak it.
//
// A Value is a plain value type (deep copies, no sharing) except for `object`, which holds a
// shared pointer to a polymorphic Object. Numbers keep their kind: a boolean is not an integer
// and an integer is not a double, neither for equality nor for ordering. Maps are ordered by the
// total order defined by operator<=>, which makes every output built from a map deterministic.
//
// Not thread-safe: a Value may be read from many threads at once, but not written concurrently.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace platform {

struct Error;
using ErrorPtr = std::shared_ptr<const Error>;

class Value;

// Base of every object a Value can carry by reference (codec records, proxied instances).
// Equality and ordering default to identity.
class Object {
 public:
  virtual ~Object();
  // Name used in debug text and by archivers.
  virtual std::string className() const;
  virtual std::string debugDescription() const;
  // Deep equality against another object of any class; the default is identity.
  virtual bool isEqual(const Object& other) const;
  // Order against another object of the same className, as map keys need it: equal exactly when
  // isEqual holds, and transitive. The default orders by identity; a class that compares by
  // content overrides both.
  virtual std::strong_ordering compareObject(const Object& other) const;
  virtual std::size_t hash() const;
};
using ObjectPtr = std::shared_ptr<Object>;

// Wall-clock instant, seconds since 1970-01-01 00:00:00 UTC.
struct Date {
  double secondsSince1970 = 0;
  friend bool operator==(const Date&, const Date&) = default;
};

using Bytes = std::vector<std::uint8_t>;
using Int32List = std::vector<std::int32_t>;
using Int64List = std::vector<std::int64_t>;
using Float32List = std::vector<float>;
using Float64List = std::vector<double>;
using ValueList = std::vector<Value>;
using ValueMap = std::map<Value, Value>;

enum class ValueKind : std::uint8_t {
  Null,
  Bool,
  Int,
  Double,
  String,
  Bytes,
  Int32List,
  Int64List,
  Float32List,
  Float64List,
  List,
  Map,
  Date,
  Error,
  Object,
};

const char* valueKindName(ValueKind kind);

namespace detail {
// Owning pointer with deep copy, so recursive containers can live inside the variant.
template <class T> class Box {
 public:
  Box() : p_(std::make_unique<T>()) {}
  explicit Box(T v) : p_(std::make_unique<T>(std::move(v))) {}
  Box(const Box& o) : p_(std::make_unique<T>(*o.p_)) {}
  Box(Box&&) noexcept = default;
  Box& operator=(const Box& o) {
    if (this != &o) p_ = std::make_unique<T>(*o.p_);
    return *this;
  }
  Box& operator=(Box&&) noexcept = default;
  T& operator*() { return *p_; }
  const T& operator*() const { return *p_; }

 private:
  std::unique_ptr<T> p_;
};
}  // namespace detail

class Value {
 public:
  using List = ValueList;
  using Map = ValueMap;

  Value() = default;
  Value(const Value&) = default;
  Value& operator=(const Value&) = default;
  // A moved-from value is null: the payload left behind by a move (an emptied box, a null
  // error or object pointer) must never be read.
  Value(Value&& other) noexcept : v_(std::move(other.v_)) { other.v_.template emplace<0>(); }
  Value& operator=(Value&& other) noexcept {
    if (this != &other) {
      v_ = std::move(other.v_);
      other.v_.template emplace<0>();
    }
    return *this;
  }
  Value(std::nullptr_t) {}
  Value(bool b) : v_(b) {}
  template <class T>
  requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>) Value(T i)
      : v_(static_cast<std::int64_t>(i)) {}
  Value(double d) : v_(d) {}
  Value(float f) : v_(static_cast<double>(f)) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(Bytes b) : v_(std::move(b)) {}
  Value(Int32List l) : v_(std::move(l)) {}
  Value(Int64List l) : v_(std::move(l)) {}
  Value(Float32List l) : v_(std::move(l)) {}
  Value(Float64List l) : v_(std::move(l)) {}
  Value(List l) : v_(std::move(l)) {}
  Value(Map m) : v_(detail::Box<Map>(std::move(m))) {}
  Value(Date d) : v_(d) {}
  Value(ErrorPtr e);
  Value(ObjectPtr o);

  static Value list(std::initializer_list<Value> items) { return Value(List(items)); }
  static Value map(std::initializer_list<std::pair<const Value, Value>> items) {
    return Value(Map(items));
  }
  static Value emptyList() { return Value(List{}); }
  static Value emptyMap() { return Value(Map{}); }
  static Value date(double secondsSince1970) { return Value(Date{secondsSince1970}); }

  ValueKind kind() const { return static_cast<ValueKind>(v_.index()); }
  bool isNull() const { return kind() == ValueKind::Null; }
  bool isBool() const { return kind() == ValueKind::Bool; }
  bool isInt() const { return kind() == ValueKind::Int; }
  bool isDouble() const { return kind() == ValueKind::Double; }
  bool isNumber() const { return isInt() || isDouble(); }
  bool isString() const { return kind() == ValueKind::String; }
  bool isBytes() const { return kind() == ValueKind::Bytes; }
  bool isList() const { return kind() == ValueKind::List; }
  bool isMap() const { return kind() == ValueKind::Map; }
  bool isDate() const { return kind() == ValueKind::Date; }
  bool isError() const { return kind() == ValueKind::Error; }
  bool isObject() const { return kind() == ValueKind::Object; }
  bool isTypedList() const {
    return kind() >= ValueKind::Int32List && kind() <= ValueKind::Float64List;
  }

  // Checked accessors: return a pointer to the payload when the kind matches, else null.
  const bool* ifBool() const { return std::get_if<bool>(&v_); }
  const std::int64_t* ifInt() const { return std::get_if<std::int64_t>(&v_); }
  const double* ifDouble() const { return std::get_if<double>(&v_); }
  const std::string* ifString() const { return std::get_if<std::string>(&v_); }
  const Bytes* ifBytes() const { return std::get_if<Bytes>(&v_); }
  const Int32List* ifInt32List() const { return std::get_if<Int32List>(&v_); }
  const Int64List* ifInt64List() const { return std::get_if<Int64List>(&v_); }
  const Float32List* ifFloat32List() const { return std::get_if<Float32List>(&v_); }
  const Float64List* ifFloat64List() const { return std::get_if<Float64List>(&v_); }
  const List* ifList() const;
  List* ifList();
  const Map* ifMap() const;
  Map* ifMap();
  const Date* ifDate() const { return std::get_if<Date>(&v_); }
  const ErrorPtr* ifError() const { return std::get_if<ErrorPtr>(&v_); }
  const ObjectPtr* ifObject() const { return std::get_if<ObjectPtr>(&v_); }

  // Unchecked accessors: the kind must match (a mismatch goes to the assertion handler and
  // yields an empty payload; the mutable list and map accessors first turn the value into an
  // empty list or map).
  bool asBool() const;
  std::int64_t asInt() const;
  double asDouble() const;
  const std::string& asString() const;
  const Bytes& asBytes() const;
  const List& asList() const;
  List& asList();
  const Map& asMap() const;
  Map& asMap();
  Date asDate() const;
  ErrorPtr asError() const;
  ObjectPtr asObject() const;
  // The object cast to T, or null when this is not an object of that class.
  template <class T> std::shared_ptr<T> asObjectOf() const {
    auto p = ifObject();
    return p ? std::dynamic_pointer_cast<T>(*p) : nullptr;
  }

  // Numeric view of Int and Double (and Bool as 0/1); nullopt-like false return otherwise.
  bool toDouble(double* out) const;

  // Map conveniences. `find` returns null when this is not a map or the key is absent.
  const Value* find(const Value& key) const;
  // Inserts or replaces; turns a null value into an empty map first.
  void set(Value key, Value value);
  std::size_t size() const;  // elements of a list, map, string, bytes or typed list; else 0

  friend bool operator==(const Value& a, const Value& b) { return (a <=> b) == 0; }
  friend std::strong_ordering operator<=>(const Value& a, const Value& b) {
    // Map keys are nearly always strings or integers: those compare here, inline, as every map
    // lookup and insertion compares keys several times.
    if (a.v_.index() == b.v_.index()) {
      if (auto x = std::get_if<std::string>(&a.v_)) return *x <=> *std::get_if<std::string>(&b.v_);
      if (auto x = std::get_if<std::int64_t>(&a.v_))
        return *x <=> *std::get_if<std::int64_t>(&b.v_);
    }
    return compareValues(a, b);
  }

  std::size_t hash() const;
  // A compact, deterministic text form for logs and test failure messages.
  std::string debugString() const;

 private:
  static std::strong_ordering compareValues(const Value& a, const Value& b);

  // A list holds its vector in place (a vector of an incomplete element type is allowed); a map
  // is boxed, as its tree header would make every value larger.
  std::variant<std::monostate, bool, std::int64_t, double, std::string, Bytes, Int32List, Int64List,
               Float32List, Float64List, List, detail::Box<Map>, Date, ErrorPtr, ObjectPtr>
      v_;
};

// gtest prints values through this.
void PrintTo(const Value& value, std::ostream* os);

}  // namespace platform

template <> struct std::hash<platform::Value> {
  std::size_t operator()(const platform::Value& v) const { return v.hash(); }
};
