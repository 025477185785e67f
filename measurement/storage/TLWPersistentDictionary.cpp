#include "measurement/storage/TLWPersistentDictionary.h"

#include <algorithm>
#include <chrono>

#include "platform/PropertyList.h"
#include "platform/VXLLogger.h"
#include "platform/core/TWKTarnwickVersion.h"

namespace {

constexpr double kWriteDelaySeconds = 1.0;

bool endsWith(const std::string& s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

TLWPersistentDictionary::TLWPersistentDictionary(std::string filePath, std::shared_ptr<platform::Environment> env)
    : filePath_(std::move(filePath)),
      env_(std::move(env)),
      queue_(platform::DispatchQueue::create("TLWPersistentDictionary", platform::QueuePriority::Utility)) {}

TLWPersistentDictionary::~TLWPersistentDictionary() {
  if (pendingWrite_) pendingWrite_->cancel();
}

std::shared_ptr<TLWPersistentDictionary> TLWPersistentDictionary::initWithFileName(
    const std::string& fileName, std::shared_ptr<platform::Environment> env) {
  if (fileName.empty() || fileName.find('/') != std::string::npos || fileName == "." || fileName == "..") {
    return nullptr;
  }
  if (!env) env = platform::Environment::current();
  const std::string folder = env->sandbox()->applicationSupportDirectory() + "/Vorlix/Measurement";
  if (!env->fileSystem()->createDirectories(folder)) {
    platform::VXLLogError(platform::kTWKLoggerAnalytics, false, "I-ACS043004",
                          "Cannot create subdirectories for config plist files.");
    return nullptr;
  }
  std::string path = folder + "/" + fileName;
  if (!endsWith(fileName, ".plist")) path += ".plist";
  std::shared_ptr<TLWPersistentDictionary> made(new TLWPersistentDictionary(std::move(path), std::move(env)));
  made->load();
  return made;
}

void TLWPersistentDictionary::load() {
  auto bytes = env_->fileSystem()->readFile(filePath_);
  if (!bytes) return;
  auto parsed = platform::PropertyList::propertyListWithData(*bytes);
  if (!parsed || !parsed->dictionary()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  dictionary_ = *parsed->dictionary();
}

platform::Value TLWPersistentDictionary::objectForKey(std::string_view key) {
  if (key.empty()) {
    platform::VXLLogWarning(platform::kTWKLoggerAnalytics, false, "I-ACS043001", "Cannot get object for invalid config key.");
    return {};
  }
  std::lock_guard<std::mutex> lock(mutex_);
  const platform::Value* found = dictionary_.find(key);
  return found ? *found : platform::Value();
}

bool TLWPersistentDictionary::setObject(const platform::Value& value, std::string_view key) {
  if (key.empty()) {
    platform::VXLLogWarning(platform::kTWKLoggerAnalytics, false, "I-ACS043002", "Cannot set object for invalid config key.");
    return false;
  }
  if (value.isNull()) {
    removeObjectForKey(key);
    return true;
  }
  // Anything the file could not hold would make every later write of the file fail.
  if (!isStorableKind(value) || !platform::PropertyList::isRepresentable(value)) {
    platform::VXLLogWarning(platform::kTWKLoggerAnalytics, false, "I-ACS043003", "Cannot set unsupported config value.");
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dictionary_.set(platform::Value(key), value);
  }
  schedulePersistToDisk();
  return true;
}

void TLWPersistentDictionary::removeObjectForKey(std::string_view key) {
  if (key.empty()) return;
  bool changed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    changed = dictionary_.erase(key);
  }
  if (changed) schedulePersistToDisk();
}

void TLWPersistentDictionary::clearAllData() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dictionary_.clear();
  }
  schedulePersistToDisk();
}

platform::Dictionary TLWPersistentDictionary::dictionaryRepresentation() {
  std::lock_guard<std::mutex> lock(mutex_);
  return dictionary_;
}

void TLWPersistentDictionary::schedulePersistToDisk() {
  std::lock_guard<std::mutex> lock(mutex_);
  scheduleWriteLocked();
}

void TLWPersistentDictionary::scheduleWriteLocked() {
  // One write a second after the first unwritten change: later changes ride along with it
  // instead of pushing it back, so a crash loses at most about a second of settings.
  if (writeScheduled_) return;
  writeScheduled_ = true;
  // After failures (a full disk) the next try waits longer: 2, 4 ... 64 s.
  const double delay = kWriteDelaySeconds * static_cast<double>(1 << std::min(failedWrites_, 6));
  std::weak_ptr<TLWPersistentDictionary> weak = weak_from_this();
  pendingWrite_ = queue_->after(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    std::chrono::duration<double>(delay)),
                                [weak] {
                                  if (auto self = weak.lock()) (void)self->persistToDisk();
                                });
}

bool TLWPersistentDictionary::persistToDisk() {
  std::lock_guard<std::mutex> writer(writeMutex_);
  platform::Dictionary snapshot;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    snapshot = dictionary_;
    writeScheduled_ = false;
  }
  std::string why;
  auto bytes = platform::PropertyList::dataWithPropertyList(platform::Value(std::move(snapshot)),
                                                            platform::PropertyListFormat::Binary, &why);
  bool ok = bytes && env_->fileSystem()->writeFileAtomically(filePath_, *bytes, 0600, &why);
  if (!ok) {
    platform::VXLLogError(platform::kTWKLoggerAnalytics, false, "I-ACS043000",
                          "Cannot persist configs to disk; retrying later: " + why);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  failedWrites_ = ok ? 0 : failedWrites_ + 1;
  // What did not reach the disk is tried again without waiting for another change.
  if (!ok) scheduleWriteLocked();
  return ok;
}
