#include "platform/foundation/class_registry.h"

#include "platform/core/assertion.h"

namespace platform {

ClassRegistry& ClassRegistry::shared() {
  static ClassRegistry* registry = new ClassRegistry;
  return *registry;
}

bool ClassRegistry::add(const std::string& name, std::type_index type,
                        std::shared_ptr<void> object) {
  if (!LUMORA_CHECK(object != nullptr, "registering a null class under '" + name + "'")) {
    return false;
  }
  {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = classes_.find(name);
    if (it == classes_.end()) {
      classes_.emplace(name, Entry{type, std::move(object)});
      return true;
    }
    if (it->second.object == object && it->second.type == type) return true;
  }
  assertionFailure(__FILE__, __LINE__, "class '" + name + "' is already registered");
  return false;
}

std::shared_ptr<void> ClassRegistry::find(const std::string& name, std::type_index type) const {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = classes_.find(name);
  if (it == classes_.end() || it->second.type != type) return nullptr;
  return it->second.object;
}

bool ClassRegistry::contains(const std::string& name) const {
  std::lock_guard<std::mutex> guard(mutex_);
  return classes_.count(name) != 0;
}

std::vector<std::string> ClassRegistry::names() const {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<std::string> out;
  for (const auto& [name, entry] : classes_)
    out.push_back(name);
  return out;
}

void ClassRegistry::unregisterClass(const std::string& name) {
  std::shared_ptr<void> gone;
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = classes_.find(name);
  if (it == classes_.end()) return;
  gone = std::move(it->second.object);
  classes_.erase(it);
}

void ClassRegistry::clear() {
  std::map<std::string, Entry> gone;
  std::lock_guard<std::mutex> guard(mutex_);
  gone.swap(classes_);
}

}  // namespace platform
