#include "notesapi/host/internal/sqlite_vfs.h"

#include <sqlite3.h>

namespace notesapi::host {

namespace {

constexpr char kVfsName[] = "zul-unix";

sqlite3_vfs* Base(sqlite3_vfs* vfs) { return static_cast<sqlite3_vfs*>(vfs->pAppData); }

int Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags) {
  sqlite3_vfs* base = Base(vfs);
  if ((flags & SQLITE_OPEN_WAL) != 0 && (flags & SQLITE_OPEN_CREATE) != 0 && name != nullptr) {
    int exists = 0;
    if (base->xAccess(base, name, SQLITE_ACCESS_EXISTS, &exists) == SQLITE_OK && exists != 0 &&
        base->xOpen(base, name, file, flags & ~SQLITE_OPEN_CREATE, outFlags) == SQLITE_OK) {
      return SQLITE_OK;
    }
  }
  return base->xOpen(base, name, file, flags, outFlags);
}

int Delete(sqlite3_vfs* vfs, const char* name, int syncDir) { return Base(vfs)->xDelete(Base(vfs), name, syncDir); }
int Access(sqlite3_vfs* vfs, const char* name, int flags, int* result) {
  return Base(vfs)->xAccess(Base(vfs), name, flags, result);
}
int FullPathname(sqlite3_vfs* vfs, const char* name, int size, char* out) {
  return Base(vfs)->xFullPathname(Base(vfs), name, size, out);
}
void* DlOpen(sqlite3_vfs* vfs, const char* name) { return Base(vfs)->xDlOpen(Base(vfs), name); }
void DlError(sqlite3_vfs* vfs, int size, char* out) { Base(vfs)->xDlError(Base(vfs), size, out); }
void (*DlSym(sqlite3_vfs* vfs, void* handle, const char* symbol))(void) {
  return Base(vfs)->xDlSym(Base(vfs), handle, symbol);
}
void DlClose(sqlite3_vfs* vfs, void* handle) { Base(vfs)->xDlClose(Base(vfs), handle); }
int Randomness(sqlite3_vfs* vfs, int size, char* out) { return Base(vfs)->xRandomness(Base(vfs), size, out); }
int Sleep(sqlite3_vfs* vfs, int micros) { return Base(vfs)->xSleep(Base(vfs), micros); }
int CurrentTime(sqlite3_vfs* vfs, double* now) { return Base(vfs)->xCurrentTime(Base(vfs), now); }
int GetLastError(sqlite3_vfs* vfs, int size, char* out) { return Base(vfs)->xGetLastError(Base(vfs), size, out); }
int CurrentTimeInt64(sqlite3_vfs* vfs, sqlite3_int64* now) {
  return Base(vfs)->xCurrentTimeInt64(Base(vfs), now);
}

const char* Register() {
  static sqlite3_vfs vfs;
  sqlite3_vfs* base = sqlite3_vfs_find(nullptr);
  if (base == nullptr || base->iVersion < 2) return nullptr;
  vfs.iVersion = 2;
  vfs.szOsFile = base->szOsFile;
  vfs.mxPathname = base->mxPathname;
  vfs.zName = kVfsName;
  vfs.pAppData = base;
  vfs.xOpen = Open;
  vfs.xDelete = Delete;
  vfs.xAccess = Access;
  vfs.xFullPathname = FullPathname;
  vfs.xDlOpen = DlOpen;
  vfs.xDlError = DlError;
  vfs.xDlSym = DlSym;
  vfs.xDlClose = DlClose;
  vfs.xRandomness = Randomness;
  vfs.xSleep = Sleep;
  vfs.xCurrentTime = CurrentTime;
  vfs.xGetLastError = GetLastError;
  vfs.xCurrentTimeInt64 = CurrentTimeInt64;
  return sqlite3_vfs_register(&vfs, 0) == SQLITE_OK ? kVfsName : nullptr;
}

}  // namespace

const char* HostVfsName() {
  static const char* name = Register();
  return name;
}

}  // namespace notesapi::host
