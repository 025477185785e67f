#include "measurement/storage/TLWUserDefaults.h"

#include <mutex>

#include "platform/VXLLogger.h"
#include "platform/app/Bundle.h"
#include "platform/core/TWKTarnwickVersion.h"

namespace {

void warn(std::string_view code, std::string_view message) {
  platform::VXLLogWarning(platform::kTWKLoggerAnalytics, false, code, message);
}

}  // namespace

TLWUserDefaults::TLWUserDefaults(std::string suiteName, std::shared_ptr<platform::Environment> env)
    : suiteName_(std::move(suiteName)), env_(std::move(env)) {
  auto prefs = env_->preferences();
  if (prefs) suite_ = suiteName_.empty() ? prefs->standard() : prefs->suite(suiteName_);
  useCFPreferencesLibrary_ = userPreferenceEnabled();
}

std::shared_ptr<TLWUserDefaults> TLWUserDefaults::standardUserDefaults() {
  // Never destroyed: library threads may still use it while the process exits.
  static std::shared_ptr<TLWUserDefaults>& instance = *new std::shared_ptr<TLWUserDefaults>([] {
    std::shared_ptr<TLWUserDefaults> made(new TLWUserDefaults("", platform::Environment::current()));
    made->isPreferenceFileExcluded_ = true;
    return made;
  }());
  return instance;
}

bool TLWUserDefaults::userPreferenceEnabled() {
  static const bool enabled = [] {
    auto env = platform::Environment::current();
    auto bundle = env ? env->mainBundle() : nullptr;
    if (!bundle) return true;
    platform::Value v = bundle->objectForInfoDictionaryKey("UseCFPreferencesLibrary");
    auto b = v.boolValue();
    return b.value_or(true);
  }();
  return enabled;
}

std::shared_ptr<TLWUserDefaults> TLWUserDefaults::initWithSuiteName(const std::string& suiteName,
                                                                    std::shared_ptr<platform::Environment> env) {
  if (!env) env = platform::Environment::current();
  std::shared_ptr<TLWUserDefaults> made(new TLWUserDefaults(suiteName, std::move(env)));
  // A suite name that cannot name a file has no store.
  if (!made->suite_) return nullptr;
  return made;
}

std::string TLWUserDefaults::applicationID() const { return suite_ ? suite_->name() : suiteName_; }

std::string TLWUserDefaults::preferenceFilePath() const {
  return env_->sandbox()->preferencesDirectory() + "/" + applicationID() + ".plist";
}

platform::Value TLWUserDefaults::objectForKey(std::string_view key) {
  if (key.empty()) {
    warn("I-ACS041001", "Cannot get object for invalid user default key.");
    return {};
  }
  return suite_->objectForKey(key);
}

bool TLWUserDefaults::setObject(const platform::Value& value, std::string_view key) {
  if (key.empty()) {
    warn("I-ACS041002", "Cannot set object for invalid user default key.");
    return false;
  }
  if (value.isNull()) {
    suite_->removeObject(key);
    return true;
  }
  if (!isStorableKind(value)) {
    warn("I-ACS041003", "Cannot set object of unsupported type for user default key.");
    return false;
  }
  suite_->setObject(key, value);
  // The suite refuses (and keeps the old value) for values nested inside that have no
  // stored form; tell the caller.
  return suite_->objectForKey(key) == value;
}

void TLWUserDefaults::removeObjectForKey(std::string_view key) {
  if (key.empty()) {
    warn("I-ACS041002", "Cannot set object for invalid user default key.");
    return;
  }
  suite_->removeObject(key);
}

void TLWUserDefaults::clearAllData() { suite_->removeAll(); }

platform::Dictionary TLWUserDefaults::dictionaryRepresentation() const { return suite_->dictionaryRepresentation(); }

bool TLWUserDefaults::synchronize() {
  bool ok = suite_->synchronize();
  if (!ok) platform::VXLLogError(platform::kTWKLoggerAnalytics, false, "I-ACS041004", "Cannot synchronize user defaults to disk");
  std::lock_guard<std::mutex> lock(mutex_);
  if (!isPreferenceFileExcluded_) {
    auto fs = env_->fileSystem();
    const std::string path = preferenceFilePath();
    if (fs->exists(path)) {
      if (fs->setExcludedFromBackup(path, true)) {
        isPreferenceFileExcluded_ = true;
      } else {
        warn("I-ACS041000", "Failed to exclude preferences file from backup. Error code %@");
      }
    }
  }
  return ok;
}
