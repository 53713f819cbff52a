#include "platform/webkit/native_object.h"

#include <algorithm>
#include <atomic>

namespace platform::webkit {

using platform::Value;

namespace {

std::atomic<std::uint64_t> nextIdentity{1};
std::atomic<std::uint64_t> nextToken{1};

}  // namespace

NativeObject::NativeObject() : identity_(nextIdentity.fetch_add(1, std::memory_order_relaxed)) {}

NativeObject::~NativeObject() {
  std::vector<std::pair<FinalizerToken, Finalizer>> finalizers;
  {
    std::lock_guard lock(mutex_);
    finalizers.swap(finalizers_);
  }
  for (auto& entry : finalizers)
    entry.second();
}

NativeObject::FinalizerToken NativeObject::addFinalizer(Finalizer finalizer) {
  const FinalizerToken token = nextToken.fetch_add(1, std::memory_order_relaxed);
  std::lock_guard lock(mutex_);
  finalizers_.emplace_back(token, std::move(finalizer));
  return token;
}

bool NativeObject::removeFinalizer(FinalizerToken token) {
  Finalizer removed;  // destroyed after the lock is dropped: it may own anything
  std::lock_guard lock(mutex_);
  auto it = std::find_if(finalizers_.begin(), finalizers_.end(),
                         [token](const auto& entry) { return entry.first == token; });
  if (it == finalizers_.end()) return false;
  removed = std::move(it->second);
  finalizers_.erase(it);
  return true;
}

std::size_t NativeObject::finalizerCount() const {
  std::lock_guard lock(mutex_);
  return finalizers_.size();
}

std::string NativeObject::className() const {
  return "NSObject";
}

void NativeObject::addObserver(const std::shared_ptr<NativeObject>& observer,
                               const std::string& keyPath, std::uint64_t options) {
  if (!observer) return;
  {
    std::lock_guard lock(mutex_);
    observations_.push_back({keyPath, observer, observer.get(), options});
  }
  if (options & key_value_observing::kInitial) {
    platform::ValueMap change{
        {Value(key_value_observing::kKindKey), Value(key_value_observing::kSetting)}};
    if (options & key_value_observing::kNew)
      change[Value(key_value_observing::kNewKey)] = valueForKey(keyPath);
    observer->observeValue(keyPath, shared_from_this(), change);
  }
}

bool NativeObject::removeObserver(const NativeObject& observer, const std::string& keyPath) {
  std::lock_guard lock(mutex_);
  for (auto it = observations_.rbegin(); it != observations_.rend(); ++it) {
    if (it->observerAddress == &observer && it->keyPath == keyPath && !it->observer.expired()) {
      observations_.erase(std::next(it).base());
      return true;
    }
  }
  return false;
}

std::size_t NativeObject::observationCount(const std::string& keyPath) const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(
      std::count_if(observations_.begin(), observations_.end(), [&](const Observation& o) {
        return o.keyPath == keyPath && !o.observer.expired();
      }));
}

void NativeObject::observeValue(const std::string& /*keyPath*/,
                                const std::shared_ptr<NativeObject>& /*object*/,
                                const platform::ValueMap& /*change*/) {}

platform::Value NativeObject::valueForKey(const std::string& /*keyPath*/) const {
  return Value();
}

void NativeObject::didChangeValueForKey(const std::string& keyPath, const platform::Value& oldValue,
                                        const platform::Value& newValue) {
  namespace kvo = key_value_observing;
  std::vector<std::pair<std::shared_ptr<NativeObject>, std::uint64_t>> targets;
  {
    std::lock_guard lock(mutex_);
    // Registrations whose observer died go here: nothing can remove them any more.
    std::erase_if(observations_, [](const Observation& o) { return o.observer.expired(); });
    for (const auto& o : observations_) {
      if (o.keyPath != keyPath) continue;
      if (auto observer = o.observer.lock()) targets.emplace_back(std::move(observer), o.options);
    }
  }
  if (targets.empty()) return;
  auto self = shared_from_this();
  for (const auto& [observer, options] : targets) {
    if (options & kvo::kPrior) {
      platform::ValueMap prior{{Value(kvo::kKindKey), Value(kvo::kSetting)},
                               {Value(kvo::kNotificationIsPriorKey), Value(true)}};
      if (options & kvo::kOld) prior[Value(kvo::kOldKey)] = oldValue;
      observer->observeValue(keyPath, self, prior);
    }
    platform::ValueMap change{{Value(kvo::kKindKey), Value(kvo::kSetting)}};
    if (options & kvo::kNew) change[Value(kvo::kNewKey)] = newValue;
    if (options & kvo::kOld) change[Value(kvo::kOldKey)] = oldValue;
    observer->observeValue(keyPath, self, change);
  }
}

std::string NativeObject::debugDescription() const {
  return "<" + className() + " #" + std::to_string(identity_) + ">";
}

}  // namespace platform::webkit
