#include "plugins/pigeon/pigeon_values.h"

namespace pigeon {

namespace {

std::size_t mix(std::size_t seed, std::size_t h) {
  return seed ^ (h + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

}  // namespace

bool deepEquals(const platform::Value& a, const platform::Value& b) {
  auto left = nilOrValue(a);
  auto right = nilOrValue(b);
  if (!left && !right) return true;
  if (!left || !right) return false;
  if (auto la = a.ifList()) {
    auto lb = b.ifList();
    if (!lb || la->size() != lb->size()) return false;
    for (std::size_t i = 0; i < la->size(); ++i) {
      if (!deepEquals((*la)[i], (*lb)[i])) return false;
    }
    return true;
  }
  if (auto ma = a.ifMap()) {
    auto mb = b.ifMap();
    if (!mb || ma->size() != mb->size()) return false;
    for (const auto& [key, value] : *ma) {
      auto it = mb->find(key);
      if (it == mb->end() || !deepEquals(value, it->second)) return false;
    }
    return true;
  }
  // Scalars, typed data and records (through Object::isEqual).
  return a == b;
}

std::size_t deepHash(const platform::Value& value) {
  std::size_t seed = static_cast<std::size_t>(value.kind());
  if (auto list = value.ifList()) {
    for (const auto& item : *list)
      seed = mix(seed, deepHash(item));
    return seed;
  }
  if (auto map = value.ifMap()) {
    // Maps iterate in key order, so equal maps walk alike.
    for (const auto& [k, v] : *map)
      seed = mix(mix(seed, deepHash(k)), deepHash(v));
    return seed;
  }
  return mix(seed, value.hash());
}

bool PigeonRecord::isEqual(const platform::Object& other) const {
  if (this == &other) return true;
  auto record = dynamic_cast<const PigeonRecord*>(&other);
  if (!record || typeid(*record) != typeid(*this)) return false;
  return deepEquals(platform::Value(toList()), platform::Value(record->toList()));
}

std::strong_ordering PigeonRecord::compareObject(const platform::Object& other) const {
  auto record = dynamic_cast<const PigeonRecord*>(&other);
  if (!record || typeid(*record) != typeid(*this)) return platform::Object::compareObject(other);
  // The same order that decides equality: a field list equal by deepEquals compares equal.
  return platform::Value(toList()) <=> platform::Value(record->toList());
}

std::size_t PigeonRecord::hash() const {
  return deepHash(platform::Value(toList()));
}

std::string PigeonRecord::debugDescription() const {
  return className() + platform::Value(toList()).debugString();
}

}  // namespace pigeon
