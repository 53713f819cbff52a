#include "platform/webkit/native_object.h"

#include <algorithm>
#include <atomic>

namespace platform::webkit {

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

std::string NativeObject::debugDescription() const {
  return "<" + className() + " #" + std::to_string(identity_) + ">";
}

}  // namespace platform::webkit
