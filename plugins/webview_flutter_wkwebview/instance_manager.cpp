#include "plugins/webview_flutter_wkwebview/instance_manager.h"

#include <algorithm>
#include <atomic>
#include <utility>

namespace webview {

struct InstanceManager::Shared {
  explicit Shared(DeathHandler onDeath) : onDeath(std::move(onDeath)) {}
  const DeathHandler onDeath;
  std::atomic<std::uint64_t> generation{0};
  // Registered objects that died so far: a sweep without a death since the last one would find
  // nothing to forget.
  std::atomic<std::uint64_t> deaths{0};
};

InstanceManager::InstanceManager(DeathHandler onDeath)
    : shared_(std::make_shared<Shared>(std::move(onDeath))) {}

InstanceManager::~InstanceManager() {
  removeAllObjects();
}

InstanceManager::ObjectPtr InstanceManager::liveLocked(std::int64_t identifier) const {
  auto it = entries_.find(identifier);
  if (it == entries_.end()) return nullptr;
  if (auto object = it->second.object.lock()) return object;
  // Dead: its finalizer has run or is running and reports the identifier by itself.
  auto ids = identifiers_.find(it->second.identity);
  if (ids != identifiers_.end()) {
    ids->second.erase(identifier);
    if (ids->second.empty()) identifiers_.erase(ids);
  }
  entries_.erase(it);
  return nullptr;
}

void InstanceManager::sweepLocked() {
  // A death counted after this load leaves its entry to the next sweep (or to liveLocked).
  const std::uint64_t deaths = shared_->deaths.load();
  if (deaths != deathsAtSweep_) {
    deathsAtSweep_ = deaths;
    for (auto it = entries_.begin(); it != entries_.end();) {
      auto next = std::next(it);
      if (it->second.object.expired()) liveLocked(it->first);
      it = next;
    }
  }
  sweepAt_ = std::max<std::size_t>(64, entries_.size() * 2);
}

void InstanceManager::addLocked(const ObjectPtr& object, std::int64_t identifier) {
  if (entries_.size() >= sweepAt_) sweepLocked();
  // The finalizer holds the shared part only weakly: a manager that is gone hears nothing.
  std::weak_ptr<Shared> weakShared = shared_;
  const std::uint64_t generation = shared_->generation.load();
  const auto token = object->addFinalizer([weakShared, generation, identifier] {
    auto shared = weakShared.lock();
    if (!shared) return;
    shared->deaths.fetch_add(1);
    if (shared->generation.load() == generation) shared->onDeath(identifier);
  });
  entries_[identifier] = Entry{object, object->identity(), token, object};
  identifiers_[object->identity()].push_back(identifier);
}

bool InstanceManager::addDartCreatedInstance(const ObjectPtr& object, std::int64_t identifier) {
  if (!object || identifier < 0) return false;
  std::lock_guard lock(mutex_);
  if (auto bound = liveLocked(identifier)) {
    if (bound != object) return false;
    entries_.find(identifier)->second.strong = std::move(bound);
    return true;
  }
  addLocked(object, identifier);
  return true;
}

std::int64_t InstanceManager::addHostCreatedInstance(const ObjectPtr& object) {
  std::lock_guard lock(mutex_);
  while (liveLocked(nextIdentifier_))
    ++nextIdentifier_;
  const std::int64_t identifier = nextIdentifier_++;
  addLocked(object, identifier);
  return identifier;
}

InstanceManager::ObjectPtr InstanceManager::removeInstance(std::int64_t identifier) {
  std::lock_guard lock(mutex_);
  auto it = entries_.find(identifier);
  if (it == entries_.end()) return nullptr;
  return std::exchange(it->second.strong, nullptr);
}

InstanceManager::ObjectPtr InstanceManager::instance(std::int64_t identifier) const {
  std::lock_guard lock(mutex_);
  return liveLocked(identifier);
}

bool InstanceManager::containsInstance(const ObjectPtr& object) const {
  if (!object) return false;
  std::lock_guard lock(mutex_);
  auto ids = identifiers_.find(object->identity());
  return ids != identifiers_.end() && !ids->second.empty();
}

std::optional<std::int64_t>
InstanceManager::identifierWithStrongReference(const ObjectPtr& object) {
  if (!object) return std::nullopt;
  std::lock_guard lock(mutex_);
  auto ids = identifiers_.find(object->identity());
  if (ids == identifiers_.end() || ids->second.empty()) return std::nullopt;
  const std::int64_t identifier = ids->second.front();
  entries_.find(identifier)->second.strong = object;
  return identifier;
}

void InstanceManager::removeAllObjects() {
  std::vector<std::pair<ObjectPtr, Object::FinalizerToken>> live;
  {
    std::lock_guard lock(mutex_);
    // Finalizers of what was registered so far stay silent from here on, even one running now.
    shared_->generation.fetch_add(1);
    live.reserve(entries_.size());
    for (auto& [identifier, entry] : entries_) {
      if (auto object = entry.object.lock()) live.emplace_back(std::move(object), entry.token);
      entry.strong.reset();  // `live` keeps the object until the lock is dropped
    }
    identifiers_.clear();
    entries_.clear();
    nextIdentifier_ = kMinHostCreatedIdentifier;
    sweepAt_ = 64;
  }
  for (auto& [object, token] : live)
    object->removeFinalizer(token);
  // `live` releases the objects here, outside the lock.
}

std::size_t InstanceManager::entryCount() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

std::size_t InstanceManager::strongCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(std::count_if(
      entries_.begin(), entries_.end(), [](const auto& entry) { return entry.second.strong; }));
}

bool InstanceManager::isHeldStrongly(std::int64_t identifier) const {
  std::lock_guard lock(mutex_);
  auto it = entries_.find(identifier);
  return it != entries_.end() && it->second.strong;
}

}  // namespace webview
