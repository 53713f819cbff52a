#include "measurement/storage/apm_persistent_dictionary.h"

#include "measurement/storage/apm_file_locations.h"
#include "measurement/storage/apm_monitor.h"
#include "measurement/storage/apm_user_defaults.h"
#include "platform/foundation/property_list.h"

namespace {

const std::string* validKey(const platform::Value& key) {
  const std::string* text = key.ifString();
  return (text && !text->empty()) ? text : nullptr;
}

}  // namespace

APMPersistentDictionary::APMPersistentDictionary(std::string filePath, platform::ValueMap content)
    : filePath_(std::move(filePath)),
      serialQueue_(platform::makeSerialQueue("APMPersistentDictionary")),
      content_(std::move(content)) {}

APMPersistentDictionary::~APMPersistentDictionary() {
  persistToDisk();
}

std::shared_ptr<APMPersistentDictionary>
APMPersistentDictionary::initWithFileName(std::string_view name) {
  if (name.empty()) return nullptr;
  std::string path = APMFilePathForPersistentDictionaryName(name);
  if (path.empty()) return nullptr;
  if (!APMCreateDirectory(APMParentDirectory(path), nullptr)) {
    APMLogPlatformError(43004, "Cannot create subdirectories for config plist files.");
    return nullptr;
  }
  platform::ValueMap content;
  if (auto stored = platform::readPropertyListFile(path); stored && stored->isMap()) {
    content = std::move(stored->asMap());
  }
  return std::make_shared<APMPersistentDictionary>(std::move(path), std::move(content));
}

platform::Value APMPersistentDictionary::objectForKey(const platform::Value& key) const {
  if (!validKey(key)) {
    APMLogPlatformWarning(43001, "Cannot get object for invalid config key.");
    return {};
  }
  std::lock_guard lock(mutex_);
  const auto found = content_.find(key);
  return found == content_.end() ? platform::Value() : found->second;
}

bool APMPersistentDictionary::setObject(const platform::Value& object, const platform::Value& key) {
  if (!validKey(key)) {
    APMLogPlatformWarning(43002, "Cannot set object for invalid config key.");
    return false;
  }
  if (object.isNull()) {
    std::lock_guard lock(mutex_);
    if (content_.erase(key) != 0) schedulePersistToDisk();
    return true;
  }
  // Checked at every depth: one nested value the file cannot hold would make every later write
  // of the whole dictionary fail.
  if (!platform::isPropertyListValue(object)) {
    APMLogPlatformWarning(43003,
                          "Cannot set invalid object to config. Must be a string, number, array, "
                          "dictionary, date, or data. Value " +
                              object.debugString());
    return false;
  }
  std::lock_guard lock(mutex_);
  auto [entry, inserted] = content_.try_emplace(key, object);
  if (!inserted) {
    if (entry->second == object) return true;
    entry->second = object;
  }
  schedulePersistToDisk();
  return true;
}

void APMPersistentDictionary::schedulePersistToDisk() {
  if (hasPendingPersistence_) return;
  hasPendingPersistence_ = true;
  std::weak_ptr<APMPersistentDictionary> weak = weak_from_this();
  serialQueue_->asyncAfter(1.0, [weak] {
    if (auto self = weak.lock()) self->persistToDisk();
  });
}

void APMPersistentDictionary::persistToDisk() {
  std::lock_guard writeLock(writeMutex_);
  platform::Value copy;
  {
    std::lock_guard lock(mutex_);
    if (!hasPendingPersistence_) return;
    hasPendingPersistence_ = false;
    copy = platform::Value(content_);
  }
  if (!platform::writePropertyListFile(filePath_, copy, platform::PropertyListFormat::Xml)) {
    APMLogPlatformError(43000, "Cannot persist configs to disk");
  }
}

void APMPersistentDictionary::clearAllData() {
  std::lock_guard lock(mutex_);
  if (content_.empty()) return;
  content_.clear();
  schedulePersistToDisk();
}

void APMPersistentDictionary::synchronize() {
  persistToDisk();
}

bool APMPersistentDictionary::hasPendingPersistence() const {
  std::lock_guard lock(mutex_);
  return hasPendingPersistence_;
}

platform::ValueMap APMPersistentDictionary::contents() const {
  std::lock_guard lock(mutex_);
  return content_;
}
