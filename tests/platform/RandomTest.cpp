#include "platform/Random.h"

#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <set>

#include "platform/testing/FakeRandom.h"

namespace platform {
namespace {

TEST(RandomTest, UniformStaysBelowItsBoundAndCoversIt) {
  SecureRandom random;
  EXPECT_EQ(random.uniform(0), 0u);
  EXPECT_EQ(random.uniform(1), 0u);
  const std::uint64_t bounds[] = {2, 3, 10, 86400000, (std::uint64_t{1} << 63) + 1,
                                  std::numeric_limits<std::uint64_t>::max()};
  for (std::uint64_t bound : bounds) {
    for (int i = 0; i < 2000; ++i) ASSERT_LT(random.uniform(bound), bound);
  }
  // Ten buckets, 100000 draws: each within 10% of its share (fails by chance < 1e-20).
  std::array<int, 10> counts{};
  for (int i = 0; i < 100000; ++i) ++counts[random.uniform(10)];
  for (int c : counts) {
    EXPECT_GT(c, 9000);
    EXPECT_LT(c, 11000);
  }
  for (int i = 0; i < 1000; ++i) {
    double u = random.unit();
    ASSERT_GE(u, 0.0);
    ASSERT_LT(u, 1.0);
  }
}

TEST(RandomTest, DrawsFromTheIncompleteLastBlockAreRejected) {
  testing::FakeRandom random;
  // For bound 3, 2^64 mod 3 == 1: a raw 0 would favour 0 and is drawn again.
  random.script({0, 7});
  EXPECT_EQ(random.uniform(3), 7u % 3);
  EXPECT_EQ(random.draws(), 2u);
  // For a bound just above 2^63 nearly half the raw values are rejected.
  const std::uint64_t bound = (std::uint64_t{1} << 63) + 1;
  random.script({(std::uint64_t{1} << 63) - 2, (std::uint64_t{1} << 63) - 1});
  EXPECT_EQ(random.uniform(bound), (std::uint64_t{1} << 63) - 1);
  random.script({std::numeric_limits<std::uint64_t>::max()});
  EXPECT_EQ(random.uniform(bound), std::numeric_limits<std::uint64_t>::max() % bound);
}

TEST(RandomTest, UUIDsAreVersionFourUpperCaseAndDistinct) {
  SecureRandom random;
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    std::string id = random.uuid();
    ASSERT_TRUE(isUUIDv4(id)) << id;
    ASSERT_EQ(id.size(), 36u);
    for (char c : id) ASSERT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || c == '-') << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 1000u);
  std::array<std::uint8_t, 16> ones;
  ones.fill(0xFF);
  EXPECT_EQ(formatUUIDv4(ones), "FFFFFFFF-FFFF-4FFF-BFFF-FFFFFFFFFFFF");
  std::array<std::uint8_t, 16> zeros{};
  EXPECT_EQ(formatUUIDv4(zeros), "00000000-0000-4000-8000-000000000000");
  EXPECT_FALSE(isUUIDv4("00000000-0000-1000-8000-000000000000"));
  EXPECT_FALSE(isUUIDv4("00000000-0000-4000-C000-000000000000"));
  EXPECT_FALSE(isUUIDv4("00000000000040008000000000000000"));
}

TEST(RandomTest, FakeRandomIsDeterministicPerSeed) {
  testing::FakeRandom a(42), b(42), c(43);
  EXPECT_EQ(a.uuid(), b.uuid());
  EXPECT_NE(a.next64(), c.next64());
  std::array<std::uint8_t, 13> x{}, y{};
  b.next64();  // keep a and b in step
  a.fill(x.data(), x.size());
  b.fill(y.data(), y.size());
  EXPECT_EQ(x, y);
}

}  // namespace
}  // namespace platform
