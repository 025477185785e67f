#pragma once
// TLWUserDefaults: a key-value store over one platform preference suite.
//
// Thread-safety: any thread. Reads and writes rely on the preference suite's own
// thread safety; the backup-exclusion check in synchronize() is under the object's lock.
//
// Ownership: holds the environment's preference suite for its life. standardUserDefaults
// is one process-wide instance over the standard suite.
//
// Failure: an empty key or a value without a stored form is refused and logged through
// the utilities logger (41001 read, 41002 write, 41003 value); a failed flush is logged
// (41004) and answered false, the changes staying pending for the next flush.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "measurement/storage/TLWKeyValueStore.h"
#include "platform/Environment.h"

class TLWUserDefaults : public TLWKeyValueStore {
 public:
  // The process-wide instance with no suite (the standard suite), already marked as
  // having its file excluded from backup.
  static std::shared_ptr<TLWUserDefaults> standardUserDefaults();
  // The app's Info.plist switch "UseCFPreferencesLibrary" (a number), read once per
  // process; true when absent or not a number.
  static bool userPreferenceEnabled();

  // An empty suite name means the standard suite. `env` defaults to the current one.
  static std::shared_ptr<TLWUserDefaults> initWithSuiteName(const std::string& suiteName,
                                                            std::shared_ptr<platform::Environment> env = nullptr);

  const std::string& suiteName() const { return suiteName_; }
  // The suite name, or the standard suite's name when the suite name is empty.
  std::string applicationID() const;
  bool useCFPreferencesLibrary() const { return useCFPreferencesLibrary_; }
  // Both modes keep the same suite file on this platform; the switch is kept so that
  // callers that change it see it changed.
  void setUseCFPreferencesLibrary(bool use) { useCFPreferencesLibrary_ = use; }
  bool isPreferenceFileExcluded() const { return isPreferenceFileExcluded_; }

  platform::Value objectForKey(std::string_view key) override;
  bool setObject(const platform::Value& value, std::string_view key) override;
  void removeObjectForKey(std::string_view key) override;
  // Removes every key of the suite.
  void clearAllData() override;
  // Flushes the suite, then marks its file excluded from backup once.
  bool synchronize() override;
  // Every key and value of the suite.
  platform::Dictionary dictionaryRepresentation() const;

  // Where the suite's file lives.
  std::string preferenceFilePath() const;

 private:
  TLWUserDefaults(std::string suiteName, std::shared_ptr<platform::Environment> env);

  const std::string suiteName_;
  const std::shared_ptr<platform::Environment> env_;
  std::shared_ptr<platform::PreferencesSuite> suite_;
  std::atomic<bool> useCFPreferencesLibrary_{true};
  std::atomic<bool> isPreferenceFileExcluded_{false};
  std::mutex mutex_;
};
