// GULKeychainStorage: an asynchronous store of archived objects in the keychain, one
// generic-password item per key under a service name, with a small in-memory cache in front.
//
// Threads: keychain calls run on the serial queue "com.gul.KeychainStorage.Keychain", cache
// bookkeeping on the serial queue "com.gul.KeychainStorage.InMemoryCache". Completions run on
// the keychain queue, except a cache hit and a successful keychain read, which complete on the
// cache queue; callers must not assume the main thread. Every operation passes the cache queue
// first and queues its keychain step from there, so keychain steps run in call order and a
// write's completion always follows its cache update. The storage keeps itself alive until its
// queued work has run.
//
// The cache never holds what the keychain refused: a write that fails takes its object out of
// the cache again, and a keychain read never replaces a value written or removed after the read
// began.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/error.h"
#include "platform/core/value.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/keyed_archive.h"

namespace platform {
struct KeychainQuery;
}

// A count-limited object cache that drops the least recently used entry when full. Thread-safe.
class GULKeychainCache {
 public:
  explicit GULKeychainCache(std::size_t countLimit = 0) : countLimit_(countLimit) {}

  platform::ObjectPtr objectForKey(const std::string& key);
  void setObject(platform::ObjectPtr object, const std::string& key);
  void removeObjectForKey(const std::string& key);
  // Removes the entry only while it still holds `object` (the same instance).
  void removeObjectIfSame(const std::string& key, const platform::ObjectPtr& object);
  void removeAllObjects();
  std::size_t count() const;
  // 0: no limit.
  std::size_t countLimit() const { return countLimit_; }

 private:
  const std::size_t countLimit_;
  mutable std::mutex mutex_;
  std::list<std::string> recency_;  // most recent first
  struct Entry {
    platform::ObjectPtr object;
    std::list<std::string>::iterator position;
  };
  std::map<std::string, Entry> entries_;
};

class GULKeychainStorage : public std::enable_shared_from_this<GULKeychainStorage> {
 public:
  using ObjectCompletion = std::function<void(platform::ObjectPtr, platform::ErrorPtr)>;
  using RemoveCompletion = std::function<void(platform::ErrorPtr)>;

  // A storage for `service` with a cache of 5 entries.
  static std::shared_ptr<GULKeychainStorage> initWithService(std::string service);
  static std::shared_ptr<GULKeychainStorage>
  initWithService(std::string service, std::shared_ptr<GULKeychainCache> cache);

  // Completes with (object, none) from the cache or the keychain, (none, none) when there is no
  // item, or (none, error) when the keychain or the unarchiving fails. The stored archive must
  // hold an object of `objectClass`.
  void getObjectForKey(const std::string& key, const platform::ArchiveClass& objectClass,
                       const std::optional<std::string>& accessGroup, ObjectCompletion completion);
  // The same for an object that holds objects of other classes: `classes` lists every class the
  // archive may contain, the root object's class first.
  void getObjectForKey(const std::string& key, std::vector<platform::ArchiveClass> classes,
                       const std::optional<std::string>& accessGroup, ObjectCompletion completion);
  // Archives `object` (it must be archivable) into the key's item; completes with (object,
  // none) or (none, error). The object is readable from the cache at once, until a failure
  // takes it out again.
  void setObject(platform::ObjectPtr object, const std::string& key,
                 const std::optional<std::string>& accessGroup, ObjectCompletion completion);
  // Completes with none, also when there was no item, or with the keychain's error.
  void removeObjectForKey(const std::string& key, const std::optional<std::string>& accessGroup,
                          RemoveCompletion completion);
  // Empties the cache at once, on the caller's thread.
  void resetInMemoryCache();

  const std::string& service() const { return service_; }

  GULKeychainStorage(std::string service, std::shared_ptr<GULKeychainCache> cache);

 private:
  platform::KeychainQuery queryForKey(const std::string& key,
                                      const std::optional<std::string>& accessGroup) const;

  const std::string service_;
  const std::shared_ptr<GULKeychainCache> inMemoryCache_;
  const platform::QueuePtr keychainQueue_;
  const platform::QueuePtr inMemoryCacheQueue_;
  // Bumped on the cache queue by every write and removal of a key, so a keychain read that
  // started earlier can tell that its result is stale. Touched only on the cache queue.
  std::map<std::string, std::uint64_t> generations_;
};
