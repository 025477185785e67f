#include "platform/Digest.h"

#include "platform/OpenSSLInit.h"

#include <openssl/evp.h>


namespace platform {
namespace {

DigestBytes digest(const EVP_MD* md, const void* data, std::size_t size) {
  keepOpenSSLUntilExit();
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  // Fails only when OpenSSL refuses the algorithm (MD5 under a FIPS policy) or runs out
  // of memory; the empty result tells the caller, where a crash would not.
  if (!md || EVP_Digest(data, size, out, &length, md, nullptr) != 1) return {};
  return DigestBytes(out, out + length);
}

std::span<const std::uint8_t> asBytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

DigestBytes md5Digest(std::span<const std::uint8_t> bytes) { return digest(EVP_md5(), bytes.data(), bytes.size()); }
DigestBytes md5Digest(std::string_view bytes) { return md5Digest(asBytes(bytes)); }
DigestBytes sha1Digest(std::span<const std::uint8_t> bytes) { return digest(EVP_sha1(), bytes.data(), bytes.size()); }
DigestBytes sha1Digest(std::string_view bytes) { return sha1Digest(asBytes(bytes)); }
DigestBytes sha256Digest(std::span<const std::uint8_t> bytes) {
  return digest(EVP_sha256(), bytes.data(), bytes.size());
}
DigestBytes sha256Digest(std::string_view bytes) { return sha256Digest(asBytes(bytes)); }

std::string hexString(std::span<const std::uint8_t> bytes, bool upperCase) {
  const char* digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 0x0F]);
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> bytesFromHexString(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> out;
  out.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    int hi = hexValue(hex[i]);
    int lo = hexValue(hex[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
  }
  return out;
}

}  // namespace platform
