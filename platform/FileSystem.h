#pragma once
// The POSIX file system behind platform::FileSystem, and a forwarding wrapper.
//
// Thread-safety: PosixFileSystem keeps no state; every call may run on any thread. Two
// concurrent writeFileAtomically calls on one path each leave a complete file (the later
// rename wins).

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Environment.h"

namespace platform {

// Failures that the atomic write can be told to suffer, one per stage. Used by the
// fault-injecting file system in platform/testing so that tests run the real write,
// clean-up included.
struct AtomicWriteFaults {
  bool noSpace = false;     // the temporary file's write stops half-way with ENOSPC
  bool failWrite = false;   // the temporary file's write fails with EIO
  bool failSync = false;    // fsync of the temporary file fails with EIO
  bool failRename = false;  // renaming it into place fails with EIO
};

// The atomic write of PosixFileSystem: a temporary file ".<name>.tmp.<random>" in the
// destination folder, created with `mode` (umask not applied), written fully, fsync'd,
// renamed over `path`, and the folder fsync'd. On any failure the temporary file is
// removed and `path` keeps its previous content.
[[nodiscard]] bool posixWriteFileAtomically(const std::string& path, std::string_view bytes, unsigned mode,
                                            std::string* error, const AtomicWriteFaults* faults = nullptr);

class PosixFileSystem : public FileSystem {
 public:
  std::optional<std::string> readFile(const std::string& path, std::string* error = nullptr) override;
  bool writeFileAtomically(const std::string& path, std::string_view bytes, unsigned mode = 0644,
                           std::string* error = nullptr) override;
  bool exists(const std::string& path) override;
  bool isDirectory(const std::string& path) override;
  // Creates missing folders with mode 0700: everything under the sandbox is the user's alone.
  bool createDirectories(const std::string& path, std::string* error = nullptr) override;
  // Removing a missing file succeeds.
  bool removeFile(const std::string& path, std::string* error = nullptr) override;
  // Removes a file or a folder tree; a missing path succeeds. Symbolic links are removed,
  // never followed.
  bool removeAll(const std::string& path, std::string* error = nullptr) override;
  bool rename(const std::string& from, const std::string& to, std::string* error = nullptr) override;
  // Names (not paths) of the entries, sorted; empty when the folder cannot be read.
  std::vector<std::string> listDirectory(const std::string& path) override;
  std::optional<std::uint64_t> fileSize(const std::string& path) override;
  std::optional<std::uint64_t> freeSpace(const std::string& path) override;
  bool isWritable(const std::string& path) override;
  bool setPermissions(const std::string& path, unsigned mode, std::string* error = nullptr) override;
  bool setExcludedFromBackup(const std::string& path, bool excluded) override;
  bool isExcludedFromBackup(const std::string& path) override;
};

// An advisory exclusive lock (flock) on an existing folder or file, held until the object
// is destroyed. Two locks on one path exclude each other whether they are taken by two
// processes or by two objects of one process; a lock dies with its process. Locking a
// folder rather than a file that is renamed over keeps every writer on one lock.
class FileLock {
 public:
  // Null with `error` when `path` cannot be opened or someone else holds the lock for
  // longer than `timeout`.
  [[nodiscard]] static std::unique_ptr<FileLock> acquire(const std::string& path, std::chrono::milliseconds timeout,
                                                         std::string* error = nullptr);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  explicit FileLock(int fd) : fd_(fd) {}
  int fd_;
};

// The extended attribute that marks a path as excluded from backup.
inline constexpr const char* kExcludedFromBackupAttribute = "user.vorlix.excluded-from-backup";

// Forwards every call to a target; a fake overrides only what it needs.
class FileSystemWrapper : public FileSystem {
 public:
  explicit FileSystemWrapper(std::shared_ptr<FileSystem> target) : target_(std::move(target)) {}
  std::optional<std::string> readFile(const std::string& path, std::string* error = nullptr) override {
    return target_->readFile(path, error);
  }
  bool writeFileAtomically(const std::string& path, std::string_view bytes, unsigned mode = 0644,
                           std::string* error = nullptr) override {
    return target_->writeFileAtomically(path, bytes, mode, error);
  }
  bool exists(const std::string& path) override { return target_->exists(path); }
  bool isDirectory(const std::string& path) override { return target_->isDirectory(path); }
  bool createDirectories(const std::string& path, std::string* error = nullptr) override {
    return target_->createDirectories(path, error);
  }
  bool removeFile(const std::string& path, std::string* error = nullptr) override {
    return target_->removeFile(path, error);
  }
  bool removeAll(const std::string& path, std::string* error = nullptr) override {
    return target_->removeAll(path, error);
  }
  bool rename(const std::string& from, const std::string& to, std::string* error = nullptr) override {
    return target_->rename(from, to, error);
  }
  std::vector<std::string> listDirectory(const std::string& path) override { return target_->listDirectory(path); }
  std::optional<std::uint64_t> fileSize(const std::string& path) override { return target_->fileSize(path); }
  std::optional<std::uint64_t> freeSpace(const std::string& path) override { return target_->freeSpace(path); }
  bool isWritable(const std::string& path) override { return target_->isWritable(path); }
  bool setPermissions(const std::string& path, unsigned mode, std::string* error = nullptr) override {
    return target_->setPermissions(path, mode, error);
  }
  bool setExcludedFromBackup(const std::string& path, bool excluded) override {
    return target_->setExcludedFromBackup(path, excluded);
  }
  bool isExcludedFromBackup(const std::string& path) override { return target_->isExcludedFromBackup(path); }
  const std::shared_ptr<FileSystem>& target() const { return target_; }

 private:
  std::shared_ptr<FileSystem> target_;
};

}  // namespace platform
