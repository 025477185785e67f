#pragma once
// Generic-password items kept in one binary property list of mode 0600 at
// Sandbox::keychainPath(), in a folder of mode 0700 outside Library, so wiping the app's
// data keeps them. Layout: { service: { account: data } }.
//
// Thread-safety: every operation may be called from any thread; they are serialised by
// one lock, and each reads the file afresh. A write or removal reads, changes and writes
// the file under an advisory lock (flock) on the keychain folder, so two FileKeychain
// objects or two processes on one sandbox keep each other's items.
//
// Failure: a missing file holds no items. A corrupt file (or one with the wrong layout)
// reads as empty and is logged, and the next write replaces it. A file that exists but
// cannot be read makes write and remove fail (rather than replace items it could not
// see). A failed write leaves the previous file intact. Every write and remove leaves the
// file at 0600 and the folder at 0700, even when someone widened them in between.

#include <memory>
#include <mutex>

#include "platform/Environment.h"

namespace platform {

class FileLock;

class FileKeychain : public Keychain {
 public:
  FileKeychain(std::shared_ptr<FileSystem> fileSystem, std::shared_ptr<Sandbox> sandbox);

  // Nullopt when there is no such item (error left empty) or the file is unreadable.
  std::optional<Value::Data> read(std::string_view service, std::string_view account,
                                  std::string* error = nullptr) override;
  // Service and account must be non-empty, valid UTF-8 without NUL.
  bool write(std::string_view service, std::string_view account, const Value::Data& bytes,
             std::string* error = nullptr) override;
  // Removing a missing item succeeds.
  bool remove(std::string_view service, std::string_view account, std::string* error = nullptr) override;

 private:
  enum class Load { Ok, Unreadable };
  Load loadLocked(Dictionary* items, std::string* error);
  bool storeLocked(const Dictionary& items, std::string* error);
  // Creates the keychain folder (0700) and locks it; null with `error` when it cannot.
  std::unique_ptr<FileLock> lockFolder(std::string* error);

  const std::shared_ptr<FileSystem> fileSystem_;
  const std::shared_ptr<Sandbox> sandbox_;
  std::mutex mutex_;
};

}  // namespace platform
