// Heartbeat storage: one HeartbeatsBundle per identifier (an app's Ziriza app identifier) in a
// JSON file under "<application support>/ziriza-heartbeat-storage/", read, changed and written
// back as one step on that identifier's serial queue ("com.heartbeat.storage.<id>").
//
// One HeartbeatStorage per identifier is shared by everyone who asks while it lives; the
// process-wide map of instances holds them weakly under a mutex. Every file access for an
// identifier runs on its queue, so read-modify-write steps never overlap. Transforms run on that
// queue and must not call back into the same storage synchronously.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/core/value.h"
#include "platform/dispatch/queue.h"
#include "zevevidi/core/heartbeats_bundle.h"

enum class StorageError { readError, writeError };

// Thrown by Storage implementations.
class StorageException : public std::exception {
 public:
  explicit StorageException(StorageError error) : error(error) {}
  const char* what() const noexcept override {
    return error == StorageError::readError ? "heartbeat storage read error"
                                            : "heartbeat storage write error";
  }
  StorageError error;
};

// Where a bundle's bytes live. Both operations throw StorageException.
class Storage {
 public:
  virtual ~Storage() = default;
  virtual platform::Bytes read() = 0;
  // None stores no content.
  virtual void write(const std::optional<platform::Bytes>& data) = 0;
};

class FileStorage : public Storage {
 public:
  explicit FileStorage(std::string path) : path_(std::move(path)) {}
  // The file for `id`: <application support>/ziriza-heartbeat-storage/heartbeats-<safe id>.
  static std::shared_ptr<FileStorage> makeStorage(const std::string& id);
  // "heartbeats-" + the identifier with ":" as "_" and everything that could leave the folder
  // or end the name early ("%", "/", "\", NUL, "..") percent-escaped.
  static std::string fileNameForID(const std::string& id);

  platform::Bytes read() override;
  void write(const std::optional<platform::Bytes>& data) override;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Bytes under a key of a preferences suite (a data value; none removes the key).
class UserDefaultsStorage : public Storage {
 public:
  UserDefaultsStorage(std::string suiteName, std::string key)
      : suiteName_(std::move(suiteName)), key_(std::move(key)) {}
  platform::Bytes read() override;
  void write(const std::optional<platform::Bytes>& data) override;

 private:
  std::string suiteName_;
  std::string key_;
};

using BundleTransform =
    std::function<std::optional<HeartbeatsBundle>(std::optional<HeartbeatsBundle>)>;

// Outcome of getAndSet: the bundle as it was before, or the write error.
struct GetAndSetResult {
  bool ok = false;
  std::optional<HeartbeatsBundle> previous;
};

class HeartbeatStorageProtocol {
 public:
  virtual ~HeartbeatStorageProtocol() = default;
  virtual void readAndWriteSync(const BundleTransform& transform) = 0;
  virtual void readAndWriteAsync(BundleTransform transform) = 0;
  // Writes the transform's result and returns the bundle as it was; ok is false when the
  // write failed (the old content then stays).
  virtual GetAndSetResult getAndSet(const BundleTransform& transform) = 0;
  // The same on the queue; `completion` runs there exactly once.
  virtual void getAndSetAsync(BundleTransform transform,
                              std::function<void(GetAndSetResult)> completion) = 0;
};

class HeartbeatStorage : public HeartbeatStorageProtocol,
                         public std::enable_shared_from_this<HeartbeatStorage> {
 public:
  // The shared storage for `id`, made over FileStorage::makeStorage(id) when none is alive.
  static std::shared_ptr<HeartbeatStorage> getInstance(const std::string& id);

  HeartbeatStorage(std::string id, std::shared_ptr<Storage> storage);
  ~HeartbeatStorage() override;

  void readAndWriteSync(const BundleTransform& transform) override;
  void readAndWriteAsync(BundleTransform transform) override;
  GetAndSetResult getAndSet(const BundleTransform& transform) override;
  void getAndSetAsync(BundleTransform transform,
                      std::function<void(GetAndSetResult)> completion) override;

  const std::string& id() const { return id_; }
  const platform::QueuePtr& queue() const { return queue_; }

 private:
  // Queue only. Load errors (missing, empty, unreadable or undecodable file) read as none.
  std::optional<HeartbeatsBundle> loadOrNone();
  // Queue only; false when the bytes could not be written.
  bool save(const std::optional<HeartbeatsBundle>& bundle);
  // Queue only: load, transform, save; the write result goes to `written`.
  std::optional<HeartbeatsBundle> step(const BundleTransform& transform, bool* written);

  const std::string id_;
  const std::shared_ptr<Storage> storage_;
  const platform::QueuePtr queue_;
};
