#include "platform/core/value.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <stdexcept>

#include "platform/core/assertion.h"
#include "platform/core/error.h"

namespace platform {

Object::~Object() = default;
std::string Object::className() const {
  return "Object";
}
std::string Object::debugDescription() const {
  // Appended rather than "<" + name + ">": that form trips a false -Wrestrict in optimised builds.
  std::string text = "<";
  text.append(className()).append(">");
  return text;
}
bool Object::isEqual(const Object& other) const {
  return this == &other;
}
std::strong_ordering Object::compareObject(const Object& other) const {
  if (isEqual(other)) return std::strong_ordering::equal;
  return std::less<const void*>()(this, &other) ? std::strong_ordering::less
                                                : std::strong_ordering::greater;
}
std::size_t Object::hash() const {
  return std::hash<const void*>()(this);
}

const char* valueKindName(ValueKind kind) {
  switch (kind) {
  case ValueKind::Null:
    return "null";
  case ValueKind::Bool:
    return "bool";
  case ValueKind::Int:
    return "int";
  case ValueKind::Double:
    return "double";
  case ValueKind::String:
    return "string";
  case ValueKind::Bytes:
    return "bytes";
  case ValueKind::Int32List:
    return "int32 list";
  case ValueKind::Int64List:
    return "int64 list";
  case ValueKind::Float32List:
    return "float32 list";
  case ValueKind::Float64List:
    return "float64 list";
  case ValueKind::List:
    return "list";
  case ValueKind::Map:
    return "map";
  case ValueKind::Date:
    return "date";
  case ValueKind::Error:
    return "error";
  case ValueKind::Object:
    return "object";
  }
  return "unknown";
}

Value::Value(ErrorPtr e) {
  if (e) v_ = std::move(e);
}
Value::Value(ObjectPtr o) {
  if (o) v_ = std::move(o);
}

const ValueList* Value::ifList() const {
  return std::get_if<List>(&v_);
}
ValueList* Value::ifList() {
  return std::get_if<List>(&v_);
}
const ValueMap* Value::ifMap() const {
  return std::get_if<Map>(&v_);
}
ValueMap* Value::ifMap() {
  return std::get_if<Map>(&v_);
}

namespace {
template <class T> const T& emptyOf() {
  static const T empty{};
  return empty;
}
void kindMismatch(ValueKind want, ValueKind have) {
  assertionFailure(__FILE__, __LINE__,
                   std::string("Value accessed as ") + valueKindName(want) + " but holds " +
                       valueKindName(have));
}
}  // namespace

bool Value::asBool() const {
  if (auto p = ifBool()) return *p;
  kindMismatch(ValueKind::Bool, kind());
  return false;
}
std::int64_t Value::asInt() const {
  if (auto p = ifInt()) return *p;
  kindMismatch(ValueKind::Int, kind());
  return 0;
}
double Value::asDouble() const {
  if (auto p = ifDouble()) return *p;
  kindMismatch(ValueKind::Double, kind());
  return 0;
}
const std::string& Value::asString() const {
  if (auto p = ifString()) return *p;
  kindMismatch(ValueKind::String, kind());
  return emptyOf<std::string>();
}
const Bytes& Value::asBytes() const {
  if (auto p = ifBytes()) return *p;
  kindMismatch(ValueKind::Bytes, kind());
  return emptyOf<Bytes>();
}
const ValueList& Value::asList() const {
  if (auto p = ifList()) return *p;
  kindMismatch(ValueKind::List, kind());
  return emptyOf<List>();
}
ValueList& Value::asList() {
  if (auto p = ifList()) return *p;
  kindMismatch(ValueKind::List, kind());
  *this = Value(List{});
  return *ifList();
}
const ValueMap& Value::asMap() const {
  if (auto p = ifMap()) return *p;
  kindMismatch(ValueKind::Map, kind());
  return emptyOf<Map>();
}
ValueMap& Value::asMap() {
  if (auto p = ifMap()) return *p;
  kindMismatch(ValueKind::Map, kind());
  *this = Value(Map{});
  return *ifMap();
}
Date Value::asDate() const {
  if (auto p = ifDate()) return *p;
  kindMismatch(ValueKind::Date, kind());
  return {};
}
ErrorPtr Value::asError() const {
  if (auto p = ifError()) return *p;
  kindMismatch(ValueKind::Error, kind());
  return nullptr;
}
ObjectPtr Value::asObject() const {
  if (auto p = ifObject()) return *p;
  kindMismatch(ValueKind::Object, kind());
  return nullptr;
}

bool Value::toDouble(double* out) const {
  if (auto p = ifInt()) {
    *out = static_cast<double>(*p);
    return true;
  }
  if (auto p = ifDouble()) {
    *out = *p;
    return true;
  }
  if (auto p = ifBool()) {
    *out = *p ? 1 : 0;
    return true;
  }
  return false;
}

// ---- ValueMap -------------------------------------------------------------------------------

ValueMap::ValueMap(std::initializer_list<std::pair<const Value, Value>> items) {
  entries_.reserve(items.size());
  insert(items);
}

void ValueMap::insert(std::initializer_list<std::pair<const Value, Value>> items) {
  for (const auto& item : items)
    insertEntry(value_type(item.first, item.second));
}

ValueMap ValueMap::fromEntries(container_type entries, Repeated repeated) {
  ValueMap map;
  auto keyLess = [](const value_type& a, const value_type& b) { return a.first < b.first; };
  // Keys that strictly ascend (what our own writers send) are taken as they are, after one
  // comparison per entry.
  auto notAscending = [](const value_type& a, const value_type& b) { return !(a.first < b.first); };
  if (std::adjacent_find(entries.begin(), entries.end(), notAscending) == entries.end()) {
    map.entries_ = std::move(entries);
    return map;
  }
  std::stable_sort(entries.begin(), entries.end(), keyLess);
  // Equal keys are now adjacent in their original order: the first key stays.
  auto out = entries.begin();
  for (auto in = entries.begin(); in != entries.end(); ++in) {
    if (out != entries.begin() && (out - 1)->first == in->first) {
      if (repeated == Repeated::KeepLast) (out - 1)->second = std::move(in->second);
    } else {
      if (out != in) *out = std::move(*in);
      ++out;
    }
  }
  entries.erase(out, entries.end());
  map.entries_ = std::move(entries);
  return map;
}

const Value* ValueMap::findString(std::string_view key) const {
  // A small map (the arguments of a call, an entry of a batch) is scanned for the one key equal
  // to `key`: cheaper than ordering comparisons, and keys are unique.
  if (entries_.size() <= kLinearFindEntries) {
    for (const auto& [probe, value] : entries_) {
      const std::string* name = probe.ifString();
      if (name && std::string_view(*name) == key) return &value;
    }
    return nullptr;
  }
  // The total order puts keys of a lower kind before every string and keys of a higher kind
  // after; strings order among themselves as std::string does.
  constexpr auto kString = static_cast<std::size_t>(ValueKind::String);
  std::size_t low = 0, high = entries_.size();
  while (low < high) {
    std::size_t mid = low + (high - low) / 2;
    const Value& probe = entries_[mid].first;
    const auto kind = static_cast<std::size_t>(probe.kind());
    bool below = kind < kString || (kind == kString && std::string_view(*probe.ifString()) < key);
    if (below)
      low = mid + 1;
    else
      high = mid;
  }
  if (low == entries_.size()) return nullptr;
  const std::string* found = entries_[low].first.ifString();
  return found && *found == key ? &entries_[low].second : nullptr;
}

std::pair<std::size_t, bool> ValueMap::locate(const Value& key) const {
  // Binary search for the first key not below `key`.
  std::size_t low = 0, high = entries_.size();
  while (low < high) {
    std::size_t mid = low + (high - low) / 2;
    if (entries_[mid].first < key)
      low = mid + 1;
    else
      high = mid;
  }
  return {low, low < entries_.size() && entries_[low].first == key};
}

std::pair<ValueMap::iterator, bool> ValueMap::insertEntry(value_type&& entry) {
  // Keys added in ascending order (readers of sorted input, our own writers) append.
  if (entries_.empty() || entries_.back().first < entry.first) {
    entries_.push_back(std::move(entry));
    return {entries_.end() - 1, true};
  }
  auto [i, found] = locate(entry.first);
  auto at = entries_.begin() + static_cast<difference_type>(i);
  if (found) return {at, false};
  return {entries_.insert(at, std::move(entry)), true};
}

ValueMap::iterator ValueMap::insertEntry(const_iterator hint, value_type&& entry) {
  // The hint is right when the entry falls between its neighbour before and the hint itself.
  if ((hint == entries_.cbegin() || (hint - 1)->first < entry.first) &&
      (hint == entries_.cend() || entry.first < hint->first))
    return entries_.insert(hint, std::move(entry));
  return insertEntry(std::move(entry)).first;
}

Value& ValueMap::at(const Value& key) {
  auto [i, found] = locate(key);
  if (!found) throw std::out_of_range("ValueMap::at: no such key");
  return entries_[i].second;
}

const Value& ValueMap::at(const Value& key) const {
  auto [i, found] = locate(key);
  if (!found) throw std::out_of_range("ValueMap::at: no such key");
  return entries_[i].second;
}

Value& ValueMap::operator[](const Value& key) {
  return try_emplace(key).first->second;
}

Value& ValueMap::operator[](Value&& key) {
  return try_emplace(std::move(key)).first->second;
}

ValueMap::size_type ValueMap::erase(const Value& key) {
  auto [i, found] = locate(key);
  if (!found) return 0;
  entries_.erase(entries_.begin() + static_cast<difference_type>(i));
  return 1;
}

bool operator==(const ValueMap& a, const ValueMap& b) {
  return a.entries_ == b.entries_;
}

// ---- Value --------------------------------------------------------------------------------

const Value* Value::find(const Value& key) const {
  auto m = ifMap();
  if (!m) return nullptr;
  auto it = m->find(key);
  return it == m->end() ? nullptr : &it->second;
}

const Value* Value::findString(std::string_view key) const {
  auto m = ifMap();
  return m ? m->findString(key) : nullptr;
}

void Value::set(Value key, Value value) {
  if (isNull()) *this = Value(Map{});
  asMap().insert_or_assign(std::move(key), std::move(value));
}

std::size_t Value::size() const {
  return std::visit(
      [](const auto& x) -> std::size_t {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, Bytes> ||
                      std::is_same_v<T, Int32List> || std::is_same_v<T, Int64List> ||
                      std::is_same_v<T, Float32List> || std::is_same_v<T, Float64List> ||
                      std::is_same_v<T, List> || std::is_same_v<T, Map>)
          return x.size();
        else
          return 0;
      },
      v_);
}

namespace {

// Total order on doubles: -0 == +0, NaN equal to itself and above every number.
std::strong_ordering compareDoubles(double a, double b) {
  bool an = std::isnan(a), bn = std::isnan(b);
  if (an || bn)
    return an == bn ? std::strong_ordering::equal
                    : (an ? std::strong_ordering::greater : std::strong_ordering::less);
  if (a < b) return std::strong_ordering::less;
  if (a > b) return std::strong_ordering::greater;
  return std::strong_ordering::equal;
}

template <class Seq, class Cmp>
std::strong_ordering compareSeq(const Seq& a, const Seq& b, Cmp cmp) {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    auto c = cmp(a[i], b[i]);
    if (c != 0) return c;
  }
  return a.size() <=> b.size();
}

std::strong_ordering compareErrors(const ErrorPtr& a, const ErrorPtr& b) {
  if (a == b) return std::strong_ordering::equal;
  if (auto c = a->domain <=> b->domain; c != 0) return c;
  if (auto c = a->code <=> b->code; c != 0) return c;
  return Value(a->userInfo) <=> Value(b->userInfo);
}

std::strong_ordering compareObjects(const ObjectPtr& a, const ObjectPtr& b) {
  if (a == b) return std::strong_ordering::equal;
  if (auto c = a->className() <=> b->className(); c != 0) return c;
  return a->compareObject(*b);
}

}  // namespace

std::strong_ordering Value::compareValues(const Value& a, const Value& b) {
  if (a.v_.index() != b.v_.index()) return a.v_.index() <=> b.v_.index();
  return std::visit(
      [&b](const auto& x) -> std::strong_ordering {
        using T = std::decay_t<decltype(x)>;
        const T& y = std::get<T>(b.v_);
        if constexpr (std::is_same_v<T, std::monostate>) {
          return std::strong_ordering::equal;
        } else if constexpr (std::is_same_v<T, double>) {
          return compareDoubles(x, y);
        } else if constexpr (std::is_same_v<T, Float32List> || std::is_same_v<T, Float64List>) {
          return compareSeq(x, y, [](double p, double q) { return compareDoubles(p, q); });
        } else if constexpr (std::is_same_v<T, ValueList>) {
          return compareSeq(x, y, [](const Value& p, const Value& q) { return p <=> q; });
        } else if constexpr (std::is_same_v<T, ValueMap>) {
          auto ia = x.begin(), ib = y.begin();
          for (; ia != x.end() && ib != y.end(); ++ia, ++ib) {
            if (auto c = ia->first <=> ib->first; c != 0) return c;
            if (auto c = ia->second <=> ib->second; c != 0) return c;
          }
          return x.size() <=> y.size();
        } else if constexpr (std::is_same_v<T, Date>) {
          return compareDoubles(x.secondsSince1970, y.secondsSince1970);
        } else if constexpr (std::is_same_v<T, ErrorPtr>) {
          return compareErrors(x, y);
        } else if constexpr (std::is_same_v<T, ObjectPtr>) {
          return compareObjects(x, y);
        } else if constexpr (std::is_same_v<T, Bytes>) {
          return compareSeq(x, y, [](std::uint8_t p, std::uint8_t q) { return p <=> q; });
        } else {
          return x <=> y;
        }
      },
      a.v_);
}

namespace {
std::size_t mix(std::size_t seed, std::size_t h) {
  return seed ^ (h + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}
std::size_t hashDouble(double d) {
  if (std::isnan(d)) return 0x7ff8;
  if (d == 0) d = 0;  // -0 and +0 are equal, so they hash alike
  return std::hash<double>()(d);
}
}  // namespace

std::size_t Value::hash() const {
  std::size_t seed = v_.index();
  std::visit(
      [&seed](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
        } else if constexpr (std::is_same_v<T, double>) {
          seed = mix(seed, hashDouble(x));
        } else if constexpr (std::is_same_v<T, Float32List> || std::is_same_v<T, Float64List>) {
          for (auto e : x)
            seed = mix(seed, hashDouble(e));
        } else if constexpr (std::is_same_v<T, ValueList>) {
          for (const auto& e : x)
            seed = mix(seed, e.hash());
        } else if constexpr (std::is_same_v<T, ValueMap>) {
          for (const auto& [k, v] : x)
            seed = mix(mix(seed, k.hash()), v.hash());
        } else if constexpr (std::is_same_v<T, Date>) {
          seed = mix(seed, hashDouble(x.secondsSince1970));
        } else if constexpr (std::is_same_v<T, ErrorPtr>) {
          seed = mix(mix(seed, std::hash<std::string>()(x->domain)),
                     std::hash<std::int64_t>()(x->code));
        } else if constexpr (std::is_same_v<T, ObjectPtr>) {
          seed = mix(seed, x->hash());
        } else if constexpr (std::is_same_v<T, Bytes> || std::is_same_v<T, Int32List> ||
                             std::is_same_v<T, Int64List>) {
          for (auto e : x)
            seed = mix(seed, std::hash<std::int64_t>()(e));
        } else {
          seed = mix(seed, std::hash<T>()(x));
        }
      },
      v_);
  return seed;
}

namespace {

void appendQuoted(std::string& out, const std::string& s) {
  out += '"';
  for (unsigned char c : s) {
    switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    default:
      if (c < 0x20) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", c);
        out += buf;
      } else {
        out += static_cast<char>(c);
      }
    }
  }
  out += '"';
}

std::string formatDouble(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", d);
  std::string text(buf);
  // Keep doubles visibly doubles: 1 prints as 1.0.
  if (text.find_first_of(".eE") == std::string::npos) text += ".0";
  return text;
}

void appendDebug(std::string& out, const Value& v);

template <class Seq> void appendNumbers(std::string& out, const char* tag, const Seq& seq) {
  out += tag;
  out += '[';
  bool first = true;
  for (auto e : seq) {
    if (!first) out += ", ";
    first = false;
    if constexpr (std::is_floating_point_v<typename Seq::value_type>)
      out += formatDouble(e);
    else
      out += std::to_string(static_cast<std::int64_t>(e));
  }
  out += ']';
}

void appendDebug(std::string& out, const Value& v) {
  switch (v.kind()) {
  case ValueKind::Null:
    out += "null";
    break;
  case ValueKind::Bool:
    out += *v.ifBool() ? "true" : "false";
    break;
  case ValueKind::Int:
    out += std::to_string(*v.ifInt());
    break;
  case ValueKind::Double:
    out += formatDouble(*v.ifDouble());
    break;
  case ValueKind::String:
    appendQuoted(out, *v.ifString());
    break;
  case ValueKind::Bytes: {
    static const char* hex = "0123456789abcdef";
    out += "<";
    for (auto b : *v.ifBytes()) {
      out += hex[b >> 4];
      out += hex[b & 15];
    }
    out += ">";
    break;
  }
  case ValueKind::Int32List:
    appendNumbers(out, "i32", *v.ifInt32List());
    break;
  case ValueKind::Int64List:
    appendNumbers(out, "i64", *v.ifInt64List());
    break;
  case ValueKind::Float32List:
    appendNumbers(out, "f32", *v.ifFloat32List());
    break;
  case ValueKind::Float64List:
    appendNumbers(out, "f64", *v.ifFloat64List());
    break;
  case ValueKind::List: {
    out += '[';
    bool first = true;
    for (const auto& e : *v.ifList()) {
      if (!first) out += ", ";
      first = false;
      appendDebug(out, e);
    }
    out += ']';
    break;
  }
  case ValueKind::Map: {
    out += '{';
    bool first = true;
    for (const auto& [k, e] : *v.ifMap()) {
      if (!first) out += ", ";
      first = false;
      appendDebug(out, k);
      out += ": ";
      appendDebug(out, e);
    }
    out += '}';
    break;
  }
  case ValueKind::Date:
    out += "date(" + formatDouble(v.ifDate()->secondsSince1970) + ")";
    break;
  case ValueKind::Error: {
    const auto& e = **v.ifError();
    out += "error(";
    appendQuoted(out, e.domain);
    out += ", " + std::to_string(e.code);
    if (!e.userInfo.empty()) {
      out += ", ";
      appendDebug(out, Value(e.userInfo));
    }
    out += ")";
    break;
  }
  case ValueKind::Object:
    out += (*v.ifObject())->debugDescription();
    break;
  }
}

}  // namespace

std::string Value::debugString() const {
  std::string out;
  appendDebug(out, *this);
  return out;
}

void PrintTo(const Value& value, std::ostream* os) {
  *os << value.debugString();
}

}  // namespace platform
