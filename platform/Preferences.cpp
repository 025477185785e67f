#include "platform/Preferences.h"

#include <algorithm>
#include <cstdlib>
#include <unordered_set>
#include <utility>

#include "platform/DispatchQueue.h"
#include "platform/FileSystem.h"
#include "platform/PropertyList.h"
#include "platform/VXLLogger.h"

namespace platform {
namespace {

constexpr std::string_view kLogService = "[Tallywise/Platform]";

std::string parentOf(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

bool isFileNameSafe(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

// Every live FilePreferences, so changes still pending when the process exits normally
// are written then, as the platform's own preferences do. Never destroyed: the exit
// handler and objects that outlive static destruction still use it.
struct LivePreferences {
  std::mutex mutex;
  std::unordered_set<FilePreferences*> all;
};

LivePreferences& livePreferences() {
  static LivePreferences* live = new LivePreferences;
  return *live;
}

// One queue writes every suite, so the writes never wait for the code that made the change.
const std::shared_ptr<DispatchQueue>& writeQueue() {
  // Never destroyed: pending writes may come due during static destruction.
  static auto* queue = new std::shared_ptr<DispatchQueue>(DispatchQueue::create("platform.preferences.write",
                                                                                QueuePriority::Utility));
  return *queue;
}

void synchronizeLivePreferencesAtExit() {
  auto& live = livePreferences();
  // Held throughout so none is destroyed while it is written.
  std::lock_guard lock(live.mutex);
  for (auto* preferences : live.all) (void)preferences->synchronizeAll();
}

}  // namespace

FilePreferencesSuite::FilePreferencesSuite(std::string name, std::string path, std::shared_ptr<FileSystem> fileSystem)
    : name_(std::move(name)), path_(std::move(path)), fileSystem_(std::move(fileSystem)) {}

FilePreferencesSuite::~FilePreferencesSuite() = default;

void FilePreferencesSuite::Changes::applyTo(Dictionary& values) const {
  if (removeAll) values.clear();
  for (const auto& key : removed) values.erase(key);
  for (const auto& [key, value] : set) values.set(key, value);
}

void FilePreferencesSuite::Changes::append(Changes newer) {
  if (newer.removeAll) {
    *this = std::move(newer);
    return;
  }
  for (const auto& key : newer.removed) {
    set.erase(key);
    removed.insert(key);
  }
  for (auto& [key, value] : newer.set) {
    removed.erase(*key.string());
    set.set(key, value);
  }
}

FilePreferencesSuite::Disk FilePreferencesSuite::readDisk(Dictionary* values, std::string* why) const {
  values->clear();
  if (!fileSystem_->exists(path_)) return Disk::Read;
  auto size = fileSystem_->fileSize(path_);
  if (!size) {
    *why = "it is not a regular file or cannot be inspected";
    return Disk::Unreadable;
  }
  if (*size > PropertyList::kMaxBytes) {
    *why = "larger than " + std::to_string(PropertyList::kMaxBytes) + " bytes";
    return Disk::Corrupt;
  }
  auto bytes = fileSystem_->readFile(path_, why);
  if (!bytes) return Disk::Unreadable;
  auto root = PropertyList::propertyListWithData(*bytes, why);
  if (root && !root->isDictionary()) {
    *why = std::string("its root is ") + root->kindName() + ", not a dictionary";
    root.reset();
  }
  if (!root) return Disk::Corrupt;
  *values = *root->dictionary();
  return Disk::Read;
}

void FilePreferencesSuite::loadLocked() const {
  if (loaded_) return;
  Dictionary disk;
  std::string why;
  switch (readDisk(&disk, &why)) {
    case Disk::Unreadable:
      // Not corrupt: the file stays, and the next access reads again.
      if (!readFailing_) {
        VXLLogError(kLogService, false, "I-PLT000001",
                    "Preferences file " + path_ + " cannot be read; it is kept and read again later: " + why);
      }
      readFailing_ = true;
      values_.clear();
      changes_.applyTo(values_);
      return;
    case Disk::Corrupt:
      VXLLogError(kLogService, false, "I-PLT000001",
                  "Preferences file " + path_ + " is corrupt and is treated as empty: " + why);
      break;
    case Disk::Read:
      break;
  }
  loaded_ = true;
  readFailing_ = false;
  values_ = std::move(disk);
  changes_.applyTo(values_);
}

void FilePreferencesSuite::changedLocked() {
  if (writeScheduled_ || stopped_) return;
  auto weak = weak_from_this();
  if (weak.expired()) return;
  writeScheduled_ = true;
  // Back-off after failures: 1, 2, 4 ... 64 s.
  auto delay = kFlushDelay * (1 << std::min(failedWrites_, 6));
  (void)writeQueue()->after(delay, [weak] {
    if (auto self = weak.lock()) self->automaticWrite();
  });
}

void FilePreferencesSuite::automaticWrite() {
  {
    std::lock_guard lock(mutex_);
    writeScheduled_ = false;
  }
  bool ok = write(true);
  std::lock_guard lock(mutex_);
  failedWrites_ = ok ? 0 : failedWrites_ + 1;
  if (!changes_.empty()) changedLocked();
}

Value FilePreferencesSuite::objectForKey(std::string_view key) const {
  std::lock_guard lock(mutex_);
  loadLocked();
  const Value* v = values_.find(key);
  return v ? *v : Value();
}

void FilePreferencesSuite::setObject(std::string_view key, Value value) {
  if (value.isNull()) {
    removeObject(key);
    return;
  }
  std::string why;
  if (!PropertyList::isRepresentable(value, &why)) {
    VXLLogWarning(kLogService, false, "I-PLT000002",
                  "Preferences value for key " + std::string(key) + " refused: " + why);
    return;
  }
  std::lock_guard lock(mutex_);
  loadLocked();
  values_.set(Value(key), value);
  changes_.removed.erase(std::string(key));
  changes_.set.set(Value(key), std::move(value));
  changedLocked();
}

void FilePreferencesSuite::removeObject(std::string_view key) {
  std::lock_guard lock(mutex_);
  loadLocked();
  values_.erase(key);
  changes_.set.erase(key);
  if (!changes_.removeAll) changes_.removed.emplace(key);
  changedLocked();
}

Dictionary FilePreferencesSuite::dictionaryRepresentation() const {
  std::lock_guard lock(mutex_);
  loadLocked();
  return values_;
}

void FilePreferencesSuite::removeAll() {
  std::lock_guard lock(mutex_);
  // Nothing to read: the file is going away.
  loaded_ = true;
  readFailing_ = false;
  values_.clear();
  changes_ = Changes{};
  changes_.removeAll = true;
  changedLocked();
}

bool FilePreferencesSuite::hasPendingChanges() const {
  std::lock_guard lock(mutex_);
  return !changes_.empty() || writing_;
}

void FilePreferencesSuite::discardPendingChanges() {
  std::lock_guard lock(mutex_);
  changes_ = Changes{};
}

void FilePreferencesSuite::stopAutomaticWrites() {
  std::lock_guard writeLock(writeMutex_);
  std::lock_guard lock(mutex_);
  stopped_ = true;
}

bool FilePreferencesSuite::synchronize() { return write(false); }

bool FilePreferencesSuite::writeChanges(const Changes& changes, bool automatic, Dictionary* written,
                                        std::string* error) {
  const std::string folder = parentOf(path_);
  // A wiped Library is made again; a sandbox that is gone altogether is not brought back
  // behind the owner's back.
  if (automatic && !fileSystem_->isDirectory(parentOf(parentOf(folder)))) {
    *error = "the sandbox folder is gone";
    return false;
  }
  if (!fileSystem_->createDirectories(folder, error)) return false;
  // Held from the read to the rename, so that a writer in another process neither misses
  // our keys nor has its own overwritten.
  auto folderLock = FileLock::acquire(folder, std::chrono::seconds(10), error);
  if (!folderLock) return false;
  Dictionary values;
  if (!changes.removeAll) {
    std::string why;
    switch (readDisk(&values, &why)) {
      case Disk::Unreadable:
        *error = "the file cannot be read, so it is kept: " + why;
        return false;
      case Disk::Corrupt:
        values.clear();  // replaced, as logged when it was first read
        break;
      case Disk::Read:
        break;
    }
  }
  changes.applyTo(values);
  bool ok = false;
  if (values.empty()) {
    ok = fileSystem_->removeFile(path_, error);
  } else if (auto bytes = PropertyList::dataWithPropertyList(Value(values), PropertyListFormat::Binary, error)) {
    ok = fileSystem_->writeFileAtomically(path_, *bytes, 0600, error);
  }
  if (ok) *written = std::move(values);
  return ok;
}

bool FilePreferencesSuite::write(bool automatic) {
  std::lock_guard writeLock(writeMutex_);
  Changes changes;
  {
    std::lock_guard lock(mutex_);
    if (automatic && stopped_) return true;
    if (changes_.empty()) return true;
    changes = std::exchange(changes_, Changes{});
    writing_ = true;
  }
  std::string error;
  Dictionary written;
  bool ok = writeChanges(changes, automatic, &written, &error);
  std::lock_guard lock(mutex_);
  writing_ = false;
  if (!ok) {
    // Changes made meanwhile are newer than the ones that failed.
    changes.append(std::exchange(changes_, Changes{}));
    changes_ = std::move(changes);
    VXLLogError(kLogService, false, "I-PLT000003", "Cannot write preferences file " + path_ + ": " + error);
    return false;
  }
  // What the file holds now (other writers' keys included), with the newer changes on top.
  loaded_ = true;
  readFailing_ = false;
  values_ = std::move(written);
  changes_.applyTo(values_);
  return true;
}

FilePreferences::FilePreferences(std::shared_ptr<FileSystem> fileSystem, std::shared_ptr<Sandbox> sandbox,
                                 std::string standardSuiteName)
    : fileSystem_(std::move(fileSystem)),
      sandbox_(std::move(sandbox)),
      standardSuiteName_(isFileNameSafe(standardSuiteName) ? std::move(standardSuiteName) : std::string("app")) {
  static std::once_flag registered;
  std::call_once(registered, [] { std::atexit(synchronizeLivePreferencesAtExit); });
  auto& live = livePreferences();
  std::lock_guard lock(live.mutex);
  live.all.insert(this);
}

// Suites still held elsewhere are written no more once their FilePreferences is gone (its
// sandbox may be gone with it).
FilePreferences::~FilePreferences() {
  {
    auto& live = livePreferences();
    std::lock_guard lock(live.mutex);
    live.all.erase(this);
  }
  (void)synchronizeAll();
  for (auto& [name, suite] : suites_) suite->stopAutomaticWrites();
}

std::shared_ptr<PreferencesSuite> FilePreferences::standard() { return suite(standardSuiteName_); }

std::shared_ptr<PreferencesSuite> FilePreferences::suite(const std::string& name) {
  const std::string& effective = name.empty() ? standardSuiteName_ : name;
  if (!isFileNameSafe(effective)) return nullptr;
  std::lock_guard lock(mutex_);
  auto& slot = suites_[effective];
  if (!slot) {
    slot = std::make_shared<FilePreferencesSuite>(effective, sandbox_->preferencesDirectory() + "/" + effective + ".plist",
                                                  fileSystem_);
  }
  return slot;
}

bool FilePreferences::synchronizeAll() {
  std::vector<std::shared_ptr<FilePreferencesSuite>> suites;
  {
    std::lock_guard lock(mutex_);
    for (auto& [name, suite] : suites_) suites.push_back(suite);
  }
  bool ok = true;
  for (auto& suite : suites) ok = suite->synchronize() && ok;
  return ok;
}

}  // namespace platform

namespace platform {

void FilePreferences::discardPendingChanges() {
  std::lock_guard lock(mutex_);
  for (auto& [name, suite] : suites_) {
    suite->stopAutomaticWrites();
    suite->discardPendingChanges();
  }
}

}  // namespace platform
