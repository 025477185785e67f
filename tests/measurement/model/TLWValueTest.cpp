#include "measurement/model/TLWValue.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <unordered_set>

#include "platform/testing/LogCapture.h"
#include "tests/measurement/model/ModelTestUtil.h"

using platform::Dictionary;
using platform::Value;

TEST(TLWValueFromObject, NumbersKeepTheirKind) {
  struct Case {
    const char* label;
    Value in;
    std::int64_t type;
    std::int64_t i;
    double d;
  };
  const Case cases[] = {
      {"true", Value(true), 1, 1, 0},
      {"false", Value(false), 1, 0, 0},
      {"3.0 stays a double", Value(3.0), 0, 0, 3.0},
      {"int64 min", Value(std::numeric_limits<long long>::min()), 1, std::numeric_limits<std::int64_t>::min(), 0},
      {"uint64 max clamps", Value(std::numeric_limits<unsigned long long>::max()), 1,
       std::numeric_limits<std::int64_t>::max(), 0},
      {"infinity", Value(std::numeric_limits<double>::infinity()), 0, 0, std::numeric_limits<double>::infinity()},
  };
  for (const auto& c : cases) {
    auto v = TLWValue::valueFromObject(c.in);
    ASSERT_TRUE(v) << c.label;
    EXPECT_EQ(v->valueType(), c.type) << c.label;
    EXPECT_EQ(v->int64Value(), c.i) << c.label;
    EXPECT_EQ(v->doubleValue(), c.d) << c.label;
  }
  auto nan = TLWValue::valueFromObject(Value(std::nan("")));
  ASSERT_TRUE(nan);
  EXPECT_TRUE(nan->isDouble());
  EXPECT_TRUE(std::isnan(nan->doubleValue()));
}

TEST(TLWValueFromObject, RefusesWhatItCannotHold) {
  platform::testing::LogCapture quiet;
  EXPECT_FALSE(TLWValue::valueFromObject(Value()));
  EXPECT_FALSE(TLWValue::valueFromObject(Value::data("abc")));
  EXPECT_FALSE(TLWValue::valueFromObject(Value::date(5)));
  EXPECT_FALSE(TLWValue::valueFromObject(Value(Dictionary{{"a", 1}})));
  EXPECT_FALSE(TLWValue::valueFromObject(Value::array({Dictionary{}})));
  EXPECT_FALSE(TLWValue::initWithString(Value()));
  EXPECT_FALSE(TLWValue::initWithString(Value(5)));
  EXPECT_FALSE(TLWValue::initWithArray(Value()));
  EXPECT_FALSE(TLWValue::initWithArray(Value("x")));

  TLWValue s = TLWValue::initWithString("hero");
  auto same = TLWValue::valueFromObject(s.asObject());
  ASSERT_TRUE(same);
  EXPECT_EQ(*same, s);
}

TEST(TLWValueAccessors, NeverConvertBetweenTypes) {
  TLWValue i = TLWValue::initWithInt64(5);
  TLWValue d = TLWValue::initWithDouble(5.0);
  EXPECT_NE(i, d);
  EXPECT_EQ(i.doubleValue(), 0.0);
  EXPECT_EQ(d.int64Value(), 0);
  EXPECT_EQ(i.stringValue(), nullptr);
  EXPECT_EQ(i.arrayValue(), nullptr);
  EXPECT_EQ(i, TLWValue::initWithInt64(5));
  EXPECT_EQ(i.hash(), TLWValue::initWithInt64(5).hash());
  EXPECT_EQ(TLWValue::initWithDouble(0.0).hash(), TLWValue::initWithDouble(-0.0).hash());
  std::unordered_set<TLWValue> set{i, d, TLWValue::initWithString("5")};
  EXPECT_EQ(set.size(), 3u);
  EXPECT_EQ(d.description(), "5");
  EXPECT_EQ(TLWValue::initWithDouble(9.99).description(), "9.99");

  // A value made unchecked answers only when type and payload agree.
  TLWValue odd = TLWValue::initWithValueType(TLWValue::kTypeString, std::int64_t{7});
  EXPECT_FALSE(odd.isWellFormed());
  EXPECT_EQ(odd.stringValue(), nullptr);
  EXPECT_EQ(odd.int64Value(), 0);
  EXPECT_FALSE(TLWValue::initWithValueType(11, 1.0).isWellFormed());
  EXPECT_TRUE(TLWValue::initWithValueType(TLWValue::kTypeDouble, 1.0).isWellFormed());
}

TEST(TLWValueStrings, InvalidUTF8IsReplacedSoTheValueIsAlwaysText) {
  TLWValue v = TLWValue::initWithString(std::string_view("a\xFF\xC3", 3));
  ASSERT_TRUE(v.stringValue());
  EXPECT_TRUE(platform::utf8::isValid(*v.stringValue()));
  EXPECT_EQ(platform::utf8::codePointCount(*v.stringValue()), 3u);
  TLWValue nul = TLWValue::initWithString(std::string_view("a\0b", 3));
  EXPECT_EQ(nul.stringValue()->size(), 3u);  // embedded NUL kept, nothing cut
}

TEST(TLWValueArrays, CopiesOnlyParameterDictionaries) {
  Value nestedTooDeep = Value::array({Dictionary{{"deep", Value::array({Dictionary{{"x", 1}}})}}});
  Value in = Value::array({
      Dictionary{{"item_id", "a"}, {Value(3), "non-string key"}, {"when", Value::date(1)}, {"n", nestedTooDeep}},
      Value("not a dictionary"),
      Dictionary{{"price", 2.5}},
  });
  auto v = TLWValue::initWithArray(in);
  ASSERT_TRUE(v);
  const TLWValueArray* a = v->arrayValue();
  ASSERT_TRUE(a);
  ASSERT_EQ(a->size(), 2u);
  EXPECT_EQ(model_test::stringParam((*a)[0], "item_id"), "a");
  EXPECT_EQ((*a)[0].count("when"), 0u);
  ASSERT_EQ((*a)[0].count("n"), 1u);
  // One level of nesting is copied, the one below is not.
  const TLWValueArray* inner = (*a)[0].at("n").arrayValue();
  ASSERT_TRUE(inner);
  ASSERT_EQ(inner->size(), 1u);
  EXPECT_EQ((*inner)[0].count("deep"), 0u);
  EXPECT_EQ((*a)[1].at("price").doubleValue(), 2.5);

  // Back to plain objects: arrays inside elements are left out.
  Value plain = v->plainObject();
  ASSERT_TRUE(plain.array());
  EXPECT_EQ(plain.array()->size(), 2u);
  const Dictionary* first = plain.array()->at(0).dictionary();
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->contains("item_id"));
  EXPECT_FALSE(first->contains("n"));
}
