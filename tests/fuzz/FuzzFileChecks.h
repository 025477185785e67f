#pragma once
// What the keychain and preference-file fuzz target checks for every input, shared with the
// corpus replay: the bytes are the keychain file (and a preference suite's file) of a real
// sandbox in a temporary folder. Reading never crashes, an item the file holds reads
// back, and a write always lands (a corrupt file is replaced), keeps the other items and
// reads back; a removal removes.

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/FileSystem.h"
#include "platform/Keychain.h"
#include "platform/Preferences.h"
#include "platform/PropertyList.h"
#include "platform/Sandbox.h"
#include "platform/VXLLogger.h"

namespace fuzzchecks {

class SandboxFiles {
 public:
  static SandboxFiles& shared() {
    static SandboxFiles files;
    return files;
  }
  ~SandboxFiles() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  const std::shared_ptr<platform::FileSystem>& fileSystem() const { return fileSystem_; }
  const std::shared_ptr<platform::Sandbox>& sandbox() const { return sandbox_; }

 private:
  SandboxFiles()
      : root_((base() / ("tw-fuzz-files-" + std::to_string(::getpid()))).string()),
        fileSystem_(std::make_shared<platform::PosixFileSystem>()),
        sandbox_(std::make_shared<platform::DirectorySandbox>(root_)) {
    fileSystem_->createDirectories(sandbox_->preferencesDirectory());
  }
  // Every write is synced: in memory that costs little, on a disk it caps the fuzzer at a
  // few inputs a second.
  static std::filesystem::path base() {
    std::error_code ignored;
    if (std::filesystem::is_directory("/dev/shm", ignored) && ::access("/dev/shm", W_OK) == 0) return "/dev/shm";
    return std::filesystem::temp_directory_path();
  }
  std::string root_;
  std::shared_ptr<platform::FileSystem> fileSystem_;
  std::shared_ptr<platform::Sandbox> sandbox_;
};

// Corrupt files are logged on purpose; the fuzz target and the replay silence that.
class QuietLog : public platform::LogSink {
 public:
  void write(platform::VXLLoggerLevel, std::string_view, std::string_view, std::string_view) override {}
};

inline std::string checkKeychainFile(std::span<const std::uint8_t> bytes) {
  using platform::Value;
  auto& files = SandboxFiles::shared();
  auto fs = files.fileSystem();
  const std::string path = files.sandbox()->keychainPath();
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  fs->createDirectories(path.substr(0, path.find_last_of('/')));
  if (!fs->writeFileAtomically(path, text, 0600)) return "cannot lay the keychain file down";

  // One item the file holds in the expected layout, if any, must read back and survive a write.
  std::string heldService, heldAccount;
  Value::Data heldData;
  if (auto root = platform::PropertyList::propertyListWithData(text); root && root->isDictionary()) {
    bool wellFormed = true;
    for (const auto& [service, accounts] : *root->dictionary()) {
      if (!service.isString() || !accounts.isDictionary()) wellFormed = false;
      else
        for (const auto& [account, data] : *accounts.dictionary())
          if (!account.isString() || !data.isData()) wellFormed = false;
    }
    for (const auto& [service, accounts] : *root->dictionary()) {
      if (!wellFormed || !heldService.empty()) break;
      const std::string& s = *service.string();
      if (s.empty() || s == "fuzz-service" || s.find('\0') != std::string::npos) continue;
      for (const auto& [account, data] : *accounts.dictionary()) {
        const std::string& a = *account.string();
        if (a.empty() || a.find('\0') != std::string::npos || !platform::utf8::isValid(s) ||
            !platform::utf8::isValid(a))
          continue;
        heldService = s;
        heldAccount = a;
        heldData = *data.dataBytes();
        break;
      }
    }
  }

  platform::FileKeychain keychain(fs, files.sandbox());
  std::string error;
  (void)keychain.read("fuzz-service", "account", &error);
  if (!heldService.empty() && keychain.read(heldService, heldAccount) != heldData) return "a held item does not read back";
  const Value::Data item(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(bytes.size(), 64)));
  if (!keychain.write("fuzz-service", "account", item, &error)) return "write refused: " + error;
  if (keychain.read("fuzz-service", "account") != item) return "the written item does not read back";
  if (!heldService.empty() && keychain.read(heldService, heldAccount) != heldData) return "a write lost another item";
  if (!keychain.remove("fuzz-service", "account", &error)) return "remove refused: " + error;
  if (keychain.read("fuzz-service", "account")) return "the removed item still reads";
  return {};
}

inline std::string checkPreferencesFile(std::span<const std::uint8_t> bytes) {
  using platform::Value;
  auto& files = SandboxFiles::shared();
  auto fs = files.fileSystem();
  const std::string path = files.sandbox()->preferencesDirectory() + "/fuzz.plist";
  if (!fs->writeFileAtomically(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())))
    return "cannot lay the preferences file down";
  {
    platform::FilePreferencesSuite suite("fuzz", path, fs);
    (void)suite.dictionaryRepresentation();
    (void)suite.objectForKey("fuzz-key");
    suite.setObject("fuzz-key", Value(std::string("written")));
    if (!suite.synchronize()) return "a preferences file that was read cannot be written again";
  }
  platform::FilePreferencesSuite again("fuzz", path, fs);
  if (again.objectForKey("fuzz-key") != Value(std::string("written"))) return "the written preference does not read back";
  return {};
}

inline std::string checkSandboxFiles(std::span<const std::uint8_t> bytes) {
  std::string problem = checkKeychainFile(bytes);
  if (!problem.empty()) return "keychain: " + problem;
  problem = checkPreferencesFile(bytes);
  return problem.empty() ? problem : "preferences: " + problem;
}

}  // namespace fuzzchecks
