#include "platform/Random.h"

#include "platform/OpenSSLInit.h"

#include <openssl/rand.h>
#include <sys/random.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace platform {

double Random::unit() {
  // The top 53 bits give every double in [0, 1) on a 2^-53 grid.
  return static_cast<double>(next64() >> 11) * 0x1.0p-53;
}

void SecureRandom::fill(std::uint8_t* bytes, std::size_t count) {
  keepOpenSSLUntilExit();
  std::size_t done = 0;
  while (done < count) {
    std::size_t chunk = count - done;
    if (chunk > static_cast<std::size_t>(INT_MAX)) chunk = INT_MAX;
    if (RAND_bytes(bytes + done, static_cast<int>(chunk)) == 1) {
      done += chunk;
      continue;
    }
    ssize_t n = ::getrandom(bytes + done, chunk, 0);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      // No source of randomness left: fail closed rather than hand out predictable bytes.
      std::abort();
    }
  }
}

std::uint64_t SecureRandom::next64() {
  std::uint64_t value = 0;
  std::uint8_t bytes[8];
  fill(bytes, sizeof bytes);
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

std::uint64_t SecureRandom::uniform(std::uint64_t bound) { return uniformBelow(*this, bound); }

std::string SecureRandom::uuid() {
  std::array<std::uint8_t, 16> bytes{};
  fill(bytes.data(), bytes.size());
  return formatUUIDv4(bytes);
}

std::uint64_t uniformBelow(Random& random, std::uint64_t bound) {
  if (bound == 0) return 0;
  // 2^64 mod bound: values below it belong to an incomplete last block and are redrawn.
  const std::uint64_t threshold = (0 - bound) % bound;
  for (;;) {
    std::uint64_t x = random.next64();
    if (x >= threshold) return x % bound;
  }
}

std::string formatUUIDv4(std::array<std::uint8_t, 16> bytes) {
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(digits[bytes[i] >> 4]);
    out.push_back(digits[bytes[i] & 0x0F]);
  }
  return out;
}

bool isUUIDv4(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
      continue;
    }
    bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    if (!hex) return false;
  }
  if (text[14] != '4') return false;
  char variant = text[19];
  return variant == '8' || variant == '9' || variant == 'A' || variant == 'B' || variant == 'a' || variant == 'b';
}

}  // namespace platform
