#include "measurement/script/apmp_property_map.h"

#include "measurement/script/apmp_object_manager.h"

std::ptrdiff_t APMPPropertyMap::indexOf(const std::u16string& name) const {
  if (entries_.size() <= kIndexThreshold) {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      if (entries_[i].name == name) return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
  }
  const auto it = index_.find(name);
  return it == index_.end() ? -1 : static_cast<std::ptrdiff_t>(it->second);
}

const APMPValueRef* APMPPropertyMap::find(const std::u16string& name) const {
  const std::ptrdiff_t i = indexOf(name);
  return i < 0 ? nullptr : &entries_[static_cast<std::size_t>(i)].value;
}

bool APMPPropertyMap::isImmutableName(const std::u16string& name) const {
  const std::ptrdiff_t i = indexOf(name);
  return i >= 0 && entries_[static_cast<std::size_t>(i)].immutable;
}

bool APMPPropertyMap::bind(APMPValueRef value, const std::u16string& name, bool immutable) {
  if (frozen_) return false;
  const std::ptrdiff_t i = indexOf(name);
  if (i >= 0) {
    Entry& e = entries_[static_cast<std::size_t>(i)];
    if (e.immutable) return false;
    e.value = std::move(value);
    e.immutable = immutable;
    return false;
  }
  entries_.push_back(Entry{name, std::move(value), immutable});
  if (entries_.size() > kIndexThreshold) {
    if (index_.empty()) {
      for (std::size_t k = 0; k < entries_.size(); ++k)
        index_.emplace(entries_[k].name, k);
    } else {
      index_.emplace(name, entries_.size() - 1);
    }
  }
  return true;
}

bool APMPPropertyMap::setValue(APMPValueRef value, const std::u16string& name) {
  return bind(std::move(value), name, false);
}

bool APMPPropertyMap::setImmutableValue(APMPValueRef value, const std::u16string& name) {
  return bind(std::move(value), name, true);
}

APMPValueRef APMPPropertyMap::valueForName(const std::u16string& name) const {
  const APMPValueRef* v = find(name);
  return v ? *v : APMPUndefined();
}

std::vector<std::u16string> APMPPropertyMap::allNames() const {
  std::vector<std::u16string> names;
  names.reserve(entries_.size());
  for (const Entry& e : entries_)
    names.push_back(e.name);
  return names;
}

void APMPPropertyMap::mark(APMPMarker& marker) const {
  for (const Entry& e : entries_)
    marker.visit(e.value.get());
}

void APMPPropertyMap::clear() {
  // Moved out first: releasing a value may reach back into this map through a destructor.
  std::vector<Entry> entries = std::move(entries_);
  entries_.clear();
  index_.clear();
}
