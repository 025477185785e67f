#pragma once
// Shared pieces of the storage tests: a temporary sandbox on the real file system, a
// settable clock, and a monitor whose console lines are captured.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "measurement/monitor/TLWMonitor.h"
#include "platform/Environment.h"
#include "platform/FileSystem.h"
#include "platform/Keychain.h"
#include "platform/Preferences.h"
#include "platform/app/Bundle.h"
#include "platform/testing/TestEnvironment.h"
#include "tests/support/Logging.h"

namespace storage_test {

// Removed with the object, and again at a normal exit: a monitor queue or a retry timer
// that outlives the test may write into it after it went.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tw-storage-XXXXXX").string();
    char* made = mkdtemp(tmpl.data());
    path_ = made ? made : tmpl;
    if (made) platform::testing::removeAtExit(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class FixedSandbox : public platform::Sandbox {
 public:
  explicit FixedSandbox(std::string root) : root_(std::move(root)) {}
  std::string root() const override { return root_; }

 private:
  std::string root_;
};

class SettableClock : public platform::Clock {
 public:
  double now() override { return now_.load(); }
  double monotonic() override { return now_.load(); }
  double secondsSinceBoot() override { return now_.load() - 1.0e9; }
  double bootTime() override { return 1.0e9; }
  void set(double t) { now_ = t; }
  void advance(double seconds) { now_ = now_.load() + seconds; }

 private:
  std::atomic<double> now_{1.7e9};
};

// The Linux environment with the sandbox (preferences and keychain included) in a
// temporary folder, a settable clock and an app bundle folder of its own. relaunch()
// drops the in-memory preference and keychain objects, as a new process would.
class TestStorageEnvironment : public platform::EnvironmentWrapper {
 public:
  explicit TestStorageEnvironment(const std::string& root)
      : EnvironmentWrapper(platform::Environment::makeDefault()),
        sandbox_(std::make_shared<FixedSandbox>(root)),
        clock_(std::make_shared<SettableClock>()),
        bundlePath_(root + "/App.app") {
    std::filesystem::create_directories(bundlePath_);
    relaunch();
  }
  std::shared_ptr<platform::Sandbox> sandbox() override { return sandbox_; }
  std::shared_ptr<platform::Clock> clock() override { return clock_; }
  std::shared_ptr<platform::FileSystem> fileSystem() override { return fileSystem_; }
  std::shared_ptr<platform::Preferences> preferences() override { return preferences_; }
  std::shared_ptr<platform::Keychain> keychain() override { return keychain_; }
  std::shared_ptr<platform::Bundle> mainBundle() override {
    return platform::Bundle::bundleWithPath(bundlePath_, fileSystem_);
  }
  SettableClock& settableClock() { return *clock_; }
  const std::string& bundlePath() const { return bundlePath_; }
  void relaunch() {
    preferences_ = std::make_shared<platform::FilePreferences>(fileSystem_, sandbox_, "com.vorlix.tallywise.tests");
    keychain_ = std::make_shared<platform::FileKeychain>(fileSystem_, sandbox_);
  }

 private:
  std::shared_ptr<FixedSandbox> sandbox_;
  std::shared_ptr<SettableClock> clock_;
  std::string bundlePath_;
  std::shared_ptr<platform::FileSystem> fileSystem_ = std::make_shared<platform::PosixFileSystem>();
  std::shared_ptr<platform::Preferences> preferences_;
  std::shared_ptr<platform::Keychain> keychain_;
};

struct CapturedMonitor {
  std::shared_ptr<tw_test_support::RecordingLogger> logger = std::make_shared<tw_test_support::RecordingLogger>();
  std::shared_ptr<TLWMonitor> monitor;
  explicit CapturedMonitor(std::shared_ptr<platform::Environment> env) {
    monitor = TLWMonitor::initWithLogLevel(8, logger, kTLWLibraryNumericVersion, std::move(env));
    monitor->setLogLevel(8);
  }
  // True once the monitor printed a line with that code.
  bool logged(std::int64_t code) {
    monitor->flush();
    return logger->hasCode(code);
  }
};

inline void writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace storage_test
