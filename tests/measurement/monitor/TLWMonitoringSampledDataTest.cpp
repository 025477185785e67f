#include "measurement/monitor/TLWMonitoringSampledData.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

using platform::Array;
using platform::Value;

Value stored(Value context, Value population, Value key, Value opened) {
  return Value(Array{std::move(context), std::move(population), std::move(key), std::move(opened)});
}

TEST(TLWMonitoringSampledDataTest, LoadsOnlyTheExactFourElementForm) {
  const Value good = stored("-", 3, "1E_80901:m", Value::date(1000));
  auto data = TLWMonitoringSampledData::initWithArray(good);
  ASSERT_FALSE(data.isEmpty());
  EXPECT_EQ(data.entry()->population, 3);
  EXPECT_EQ(data.arrayRepresentation(), good);

  const std::string tooLong(TLWMonitoringSampledData::kMaxFieldBytes + 1, 'x');
  const Value rejected[] = {
      Value(), Value("not an array"), Value(Array{"-", 3, "k"}), Value(Array{"-", 3, "k", Value::date(1), "extra"}),
      stored(5, 3, "k", Value::date(1)), stored("-", "3", "k", Value::date(1)), stored("-", 2.5, "k", Value::date(1)),
      stored("-", 3, 9, Value::date(1)), stored("-", 3, "k", 1000.0), stored("-", 0, "k", Value::date(1)),
      stored("-", -4, "k", Value::date(1)), stored("-", 3, "k", Value::date(std::nan(""))),
      stored(tooLong, 3, "k", Value::date(1)), stored("-", 3, tooLong, Value::date(1))};
  for (const auto& v : rejected) EXPECT_TRUE(TLWMonitoringSampledData::initWithArray(v).isEmpty()) << v.description();
}

TEST(TLWMonitoringSampledDataTest, ReservoirReplacesWithProbabilityOneOverPopulation) {
  TLWMonitoringSampledData data;
  std::vector<std::uint64_t> bounds;
  std::vector<std::uint64_t> answers = {1, 0, 2};  // keep, replace, keep
  auto draw = [&](std::uint64_t bound) {
    bounds.push_back(bound);
    return answers[bounds.size() - 1];
  };
  data.insertOrUpdate("k1", "c1", 100, draw);  // opens the window without a draw
  data.insertOrUpdate("k2", "c2", 150, draw);
  EXPECT_EQ(data.entry()->sampleKey, "k1");
  data.insertOrUpdate("k3", "c3", 160, draw);
  data.insertOrUpdate("k4", "", 170, draw);
  EXPECT_EQ(data.entry()->sampleKey, "k3");
  EXPECT_EQ(data.entry()->encodedContext, "c3");
  EXPECT_EQ(data.entry()->population, 4);
  EXPECT_EQ(bounds, (std::vector<std::uint64_t>{2, 3, 4}));
  EXPECT_EQ(data.entry()->windowOpened, 100);
}

TEST(TLWMonitoringSampledDataTest, PopulationSaturatesAndOversizeFieldsAreCutOnACharacterBoundary) {
  auto data = TLWMonitoringSampledData::initWithArray(
      stored("-", std::numeric_limits<std::int64_t>::max(), "k", Value::date(1)));
  data.insertOrUpdate("k2", "c", 2, [](std::uint64_t) { return std::uint64_t{1}; });
  EXPECT_EQ(data.entry()->population, std::numeric_limits<std::int64_t>::max());

  std::string longKey;
  for (int i = 0; i < 3000; ++i) longKey += "\xC3\xA9";  // two bytes each
  TLWMonitoringSampledData fresh;
  fresh.insertOrUpdate(longKey, std::string(10000, 'c'), 1, [](std::uint64_t) { return std::uint64_t{0}; });
  EXPECT_LE(fresh.entry()->sampleKey.size(), TLWMonitoringSampledData::kMaxFieldBytes);
  EXPECT_TRUE(platform::utf8::isValid(fresh.entry()->sampleKey));
  EXPECT_EQ(fresh.entry()->encodedContext.size(), TLWMonitoringSampledData::kMaxFieldBytes);
  EXPECT_FALSE(TLWMonitoringSampledData::initWithArray(fresh.arrayRepresentation()).isEmpty());
}

TEST(TLWMonitoringSampledDataTest, DispatchBoundaries) {
  TLWMonitoringSampledData data;
  data.insertOrUpdate("1W_80901:w", "", 1000, [](std::uint64_t) { return std::uint64_t{1}; });
  EXPECT_EQ(data.dispatch(60, 0, 1060), std::nullopt);  // exactly one period old: still open
  EXPECT_EQ(data.dispatch(60, 0, 1061), std::optional<std::string>("1:1W_80901:w"));  // no empty context
  EXPECT_TRUE(data.isEmpty());

  EXPECT_EQ(data.dispatch(100, 1200, 1000), std::optional<std::string>("0:"));  // last dispatch in the future
  EXPECT_EQ(data.dispatch(100, 900, 1000), std::nullopt);                       // exactly one period ago
  EXPECT_EQ(data.dispatch(100, -500, 1000), std::nullopt);                      // not a real time
}

}  // namespace
