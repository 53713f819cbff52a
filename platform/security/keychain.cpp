#include "platform/security/keychain.h"

#include <algorithm>
#include <tuple>

#include "platform/foundation/file_manager.h"
#include "platform/foundation/foundation_errors.h"
#include "platform/foundation/property_list.h"
#include "platform/log/log.h"

namespace platform {

namespace {

bool sameIdentity(const KeychainItem& a, const KeychainItem& b) {
  if (a.itemClass != b.itemClass || a.accessGroup != b.accessGroup) return false;
  if (a.itemClass == KeychainItemClass::GenericPassword) {
    return a.service == b.service && a.account == b.account;
  }
  return a.keyType == b.keyType && a.applicationTag == b.applicationTag;
}

auto identityKey(const KeychainItem& i) {
  return std::tie(i.itemClass, i.accessGroup, i.service, i.account, i.keyType, i.applicationTag);
}

// Both never destroyed: queue workers may still reach the shared keychain while the process
// exits.
std::mutex& sharedMutex() {
  static auto* m = new std::mutex;
  return *m;
}

std::shared_ptr<Keychain>& sharedSlot() {
  static auto* slot = new std::shared_ptr<Keychain>;
  return *slot;
}

// File form: an array of dictionaries.
Value itemToValue(const KeychainItem& item) {
  ValueMap m;
  m["class"] = item.itemClass == KeychainItemClass::Key ? "key" : "password";
  m["service"] = item.service;
  m["account"] = item.account;
  if (item.generic) m["generic"] = *item.generic;
  m["keyType"] = item.keyType;
  m["applicationTag"] = item.applicationTag;
  m["accessGroup"] = item.accessGroup;
  m["accessible"] = item.accessible;
  m["data"] = item.data;
  return Value(std::move(m));
}

std::optional<KeychainItem> itemFromValue(const Value& v) {
  if (!v.isMap()) return std::nullopt;
  auto str = [&](const char* key, std::string* out) {
    const Value* f = v.find(key);
    if (!f || !f->isString()) return false;
    *out = f->asString();
    return true;
  };
  auto bytes = [&](const char* key, Bytes* out) {
    const Value* f = v.find(key);
    if (!f || !f->isBytes()) return false;
    *out = f->asBytes();
    return true;
  };
  KeychainItem item;
  std::string cls;
  if (!str("class", &cls) || (cls != "key" && cls != "password")) return std::nullopt;
  item.itemClass = cls == "key" ? KeychainItemClass::Key : KeychainItemClass::GenericPassword;
  if (!str("service", &item.service) || !str("account", &item.account) ||
      !str("keyType", &item.keyType) || !bytes("applicationTag", &item.applicationTag) ||
      !str("accessGroup", &item.accessGroup) || !str("accessible", &item.accessible) ||
      !bytes("data", &item.data)) {
    return std::nullopt;
  }
  if (const Value* g = v.find("generic")) {
    if (!g->isBytes()) return std::nullopt;
    item.generic = g->asBytes();
  }
  return item;
}

}  // namespace

bool KeychainQuery::matches(const KeychainItem& item) const {
  if (item.itemClass != itemClass) return false;
  if (accessGroup && *accessGroup != item.accessGroup) return false;
  if (itemClass == KeychainItemClass::GenericPassword) {
    return (!service || *service == item.service) && (!account || *account == item.account) &&
           (!generic || item.generic == generic);
  }
  return (!keyType || *keyType == item.keyType) &&
         (!applicationTag || *applicationTag == item.applicationTag);
}

KeychainItem KeychainQuery::itemWithData(Bytes data, std::string accessible) const {
  KeychainItem item;
  item.itemClass = itemClass;
  item.service = service.value_or("");
  item.account = account.value_or("");
  item.generic = generic;
  item.keyType = keyType.value_or("");
  item.applicationTag = applicationTag.value_or(Bytes{});
  item.accessGroup = accessGroup.value_or("");
  item.accessible = std::move(accessible);
  item.data = std::move(data);
  return item;
}

std::shared_ptr<Keychain> Keychain::shared() {
  std::lock_guard lock(sharedMutex());
  if (!sharedSlot()) sharedSlot() = std::make_shared<FileKeychain>();
  return sharedSlot();
}

void Keychain::setSharedForTesting(std::shared_ptr<Keychain> keychain) {
  std::lock_guard lock(sharedMutex());
  sharedSlot() = std::move(keychain);
}

OSStatus ItemListKeychain::add(const KeychainItem& item) {
  std::lock_guard lock(mutex_);
  auto storeLock = lockStore();
  if (OSStatus s = before(KeychainOperation::Add); s != kSecSuccess) return s;
  std::vector<KeychainItem> items;
  if (OSStatus s = load(&items); s != kSecSuccess) return s;
  for (const auto& existing : items) {
    if (sameIdentity(existing, item)) return kSecDuplicateItem;
  }
  items.push_back(item);
  std::sort(items.begin(), items.end(),
            [](const auto& a, const auto& b) { return identityKey(a) < identityKey(b); });
  return save(items);
}

OSStatus ItemListKeychain::copyMatching(const KeychainQuery& query, KeychainItem* result) {
  std::lock_guard lock(mutex_);
  auto storeLock = lockStore();
  if (OSStatus s = before(KeychainOperation::CopyMatching); s != kSecSuccess) return s;
  std::vector<KeychainItem> items;
  if (OSStatus s = load(&items); s != kSecSuccess) return s;
  for (const auto& item : items) {
    if (query.matches(item)) {
      if (result) *result = item;
      return kSecSuccess;
    }
  }
  return kSecItemNotFound;
}

OSStatus ItemListKeychain::copyAllMatching(const KeychainQuery& query,
                                           std::vector<KeychainItem>* results) {
  std::lock_guard lock(mutex_);
  auto storeLock = lockStore();
  if (OSStatus s = before(KeychainOperation::CopyMatching); s != kSecSuccess) return s;
  std::vector<KeychainItem> items;
  if (OSStatus s = load(&items); s != kSecSuccess) return s;
  std::vector<KeychainItem> found;
  for (const auto& item : items) {
    if (query.matches(item)) found.push_back(item);
  }
  if (found.empty()) return kSecItemNotFound;
  if (results) *results = std::move(found);
  return kSecSuccess;
}

OSStatus ItemListKeychain::update(const KeychainQuery& query, const KeychainUpdate& changes) {
  std::lock_guard lock(mutex_);
  auto storeLock = lockStore();
  if (OSStatus s = before(KeychainOperation::Update); s != kSecSuccess) return s;
  std::vector<KeychainItem> items;
  if (OSStatus s = load(&items); s != kSecSuccess) return s;
  bool any = false;
  for (auto& item : items) {
    if (!query.matches(item)) continue;
    any = true;
    if (changes.data) item.data = *changes.data;
    if (changes.accessible) item.accessible = *changes.accessible;
  }
  return any ? save(items) : kSecItemNotFound;
}

OSStatus ItemListKeychain::remove(const KeychainQuery& query) {
  std::lock_guard lock(mutex_);
  auto storeLock = lockStore();
  if (OSStatus s = before(KeychainOperation::Delete); s != kSecSuccess) return s;
  std::vector<KeychainItem> items;
  if (OSStatus s = load(&items); s != kSecSuccess) return s;
  auto kept = std::remove_if(items.begin(), items.end(),
                             [&](const KeychainItem& i) { return query.matches(i); });
  if (kept == items.end()) return kSecItemNotFound;
  items.erase(kept, items.end());
  return save(items);
}

// ---------------------------------------------------------------------------------------------

FileKeychain::FileKeychain(std::string directory) : directory_(std::move(directory)) {}

std::string FileKeychain::directory() {
  if (!directory_.empty()) {
    FileManager::defaultManager().createDirectory(directory_, true, nullptr, 0700);
    return directory_;
  }
  return FileManager::defaultManager().directory(SearchPathDirectory::Keychains);
}

std::string FileKeychain::filePath() const {
  std::string dir =
      directory_.empty()
          ? FileManager::defaultManager().pathForDirectory(SearchPathDirectory::Keychains)
          : directory_;
  return joinPath(dir, "keychain.plist");
}

std::shared_ptr<void> FileKeychain::lockStore() {
  // Held for one operation, so processes sharing the file see each other's changes whole. An
  // operation that cannot take it fails (before()) rather than risk losing another's change.
  lockFailed_ = false;
  std::string dir = directory();
  std::shared_ptr<FileLock> lock =
      dir.empty() ? nullptr
                  : FileManager::defaultManager().lockItem(joinPath(dir, "keychain.lock"));
  lockFailed_ = !lock;
  return lock;
}

OSStatus FileKeychain::before(KeychainOperation) {
  return lockFailed_ ? kSecIO : kSecSuccess;
}

OSStatus FileKeychain::load(std::vector<KeychainItem>* items) {
  std::string dir = directory();
  if (dir.empty()) return kSecNotAvailable;
  if (!swept_) {
    // The first use of the file: what interrupted writes of earlier runs left goes.
    FileManager::defaultManager().removeStaleTemporaryFiles(dir);
    swept_ = true;
  }
  std::string path = filePath();
  auto& fm = FileManager::defaultManager();
  if (!fm.fileExists(path)) return kSecSuccess;
  ErrorPtr error;
  auto v = readPropertyListFile(path, &error);
  bool ok = v && v->isList();
  if (ok) {
    for (const Value& entry : v->asList()) {
      auto item = itemFromValue(entry);
      if (!item) {
        ok = false;
        break;
      }
      items->push_back(std::move(*item));
    }
  }
  if (ok) return kSecSuccess;
  items->clear();
  if (!v && error && error->code != kPropertyListReadCorruptError)
    return kSecIO;  // unreadable, not damaged
  std::string aside = path + ".damaged";
  if (fm.fileExists(aside)) fm.removeItem(aside);
  if (!fm.moveItem(path, aside)) return kSecDecode;
  Log::cached("com.lumora.platform", "keychain")
      ->error("keychain file was damaged and has been moved to " + aside);
  return kSecSuccess;
}

OSStatus FileKeychain::save(const std::vector<KeychainItem>& items) {
  ValueList list;
  for (const auto& item : items)
    list.push_back(itemToValue(item));
  auto data = dataFromPropertyList(Value(std::move(list)), PropertyListFormat::Binary);
  if (!data) return kSecParam;  // an attribute that is not valid text
  return FileManager::defaultManager().writeAtomically(filePath(), *data, nullptr, 0600)
             ? kSecSuccess
             : kSecIO;
}

// ---------------------------------------------------------------------------------------------

void InMemoryKeychain::injectFailure(KeychainOperation op, OSStatus status, int times) {
  std::lock_guard lock(mutex_);
  failures_[op] = Failure{status, times};
}

void InMemoryKeychain::clearFailures() {
  std::lock_guard lock(mutex_);
  failures_.clear();
}

int InMemoryKeychain::callCount(KeychainOperation op) {
  std::lock_guard lock(mutex_);
  return calls_[op];
}

std::vector<KeychainItem> InMemoryKeychain::items() {
  std::lock_guard lock(mutex_);
  return items_;
}

OSStatus InMemoryKeychain::load(std::vector<KeychainItem>* items) {
  *items = items_;
  return kSecSuccess;
}

OSStatus InMemoryKeychain::save(const std::vector<KeychainItem>& items) {
  items_ = items;
  return kSecSuccess;
}

OSStatus InMemoryKeychain::before(KeychainOperation op) {
  ++calls_[op];
  auto it = failures_.find(op);
  if (it == failures_.end()) return kSecSuccess;
  OSStatus status = it->second.status;
  if (it->second.remaining > 0 && --it->second.remaining == 0) failures_.erase(it);
  return status;
}

}  // namespace platform
