// Stands in for the platform's file manager and its per-user search paths.
//
// Per-user directories (all created on first use, mode 0700 for the state root's own folders):
//
//   directory            with LUMORA_HOME=H            without it (XDG)
//   Library              H                             $XDG_CONFIG_HOME/lumora
//   Preferences          H/Preferences                 $XDG_CONFIG_HOME/lumora/Preferences
//   ApplicationSupport   H/Application Support         $XDG_DATA_HOME/lumora/Application Support
//   Documents            H/Documents                   $XDG_DATA_HOME/lumora/Documents
//   Caches               H/Caches                      $XDG_CACHE_HOME/lumora
//   Keychains            H/Keychains                   $XDG_DATA_HOME/lumora/Keychains
//   Temporary            H/tmp                         $TMPDIR/lumora-<uid> (TMPDIR defaults to
//   /tmp)
//
// XDG_CONFIG_HOME, XDG_DATA_HOME and XDG_CACHE_HOME default to ~/.config, ~/.local/share and
// ~/.cache. The variables come from the environment snapshot taken at start-up
// (environment.h), so a test points LUMORA_HOME at a fresh folder with
// ScopedEnvironmentForTesting. Every file operation goes through the FileSystem seam
// (file_system.h), where tests inject failures. Every method is thread-safe and reports failures
// through an optional ErrorPtr out parameter; nothing throws.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/error.h"
#include "platform/core/value.h"
#include "platform/foundation/file_system.h"

namespace platform {

enum class SearchPathDirectory {
  Library,
  Preferences,
  ApplicationSupport,
  Documents,
  Caches,
  Keychains,
  Temporary,
};

struct FileAttributes {
  bool isDirectory = false;
  std::uint64_t size = 0;
  Date creationDate;      // birth time where the file system keeps one, else the change time
  Date modificationDate;  // content modification time
  std::uint32_t permissions = 0;
};

class FileManager {
 public:
  static FileManager& defaultManager();

  // The directory's path without creating it; empty when no home directory can be found.
  std::string pathForDirectory(SearchPathDirectory which) const;
  // The directory's path, created with its parents when missing; empty on failure.
  std::string directory(SearchPathDirectory which, ErrorPtr* error = nullptr) const;

  bool fileExists(const std::string& path, bool* isDirectory = nullptr) const;
  bool createDirectory(const std::string& path, bool withIntermediates, ErrorPtr* error = nullptr,
                       std::uint32_t mode = 0755) const;
  std::optional<FileAttributes> attributesOfItem(const std::string& path,
                                                 ErrorPtr* error = nullptr) const;
  std::optional<std::vector<std::string>> contentsOfDirectory(const std::string& path,
                                                              ErrorPtr* error = nullptr) const;

  // Whole-file read, refused past `maxBytes`.
  std::optional<Bytes> contentsAtPath(const std::string& path, ErrorPtr* error = nullptr,
                                      std::uint64_t maxBytes = 256u << 20) const;
  // Replaces the file atomically: the bytes go to a temporary file in the same folder, are
  // flushed to disk, and the temporary file is renamed over the target. A crash at any point
  // leaves either the old or the new content, never a mix. The parent folder must exist.
  bool writeAtomically(const std::string& path, const Bytes& data, ErrorPtr* error = nullptr,
                       std::uint32_t mode = 0644) const;
  bool writeAtomically(const std::string& path, std::string_view data, ErrorPtr* error = nullptr,
                       std::uint32_t mode = 0644) const;

  // Removes a file or a whole folder tree. A missing item is an error (kFileNoSuchFileError).
  bool removeItem(const std::string& path, ErrorPtr* error = nullptr) const;
  // Renames; fails when the destination exists.
  bool moveItem(const std::string& from, const std::string& to, ErrorPtr* error = nullptr) const;

  // An exclusive lock on a file (created 0600 when missing) or a folder, shared with other
  // processes; null on failure.
  std::unique_ptr<FileLock> lockItem(const std::string& path, ErrorPtr* error = nullptr) const;

  // Removes the temporary files that interrupted atomic writes left in `folder`: only files
  // named as our writes name them, and only stale ones (their writing process is gone, or they
  // are over an hour old). Returns how many went. The stores call it when they first use their
  // folder; the Once form, which sweeps each folder once per process, runs before every atomic
  // write, so no folder written to keeps the strays of earlier runs.
  int removeStaleTemporaryFiles(const std::string& folder) const;
  void removeStaleTemporaryFilesOnce(const std::string& folder) const;

  // The backup-exclusion mark, kept as an extended attribute of the item.
  bool setExcludedFromBackup(const std::string& path, bool excluded,
                             ErrorPtr* error = nullptr) const;
  bool isExcludedFromBackup(const std::string& path) const;
};

// Joins path components with exactly one "/" between them.
std::string joinPath(std::string_view a, std::string_view b);

}  // namespace platform
