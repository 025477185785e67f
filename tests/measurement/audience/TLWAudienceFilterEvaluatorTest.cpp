// Single filters against single values: every match type and comparison, exact decimals
// up to 38 digits, case folding beyond ASCII, broken and hostile expressions.

#include "measurement/audience/TLWAudienceFilterEvaluator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "measurement/model/TLWEventAggregates.h"
#include "measurement/model/TLWUserAttribute.h"
#include "platform/testing/TestEnvironment.h"
#include "tests/support/Logging.h"

namespace {

using Outcome = std::optional<bool>;
constexpr Outcome kNone = std::nullopt;

TLWStringFilterDefinition stringFilter(std::int32_t type, std::string expression, std::optional<bool> caseSensitive = {},
                                       std::vector<std::string> list = {}) {
  TLWStringFilterDefinition s;
  s.matchType = type;
  if (!expression.empty()) s.expression = std::move(expression);
  s.caseSensitive = caseSensitive;
  s.expressionList = std::move(list);
  return s;
}

TLWNumberFilterDefinition numberFilter(std::int32_t type, std::string value, std::string min = "", std::string max = "") {
  TLWNumberFilterDefinition n;
  n.comparisonType = type;
  if (!value.empty()) n.comparisonValue = std::move(value);
  if (!min.empty()) n.minComparisonValue = std::move(min);
  if (!max.empty()) n.maxComparisonValue = std::move(max);
  return n;
}

class TLWAudienceFilterEvaluatorTest : public ::testing::Test {
 protected:
  std::shared_ptr<tw_test_support::RecordingLogger> logger = std::make_shared<tw_test_support::RecordingLogger>();
  std::shared_ptr<platform::testing::TestEnvironment> env = platform::testing::TestEnvironment::create("com.test.audience");
  std::shared_ptr<TLWMonitor> monitor = TLWMonitor::initWithLogLevel(8, logger, kTLWLibraryNumericVersion, env);
  TLWAudienceFilterEvaluator evaluator{monitor};

  void SetUp() override { monitor->setLogLevel(8); }
  bool logged(std::int64_t code) {
    monitor->flush();
    return logger->hasCode(code);
  }
};

TEST_F(TLWAudienceFilterEvaluatorTest, StringMatchTypes) {
  struct Case {
    const char* what;
    TLWStringFilterDefinition filter;
    std::string value;
    Outcome expected;
  };
  const Case cases[] = {
      {"begins, folded", stringFilter(2, "abc"), "ABCdef", true},
      {"begins, case sensitive", stringFilter(2, "abc", true), "ABCdef", false},
      {"begins, case flag false", stringFilter(2, "abc", false), "ABCdef", true},
      {"ends", stringFilter(3, "DEF"), "abcdef", true},
      {"ends, longer expression", stringFilter(3, "xabcdef"), "abcdef", false},
      {"contains", stringFilter(4, "Cd"), "abcdef", true},
      {"contains, case sensitive", stringFilter(4, "Cd", true), "abcdef", false},
      {"exact", stringFilter(5, "Mage"), "mage", true},
      {"exact, prefix only", stringFilter(5, "mag"), "mage", false},
      {"in list, folded", stringFilter(6, "", {}, {"a", "B"}), "b", true},
      {"in list, no partial", stringFilter(6, "", {}, {"a", "B"}), "ab", false},
      {"in list, case sensitive", stringFilter(6, "", true, {"a", "B"}), "b", false},
      {"regex unanchored", stringFilter(1, "b"), "abc", true},
      {"regex folded", stringFilter(1, "^HE+RO$"), "heeero", true},
      {"regex case sensitive", stringFilter(1, "^HERO$", true), "hero", false},
      {"non-ASCII folding", stringFilter(5, "ÉLAN"), "élan", true},
      {"Greek sigma forms fold together", stringFilter(4, "ΣΟΦ"), "σοφία", true},
      {"sharp s folds to ss", stringFilter(2, "STRASSE"), "straße", true},
      {"exact compares UTF-16 lengths", stringFilter(5, "ss"), "ß", false},
      {"match type past the known ones", stringFilter(9, "x"), "x", false},
      {"no expression", stringFilter(2, ""), "x", kNone},
      {"in list without entries", stringFilter(6, ""), "x", kNone},
      {"unknown match type", stringFilter(0, "x"), "x", kNone},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(evaluator.evaluateStringFilter(c.filter, &c.value), c.expected) << c.what;
  }
  EXPECT_EQ(evaluator.evaluateStringFilter(stringFilter(2, "a"), nullptr), kNone);
  EXPECT_TRUE(logged(9005));
}

TEST_F(TLWAudienceFilterEvaluatorTest, NumberComparisons) {
  TLWFilterDefinition f;
  struct Case {
    const char* what;
    TLWNumberFilterDefinition filter;
    TLWValue value;
    Outcome expected;
  };
  const std::string big38 = "12345678901234567890123456789012345678";  // 38 digits
  const std::string big38Plus1 = "12345678901234567890123456789012345679";
  const Case cases[] = {
      {"between includes min", numberFilter(4, "", "1", "10"), TLWValue::initWithInt64(1), true},
      {"between includes max", numberFilter(4, "", "1", "10"), TLWValue::initWithInt64(10), true},
      {"between numeric string", numberFilter(4, "", "1", "10"), TLWValue::initWithString("10.0"), true},
      {"between above", numberFilter(4, "", "1", "10"), TLWValue::initWithString("10.0000000001"), false},
      {"1.0 equals 1", numberFilter(3, "1"), TLWValue::initWithString("1.0"), true},
      {"1 equals 1.0", numberFilter(3, "1.0"), TLWValue::initWithInt64(1), true},
      {"leading point", numberFilter(3, ".5"), TLWValue::initWithString("0.50"), true},
      {"signs", numberFilter(1, "-0.25"), TLWValue::initWithString("-.3"), true},
      {"less than", numberFilter(1, "5"), TLWValue::initWithInt64(4), true},
      {"greater than", numberFilter(2, "5"), TLWValue::initWithInt64(5), false},
      {"int64 max exactly", numberFilter(3, "9223372036854775807"), TLWValue::initWithInt64(INT64_MAX), true},
      {"int64 max above double", numberFilter(1, "9223372036854775807"), TLWValue::initWithInt64(INT64_MAX - 1), true},
      {"int64 min", numberFilter(3, "-9223372036854775808"), TLWValue::initWithInt64(INT64_MIN), true},
      {"38 digits equal", numberFilter(3, big38), TLWValue::initWithString(big38), true},
      {"38 digits differ in last", numberFilter(3, big38), TLWValue::initWithString(big38Plus1), false},
      {"38 digits ordered", numberFilter(1, big38Plus1), TLWValue::initWithString(big38), true},
      {"38 digit fraction", numberFilter(2, "0." + big38), TLWValue::initWithString("0." + big38Plus1), true},
      {"39 digits refused", numberFilter(3, big38 + "1"), TLWValue::initWithInt64(1), kNone},
      {"0.1 + 0.2 equals 0.3 as double", numberFilter(3, "0.3"), TLWValue::initWithDouble(0.1 + 0.2), true},
      {"double two steps away", numberFilter(3, "0.3"),
       TLWValue::initWithDouble(std::nextafter(std::nextafter(0.3, 1.0), 1.0)), false},
      {"double between", numberFilter(4, "", "-1.5", "+2"), TLWValue::initWithDouble(2.0), true},
      {"NaN", numberFilter(3, "1"), TLWValue::initWithDouble(std::nan("")), kNone},
      {"infinity", numberFilter(2, "1"), TLWValue::initWithDouble(std::numeric_limits<double>::infinity()), kNone},
      {"non-numeric string", numberFilter(3, "12"), TLWValue::initWithString("12abc"), kNone},
      {"array value", numberFilter(3, "1"), TLWValue::initWithArray(TLWValueArray{}), kNone},
      {"no comparison value", numberFilter(3, ""), TLWValue::initWithInt64(1), kNone},
      {"between missing max", numberFilter(4, "", "1"), TLWValue::initWithInt64(1), kNone},
      {"comparison value not numeric", numberFilter(3, "1e5"), TLWValue::initWithInt64(100000), kNone},
      {"unknown comparison type", numberFilter(7, "1"), TLWValue::initWithInt64(1), kNone},
  };
  for (const auto& c : cases) {
    f.numberFilter = c.filter;
    f.complement.reset();
    EXPECT_EQ(evaluator.evaluateFilter(f, c.value), c.expected) << c.what;
    // A complement inverts results but never makes "not evaluated" into one.
    f.complement = true;
    const Outcome inverted = c.expected ? Outcome(!*c.expected) : kNone;
    EXPECT_EQ(evaluator.evaluateFilter(f, c.value), inverted) << c.what << " (complement)";
  }
  EXPECT_TRUE(logged(7001));
  EXPECT_TRUE(logged(7002));
}

TEST_F(TLWAudienceFilterEvaluatorTest, InvalidAndHostileRegularExpressions) {
  const std::string value = "abc";
  EXPECT_EQ(evaluator.evaluateStringFilter(stringFilter(1, "(unclosed"), &value), kNone);
  EXPECT_TRUE(logged(9004));
  EXPECT_TRUE(logged(9006));
  TLWStringFilterDefinition invalid = stringFilter(1, "[z-a]");
  EXPECT_FALSE(evaluator.isValidStringFilter(invalid));

  // Exponential backtracking: without the time limit this match would take years.
  const std::string hostile = std::string(64, 'a') + "!";
  EXPECT_EQ(evaluator.evaluateStringFilter(stringFilter(1, "^(a+)+$"), &hostile), kNone);
  EXPECT_TRUE(logged(9009));
  // Timed out once: not run again until the definitions change.
  auto timeOuts = [&] {
    monitor->flush();
    return logger->count(9009);
  };
  EXPECT_EQ(evaluator.evaluateStringFilter(stringFilter(1, "^(a+)+$"), &hostile), kNone);
  EXPECT_EQ(timeOuts(), 1);
  evaluator.forgetPatterns();
  EXPECT_EQ(evaluator.evaluateStringFilter(stringFilter(1, "^(a+)+$"), &hostile), kNone);
  EXPECT_EQ(timeOuts(), 2);

  // A hundred distinct hostile patterns in one bundle, each running to the per-match limit
  // (several ms at least): the bundle's matching time runs out part of the way, one line
  // says so, and the rest are not run.
  evaluator.startBundle();
  const int patterns = 100;
  for (int i = 0; i < patterns; ++i) {
    EXPECT_EQ(evaluator.evaluateStringFilter(stringFilter(1, "^(a+)+$|z{" + std::to_string(i + 1) + "}"), &hostile),
              kNone);
  }
  EXPECT_LT(timeOuts() - 2, patterns);
  EXPECT_GT(timeOuts() - 2, 1);
}

TEST_F(TLWAudienceFilterEvaluatorTest, EventFilterSteps) {
  TLWEventFilterDefinition f;
  f.eventName = "level_up";
  auto aggregates = TLWEventAggregates::initWithName("level_up", 10, 1, 2, 0);
  const TLWParameters params{{"level", TLWValue::initWithInt64(7)}, {"hero", TLWValue::initWithString("Mage")}};
  EXPECT_EQ(evaluator.evaluateEventFilter(&f, "level_up", params, *aggregates), true);
  EXPECT_EQ(evaluator.evaluateEventFilter(&f, "other", params, *aggregates), kNone);
  EXPECT_EQ(evaluator.evaluateEventFilter(nullptr, "level_up", params, *aggregates), kNone);

  // Session-scoped count filters read the session count, not the lifetime count.
  f.countFilter = numberFilter(2, "2");
  f.sessionScoped = true;
  EXPECT_EQ(evaluator.evaluateEventFilter(&f, "level_up", params, *aggregates), false);
  f.sessionScoped = false;
  EXPECT_EQ(evaluator.evaluateEventFilter(&f, "level_up", params, *aggregates), true);

  TLWFilterDefinition hero;
  hero.paramName = "hero";
  hero.stringFilter = stringFilter(5, "mage");
  TLWFilterDefinition level;
  level.paramName = "level";
  level.numberFilter = numberFilter(2, "5");
  f.filters = {hero, level};
  EXPECT_EQ(evaluator.evaluateEventFilter(&f, "level_up", params, *aggregates), true);

  // A missing parameter is "not evaluated", not false.
  TLWFilterDefinition missing;
  missing.paramName = "gold";
  missing.numberFilter = numberFilter(2, "5");
  f.filters = {missing};
  EXPECT_EQ(evaluator.evaluateEventFilter(&f, "level_up", params, *aggregates), kNone);
  EXPECT_TRUE(logged(7009));
  // A string parameter needs a string filter.
  TLWFilterDefinition heroAsNumber;
  heroAsNumber.paramName = "hero";
  heroAsNumber.numberFilter = numberFilter(2, "5");
  f.filters = {heroAsNumber};
  EXPECT_EQ(evaluator.evaluateEventFilter(&f, "level_up", params, *aggregates), kNone);
  EXPECT_TRUE(logged(7010));
}

TEST_F(TLWAudienceFilterEvaluatorTest, PropertyFilterSteps) {
  TLWPropertyFilterDefinition f;
  f.propertyName = "tier";
  auto gold = TLWUserAttribute::initWithOrigin("app", "tier", TLWValue::initWithString("Gold"), 1);
  EXPECT_EQ(evaluator.evaluatePropertyFilter(&f, gold.get()), kNone);  // no filter
  f.filter = TLWFilterDefinition{};
  f.filter->stringFilter = stringFilter(5, "gold");
  EXPECT_EQ(evaluator.evaluatePropertyFilter(&f, gold.get()), true);
  auto other = TLWUserAttribute::initWithOrigin("app", "rank", TLWValue::initWithString("Gold"), 1);
  EXPECT_EQ(evaluator.evaluatePropertyFilter(&f, other.get()), kNone);
  EXPECT_EQ(evaluator.evaluatePropertyFilter(&f, nullptr), kNone);
}

}  // namespace
