#include "platform/Environment.h"

#include <stdlib.h>

#include <mutex>

#include "platform/Clock.h"
#include "platform/Device.h"
#include "platform/FileSystem.h"
#include "platform/Keychain.h"
#include "platform/Preferences.h"
#include "platform/ProcessInfo.h"
#include "platform/Random.h"
#include "platform/Sandbox.h"
#include "platform/VXLLogger.h"

namespace platform {
namespace {

// The Linux services, each created on first use and kept for the environment's life.
// To add a service: a member and a `lazy` accessor; services it depends on come from self().
class LinuxEnvironment final : public Environment {
 public:
  explicit LinuxEnvironment(Environment* outer) : outer_(outer) {}

  std::shared_ptr<FileSystem> fileSystem() override {
    return lazy(fileSystem_, [] { return std::make_shared<PosixFileSystem>(); });
  }
  std::shared_ptr<Sandbox> sandbox() override {
    return lazy(sandbox_, [this] {
      auto info = self().processInfo();
      auto sandbox = std::make_shared<DirectorySandbox>(defaultSandboxRoot(*info, defaultBundleIdentifier(*info)));
      std::string error;
      if (!checkSandboxOwnership(*sandbox, &error)) {
        // Nothing is read from or written to a folder another user controls: this run keeps
        // its data in a private folder of its own, and the next run asks again.
        char private_[] = "/tmp/tallywise-private-XXXXXX";
        const char* made = ::mkdtemp(private_);
        VXLLogError("[Tallywise/Platform]", false, "I-PLT000007",
                    "Refusing the sandbox: " + error + ". This run uses " + (made ? made : "no sandbox") +
                        " instead.");
        // Without one, a root under /proc, where no folder can be made, makes every write fail.
        sandbox = std::make_shared<DirectorySandbox>(made ? std::string(made) : std::string("/proc/tallywise-none"));
      }
      if (!prepareSandbox(*self().fileSystem(), *sandbox, &error)) {
        VXLLogError("[Tallywise/Platform]", false, "I-PLT000006", "Cannot prepare the sandbox: " + error);
      }
      return sandbox;
    });
  }
  std::shared_ptr<Preferences> preferences() override {
    return lazy(preferences_, [this] {
      return std::make_shared<FilePreferences>(self().fileSystem(), self().sandbox(),
                                               defaultBundleIdentifier(*self().processInfo()));
    });
  }
  std::shared_ptr<Keychain> keychain() override {
    return lazy(keychain_, [this] { return std::make_shared<FileKeychain>(self().fileSystem(), self().sandbox()); });
  }
  std::shared_ptr<Clock> clock() override {
    return lazy(clock_, [] { return std::make_shared<SystemClock>(); });
  }
  std::shared_ptr<Random> random() override {
    return lazy(random_, [] { return std::make_shared<SecureRandom>(); });
  }
  std::shared_ptr<Device> device() override {
    return lazy(device_, [this] {
      Environment& env = self();
      return std::make_shared<LinuxDevice>(env.processInfo(), env.keychain(), env.random(), env.clock());
    });
  }
  std::shared_ptr<ProcessInfo> processInfo() override {
    return lazy(processInfo_, [] { return std::make_shared<LinuxProcessInfo>(); });
  }

 private:
  // The environment services ask for the services they depend on.
  Environment& self() { return outer_ ? *outer_ : *this; }

  // A recursive mutex: building one service asks for the services it uses.
  template <class T, class Make>
  std::shared_ptr<T> lazy(std::shared_ptr<T>& slot, Make make) {
    std::lock_guard lock(mutex_);
    if (!slot) slot = make();
    return slot;
  }

  Environment* const outer_;
  std::recursive_mutex mutex_;
  std::shared_ptr<FileSystem> fileSystem_;
  std::shared_ptr<Sandbox> sandbox_;
  std::shared_ptr<Preferences> preferences_;
  std::shared_ptr<Keychain> keychain_;
  std::shared_ptr<Clock> clock_;
  std::shared_ptr<Random> random_;
  std::shared_ptr<Device> device_;
  std::shared_ptr<ProcessInfo> processInfo_;
};

struct CurrentSlot {
  std::mutex mutex;
  std::shared_ptr<Environment> environment;
};

CurrentSlot& currentSlot() {
  // Never destroyed: shared instances may reach for it during static destruction.
  static CurrentSlot* slot = new CurrentSlot();
  return *slot;
}

}  // namespace

std::shared_ptr<Environment> Environment::makeDefault() { return std::make_shared<LinuxEnvironment>(nullptr); }

std::shared_ptr<Environment> Environment::makeDefault(Environment* outer) {
  return std::make_shared<LinuxEnvironment>(outer);
}

std::shared_ptr<Environment> Environment::current() {
  CurrentSlot& slot = currentSlot();
  std::lock_guard lock(slot.mutex);
  if (!slot.environment) slot.environment = makeDefault();
  return slot.environment;
}

void Environment::setCurrent(std::shared_ptr<Environment> environment) {
  CurrentSlot& slot = currentSlot();
  std::lock_guard lock(slot.mutex);
  // Null goes back to the Linux environment on the next current().
  slot.environment = std::move(environment);
}

}  // namespace platform
