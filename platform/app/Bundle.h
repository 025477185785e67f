#pragma once
// The app bundle: its folder, the Info.plist (typed values), its resources and the
// service-info property list "VorlixService-Info.plist".
//
// Thread-safety: immutable after creation; any thread.
//
// Ownership: holds the file system it was read with.
//
// The Info.plist is read once, at creation; the service-info list is read on each request
// (it is asked for rarely, at start-up, and may be installed after the bundle object was
// made). Bad input: a list file that is missing,
// larger than kMaxPropertyListBytes, not a property list, or not a dictionary is treated
// as absent; anything but "missing" is logged.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Environment.h"
#include "platform/Value.h"

namespace platform {

// Overrides the bundle folder (otherwise the folder holding the executable).
inline constexpr const char* kBundlePathEnvironmentVariable = "TALLYWISE_BUNDLE_PATH";
inline constexpr std::string_view kServiceInfoPlistResource = "VorlixService-Info";
inline constexpr std::string_view kServiceInfoPlistFileName = "VorlixService-Info.plist";

// $TALLYWISE_BUNDLE_PATH when set and non-empty, else the executable's folder; "" when
// neither is known.
std::string defaultMainBundlePath(ProcessInfo& processInfo);

class Bundle {
 public:
  static constexpr std::uint64_t kMaxPropertyListBytes = 8u << 20;

  // Reads <path>/Info.plist. Never fails: a bundle without a readable one has an empty
  // info dictionary. `fallbackIdentifier` is the identifier when the Info.plist has none.
  static std::shared_ptr<Bundle> bundleWithPath(std::string path, std::shared_ptr<FileSystem> fileSystem,
                                                std::string fallbackIdentifier = {});

  const std::string& bundlePath() const { return path_; }
  // "CFBundleIdentifier", else the fallback identifier given at creation ("" when none).
  std::string bundleIdentifier() const;
  // "CFBundleShortVersionString" and "CFBundleVersion", or "".
  std::string shortVersionString() const;
  std::string bundleVersion() const;

  const Dictionary& infoDictionary() const { return info_; }
  // Null when absent.
  Value objectForInfoDictionaryKey(std::string_view key) const;
  // Typed reads: nullopt when absent or of another kind. Booleans and integers are
  // numbers (a bool reads as 0 or 1, an integer as a bool when non-zero); strings are
  // never converted.
  std::optional<bool> boolForInfoDictionaryKey(std::string_view key) const;
  std::optional<std::int64_t> integerForInfoDictionaryKey(std::string_view key) const;
  std::optional<double> doubleForInfoDictionaryKey(std::string_view key) const;
  std::optional<std::string> stringForInfoDictionaryKey(std::string_view key) const;
  std::optional<Array> arrayForInfoDictionaryKey(std::string_view key) const;
  std::optional<Dictionary> dictionaryForInfoDictionaryKey(std::string_view key) const;

  // <bundle>/<name>.<type> when that file exists (a name holding "/" or ".." never
  // matches), else nullopt.
  std::optional<std::string> pathForResource(std::string_view name, std::string_view type) const;

  // The service-info property list's path, "" when the bundle has none.
  std::string serviceInfoPlistPath() const;
  // Its contents, read now; nullopt when absent or unreadable.
  std::optional<Dictionary> serviceInfoDictionary() const;

  // Reads a property-list file that must hold a dictionary, with the same rules.
  static std::optional<Dictionary> readDictionaryFile(FileSystem& fileSystem, const std::string& path);

 private:
  Bundle() = default;

  std::string path_;
  std::shared_ptr<FileSystem> fileSystem_;
  Dictionary info_;
  std::string fallbackIdentifier_;
};

}  // namespace platform
