#pragma once
// Deterministic random numbers: a seeded SplitMix64 sequence, optionally preceded by
// scripted 64-bit values, so tests can pin the exact draws they depend on.
//
// Thread-safety: any thread; draws are serialised.

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/Environment.h"

namespace platform::testing {

class FakeRandom : public Random {
 public:
  explicit FakeRandom(std::uint64_t seed = 0x5EED) : state_(seed) {}

  void fill(std::uint8_t* bytes, std::size_t count) override;
  // Rejection sampling over next64(), as the real generator does.
  std::uint64_t uniform(std::uint64_t bound) override;
  std::uint64_t next64() override;
  std::string uuid() override;

  // The next next64() calls return these, in order, before the seeded sequence resumes.
  void script(std::vector<std::uint64_t> values);
  void reseed(std::uint64_t seed);
  // How many 64-bit values were drawn.
  std::uint64_t draws() const;

 private:
  mutable std::mutex mutex_;
  std::uint64_t state_;
  std::deque<std::uint64_t> scripted_;
  std::uint64_t draws_ = 0;
};

}  // namespace platform::testing
