#pragma once
// Secure random numbers behind platform::Random, and the helpers every Random shares.
//
// Thread-safety: SecureRandom keeps no state of its own (OpenSSL's generator is
// thread-safe); any thread.

#include <array>
#include <cstdint>
#include <string>

#include "platform/Environment.h"

namespace platform {

class SecureRandom : public Random {
 public:
  // RAND_bytes; should it ever fail, getrandom(2) fills the bytes instead, so the buffer
  // is never left uninitialised. With neither source working the process aborts rather
  // than hand out predictable identifiers.
  void fill(std::uint8_t* bytes, std::size_t count) override;
  std::uint64_t uniform(std::uint64_t bound) override;
  std::uint64_t next64() override;
  std::string uuid() override;
};

// Uniform in [0, bound) from `random.next64()` by rejection (no modulo bias); 0 when
// bound is 0.
std::uint64_t uniformBelow(Random& random, std::uint64_t bound);

// Stamps the version-4 and variant bits on 16 random bytes and formats them as
// upper-case "XXXXXXXX-XXXX-4XXX-YXXX-XXXXXXXXXXXX".
std::string formatUUIDv4(std::array<std::uint8_t, 16> bytes);

// True for the form formatUUIDv4 produces (any case accepted).
bool isUUIDv4(std::string_view text);

}  // namespace platform
