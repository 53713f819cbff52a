// Stands in for the platform's user preferences: named persistent domains of property-list
// values, read through a search list and written through to disk.
//
// Domains and files. Every persistent domain is one binary property list (a dictionary) at
//   <preferences root>/<domain>.plist          (mode 0600)
// where the preferences root is $LUMORA_HOME/Preferences when LUMORA_HOME is set, else
// $XDG_CONFIG_HOME/lumora/Preferences (~/.config/lumora/Preferences), created on first write.
// The application's own domain is the main bundle's identifier; "NSGlobalDomain" is the global
// domain shared by every application of the user. Files are read when a domain is first used;
// any property-list form is accepted on reading. A damaged file is moved aside to
// "<domain>.plist.damaged" and the domain starts empty, so nothing is overwritten unseen.
//
// Search list of a Preferences object: its own domain (the suite, or the application's), then
// the global domain, then the registered defaults (process-wide, never stored). Writes go to
// its own domain only and reach the file at once: under a lock on the preferences folder, the
// keys this process changed are written over the file's current content (so processes sharing
// a domain keep each other's keys) through an atomic replace, and survive a restart. A write
// that cannot reach the disk is reported (false / error) and stays pending; synchronize()
// retries it. A file that exists but cannot be read is never overwritten.
//
// One store per process, shared by every Preferences object; tests swap it for an in-memory
// store with ScopedPreferencesForTesting. All methods are thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/error.h"
#include "platform/core/value.h"

namespace platform {

inline constexpr const char* kGlobalPreferencesDomain = "NSGlobalDomain";

// Size limits, counted in bytes of the binary property-list form. A write that would take a
// value or a domain past them is refused (kPropertyListWriteInvalidError) and nothing changes;
// removals are always allowed, so a domain that grew past the limit elsewhere can still shrink.
inline constexpr std::uint64_t kPreferencesMaxValueBytes = 1u << 20;
inline constexpr std::uint64_t kPreferencesMaxDomainBytes = 4u << 20;

class PreferencesStore;

// The boolean reading of a string, as preferences read a stored string for a boolean: after
// leading blanks, an optional sign and zeros, true on "Y", "y", "T", "t" or a digit 1 to 9.
bool stringBoolValue(const std::string& s);

class Preferences {
 public:
  // The application's own domain (shared instance).
  static std::shared_ptr<Preferences> standard();
  // A suite's preferences. An empty name gives the application's domain. The application's
  // own identifier, "NSGlobalDomain" and names that cannot be a file name (a "/", a leading
  // ".", control characters, more than 200 bytes) are refused with a null result.
  static std::shared_ptr<Preferences> withSuiteName(std::string_view suiteName);

  // The application's domain name (the main bundle's identifier).
  static std::string applicationDomain();
  // Where a domain's file lives; empty for an invalid name or an in-memory store.
  static std::string pathForDomain(std::string_view domain);
  // Drops everything this process holds for the domain, pending writes included, so the next
  // use reads the file afresh (used after the file was moved away).
  static void forgetDomain(std::string_view domain);

  const std::string& domain() const { return domain_; }

  // Reads through the search list. A missing key gives a null Value.
  Value objectForKey(std::string_view key) const;
  // Conversions: numbers convert between kinds (doubles truncate toward zero, clamped to the
  // 64-bit range), booleans read as 0/1, strings are scanned for a leading number ("42" is 42,
  // "3.9" is 3, "abc" is 0); anything else is 0 / false.
  std::int64_t integerForKey(std::string_view key) const;
  double doubleForKey(std::string_view key) const;
  float floatForKey(std::string_view key) const;
  // Booleans; numbers are true when not 0; strings starting with Y, y, T, t or a digit 1-9
  // (after spaces, a sign and leading zeros) are true.
  bool boolForKey(std::string_view key) const;
  // Strings, and numbers in their text form.
  std::optional<std::string> stringForKey(std::string_view key) const;
  std::optional<ValueList> arrayForKey(std::string_view key) const;
  std::optional<std::vector<std::string>> stringArrayForKey(std::string_view key) const;
  std::optional<ValueMap> dictionaryForKey(std::string_view key) const;
  std::optional<Bytes> dataForKey(std::string_view key) const;

  // Writes to this object's domain. A null value removes the key. A value without a
  // property-list form, or past the size limits, is refused (false,
  // kPropertyListWriteInvalidError) and nothing changes.
  bool setObject(std::string_view key, const Value& value, ErrorPtr* error = nullptr);
  bool setInteger(std::string_view key, std::int64_t v) { return setObject(key, Value(v)); }
  bool setDouble(std::string_view key, double v) { return setObject(key, Value(v)); }
  bool setFloat(std::string_view key, float v) { return setObject(key, Value(v)); }
  bool setBool(std::string_view key, bool v) { return setObject(key, Value(v)); }
  bool setString(std::string_view key, std::string_view v) { return setObject(key, Value(v)); }
  bool removeObjectForKey(std::string_view key) { return setObject(key, Value()); }

  // Values read when no domain holds the key. Process-wide, never stored.
  void registerDefaults(const ValueMap& defaults);
  // Everything the search list sees, the nearest domain winning.
  ValueMap dictionaryRepresentation() const;
  // The keys of this object's own domain, sorted.
  std::vector<std::string> keys() const;

  // Whole persistent domains by name; nullopt when the domain holds nothing or the name is
  // invalid.
  std::optional<ValueMap> persistentDomainForName(std::string_view domain) const;
  bool setPersistentDomain(const ValueMap& values, std::string_view domain,
                           ErrorPtr* error = nullptr);
  bool removePersistentDomainForName(std::string_view domain, ErrorPtr* error = nullptr);

  // Writes every pending change and re-reads the domains no change is pending for, so values
  // written by other processes become visible. False when a write still fails.
  bool synchronize(ErrorPtr* error = nullptr);

  Preferences(std::shared_ptr<PreferencesStore> store, std::string domain);

 private:
  std::shared_ptr<PreferencesStore> store_;
  std::string domain_;
};

// Replaces the process's preferences store while it lives: in memory (the default) or over
// files in `root`. Restores the previous store when it ends. Not for concurrent use with other
// instances.
class ScopedPreferencesForTesting {
 public:
  explicit ScopedPreferencesForTesting(std::string applicationDomain = "com.lumora.tests",
                                       std::string root = {});
  ~ScopedPreferencesForTesting();
  ScopedPreferencesForTesting(const ScopedPreferencesForTesting&) = delete;
  ScopedPreferencesForTesting& operator=(const ScopedPreferencesForTesting&) = delete;

 private:
  std::shared_ptr<PreferencesStore> previous_;
};

}  // namespace platform
