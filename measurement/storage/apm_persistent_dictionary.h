// APMPersistentDictionary: a string-keyed dictionary of property-list values that lives in
// memory and writes itself, as an XML property list, to one file under Application Support /
// "Ziriza/Measurement" about one second after it changes (a burst of changes is written once).
// Keys must be non-empty strings (43001, 43002); values must be property lists at every depth
// (43003): anything else is refused and changes nothing. A failed write logs 43000 and keeps the
// content; the next change tries again.
//
// Thread-safe: the content and the pending flag sit under `mutex_`; the timed write runs on the
// serial queue "APMPersistentDictionary" (driven by platform::Clock, so a mock clock drives it)
// and writes a copy outside that lock. `writeMutex_` is taken before `mutex_` and keeps file
// writes in the order their copies were taken.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/storage/apm_typed_accessors.h"
#include "platform/core/value.h"
#include "platform/dispatch/queue.h"

class APMPersistentDictionary : public std::enable_shared_from_this<APMPersistentDictionary>,
                                public APMTypedAccessors<APMPersistentDictionary> {
 public:
  // None for an empty name, an empty path, or a parent folder that cannot be made (43004).
  // An unreadable file starts an empty dictionary.
  static std::shared_ptr<APMPersistentDictionary> initWithFileName(std::string_view name);
  // Writes a pending change before it goes.
  ~APMPersistentDictionary();

  platform::Value objectForKey(const platform::Value& key) const;
  // A null object removes the key. Returns whether the value is now stored as asked.
  bool setObject(const platform::Value& object, const platform::Value& key);

  // Removes every entry (and schedules a write) when there is one.
  void clearAllData();
  // Writes a pending change now, on the calling thread.
  void synchronize();

  bool hasPendingPersistence() const;
  const std::string& filePath() const { return filePath_; }
  platform::ValueMap contents() const;

  APMPersistentDictionary(std::string filePath, platform::ValueMap content);

 private:
  void schedulePersistToDisk();  // with mutex_ held
  void persistToDisk();

  const std::string filePath_;
  const platform::QueuePtr serialQueue_;
  std::mutex writeMutex_;
  mutable std::mutex mutex_;
  platform::ValueMap content_;
  bool hasPendingPersistence_ = false;
};
