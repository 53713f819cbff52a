#include "platform/foundation/file_manager.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <mutex>
#include <set>

#include "platform/dispatch/clock.h"
#include "platform/foundation/environment.h"
#include "platform/foundation/file_system.h"
#include "platform/foundation/foundation_errors.h"
#include "platform/log/log.h"

namespace platform {

namespace {

constexpr const char* kBackupExclusionAttribute = "user.lumora.excluded-from-backup";
// A temporary file this old is a stray even when a process with its writer's id is alive (the
// id was reused): no atomic write takes an hour.
constexpr double kStaleTemporaryFileAge = 3600;

void setError(ErrorPtr* out, ErrorPtr e) {
  if (out) *out = std::move(e);
}

// $XDG_<x>_HOME, or ~/<fallback>; empty when neither can be found.
std::string xdgDir(const Environment& env, const char* variable, const char* fallback) {
  std::string v = env.nonEmpty(variable).value_or(std::string());
  // Relative values are invalid by the XDG rules and are ignored.
  if (!v.empty() && v[0] == '/') return v;
  std::string home = env.homeDirectory();
  return home.empty() ? std::string() : joinPath(home, fallback);
}

std::string parentOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Folders whose stray temporary files this process has already removed, so each is swept once.
struct SweptFolders {
  std::mutex mutex;
  std::set<std::string> folders;
};
SweptFolders& sweptFolders() {
  static auto* s = new SweptFolders;
  return *s;
}

}  // namespace

std::string joinPath(std::string_view a, std::string_view b) {
  if (a.empty()) return std::string(b);
  if (b.empty()) return std::string(a);
  std::string out(a);
  while (out.size() > 1 && out.back() == '/')
    out.pop_back();
  while (!b.empty() && b.front() == '/')
    b.remove_prefix(1);
  if (out != "/") out += '/';
  out += b;
  return out;
}

FileManager& FileManager::defaultManager() {
  static FileManager manager;
  return manager;
}

std::string FileManager::pathForDirectory(SearchPathDirectory which) const {
  const auto env = Environment::current();
  std::string home = env->nonEmpty("LUMORA_HOME").value_or(std::string());
  if (!home.empty()) {
    switch (which) {
    case SearchPathDirectory::Library:
      return home;
    case SearchPathDirectory::Preferences:
      return joinPath(home, "Preferences");
    case SearchPathDirectory::ApplicationSupport:
      return joinPath(home, "Application Support");
    case SearchPathDirectory::Documents:
      return joinPath(home, "Documents");
    case SearchPathDirectory::Caches:
      return joinPath(home, "Caches");
    case SearchPathDirectory::Keychains:
      return joinPath(home, "Keychains");
    case SearchPathDirectory::Temporary:
      return joinPath(home, "tmp");
    }
    return {};
  }
  auto under = [](std::string base, const char* sub) {
    return base.empty() ? base : joinPath(joinPath(base, "lumora"), sub);
  };
  switch (which) {
  case SearchPathDirectory::Library:
    return under(xdgDir(*env, "XDG_CONFIG_HOME", ".config"), "");
  case SearchPathDirectory::Preferences:
    return under(xdgDir(*env, "XDG_CONFIG_HOME", ".config"), "Preferences");
  case SearchPathDirectory::ApplicationSupport:
    return under(xdgDir(*env, "XDG_DATA_HOME", ".local/share"), "Application Support");
  case SearchPathDirectory::Documents:
    return under(xdgDir(*env, "XDG_DATA_HOME", ".local/share"), "Documents");
  case SearchPathDirectory::Caches:
    return under(xdgDir(*env, "XDG_CACHE_HOME", ".cache"), "");
  case SearchPathDirectory::Keychains:
    return under(xdgDir(*env, "XDG_DATA_HOME", ".local/share"), "Keychains");
  case SearchPathDirectory::Temporary: {
    std::string tmp = env->nonEmpty("TMPDIR").value_or(std::string());
    if (tmp.empty() || tmp[0] != '/') tmp = "/tmp";
    return joinPath(tmp, "lumora-" + std::to_string(getuid()));
  }
  }
  return {};
}

std::string FileManager::directory(SearchPathDirectory which, ErrorPtr* error) const {
  std::string path = pathForDirectory(which);
  if (path.empty()) {
    setError(error, foundationError(kFileNoSuchFileError, "no home directory for the user"));
    return {};
  }
  // The state root holds secrets (keychain) and private preferences: only the user may enter.
  if (!createDirectory(path, true, error, 0700)) return {};
  if (which == SearchPathDirectory::Keychains || which == SearchPathDirectory::Temporary) {
    // A folder that existed before with looser rights is tightened, and one owned by someone
    // else (a shared /tmp) is refused.
    // Not following links: a symbolic link planted in a shared /tmp must not lead us into
    // another folder.
    auto fs = FileSystem::current();
    FileStatus st;
    if (int err = fs->status(path, false, &st)) {
      setError(error, fileErrorFromErrno(err, false, path, "Cannot inspect"));
      return {};
    }
    if (!st.isDirectory || st.owner != getuid()) {
      setError(error, foundationError(kFileWriteNoPermissionError,
                                      "directory is a link or belongs to another user", path));
      return {};
    }
    if ((st.permissions & 077) != 0) {
      if (int err = fs->changeMode(path, 0700)) {
        setError(error, fileErrorFromErrno(err, true, path, "Cannot protect"));
        return {};
      }
    }
  }
  return path;
}

bool FileManager::fileExists(const std::string& path, bool* isDirectory) const {
  FileStatus st;
  if (path.empty() || FileSystem::current()->status(path, true, &st) != 0) return false;
  if (isDirectory) *isDirectory = st.isDirectory;
  return true;
}

bool FileManager::createDirectory(const std::string& path, bool withIntermediates, ErrorPtr* error,
                                  std::uint32_t mode) const {
  if (path.empty()) {
    setError(error, foundationError(kFileNoSuchFileError, "empty path"));
    return false;
  }
  bool isDir = false;
  if (fileExists(path, &isDir)) {
    if (isDir) return true;
    setError(error, foundationError(kFileWriteFileExistsError, "a file is in the way", path));
    return false;
  }
  if (withIntermediates) {
    auto parent = std::filesystem::path(path).parent_path().string();
    if (!parent.empty() && parent != path && !createDirectory(parent, true, error, mode)) {
      return false;
    }
  }
  if (int err = FileSystem::current()->makeDirectory(path, mode); err != 0 && err != EEXIST) {
    setError(error, fileErrorFromErrno(err, true, path, "Cannot create directory"));
    return false;
  }
  return true;
}

std::optional<FileAttributes> FileManager::attributesOfItem(const std::string& path,
                                                            ErrorPtr* error) const {
  FileStatus st;
  if (int err = FileSystem::current()->status(path, true, &st)) {
    setError(error, fileErrorFromErrno(err, false, path, "Cannot read attributes of"));
    return std::nullopt;
  }
  FileAttributes attrs;
  attrs.isDirectory = st.isDirectory;
  attrs.size = st.size;
  attrs.modificationDate = st.modificationDate;
  attrs.creationDate = st.creationDate;
  attrs.permissions = st.permissions;
  return attrs;
}

std::optional<std::vector<std::string>> FileManager::contentsOfDirectory(const std::string& path,
                                                                         ErrorPtr* error) const {
  std::vector<std::string> names;
  if (int err = FileSystem::current()->listDirectory(path, &names)) {
    setError(error, fileErrorFromErrno(err, false, path, "Cannot list"));
    return std::nullopt;
  }
  return names;
}

std::optional<Bytes> FileManager::contentsAtPath(const std::string& path, ErrorPtr* error,
                                                 std::uint64_t maxBytes) const {
  Bytes out;
  int err = FileSystem::current()->readFile(path, maxBytes, &out);
  if (err == EFBIG) {
    setError(error, foundationError(kFileReadTooLargeError, "file is too large", path));
    return std::nullopt;
  }
  if (err) {
    setError(error,
             fileErrorFromErrno(err, false, path, err == EISDIR ? "Cannot read" : "Cannot open"));
    return std::nullopt;
  }
  return out;
}

bool FileManager::writeAtomically(const std::string& path, std::string_view data, ErrorPtr* error,
                                  std::uint32_t mode) const {
  Bytes bytes(data.begin(), data.end());
  return writeAtomically(path, bytes, error, mode);
}

bool FileManager::writeAtomically(const std::string& path, const Bytes& data, ErrorPtr* error,
                                  std::uint32_t mode) const {
  if (path.empty() || path.back() == '/') {
    setError(error, foundationError(kFileNoSuchFileError, "no file name", path));
    return false;
  }
  removeStaleTemporaryFilesOnce(parentOf(path));
  if (int err = FileSystem::current()->writeFile(path, data, mode)) {
    setError(error, fileErrorFromErrno(err, true, path, "Cannot write"));
    return false;
  }
  return true;
}

bool FileManager::removeItem(const std::string& path, ErrorPtr* error) const {
  auto fs = FileSystem::current();
  FileStatus st;
  if (path.empty() || fs->status(path, false, &st) != 0) {
    setError(error, fileErrorFromErrno(ENOENT, true, path, "Cannot remove"));
    return false;
  }
  if (int err = fs->remove(path)) {
    setError(error, fileErrorFromErrno(err, true, path, "Cannot remove"));
    return false;
  }
  return true;
}

bool FileManager::moveItem(const std::string& from, const std::string& to, ErrorPtr* error) const {
  auto fs = FileSystem::current();
  FileStatus st;
  if (fs->status(to, false, &st) == 0) {
    setError(error, fileErrorFromErrno(EEXIST, true, to, "Cannot move onto"));
    return false;
  }
  if (int err = fs->rename(from, to)) {
    setError(error, fileErrorFromErrno(err, true, from, "Cannot move"));
    return false;
  }
  return true;
}

std::unique_ptr<FileLock> FileManager::lockItem(const std::string& path, ErrorPtr* error) const {
  std::unique_ptr<FileLock> lock;
  if (int err = FileSystem::current()->lock(path, &lock)) {
    setError(error, fileErrorFromErrno(err, true, path, "Cannot lock"));
    return nullptr;
  }
  return lock;
}

int FileManager::removeStaleTemporaryFiles(const std::string& folder) const {
  auto fs = FileSystem::current();
  std::vector<std::string> names;
  if (fs->listDirectory(folder, &names) != 0) return 0;
  const long self = ::getpid();
  const double now = Clock::current().now();
  int removed = 0;
  for (const std::string& name : names) {
    auto writer = temporaryFileWriter(name);
    if (!writer) continue;
    std::string path = joinPath(folder, name);
    FileStatus st;
    if (fs->status(path, false, &st) != 0 || st.isDirectory || st.isSymbolicLink) continue;
    // A writer that is still running may be between its write and its rename.
    bool writerGone =
        *writer != self && ::kill(static_cast<pid_t>(*writer), 0) != 0 && errno == ESRCH;
    bool old = now - st.modificationDate.secondsSince1970 > kStaleTemporaryFileAge;
    if ((writerGone || old) && fs->remove(path) == 0) ++removed;
  }
  if (removed > 0) {
    Log::cached("com.lumora.platform", "files")
        ->info("removed " + std::to_string(removed) +
               " temporary file(s) of interrupted writes in " + folder);
  }
  return removed;
}

void FileManager::removeStaleTemporaryFilesOnce(const std::string& folder) const {
  {
    auto& swept = sweptFolders();
    std::lock_guard lock(swept.mutex);
    if (!swept.folders.insert(folder).second) return;
  }
  removeStaleTemporaryFiles(folder);
}

bool FileManager::setExcludedFromBackup(const std::string& path, bool excluded,
                                        ErrorPtr* error) const {
  int err = FileSystem::current()->setAttribute(path, kBackupExclusionAttribute,
                                                excluded ? std::optional<std::string>("1")
                                                         : std::optional<std::string>());
  if (err != 0 && !(!excluded && err == ENODATA)) {
    setError(error, fileErrorFromErrno(err, true, path, "Cannot mark"));
    return false;
  }
  return true;
}

bool FileManager::isExcludedFromBackup(const std::string& path) const {
  std::string value;
  return FileSystem::current()->getAttribute(path, kBackupExclusionAttribute, &value) == 0 &&
         value == "1";
}

}  // namespace platform
