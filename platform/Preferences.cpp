#include "platform/Preferences.h"

#include <cstdlib>
#include <unordered_set>

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

void FilePreferencesSuite::loadLocked() const {
  if (loaded_) return;
  loaded_ = true;
  if (!fileSystem_->exists(path_)) return;
  std::string why;
  std::optional<Value> root;
  auto size = fileSystem_->fileSize(path_);
  if (!size) {
    why = "not a regular file";
  } else if (*size > PropertyList::kMaxBytes) {
    why = "larger than " + std::to_string(PropertyList::kMaxBytes) + " bytes";
  } else if (auto bytes = fileSystem_->readFile(path_, &why)) {
    root = PropertyList::propertyListWithData(*bytes, &why);
    if (root && !root->isDictionary()) {
      why = std::string("its root is ") + root->kindName() + ", not a dictionary";
      root.reset();
    }
  }
  if (!root) {
    VXLLogError(kLogService, false, "I-PLT000001",
                "Preferences file " + path_ + " is unreadable and is treated as empty: " + why);
    return;
  }
  values_ = *root->dictionary();
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
  values_.set(Value(key), std::move(value));
  ++generation_;
}

void FilePreferencesSuite::removeObject(std::string_view key) {
  std::lock_guard lock(mutex_);
  loadLocked();
  if (values_.erase(key)) ++generation_;
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
  values_.clear();
  ++generation_;
}

bool FilePreferencesSuite::hasPendingChanges() const {
  std::lock_guard lock(mutex_);
  return generation_ != savedGeneration_;
}

void FilePreferencesSuite::discardPendingChanges() {
  std::lock_guard lock(mutex_);
  savedGeneration_ = generation_;
}

bool FilePreferencesSuite::synchronize() {
  std::lock_guard writeLock(writeMutex_);
  Dictionary snapshot;
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(mutex_);
    if (generation_ == savedGeneration_) return true;
    snapshot = values_;
    generation = generation_;
  }
  std::string error;
  bool ok = false;
  if (snapshot.empty()) {
    ok = fileSystem_->removeFile(path_, &error);
  } else if (auto bytes = PropertyList::dataWithPropertyList(Value(std::move(snapshot)), PropertyListFormat::Binary,
                                                           &error)) {
    ok = fileSystem_->createDirectories(parentOf(path_), &error) &&
         fileSystem_->writeFileAtomically(path_, *bytes, 0644, &error);
  }
  if (!ok) {
    VXLLogError(kLogService, false, "I-PLT000003", "Cannot write preferences file " + path_ + ": " + error);
    return false;
  }
  std::lock_guard lock(mutex_);
  savedGeneration_ = generation;
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
  for (auto& [name, suite] : suites_) suite->discardPendingChanges();
}

}  // namespace platform
