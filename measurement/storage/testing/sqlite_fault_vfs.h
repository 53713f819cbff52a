// Test-only: a SQLite VFS in front of the system's own that fails chosen file operations, made
// the default VFS for the life of the object, so that every connection opened meanwhile (the
// store opens with the default) reads and writes its files through it. An I/O error or a lock
// another process holds cannot be provoked honestly on a real disk, least of all as root.
//
// Faults apply to files whose path starts with `pathPrefix` (empty: every file):
//   failReadsFrom xRead at this offset or past it answers SQLITE_IOERR_READ (-1: none; 0: all;
//                 4096: all but the first page, which SQLite reads already when it opens);
//   failWrites    xWrite answers SQLITE_IOERR_WRITE;
//   busyOnWrite   a lock at RESERVED or above answers SQLITE_BUSY (another process writing).
// One instance at a time; connections opened through it must be closed before it goes.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <cstring>
#include <string>

namespace apm_testing {

class SqliteFaultVfs {
 public:
  std::atomic<long long> failReadsFrom{-1};
  std::atomic<bool> failWrites{false};
  std::atomic<bool> busyOnWrite{false};
  std::string pathPrefix;

  SqliteFaultVfs() {
    real_ = sqlite3_vfs_find(nullptr);
    self() = this;
    std::memset(&vfs_, 0, sizeof vfs_);
    vfs_.iVersion = 2;
    vfs_.szOsFile = static_cast<int>(sizeof(File)) + real_->szOsFile;
    vfs_.mxPathname = real_->mxPathname;
    vfs_.zName = "lumora-fault-vfs";
    vfs_.xOpen = &SqliteFaultVfs::open;
    vfs_.xDelete = [](sqlite3_vfs*, const char* name, int syncDir) {
      return real()->xDelete(real(), name, syncDir);
    };
    vfs_.xAccess = [](sqlite3_vfs*, const char* name, int flags, int* out) {
      return real()->xAccess(real(), name, flags, out);
    };
    vfs_.xFullPathname = [](sqlite3_vfs*, const char* name, int n, char* out) {
      return real()->xFullPathname(real(), name, n, out);
    };
    vfs_.xDlOpen = [](sqlite3_vfs*, const char* name) { return real()->xDlOpen(real(), name); };
    vfs_.xDlError = [](sqlite3_vfs*, int n, char* out) { real()->xDlError(real(), n, out); };
    vfs_.xDlSym = [](sqlite3_vfs*, void* handle, const char* symbol) {
      return real()->xDlSym(real(), handle, symbol);
    };
    vfs_.xDlClose = [](sqlite3_vfs*, void* handle) { real()->xDlClose(real(), handle); };
    vfs_.xRandomness = [](sqlite3_vfs*, int n, char* out) {
      return real()->xRandomness(real(), n, out);
    };
    vfs_.xSleep = [](sqlite3_vfs*, int micros) { return real()->xSleep(real(), micros); };
    vfs_.xCurrentTime = [](sqlite3_vfs*, double* out) { return real()->xCurrentTime(real(), out); };
    vfs_.xGetLastError = [](sqlite3_vfs*, int n, char* out) {
      return real()->xGetLastError(real(), n, out);
    };
    vfs_.xCurrentTimeInt64 = [](sqlite3_vfs*, sqlite3_int64* out) {
      return real()->xCurrentTimeInt64(real(), out);
    };
    sqlite3_vfs_register(&vfs_, 1);
  }
  ~SqliteFaultVfs() {
    sqlite3_vfs_unregister(&vfs_);
    sqlite3_vfs_register(real_, 1);
    self() = nullptr;
  }
  SqliteFaultVfs(const SqliteFaultVfs&) = delete;
  SqliteFaultVfs& operator=(const SqliteFaultVfs&) = delete;

 private:
  struct File {
    sqlite3_file base;
    sqlite3_file* real;
    bool faulty;
  };

  static SqliteFaultVfs*& self() {
    static SqliteFaultVfs* instance = nullptr;
    return instance;
  }
  static sqlite3_vfs* real() { return self()->real_; }
  static File* file(sqlite3_file* f) { return reinterpret_cast<File*>(f); }
  static sqlite3_file* inner(sqlite3_file* f) { return file(f)->real; }

  static int open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags) {
    File* p = file(f);
    p->real = reinterpret_cast<sqlite3_file*>(p + 1);
    const std::string& prefix = self()->pathPrefix;
    p->faulty = prefix.empty() || (name && std::strncmp(name, prefix.c_str(), prefix.size()) == 0);
    const int rc = real()->xOpen(real(), name, p->real, flags, outFlags);
    p->base.pMethods = rc == SQLITE_OK ? &methods() : nullptr;
    return rc;
  }

  static const sqlite3_io_methods& methods() {
    static const sqlite3_io_methods table = [] {
      sqlite3_io_methods m;
      std::memset(&m, 0, sizeof m);
      m.iVersion = 1;
      m.xClose = [](sqlite3_file* f) { return inner(f)->pMethods->xClose(inner(f)); };
      m.xRead = [](sqlite3_file* f, void* out, int n, sqlite3_int64 offset) {
        const long long from = self()->failReadsFrom;
        if (file(f)->faulty && from >= 0 && offset + n > from) return SQLITE_IOERR_READ;
        return inner(f)->pMethods->xRead(inner(f), out, n, offset);
      };
      m.xWrite = [](sqlite3_file* f, const void* in, int n, sqlite3_int64 offset) {
        if (file(f)->faulty && self()->failWrites) return SQLITE_IOERR_WRITE;
        return inner(f)->pMethods->xWrite(inner(f), in, n, offset);
      };
      m.xTruncate = [](sqlite3_file* f, sqlite3_int64 size) {
        return inner(f)->pMethods->xTruncate(inner(f), size);
      };
      m.xSync = [](sqlite3_file* f, int flags) {
        return inner(f)->pMethods->xSync(inner(f), flags);
      };
      m.xFileSize = [](sqlite3_file* f, sqlite3_int64* size) {
        return inner(f)->pMethods->xFileSize(inner(f), size);
      };
      m.xLock = [](sqlite3_file* f, int level) {
        if (file(f)->faulty && self()->busyOnWrite && level >= SQLITE_LOCK_RESERVED) {
          return SQLITE_BUSY;
        }
        return inner(f)->pMethods->xLock(inner(f), level);
      };
      m.xUnlock = [](sqlite3_file* f, int level) {
        return inner(f)->pMethods->xUnlock(inner(f), level);
      };
      m.xCheckReservedLock = [](sqlite3_file* f, int* out) {
        return inner(f)->pMethods->xCheckReservedLock(inner(f), out);
      };
      m.xFileControl = [](sqlite3_file* f, int op, void* arg) {
        return inner(f)->pMethods->xFileControl(inner(f), op, arg);
      };
      m.xSectorSize = [](sqlite3_file* f) { return inner(f)->pMethods->xSectorSize(inner(f)); };
      m.xDeviceCharacteristics = [](sqlite3_file* f) {
        return inner(f)->pMethods->xDeviceCharacteristics(inner(f));
      };
      return m;
    }();
    return table;
  }

  sqlite3_vfs* real_;
  sqlite3_vfs vfs_;
};

}  // namespace apm_testing
