#include "platform/Sandbox.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform {
namespace {

std::string keychainDirectory(const Sandbox& sandbox) {
  std::string path = sandbox.keychainPath();
  return path.substr(0, path.find_last_of('/'));
}

bool isSafeComponent(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

DirectorySandbox::DirectorySandbox(std::string root) : root_(withoutTrailingSlashes(std::move(root))) {}

std::string defaultBundleIdentifier(ProcessInfo& processInfo) {
  auto id = processInfo.environmentVariable(kBundleIdentifierEnvironmentVariable);
  if (id && isSafeComponent(*id) && id->size() <= 255) return *id;
  const std::string exe = processInfo.executablePath();
  std::string name = exe.substr(exe.find_last_of('/') + 1);
  for (char& c : name) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
    if (!allowed) c = '-';
  }
  name.erase(0, name.find_first_not_of('.'));
  if (name.empty() || name.size() > 255) return kDefaultBundleIdentifier;
  return name;
}

std::string defaultSandboxRoot(ProcessInfo& processInfo, const std::string& bundleID) {
  if (auto root = processInfo.environmentVariable(kSandboxEnvironmentVariable); root && !root->empty()) {
    return withoutTrailingSlashes(*root);
  }
  const std::string app = isSafeComponent(bundleID) ? bundleID : std::string("app");
  // XDG says relative values are invalid and must be ignored.
  if (auto xdg = processInfo.environmentVariable("XDG_DATA_HOME"); xdg && !xdg->empty() && (*xdg)[0] == '/') {
    return withoutTrailingSlashes(*xdg) + "/tallywise/" + app;
  }
  if (auto home = processInfo.environmentVariable("HOME"); home && !home->empty() && (*home)[0] == '/') {
    return withoutTrailingSlashes(*home) + "/.local/share/tallywise/" + app;
  }
  return "/tmp/tallywise-" + std::to_string(::getuid()) + "/" + app;
}

bool checkSandboxOwnership(const Sandbox& sandbox, std::string* error) {
  const std::string root = sandbox.root();
  const uid_t me = ::geteuid();
  struct stat st {};
  if (::stat(root.c_str(), &st) != 0) {
    // A missing root is made by us, 0700, when the sandbox is prepared.
    if (errno != ENOENT) {
      if (error) *error = "cannot inspect the sandbox folder " + root + ": " + std::strerror(errno);
      return false;
    }
  } else if (!S_ISDIR(st.st_mode) || st.st_uid != me) {
    if (error) {
      *error = "the sandbox folder " + root + (S_ISDIR(st.st_mode) ? " belongs to user " + std::to_string(st.st_uid)
                                                                  : std::string(" is not a folder")) +
               ", not to this user (" + std::to_string(me) + "); it is not used";
    }
    return false;
  }
  // Whoever may rename entries in the parent can swap the sandbox for their own folder.
  const std::string parent = root.substr(0, std::max<std::size_t>(root.find_last_of('/'), 1));
  struct stat up {};
  if (::stat(parent.c_str(), &up) == 0 && up.st_uid != me) {
    bool othersMayRename = (up.st_mode & (S_IWGRP | S_IWOTH)) && !(up.st_mode & S_ISVTX);
    if (up.st_uid != 0 || othersMayRename) {
      if (error) {
        *error = "the folder " + parent + " holding the sandbox belongs to user " + std::to_string(up.st_uid) +
                 ", not to this user (" + std::to_string(me) + "); the sandbox is not used";
      }
      return false;
    }
  }
  return true;
}

bool prepareSandbox(FileSystem& fileSystem, const Sandbox& sandbox, std::string* error) {
  if (!checkSandboxOwnership(sandbox, error)) return false;
  // Only the user may list or open anything inside, whatever made the folder before.
  if (!fileSystem.createDirectories(sandbox.root(), error) || !checkSandboxOwnership(sandbox, error) ||
      !fileSystem.setPermissions(sandbox.root(), 0700, error)) {
    return false;
  }
  for (const std::string& dir : {sandbox.preferencesDirectory(), sandbox.applicationSupportDirectory()}) {
    if (!fileSystem.createDirectories(dir, error)) return false;
  }
  const std::string keychainDir = keychainDirectory(sandbox);
  if (!fileSystem.createDirectories(keychainDir, error)) return false;
  // Secrets: only the owner may list or open the folder.
  return fileSystem.setPermissions(keychainDir, 0700, error);
}

bool wipeSandboxAppData(FileSystem& fileSystem, const Sandbox& sandbox, std::string* error) {
  bool ok = true;
  for (const std::string& dir : {sandbox.libraryDirectory(), sandbox.root() + "/Documents", sandbox.root() + "/tmp"}) {
    ok = fileSystem.removeAll(dir, error) && ok;
  }
  return ok;
}

std::optional<std::uint64_t> sandboxFreeSpace(FileSystem& fileSystem, const Sandbox& sandbox) {
  return fileSystem.freeSpace(sandbox.root());
}

bool isSandboxWritable(FileSystem& fileSystem, const Sandbox& sandbox) {
  return fileSystem.isDirectory(sandbox.root()) && fileSystem.isWritable(sandbox.root());
}

}  // namespace platform
