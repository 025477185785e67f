#pragma once
// Waiting for a condition in tests: generous, because sanitizer builds on a loaded machine
// are many times slower, and never a substitute for the condition itself.

#include <chrono>
#include <thread>

namespace tw_test_support {

// Polls `done` every `poll` until it holds (true) or `limit` passes (false). Poll less
// often when `done` is costly (it decodes what a service received, say).
template <class F>
bool waitFor(F done, std::chrono::milliseconds limit = std::chrono::seconds(30),
             std::chrono::milliseconds poll = std::chrono::milliseconds(1)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(poll);
  }
  return true;
}

}  // namespace tw_test_support
