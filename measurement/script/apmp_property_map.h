// The name-to-value store of arrays, maps, functions and scopes. Names are listed in insertion
// order. A name bound immutably keeps its first value; a frozen map binds nothing more. Writes
// that these rules refuse are ignored without an error. No name is ever removed, except by
// `clear` (a collection's sweep).
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "measurement/script/apmp_runtime_value.h"

class APMPPropertyMap {
 public:
  bool hasName(const std::u16string& name) const { return find(name) != nullptr; }
  // Binds the name; false when nothing new was bound (frozen map or immutable name) or the name
  // existed already, true when a new name was added.
  bool setValue(APMPValueRef value, const std::u16string& name);
  bool setImmutableValue(APMPValueRef value, const std::u16string& name);
  // setValue for script writes: a new name counts against the run's allowance.
  void setValue(APMPValueRef value, const std::u16string& name, APMPContext& ctx) {
    if (setValue(std::move(value), name)) ctx.charge(name.size() * 2 + 64);
  }
  // The bound value, or undefined.
  APMPValueRef valueForName(const std::u16string& name) const;
  // The bound value, or null when the name is not bound.
  const APMPValueRef* find(const std::u16string& name) const;
  bool isImmutableName(const std::u16string& name) const;
  void makeImmutable() { frozen_ = true; }
  bool isImmutable() const { return frozen_; }
  std::vector<std::u16string> allNames() const;
  std::size_t count() const { return entries_.size(); }

  template <class F> void forEach(F&& f) const {
    for (const Entry& e : entries_)
      f(e.name, e.value);
  }
  void mark(APMPMarker& marker) const;
  void clear();

 private:
  struct Entry {
    std::u16string name;
    APMPValueRef value;
    bool immutable = false;
  };
  // Small maps are scanned; the index exists once a map grows past this.
  static constexpr std::size_t kIndexThreshold = 8;

  std::ptrdiff_t indexOf(const std::u16string& name) const;
  bool bind(APMPValueRef value, const std::u16string& name, bool immutable);

  std::vector<Entry> entries_;
  std::unordered_map<std::u16string, std::size_t> index_;
  bool frozen_ = false;
};

// The name-based property operations that maps and functions share.
class APMPPropertyOwner {
 public:
  bool hasProperty(const std::u16string& name) const { return properties_.hasName(name); }
  // Writes to an immutable name are ignored. A new name is charged to the run.
  void setValue(APMPValueRef value, const std::u16string& name, APMPContext& ctx) {
    properties_.setValue(std::move(value), name, ctx);
  }
  // Undefined when absent.
  APMPValueRef valueForProperty(const std::u16string& name) const {
    return properties_.valueForName(name);
  }
  std::vector<std::u16string> allPropertyNames() const { return properties_.allNames(); }
  const APMPPropertyMap& properties() const { return properties_; }

 protected:
  APMPPropertyMap properties_;
};
