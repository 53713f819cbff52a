#include "zevevidi/core/heartbeat_storage.h"

#include <map>

#include "platform/foundation/file_manager.h"
#include "platform/foundation/json.h"
#include "platform/foundation/preferences.h"
#include "platform/log/log.h"

using platform::Bytes;

namespace {

constexpr const char* kStorageDirectory = "ziriza-heartbeat-storage";

struct Instances {
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<HeartbeatStorage>> map;
};

Instances& instances() {
  static auto* i = new Instances();
  return *i;
}

void logTaskFailure(const std::string& id, const char* what) {
  static const auto log = platform::Log::cached("com.ziriza.zevevidi", "heartbeat-storage");
  log->error("heartbeat storage " + id + ": " + what);
}

}  // namespace

std::string FileStorage::fileNameForID(const std::string& id) {
  std::string name = "heartbeats-";
  for (std::size_t i = 0; i < id.size(); ++i) {
    char c = id[i];
    if (c == ':') {
      name += '_';
    } else if (c == '%') {
      name += "%25";
    } else if (c == '/') {
      name += "%2F";
    } else if (c == '\\') {
      name += "%5C";
    } else if (c == '\0') {
      name += "%00";
    } else if (c == '.' && i + 1 < id.size() && id[i + 1] == '.') {
      name += "%2E%2E";
      ++i;
    } else {
      name += c;
    }
  }
  return name;
}

std::shared_ptr<FileStorage> FileStorage::makeStorage(const std::string& id) {
  std::string support = platform::FileManager::defaultManager().pathForDirectory(
      platform::SearchPathDirectory::ApplicationSupport);
  std::string folder = platform::joinPath(support, kStorageDirectory);
  return std::make_shared<FileStorage>(platform::joinPath(folder, fileNameForID(id)));
}

namespace {
std::string folderOf(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}
}  // namespace

Bytes FileStorage::read() {
  auto& fm = platform::FileManager::defaultManager();
  if (std::string folder = folderOf(path_); !folder.empty()) {
    fm.removeStaleTemporaryFilesOnce(folder);
  }
  auto bytes = fm.contentsAtPath(path_);
  if (!bytes) throw StorageException(StorageError::readError);
  return *bytes;
}

void FileStorage::write(const std::optional<Bytes>& data) {
  auto& fm = platform::FileManager::defaultManager();
  std::string folder = folderOf(path_);
  if (folder.empty()) throw StorageException(StorageError::writeError);
  bool isDirectory = false;
  if (!(fm.fileExists(folder, &isDirectory) && isDirectory) && !fm.createDirectory(folder, true)) {
    throw StorageException(StorageError::writeError);
  }
  if (!fm.writeAtomically(path_, data.value_or(Bytes{}))) {
    throw StorageException(StorageError::writeError);
  }
}

Bytes UserDefaultsStorage::read() {
  auto prefs = platform::Preferences::withSuiteName(suiteName_);
  auto data = prefs ? prefs->dataForKey(key_) : std::nullopt;
  if (!data) throw StorageException(StorageError::readError);
  return *data;
}

void UserDefaultsStorage::write(const std::optional<Bytes>& data) {
  auto prefs = platform::Preferences::withSuiteName(suiteName_);
  if (!prefs) throw StorageException(StorageError::writeError);
  bool ok = data ? prefs->setObject(key_, platform::Value(*data)) : prefs->removeObjectForKey(key_);
  if (!ok) throw StorageException(StorageError::writeError);
}

std::shared_ptr<HeartbeatStorage> HeartbeatStorage::getInstance(const std::string& id) {
  auto& shared = instances();
  std::lock_guard<std::mutex> lock(shared.mutex);
  auto it = shared.map.find(id);
  if (it != shared.map.end()) {
    if (auto alive = it->second.lock()) return alive;
  }
  auto storage = std::make_shared<HeartbeatStorage>(id, FileStorage::makeStorage(id));
  shared.map[id] = storage;
  return storage;
}

HeartbeatStorage::HeartbeatStorage(std::string id, std::shared_ptr<Storage> storage)
    : id_(std::move(id)), storage_(std::move(storage)),
      queue_(platform::makeSerialQueue("com.heartbeat.storage." + id_)) {}

HeartbeatStorage::~HeartbeatStorage() {
  auto& shared = instances();
  std::lock_guard<std::mutex> lock(shared.mutex);
  auto it = shared.map.find(id_);
  if (it == shared.map.end()) return;
  // A newer storage may already own the entry (this one died while another was being made);
  // only this storage's own entry, or a dead one, goes.
  auto current = it->second.lock();
  if (!current || current.get() == this) shared.map.erase(it);
}

std::optional<HeartbeatsBundle> HeartbeatStorage::loadOrNone() {
  Bytes bytes;
  try {
    bytes = storage_->read();
  } catch (const StorageException&) {
    return std::nullopt;
  }
  if (bytes.empty()) return std::nullopt;
  auto value = platform::JSONObjectWithData(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  if (!value) return std::nullopt;
  return HeartbeatsBundle::decode(*value);
}

bool HeartbeatStorage::save(const std::optional<HeartbeatsBundle>& bundle) {
  std::optional<Bytes> bytes;
  if (bundle) {
    auto text = platform::dataWithJSONObject(bundle->encode());
    if (!text) return false;
    bytes = Bytes(text->begin(), text->end());
  }
  try {
    storage_->write(bytes);
    return true;
  } catch (const StorageException&) {
    return false;
  }
}

std::optional<HeartbeatsBundle> HeartbeatStorage::step(const BundleTransform& transform,
                                                       bool* written) {
  auto loaded = loadOrNone();
  *written = save(transform(loaded));
  return loaded;
}

void HeartbeatStorage::readAndWriteSync(const BundleTransform& transform) {
  queue_->sync([&] {
    try {
      bool written = false;
      step(transform, &written);
    } catch (const std::exception& e) {
      logTaskFailure(id_, e.what());
    }
  });
}

void HeartbeatStorage::readAndWriteAsync(BundleTransform transform) {
  // The task keeps the storage alive until it has run.
  queue_->async([self = shared_from_this(), transform = std::move(transform)] {
    try {
      bool written = false;
      self->step(transform, &written);
    } catch (const std::exception& e) {
      logTaskFailure(self->id_, e.what());
    }
  });
}

GetAndSetResult HeartbeatStorage::getAndSet(const BundleTransform& transform) {
  GetAndSetResult result;
  queue_->sync([&] {
    try {
      bool written = false;
      auto loaded = step(transform, &written);
      result.ok = written;
      if (written) result.previous = std::move(loaded);
    } catch (const std::exception& e) {
      logTaskFailure(id_, e.what());
    }
  });
  return result;
}

void HeartbeatStorage::getAndSetAsync(BundleTransform transform,
                                      std::function<void(GetAndSetResult)> completion) {
  queue_->async([self = shared_from_this(), transform = std::move(transform),
                 completion = std::move(completion)] {
    GetAndSetResult result;
    try {
      bool written = false;
      auto loaded = self->step(transform, &written);
      result.ok = written;
      if (written) result.previous = std::move(loaded);
    } catch (const std::exception& e) {
      logTaskFailure(self->id_, e.what());
    }
    if (!completion) return;
    try {
      completion(std::move(result));
    } catch (const std::exception& e) {
      logTaskFailure(self->id_, e.what());
    }
  });
}
