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
  Finalizer first;
  std::vector<std::pair<FinalizerToken, Finalizer>> more;
  {
    std::lock_guard lock(mutex_);
    first = std::move(firstFinalizer_);
    firstFinalizerToken_ = 0;
    if (rare_) more.swap(rare_->moreFinalizers);
  }
  if (first) first();
  for (auto& entry : more)
    entry.second();
}

NativeObject::Rare& NativeObject::rareLocked() {
  if (!rare_) rare_ = std::make_unique<Rare>();
  return *rare_;
}

NativeObject::FinalizerToken NativeObject::addFinalizer(Finalizer finalizer) {
  const FinalizerToken token = nextToken.fetch_add(1, std::memory_order_relaxed);
  std::lock_guard lock(mutex_);
  if (firstFinalizerToken_ == 0) {
    firstFinalizerToken_ = token;
    firstFinalizer_ = std::move(finalizer);
  } else {
    rareLocked().moreFinalizers.emplace_back(token, std::move(finalizer));
  }
  return token;
}

bool NativeObject::removeFinalizer(FinalizerToken token) {
  Finalizer removed;  // destroyed after the lock is dropped: it may own anything
  std::lock_guard lock(mutex_);
  if (token != 0 && token == firstFinalizerToken_) {
    removed = std::move(firstFinalizer_);
    firstFinalizer_ = nullptr;
    firstFinalizerToken_ = 0;
    // The next one moves up, so the first slot stays the oldest.
    if (rare_ && !rare_->moreFinalizers.empty()) {
      auto& more = rare_->moreFinalizers;
      firstFinalizerToken_ = more.front().first;
      firstFinalizer_ = std::move(more.front().second);
      more.erase(more.begin());
    }
    return true;
  }
  if (!rare_) return false;
  auto& more = rare_->moreFinalizers;
  auto it = std::find_if(more.begin(), more.end(),
                         [token](const auto& entry) { return entry.first == token; });
  if (it == more.end()) return false;
  removed = std::move(it->second);
  more.erase(it);
  return true;
}

std::size_t NativeObject::finalizerCount() const {
  std::lock_guard lock(mutex_);
  return (firstFinalizerToken_ != 0 ? 1 : 0) + (rare_ ? rare_->moreFinalizers.size() : 0);
}

std::string NativeObject::className() const {
  return "NSObject";
}

void NativeObject::addObserver(const std::shared_ptr<NativeObject>& observer,
                               const std::string& keyPath, std::uint64_t options) {
  if (!observer) return;
  {
    std::lock_guard lock(mutex_);
    rareLocked().observations.push_back({keyPath, observer, observer.get(), options});
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
  if (!rare_) return false;
  auto& observations = rare_->observations;
  for (auto it = observations.rbegin(); it != observations.rend(); ++it) {
    if (it->observerAddress == &observer && it->keyPath == keyPath && !it->observer.expired()) {
      observations.erase(std::next(it).base());
      return true;
    }
  }
  return false;
}

std::size_t NativeObject::observationCount(const std::string& keyPath) const {
  std::lock_guard lock(mutex_);
  if (!rare_) return 0;
  const auto& observations = rare_->observations;
  return static_cast<std::size_t>(
      std::count_if(observations.begin(), observations.end(), [&](const Observation& o) {
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
    if (!rare_) return;
    auto& observations = rare_->observations;
    // Registrations whose observer died go here: nothing can remove them any more.
    std::erase_if(observations, [](const Observation& o) { return o.observer.expired(); });
    for (const auto& o : observations) {
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
