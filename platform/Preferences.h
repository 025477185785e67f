#pragma once
// Preference suites kept as binary property lists at
// <sandbox>/Library/Preferences/<suite>.plist.
//
// Thread-safety: every operation of FilePreferences and its suites may be called from any
// thread. Reads come from memory; writes mark the suite dirty; synchronize() serialises
// the writes of one suite, so an older snapshot never overwrites a newer one.
//
// Ownership and lifetime: FilePreferences keeps every suite it handed out for its own
// life (the same object for the same name) and synchronizes the dirty ones when it is
// destroyed, or when the process exits normally (exit or a return from main) while it
// lives; a killed process loses them. A suite holds the file system and sandbox it was
// given.
//
// Failure: a missing file reads as an empty suite. An unreadable, oversized or corrupt
// file, or one whose root is not a dictionary, reads as empty and is logged; the next
// synchronize after a change replaces it whole. A failed synchronize returns false,
// leaves the previous file intact and keeps the changes pending for the next attempt.

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/Environment.h"

namespace platform {

class FilePreferencesSuite : public PreferencesSuite {
 public:
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

 private:
  void loadLocked() const;

  const std::string name_;
  const std::string path_;
  const std::shared_ptr<FileSystem> fileSystem_;

  mutable std::mutex mutex_;
  mutable bool loaded_ = false;
  mutable Dictionary values_;
  std::uint64_t generation_ = 0;         // bumped by every change
  std::uint64_t savedGeneration_ = 0;    // the generation the file holds

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
  // See FilePreferencesSuite::discardPendingChanges.
  void discardPendingChanges();

 private:
  const std::shared_ptr<FileSystem> fileSystem_;
  const std::shared_ptr<Sandbox> sandbox_;
  const std::string standardSuiteName_;
  std::mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<FilePreferencesSuite>> suites_;
};

}  // namespace platform
