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

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>
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

// What an object runs when it is destroyed: any callable taking nothing, moved in. A closure of
// up to kInlineSize bytes that moves without throwing (a registration's few fields) is kept
// inside the Finalizer itself, so attaching one allocates nothing; a larger one is kept on the
// heap. Empty when made from nothing, nullptr, a null function pointer or an empty
// std::function. Move-only.
class Finalizer {
 public:
  static constexpr std::size_t kInlineSize = 32;

  Finalizer() noexcept = default;
  Finalizer(std::nullptr_t) noexcept {}  // implicit, as std::function's is
  template <class F>
  requires(!std::is_same_v<std::remove_cvref_t<F>, Finalizer> &&
           std::is_invocable_r_v<void, std::decay_t<F>&>)
      Finalizer(F&& callable) {  // implicit, as std::function's is
    using Stored = std::decay_t<F>;
    if constexpr (std::is_pointer_v<Stored> || std::is_member_pointer_v<Stored> ||
                  std::is_same_v<Stored, std::function<void()>>) {
      if (!callable) return;
    }
    if constexpr (fitsInline<Stored>()) {
      ::new (static_cast<void*>(storage_)) Stored(std::forward<F>(callable));
      ops_ = &inlineOps<Stored>;
    } else {
      *reinterpret_cast<Stored**>(storage_) = new Stored(std::forward<F>(callable));
      ops_ = &heapOps<Stored>;
    }
  }
  Finalizer(Finalizer&& other) noexcept { takeFrom(other); }
  Finalizer& operator=(Finalizer&& other) noexcept {
    if (this != &other) {
      reset();
      takeFrom(other);
    }
    return *this;
  }
  Finalizer& operator=(std::nullptr_t) noexcept {
    reset();
    return *this;
  }
  Finalizer(const Finalizer&) = delete;
  Finalizer& operator=(const Finalizer&) = delete;
  ~Finalizer() { reset(); }

  explicit operator bool() const noexcept { return ops_ != nullptr; }
  // Runs the callable; an empty Finalizer does nothing.
  void operator()() {
    if (ops_) ops_->call(storage_);
  }
  // Whether the callable lives inside this object (for tests).
  bool isInline() const noexcept { return ops_ && ops_->isInline; }

 private:
  struct Ops {
    void (*call)(void* storage);
    // Moves the callable from one storage to another and ends it in the first.
    void (*relocate)(void* from, void* to) noexcept;
    void (*destroy)(void* storage) noexcept;
    bool isInline;
  };
  template <class F> static constexpr bool fitsInline() {
    return sizeof(F) <= kInlineSize && alignof(F) <= alignof(void*) &&
           std::is_nothrow_move_constructible_v<F>;
  }
  template <class F> static F* inlineTarget(void* storage) {
    return std::launder(reinterpret_cast<F*>(storage));
  }
  template <class F>
  static constexpr Ops inlineOps{[](void* storage) { (*inlineTarget<F>(storage))(); },
                                 [](void* from, void* to) noexcept {
                                   F* source = inlineTarget<F>(from);
                                   ::new (to) F(std::move(*source));
                                   source->~F();
                                 },
                                 [](void* storage) noexcept { inlineTarget<F>(storage)->~F(); },
                                 true};
  template <class F>
  static constexpr Ops heapOps{
      [](void* storage) { (**reinterpret_cast<F**>(storage))(); },
      [](void* from, void* to) noexcept {
        *reinterpret_cast<F**>(to) = *reinterpret_cast<F**>(from);
      },
      [](void* storage) noexcept { delete *reinterpret_cast<F**>(storage); }, false};

  void takeFrom(Finalizer& other) noexcept {
    if (!other.ops_) return;
    other.ops_->relocate(other.storage_, storage_);
    ops_ = std::exchange(other.ops_, nullptr);
  }
  void reset() noexcept {
    if (auto ops = std::exchange(ops_, nullptr)) ops->destroy(storage_);
  }

  alignas(void*) unsigned char storage_[kInlineSize];
  const Ops* ops_ = nullptr;
};

class NativeObject : public platform::Object, public std::enable_shared_from_this<NativeObject> {
 public:
  using Finalizer = webkit::Finalizer;
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

  // What few objects have: finalizers after the first, and observations. Made on first use.
  struct Rare {
    std::vector<std::pair<FinalizerToken, Finalizer>> moreFinalizers;
    std::vector<Observation> observations;
  };
  Rare& rareLocked();

  const std::uint64_t identity_;
  mutable std::mutex mutex_;  // guards the finalizers and rare_; never held calling out
  // Finalizers in the order attached. Nearly every object has one at most (its registration
  // with the bridge), kept inline; the first slot is empty only when no finalizer is attached.
  FinalizerToken firstFinalizerToken_ = 0;  // 0: none
  Finalizer firstFinalizer_;
  std::unique_ptr<Rare> rare_;
};

using NativeObjectPtr = std::shared_ptr<NativeObject>;

}  // namespace platform::webkit
