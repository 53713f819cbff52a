// The web view bridge's registry of instance identifiers: every engine object that the
// application's code holds a proxy of is registered here under a 64-bit identifier.
//
// An object is registered weakly for as long as it lives and strongly (kept alive) from its
// registration, and again from each sending to the application's code, until the application's
// code releases its identifier. Identifiers handed out natively start at 65536 and ascend,
// skipping identifiers still bound to a live object; the application's code chooses its own.
// One object may be registered under several identifiers (an engine singleton asked for twice):
// each identifier lives on its own and, when the object dies, each is reported once.
//
// A mutex guards the maps; objects are released only after it is dropped, so no finalizer ever
// runs under it. The death handler is called by a finalizer, on whatever thread and under
// whatever locks drop the object's last reference: it must only post its work elsewhere.
// Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <memory_resource>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/webkit/native_object.h"

namespace webview {

class InstanceManager {
 public:
  using Object = platform::webkit::NativeObject;
  using ObjectPtr = std::shared_ptr<Object>;
  // Told the identifier of a registered object that died (once per identifier).
  using DeathHandler = std::function<void(std::int64_t identifier)>;

  static constexpr std::int64_t kMinHostCreatedIdentifier = 65536;

  explicit InstanceManager(DeathHandler onDeath);
  ~InstanceManager();
  InstanceManager(const InstanceManager&) = delete;
  InstanceManager& operator=(const InstanceManager&) = delete;

  // Registers an object the application's code created (or asked for) under its identifier.
  // False, changing nothing, when the identifier is bound to another live object or is negative.
  bool addDartCreatedInstance(const ObjectPtr& object, std::int64_t identifier);
  // Registers an object under the next free native identifier and returns it.
  std::int64_t addHostCreatedInstance(const ObjectPtr& object);
  // Drops the strong reference under `identifier`; returns the object that was held strongly.
  // The caller releases it, outside of any lock of ours.
  ObjectPtr removeInstance(std::int64_t identifier);
  // The live object under `identifier`, or null.
  ObjectPtr instance(std::int64_t identifier) const;
  template <class T> std::shared_ptr<T> instanceOf(std::int64_t identifier) const {
    return std::dynamic_pointer_cast<T>(instance(identifier));
  }
  bool containsInstance(const ObjectPtr& object) const;
  // The object's first identifier, held strongly again; none when it is not registered.
  std::optional<std::int64_t> identifierWithStrongReference(const ObjectPtr& object);
  // Forgets everything without reporting any death; native numbering restarts at 65536.
  void removeAllObjects();

  // For tests and diagnostics. entryCount() includes entries of dead objects not forgotten yet
  // (a registration sweeps them out once the registry has doubled since the last sweep).
  std::size_t entryCount() const;
  std::size_t strongCount() const;
  bool isHeldStrongly(std::int64_t identifier) const;

 private:
  struct Entry {
    std::weak_ptr<Object> object;
    std::uint64_t identity = 0;
    Object::FinalizerToken token = 0;
    // Set while the application side holds the identifier: keeps the object alive.
    ObjectPtr strong;
  };
  // What finalizers see of the manager: the death handler and the generation of the registry
  // (a finalizer of an object registered before removeAllObjects() says nothing).
  struct Shared;

  // Under mutex_: the live object under `identifier`, or null (forgetting a dead entry).
  ObjectPtr liveLocked(std::int64_t identifier) const;
  void addLocked(const ObjectPtr& object, std::int64_t identifier);
  void sweepLocked();

  std::shared_ptr<Shared> shared_;
  mutable std::mutex mutex_;
  // The maps' nodes and buckets come from here (under mutex_): registering and forgetting
  // objects reuses the registry's own memory instead of allocating and freeing per object. It
  // keeps what the registry needed at its largest until the manager goes.
  std::pmr::unsynchronized_pool_resource memory_;
  mutable std::pmr::unordered_map<std::int64_t, Entry> entries_{&memory_};
  // The identifiers of one object in registration order. Nearly every object has one, kept
  // inline (no allocation); the rare further ones follow in `more`.
  struct Identifiers {
    std::optional<std::int64_t> first;
    std::vector<std::int64_t> more;
    bool empty() const { return !first; }
    std::int64_t front() const { return *first; }
    void push_back(std::int64_t identifier) {
      if (first) {
        more.push_back(identifier);
      } else {
        first = identifier;
      }
    }
    void erase(std::int64_t identifier) {
      if (first == identifier) {
        first.reset();
        if (!more.empty()) {
          first = more.front();
          more.erase(more.begin());
        }
      } else {
        std::erase(more, identifier);
      }
    }
  };
  // Identity -> identifiers in registration order.
  mutable std::pmr::unordered_map<std::uint64_t, Identifiers> identifiers_{&memory_};
  std::int64_t nextIdentifier_ = kMinHostCreatedIdentifier;
  std::size_t sweepAt_ = 64;
  std::uint64_t deathsAtSweep_ = 0;
};

}  // namespace webview
