// Stands in for the platform's keychain item functions: secret items addressed by their
// attributes, with add, update, copy-matching and delete returning the platform's status codes.
//
// Two item classes are kept. A generic password is identified by (service, account, access
// group); a key by (key type, application tag, access group). Adding an item whose identity is
// taken gives kSecDuplicateItem. A query names the class and any of the attributes; attributes
// left unset match every item, and a query without an access group searches every group.
//
// Keychain::shared() is the process keychain: FileKeychain over
//   <Keychains directory>/keychain.plist   (see file_manager.h: $LUMORA_HOME/Keychains, else
//                                           $XDG_DATA_HOME/lumora/Keychains; folder 0700,
//                                           file 0600)
// Tests install an InMemoryKeychain, which can fail chosen operations with chosen statuses.
// Every implementation is thread-safe; calls block the caller (callers hop to their own
// queue first).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/value.h"

namespace platform {

using OSStatus = std::int32_t;

inline constexpr OSStatus kSecSuccess = 0;
inline constexpr OSStatus kSecUnimplemented = -4;
inline constexpr OSStatus kSecIO = -36;
inline constexpr OSStatus kSecParam = -50;
inline constexpr OSStatus kSecAllocate = -108;
inline constexpr OSStatus kSecNotAvailable = -25291;
inline constexpr OSStatus kSecDuplicateItem = -25299;
inline constexpr OSStatus kSecItemNotFound = -25300;
inline constexpr OSStatus kSecInteractionNotAllowed = -25308;
inline constexpr OSStatus kSecDecode = -26275;
inline constexpr OSStatus kSecMissingEntitlement = -34018;

enum class KeychainItemClass { GenericPassword, Key };

// Accessibility values with the platform's meaning; stored with the item, not enforced here.
inline constexpr const char* kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly =
    "AfterFirstUnlockThisDeviceOnly";
inline constexpr const char* kSecAttrKeyTypeRSA = "RSA";
inline constexpr const char* kSecAttrKeyTypeEC = "EC";

struct KeychainItem {
  KeychainItemClass itemClass = KeychainItemClass::GenericPassword;
  // Generic passwords.
  std::string service;
  std::string account;
  std::optional<Bytes> generic;  // the free-form "generic" attribute
  // Keys.
  std::string keyType;
  Bytes applicationTag;
  // Both.
  std::string accessGroup;  // empty: the application's default group
  std::string accessible;
  Bytes data;

  friend bool operator==(const KeychainItem&, const KeychainItem&) = default;
};

// What to match. Unset attributes match anything.
struct KeychainQuery {
  KeychainItemClass itemClass = KeychainItemClass::GenericPassword;
  std::optional<std::string> service;
  std::optional<std::string> account;
  std::optional<Bytes> generic;
  std::optional<std::string> keyType;
  std::optional<Bytes> applicationTag;
  std::optional<std::string> accessGroup;

  bool matches(const KeychainItem& item) const;
  // The item an add with these attributes would create (unset attributes empty).
  KeychainItem itemWithData(Bytes data, std::string accessible = {}) const;
};

// The attributes an update changes; unset ones stay as they are.
struct KeychainUpdate {
  std::optional<Bytes> data;
  std::optional<std::string> accessible;
};

enum class KeychainOperation { Add, CopyMatching, Update, Delete };

class Keychain {
 public:
  virtual ~Keychain() = default;

  // The process keychain (a FileKeychain unless a test replaced it).
  static std::shared_ptr<Keychain> shared();
  // Replaces the process keychain; null restores the default on the next shared().
  static void setSharedForTesting(std::shared_ptr<Keychain> keychain);

  // Adds an item; kSecDuplicateItem when one with the same identity exists.
  virtual OSStatus add(const KeychainItem& item) = 0;
  // The first matching item (in identity order); kSecItemNotFound when none matches.
  virtual OSStatus copyMatching(const KeychainQuery& query, KeychainItem* result) = 0;
  // Every matching item; kSecItemNotFound when none matches.
  virtual OSStatus copyAllMatching(const KeychainQuery& query,
                                   std::vector<KeychainItem>* results) = 0;
  // Changes every matching item; kSecItemNotFound when none matches.
  virtual OSStatus update(const KeychainQuery& query, const KeychainUpdate& changes) = 0;
  // Removes every matching item; kSecItemNotFound when none matches.
  virtual OSStatus remove(const KeychainQuery& query) = 0;
};

// Shared rules of both implementations, over an item list the subclass loads and saves.
class ItemListKeychain : public Keychain {
 public:
  OSStatus add(const KeychainItem& item) override;
  OSStatus copyMatching(const KeychainQuery& query, KeychainItem* result) override;
  OSStatus copyAllMatching(const KeychainQuery& query, std::vector<KeychainItem>* results) override;
  OSStatus update(const KeychainQuery& query, const KeychainUpdate& changes) override;
  OSStatus remove(const KeychainQuery& query) override;

 protected:
  // Called with mutex_ held. `load` fills the list or returns a failure status; `save` stores
  // a changed list.
  virtual OSStatus load(std::vector<KeychainItem>* items) = 0;
  virtual OSStatus save(const std::vector<KeychainItem>& items) = 0;
  // Lets a subclass fail an operation before it runs; kSecSuccess lets it run.
  virtual OSStatus before(KeychainOperation) { return kSecSuccess; }
  // Held for the whole of one operation (load, change, save); a subclass shared with other
  // processes returns a cross-process lock here.
  virtual std::shared_ptr<void> lockStore() { return nullptr; }

  std::mutex mutex_;
};

// Items in one property-list file under a private folder. Every call reads the file and a
// changing call replaces it atomically, under a lock file, so several processes can share it.
// A damaged file is moved aside ("keychain.plist.damaged") instead of being overwritten.
class FileKeychain : public ItemListKeychain {
 public:
  // `directory` empty: the user's Keychains directory.
  explicit FileKeychain(std::string directory = {});
  std::string filePath() const;

 protected:
  OSStatus load(std::vector<KeychainItem>* items) override;
  OSStatus save(const std::vector<KeychainItem>& items) override;
  std::shared_ptr<void> lockStore() override;
  OSStatus before(KeychainOperation op) override;

 private:
  std::string directory();
  std::string directory_;
  bool lockFailed_ = false;  // guarded by mutex_
  bool swept_ = false;       // guarded by mutex_
};

// The test double: items in memory, and failures injected per operation.
class InMemoryKeychain : public ItemListKeychain {
 public:
  // The next `times` calls of `op` (every call for times < 0) fail with `status` and change
  // nothing.
  void injectFailure(KeychainOperation op, OSStatus status, int times = -1);
  void clearFailures();
  // How many times each operation was called, failed ones included.
  int callCount(KeychainOperation op);
  std::vector<KeychainItem> items();

 protected:
  OSStatus load(std::vector<KeychainItem>* items) override;
  OSStatus save(const std::vector<KeychainItem>& items) override;
  OSStatus before(KeychainOperation op) override;

 private:
  struct Failure {
    OSStatus status;
    int remaining;
  };
  std::vector<KeychainItem> items_;
  std::map<KeychainOperation, Failure> failures_;
  std::map<KeychainOperation, int> calls_;
};

}  // namespace platform
