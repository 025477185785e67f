#pragma once
// Preference suites kept as binary property lists at
// <sandbox>/Library/Preferences/<suite>.plist.
//
// Thread-safety: every operation of FilePreferences and its suites may be called from any
// thread. Reads come from memory; changes are kept as changes (set, removed, all removed)
// until written. A write takes an advisory lock (flock) on the preferences folder,
// re-reads the file and applies the pending changes to what it found, so two objects or
// two processes on one sandbox keep each other's keys.
//
// Ownership and lifetime: FilePreferences keeps every suite it handed out for its own
// life (the same object for the same name). A suite it handed out writes its changes on
// its own about a second (monotonic) after the first unsaved change, on a process-wide
// queue, and retries a failed write with back-off; the dirty suites are also written when
// FilePreferences is destroyed, or when the process exits normally while it lives. Only
// the changes of the last second or so are lost to a kill. Automatic writes stop once the
// FilePreferences is gone (or told to discard) and never make a missing sandbox root again.
// A suite holds the file system it was given.
//
// Failure: a missing file reads as an empty suite. An oversized or corrupt file, or one
// whose root is not a dictionary, reads as empty and is logged; the next write replaces
// it. A file that exists but cannot be read (EIO, EACCES, EMFILE ...) is kept: the suite
// shows its own changes only, logs, reads again on the next access and before every
// write, and does not write until the read succeeds. A failed synchronize returns false,
// leaves the previous file intact and keeps the changes pending for the next attempt.

#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>

#include "platform/Environment.h"

namespace platform {

class FilePreferencesSuite : public PreferencesSuite, public std::enable_shared_from_this<FilePreferencesSuite> {
 public:
  // The pause between a change and the automatic write of the suite.
  static constexpr std::chrono::milliseconds kFlushDelay{1000};

  // Owned by a shared_ptr it writes itself after changes; otherwise only synchronize() writes.
  FilePreferencesSuite(std::string name, std::string path, std::shared_ptr<FileSystem> fileSystem);
  ~FilePreferencesSuite() override;

  const std::string& name() const override { return name_; }
  Value objectForKey(std::string_view key) const override;
  // A null value removes the key. Values without a property-list form (null inside a
  // container, URL, object, invalid UTF-8) are refused and logged; the key keeps its value.
  void setObject(std::string_view key, Value value) override;
  void removeObject(std::string_view key) override;
  Dictionary dictionaryRepresentation() const override;
  void removeAll() override;
  // Writes the suite when it has pending changes (an empty suite removes its file).
  bool synchronize() override;

  const std::string& path() const { return path_; }
  bool hasPendingChanges() const;
  // Forgets pending changes without writing them (memory keeps them); for a simulated
  // process kill.
  void discardPendingChanges();
  // No more automatic writes (waits for one under way); synchronize() still writes.
  void stopAutomaticWrites();

 private:
  // Changes not yet written, applied to whatever the file holds when it is written.
  struct Changes {
    bool removeAll = false;
    Dictionary set;
    std::set<std::string, std::less<>> removed;
    bool empty() const { return !removeAll && set.empty() && removed.empty(); }
    void applyTo(Dictionary& values) const;
    // Adds `newer` on top of these.
    void append(Changes newer);
  };
  enum class Disk { Read, Corrupt, Unreadable };

  void loadLocked() const;
  Disk readDisk(Dictionary* values, std::string* why) const;
  void changedLocked();
  void automaticWrite();
  bool write(bool automatic);
  bool writeChanges(const Changes& changes, bool automatic, Dictionary* written, std::string* error);

  const std::string name_;
  const std::string path_;
  const std::shared_ptr<FileSystem> fileSystem_;

  mutable std::mutex mutex_;
  mutable bool loaded_ = false;  // the file was read (or found missing or corrupt)
  mutable bool readFailing_ = false;
  mutable Dictionary values_;    // the file as last read, with `changes_` applied
  Changes changes_;
  bool writing_ = false;  // changes taken by a write under way
  bool writeScheduled_ = false;
  bool stopped_ = false;
  int failedWrites_ = 0;

  std::mutex writeMutex_;
};

class FilePreferences : public Preferences {
 public:
  // `standardSuiteName` names the standard suite (the bundle identifier).
  FilePreferences(std::shared_ptr<FileSystem> fileSystem, std::shared_ptr<Sandbox> sandbox,
                  std::string standardSuiteName);
  ~FilePreferences() override;

  std::shared_ptr<PreferencesSuite> standard() override;
  // An empty name gives the standard suite. Null for a name that cannot be a file name
  // (".", "..", containing "/" or NUL).
  std::shared_ptr<PreferencesSuite> suite(const std::string& name) override;

  // Synchronizes every suite handed out; false when any failed.
  bool synchronizeAll();
  // See FilePreferencesSuite::discardPendingChanges. The suites then stop writing on their
  // own, as a killed process would.
  void discardPendingChanges();

 private:
  const std::shared_ptr<FileSystem> fileSystem_;
  const std::shared_ptr<Sandbox> sandbox_;
  const std::string standardSuiteName_;
  std::mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<FilePreferencesSuite>> suites_;
};

}  // namespace platform
