// Stands in for the web engine's object base: every engine object (web view, configuration,
// navigation record, ...) and every value the web view bridge hands out as an instance derives
// from NativeObject.
//
// An object has an identity, a number no other object of the process ever had, so a registry
// that keys weak entries by identity never takes a later object at the same address for a dead
// one. Objects live in shared pointers (weak references are std::weak_ptr). Finalizers attached
// to an object run once, when it is destroyed, on the thread that drops its last reference and
// under whatever locks that thread holds; they must therefore only hand work elsewhere.
//
// Key-value observation: an object keeps, per key path, the observers registered on it (held
// weakly, so a registration never keeps its observer alive) with their option bits. A subclass
// reports a change of one of its observable values with didChangeValueForKey(); observers hear
// of it through observeValue() on the thread making the change, after every lock is released.
// Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/core/value.h"

namespace platform::webkit {

// The option bits of a key-value observation.
namespace key_value_observing {
inline constexpr std::uint64_t kNew = 1;
inline constexpr std::uint64_t kOld = 2;
inline constexpr std::uint64_t kInitial = 4;
inline constexpr std::uint64_t kPrior = 8;
// Keys of a change dictionary, and the kind of a plain setting.
inline constexpr const char* kKindKey = "kind";
inline constexpr const char* kNewKey = "new";
inline constexpr const char* kOldKey = "old";
inline constexpr const char* kIndexesKey = "indexes";
inline constexpr const char* kNotificationIsPriorKey = "notificationIsPrior";
inline constexpr std::int64_t kSetting = 1;
}  // namespace key_value_observing

class NativeObject : public platform::Object, public std::enable_shared_from_this<NativeObject> {
 public:
  using Finalizer = std::function<void()>;
  using FinalizerToken = std::uint64_t;

  NativeObject();
  ~NativeObject() override;
  NativeObject(const NativeObject&) = delete;
  NativeObject& operator=(const NativeObject&) = delete;

  std::uint64_t identity() const { return identity_; }

  // Attaches `finalizer`; the token detaches it again. Several finalizers may be attached.
  FinalizerToken addFinalizer(Finalizer finalizer);
  // Detaches without running; false when the token is not (or no longer) attached.
  bool removeFinalizer(FinalizerToken token);
  std::size_t finalizerCount() const;

  // "NSObject" unless a subclass names its own kind.
  std::string className() const override;
  std::string debugDescription() const override;
  // The object's state as the engine sees it, for diagnostics and the test host's "describe";
  // empty unless a subclass reports something.
  virtual platform::ValueMap engineState() const { return {}; }

  // Registers `observer` for changes of `keyPath` with the given option bits. With kInitial the
  // observer hears of the current value (valueForKey) at once. Registering twice gives two
  // registrations, as the platform does.
  void addObserver(const std::shared_ptr<NativeObject>& observer, const std::string& keyPath,
                   std::uint64_t options);
  // Removes the latest registration of `observer` for `keyPath`; false (and nothing changes)
  // when there is none.
  bool removeObserver(const NativeObject& observer, const std::string& keyPath);
  // Live registrations for `keyPath` (observers that died are not counted).
  std::size_t observationCount(const std::string& keyPath) const;

  // Called on an observer for each change it registered for; `change` holds the keys of
  // key_value_observing. Does nothing unless a subclass observes.
  virtual void observeValue(const std::string& keyPath, const std::shared_ptr<NativeObject>& object,
                            const platform::ValueMap& change);
  // The current value under an observable key path (null for unknown ones).
  virtual platform::Value valueForKey(const std::string& keyPath) const;

 protected:
  // Tells the observers of `keyPath` that its value went from `oldValue` to `newValue`: a prior
  // notice first to those that asked for one, then the change itself; old and new values only
  // where asked for.
  void didChangeValueForKey(const std::string& keyPath, const platform::Value& oldValue,
                            const platform::Value& newValue);

 private:
  struct Observation {
    std::string keyPath;
    std::weak_ptr<NativeObject> observer;
    const NativeObject* observerAddress;  // identity for removal; never dereferenced
    std::uint64_t options;
  };

  const std::uint64_t identity_;
  mutable std::mutex mutex_;  // guards the finalizers and observations_; never held calling out
  // Finalizers in the order attached. Nearly every object has one at most (its registration
  // with the bridge), kept inline; the first slot is empty only when no finalizer is attached.
  FinalizerToken firstFinalizerToken_ = 0;  // 0: none
  Finalizer firstFinalizer_;
  std::vector<std::pair<FinalizerToken, Finalizer>> moreFinalizers_;
  std::vector<Observation> observations_;
};

using NativeObjectPtr = std::shared_ptr<NativeObject>;

}  // namespace platform::webkit
