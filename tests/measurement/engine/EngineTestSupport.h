#pragma once
// Shared by the engine tests, which run in one executable.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

namespace engine_test {

// Polls `done` for up to five seconds.
template <class F>
bool waitFor(F done) {
  using namespace std::chrono_literals;
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// The shared monitor keeps a health sample in its preferences: keep it out of the user's
// data. Registered once for the whole executable.
class SandboxEnvironment : public ::testing::Environment {
  void SetUp() override {
    char pattern[] = "/tmp/tlw-engine-test-XXXXXX";
    if (mkdtemp(pattern)) setenv("TALLYWISE_SANDBOX", (dir_ = pattern).c_str(), 1);
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  std::string dir_;
};
inline auto* const kSandbox = ::testing::AddGlobalTestEnvironment(new SandboxEnvironment);

}  // namespace engine_test
