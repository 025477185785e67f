#include "platform/Gzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <string>

#include "platform/Random.h"

namespace platform {
namespace {

GzipData bytesOf(std::string_view s) { return GzipData(s.begin(), s.end()); }

GzipData randomBytes(std::size_t n) {
  GzipData out(n);
  SecureRandom().fill(out.data(), out.size());
  return out;
}

// `size` zero bytes as one gzip member, compressed in pieces so the test never holds them.
GzipData gzippedZeros(std::uint64_t size) {
  z_stream s{};
  EXPECT_EQ(deflateInit2(&s, Z_BEST_COMPRESSION, Z_DEFLATED, 31, 9, Z_RLE), Z_OK);
  std::vector<Bytef> zeros(1 << 20, 0);
  GzipData out;
  std::vector<Bytef> buffer(1 << 16);
  std::uint64_t left = size;
  int rc = Z_OK;
  do {
    std::size_t take = left < zeros.size() ? static_cast<std::size_t>(left) : zeros.size();
    left -= take;
    s.next_in = zeros.data();
    s.avail_in = static_cast<uInt>(take);
    int flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
    do {
      s.next_out = buffer.data();
      s.avail_out = static_cast<uInt>(buffer.size());
      rc = deflate(&s, flush);
      out.insert(out.end(), buffer.data(), buffer.data() + (buffer.size() - s.avail_out));
    } while (s.avail_out == 0);
  } while (left > 0 || rc != Z_STREAM_END);
  deflateEnd(&s);
  return out;
}

TEST(GzipTest, RoundTripsAndWritesRealGzip) {
  for (const GzipData& input : {GzipData{}, bytesOf("hello, gzip"), randomBytes(3 << 20), GzipData(1 << 20, 'x')}) {
    std::string error;
    auto packed = vxl_dataByGzippingData(input, &error);
    ASSERT_TRUE(packed) << error;
    ASSERT_GE(packed->size(), 18u);
    EXPECT_EQ((*packed)[0], 0x1F);
    EXPECT_EQ((*packed)[1], 0x8B);
    auto unpacked = vxl_dataByInflatingGzippedData(*packed, &error);
    ASSERT_TRUE(unpacked) << error;
    EXPECT_EQ(*unpacked, input);
  }
  // The gzip tool itself reads what we write.
  GzipData text = bytesOf("read by the gzip tool\n");
  auto packed = vxl_dataByGzippingData(text);
  ASSERT_TRUE(packed);
  std::string path = ::testing::TempDir() + "/platsvc-gzip-test.gz";
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_TRUE(f);
  std::fwrite(packed->data(), 1, packed->size(), f);
  std::fclose(f);
  FILE* p = ::popen(("gzip -dc '" + path + "'").c_str(), "r");
  ASSERT_TRUE(p);
  std::string decoded;
  char buf[256];
  while (std::size_t n = std::fread(buf, 1, sizeof buf, p)) decoded.append(buf, n);
  EXPECT_EQ(::pclose(p), 0);
  std::remove(path.c_str());
  EXPECT_EQ(decoded, "read by the gzip tool\n");
}

// A kept state must not leak one input into the next: each member is the one a fresh
// state writes (same bytes), whatever came before it, small after large included.
TEST(GzipTest, AReusedDeflaterWritesWhatAFreshOneWrites) {
  const GzipData text = bytesOf("a bundle of events, a bundle of events, a bundle of events");
  for (int level : {kGzipFastestLevel, kGzipDefaultLevel}) {
    GzipDeflater deflater(level);
    for (const GzipData& input : {randomBytes(200000), text, GzipData{}, GzipData(300000, 'y'), text}) {
      std::string error;
      auto reused = deflater.compress(input, &error);
      ASSERT_TRUE(reused) << error;
      EXPECT_EQ(*reused, *vxl_dataByGzippingData(input, nullptr, level)) << "level " << level;
      auto unpacked = vxl_dataByInflatingGzippedData(*reused);
      ASSERT_TRUE(unpacked);
      EXPECT_EQ(*unpacked, input);
    }
  }
}

TEST(GzipTest, ConcatenatedMembersInflateToTheirConcatenation) {
  auto a = *vxl_dataByGzippingData(bytesOf("first "));
  auto b = *vxl_dataByGzippingData(bytesOf("second"));
  a.insert(a.end(), b.begin(), b.end());
  auto joined = vxl_dataByInflatingGzippedData(a);
  ASSERT_TRUE(joined);
  EXPECT_EQ(*joined, bytesOf("first second"));
}

TEST(GzipTest, CorruptTruncatedOrForeignInputGivesAnError) {
  GzipData input = randomBytes(10000);
  GzipData packed = *vxl_dataByGzippingData(input);
  GzipData badCRC = packed;
  badCRC[badCRC.size() - 6] ^= 0x01;  // inside the CRC-32 trailer
  GzipData badBody = packed;
  badBody[packed.size() / 2] ^= 0x55;
  GzipData trailing = packed;
  trailing.push_back('!');
  GzipData zlibStream(compressBound(5));
  uLongf zlibLength = zlibStream.size();
  ASSERT_EQ(compress(zlibStream.data(), &zlibLength, reinterpret_cast<const Bytef*>("hello"), 5), Z_OK);
  zlibStream.resize(zlibLength);

  struct Case {
    const char* name;
    GzipData data;
  };
  for (const Case& c : {Case{"empty", {}}, Case{"bad crc", badCRC}, Case{"bad body", badBody},
                        Case{"truncated", GzipData(packed.begin(), packed.begin() + packed.size() / 2)},
                        Case{"header only", GzipData(packed.begin(), packed.begin() + 10)},
                        Case{"trailing garbage", trailing}, Case{"zlib, not gzip", zlibStream},
                        Case{"plain text", bytesOf("definitely not gzip")}}) {
    std::string error;
    EXPECT_FALSE(vxl_dataByInflatingGzippedData(c.data, &error)) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
  }
}

TEST(GzipTest, TheInflatedSizeCapStopsBombs) {
  // 1 GiB of zeros squeezes into about a megabyte.
  GzipData bomb = gzippedZeros(std::uint64_t{1} << 30);
  ASSERT_LT(bomb.size(), 2u << 20);
  std::string error;
  EXPECT_FALSE(vxl_dataByInflatingGzippedData(bomb, &error));
  EXPECT_NE(error.find(std::to_string(kVXLGzipDefaultMaxInflatedSize)), std::string::npos) << error;

  // The cap is exact and set per call.
  GzipData packed = *vxl_dataByGzippingData(GzipData(1000, 'a'));
  EXPECT_TRUE(vxl_dataByInflatingGzippedData(packed, nullptr, 1000));
  EXPECT_FALSE(vxl_dataByInflatingGzippedData(packed, nullptr, 999));
  EXPECT_FALSE(vxl_dataByInflatingGzippedData(packed, nullptr, 0));
  auto raised = vxl_dataByInflatingGzippedData(gzippedZeros(100u << 20), nullptr, 128u << 20);
  ASSERT_TRUE(raised);
  EXPECT_EQ(raised->size(), 100u << 20);
}

}  // namespace
}  // namespace platform
