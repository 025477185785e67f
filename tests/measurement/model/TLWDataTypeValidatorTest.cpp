#include "measurement/model/TLWDataTypeValidator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "measurement/monitor/TLWMonitor.h"
#include "platform/testing/LogCapture.h"
#include "tests/measurement/model/ModelTestUtil.h"

using V = TLWDataTypeValidator;
using model_test::repeat;
using model_test::str;

namespace {

const std::string kE = "\xC3\xA9";              // é, 2 bytes, a letter
const std::string kHan = "\xE4\xB8\xAD";        // 中, 3 bytes, a letter
const std::string kEmoji = "\xF0\x9F\x98\x80";  // 😀, 4 bytes, not a letter
const std::string kCombining = "\xCC\x81";      // U+0301 combining acute accent
const std::string kArabicThree = "\xD9\xA3";    // U+0663, a decimal digit
const std::string kSuperTwo = "\xC2\xB2";       // U+00B2, a digit but not a decimal digit

using Check = std::function<bool(TLWObjectRef, std::int64_t*)>;

struct Case {
  std::string label;
  platform::Value input;  // a string, null, a TLWValue object or any other value
  std::int64_t expected;  // 0 = valid
};

void runTable(const char* checkName, const Check& check, const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    std::int64_t code = -1;
    bool ok = check(TLWObjectRef(c.input), &code);
    EXPECT_EQ(ok, c.expected == 0) << checkName << ": " << c.label;
    EXPECT_EQ(code, c.expected) << checkName << ": " << c.label;
  }
}

platform::Value val(const TLWValue& v) { return v.asObject(); }

}  // namespace

TEST(TLWDataTypeValidatorNames, PublicEventName) {
  runTable("public event name", [](TLWObjectRef o, std::int64_t* c) { return V::isValidPublicEventName(o, c); },
           {
               {"40 letters", repeat("a", 40), 0},
               {"41 letters", repeat("a", 41), 2},
               {"40 two-byte letters", repeat(kE, 40), 0},
               {"41 two-byte letters", repeat(kE, 41), 2},
               {"40 three-byte letters", repeat(kHan, 40), 0},
               {"100000 letters", repeat("a", 100000), 2},
               {"empty", std::string(), 1},
               {"null", platform::Value(), 1},
               {"not a string", platform::Value(5), 5},
               {"digit first", "1abc", 3},
               {"underscore first", "_abc", 3},
               {"combining mark first", kCombining + "abc", 3},
               {"combining mark inside", "ab" + kCombining, 3},
               {"emoji", "a" + kEmoji, 3},
               {"space", "a b", 3},
               {"embedded NUL", std::string("a\0b", 3), 3},
               {"invalid UTF-8", "a\xFF" "b", 3},
               {"lone surrogate bytes", "a\xED\xA0\x80", 3},
               {"decimal digit from another script", "a" + kArabicThree, 0},
               {"superscript digit", "a" + kSuperTwo, 3},
               {"screen_view is allowed", "screen_view", 0},
               {"ad_impression is allowed", "ad_impression", 0},
               {"aliased name", "first_open", 4},
               {"aliased name session_start", "session_start", 4},
               {"prefix tarnwick_", "tarnwick_x", 4},
               {"prefix vorlix_", "vorlix_x", 4},
               {"prefix lq_", "lq_x", 4},
               {"prefix without rest still reserved", "lq_", 4},
               {"near prefix", "lqx_level", 0},
               {"non-Latin letters", kHan + kE + "x_1", 0},
           });
}

TEST(TLWDataTypeValidatorNames, InternalNamesAndOrigins) {
  runTable("internal event name", [](TLWObjectRef o, std::int64_t* c) { return V::isValidInternalEventName(o, c); },
           {
               {"short internal", "_s", 0},
               {"underscore only", "_", 0},
               {"aliased long name", "first_open", 0},
               {"40", "_" + repeat(kHan, 39), 0},
               {"41", "_" + repeat(kHan, 40), 2},
               {"hyphen", "_a-b", 3},
           });
  runTable("public parameter name",
           [](TLWObjectRef o, std::int64_t* c) { return V::isValidPublicEventParameterName(o, c); },
           {
               {"plain", "value", 0},
               {"40", repeat(kE, 40), 0},
               {"41", repeat(kE, 41), 2},
               {"internal", "_c", 3},
               {"prefix", "tarnwick_screen", 4},
           });
  runTable("internal parameter name",
           [](TLWObjectRef o, std::int64_t* c) { return V::isValidInternalEventParameterName(o, c); },
           {{"_o", "_o", 0}, {"41", repeat("b", 41), 2}, {"dot", "a.b", 3}});
  runTable("internal origin", [](TLWObjectRef o, std::int64_t* c) { return V::isValidInternalEventOrigin(o, c); },
           {{"app", "app", 0}, {"32", repeat("o", 32), 0}, {"33", repeat("o", 33), 2}, {"plus", "a+b", 3}});
  runTable("forwarded origin", [](TLWObjectRef o, std::int64_t* c) { return V::isValidForwardedEventOrigin(o, c); },
           {
               {"forwarded", "app+lmn", 0},
               {"32 before suffix", repeat(kHan, 32) + "+lmn", 0},
               {"33 before suffix", repeat(kHan, 33) + "+lmn", 2},
               {"suffix only", "+lmn", 1},
               {"bad characters before suffix", "a b+lmn", 3},
               {"not forwarded", "app", 6},
               {"suffix not at the end", "app+lmnx", 6},
               {"empty", std::string(), 1},
               {"null", platform::Value(), 1},
           });
  runTable("conditional origin",
           [](TLWObjectRef o, std::int64_t* c) { return V::isValidConditionalUserPropertyOrigin(o, c); },
           {{"32", repeat("o", 32), 0}, {"33", repeat("o", 33), 2}});
  runTable("conditional name",
           [](TLWObjectRef o, std::int64_t* c) { return V::isValidConditionalUserPropertyName(o, c); },
           {{"24", repeat("n", 24), 0}, {"25", repeat("n", 25), 2}, {"empty", std::string(), 1}});
}

TEST(TLWDataTypeValidatorNames, UserPropertyNames) {
  runTable("public user property name",
           [](TLWObjectRef o, std::int64_t* c) { return V::isValidPublicUserAttributeName(o, c); },
           {
               {"24", repeat(kE, 24), 0},
               {"25", repeat(kE, 25), 2},
               {"aliased user_id", "user_id", 4},
               {"aliased first_open_time", "first_open_time", 4},
               {"prefix", "vorlix_tier", 4},
               {"internal", "_id", 3},
               {"digit first", "9lives", 3},
           });
  runTable("internal user property name",
           [](TLWObjectRef o, std::int64_t* c) { return V::isValidInternalUserAttributeName(o, c); },
           {{"_id", "_id", 0}, {"24", repeat("_", 24), 0}, {"25", repeat("_", 25), 2}});
}

TEST(TLWDataTypeValidatorValues, ParameterAndPropertyValues) {
  runTable("public parameter value",
           [](TLWObjectRef o, std::int64_t* c) { return V::isValidPublicEventParameterValue(o, c); },
           {
               {"100 emoji", val(str(repeat(kEmoji, 100))), 0},
               {"101 emoji", val(str(repeat(kEmoji, 101))), 2},
               {"empty string", val(str("")), 0},
               {"int64 max", val(model_test::i64(INT64_MAX)), 0},
               {"NaN", val(TLWValue::initWithDouble(std::nan(""))), 0},
               {"array", val(TLWValue::initWithArray(TLWValueArray{})), 0},
               {"plain string", "abc", 5},
               {"plain number", platform::Value(3), 5},
               {"null", platform::Value(), 1},
               {"type and payload disagree", val(TLWValue::initWithValueType(2, std::int64_t{4})), 5},
               {"unknown type code", val(TLWValue::initWithValueType(9, 1.0)), 5},
           });
  runTable("internal parameter value",
           [](TLWObjectRef o, std::int64_t* c) { return V::isValidInternalEventParameterValue(o, c); },
           {{"256", val(str(repeat(kHan, 256))), 0}, {"257", val(str(repeat(kHan, 257))), 2}});
  runTable("public user property value",
           [](TLWObjectRef o, std::int64_t* c) { return V::isValidPublicUserAttributeValue(o, c); },
           {{"36", val(str(repeat(kE, 36))), 0}, {"37", val(str(repeat(kE, 37))), 2}, {"empty", val(str("")), 1}});
  runTable("conditional value",
           [](TLWObjectRef o, std::int64_t* c) { return V::isValidConditionalUserPropertyValue(o, c); },
           {{"36", val(str(repeat("v", 36))), 0}, {"37", val(str(repeat("v", 37))), 2}});
  runTable("screen value", [](TLWObjectRef o, std::int64_t* c) { return V::isValidScreenParameterValue(o, c); },
           {{"100", repeat(kEmoji, 100), 0},
            {"101", repeat(kEmoji, 101), 2},
            {"empty", std::string(), 1},
            {"wrapped", val(str("Menu")), 5}});
  for (const char* name : {"_id", "_vbraid"}) {
    std::int64_t code = -1;
    EXPECT_TRUE(V::isValidInternalUserAttributeValue(str(repeat(kHan, 256)), name, &code)) << name;
    EXPECT_FALSE(V::isValidInternalUserAttributeValue(str(repeat(kHan, 257)), name, &code)) << name;
    EXPECT_EQ(code, 2);
  }
  std::int64_t code = -1;
  EXPECT_TRUE(V::isValidInternalUserAttributeValue(str(repeat("x", 36)), "tier", &code));
  EXPECT_FALSE(V::isValidInternalUserAttributeValue(str(repeat("x", 37)), "tier", &code));
  EXPECT_EQ(code, 2);
}

TEST(TLWDataTypeValidatorValues, NumericAndCurrency) {
  runTable("numeric", [](TLWObjectRef o, std::int64_t* c) { return V::isValidNumericValue(o, c); },
           {{"int", val(model_test::i64(-1)), 0},
            {"double", val(TLWValue::initWithDouble(9.99)), 0},
            {"string", val(str("9.99")), 8},
            {"array", val(TLWValue::initWithArray(TLWValueArray{})), 8},
            {"plain number", platform::Value(5), 8},
            {"null", platform::Value(), 8}});
  runTable("currency", [](TLWObjectRef o, std::int64_t* c) { return V::isValidCurrencyCode(o, c); },
           {
               {"upper", val(str("USD")), 0},
               {"lower", val(str("eur")), 0},
               {"non-ASCII letters", val(str(kE + "UR")), 0},
               {"two letters and a digit", val(str("US1")), 9},
               {"four letters", val(str("USDX")), 9},
               {"two letters", val(str("US")), 9},
               {"letter outside the BMP makes three UTF-16 units", val(str("A\xF0\x9D\x90\x80")), 9},
               {"combining mark", val(str("US" + kCombining)), 9},
               {"number", val(model_test::i64(840)), 9},
               {"plain string", "USD", 9},
           });
}

TEST(TLWDataTypeValidatorArrays, ArrayRuleOrderAndItems) {
  std::int64_t code = -1;
  EXPECT_TRUE(V::isValidArrayParamForEvent("purchase", "items", 200, false, &code));
  EXPECT_EQ(code, 0);
  EXPECT_FALSE(V::isValidArrayParamForEvent("purchase", "items", 201, false, &code));
  EXPECT_EQ(code, 12);
  EXPECT_FALSE(V::isValidArrayParamForEvent("purchase", "goods", 1, false, &code));
  EXPECT_EQ(code, 11);
  EXPECT_FALSE(V::isValidArrayParamForEvent("level_up", "items", 1, false, &code));
  EXPECT_EQ(code, 10);
  // Nesting is reported before anything else.
  EXPECT_FALSE(V::isValidArrayParamForEvent("level_up", "goods", 500, true, &code));
  EXPECT_EQ(code, 13);
  for (const char* name : {"add_to_cart", "view_search_results", "ecommerce_purchase", "select_content"}) {
    EXPECT_TRUE(V::isValidArrayParamForEvent(name, "items", 1, false)) << name;
  }

  runTable("array item", [](TLWObjectRef o, std::int64_t* c) { return V::isValidArrayParamItem(o, c); },
           {{"dictionary", platform::Dictionary{{"item_id", "a"}}, 0},
            {"string", "x", 14},
            {"array", platform::Value::array({1}), 14},
            {"null", platform::Value(), 14}});
}

TEST(TLWDataTypeValidatorCodes, ErrorCodeNamesAndErrorEvents) {
  EXPECT_EQ(V::errorCodeName(0), "NoError");
  EXPECT_EQ(V::errorCodeName(13), "EventNameIsReserved");
  EXPECT_EQ(V::errorCodeName(23), "CustomParamsInArrayElement");
  EXPECT_EQ(V::errorCodeName(24), "");
  EXPECT_EQ(V::errorCodeName(-1), "");
  EXPECT_EQ(V::errorCodeDescription(19), "CurrencyCodeIsMissingOrInvalid(19)");
  EXPECT_EQ(V::subjectForType(6), "Screen parameter value");
  EXPECT_EQ(V::subjectForType(42), "Object");

  EXPECT_FALSE(V::errorEventParameters(0, "x", 40, std::nullopt).has_value());
  EXPECT_FALSE(V::errorEventParameters(0).has_value());

  // A rejected event name longer than the limit: cut value and the length.
  const std::string longName = repeat(kHan, 45);
  auto p = V::errorEventParameters(V::errorCodeForPublicEventNameFailure(1), longName, 40, TLWObjectRef(longName));
  ASSERT_TRUE(p);
  EXPECT_EQ(model_test::intParam(*p, "_err"), 2);
  EXPECT_EQ(model_test::stringParam(*p, "_ev"), repeat(kHan, 40) + "...");
  EXPECT_EQ(model_test::intParam(*p, "_el"), 45);

  // A short reserved name: no length.
  p = V::errorEventParameters(V::errorCodeForPublicEventNameFailure(4), "first_open", 40, TLWObjectRef("first_open"));
  ASSERT_TRUE(p);
  EXPECT_EQ(model_test::intParam(*p, "_err"), 13);
  EXPECT_EQ(model_test::find(*p, "_el"), nullptr);

  // Code 7 always carries the length.
  const std::string value = repeat("v", 37);
  p = V::errorEventParameters(7, "tier", 24, TLWObjectRef(value));
  ASSERT_TRUE(p);
  EXPECT_EQ(model_test::intParam(*p, "_el"), 37);
  EXPECT_EQ(model_test::stringParam(*p, "_ev"), "tier");

  p = V::errorEventParameters(11);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->size(), 1u);
  EXPECT_EQ(model_test::intParam(*p, "_err"), 11);
  EXPECT_EQ(V::errorCodeForPublicUserPropertyNameFailure(4), 15);
  EXPECT_EQ(V::errorCodeForPublicUserPropertyNameFailure(2), 6);
}

TEST(TLWDataTypeValidatorCodes, FailuresAreLoggedWithTheirCodes) {
  auto monitor = TLWMonitor::sharedInstance();
  ASSERT_TRUE(monitor);
  platform::testing::LogCapture capture;
  EXPECT_FALSE(V::isValidPublicEventName("first_open"));
  EXPECT_FALSE(V::isValidPublicEventName("lq_level"));
  EXPECT_FALSE(V::isValidPublicEventParameterName("1st"));
  EXPECT_FALSE(V::isValidPublicUserAttributeName("user_id"));
  EXPECT_FALSE(V::isValidNumericValue(str("x")));
  TLWParameters params{{"value", TLWValue::initWithDouble(1.5)}};
  EXPECT_FALSE(V::isValidValueAndCurrency(params));
  monitor->flush();
  EXPECT_TRUE(capture.contains("I-ACS013006", "Event name is reserved. Ignoring event"));
  EXPECT_TRUE(capture.contains("I-ACS013007", "Event name uses reserved prefix"));
  EXPECT_TRUE(capture.contains("I-ACS013003", "Event parameter name must start with a letter"));
  EXPECT_TRUE(capture.contains("I-ACS013009", "User property name is reserved"));
  EXPECT_TRUE(capture.contains("I-ACS013011", "Event parameter value must be specified with a numeric type"));
  EXPECT_TRUE(capture.contains("I-ACS018014", "You must also supply a 3-letter ISO_4217 currency code"));
}
