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
#include <tuple>
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

// The map kind of Value: entries kept in one vector sorted by key (the total order of Value),
// with the interface of an ordered map. One block holds every entry, so building, copying and
// freeing a map costs one allocation rather than one per entry, and iteration walks memory in
// order. Unlike a tree, inserting or erasing moves the entries after it and invalidates every
// iterator and reference into the map; adding keys in ascending order appends. Large maps from
// unordered input are built in one go with fromEntries.
//
// Entries are std::pair<Value, Value>: a key must not be changed in place, as that would break
// the order.
class ValueMap {
 public:
  using key_type = Value;
  using mapped_type = Value;
  using value_type = std::pair<Value, Value>;
  using container_type = std::vector<value_type>;
  using size_type = std::size_t;
  using difference_type = std::ptrdiff_t;
  using reference = value_type&;
  using const_reference = const value_type&;
  using iterator = container_type::iterator;
  using const_iterator = container_type::const_iterator;
  using reverse_iterator = container_type::reverse_iterator;
  using const_reverse_iterator = container_type::const_reverse_iterator;

  ValueMap() = default;
  ValueMap(const ValueMap&) = default;
  ValueMap(ValueMap&&) noexcept = default;
  ValueMap& operator=(const ValueMap&) = default;
  ValueMap& operator=(ValueMap&&) noexcept = default;
  // A repeated key keeps its first entry, as inserting each pair in turn would.
  ValueMap(std::initializer_list<std::pair<const Value, Value>> items);
  template <class It> ValueMap(It first, It last) { insert(first, last); }

  // The map of `entries` in any order, as assigning each in turn would make it: a repeated key
  // keeps its first key and its last value (or, with KeepFirst, its first entry as inserting
  // each in turn would). Linear when the keys already ascend, else n log n.
  enum class Repeated { KeepLast, KeepFirst };
  static ValueMap fromEntries(container_type entries, Repeated repeated = Repeated::KeepLast);

  iterator begin() noexcept;
  const_iterator begin() const noexcept;
  const_iterator cbegin() const noexcept;
  iterator end() noexcept;
  const_iterator end() const noexcept;
  const_iterator cend() const noexcept;
  reverse_iterator rbegin() noexcept;
  const_reverse_iterator rbegin() const noexcept;
  reverse_iterator rend() noexcept;
  const_reverse_iterator rend() const noexcept;

  bool empty() const noexcept;
  size_type size() const noexcept;
  void clear() noexcept;
  void reserve(size_type n);

  iterator find(const Value& key);
  const_iterator find(const Value& key) const;
  // The value under the string key `key`, or null: the entry find(Value(key)) finds, without
  // making a Value of the key.
  const Value* findString(std::string_view key) const;
  size_type count(const Value& key) const;
  bool contains(const Value& key) const;
  iterator lower_bound(const Value& key);
  const_iterator lower_bound(const Value& key) const;
  iterator upper_bound(const Value& key);
  const_iterator upper_bound(const Value& key) const;
  std::pair<iterator, iterator> equal_range(const Value& key);
  std::pair<const_iterator, const_iterator> equal_range(const Value& key) const;

  // Throw std::out_of_range for an absent key, as an ordered map's at() does.
  Value& at(const Value& key);
  const Value& at(const Value& key) const;
  Value& operator[](const Value& key);
  Value& operator[](Value&& key);

  std::pair<iterator, bool> insert(const value_type& entry);
  std::pair<iterator, bool> insert(value_type&& entry);
  template <class P>
  requires(std::is_constructible_v<value_type, P&&> &&
           !std::is_same_v<std::remove_cvref_t<P>, value_type>)
      std::pair<iterator, bool> insert(P&& entry) {
    return insertEntry(value_type(std::forward<P>(entry)));
  }
  iterator insert(const_iterator hint, const value_type& entry);
  iterator insert(const_iterator hint, value_type&& entry);
  template <class It> void insert(It first, It last) {
    for (; first != last; ++first)
      insertEntry(value_type(*first));
  }
  void insert(std::initializer_list<std::pair<const Value, Value>> items);
  template <class M> std::pair<iterator, bool> insert_or_assign(const Value& key, M&& mapped);
  template <class M> std::pair<iterator, bool> insert_or_assign(Value&& key, M&& mapped);
  template <class... A> std::pair<iterator, bool> try_emplace(const Value& key, A&&... args);
  template <class... A> std::pair<iterator, bool> try_emplace(Value&& key, A&&... args);
  template <class... A> std::pair<iterator, bool> emplace(A&&... args) {
    return insertEntry(value_type(std::forward<A>(args)...));
  }
  template <class... A> iterator emplace_hint(const_iterator hint, A&&... args) {
    return insertEntry(hint, value_type(std::forward<A>(args)...));
  }

  iterator erase(iterator position);
  iterator erase(const_iterator position);
  iterator erase(const_iterator first, const_iterator last);
  size_type erase(const Value& key);

  void swap(ValueMap& other) noexcept { entries_.swap(other.entries_); }
  friend void swap(ValueMap& a, ValueMap& b) noexcept { a.swap(b); }
  friend bool operator==(const ValueMap& a, const ValueMap& b);

 private:
  // Where `key` is or would go, and whether it is there.
  std::pair<std::size_t, bool> locate(const Value& key) const;
  // Maps up to this size are searched by a scan in findString.
  static constexpr std::size_t kLinearFindEntries = 8;
  // Inserts unless the key is present; the entry is dropped then.
  std::pair<iterator, bool> insertEntry(value_type&& entry);
  // As insertEntry, looking first at `hint` (the position the entry would go before).
  iterator insertEntry(const_iterator hint, value_type&& entry);

  container_type entries_;
};

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
  Value(Map m) : v_(std::move(m)) {}
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
  // find(Value(key)) for a string key, without making a Value of it.
  const Value* findString(std::string_view key) const;
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

  // Lists and maps hold their vectors in place (a vector of an incomplete element type is
  // allowed).
  std::variant<std::monostate, bool, std::int64_t, double, std::string, Bytes, Int32List, Int64List,
               Float32List, Float64List, List, Map, Date, ErrorPtr, ObjectPtr>
      v_;
};

// gtest prints values through this.
void PrintTo(const Value& value, std::ostream* os);

// ---- ValueMap, now that Value is complete ----------------------------------------------------

inline ValueMap::iterator ValueMap::begin() noexcept {
  return entries_.begin();
}
inline ValueMap::const_iterator ValueMap::begin() const noexcept {
  return entries_.begin();
}
inline ValueMap::const_iterator ValueMap::cbegin() const noexcept {
  return entries_.cbegin();
}
inline ValueMap::iterator ValueMap::end() noexcept {
  return entries_.end();
}
inline ValueMap::const_iterator ValueMap::end() const noexcept {
  return entries_.end();
}
inline ValueMap::const_iterator ValueMap::cend() const noexcept {
  return entries_.cend();
}
inline ValueMap::reverse_iterator ValueMap::rbegin() noexcept {
  return entries_.rbegin();
}
inline ValueMap::const_reverse_iterator ValueMap::rbegin() const noexcept {
  return entries_.rbegin();
}
inline ValueMap::reverse_iterator ValueMap::rend() noexcept {
  return entries_.rend();
}
inline ValueMap::const_reverse_iterator ValueMap::rend() const noexcept {
  return entries_.rend();
}
inline bool ValueMap::empty() const noexcept {
  return entries_.empty();
}
inline ValueMap::size_type ValueMap::size() const noexcept {
  return entries_.size();
}
inline void ValueMap::clear() noexcept {
  entries_.clear();
}
inline void ValueMap::reserve(size_type n) {
  entries_.reserve(n);
}
inline ValueMap::iterator ValueMap::find(const Value& key) {
  auto [i, found] = locate(key);
  return found ? entries_.begin() + static_cast<difference_type>(i) : entries_.end();
}
inline ValueMap::const_iterator ValueMap::find(const Value& key) const {
  auto [i, found] = locate(key);
  return found ? entries_.begin() + static_cast<difference_type>(i) : entries_.end();
}
inline ValueMap::size_type ValueMap::count(const Value& key) const {
  return locate(key).second ? 1 : 0;
}
inline bool ValueMap::contains(const Value& key) const {
  return locate(key).second;
}
inline ValueMap::iterator ValueMap::lower_bound(const Value& key) {
  return entries_.begin() + static_cast<difference_type>(locate(key).first);
}
inline ValueMap::const_iterator ValueMap::lower_bound(const Value& key) const {
  return entries_.begin() + static_cast<difference_type>(locate(key).first);
}
inline ValueMap::iterator ValueMap::upper_bound(const Value& key) {
  auto [i, found] = locate(key);
  return entries_.begin() + static_cast<difference_type>(i + (found ? 1 : 0));
}
inline ValueMap::const_iterator ValueMap::upper_bound(const Value& key) const {
  auto [i, found] = locate(key);
  return entries_.begin() + static_cast<difference_type>(i + (found ? 1 : 0));
}
inline std::pair<ValueMap::iterator, ValueMap::iterator> ValueMap::equal_range(const Value& key) {
  return {lower_bound(key), upper_bound(key)};
}
inline std::pair<ValueMap::const_iterator, ValueMap::const_iterator>
ValueMap::equal_range(const Value& key) const {
  return {lower_bound(key), upper_bound(key)};
}
inline std::pair<ValueMap::iterator, bool> ValueMap::insert(const value_type& entry) {
  return insertEntry(value_type(entry));
}
inline std::pair<ValueMap::iterator, bool> ValueMap::insert(value_type&& entry) {
  return insertEntry(std::move(entry));
}
inline ValueMap::iterator ValueMap::insert(const_iterator hint, const value_type& entry) {
  return insertEntry(hint, value_type(entry));
}
inline ValueMap::iterator ValueMap::insert(const_iterator hint, value_type&& entry) {
  return insertEntry(hint, std::move(entry));
}
template <class M>
std::pair<ValueMap::iterator, bool> ValueMap::insert_or_assign(const Value& key, M&& mapped) {
  auto [i, found] = locate(key);
  auto at = entries_.begin() + static_cast<difference_type>(i);
  if (found) {
    at->second = std::forward<M>(mapped);
    return {at, false};
  }
  return {entries_.emplace(at, key, std::forward<M>(mapped)), true};
}
template <class M>
std::pair<ValueMap::iterator, bool> ValueMap::insert_or_assign(Value&& key, M&& mapped) {
  auto [i, found] = locate(key);
  auto at = entries_.begin() + static_cast<difference_type>(i);
  if (found) {
    at->second = std::forward<M>(mapped);
    return {at, false};
  }
  return {entries_.emplace(at, std::move(key), std::forward<M>(mapped)), true};
}
template <class... A>
std::pair<ValueMap::iterator, bool> ValueMap::try_emplace(const Value& key, A&&... args) {
  auto [i, found] = locate(key);
  auto at = entries_.begin() + static_cast<difference_type>(i);
  if (found) return {at, false};
  return {entries_.emplace(at, std::piecewise_construct, std::forward_as_tuple(key),
                           std::forward_as_tuple(std::forward<A>(args)...)),
          true};
}
template <class... A>
std::pair<ValueMap::iterator, bool> ValueMap::try_emplace(Value&& key, A&&... args) {
  auto [i, found] = locate(key);
  auto at = entries_.begin() + static_cast<difference_type>(i);
  if (found) return {at, false};
  return {entries_.emplace(at, std::piecewise_construct, std::forward_as_tuple(std::move(key)),
                           std::forward_as_tuple(std::forward<A>(args)...)),
          true};
}
inline ValueMap::iterator ValueMap::erase(iterator position) {
  return entries_.erase(position);
}
inline ValueMap::iterator ValueMap::erase(const_iterator position) {
  return entries_.erase(position);
}
inline ValueMap::iterator ValueMap::erase(const_iterator first, const_iterator last) {
  return entries_.erase(first, last);
}

}  // namespace platform

template <> struct std::hash<platform::Value> {
  std::size_t operator()(const platform::Value& v) const { return v.hash(); }
};
