#pragma once
// Shared by the tests that read the shared monitor's output; one sandbox per executable.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "measurement/monitor/TLWMonitor.h"
#include "platform/testing/TestEnvironment.h"
#include "platform/VXLLogger.h"
#include "tests/support/Logging.h"
#include "tests/support/Wait.h"

namespace tw_test_support {

// The shared monitor keeps a health sample in its preferences: keep it out of the user's
// data. Registered once for the whole executable.
class SandboxEnvironment : public ::testing::Environment {
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "tlw-engine-test-XXXXXX").string();
    if (mkdtemp(pattern.data())) setenv("TALLYWISE_SANDBOX", (dir_ = pattern).c_str(), 1);
    // Also at exit: the shared monitor may still write there after the last test.
    if (!dir_.empty()) platform::testing::removeAtExit(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  std::string dir_;
};
inline auto* const kSandbox = ::testing::AddGlobalTestEnvironment(new SandboxEnvironment);

// Captures the shared monitor's console output, as the utilities logger hands it on, as
// "<code> <message>" lines.
class SharedMonitorLinesTest : public ::testing::Test, public platform::LogSink {
 protected:
  void SetUp() override {
    previousSink_ = platform::VXLSetLogSink(std::shared_ptr<LogSink>(this, [](LogSink*) {}));
    TLWMonitor::sharedInstance()->setEncodeContexts(false);
  }
  void TearDown() override {
    TLWMonitor::sharedInstance()->flush();
    platform::VXLSetLogSink(previousSink_);
  }
  void write(platform::VXLLoggerLevel, std::string_view, std::string_view code, std::string_view message) override {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::string(code) + " " + std::string(message));
  }
  // Logged lines, in order, that start with `code` and contain `needle`.
  std::vector<std::string> find(std::string_view code, std::string_view needle) {
    TLWMonitor::sharedInstance()->flush();
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& l : lines_)
      if (l.rfind(code, 0) == 0 && l.find(needle) != std::string::npos) out.push_back(l);
    return out;
  }

 private:
  std::shared_ptr<platform::LogSink> previousSink_;
  tw_test_support::ScopedLoggerLevel loggerLevel_{platform::VXLLoggerLevel::Debug};
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace tw_test_support
