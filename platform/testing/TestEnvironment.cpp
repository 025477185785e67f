#include "platform/testing/TestEnvironment.h"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <set>
#include <vector>

#include "platform/DispatchQueue.h"
#include "platform/FileSystem.h"
#include "platform/Keychain.h"
#include "platform/Preferences.h"
#include "platform/Sandbox.h"

namespace platform::testing {
namespace {

std::string makeTemporaryRoot() {
  const char* tmp = std::getenv("TMPDIR");
  std::string base = (tmp && tmp[0] == '/') ? tmp : "/tmp";
  std::string pattern = base + "/tallywise-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!::mkdtemp(buffer.data())) return {};
  return std::string(buffer.data());
}

// Every root made in this process. One held by a process-wide object (an engine, a shared
// instance) is never destroyed, and a late writer (a retry timer, a queue draining) may
// make a removed one again: all go once more when the process exits normally. Both are
// leaked, so they outlive every static destructor that runs before the handler.
std::mutex& madeRootsMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
// Root and the process that made it: a forked child that exits leaves its parent's alone.
std::set<std::pair<std::string, pid_t>>& madeRoots() {
  static auto* roots = new std::set<std::pair<std::string, pid_t>>;
  return *roots;
}
void removeRootsLeftAtExit() {
  // Stopped first, so that no queue draining or timer firing makes a folder again.
  (void)DispatchQueue::closeForProcessExit(std::chrono::milliseconds(500));
  std::set<std::pair<std::string, pid_t>> roots;
  {
    std::lock_guard lock(madeRootsMutex());
    roots.swap(madeRoots());
  }
  for (const auto& [root, maker] : roots)
    if (maker == ::getpid()) (void)PosixFileSystem().removeAll(root);
}
void registerRoot(const std::string& root) {
  // Registered with the first environment: exit handlers run in reverse order, so a
  // library's own exit flush, set up later, has written into the root before it goes.
  static const bool registered = [] { return std::atexit(removeRootsLeftAtExit) == 0; }();
  (void)registered;
  std::lock_guard lock(madeRootsMutex());
  madeRoots().insert({root, ::getpid()});
}

template <class T>
std::shared_ptr<T> pick(std::mutex& mutex, const std::shared_ptr<T>& replacement) {
  std::lock_guard lock(mutex);
  return replacement;
}

}  // namespace

void removeAtExit(const std::string& path) { registerRoot(path); }

std::shared_ptr<TestEnvironment> TestEnvironment::create(std::string bundleIdentifier) {
  std::string root = makeTemporaryRoot();
  if (root.empty()) return nullptr;
  registerRoot(root);
  return std::shared_ptr<TestEnvironment>(new TestEnvironment(std::move(root), std::move(bundleIdentifier)));
}

detail::TemporaryRoot::~TemporaryRoot() { (void)PosixFileSystem().removeAll(root); }

TestEnvironment::TestEnvironment(std::string root, std::string bundleIdentifier)
    : TemporaryRoot(std::move(root)),
      EnvironmentWrapper(Environment::makeDefault(this)),
      bundleIdentifier_(std::move(bundleIdentifier)),
      faultFileSystem_(std::make_shared<FaultInjectingFileSystem>()),
      fakeClock_(std::make_shared<FakeClock>()),
      fakeRandom_(std::make_shared<FakeRandom>()),
      fakeDevice_(std::make_shared<FakeDevice>()),
      fakeProcessInfo_(std::make_shared<FakeProcessInfo>()),
      sandbox_(std::make_shared<DirectorySandbox>(TemporaryRoot::root)) {
  fakeProcessInfo_->setEnvironmentVariable(kSandboxEnvironmentVariable, TemporaryRoot::root);
  fakeProcessInfo_->setEnvironmentVariable(kBundleIdentifierEnvironmentVariable, bundleIdentifier_);
  (void)prepareSandbox(*faultFileSystem_, *sandbox_);
  relaunch();
}

TestEnvironment::~TestEnvironment() {
  {
    std::lock_guard lock(mutex_);
    // Let go of the suites first so nothing writes into the folder after it is gone.
    preferences_.reset();
    keychain_.reset();
  }
}

void TestEnvironment::relaunch() {
  auto preferences = std::make_shared<FilePreferences>(fileSystem(), sandbox_, bundleIdentifier_);
  auto keychain = std::make_shared<FileKeychain>(fileSystem(), sandbox_);
  std::shared_ptr<Preferences> old;
  {
    std::lock_guard lock(mutex_);
    old = std::move(preferences_);
    preferences_ = std::move(preferences);
    keychain_ = std::move(keychain);
  }
  // A killed process does not flush: forget the old suites' pending changes.
  if (auto* file = dynamic_cast<FilePreferences*>(old.get())) file->discardPendingChanges();
}

std::shared_ptr<FileSystem> TestEnvironment::fileSystem() {
  auto fs = pick(mutex_, fileSystem_);
  return fs ? fs : faultFileSystem_;
}
std::shared_ptr<Sandbox> TestEnvironment::sandbox() { return sandbox_; }
std::shared_ptr<Preferences> TestEnvironment::preferences() { return pick(mutex_, preferences_); }
std::shared_ptr<Keychain> TestEnvironment::keychain() { return pick(mutex_, keychain_); }
std::shared_ptr<Clock> TestEnvironment::clock() {
  auto c = pick(mutex_, clock_);
  return c ? c : fakeClock_;
}
std::shared_ptr<Random> TestEnvironment::random() {
  auto r = pick(mutex_, random_);
  return r ? r : fakeRandom_;
}
std::shared_ptr<Device> TestEnvironment::device() {
  auto d = pick(mutex_, device_);
  return d ? d : fakeDevice_;
}
std::shared_ptr<ProcessInfo> TestEnvironment::processInfo() {
  auto p = pick(mutex_, processInfo_);
  return p ? p : fakeProcessInfo_;
}

std::shared_ptr<VXLNetwork> TestEnvironment::makeNetworkClient(const std::string& reachabilityHost) {
  NetworkClientFactory factory;
  {
    std::lock_guard lock(mutex_);
    factory = networkClientFactory_;
  }
  return factory ? factory(reachabilityHost) : EnvironmentWrapper::makeNetworkClient(reachabilityHost);
}
void TestEnvironment::setNetworkClientFactory(NetworkClientFactory factory) {
  std::lock_guard lock(mutex_);
  networkClientFactory_ = std::move(factory);
}

void TestEnvironment::setFileSystem(std::shared_ptr<FileSystem> fileSystem) {
  std::lock_guard lock(mutex_);
  fileSystem_ = std::move(fileSystem);
}
void TestEnvironment::setClock(std::shared_ptr<Clock> clock) {
  std::lock_guard lock(mutex_);
  clock_ = std::move(clock);
}
void TestEnvironment::setRandom(std::shared_ptr<Random> random) {
  std::lock_guard lock(mutex_);
  random_ = std::move(random);
}
void TestEnvironment::setDevice(std::shared_ptr<Device> device) {
  std::lock_guard lock(mutex_);
  device_ = std::move(device);
}
void TestEnvironment::setProcessInfo(std::shared_ptr<ProcessInfo> processInfo) {
  std::lock_guard lock(mutex_);
  processInfo_ = std::move(processInfo);
}
void TestEnvironment::setPreferences(std::shared_ptr<Preferences> preferences) {
  if (!preferences) {
    relaunch();
    return;
  }
  std::lock_guard lock(mutex_);
  preferences_ = std::move(preferences);
}
void TestEnvironment::setKeychain(std::shared_ptr<Keychain> keychain) {
  std::lock_guard lock(mutex_);
  keychain_ = keychain ? std::move(keychain)
                       : std::make_shared<FileKeychain>(fileSystem_ ? fileSystem_ : faultFileSystem_, sandbox_);
}

ScopedCurrentEnvironment::ScopedCurrentEnvironment(std::shared_ptr<Environment> environment)
    : previous_(Environment::current()) {
  Environment::setCurrent(std::move(environment));
}

ScopedCurrentEnvironment::~ScopedCurrentEnvironment() { Environment::setCurrent(std::move(previous_)); }

}  // namespace platform::testing
