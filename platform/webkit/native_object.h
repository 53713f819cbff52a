// Stands in for the web engine's object base: every engine object (web view, configuration,
// navigation record, ...) and every value the web view bridge hands out as an instance derives
// from NativeObject.
//
// An object has an identity, a number no other object of the process ever had, so a registry
// that keys weak entries by identity never takes a later object at the same address for a dead
// one. Objects live in shared pointers (weak references are std::weak_ptr). Finalizers attached
// to an object run once, when it is destroyed, on the thread that drops its last reference and
// under whatever locks that thread holds; they must therefore only hand work elsewhere.
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

 private:
  const std::uint64_t identity_;
  mutable std::mutex mutex_;
  std::vector<std::pair<FinalizerToken, Finalizer>> finalizers_;
};

using NativeObjectPtr = std::shared_ptr<NativeObject>;

}  // namespace platform::webkit
