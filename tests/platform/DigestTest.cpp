#include "platform/Digest.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

// Published test vectors (RFC 1321, FIPS 180).
TEST(DigestTest, KnownVectors) {
  EXPECT_EQ(hexString(md5Digest("")), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(hexString(md5Digest("abc")), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(hexString(md5Digest("12345678901234567890123456789012345678901234567890123456789012345678901234567890")),
            "57edf4a22be3c955ac49da2e2107b67a");
  EXPECT_EQ(hexString(sha1Digest("")), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(hexString(sha1Digest("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(hexString(sha1Digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(hexString(sha256Digest("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  std::string million(1000000, 'a');
  EXPECT_EQ(hexString(sha1Digest(million)), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
  // Bytes with NULs are hashed whole, not as C strings.
  std::vector<std::uint8_t> withNul{'a', 0, 'b'};
  EXPECT_NE(md5Digest(withNul), md5Digest("a"));
  EXPECT_EQ(md5Digest(withNul), md5Digest(std::string_view("a\0b", 3)));
}

TEST(DigestTest, HexRoundTripsAndRejectsJunk) {
  std::vector<std::uint8_t> bytes{0x00, 0x7F, 0x80, 0xFF, 0x1A};
  EXPECT_EQ(hexString(bytes), "007f80ff1a");
  EXPECT_EQ(hexString(bytes, true), "007F80FF1A");
  EXPECT_EQ(bytesFromHexString("007f80FF1a"), bytes);
  EXPECT_EQ(bytesFromHexString(""), std::vector<std::uint8_t>{});
  EXPECT_FALSE(bytesFromHexString("abc"));
  EXPECT_FALSE(bytesFromHexString("zz"));
  EXPECT_FALSE(bytesFromHexString("0x"));
}

}  // namespace
}  // namespace platform
