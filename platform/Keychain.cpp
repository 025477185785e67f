#include "platform/Keychain.h"

#include "platform/FileSystem.h"
#include "platform/PropertyList.h"
#include "platform/VXLLogger.h"

namespace platform {
namespace {

constexpr std::string_view kLogService = "[Tallywise/Platform]";
constexpr std::size_t kMaxKeychainBytes = 4u << 20;

bool isValidName(std::string_view name) {
  return !name.empty() && name.find('\0') == std::string_view::npos && utf8::isValid(name);
}

void setError(std::string* error, std::string message) {
  if (error) *error = std::move(message);
}

}  // namespace

FileKeychain::FileKeychain(std::shared_ptr<FileSystem> fileSystem, std::shared_ptr<Sandbox> sandbox)
    : fileSystem_(std::move(fileSystem)), sandbox_(std::move(sandbox)) {}

FileKeychain::Load FileKeychain::loadLocked(Dictionary* items, std::string* error) {
  items->clear();
  const std::string path = sandbox_->keychainPath();
  if (!fileSystem_->exists(path)) return Load::Ok;
  auto size = fileSystem_->fileSize(path);
  std::string why;
  if (!size) {
    setError(error, "keychain file " + path + " is not a regular file");
    return Load::Unreadable;
  }
  std::optional<Value> root;
  if (*size > kMaxKeychainBytes) {
    why = "larger than " + std::to_string(kMaxKeychainBytes) + " bytes";
  } else {
    auto bytes = fileSystem_->readFile(path, &why);
    if (!bytes) {
      setError(error, "cannot read the keychain file: " + why);
      return Load::Unreadable;
    }
    root = PropertyList::propertyListWithData(*bytes, &why);
  }
  bool wellFormed = root && root->isDictionary();
  if (wellFormed) {
    for (const auto& [service, accounts] : *root->dictionary()) {
      if (!service.isString() || !accounts.isDictionary()) {
        wellFormed = false;
        break;
      }
      for (const auto& [account, data] : *accounts.dictionary()) {
        if (!account.isString() || !data.isData()) wellFormed = false;
      }
    }
    if (!wellFormed) why = "unexpected layout";
  }
  if (!wellFormed) {
    VXLLogError(kLogService, false, "I-PLT000004",
                "Keychain file " + path + " is corrupt and is treated as empty: " + why);
    return Load::Ok;
  }
  *items = *root->dictionary();
  return Load::Ok;
}

std::unique_ptr<FileLock> FileKeychain::lockFolder(std::string* error) {
  const std::string path = sandbox_->keychainPath();
  const std::string dir = path.substr(0, path.find_last_of('/'));
  if (!fileSystem_->createDirectories(dir, error) || !fileSystem_->setPermissions(dir, 0700, error)) return nullptr;
  return FileLock::acquire(dir, std::chrono::seconds(10), error);
}

bool FileKeychain::storeLocked(const Dictionary& items, std::string* error) {
  const std::string path = sandbox_->keychainPath();
  if (items.empty()) return fileSystem_->removeFile(path, error);
  auto bytes = PropertyList::dataWithPropertyList(Value(items), PropertyListFormat::Binary, error);
  if (!bytes) return false;
  return fileSystem_->writeFileAtomically(path, *bytes, 0600, error);
}

std::optional<Value::Data> FileKeychain::read(std::string_view service, std::string_view account,
                                              std::string* error) {
  if (!isValidName(service) || !isValidName(account)) {
    setError(error, "invalid keychain service or account");
    return std::nullopt;
  }
  std::lock_guard lock(mutex_);
  Dictionary items;
  if (loadLocked(&items, error) != Load::Ok) return std::nullopt;
  const Value* accounts = items.find(service);
  if (!accounts) return std::nullopt;
  const Value* data = accounts->dictionary()->find(account);
  if (!data) return std::nullopt;
  return *data->dataBytes();
}

bool FileKeychain::write(std::string_view service, std::string_view account, const Value::Data& bytes,
                         std::string* error) {
  if (!isValidName(service) || !isValidName(account)) {
    setError(error, "invalid keychain service or account");
    return false;
  }
  std::lock_guard lock(mutex_);
  // Another process may write between our read and our write unless both hold the lock.
  auto folderLock = lockFolder(error);
  if (!folderLock) return false;
  Dictionary items;
  if (loadLocked(&items, error) != Load::Ok) return false;
  Dictionary accounts;
  if (const Value* existing = items.find(service)) accounts = *existing->dictionary();
  accounts.set(Value(account), Value::data(bytes));
  items.set(Value(service), Value(std::move(accounts)));
  std::string why;
  if (!storeLocked(items, &why)) {
    VXLLogError(kLogService, false, "I-PLT000005", "Cannot write the keychain file: " + why);
    setError(error, why);
    return false;
  }
  return true;
}

bool FileKeychain::remove(std::string_view service, std::string_view account, std::string* error) {
  if (!isValidName(service) || !isValidName(account)) {
    setError(error, "invalid keychain service or account");
    return false;
  }
  std::lock_guard lock(mutex_);
  const std::string path = sandbox_->keychainPath();
  if (!fileSystem_->exists(path)) {
    // Nothing to remove, but a folder someone opened up is closed again.
    const std::string dir = path.substr(0, path.find_last_of('/'));
    return !fileSystem_->isDirectory(dir) || fileSystem_->setPermissions(dir, 0700, error);
  }
  auto folderLock = lockFolder(error);
  if (!folderLock) return false;
  Dictionary items;
  if (loadLocked(&items, error) != Load::Ok) return false;
  const Value* existing = items.find(service);
  // Nothing to remove: the file is left as it is, except for a mode someone widened.
  if (!existing || !existing->dictionary()->contains(account)) return fileSystem_->setPermissions(path, 0600, error);
  Dictionary accounts = *existing->dictionary();
  accounts.erase(account);
  if (accounts.empty()) {
    items.erase(service);
  } else {
    items.set(Value(service), Value(std::move(accounts)));
  }
  return storeLocked(items, error);
}

}  // namespace platform
