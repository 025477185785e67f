#pragma once
// An environment for tests: a fresh sandbox folder on disk, removed when the environment
// goes, real preferences and keychain files inside it, a fault-injecting file system, and
// fakes for the clock, random numbers, process and device. Services it does not replace
// come from the Linux environment, which in turn takes its dependencies from here.
//
// Thread-safety: any thread. Replace services before the code under test takes them.
//
//   auto env = platform::testing::TestEnvironment::create();
//   env->fakeClock()->advance(60);
//   env->faultFileSystem()->setNoSpace(true);
//   platform::testing::ScopedCurrentEnvironment current(env);  // for shared instances

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Environment.h"
#include "platform/testing/FakeClock.h"
#include "platform/testing/FakeDevice.h"
#include "platform/testing/FakeProcessInfo.h"
#include "platform/testing/FakeRandom.h"
#include "platform/testing/FaultInjectingFileSystem.h"

namespace platform::testing {

namespace detail {
// Owns the temporary root. A base listed before EnvironmentWrapper, so it is destroyed
// after the wrapped Linux environment, whose services may flush into the root as they go.
struct TemporaryRoot {
  explicit TemporaryRoot(std::string path) : root(std::move(path)) {}
  ~TemporaryRoot();
  TemporaryRoot(const TemporaryRoot&) = delete;
  TemporaryRoot& operator=(const TemporaryRoot&) = delete;
  const std::string root;
};
}  // namespace detail

class TestEnvironment : private detail::TemporaryRoot, public EnvironmentWrapper {
 public:
  // The sandbox root is a new folder under $TMPDIR (else /tmp), removed with the
  // environment, or at a normal process exit when something process-wide keeps the
  // environment to the end; the standard preference suite is named `bundleIdentifier`.
  // Null only when no temporary folder can be made.
  static std::shared_ptr<TestEnvironment> create(std::string bundleIdentifier = "com.vorlix.tallywise.tests");
  ~TestEnvironment() override;

  std::shared_ptr<FileSystem> fileSystem() override;
  std::shared_ptr<Sandbox> sandbox() override;
  std::shared_ptr<Preferences> preferences() override;
  std::shared_ptr<Keychain> keychain() override;
  std::shared_ptr<Clock> clock() override;
  std::shared_ptr<Random> random() override;
  std::shared_ptr<Device> device() override;
  std::shared_ptr<ProcessInfo> processInfo() override;
  // The factory's client when one is set, else a real client.
  std::shared_ptr<VXLNetwork> makeNetworkClient(const std::string& reachabilityHost) override;

  const std::string& root() const { return TemporaryRoot::root; }
  const std::string& bundleIdentifier() const { return bundleIdentifier_; }
  std::shared_ptr<FaultInjectingFileSystem> faultFileSystem() const { return faultFileSystem_; }
  std::shared_ptr<FakeClock> fakeClock() const { return fakeClock_; }
  std::shared_ptr<FakeRandom> fakeRandom() const { return fakeRandom_; }
  std::shared_ptr<FakeDevice> fakeDevice() const { return fakeDevice_; }
  std::shared_ptr<FakeProcessInfo> fakeProcessInfo() const { return fakeProcessInfo_; }

  // Replacements; null restores this environment's own service.
  void setFileSystem(std::shared_ptr<FileSystem> fileSystem);
  void setClock(std::shared_ptr<Clock> clock);
  void setRandom(std::shared_ptr<Random> random);
  void setDevice(std::shared_ptr<Device> device);
  void setProcessInfo(std::shared_ptr<ProcessInfo> processInfo);
  void setPreferences(std::shared_ptr<Preferences> preferences);
  void setKeychain(std::shared_ptr<Keychain> keychain);
  using NetworkClientFactory = std::function<std::shared_ptr<VXLNetwork>(const std::string& reachabilityHost)>;
  // An empty factory restores real clients; a factory may answer null (no network).
  void setNetworkClientFactory(NetworkClientFactory factory);

  // New preference and keychain objects over the same files (through the current file
  // system), as a relaunched process would have. Changes not synchronized are dropped, as a killed process would drop them.
  void relaunch();

 private:
  TestEnvironment(std::string root, std::string bundleIdentifier);

  const std::string bundleIdentifier_;
  const std::shared_ptr<FaultInjectingFileSystem> faultFileSystem_;
  const std::shared_ptr<FakeClock> fakeClock_;
  const std::shared_ptr<FakeRandom> fakeRandom_;
  const std::shared_ptr<FakeDevice> fakeDevice_;
  const std::shared_ptr<FakeProcessInfo> fakeProcessInfo_;
  const std::shared_ptr<Sandbox> sandbox_;

  mutable std::mutex mutex_;
  std::shared_ptr<FileSystem> fileSystem_;
  std::shared_ptr<Clock> clock_;
  std::shared_ptr<Random> random_;
  std::shared_ptr<Device> device_;
  std::shared_ptr<ProcessInfo> processInfo_;
  std::shared_ptr<Preferences> preferences_;
  std::shared_ptr<Keychain> keychain_;
  NetworkClientFactory networkClientFactory_;
};

// Makes an environment current for its scope and restores the previous one after.
class ScopedCurrentEnvironment {
 public:
  explicit ScopedCurrentEnvironment(std::shared_ptr<Environment> environment);
  ~ScopedCurrentEnvironment();
  ScopedCurrentEnvironment(const ScopedCurrentEnvironment&) = delete;
  ScopedCurrentEnvironment& operator=(const ScopedCurrentEnvironment&) = delete;

 private:
  std::shared_ptr<Environment> previous_;
};

// Removes `path`, made by this process, once more at a normal exit, after the dispatch
// queues have stopped (a process-wide engine or a late writer may still use it). Every
// TestEnvironment root is handled so.
void removeAtExit(const std::string& path);

}  // namespace platform::testing
