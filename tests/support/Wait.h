#pragma once
// Waiting for a condition in tests: generous, because sanitizer builds on a loaded machine
// are many times slower, and never a substitute for the condition itself.

#include <chrono>
#include <thread>

namespace tw_test_support {

// Polls `done` until it holds (true) or thirty seconds pass (false).
template <class F>
bool waitFor(F done) {
  using namespace std::chrono_literals;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

}  // namespace tw_test_support
