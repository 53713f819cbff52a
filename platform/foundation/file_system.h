// The process's seam to the operating system's file calls. FileManager, and through it the
// stores built on files (preferences, keychain, heartbeats), reach the disk only through the
// FileSystem in force, so a test can put one in front that fails chosen operations on chosen
// paths: a full disk, an I/O error or a refused permission, which cannot be provoked honestly
// on a real disk, least of all when the tests run as root.
//
// FileSystem::current() is the POSIX implementation unless a test installed another with
// ScopedFileSystemForTesting. Every operation returns 0 or an errno value and is thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/value.h"

namespace platform {

struct FileStatus {
  bool isDirectory = false;
  bool isSymbolicLink = false;
  std::uint64_t size = 0;
  Date creationDate;      // birth time where the file system keeps one, else the change time
  Date modificationDate;  // content modification time
  std::uint32_t permissions = 0;
  std::uint32_t owner = 0;
};

// An exclusive lock, held until the object is destroyed.
class FileLock {
 public:
  virtual ~FileLock() = default;
};

// The operations, as a set of bits, for choosing which ones a fault applies to.
enum FileOperation : std::uint32_t {
  kFileRead = 1u << 0,
  kFileWrite = 1u << 1,
  kFileRename = 1u << 2,
  kFileRemove = 1u << 3,
  kFileMakeDirectory = 1u << 4,
  kFileList = 1u << 5,
  kFileStatus = 1u << 6,
  kFileChangeMode = 1u << 7,
  kFileLock = 1u << 8,
  kFileAttribute = 1u << 9,
  kFileEveryOperation = (1u << 10) - 1,
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  static std::shared_ptr<FileSystem> current();
  static std::shared_ptr<FileSystem> posix();

  // The whole file; EFBIG past `maxBytes`, EISDIR for a folder.
  virtual int readFile(const std::string& path, std::uint64_t maxBytes, Bytes* out) = 0;
  // Replaces the file atomically: the bytes go to a temporary file beside it (named by
  // temporaryNameFor), are flushed, and the temporary file is renamed over the target. A crash
  // at any point leaves the old content or the new, and at worst a stray temporary file.
  virtual int writeFile(const std::string& path, const Bytes& data, std::uint32_t mode) = 0;
  // Renames, replacing what `to` names.
  virtual int rename(const std::string& from, const std::string& to) = 0;
  // A file, a link or a whole folder tree.
  virtual int remove(const std::string& path) = 0;
  // One folder (its parent must exist); EEXIST when something is there.
  virtual int makeDirectory(const std::string& path, std::uint32_t mode) = 0;
  // The names in a folder, sorted.
  virtual int listDirectory(const std::string& path, std::vector<std::string>* names) = 0;
  virtual int status(const std::string& path, bool followLinks, FileStatus* out) = 0;
  virtual int changeMode(const std::string& path, std::uint32_t mode) = 0;
  // An exclusive lock on a file (created 0600 when missing) or on a folder itself; waits for
  // other holders, in this process or others.
  virtual int lock(const std::string& path, std::unique_ptr<FileLock>* out) = 0;
  // An extended attribute: set (a value) or removed (none); reading gives ENODATA when unset.
  virtual int setAttribute(const std::string& path, const std::string& name,
                           const std::optional<std::string>& value) = 0;
  virtual int getAttribute(const std::string& path, const std::string& name,
                           std::string* value) = 0;
};

// The temporary file an atomic write of `path` uses: ".<name>.lumora-tmp.<pid>.<n>" beside it.
// Hidden, so folder listings skip it, and recognisable with its writer's process id, so the
// strays of interrupted writes can be told apart and removed (FileManager).
std::string temporaryNameFor(const std::string& path, long pid, std::uint64_t serial);
// The writer's process id when `name` is such a temporary file's name.
std::optional<long> temporaryFileWriter(const std::string& name);

// The test double: passes every call to `base` except those a fault matches, which fail with
// the fault's errno and change nothing. A fault matches an operation in `operations` on a path
// that starts with `pathPrefix` (either path of a rename); empty matches every path.
class FaultInjectingFileSystem : public FileSystem {
 public:
  explicit FaultInjectingFileSystem(std::shared_ptr<FileSystem> base = FileSystem::posix());

  // The next `times` matching calls fail (every one for times < 0).
  void inject(std::uint32_t operations, std::string pathPrefix, int error, int times = -1);
  void clear();
  // How many calls failed by injection so far.
  int injectedFailures() const;

  int readFile(const std::string& path, std::uint64_t maxBytes, Bytes* out) override;
  int writeFile(const std::string& path, const Bytes& data, std::uint32_t mode) override;
  int rename(const std::string& from, const std::string& to) override;
  int remove(const std::string& path) override;
  int makeDirectory(const std::string& path, std::uint32_t mode) override;
  int listDirectory(const std::string& path, std::vector<std::string>* names) override;
  int status(const std::string& path, bool followLinks, FileStatus* out) override;
  int changeMode(const std::string& path, std::uint32_t mode) override;
  int lock(const std::string& path, std::unique_ptr<FileLock>* out) override;
  int setAttribute(const std::string& path, const std::string& name,
                   const std::optional<std::string>& value) override;
  int getAttribute(const std::string& path, const std::string& name, std::string* value) override;

 private:
  struct Fault {
    std::uint32_t operations;
    std::string pathPrefix;
    int error;
    int remaining;
  };
  // The errno of the first fault matching, 0 when none does.
  int fault(std::uint32_t operation, const std::string& path,
            const std::string& otherPath = std::string());

  std::shared_ptr<FileSystem> base_;
  mutable std::mutex mutex_;
  std::vector<Fault> faults_;
  int injected_ = 0;
};

// Installs `fileSystem` as the process's seam for the life of the scope.
class ScopedFileSystemForTesting {
 public:
  explicit ScopedFileSystemForTesting(std::shared_ptr<FileSystem> fileSystem);
  ~ScopedFileSystemForTesting();
  ScopedFileSystemForTesting(const ScopedFileSystemForTesting&) = delete;
  ScopedFileSystemForTesting& operator=(const ScopedFileSystemForTesting&) = delete;

 private:
  std::shared_ptr<FileSystem> previous_;
};

}  // namespace platform
