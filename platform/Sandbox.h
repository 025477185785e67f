#pragma once
// The app's sandbox: a root folder holding Library/Preferences, Library/Application
// Support and the keychain file.
//
// Thread-safety: DirectorySandbox is immutable; the free functions are safe on any thread
// but two concurrent wipes of one sandbox race like any two file removals.

#include <memory>
#include <string>

#include "platform/Environment.h"

namespace platform {

class DirectorySandbox : public Sandbox {
 public:
  // `root` is used as given (absolute, without a trailing slash).
  explicit DirectorySandbox(std::string root);
  std::string root() const override { return root_; }

 private:
  std::string root_;
};

// The environment variable that overrides the sandbox root.
inline constexpr const char* kSandboxEnvironmentVariable = "TALLYWISE_SANDBOX";

// The environment variable naming the app's bundle identifier on Linux, and the
// identifier used when neither it nor the executable's name gives one. The bundle
// identifier names the sandbox folder and the standard preference suite, and is the main
// bundle's identifier when its Info.plist has none (a plain program has no Info.plist).
inline constexpr const char* kBundleIdentifierEnvironmentVariable = "TALLYWISE_BUNDLE_ID";
inline constexpr const char* kDefaultBundleIdentifier = "com.vorlix.tallywise";
// $TALLYWISE_BUNDLE_ID when it is a safe folder name of at most 255 bytes; else the
// executable's file name with every character a bundle identifier cannot hold (anything
// but ASCII letters, digits, '-' and '.') replaced by '-'; else kDefaultBundleIdentifier.
std::string defaultBundleIdentifier(ProcessInfo& processInfo);

// $TALLYWISE_SANDBOX when set and non-empty; else $XDG_DATA_HOME/tallywise/<bundleID>;
// else $HOME/.local/share/tallywise/<bundleID>; else /tmp/tallywise-<uid>/<bundleID>.
// A bundle ID that could climb out of the folder ("..", "/") is replaced by "app".
std::string defaultSandboxRoot(ProcessInfo& processInfo, const std::string& bundleID);

// Whether the sandbox root (when it exists) is a folder of this user, in a folder that no
// other user can rename entries of (this user's, or root's and sticky or not writable by
// others). False with a readable `error` otherwise: another user could read or plant files.
[[nodiscard]] bool checkSandboxOwnership(const Sandbox& sandbox, std::string* error = nullptr);

// Checks the ownership, then creates the root (mode 0700, also set on an existing root),
// Library/Preferences, Library/Application Support and the keychain folder (every new
// folder 0700). False with `error` filled when the ownership check fails or a folder
// cannot be made; the folders made before the failure stay.
[[nodiscard]] bool prepareSandbox(FileSystem& fileSystem, const Sandbox& sandbox, std::string* error = nullptr);

// Removes the app-data folders (Library, Documents, tmp) the way deleting the app's data
// does, keeping the keychain folder. False when something could not be removed.
[[nodiscard]] bool wipeSandboxAppData(FileSystem& fileSystem, const Sandbox& sandbox, std::string* error = nullptr);

// Bytes free on the file system holding the sandbox root.
std::optional<std::uint64_t> sandboxFreeSpace(FileSystem& fileSystem, const Sandbox& sandbox);

// True when the root exists and this process can create files in it.
bool isSandboxWritable(FileSystem& fileSystem, const Sandbox& sandbox);

}  // namespace platform
