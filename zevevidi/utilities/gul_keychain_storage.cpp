#include "zevevidi/utilities/gul_keychain_storage.h"

#include "platform/foundation/foundation_errors.h"
#include "platform/security/keychain.h"
#include "zevevidi/utilities/gul_keychain_utils.h"

// ---- GULKeychainCache ----

platform::ObjectPtr GULKeychainCache::objectForKey(const std::string& key) {
  std::lock_guard lock(mutex_);
  auto it = entries_.find(key);
  if (it == entries_.end()) return nullptr;
  recency_.splice(recency_.begin(), recency_, it->second.position);
  return it->second.object;
}

void GULKeychainCache::setObject(platform::ObjectPtr object, const std::string& key) {
  if (!object) return;
  std::lock_guard lock(mutex_);
  auto it = entries_.find(key);
  if (it != entries_.end()) {
    it->second.object = std::move(object);
    recency_.splice(recency_.begin(), recency_, it->second.position);
    return;
  }
  recency_.push_front(key);
  entries_.emplace(key, Entry{std::move(object), recency_.begin()});
  if (countLimit_ > 0 && entries_.size() > countLimit_) {
    entries_.erase(recency_.back());
    recency_.pop_back();
  }
}

void GULKeychainCache::removeObjectForKey(const std::string& key) {
  std::lock_guard lock(mutex_);
  auto it = entries_.find(key);
  if (it == entries_.end()) return;
  recency_.erase(it->second.position);
  entries_.erase(it);
}

void GULKeychainCache::removeObjectIfSame(const std::string& key,
                                          const platform::ObjectPtr& object) {
  std::lock_guard lock(mutex_);
  auto it = entries_.find(key);
  if (it == entries_.end() || it->second.object != object) return;
  recency_.erase(it->second.position);
  entries_.erase(it);
}

void GULKeychainCache::removeAllObjects() {
  std::lock_guard lock(mutex_);
  entries_.clear();
  recency_.clear();
}

std::size_t GULKeychainCache::count() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

// ---- GULKeychainStorage ----

std::shared_ptr<GULKeychainStorage> GULKeychainStorage::initWithService(std::string service) {
  return initWithService(std::move(service), std::make_shared<GULKeychainCache>(5));
}

std::shared_ptr<GULKeychainStorage>
GULKeychainStorage::initWithService(std::string service, std::shared_ptr<GULKeychainCache> cache) {
  return std::make_shared<GULKeychainStorage>(std::move(service), std::move(cache));
}

GULKeychainStorage::GULKeychainStorage(std::string service, std::shared_ptr<GULKeychainCache> cache)
    : service_(std::move(service)),
      inMemoryCache_(cache ? std::move(cache) : std::make_shared<GULKeychainCache>(5)),
      keychainQueue_(platform::makeSerialQueue("com.gul.KeychainStorage.Keychain")),
      inMemoryCacheQueue_(platform::makeSerialQueue("com.gul.KeychainStorage.InMemoryCache")) {}

platform::KeychainQuery
GULKeychainStorage::queryForKey(const std::string& key,
                                const std::optional<std::string>& accessGroup) const {
  platform::KeychainQuery query;
  query.itemClass = platform::KeychainItemClass::GenericPassword;
  query.service = service_;
  query.account = key;
  if (accessGroup) query.accessGroup = *accessGroup;
  return query;
}

void GULKeychainStorage::getObjectForKey(const std::string& key,
                                         const platform::ArchiveClass& objectClass,
                                         const std::optional<std::string>& accessGroup,
                                         ObjectCompletion completion) {
  getObjectForKey(key, std::vector<platform::ArchiveClass>{objectClass}, accessGroup,
                  std::move(completion));
}

void GULKeychainStorage::getObjectForKey(const std::string& key,
                                         std::vector<platform::ArchiveClass> classes,
                                         const std::optional<std::string>& accessGroup,
                                         ObjectCompletion completion) {
  if (classes.empty()) {
    if (completion) {
      completion(nullptr, platform::Error::withDescription(platform::kFoundationErrorDomain,
                                                           platform::kCoderReadCorruptError,
                                                           "No class to read the item as."));
    }
    return;
  }
  const std::string rootClass = classes.front().name;
  auto self = shared_from_this();
  inMemoryCacheQueue_->async([self, key, classes = std::move(classes), rootClass, accessGroup,
                              completion = std::move(completion)]() mutable {
    // An entry of another class than the one asked for is no answer; the keychain decides.
    auto cached = self->inMemoryCache_->objectForKey(key);
    if (cached && cached->className() == rootClass) {
      if (completion) completion(std::move(cached), nullptr);
      return;
    }
    const std::uint64_t generation = self->generations_[key];
    self->keychainQueue_->async([self, key, classes = std::move(classes), rootClass, accessGroup,
                                 generation, completion = std::move(completion)]() mutable {
      platform::ErrorPtr error;
      auto data = GULKeychainUtils::getItemWithQuery(self->queryForKey(key, accessGroup), &error);
      if (error || !data) {
        if (completion) completion(nullptr, error);
        return;
      }
      auto value = platform::KeyedUnarchiver::unarchivedValue(*data, classes, &error);
      platform::ObjectPtr object;
      if (value) {
        const platform::ObjectPtr* root = value->ifObject();
        if (root && *root && (*root)->className() == rootClass) object = *root;
      }
      if (!object) {
        if (!error) {
          error = platform::Error::withDescription(
              platform::kFoundationErrorDomain, platform::kCoderReadCorruptError,
              "The stored item does not hold an object of class " + rootClass + ".");
        }
        if (completion) completion(nullptr, error);
        return;
      }
      self->inMemoryCacheQueue_->async(
          [self, key, generation, object, completion = std::move(completion)]() mutable {
            // A write or removal queued after this read began is newer than what was read; it
            // decides what the cache holds.
            if (self->generations_[key] == generation) self->inMemoryCache_->setObject(object, key);
            if (completion) completion(std::move(object), nullptr);
          });
    });
  });
}

void GULKeychainStorage::setObject(platform::ObjectPtr object, const std::string& key,
                                   const std::optional<std::string>& accessGroup,
                                   ObjectCompletion completion) {
  auto self = shared_from_this();
  // The keychain step is queued from the cache step, so it always follows it: a completion
  // never runs before the cache holds the object, and a failure always finds it there to take
  // out. Every operation passes the cache queue first, so keychain steps keep call order.
  inMemoryCacheQueue_->async([self, object = std::move(object), key, accessGroup,
                              completion = std::move(completion)]() mutable {
    ++self->generations_[key];
    self->inMemoryCache_->setObject(object, key);
    self->keychainQueue_->async([self, object = std::move(object), key, accessGroup,
                                 completion = std::move(completion)]() mutable {
      platform::ErrorPtr error;
      auto data =
          platform::KeyedArchiver::archivedDataWithRootObject(platform::Value(object), &error);
      const bool stored =
          data && GULKeychainUtils::setItem(*data, self->queryForKey(key, accessGroup), &error);
      if (!stored) {
        // The keychain did not take the object, so the cache must not offer it as stored. A
        // newer object cached for the key since then stays.
        self->inMemoryCache_->removeObjectIfSame(key, object);
        if (!error) {
          error = GULKeychainUtils::keychainErrorWithFunction("SecItemAdd", platform::kSecParam);
        }
        if (completion) completion(nullptr, error);
        return;
      }
      if (completion) completion(std::move(object), nullptr);
    });
  });
}

void GULKeychainStorage::removeObjectForKey(const std::string& key,
                                            const std::optional<std::string>& accessGroup,
                                            RemoveCompletion completion) {
  auto self = shared_from_this();
  inMemoryCacheQueue_->async(
      [self, key, accessGroup, completion = std::move(completion)]() mutable {
        ++self->generations_[key];
        self->inMemoryCache_->removeObjectForKey(key);
        self->keychainQueue_->async([self, key, accessGroup, completion = std::move(completion)] {
          platform::ErrorPtr error;
          GULKeychainUtils::removeItemWithQuery(self->queryForKey(key, accessGroup), &error);
          if (completion) completion(error);
        });
      });
}

void GULKeychainStorage::resetInMemoryCache() {
  inMemoryCache_->removeAllObjects();
}
