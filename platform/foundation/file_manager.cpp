#include "platform/foundation/file_manager.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "platform/foundation/foundation_errors.h"

namespace platform {

namespace {

constexpr const char* kBackupExclusionAttribute = "user.lumora.excluded-from-backup";

void setError(ErrorPtr* out, ErrorPtr e) {
  if (out) *out = std::move(e);
}

std::string envOr(const char* name) {
  const char* v = std::getenv(name);
  return v && *v ? std::string(v) : std::string();
}

std::string homeDirectory() {
  std::string home = envOr("HOME");
  if (!home.empty()) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return {};
}

// $XDG_<x>_HOME, or ~/<fallback>; empty when neither can be found.
std::string xdgDir(const char* variable, const char* fallback) {
  std::string v = envOr(variable);
  // Relative values are invalid by the XDG rules and are ignored.
  if (!v.empty() && v[0] == '/') return v;
  std::string home = homeDirectory();
  return home.empty() ? std::string() : joinPath(home, fallback);
}

Date toDate(const struct statx_timestamp& ts) {
  return Date{static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9};
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
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
  std::string home = envOr("LUMORA_HOME");
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
    return under(xdgDir("XDG_CONFIG_HOME", ".config"), "");
  case SearchPathDirectory::Preferences:
    return under(xdgDir("XDG_CONFIG_HOME", ".config"), "Preferences");
  case SearchPathDirectory::ApplicationSupport:
    return under(xdgDir("XDG_DATA_HOME", ".local/share"), "Application Support");
  case SearchPathDirectory::Documents:
    return under(xdgDir("XDG_DATA_HOME", ".local/share"), "Documents");
  case SearchPathDirectory::Caches:
    return under(xdgDir("XDG_CACHE_HOME", ".cache"), "");
  case SearchPathDirectory::Keychains:
    return under(xdgDir("XDG_DATA_HOME", ".local/share"), "Keychains");
  case SearchPathDirectory::Temporary: {
    std::string tmp = envOr("TMPDIR");
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
    // lstat: a symbolic link planted in a shared /tmp must not lead us into another folder.
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
      setError(error, fileErrorFromErrno(errno, false, path, "Cannot inspect"));
      return {};
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != getuid()) {
      setError(error, foundationError(kFileWriteNoPermissionError,
                                      "directory is a link or belongs to another user", path));
      return {};
    }
    if ((st.st_mode & 077) != 0 && ::chmod(path.c_str(), 0700) != 0) {
      setError(error, fileErrorFromErrno(errno, true, path, "Cannot protect"));
      return {};
    }
  }
  return path;
}

bool FileManager::fileExists(const std::string& path, bool* isDirectory) const {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return false;
  if (isDirectory) *isDirectory = S_ISDIR(st.st_mode);
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
  if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
    setError(error, fileErrorFromErrno(errno, true, path, "Cannot create directory"));
    return false;
  }
  return true;
}

std::optional<FileAttributes> FileManager::attributesOfItem(const std::string& path,
                                                            ErrorPtr* error) const {
  struct statx sx {};
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
    setError(error, fileErrorFromErrno(errno, false, path, "Cannot read attributes of"));
    return std::nullopt;
  }
  FileAttributes attrs;
  attrs.isDirectory = S_ISDIR(sx.stx_mode);
  attrs.size = sx.stx_size;
  attrs.modificationDate = toDate(sx.stx_mtime);
  attrs.creationDate = (sx.stx_mask & STATX_BTIME) ? toDate(sx.stx_btime) : toDate(sx.stx_ctime);
  attrs.permissions = sx.stx_mode & 07777;
  return attrs;
}

std::optional<std::vector<std::string>> FileManager::contentsOfDirectory(const std::string& path,
                                                                         ErrorPtr* error) const {
  std::error_code ec;
  std::filesystem::directory_iterator it(path, ec);
  if (ec) {
    setError(error, fileErrorFromErrno(ec.value(), false, path, "Cannot list"));
    return std::nullopt;
  }
  std::vector<std::string> names;
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    names.push_back(it->path().filename().string());
  }
  if (ec) {
    setError(error, fileErrorFromErrno(ec.value(), false, path, "Cannot list"));
    return std::nullopt;
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<Bytes> FileManager::contentsAtPath(const std::string& path, ErrorPtr* error,
                                                 std::uint64_t maxBytes) const {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    setError(error, fileErrorFromErrno(errno, false, path, "Cannot open"));
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    int err = S_ISDIR(st.st_mode) ? EISDIR : errno;
    ::close(fd);
    setError(error, fileErrorFromErrno(err, false, path, "Cannot read"));
    return std::nullopt;
  }
  Bytes out;
  std::uint8_t buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      setError(error, fileErrorFromErrno(err, false, path, "Cannot read"));
      return std::nullopt;
    }
    if (n == 0) break;
    if (out.size() + static_cast<std::uint64_t>(n) > maxBytes) {
      ::close(fd);
      setError(error, foundationError(kFileReadTooLargeError, "file is too large", path));
      return std::nullopt;
    }
    out.insert(out.end(), buffer, buffer + n);
  }
  ::close(fd);
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
  // The temporary name is unique per process and call, so concurrent writers never share one;
  // a stray temporary left by a crash is never read as the file itself.
  static std::atomic<std::uint64_t> counter{0};
  std::string tmp = path + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) {
    setError(error, fileErrorFromErrno(errno, true, path, "Cannot create temporary file for"));
    return false;
  }
  bool ok = writeAll(fd, data.data(), data.size()) && ::fsync(fd) == 0;
  int err = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    setError(error, fileErrorFromErrno(err, true, path, "Cannot write"));
    return false;
  }
  // Make the rename itself durable.
  std::string dir = std::filesystem::path(path).parent_path().string();
  int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

bool FileManager::removeItem(const std::string& path, ErrorPtr* error) const {
  std::error_code ec;
  auto status = std::filesystem::symlink_status(path, ec);
  if (ec || !std::filesystem::exists(status)) {
    setError(error, fileErrorFromErrno(ENOENT, true, path, "Cannot remove"));
    return false;
  }
  std::filesystem::remove_all(path, ec);
  if (ec) {
    setError(error, fileErrorFromErrno(ec.value(), true, path, "Cannot remove"));
    return false;
  }
  return true;
}

bool FileManager::moveItem(const std::string& from, const std::string& to, ErrorPtr* error) const {
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) {
    setError(error, fileErrorFromErrno(EEXIST, true, to, "Cannot move onto"));
    return false;
  }
  if (::rename(from.c_str(), to.c_str()) != 0) {
    setError(error, fileErrorFromErrno(errno, true, from, "Cannot move"));
    return false;
  }
  return true;
}

bool FileManager::setExcludedFromBackup(const std::string& path, bool excluded,
                                        ErrorPtr* error) const {
  int rc = excluded ? ::setxattr(path.c_str(), kBackupExclusionAttribute, "1", 1, 0)
                    : ::removexattr(path.c_str(), kBackupExclusionAttribute);
  if (rc != 0 && !(!excluded && errno == ENODATA)) {
    setError(error, fileErrorFromErrno(errno, true, path, "Cannot mark"));
    return false;
  }
  return true;
}

bool FileManager::isExcludedFromBackup(const std::string& path) const {
  char value = 0;
  return ::getxattr(path.c_str(), kBackupExclusionAttribute, &value, 1) == 1 && value == '1';
}

}  // namespace platform
