#include "tests/measurement/storage/SqliteFaultVfs.h"

#include <sqlite3.h>

#include <cstring>

namespace {

SqliteFaultSwitches gSwitches;
sqlite3_vfs* gReal = nullptr;
sqlite3_vfs gFaultVfs;
bool gInstalled = false;

struct FaultFile {
  sqlite3_file base;
  sqlite3_file* real;
  bool faultable;
};

sqlite3_file* realOf(sqlite3_file* f) { return reinterpret_cast<FaultFile*>(f)->real; }
bool faultable(sqlite3_file* f) { return reinterpret_cast<FaultFile*>(f)->faultable; }

int hit(int code) {
  gSwitches.faultsHit.fetch_add(1);
  return code;
}

int xClose(sqlite3_file* f) {
  sqlite3_file* r = realOf(f);
  int rc = r->pMethods ? r->pMethods->xClose(r) : SQLITE_OK;
  return rc;
}
int xRead(sqlite3_file* f, void* buf, int amount, sqlite3_int64 offset) {
  if (faultable(f) && gSwitches.failRead) return hit(SQLITE_IOERR_READ);
  return realOf(f)->pMethods->xRead(realOf(f), buf, amount, offset);
}
int xWrite(sqlite3_file* f, const void* buf, int amount, sqlite3_int64 offset) {
  if (faultable(f) && gSwitches.noSpace) return hit(SQLITE_FULL);
  if (faultable(f) && gSwitches.failWrite) return hit(SQLITE_IOERR_WRITE);
  return realOf(f)->pMethods->xWrite(realOf(f), buf, amount, offset);
}
int xTruncate(sqlite3_file* f, sqlite3_int64 size) { return realOf(f)->pMethods->xTruncate(realOf(f), size); }
int xSync(sqlite3_file* f, int flags) {
  if (faultable(f) && gSwitches.failSync) return hit(SQLITE_IOERR_FSYNC);
  return realOf(f)->pMethods->xSync(realOf(f), flags);
}
int xFileSize(sqlite3_file* f, sqlite3_int64* size) { return realOf(f)->pMethods->xFileSize(realOf(f), size); }
int xLock(sqlite3_file* f, int lock) { return realOf(f)->pMethods->xLock(realOf(f), lock); }
int xUnlock(sqlite3_file* f, int lock) { return realOf(f)->pMethods->xUnlock(realOf(f), lock); }
int xCheckReservedLock(sqlite3_file* f, int* out) { return realOf(f)->pMethods->xCheckReservedLock(realOf(f), out); }
int xFileControl(sqlite3_file* f, int op, void* arg) { return realOf(f)->pMethods->xFileControl(realOf(f), op, arg); }
int xSectorSize(sqlite3_file* f) { return realOf(f)->pMethods->xSectorSize(realOf(f)); }
int xDeviceCharacteristics(sqlite3_file* f) { return realOf(f)->pMethods->xDeviceCharacteristics(realOf(f)); }
int xShmMap(sqlite3_file* f, int page, int size, int extend, void volatile** out) {
  return realOf(f)->pMethods->xShmMap(realOf(f), page, size, extend, out);
}
int xShmLock(sqlite3_file* f, int offset, int n, int flags) {
  return realOf(f)->pMethods->xShmLock(realOf(f), offset, n, flags);
}
void xShmBarrier(sqlite3_file* f) { realOf(f)->pMethods->xShmBarrier(realOf(f)); }
int xShmUnmap(sqlite3_file* f, int deleteFlag) { return realOf(f)->pMethods->xShmUnmap(realOf(f), deleteFlag); }
// Memory-mapped reads would bypass the read switch.
int xFetch(sqlite3_file*, sqlite3_int64, int, void** out) {
  *out = nullptr;
  return SQLITE_OK;
}
int xUnfetch(sqlite3_file* f, sqlite3_int64 offset, void* p) {
  return realOf(f)->pMethods->xUnfetch(realOf(f), offset, p);
}

const sqlite3_io_methods kMethods = {3,         xClose,      xRead,   xWrite,      xTruncate,
                                     xSync,     xFileSize,   xLock,   xUnlock,     xCheckReservedLock,
                                     xFileControl, xSectorSize, xDeviceCharacteristics, xShmMap, xShmLock,
                                     xShmBarrier, xShmUnmap,  xFetch,  xUnfetch};

int xOpen(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
  auto* ff = reinterpret_cast<FaultFile*>(file);
  ff->real = reinterpret_cast<sqlite3_file*>(ff + 1);
  ff->faultable = (flags & (SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_WAL | SQLITE_OPEN_MAIN_JOURNAL)) != 0;
  ff->base.pMethods = nullptr;
  int rc = gReal->xOpen(gReal, name, ff->real, flags, outFlags);
  if (ff->real->pMethods) ff->base.pMethods = &kMethods;
  return rc;
}

}  // namespace

SqliteFaultSwitches& SqliteFaultVfs::switches() { return gSwitches; }

SqliteFaultSwitches& SqliteFaultVfs::install() {
  if (gInstalled) return gSwitches;
  gReal = sqlite3_vfs_find(nullptr);
  std::memcpy(&gFaultVfs, gReal, sizeof gFaultVfs);
  gFaultVfs.iVersion = gReal->iVersion;
  gFaultVfs.szOsFile = static_cast<int>(sizeof(FaultFile)) + gReal->szOsFile;
  gFaultVfs.zName = "tallywise-fault";
  gFaultVfs.pNext = nullptr;
  gFaultVfs.xOpen = xOpen;
  sqlite3_vfs_register(&gFaultVfs, 1);
  gSwitches.clear();
  gSwitches.faultsHit = 0;
  gInstalled = true;
  return gSwitches;
}

void SqliteFaultVfs::uninstall() {
  if (!gInstalled) return;
  sqlite3_vfs_unregister(&gFaultVfs);
  sqlite3_vfs_register(gReal, 1);
  gSwitches.clear();
  gInstalled = false;
}
