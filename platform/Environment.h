#pragma once
// The environment: every OS, phone-platform and SDK-family service the library uses,
// reached through one object that is passed in (or, for process-wide shared instances,
// taken from Environment::current()). Linux implementations are the defaults;
// platform/testing holds fakes, and EnvironmentWrapper lets a fake override only what
// it needs.
//
// Thread-safety: every service is safe to call from any thread unless it says otherwise.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Value.h"

namespace platform {

// Application layer (platform/app): the application object, the notification centre, the
// main bundle and the by-name class registry.
class Application;
class NotificationCenter;
class Bundle;
class ClassRegistry;
class ViewHierarchy;
class VXLNetwork;
class StoreKit;
class DispatchQueue;
class DispatchTimer;
struct AppLayerDefaults;
std::shared_ptr<AppLayerDefaults> makeAppLayerDefaults();

// Files and directories. Paths are absolute. Failures return false / nullopt and fill
// `error` with a readable reason when given.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual std::optional<std::string> readFile(const std::string& path, std::string* error = nullptr) = 0;
  // Writes to a temporary file in the same folder, syncs it, then renames it into place:
  // a reader sees the old or the new content, never a mix.
  virtual bool writeFileAtomically(const std::string& path, std::string_view bytes, unsigned mode = 0644,
                                   std::string* error = nullptr) = 0;
  virtual bool exists(const std::string& path) = 0;
  virtual bool isDirectory(const std::string& path) = 0;
  virtual bool createDirectories(const std::string& path, std::string* error = nullptr) = 0;
  virtual bool removeFile(const std::string& path, std::string* error = nullptr) = 0;
  virtual bool removeAll(const std::string& path, std::string* error = nullptr) = 0;
  virtual bool rename(const std::string& from, const std::string& to, std::string* error = nullptr) = 0;
  virtual std::vector<std::string> listDirectory(const std::string& path) = 0;
  virtual std::optional<std::uint64_t> fileSize(const std::string& path) = 0;
  // Bytes available to this process on the file system holding `path`.
  virtual std::optional<std::uint64_t> freeSpace(const std::string& path) = 0;
  virtual bool isWritable(const std::string& path) = 0;
  // Sets the permission bits (e.g. 0600 for secrets, 0700 for their folder).
  virtual bool setPermissions(const std::string& path, unsigned mode, std::string* error = nullptr) = 0;
  // Backup exclusion, kept as the user extended attribute "user.vorlix.excluded-from-backup".
  virtual bool setExcludedFromBackup(const std::string& path, bool excluded) = 0;
  virtual bool isExcludedFromBackup(const std::string& path) = 0;
};

// The app's sandbox folders. The root comes from $TALLYWISE_SANDBOX, else
// $XDG_DATA_HOME/tallywise/<bundle id>, else ~/.local/share/tallywise/<bundle id>.
class Sandbox {
 public:
  virtual ~Sandbox() = default;
  virtual std::string root() const = 0;
  std::string libraryDirectory() const { return root() + "/Library"; }
  std::string preferencesDirectory() const { return root() + "/Library/Preferences"; }
  std::string applicationSupportDirectory() const { return root() + "/Library/Application Support"; }
  // The keychain file lives outside the app-data folders so that a data wipe keeps it.
  std::string keychainPath() const { return root() + "/Keychain/keychain.plist"; }
};

// One preference suite ("standard" or a named suite), stored as the property list
// Library/Preferences/<suite>.plist. Reads come from memory; writes mark the suite dirty
// and synchronize() writes it atomically. A corrupt file reads as empty and is logged.
class PreferencesSuite {
 public:
  virtual ~PreferencesSuite() = default;
  virtual const std::string& name() const = 0;
  // Null when absent.
  virtual Value objectForKey(std::string_view key) const = 0;
  virtual void setObject(std::string_view key, Value value) = 0;
  virtual void removeObject(std::string_view key) = 0;
  virtual Dictionary dictionaryRepresentation() const = 0;
  // Removes every key (and the file on the next synchronize).
  virtual void removeAll() = 0;
  // Writes pending changes; false when the write failed (the changes stay pending).
  virtual bool synchronize() = 0;
};

class Preferences {
 public:
  virtual ~Preferences() = default;
  // The app's standard suite (named after the bundle identifier).
  virtual std::shared_ptr<PreferencesSuite> standard() = 0;
  // The same object for the same name for the life of the Preferences.
  virtual std::shared_ptr<PreferencesSuite> suite(const std::string& name) = 0;
};

// Generic-password keychain items, one file of mode 0600.
class Keychain {
 public:
  virtual ~Keychain() = default;
  virtual std::optional<Value::Data> read(std::string_view service, std::string_view account,
                                          std::string* error = nullptr) = 0;
  virtual bool write(std::string_view service, std::string_view account, const Value::Data& bytes,
                     std::string* error = nullptr) = 0;
  virtual bool remove(std::string_view service, std::string_view account, std::string* error = nullptr) = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // Wall clock, seconds since 1970.
  virtual double now() = 0;
  // Monotonic seconds, for intervals.
  virtual double monotonic() = 0;
  // Seconds since the machine booted, counting suspend (CLOCK_BOOTTIME).
  virtual double secondsSinceBoot() = 0;
  // When the machine booted, seconds since 1970.
  virtual double bootTime() = 0;
  // A one-shot timer on `queue` whose deadline is kept on this clock (see DispatchTimer);
  // null when `queue` is null. The default is the system's wall-clock timer.
  virtual std::shared_ptr<DispatchTimer> makeTimer(std::shared_ptr<DispatchQueue> queue);
};

// Secure random numbers (OpenSSL RAND_bytes).
class Random {
 public:
  virtual ~Random() = default;
  virtual void fill(std::uint8_t* bytes, std::size_t count) = 0;
  // Uniform in [0, bound) without modulo bias; 0 when bound is 0.
  virtual std::uint64_t uniform(std::uint64_t bound) = 0;
  virtual std::uint64_t next64() = 0;
  // A random (version 4) UUID, upper-case "XXXXXXXX-XXXX-4XXX-YXXX-XXXXXXXXXXXX".
  virtual std::string uuid() = 0;
  // Uniform in [0, 1).
  double unit();
};

// Device and locale facts.
class Device {
 public:
  virtual ~Device() = default;
  virtual std::string osVersion() = 0;          // e.g. "17.2"; configurable on Linux
  virtual std::string deviceModel() = 0;        // e.g. "iPhone15,2"; configurable on Linux
  virtual std::string platformName() = 0;      // e.g. "ios"
  virtual std::string preferredLanguage() = 0;  // BCP-47, e.g. "en-us"
  virtual std::string localeIdentifier() = 0;   // e.g. "en_US"
  virtual std::int64_t timeZoneOffsetMinutes() = 0;
  virtual std::string vendorIdentifier() = 0;   // stable per vendor; "" when unavailable
};

// The running process.
class ProcessInfo {
 public:
  virtual ~ProcessInfo() = default;
  virtual std::vector<std::string> arguments() = 0;
  virtual std::optional<std::string> environmentVariable(const std::string& name) = 0;
  virtual std::string executablePath() = 0;
};

class Environment {
 public:
  virtual ~Environment() = default;

  virtual std::shared_ptr<FileSystem> fileSystem() = 0;
  virtual std::shared_ptr<Sandbox> sandbox() = 0;
  virtual std::shared_ptr<Preferences> preferences() = 0;
  virtual std::shared_ptr<Keychain> keychain() = 0;
  virtual std::shared_ptr<Clock> clock() = 0;
  virtual std::shared_ptr<Random> random() = 0;
  virtual std::shared_ptr<Device> device() = 0;
  virtual std::shared_ptr<ProcessInfo> processInfo() = 0;

  // Application layer. The defaults (platform/app/AppLayerDefaults.cpp) are built once, on
  // first use, from this environment's other services and live as long as it does.
  virtual std::shared_ptr<NotificationCenter> notificationCenter();
  virtual std::shared_ptr<Application> application();
  virtual std::shared_ptr<Bundle> mainBundle();
  virtual std::shared_ptr<ClassRegistry> classRegistry();
  // The store (payment queue, products, receipt, ad-network registration): the Linux one
  // (platform/StoreKit.h) unless setStoreKit replaced it.
  virtual std::shared_ptr<StoreKit> storeKit();
  void setStoreKit(std::shared_ptr<StoreKit> storeKit);
  // Windows and view controllers (platform/app/ViewController.h), over classRegistry().
  virtual std::shared_ptr<ViewHierarchy> viewHierarchy();

  // A new network client (VXLNetwork) watching `reachabilityHost`; null when none can be
  // made. The engine makes one per process; tests replace it to point elsewhere or fail.
  virtual std::shared_ptr<VXLNetwork> makeNetworkClient(const std::string& reachabilityHost);

  // The Linux environment.
  static std::shared_ptr<Environment> makeDefault();
  // The Linux environment for a wrapper: where one of its services needs another (the
  // preferences need the file system and sandbox, the device the keychain ...), it asks
  // `outer` rather than itself, so the wrapper's replacements are used throughout.
  // `outer` must own the result (as an EnvironmentWrapper's target) and outlive it.
  static std::shared_ptr<Environment> makeDefault(Environment* outer);
  // The environment that process-wide shared instances use; the Linux one unless a test
  // or the host replaced it (before the shared instances are first used).
  static std::shared_ptr<Environment> current();
  static void setCurrent(std::shared_ptr<Environment> environment);

 private:
  std::shared_ptr<AppLayerDefaults> appLayer_ = makeAppLayerDefaults();
};

// Forwards everything to a target; a fake overrides only what it needs.
class EnvironmentWrapper : public Environment {
 public:
  explicit EnvironmentWrapper(std::shared_ptr<Environment> target) : target_(std::move(target)) {}
  std::shared_ptr<FileSystem> fileSystem() override { return target_->fileSystem(); }
  std::shared_ptr<Sandbox> sandbox() override { return target_->sandbox(); }
  std::shared_ptr<Preferences> preferences() override { return target_->preferences(); }
  std::shared_ptr<Keychain> keychain() override { return target_->keychain(); }
  std::shared_ptr<Clock> clock() override { return target_->clock(); }
  std::shared_ptr<Random> random() override { return target_->random(); }
  std::shared_ptr<Device> device() override { return target_->device(); }
  std::shared_ptr<ProcessInfo> processInfo() override { return target_->processInfo(); }
  std::shared_ptr<VXLNetwork> makeNetworkClient(const std::string& reachabilityHost) override {
    return target_->makeNetworkClient(reachabilityHost);
  }
  // The application layer is not forwarded: the wrapper builds its own from its services,
  // so that a replaced process info or file system reaches the bundle and each wrapper
  // has its own notification centre. Override these to share the target's instead.
  const std::shared_ptr<Environment>& target() const { return target_; }

 private:
  std::shared_ptr<Environment> target_;
};

}  // namespace platform
