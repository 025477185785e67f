#include "platform/Value.h"

#include <gtest/gtest.h>

#include <thread>

#include <cmath>
#include <limits>

using platform::Array;
using platform::Dictionary;
using platform::Value;

TEST(ValueTest, NumbersRememberTheirKindAndCompareAcrossKinds) {
  EXPECT_EQ(Value(true).kind(), Value::Kind::Bool);
  EXPECT_EQ(Value(5).kind(), Value::Kind::Int);
  EXPECT_EQ(Value(5u).kind(), Value::Kind::UInt);
  EXPECT_EQ(Value(5.0).kind(), Value::Kind::Double);

  EXPECT_EQ(Value(1), Value(1.0));
  EXPECT_EQ(Value(1), Value(true));
  EXPECT_EQ(Value(7u), Value(7));
  EXPECT_NE(Value(-1), Value(std::numeric_limits<std::uint64_t>::max()));
  EXPECT_NE(Value(1), Value(1.5));
  EXPECT_NE(Value(std::nan("")), Value(std::nan("")));
  // 2^63 is not representable as int64: no overflow, no false equality.
  EXPECT_NE(Value(std::numeric_limits<std::int64_t>::max()), Value(9223372036854775808.0));
  EXPECT_EQ(Value(std::uint64_t{1} << 63), Value(9223372036854775808.0));
  // A double that rounds an int64 must not compare equal to it.
  EXPECT_NE(Value(std::int64_t{9007199254740993}), Value(9007199254740992.0));
  EXPECT_TRUE(Value(-3).compareNumber(Value(2u)) < 0);
  EXPECT_TRUE(Value(2.5).compareNumber(Value(2)) > 0);
  EXPECT_EQ(Value("1").compareNumber(Value(1)), std::partial_ordering::unordered);
}

TEST(ValueTest, ConversionsSaturateInsteadOfOverflowing) {
  EXPECT_EQ(*Value(1e300).int64Value(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(*Value(-1e300).int64Value(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(*Value(std::nan("")).int64Value(), 0);
  EXPECT_EQ(*Value(-5).uint64Value(), 0u);
  EXPECT_EQ(*Value(std::numeric_limits<std::uint64_t>::max()).int64Value(),
            std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(*Value(1e30).uint64Value(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_FALSE(Value("x").int64Value().has_value());
  EXPECT_EQ(*Value(3.9).int64Value(), 3);
}

TEST(ValueTest, DictionariesKeepInsertionOrderAndReplaceInPlace) {
  Dictionary d{{"level", 5}, {"hero", "mage"}, {"level", 6}};
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(*d.at(0).first.string(), "level");
  EXPECT_EQ(d["level"], Value(6));
  d.set("alpha", 1);
  EXPECT_EQ(d.stringKeys(), (std::vector<std::string>{"level", "hero", "alpha"}));
  EXPECT_TRUE(d.erase("hero"));
  EXPECT_FALSE(d.erase("hero"));
  EXPECT_TRUE(d["missing"].isNull());
  // Non-string keys are kept and found by value.
  d.set(Value(42), "answer");
  ASSERT_NE(d.findKey(Value(42.0)), nullptr);
  EXPECT_EQ(*d.findKey(Value(42))->string(), "answer");
  // Equality ignores order.
  Dictionary a{{"x", 1}, {"y", 2}}, b{{"y", 2.0}, {"x", 1}};
  EXPECT_EQ(a, b);
}

TEST(ValueTest, CopiesSharePayloadsAndContainersCompareDeeply) {
  Value nested = Dictionary{{"items", Value::array({1, "two", Dictionary{{"three", 3.0}}})}};
  Value copy = nested;
  EXPECT_EQ(copy.dictionary(), nested.dictionary());  // same payload, no deep copy
  Value other = Dictionary{{"items", Value::array({1, "two", Dictionary{{"three", 3}}})}};
  EXPECT_EQ(nested, other);
  EXPECT_NE(Value("a"), Value::url("a"));
  EXPECT_NE(Value::data("ab"), Value("ab"));
  EXPECT_EQ(Value::data("ab"), Value::data(std::string_view("ab")));
  EXPECT_EQ(Value::date(5), Value::date(5));
  EXPECT_TRUE(Value(nullptr).isNull());
}

TEST(ValueTest, StringsHeldInPlaceOrSharedBehaveAlike) {
  // 15 bytes are held in the value, 16 in a shared payload; a copy or a move of either
  // keeps its text, and each reads, compares and keys a dictionary the same way.
  for (const std::string& text : {std::string(), std::string(15, 'k'), std::string(16, 'k'), std::string(300, 'k')}) {
    SCOPED_TRACE(text.size());
    Value original(text);
    Value copy = original;
    Value moved = std::move(copy);
    for (const Value* v : {&original, &moved}) {
      EXPECT_TRUE(v->isString());
      ASSERT_TRUE(v->string());
      EXPECT_EQ(*v->string(), text);
      EXPECT_EQ(*v, Value(std::string_view(text)));
      EXPECT_EQ(*v, Value(text.c_str()));
    }
    Dictionary d{{Value(text), 1}};
    d.set(moved, 2);
    EXPECT_EQ(d.size(), 1u);
    EXPECT_EQ(d.get(text), Value(2));
    EXPECT_NE(original, Value(text + "x"));
  }
}

// An array holding a dictionary holding an array... `depth` levels deep, `leaf` at the bottom.
Value nestedValue(int depth, Value leaf) {
  Value v = std::move(leaf);
  for (int i = 0; i < depth; ++i) v = i % 2 ? Value::array({v}) : Value(Dictionary{{"k", v}});
  return v;
}

TEST(ValueTest, ValuesNestedFarDeeperThanAnyStackAreComparedDescribedAndReleased) {
  constexpr int kDepth = 1'000'000;
  Value a = nestedValue(kDepth, 1);
  Value b = nestedValue(kDepth, 1.0);
  Value c = nestedValue(kDepth, 2);
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a == c);
  EXPECT_TRUE(*a.array() == *b.array());
  EXPECT_FALSE(*a.array() == *c.array());
  EXPECT_LT(a.description().size(), 1024u);
  // Released on another thread, whose stack is smaller than the main thread's.
  std::thread([a = std::move(a), b = std::move(b), c = std::move(c)]() mutable {
    a = Value();
    b = Value();
    c = Value();
  }).join();
  // A release that starts while another is under way on the same thread is deferred, not lost.
  Value wide = Value::array({nestedValue(kDepth, 3), nestedValue(kDepth, 4), Dictionary{{"x", nestedValue(10, 5)}}});
  wide = Value();
  EXPECT_TRUE(wide.isNull());
}

TEST(ValueTest, DescriptionIsReadable) {
  Value v = Dictionary{{"level", 5}, {"hero", "dark mage"}, {"ok", true}, {"list", Value::array({1.5, Value()})}};
  EXPECT_EQ(v.description(), "{level = 5; hero = \"dark mage\"; ok = true; list = (1.5, (null));}");
  EXPECT_EQ(Value::data("\x01\xff").description(), "<01ff>");
}

struct Widget : platform::ValueObject {
  std::string className() const override { return "Widget"; }
};

TEST(ValueTest, CarriesLibraryObjects) {
  auto w = std::make_shared<Widget>();
  Value v(w);
  EXPECT_TRUE(v.isObject());
  EXPECT_EQ(v.objectAs<Widget>(), w);
  EXPECT_EQ(v, Value(w));
  EXPECT_NE(v, Value(std::make_shared<Widget>()));
  EXPECT_EQ(v.description().rfind("<Widget 0x", 0), 0u);
  EXPECT_TRUE(Value(std::shared_ptr<Widget>()).isNull());
}

TEST(Utf8Test, CountsCodePointsAndUtf16UnitsOfAnyBytes) {
  EXPECT_EQ(platform::utf8::codePointCount("héllo"), 5u);
  EXPECT_EQ(platform::utf8::codePointCount("\xF0\x9F\x98\x80"), 1u);  // emoji
  EXPECT_EQ(platform::utf8::utf16Length("\xF0\x9F\x98\x80"), 2u);    // surrogate pair
  EXPECT_EQ(platform::utf8::utf16Length("ab\xF0\x9F\x98\x80" "c"), 5u);  // after an ASCII run
  EXPECT_EQ(platform::utf8::codePointCount("plain ascii"), 11u);
  EXPECT_EQ(platform::utf8::codePointCount("e\xCC\x81"), 2u);          // combining mark
  EXPECT_EQ(platform::utf8::codePointCount(std::string("a\0b", 3)), 3u);
  // Invalid bytes count one each and are replaced when sanitised.
  EXPECT_FALSE(platform::utf8::isValid("a\xFF\xC3"));
  EXPECT_EQ(platform::utf8::codePointCount("a\xFF\xC3"), 3u);
  EXPECT_EQ(platform::utf8::sanitize("a\xFF"), "a\xEF\xBF\xBD");
  EXPECT_FALSE(platform::utf8::isValid("\xED\xA0\x80"));  // encoded surrogate
  EXPECT_FALSE(platform::utf8::isValid("\xC0\x80"));      // overlong NUL
  EXPECT_EQ(platform::utf8::prefix("h\xC3\xA9llo", 2), "h\xC3\xA9");
  EXPECT_EQ(platform::utf8::prefix("ab", 10), "ab");
}
