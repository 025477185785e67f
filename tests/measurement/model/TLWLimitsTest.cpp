#include "measurement/model/TLWLimits.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "measurement/model/TLWDataTypeValidator.h"
#include "platform/testing/LogCapture.h"

namespace {

struct FixedLimits : TLWLimits {
  explicit FixedLimits(std::int32_t n) : n_(n) {}
  std::int32_t maxPublicEventParams() const override { return n_; }
  std::int32_t n_;
};

}  // namespace

TEST(TLWLimits, DefaultsAndReplacement) {
  auto defaults = TLWLimits::current();
  ASSERT_TRUE(defaults);
  EXPECT_EQ(defaults->maxPublicEventParams(), 25);
  EXPECT_EQ(defaults->maxPublicUserProperties(), 25);
  EXPECT_EQ(defaults->maxEventNameCardinality(), 500);
  TLWLimits::setCurrent(std::make_shared<FixedLimits>(40));
  EXPECT_EQ(TLWLimits::current()->maxPublicEventParams(), 40);
  EXPECT_EQ(TLWLimits::current()->maxPublicUserProperties(), 25);  // not overridden: the default
  TLWLimits::setCurrent(nullptr);
  EXPECT_EQ(TLWLimits::current()->maxPublicEventParams(), 25);
}

// Sanitizing on several threads while the limits are swapped: every result obeys one of
// the installed limits (and the thread sanitizer sees no race).
TEST(TLWLimits, SwappedWhileSanitizersRun) {
  platform::testing::LogCapture quiet;
  platform::Dictionary params;
  for (int i = 0; i < 60; ++i) params.set(platform::Value("p" + std::to_string(i)), i);
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    for (int i = 0; !stop.load(); ++i) TLWLimits::setCurrent(std::make_shared<FixedLimits>(i % 2 ? 30 : 50));
  });
  std::vector<std::thread> workers;
  std::atomic<int> bad{0};
  for (int t = 0; t < 3; ++t) {
    workers.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        TLWParameters out = TLWDataTypeValidator::sanitizeParameters(params, "e", true, false);
        std::size_t custom = out.size() - 1;  // minus "_err"
        if (custom != 25 && custom != 30 && custom != 50) ++bad;
      }
    });
  }
  for (auto& w : workers) w.join();
  stop = true;
  swapper.join();
  TLWLimits::setCurrent(nullptr);
  EXPECT_EQ(bad.load(), 0);
}
