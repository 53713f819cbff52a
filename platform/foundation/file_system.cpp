#include "platform/foundation/file_system.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <filesystem>

namespace platform {
namespace {

constexpr std::string_view kTemporaryMark = ".lumora-tmp.";

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

class DescriptorLock : public FileLock {
 public:
  explicit DescriptorLock(int fd) : fd_(fd) {}
  ~DescriptorLock() override { ::close(fd_); }

 private:
  int fd_;
};

class PosixFileSystem : public FileSystem {
 public:
  int readFile(const std::string& path, std::uint64_t maxBytes, Bytes* out) override {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
      int err = S_ISDIR(st.st_mode) ? EISDIR : errno;
      ::close(fd);
      return err;
    }
    out->clear();
    std::uint8_t buffer[65536];
    for (;;) {
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0) {
        if (errno == EINTR) continue;
        int err = errno;
        ::close(fd);
        return err;
      }
      if (n == 0) break;
      if (out->size() + static_cast<std::uint64_t>(n) > maxBytes) {
        ::close(fd);
        out->clear();
        return EFBIG;
      }
      out->insert(out->end(), buffer, buffer + n);
    }
    ::close(fd);
    return 0;
  }

  int writeFile(const std::string& path, const Bytes& data, std::uint32_t mode) override {
    // The serial makes the name unique per process and call, so concurrent writers never share
    // a temporary file.
    static std::atomic<std::uint64_t> serial{0};
    std::string tmp = temporaryNameFor(path, ::getpid(), ++serial);
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) return errno;
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
      return err;
    }
    // Make the rename itself durable.
    std::string dir = std::filesystem::path(path).parent_path().string();
    int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      ::fsync(dfd);
      ::close(dfd);
    }
    return 0;
  }

  int rename(const std::string& from, const std::string& to) override {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
  }

  int remove(const std::string& path) override {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    return ec ? ec.value() : 0;
  }

  int makeDirectory(const std::string& path, std::uint32_t mode) override {
    return ::mkdir(path.c_str(), mode) == 0 ? 0 : errno;
  }

  int listDirectory(const std::string& path, std::vector<std::string>* names) override {
    std::error_code ec;
    std::filesystem::directory_iterator it(path, ec);
    if (ec) return ec.value();
    names->clear();
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
      if (ec) return ec.value();
      names->push_back(it->path().filename().string());
    }
    if (ec) return ec.value();
    std::sort(names->begin(), names->end());
    return 0;
  }

  int status(const std::string& path, bool followLinks, FileStatus* out) override {
    struct statx sx {};
    if (::statx(AT_FDCWD, path.c_str(), followLinks ? 0 : AT_SYMLINK_NOFOLLOW,
                STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
      return errno;
    }
    out->isDirectory = S_ISDIR(sx.stx_mode);
    out->isSymbolicLink = S_ISLNK(sx.stx_mode);
    out->size = sx.stx_size;
    out->modificationDate = toDate(sx.stx_mtime);
    out->creationDate = (sx.stx_mask & STATX_BTIME) ? toDate(sx.stx_btime) : toDate(sx.stx_ctime);
    out->permissions = sx.stx_mode & 07777;
    out->owner = sx.stx_uid;
    return 0;
  }

  int changeMode(const std::string& path, std::uint32_t mode) override {
    return ::chmod(path.c_str(), mode) == 0 ? 0 : errno;
  }

  int lock(const std::string& path, std::unique_ptr<FileLock>* out) override {
    struct stat st {};
    bool folder = ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    int fd = folder ? ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                    : ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    while (::flock(fd, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return err;
    }
    *out = std::make_unique<DescriptorLock>(fd);
    return 0;
  }

  int setAttribute(const std::string& path, const std::string& name,
                   const std::optional<std::string>& value) override {
    int rc = value ? ::setxattr(path.c_str(), name.c_str(), value->data(), value->size(), 0)
                   : ::removexattr(path.c_str(), name.c_str());
    return rc == 0 ? 0 : errno;
  }

  int getAttribute(const std::string& path, const std::string& name, std::string* value) override {
    char buffer[256];
    ssize_t n = ::getxattr(path.c_str(), name.c_str(), buffer, sizeof buffer);
    if (n < 0) return errno;
    value->assign(buffer, static_cast<std::size_t>(n));
    return 0;
  }
};

struct Slot {
  std::mutex mutex;
  std::shared_ptr<FileSystem> fileSystem;
};

Slot& slot() {
  static Slot* s = new Slot;
  return *s;
}

}  // namespace

std::string temporaryNameFor(const std::string& path, long pid, std::uint64_t serial) {
  auto slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return dir + "." + name + std::string(kTemporaryMark) + std::to_string(pid) + "." +
         std::to_string(serial);
}

std::optional<long> temporaryFileWriter(const std::string& name) {
  if (name.empty() || name[0] != '.') return std::nullopt;
  auto mark = name.rfind(kTemporaryMark);
  if (mark == std::string::npos || mark == 0) return std::nullopt;
  std::string_view rest = std::string_view(name).substr(mark + kTemporaryMark.size());
  auto dot = rest.find('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == rest.size()) return std::nullopt;
  long pid = 0;
  auto pidText = rest.substr(0, dot);
  auto res = std::from_chars(pidText.data(), pidText.data() + pidText.size(), pid);
  if (res.ec != std::errc() || res.ptr != pidText.data() + pidText.size() || pid <= 0) {
    return std::nullopt;
  }
  auto serial = rest.substr(dot + 1);
  if (!std::all_of(serial.begin(), serial.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  return pid;
}

std::shared_ptr<FileSystem> FileSystem::posix() {
  static auto* fs = new std::shared_ptr<FileSystem>(std::make_shared<PosixFileSystem>());
  return *fs;
}

std::shared_ptr<FileSystem> FileSystem::current() {
  Slot& s = slot();
  std::lock_guard lock(s.mutex);
  if (!s.fileSystem) s.fileSystem = posix();
  return s.fileSystem;
}

ScopedFileSystemForTesting::ScopedFileSystemForTesting(std::shared_ptr<FileSystem> fileSystem) {
  Slot& s = slot();
  std::lock_guard lock(s.mutex);
  previous_ = std::move(s.fileSystem);
  s.fileSystem = std::move(fileSystem);
}

ScopedFileSystemForTesting::~ScopedFileSystemForTesting() {
  Slot& s = slot();
  std::lock_guard lock(s.mutex);
  s.fileSystem = std::move(previous_);
}

// ---------------------------------------------------------------------------------------------

FaultInjectingFileSystem::FaultInjectingFileSystem(std::shared_ptr<FileSystem> base)
    : base_(std::move(base)) {}

void FaultInjectingFileSystem::inject(std::uint32_t operations, std::string pathPrefix, int error,
                                      int times) {
  std::lock_guard lock(mutex_);
  faults_.push_back(Fault{operations, std::move(pathPrefix), error, times});
}

void FaultInjectingFileSystem::clear() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

int FaultInjectingFileSystem::injectedFailures() const {
  std::lock_guard lock(mutex_);
  return injected_;
}

int FaultInjectingFileSystem::fault(std::uint32_t operation, const std::string& path,
                                    const std::string& otherPath) {
  std::lock_guard lock(mutex_);
  auto under = [](const std::string& p, const std::string& prefix) {
    return !p.empty() && p.compare(0, prefix.size(), prefix) == 0;
  };
  for (Fault& f : faults_) {
    if (!(f.operations & operation) || f.remaining == 0) continue;
    if (!f.pathPrefix.empty() && !under(path, f.pathPrefix) && !under(otherPath, f.pathPrefix)) {
      continue;
    }
    if (f.remaining > 0) --f.remaining;
    ++injected_;
    return f.error;
  }
  return 0;
}

int FaultInjectingFileSystem::readFile(const std::string& path, std::uint64_t maxBytes,
                                       Bytes* out) {
  if (int e = fault(kFileRead, path)) return e;
  return base_->readFile(path, maxBytes, out);
}

int FaultInjectingFileSystem::writeFile(const std::string& path, const Bytes& data,
                                        std::uint32_t mode) {
  if (int e = fault(kFileWrite, path)) return e;
  return base_->writeFile(path, data, mode);
}

int FaultInjectingFileSystem::rename(const std::string& from, const std::string& to) {
  if (int e = fault(kFileRename, from, to)) return e;
  return base_->rename(from, to);
}

int FaultInjectingFileSystem::remove(const std::string& path) {
  if (int e = fault(kFileRemove, path)) return e;
  return base_->remove(path);
}

int FaultInjectingFileSystem::makeDirectory(const std::string& path, std::uint32_t mode) {
  if (int e = fault(kFileMakeDirectory, path)) return e;
  return base_->makeDirectory(path, mode);
}

int FaultInjectingFileSystem::listDirectory(const std::string& path,
                                            std::vector<std::string>* names) {
  if (int e = fault(kFileList, path)) return e;
  return base_->listDirectory(path, names);
}

int FaultInjectingFileSystem::status(const std::string& path, bool followLinks, FileStatus* out) {
  if (int e = fault(kFileStatus, path)) return e;
  return base_->status(path, followLinks, out);
}

int FaultInjectingFileSystem::changeMode(const std::string& path, std::uint32_t mode) {
  if (int e = fault(kFileChangeMode, path)) return e;
  return base_->changeMode(path, mode);
}

int FaultInjectingFileSystem::lock(const std::string& path, std::unique_ptr<FileLock>* out) {
  if (int e = fault(kFileLock, path)) return e;
  return base_->lock(path, out);
}

int FaultInjectingFileSystem::setAttribute(const std::string& path, const std::string& name,
                                           const std::optional<std::string>& value) {
  if (int e = fault(kFileAttribute, path)) return e;
  return base_->setAttribute(path, name, value);
}

int FaultInjectingFileSystem::getAttribute(const std::string& path, const std::string& name,
                                           std::string* value) {
  if (int e = fault(kFileAttribute, path)) return e;
  return base_->getAttribute(path, name, value);
}

}  // namespace platform
