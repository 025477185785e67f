#include "platform/testing/FakeRandom.h"

#include <array>
#include <cstring>

#include "platform/Random.h"

namespace platform::testing {

std::uint64_t FakeRandom::next64() {
  std::lock_guard lock(mutex_);
  ++draws_;
  if (!scripted_.empty()) {
    std::uint64_t v = scripted_.front();
    scripted_.pop_front();
    return v;
  }
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

void FakeRandom::fill(std::uint8_t* bytes, std::size_t count) {
  while (count > 0) {
    std::uint64_t v = next64();
    std::size_t n = count < sizeof v ? count : sizeof v;
    std::memcpy(bytes, &v, n);
    bytes += n;
    count -= n;
  }
}

std::uint64_t FakeRandom::uniform(std::uint64_t bound) { return uniformBelow(*this, bound); }

std::string FakeRandom::uuid() {
  std::array<std::uint8_t, 16> bytes{};
  fill(bytes.data(), bytes.size());
  return formatUUIDv4(bytes);
}

void FakeRandom::script(std::vector<std::uint64_t> values) {
  std::lock_guard lock(mutex_);
  scripted_.insert(scripted_.end(), values.begin(), values.end());
}

void FakeRandom::reseed(std::uint64_t seed) {
  std::lock_guard lock(mutex_);
  state_ = seed;
  scripted_.clear();
}

std::uint64_t FakeRandom::draws() const {
  std::lock_guard lock(mutex_);
  return draws_;
}

}  // namespace platform::testing
