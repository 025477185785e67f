#pragma once
// A file system that forwards to a real one and fails on command.
//
// Thread-safety: any thread; switches may be flipped while other threads use it.
//
// Write faults run the real POSIX atomic write with the fault injected at its stage (so
// the clean-up code runs too); they therefore need the target to be the disk, as it is in
// TestEnvironment. After any injected failure the destination keeps its previous content.

#include <atomic>
#include <mutex>

#include "platform/FileSystem.h"

namespace platform::testing {

class FaultInjectingFileSystem : public FileSystemWrapper {
 public:
  // Over a PosixFileSystem by default.
  explicit FaultInjectingFileSystem(std::shared_ptr<FileSystem> target = std::make_shared<PosixFileSystem>())
      : FileSystemWrapper(std::move(target)) {}

  // Writes stop half-way with ENOSPC; folders cannot be created.
  void setNoSpace(bool on) { noSpace_ = on; }
  // Writes fail with EIO before any byte reaches the file.
  void setFailWrite(bool on) { failWrite_ = on; }
  // The fsync of a written file fails.
  void setFailSync(bool on) { failSync_ = on; }
  // Renames (including the last step of an atomic write) fail.
  void setFailRename(bool on) { failRename_ = on; }
  // Reads fail with EIO.
  void setFailRead(bool on) { failRead_ = on; }
  // Removals fail with EACCES.
  void setFailRemove(bool on) { failRemove_ = on; }
  // Reported free space; nullopt goes back to the real figure.
  void setFreeSpace(std::optional<std::uint64_t> bytes);
  void clearFaults();

  // Calls seen (successful or not).
  std::uint64_t writeCount() const { return writes_; }
  std::uint64_t readCount() const { return reads_; }

  std::optional<std::string> readFile(const std::string& path, std::string* error = nullptr) override;
  bool writeFileAtomically(const std::string& path, std::string_view bytes, unsigned mode = 0644,
                           std::string* error = nullptr) override;
  bool createDirectories(const std::string& path, std::string* error = nullptr) override;
  bool removeFile(const std::string& path, std::string* error = nullptr) override;
  bool removeAll(const std::string& path, std::string* error = nullptr) override;
  bool rename(const std::string& from, const std::string& to, std::string* error = nullptr) override;
  std::optional<std::uint64_t> freeSpace(const std::string& path) override;

 private:
  std::atomic<bool> noSpace_{false}, failWrite_{false}, failSync_{false}, failRename_{false}, failRead_{false},
      failRemove_{false};
  std::atomic<std::uint64_t> writes_{0}, reads_{0};
  std::mutex mutex_;
  std::optional<std::uint64_t> freeSpace_;
};

}  // namespace platform::testing
