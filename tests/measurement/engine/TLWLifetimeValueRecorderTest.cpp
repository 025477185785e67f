// Lifetime value through the real write path: totals per currency in the database, the
// currency limit, and the event's transaction rolled back when a value does not fit.

#include <cmath>
#include <cstdint>
#include <limits>

#include "measurement/reporters/TLWLifetimeValueRecorder.h"
#include "tests/measurement/engine/PipelineTestSupport.h"

namespace pipeline_test {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(TLWLifetimeValueRecorderAmount, ConvertsOnlyWhatFitsInt64Micros) {
  struct Case {
    const char* event;
    TLWValue value;
    std::optional<std::int64_t> amount;
  };
  const Case cases[] = {
      {"purchase", TLWValue::initWithDouble(9.99), 9990000},
      // Rounded to the nearest micro: 2.01 and 0.29 are just below themselves as doubles.
      {"purchase", TLWValue::initWithDouble(2.01), 2010000},
      {"refund", TLWValue::initWithDouble(0.29), -290000},
      {"refund", TLWValue::initWithDouble(9.99), -9990000},
      {"purchase", TLWValue::initWithInt64(3), 3000000},
      {"purchase", TLWValue::initWithDouble(1e13), std::nullopt},  // 1e19 micros
      {"purchase", TLWValue::initWithInt64(kMax / 1000000 + 1), std::nullopt},
      {"purchase", TLWValue::initWithDouble(std::nan("")), std::nullopt},
      {"purchase", TLWValue::initWithDouble(kInf), std::nullopt},
      {"refund", TLWValue::initWithDouble(-kInf), std::nullopt},
      {"_iap", TLWValue::initWithDouble(1234.9), 1234},
      {"_iap", TLWValue::initWithInt64(kMin), kMin},
      {"_iap", TLWValue::initWithDouble(9223372036854775808.0), std::nullopt},
      {"_iap", TLWValue::initWithDouble(-9223372036854775808.0), kMin},
      {"_iap", TLWValue::initWithDouble(std::nan("")), std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TLWLifetimeValueRecorder::amountForEvent(c.event, c.value), c.amount)
        << c.event << " " << c.value.asObject().description();
  }
  // Negating the smallest refund would overflow.
  EXPECT_EQ(TLWLifetimeValueRecorder::amountForEvent("refund", TLWValue::initWithDouble(-9223372036854.775808)),
            std::nullopt);
}

class LifetimeValueTest : public PipelineFixture {
 protected:
  std::map<std::string, std::int64_t> totals() {
    std::map<std::string, std::int64_t> out;
    drain();
    onWorker([&] {
      auto all = database->allLifetimeValueUserAttributes(nullptr);
      ASSERT_TRUE(all);
      for (const auto& a : *all) out[a->name()] = a->value().int64Value();
    });
    return out;
  }
  void purchase(const std::string& name, platform::Value currency, platform::Value value) {
    log(name, {{"currency", currency}, {"value", value}});
    drain();
    env->fakeClock()->advance(1);
  }
};

TEST_F(LifetimeValueTest, KeepsOneTotalPerCurrencyAndDropsTheOldestBeyondTheLimit) {
  settings->maxCurrencies = 2;
  purchase("purchase", "usd", 9.99);
  purchase("refund", "USD", 2.5);
  purchase("_iap", "EUR", std::int64_t{4000000});
  purchase("purchase", "US", 1.0);                        // bad currency: event kept, no total
  purchase("purchase", platform::Value(std::int64_t{840}), 1.0);
  purchase("purchase", "EUR", "ten");                     // bad value
  EXPECT_EQ(totals(), (std::map<std::string, std::int64_t>{{"_ltv_EUR", 4000000}, {"_ltv_USD", 7490000}}));
  EXPECT_EQ(logCount(22000), 2);
  EXPECT_EQ(logCount(22001), 1);

  purchase("purchase", "EUR", 1.0);  // EUR is now the newest, USD the least recently set
  purchase("purchase", "JPY", 100.0);
  EXPECT_EQ(totals(), (std::map<std::string, std::int64_t>{{"_ltv_EUR", 5000000}, {"_ltv_JPY", 100000000}}));
  EXPECT_EQ(storedNames().size(), 8u);
}

TEST_F(LifetimeValueTest, AValueThatDoesNotFitRollsBackTheEventAndKeepsTheTotal) {
  purchase("_iap", "USD", kMax - 10);
  ASSERT_EQ(totals()["_ltv_USD"], kMax - 10);
  const auto before = storedNames().size();

  purchase("_iap", "USD", std::int64_t{11});           // sum overflows
  purchase("purchase", "USD", std::nan(""));
  purchase("purchase", "USD", kInf);
  purchase("refund", "USD", 1e13);

  EXPECT_EQ(totals()["_ltv_USD"], kMax - 10);
  EXPECT_EQ(storedNames().size(), before) << "a refused purchase must not be stored";
  EXPECT_EQ(logCount(22002), 4);
  EXPECT_EQ(logCount(23053), 4);

  purchase("_iap", "USD", std::int64_t{10});  // up to the limit exactly is fine
  EXPECT_EQ(totals()["_ltv_USD"], kMax);
  EXPECT_EQ(storedNames().size(), before + 1);
}

// A store that cannot read the totals, drop the oldest or write the new one rolls the
// purchase back and leaves every total as it was.
TEST_F(LifetimeValueTest, AStoreFailureRollsThePurchaseBackAndKeepsTheTotals) {
  settings->maxCurrencies = 1;
  purchase("purchase", "EUR", 1.0);
  const auto before = totals();
  ASSERT_EQ(before.size(), 1u);
  struct Row {
    std::int64_t code;
    const char* breakage;
    const char* repair;
  };
  const Row rows[] = {
      {22003, "INSERT INTO user_attributes (name, set_timestamp, value, origin) VALUES ('_ltv_BAD', 0, X'00', 'auto')",
       "DELETE FROM user_attributes WHERE name = '_ltv_BAD'"},
      {22004, "CREATE TRIGGER no_delete BEFORE DELETE ON user_attributes BEGIN SELECT RAISE(ABORT, 'no'); END",
       "DROP TRIGGER no_delete"},
      {22005,
       "CREATE TRIGGER no_ltv BEFORE INSERT ON user_attributes WHEN substr(NEW.name, 1, 5) = '_ltv_' "
       "BEGIN SELECT RAISE(ABORT, 'no'); END",
       "DROP TRIGGER no_ltv"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.code);
    const auto stored = storedNames().size();
    onWorker([&] { ASSERT_TRUE(database->sqliteStore()->executeSQL(r.breakage, nullptr)); });
    purchase("purchase", "USD", 2.0);
    EXPECT_EQ(logCount(r.code), 1);
    EXPECT_EQ(storedNames().size(), stored) << "the purchase is not stored";
    onWorker([&] { ASSERT_TRUE(database->sqliteStore()->executeSQL(r.repair, nullptr)); });
    EXPECT_EQ(totals(), before);
  }
}

}  // namespace
}  // namespace pipeline_test
