#include "platform/foundation/preferences.h"

#include <charconv>
#include <cmath>
#include <map>
#include <mutex>

#include "platform/foundation/bundle.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/foundation_errors.h"
#include "platform/foundation/property_list.h"
#include "platform/log/log.h"

namespace platform {

class PreferencesStore {
 public:
  struct Domain {
    ValueMap values;
    // This process's changes not yet on disk: a value, or none for a removal. Only these keys
    // are written over the file's current content, so processes sharing a domain keep each
    // other's keys.
    std::map<Value, std::optional<Value>> pending;
    bool replaceAll = false;  // the whole domain was replaced; write `values` as they are
    bool blocked = false;     // unreadable or damaged file left in place: never overwrite it
    bool dirty() const { return replaceAll || !pending.empty(); }
  };

  PreferencesStore(std::string applicationDomain, std::string root, bool inMemory)
      : applicationDomain_(std::move(applicationDomain)), root_(std::move(root)),
        inMemory_(inMemory) {
    if (!inMemory_ && !root_.empty()) {
      // A new store is a new start: what interrupted writes of earlier runs left goes.
      FileManager::defaultManager().removeStaleTemporaryFiles(root_);
    }
  }

  std::mutex mutex;
  const std::string& applicationDomain() const { return applicationDomain_; }
  ValueMap registered;

  std::string pathFor(std::string_view name) const {
    if (inMemory_ || root_.empty()) return {};
    return joinPath(root_, std::string(name) + ".plist");
  }

  // Caller holds the mutex.
  Domain& domain(std::string_view name) {
    auto it = domains_.find(name);
    if (it != domains_.end()) return it->second;
    Domain& d = domains_[std::string(name)];
    d.values = readFile(name, &d.blocked);
    return d;
  }

  void forget(std::string_view name) {
    auto it = domains_.find(name);
    if (it != domains_.end()) domains_.erase(it);
  }

  // Caller holds the mutex. Writes the pending changes over the file's current content; on
  // failure they stay pending.
  bool store(std::string_view name, Domain& d, ErrorPtr* error) {
    std::string path = pathFor(name);
    if (path.empty()) {
      d.pending.clear();
      d.replaceAll = false;
      return true;
    }
    auto& fm = FileManager::defaultManager();
    if (!fm.createDirectory(root_, true, error, 0700)) return false;
    // Other processes writing the same folder wait for this read-change-write to finish.
    auto lock = fm.lockItem(root_, error);
    if (!lock) return false;
    ValueMap merged = d.replaceAll ? d.values : readFile(name, &d.blocked);
    if (d.blocked) {
      if (error) {
        *error = foundationError(kFileWriteUnknownError,
                                 "the domain's file cannot be read and is left untouched", path);
      }
      return false;
    }
    for (const auto& [key, value] : d.pending) {
      if (value) {
        merged[key] = *value;
      } else {
        merged.erase(key);
      }
    }
    bool ok = false;
    if (merged.empty()) {
      ok = !fm.fileExists(path) || fm.removeItem(path, error);
    } else {
      auto data = dataFromPropertyList(Value(merged), PropertyListFormat::Binary, error);
      ok = data && fm.writeAtomically(path, *data, error, 0600);
    }
    if (ok) {
      d.values = std::move(merged);
      d.pending.clear();
      d.replaceAll = false;
    }
    return ok;
  }

  // Writes pending domains and re-reads the others. Caller holds the mutex.
  bool synchronize(ErrorPtr* error) {
    bool ok = true;
    for (auto& [name, d] : domains_) {
      if (d.dirty()) {
        ok = store(name, d, error) && ok;
      } else {
        d = Domain{};
        d.values = readFile(name, &d.blocked);
      }
    }
    return ok;
  }

 private:
  // The file's dictionary; empty when there is no file. A damaged file is moved aside; one that
  // cannot be read at all (or moved) sets `blocked`.
  ValueMap readFile(std::string_view name, bool* blocked) {
    std::string path = pathFor(name);
    auto& fm = FileManager::defaultManager();
    if (path.empty() || !fm.fileExists(path)) return {};
    ErrorPtr error;
    auto v = readPropertyListFile(path, &error);
    if (v && v->isMap()) return std::move(v->asMap());
    auto log = Log::cached("com.lumora.platform", "preferences");
    if (!v && error && error->code != kPropertyListReadCorruptError) {
      *blocked = true;
      log->error("domain file " + path + " cannot be read (" + error->localizedDescription() +
                 "); writes refused");
      return {};
    }
    // Keep the damaged file for inspection instead of letting the next write replace it.
    std::string aside = path + ".damaged";
    if (fm.fileExists(aside)) fm.removeItem(aside);
    bool moved = fm.moveItem(path, aside);
    if (!moved) *blocked = true;
    log->error("domain file " + path + " is damaged (" +
               (error ? error->localizedDescription() : std::string("root is not a dictionary")) +
               "); " +
               (moved ? "moved to " + aside : std::string("left in place, writes refused")));
    return {};
  }

  std::string applicationDomain_;
  std::string root_;
  bool inMemory_;
  std::map<std::string, Domain, std::less<>> domains_;
};

namespace {

std::mutex& sharedMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<PreferencesStore>& sharedSlot() {
  static std::shared_ptr<PreferencesStore> slot;
  return slot;
}

std::shared_ptr<PreferencesStore> sharedStore() {
  std::lock_guard lock(sharedMutex());
  auto& slot = sharedSlot();
  if (!slot) {
    std::string app = Bundle::main()->bundleIdentifier().value_or(kDefaultBundleIdentifier);
    slot = std::make_shared<PreferencesStore>(
        std::move(app),
        FileManager::defaultManager().pathForDirectory(SearchPathDirectory::Preferences), false);
  }
  return slot;
}

bool validDomainName(std::string_view name) {
  if (name.empty() || name.size() > 200 || name[0] == '.') return false;
  for (char c : name) {
    if (c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  }
  return true;
}

const char* skipSpace(const char* p, const char* end) {
  while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r'))
    ++p;
  return p;
}

std::int64_t clampToInt64(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 9223372036854775807.0) return INT64_MAX;
  if (d <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<std::int64_t>(d);
}

// The leading decimal number of a string ("  -3.5e2xyz" is -350); 0 when there is none.
double scanDouble(const std::string& s) {
  const char* p = skipSpace(s.data(), s.data() + s.size());
  const char* end = s.data() + s.size();
  if (p < end && *p == '+') ++p;
  double d = 0;
  auto res = std::from_chars(p, end, d, std::chars_format::general);
  if (res.ec == std::errc::result_out_of_range) {
    return (p < end && *p == '-') ? -HUGE_VAL : HUGE_VAL;
  }
  return res.ec == std::errc() ? d : 0;
}

std::int64_t scanInteger(const std::string& s) {
  const char* end = s.data() + s.size();
  const char* p = skipSpace(s.data(), end);
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  std::int64_t v = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    int digit = *p - '0';
    if (v > (INT64_MAX - digit) / 10) return negative ? INT64_MIN : INT64_MAX;
    v = v * 10 + digit;
  }
  return negative ? -v : v;
}

// Whether `v` (a property-list value) fits in `limit` bytes of binary property list; else the
// error says what is too large.
bool withinLimit(const Value& v, std::uint64_t limit, const std::string& what, ErrorPtr* error) {
  auto data = dataFromPropertyList(v, PropertyListFormat::Binary, error);
  if (!data) return false;
  if (data->size() <= limit) return true;
  if (error) {
    *error = foundationError(kPropertyListWriteInvalidError,
                             "Cannot store " + what + ": it takes " + std::to_string(data->size()) +
                                 " bytes, more than the limit of " + std::to_string(limit));
  }
  return false;
}

std::string numberText(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, res.ptr);
}

}  // namespace

bool stringBoolValue(const std::string& s) {
  const char* end = s.data() + s.size();
  const char* p = skipSpace(s.data(), end);
  if (p < end && (*p == '+' || *p == '-')) ++p;
  while (p < end && *p == '0')
    ++p;
  if (p >= end) return false;
  char c = *p;
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

Preferences::Preferences(std::shared_ptr<PreferencesStore> store, std::string domain)
    : store_(std::move(store)), domain_(std::move(domain)) {}

std::shared_ptr<Preferences> Preferences::standard() {
  // One shared object per store, so that a test store swap is seen by later callers.
  static std::mutex m;
  static std::shared_ptr<Preferences> instance;
  auto store = sharedStore();
  std::lock_guard lock(m);
  if (!instance || instance->store_ != store) {
    instance = std::make_shared<Preferences>(store, store->applicationDomain());
  }
  return instance;
}

std::shared_ptr<Preferences> Preferences::withSuiteName(std::string_view suiteName) {
  auto store = sharedStore();
  if (suiteName.empty()) return std::make_shared<Preferences>(store, store->applicationDomain());
  if (suiteName == store->applicationDomain() || suiteName == kGlobalPreferencesDomain ||
      !validDomainName(suiteName)) {
    return nullptr;
  }
  return std::make_shared<Preferences>(store, std::string(suiteName));
}

std::string Preferences::applicationDomain() {
  return sharedStore()->applicationDomain();
}

std::string Preferences::pathForDomain(std::string_view domain) {
  return validDomainName(domain) ? sharedStore()->pathFor(domain) : std::string();
}

void Preferences::forgetDomain(std::string_view domain) {
  auto store = sharedStore();
  std::lock_guard lock(store->mutex);
  store->forget(domain);
}

Value Preferences::objectForKey(std::string_view key) const {
  Value k(key);
  std::lock_guard lock(store_->mutex);
  for (std::string_view name :
       {std::string_view(domain_), std::string_view(kGlobalPreferencesDomain)}) {
    const auto& values = store_->domain(name).values;
    if (auto it = values.find(k); it != values.end()) return it->second;
  }
  if (auto it = store_->registered.find(k); it != store_->registered.end()) return it->second;
  return Value();
}

std::int64_t Preferences::integerForKey(std::string_view key) const {
  Value v = objectForKey(key);
  if (auto i = v.ifInt()) return *i;
  if (auto d = v.ifDouble()) return clampToInt64(*d);
  if (auto b = v.ifBool()) return *b ? 1 : 0;
  if (auto s = v.ifString()) return scanInteger(*s);
  return 0;
}

double Preferences::doubleForKey(std::string_view key) const {
  Value v = objectForKey(key);
  if (auto i = v.ifInt()) return static_cast<double>(*i);
  if (auto d = v.ifDouble()) return *d;
  if (auto b = v.ifBool()) return *b ? 1 : 0;
  if (auto s = v.ifString()) return scanDouble(*s);
  return 0;
}

float Preferences::floatForKey(std::string_view key) const {
  return static_cast<float>(doubleForKey(key));
}

bool Preferences::boolForKey(std::string_view key) const {
  Value v = objectForKey(key);
  if (auto b = v.ifBool()) return *b;
  if (auto i = v.ifInt()) return *i != 0;
  if (auto d = v.ifDouble()) return *d != 0;
  if (auto s = v.ifString()) return stringBoolValue(*s);
  return false;
}

std::optional<std::string> Preferences::stringForKey(std::string_view key) const {
  Value v = objectForKey(key);
  if (auto s = v.ifString()) return *s;
  if (auto i = v.ifInt()) return std::to_string(*i);
  if (auto d = v.ifDouble()) return numberText(*d);
  if (auto b = v.ifBool()) return std::string(*b ? "1" : "0");
  return std::nullopt;
}

std::optional<ValueList> Preferences::arrayForKey(std::string_view key) const {
  Value v = objectForKey(key);
  if (auto l = v.ifList()) return *l;
  return std::nullopt;
}

std::optional<std::vector<std::string>> Preferences::stringArrayForKey(std::string_view key) const {
  auto list = arrayForKey(key);
  if (!list) return std::nullopt;
  std::vector<std::string> out;
  for (const Value& item : *list) {
    if (!item.isString()) return std::nullopt;
    out.push_back(item.asString());
  }
  return out;
}

std::optional<ValueMap> Preferences::dictionaryForKey(std::string_view key) const {
  Value v = objectForKey(key);
  if (auto m = v.ifMap()) return *m;
  return std::nullopt;
}

std::optional<Bytes> Preferences::dataForKey(std::string_view key) const {
  Value v = objectForKey(key);
  if (auto b = v.ifBytes()) return *b;
  return std::nullopt;
}

bool Preferences::setObject(std::string_view key, const Value& value, ErrorPtr* error) {
  const std::string what = "the value for \"" + std::string(key) + "\"";
  if (!value.isNull()) {
    if (auto problem = propertyListProblem(value); !problem.empty()) {
      if (error) {
        *error = foundationError(kPropertyListWriteInvalidError,
                                 "Cannot store " + what + ": " + problem);
      }
      return false;
    }
    if (!withinLimit(Value::map({{key, value}}), kPreferencesMaxValueBytes, what, error)) {
      return false;
    }
  }
  std::lock_guard lock(store_->mutex);
  auto& d = store_->domain(domain_);
  Value k(key);
  if (!value.isNull()) {
    ValueMap after = d.values;
    after[k] = value;
    if (!withinLimit(Value(std::move(after)), kPreferencesMaxDomainBytes,
                     "domain " + domain_ + " with " + what, error)) {
      return false;
    }
  }
  if (value.isNull()) {
    if (d.values.erase(k) == 0 && !d.dirty()) return true;
    d.pending[k] = std::nullopt;
  } else {
    auto it = d.values.find(k);
    if (it != d.values.end() && it->second == value && !d.dirty()) return true;
    d.values[k] = value;
    d.pending[k] = value;
  }
  return store_->store(domain_, d, error);
}

void Preferences::registerDefaults(const ValueMap& defaults) {
  std::lock_guard lock(store_->mutex);
  for (const auto& [k, v] : defaults)
    store_->registered[k] = v;
}

ValueMap Preferences::dictionaryRepresentation() const {
  std::lock_guard lock(store_->mutex);
  ValueMap out = store_->registered;
  for (std::string_view name :
       {std::string_view(kGlobalPreferencesDomain), std::string_view(domain_)}) {
    for (const auto& [k, v] : store_->domain(name).values)
      out[k] = v;
  }
  return out;
}

std::vector<std::string> Preferences::keys() const {
  std::lock_guard lock(store_->mutex);
  std::vector<std::string> out;
  for (const auto& [k, v] : store_->domain(domain_).values) {
    if (k.isString()) out.push_back(k.asString());
  }
  return out;
}

std::optional<ValueMap> Preferences::persistentDomainForName(std::string_view domain) const {
  if (!validDomainName(domain)) return std::nullopt;
  std::lock_guard lock(store_->mutex);
  const auto& values = store_->domain(domain).values;
  if (values.empty()) return std::nullopt;
  return values;
}

bool Preferences::setPersistentDomain(const ValueMap& values, std::string_view domain,
                                      ErrorPtr* error) {
  if (!validDomainName(domain)) {
    if (error) *error = foundationError(kFileWriteUnknownError, "invalid domain name");
    return false;
  }
  if (auto problem = propertyListProblem(Value(values)); !problem.empty()) {
    if (error) *error = foundationError(kPropertyListWriteInvalidError, problem);
    return false;
  }
  if (!withinLimit(Value(values), kPreferencesMaxDomainBytes, "domain " + std::string(domain),
                   error)) {
    return false;
  }
  std::lock_guard lock(store_->mutex);
  auto& d = store_->domain(domain);
  d.values = values;
  d.pending.clear();
  d.replaceAll = true;
  return store_->store(domain, d, error);
}

bool Preferences::removePersistentDomainForName(std::string_view domain, ErrorPtr* error) {
  return setPersistentDomain({}, domain, error);
}

bool Preferences::synchronize(ErrorPtr* error) {
  std::lock_guard lock(store_->mutex);
  return store_->synchronize(error);
}

ScopedPreferencesForTesting::ScopedPreferencesForTesting(std::string applicationDomain,
                                                         std::string root) {
  auto store = std::make_shared<PreferencesStore>(std::move(applicationDomain), root, root.empty());
  std::lock_guard lock(sharedMutex());
  previous_ = std::move(sharedSlot());
  sharedSlot() = std::move(store);
}

ScopedPreferencesForTesting::~ScopedPreferencesForTesting() {
  std::lock_guard lock(sharedMutex());
  sharedSlot() = std::move(previous_);
}

}  // namespace platform
