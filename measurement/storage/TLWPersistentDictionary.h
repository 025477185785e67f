#pragma once
// TLWPersistentDictionary: a key-value store held in memory and written as one property
// list "<Application Support>/Vorlix/Measurement/<name>.plist".
//
// Thread-safety: any thread. The dictionary is guarded by the object's lock; files are
// written on the serial queue "TLWPersistentDictionary" or by the caller of
// persistToDisk(), one writer at a time, each writing a snapshot at least as new as the
// one before it, so concurrent writers never lose a value on disk.
//
// Persistence: the first change when no write is pending schedules one a second later; the
// changes made meanwhile go out with it (a burst costs one write, and a steady stream is
// still saved every second). persistToDisk() writes at once. Writes
// are atomic (a temporary file renamed into place): a crash leaves the old or the new file.
//
// Ownership: scheduled writes hold the object weakly; one still pending when the object
// is destroyed is dropped, so callers that need the data on disk call persistToDisk().
//
// Failure: a folder that cannot be created makes initWithFileName() return null (logged
// 43004); a failed write leaves the old file whole, is logged (43000) and is retried on
// its own, 2, 4 ... 64 s later, until one succeeds; a file that is not a property-list
// dictionary loads as empty.

#include <memory>
#include <mutex>
#include <string>

#include "measurement/storage/TLWKeyValueStore.h"
#include "platform/DispatchQueue.h"
#include "platform/Environment.h"

class TLWPersistentDictionary : public TLWKeyValueStore, public std::enable_shared_from_this<TLWPersistentDictionary> {
 public:
  static std::shared_ptr<TLWPersistentDictionary> initWithFileName(const std::string& fileName,
                                                                   std::shared_ptr<platform::Environment> env = nullptr);
  ~TLWPersistentDictionary() override;

  const std::string& filePath() const { return filePath_; }

  platform::Value objectForKey(std::string_view key) override;
  bool setObject(const platform::Value& value, std::string_view key) override;
  void removeObjectForKey(std::string_view key) override;
  void clearAllData() override;
  // Writing happens on its own schedule; nothing to do here.
  bool synchronize() override { return true; }

  // Writes the current contents now; false when the write failed.
  bool persistToDisk();
  void schedulePersistToDisk();
  platform::Dictionary dictionaryRepresentation();

 private:
  TLWPersistentDictionary(std::string filePath, std::shared_ptr<platform::Environment> env);
  void load();
  void scheduleWriteLocked();

  const std::string filePath_;
  const std::shared_ptr<platform::Environment> env_;
  const std::shared_ptr<platform::DispatchQueue> queue_;

  std::mutex mutex_;  // guards everything below
  platform::Dictionary dictionary_;
  bool writeScheduled_ = false;
  int failedWrites_ = 0;
  std::shared_ptr<platform::DispatchQueue::Cancellable> pendingWrite_;

  std::mutex writeMutex_;  // one file writer at a time
};
