#pragma once
// Message digests (OpenSSL EVP) and hexadecimal helpers.
//
// Thread-safety: stateless; any thread.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

using DigestBytes = std::vector<std::uint8_t>;

// Each digest is empty only when OpenSSL cannot compute it (MD5 refused by a FIPS policy,
// out of memory); callers treat an empty digest as a failure.

// 16 bytes.
DigestBytes md5Digest(std::span<const std::uint8_t> bytes);
DigestBytes md5Digest(std::string_view bytes);
// 20 bytes.
DigestBytes sha1Digest(std::span<const std::uint8_t> bytes);
DigestBytes sha1Digest(std::string_view bytes);
// 32 bytes.
DigestBytes sha256Digest(std::span<const std::uint8_t> bytes);
DigestBytes sha256Digest(std::string_view bytes);

// Lower-case by default.
std::string hexString(std::span<const std::uint8_t> bytes, bool upperCase = false);
// Either case; nullopt for an odd length or a non-hex character.
std::optional<std::vector<std::uint8_t>> bytesFromHexString(std::string_view hex);

}  // namespace platform
