#pragma once
// A wrapping sqlite3_vfs with named fault switches, for tests. While installed it is the
// default VFS, so every connection opened afterwards goes through it; each switch makes
// the matching file operation on database, log and journal files fail until cleared.
//
// Thread-safety: switches are atomics and may be flipped from any thread. install() and
// uninstall() must not race with connections being opened.

#include <atomic>

struct SqliteFaultSwitches {
  std::atomic<bool> noSpace{false};    // writes fail with SQLITE_FULL (disk full)
  std::atomic<bool> failWrite{false};  // writes fail with SQLITE_IOERR_WRITE
  std::atomic<bool> failRead{false};   // reads fail with SQLITE_IOERR_READ
  std::atomic<bool> failSync{false};   // syncs fail with SQLITE_IOERR_FSYNC
  std::atomic<int> faultsHit{0};       // how many operations a switch made fail

  void clear() {
    noSpace = false;
    failWrite = false;
    failRead = false;
    failSync = false;
  }
};

class SqliteFaultVfs {
 public:
  // Registers the wrapper as the default VFS (wrapping the current default); idempotent.
  static SqliteFaultSwitches& install();
  // Restores the wrapped VFS as the default and clears the switches.
  static void uninstall();
  static SqliteFaultSwitches& switches();
};

// Installs for the scope of a test.
class ScopedSqliteFaultVfs {
 public:
  ScopedSqliteFaultVfs() : switches_(SqliteFaultVfs::install()) {}
  ~ScopedSqliteFaultVfs() { SqliteFaultVfs::uninstall(); }
  SqliteFaultSwitches& operator*() { return switches_; }
  SqliteFaultSwitches* operator->() { return &switches_; }

 private:
  SqliteFaultSwitches& switches_;
};
