#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <string>

#include "measurement/model/TLWDataTypeValidator.h"
#include "measurement/model/TLWEvent.h"
#include "measurement/model/TLWLimits.h"
#include "platform/testing/LogCapture.h"
#include "tests/measurement/model/ModelTestUtil.h"

using V = TLWDataTypeValidator;
using model_test::find;
using model_test::intParam;
using model_test::repeat;
using model_test::stringParam;
using platform::Dictionary;
using platform::Value;

namespace {

const std::string kEmoji = "\xF0\x9F\x98\x80";

Value items(std::size_t n) {
  platform::Array a;
  for (std::size_t i = 0; i < n; ++i) a.push_back(Dictionary{{"item_id", Value("sku" + std::to_string(i))}});
  return Value(std::move(a));
}

}  // namespace

TEST(TLWSanitizer, KeepsValidParametersAndConvertsThem) {
  Dictionary in{{"level", 5}, {"hero", "mage"}, {"score", 3.5}, {"won", true}, {"big", Value(UINT64_MAX)}};
  TLWParameters out = V::sanitizeParameters(in, "level_up", true, false);
  ASSERT_EQ(out.size(), 5u);
  EXPECT_EQ(intParam(out, "level"), 5);
  EXPECT_EQ(stringParam(out, "hero"), "mage");
  EXPECT_TRUE(find(out, "score")->isDouble());
  EXPECT_EQ(find(out, "score")->doubleValue(), 3.5);
  EXPECT_EQ(intParam(out, "won"), 1);
  EXPECT_EQ(intParam(out, "big"), INT64_MAX);  // clamped, not wrapped to -1
  EXPECT_EQ(find(out, "_err"), nullptr);
  EXPECT_TRUE(V::sanitizeParameters(Dictionary{}, "e", true, false).empty());
}

TEST(TLWSanitizer, DropsInvalidEntriesAndRecordsTheFirstError) {
  struct Case {
    const char* label;
    Dictionary in;
    std::int64_t err;  // -999: no error parameters
    std::string ev;
    std::int64_t el;  // -999: no "_el"
  };
  const std::string name41 = repeat("n", 41);
  const Case cases[] = {
      {"101 code points", {{"msg", repeat(kEmoji, 101)}, {"ok", 1}}, 4, "msg", 101},
      {"100 code points kept", {{"msg", repeat(kEmoji, 100)}}, -999, "<absent>", -999},
      {"reserved prefix", {{"tarnwick_x", 1}}, 14, "tarnwick_x", -999},
      {"bad first character", {{"_c", 1}}, 3, "_c", -999},
      {"long name", {{name41, 1}}, 3, repeat("n", 40) + "...", 41},
      {"non-string key", {{Value(7), 1}}, 3, "int", -999},
      {"empty name", {{"", 1}}, 3, "", -999},
      {"unsupported value types", {{"d", Value::date(1)}, {"n", Value()}, {"m", Dictionary{{"a", 1}}}}, -999,
       "<absent>", -999},
      {"first error wins", {{"tarnwick_x", 1}, {"msg", repeat("m", 300)}}, 14, "tarnwick_x", -999},
      {"array on non-ecommerce event", {{"items", items(2)}}, 21, "level_up", -999},
  };
  for (const auto& c : cases) {
    TLWParameters out = V::sanitizeParameters(c.in, "level_up", true, false);
    EXPECT_EQ(intParam(out, "_err"), c.err) << c.label;
    EXPECT_EQ(stringParam(out, "_ev"), c.ev) << c.label;
    EXPECT_EQ(intParam(out, "_el"), c.el) << c.label;
    for (const auto& [key, value] : out) {
      if (key[0] == '_') continue;
      EXPECT_TRUE(V::isValidPublicEventParameterName(key)) << c.label << " kept " << key;
      EXPECT_TRUE(V::isValidPublicEventParameterValue(value)) << c.label << " kept " << key;
    }
  }
  // Every key dropped: only the error parameters remain.
  TLWParameters out = V::sanitizeParameters(Dictionary{{"lq_a", 1}, {"1b", 2}}, "e", true, false);
  EXPECT_EQ(out.size(), 2u);
  EXPECT_EQ(intParam(out, "_err"), 14);
}

TEST(TLWSanitizer, InternalCallersAndTheirErrorValue) {
  // Internal parameters are allowed without the public flag, values up to 256.
  Dictionary in{{"_sn", "Menu"}, {"_si", 42}, {"long", repeat("x", 256)}, {"longer", repeat("x", 257)}};
  TLWParameters out = V::sanitizeParameters(in, "_vs", false, false);
  EXPECT_EQ(stringParam(out, "_sn"), "Menu");
  EXPECT_EQ(intParam(out, "_si"), 42);
  EXPECT_TRUE(find(out, "long"));
  EXPECT_FALSE(find(out, "longer"));
  EXPECT_EQ(intParam(out, "_err"), 4);
  EXPECT_EQ(intParam(out, "_el"), 257);

  // "_ev" longer than 256 is cut and its length kept.
  out = V::sanitizeParameters(Dictionary{{"_err", 2}, {"_ev", repeat(kEmoji, 300)}}, "_err", false, false);
  EXPECT_EQ(stringParam(out, "_ev"), repeat(kEmoji, 256) + "...");
  EXPECT_EQ(intParam(out, "_el"), 300);
  EXPECT_EQ(intParam(out, "_err"), 2);
  // An already cut value passes unchanged.
  const std::string cut = repeat("e", 256) + "...";
  out = V::sanitizeParameters(Dictionary{{"_ev", cut}}, "_err", false, false);
  EXPECT_EQ(stringParam(out, "_ev"), cut);
  EXPECT_FALSE(find(out, "_el"));
  // A caller's own error is not overwritten by a drop.
  out = V::sanitizeParameters(Dictionary{{"bad name", 1}, {"_err", 8}}, "e", false, false);
  EXPECT_EQ(intParam(out, "_err"), 8);
  EXPECT_FALSE(find(out, "_ev"));
}

TEST(TLWSanitizer, CountLimitKeepsTheLowestCustomNames) {
  Dictionary in;
  for (int i = 0; i < 30; ++i) in.set(Value("p" + std::string(i < 10 ? "0" : "") + std::to_string(i)), i);
  in.set(Value("_c"), 1);
  in.set(Value("_r"), 1);
  TLWParameters out = V::sanitizeParameters(in, "_e", false, false);
  EXPECT_EQ(intParam(out, "_err"), 5);
  EXPECT_TRUE(find(out, "_c"));
  EXPECT_TRUE(find(out, "_r"));
  for (int i = 0; i < 30; ++i) {
    std::string key = "p" + std::string(i < 10 ? "0" : "") + std::to_string(i);
    EXPECT_EQ(find(out, key) != nullptr, i < 25) << key;
  }
  // Exactly at the limit: nothing removed, no error.
  Dictionary at;
  for (int i = 0; i < 25; ++i) at.set(Value("q" + std::to_string(i)), i);
  out = V::sanitizeParameters(at, "e", true, false);
  EXPECT_EQ(out.size(), 25u);
  EXPECT_FALSE(find(out, "_err"));

  // The configured limit is read at each call.
  struct Limits : TLWLimits {
    std::int32_t maxPublicEventParams() const override { return 27; }
  };
  TLWLimits::setCurrent(std::make_shared<Limits>());
  out = V::sanitizeParameters(in, "_e", false, false);
  TLWLimits::setCurrent(nullptr);
  std::size_t custom = 0;
  for (const auto& [k, v] : out) custom += V::isCustomParameterName(k) ? 1 : 0;
  EXPECT_EQ(custom, 27u);
  EXPECT_EQ(TLWLimits::current()->maxPublicEventParams(), 25);
}

TEST(TLWSanitizer, ArrayParameters) {
  // 250 items on "purchase": first 200 kept, error 17.
  TLWParameters out = V::sanitizeParameters(Dictionary{{"items", items(250)}}, "purchase", true, false);
  const TLWValueArray* a = find(out, "items")->arrayValue();
  ASSERT_TRUE(a);
  ASSERT_EQ(a->size(), 200u);
  EXPECT_EQ(stringParam((*a)[199], "item_id"), "sku199");
  EXPECT_EQ(intParam(out, "_err"), 17);
  EXPECT_EQ(stringParam(out, "_ev"), "items");

  out = V::sanitizeParameters(Dictionary{{"goods", items(1)}}, "purchase", true, false);
  EXPECT_FALSE(find(out, "goods"));
  EXPECT_EQ(intParam(out, "_err"), 20);
  EXPECT_EQ(stringParam(out, "_ev"), "goods");

  // Items: a non-dictionary is left out, custom names removed, nested arrays refused.
  Dictionary item{{"item_id", "a"}, {"colour", "red"}, {"price", 2.5}};
  Dictionary nested{{"item_id", "b"}, {"items", items(1)}};
  Value list = Value(platform::Array{Value(item), Value("junk"), Value(nested)});
  out = V::sanitizeParameters(Dictionary{{"items", list}, {"value", 9}}, "purchase", true, false);
  a = find(out, "items")->arrayValue();
  ASSERT_TRUE(a);
  ASSERT_EQ(a->size(), 2u);
  EXPECT_EQ(stringParam((*a)[0], "item_id"), "a");
  EXPECT_FALSE(find((*a)[0], "colour"));
  EXPECT_TRUE(find((*a)[0], "price"));
  EXPECT_EQ(intParam((*a)[0], "_err"), 23);
  EXPECT_FALSE(find((*a)[1], "items"));
  EXPECT_EQ(intParam((*a)[1], "_err"), 22);
  EXPECT_EQ(stringParam((*a)[1], "_ev"), "items");
  EXPECT_EQ(intParam(out, "_err"), 4);
  EXPECT_EQ(stringParam(out, "_ev"), "items[1]");

  // An array that arrives already wrapped obeys the same rules.
  auto wrapped = TLWValue::valueFromObject(items(3), true);
  ASSERT_TRUE(wrapped);
  out = V::sanitizeParameters(Dictionary{{"items", wrapped->asObject()}}, "level_up", false, false);
  EXPECT_FALSE(find(out, "items"));
  EXPECT_EQ(intParam(out, "_err"), 21);
  out = V::sanitizeParameters(Dictionary{{"items", wrapped->asObject()}}, "purchase", false, false);
  ASSERT_TRUE(find(out, "items"));
  EXPECT_EQ(find(out, "items")->arrayValue()->size(), 3u);
}

TEST(TLWSanitizer, ValueAndCurrency) {
  struct Case {
    const char* label;
    TLWParameters in;
    bool passes;
    std::int64_t err;
    std::string ev;
    bool keepsValue;
  };
  const Case cases[] = {
      {"no value", {{"currency", model_test::str("USD")}}, true, -999, "<absent>", false},
      {"value and currency", {{"value", model_test::i64(3)}, {"currency", model_test::str("usd")}}, true, -999,
       "<absent>", true},
      {"value not numeric", {{"value", model_test::str("3")}, {"currency", model_test::str("USD")}}, false, 18,
       "value", false},
      {"currency missing", {{"value", TLWValue::initWithDouble(9.99)}}, false, 19, "currency", false},
      {"currency invalid", {{"value", model_test::i64(1)}, {"currency", model_test::str("US1")}}, false, 19,
       "currency", false},
  };
  for (auto c : cases) {
    EXPECT_EQ(V::isValidValueAndCurrency(c.in), c.passes) << c.label;
    EXPECT_EQ(intParam(c.in, "_err"), c.err) << c.label;
    EXPECT_EQ(stringParam(c.in, "_ev"), c.ev) << c.label;
    EXPECT_EQ(find(c.in, "value") != nullptr, c.keepsValue) << c.label;
  }
}

// ---------------------------------------------------------------------------------------
// Random names and value trees never crash the sanitizer and never yield a parameter that
// fails validation.

namespace {

class Generator {
 public:
  explicit Generator(std::uint32_t seed) : rng_(seed) {}

  std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

  std::string text() {
    static const char* const kPieces[] = {
        "a", "Z", "_", "7", " ", "-", "\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", "\xCC\x81", "\xD9\xA3",
        "\xFF", "\xC3", "\xED\xA0\x80", "tarnwick_", "lq_", "...", "+lmn",
        "\xF0\x9D\x90\x80"};
    std::size_t length;
    switch (below(6)) {
      case 0: length = 0; break;
      case 1: length = 35 + below(10); break;
      case 2: length = 95 + below(170); break;
      default: length = 1 + below(12); break;
    }
    std::string s;
    for (std::size_t i = 0; i < length; ++i) {
      std::size_t k = below(std::size(kPieces) + 1);
      if (k == std::size(kPieces)) {
        s.push_back('\0');
      } else {
        s += kPieces[k];
      }
    }
    return s;
  }

  std::string name() {
    static const char* const kNames[] = {"items", "value", "currency", "item_id", "price", "_ev", "_err", "_el",
                                         "_c",    "_o",    "level",    "score",   "first_open"};
    return below(3) == 0 ? kNames[below(std::size(kNames))] : text();
  }

  Value key() {
    switch (below(12)) {
      case 0: return Value(static_cast<long long>(below(100)));
      case 1: return Value();
      default: return Value(name());
    }
  }

  Value value(int depth) {
    switch (below(depth < 3 ? 16 : 13)) {
      case 0: return Value(below(2) == 0);
      case 1: return Value(std::numeric_limits<long long>::min());
      case 2: return Value(std::numeric_limits<long long>::max());
      case 3: return Value(std::numeric_limits<unsigned long long>::max());
      case 4: return Value(std::nan(""));
      case 5: return Value(-std::numeric_limits<double>::infinity());
      case 6: return Value(std::ldexp(1.0, 70));
      case 7: return Value();
      case 8: return Value::date(1);
      case 9: return TLWValue::initWithString(text()).asObject();
      case 10: return TLWValue::initWithValueType(static_cast<std::int64_t>(below(5)), 1.5).asObject();
      case 11:
      case 12: return Value(text());
      case 13: return Value(dictionary(depth + 1));
      default: {
        platform::Array a;
        // Long arrays only at the top, so a tree stays small.
        std::size_t n = depth == 0 && below(5) == 0 ? 195 + below(20) : below(4);
        for (std::size_t i = 0; i < n; ++i) a.push_back(below(8) == 0 ? value(depth + 1) : Value(dictionary(depth + 1)));
        return Value(std::move(a));
      }
    }
  }

  Dictionary dictionary(int depth) {
    Dictionary d;
    std::size_t n = below(depth == 0 ? 40 : 6);
    for (std::size_t i = 0; i < n; ++i) d.set(key(), value(depth));
    return d;
  }

 private:
  std::mt19937 rng_;
};

void expectClean(const TLWParameters& params, std::string_view eventName, bool isPublic, bool isElement,
                 const std::string& where) {
  std::size_t custom = 0;
  for (const auto& [key, value] : params) {
    EXPECT_TRUE(V::isValidInternalEventParameterName(key)) << where << " key";
    if (isPublic && V::isCustomParameterName(key)) {
      EXPECT_TRUE(V::isValidPublicEventParameterName(key)) << where;
    }
    if (key == "_ev" && value.stringValue()) {
      // An error value keeps its "..." mark beyond the ordinary limit.
      EXPECT_LE(platform::utf8::codePointCount(*value.stringValue()), 259u) << where;
    } else {
      EXPECT_TRUE(V::isValidInternalEventParameterValue(value)) << where << " " << key;
    }
    if (const std::string* s = value.stringValue()) {
      EXPECT_TRUE(platform::utf8::isValid(*s)) << where << " " << key;
    }
    if (isPublic && V::isCustomParameterName(key)) {
      EXPECT_TRUE(V::isValidPublicEventParameterValue(value)) << where;
    }
    if (V::isCustomParameterName(key)) ++custom;
    if (isElement) {
      EXPECT_TRUE(!V::isCustomParameterName(key) || V::isItemParameterName(key)) << where << " " << key;
    }
    if (const TLWValueArray* items = value.arrayValue()) {
      EXPECT_FALSE(isElement) << where << " nested array " << key;
      EXPECT_EQ(key, "items") << where;
      EXPECT_TRUE(V::isEcommerceEventName(eventName)) << where;
      EXPECT_LE(items->size(), 200u) << where;
      for (const auto& item : *items) expectClean(item, eventName, isPublic, true, where + "/items");
    } else {
      EXPECT_TRUE(value.isWellFormed()) << where << " " << key;
    }
  }
  if (!isElement) {
    EXPECT_LE(custom, 25u) << where;
  }
}

}  // namespace

TEST(TLWSanitizerProperty, RandomInputNeverYieldsAnInvalidParameter) {
  platform::testing::LogCapture quiet;  // keeps the expected failure messages off the console
  Generator gen(20261206);
  const char* const kEvents[] = {"purchase", "level_up", "_vs", "view_item_list", "add_to_cart"};
  for (int round = 0; round < 600; ++round) {
    Dictionary in = gen.dictionary(0);
    const std::string eventName = kEvents[gen.below(std::size(kEvents))];
    const bool isPublic = eventName[0] != '_' && gen.below(2) == 0;
    TLWParameters out = V::sanitizeParameters(in, eventName, isPublic, false);
    expectClean(out, eventName, isPublic, false, "round " + std::to_string(round));

    auto event = TLWEvent::initWithOrigin("app", isPublic, eventName, 1000.0 + round, 0, in);
    ASSERT_TRUE(event) << "round " << round;
    EXPECT_EQ(model_test::stringParam(event->parameters(), "_o"), "app");
    // Sanitizing again changes nothing (compared by description, as NaN never equals itself).
    auto again = event->copy();
    ASSERT_TRUE(again);
    EXPECT_EQ(TLWParametersDescription(again->parameters()), TLWParametersDescription(event->parameters()))
        << "round " << round;
    if (::testing::Test::HasFailure()) break;
  }
}
