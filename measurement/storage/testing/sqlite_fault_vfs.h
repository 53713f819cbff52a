// Test-only: a SQLite VFS in front of the system's own that fails chosen file operations, made
// the default VFS for the life of the object, so that every connection opened meanwhile (the
// store opens with the default) reads and writes its files through it. An I/O error or a lock
// another process holds cannot be provoked honestly on a real disk, least of all as root.
//
// Faults apply to files whose path starts with `pathPrefix` (empty: every file):
//   failReadsFrom xRead at this offset or past it answers SQLITE_IOERR_READ (-1: none; 0: all;
//                 4096: all but the first page, which SQLite reads already when it opens);
//   failWrites    xWrite answers SQLITE_IOERR_WRITE;
//   busyOnWrite   a lock at RESERVED or above answers SQLITE_BUSY (another process writing);
//   failMainOpens the next this many opens of a main database file answer SQLITE_CANTOPEN
//                 (each failed open counts one down);
//   skipSync      syncs do nothing (a test's scratch files need no durability, and the many
//                 commits of a schema set-up would otherwise wait for the disk each time).
// Instances nest (the newest is in front); connections opened through one must be closed
// before it goes, and instances go in the reverse order of their making.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

namespace apm_testing {

class SqliteFaultVfs {
 public:
  std::atomic<long long> failReadsFrom{-1};
  std::atomic<bool> failWrites{false};
  std::atomic<bool> busyOnWrite{false};
  std::atomic<bool> skipSync{false};
  std::atomic<int> failMainOpens{0};
  std::string pathPrefix;

  SqliteFaultVfs() {
    real_ = sqlite3_vfs_find(nullptr);
    std::memset(&vfs_, 0, sizeof vfs_);
    vfs_.pAppData = this;
    vfs_.iVersion = 2;
    vfs_.szOsFile = static_cast<int>(sizeof(File)) + real_->szOsFile;
    vfs_.mxPathname = real_->mxPathname;
    name_ = "lumora-fault-vfs-" + std::to_string(reinterpret_cast<std::uintptr_t>(this));
    vfs_.zName = name_.c_str();
    vfs_.xOpen = &SqliteFaultVfs::open;
    vfs_.xDelete = [](sqlite3_vfs* v, const char* name, int syncDir) {
      return real(v)->xDelete(real(v), name, self(v)->skipSync ? 0 : syncDir);
    };
    vfs_.xAccess = [](sqlite3_vfs* v, const char* name, int flags, int* out) {
      return real(v)->xAccess(real(v), name, flags, out);
    };
    vfs_.xFullPathname = [](sqlite3_vfs* v, const char* name, int n, char* out) {
      return real(v)->xFullPathname(real(v), name, n, out);
    };
    vfs_.xDlOpen = [](sqlite3_vfs* v, const char* name) { return real(v)->xDlOpen(real(v), name); };
    vfs_.xDlError = [](sqlite3_vfs* v, int n, char* out) { real(v)->xDlError(real(v), n, out); };
    vfs_.xDlSym = [](sqlite3_vfs* v, void* handle, const char* symbol) {
      return real(v)->xDlSym(real(v), handle, symbol);
    };
    vfs_.xDlClose = [](sqlite3_vfs* v, void* handle) { real(v)->xDlClose(real(v), handle); };
    vfs_.xRandomness = [](sqlite3_vfs* v, int n, char* out) {
      return real(v)->xRandomness(real(v), n, out);
    };
    vfs_.xSleep = [](sqlite3_vfs* v, int micros) { return real(v)->xSleep(real(v), micros); };
    vfs_.xCurrentTime = [](sqlite3_vfs* v, double* out) {
      return real(v)->xCurrentTime(real(v), out);
    };
    vfs_.xGetLastError = [](sqlite3_vfs* v, int n, char* out) {
      return real(v)->xGetLastError(real(v), n, out);
    };
    vfs_.xCurrentTimeInt64 = [](sqlite3_vfs* v, sqlite3_int64* out) {
      return real(v)->xCurrentTimeInt64(real(v), out);
    };
    sqlite3_vfs_register(&vfs_, 1);
  }
  ~SqliteFaultVfs() {
    sqlite3_vfs_unregister(&vfs_);
    sqlite3_vfs_register(real_, 1);
  }
  SqliteFaultVfs(const SqliteFaultVfs&) = delete;
  SqliteFaultVfs& operator=(const SqliteFaultVfs&) = delete;

 private:
  struct File {
    sqlite3_file base;
    sqlite3_file* real;
    SqliteFaultVfs* owner;
    bool faulty;
  };

  static SqliteFaultVfs* self(sqlite3_vfs* v) { return static_cast<SqliteFaultVfs*>(v->pAppData); }
  static sqlite3_vfs* real(sqlite3_vfs* v) { return self(v)->real_; }
  static File* file(sqlite3_file* f) { return reinterpret_cast<File*>(f); }
  static sqlite3_file* inner(sqlite3_file* f) { return file(f)->real; }

  static int open(sqlite3_vfs* v, sqlite3_filename name, sqlite3_file* f, int flags,
                  int* outFlags) {
    File* p = file(f);
    p->real = reinterpret_cast<sqlite3_file*>(p + 1);
    p->owner = self(v);
    const std::string& prefix = p->owner->pathPrefix;
    p->faulty = prefix.empty() || (name && std::strncmp(name, prefix.c_str(), prefix.size()) == 0);
    if (p->faulty && (flags & SQLITE_OPEN_MAIN_DB) && p->owner->failMainOpens.load() > 0) {
      --p->owner->failMainOpens;
      p->base.pMethods = nullptr;
      return SQLITE_CANTOPEN;
    }
    const int rc = real(v)->xOpen(real(v), name, p->real, flags, outFlags);
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
        const long long from = file(f)->owner->failReadsFrom;
        if (file(f)->faulty && from >= 0 && offset + n > from) return SQLITE_IOERR_READ;
        return inner(f)->pMethods->xRead(inner(f), out, n, offset);
      };
      m.xWrite = [](sqlite3_file* f, const void* in, int n, sqlite3_int64 offset) {
        if (file(f)->faulty && file(f)->owner->failWrites) return SQLITE_IOERR_WRITE;
        return inner(f)->pMethods->xWrite(inner(f), in, n, offset);
      };
      m.xTruncate = [](sqlite3_file* f, sqlite3_int64 size) {
        return inner(f)->pMethods->xTruncate(inner(f), size);
      };
      m.xSync = [](sqlite3_file* f, int flags) {
        if (file(f)->owner->skipSync) return SQLITE_OK;
        return inner(f)->pMethods->xSync(inner(f), flags);
      };
      m.xFileSize = [](sqlite3_file* f, sqlite3_int64* size) {
        return inner(f)->pMethods->xFileSize(inner(f), size);
      };
      m.xLock = [](sqlite3_file* f, int level) {
        if (file(f)->faulty && file(f)->owner->busyOnWrite && level >= SQLITE_LOCK_RESERVED) {
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
  std::string name_;
};

}  // namespace apm_testing
