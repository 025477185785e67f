// Events and user attributes to and from the batch-format messages: what protoEvent writes
// is checked field by field, and a written event must come back whole.

#include <gtest/gtest.h>

#include <limits>

#include "measurement/model/TLWEvent.h"
#include "measurement/model/TLWUserAttribute.h"
#include "measurement/monitor/TLWError.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "platform/testing/LogCapture.h"
#include "tests/measurement/model/ModelTestUtil.h"

using model_test::i64;
using model_test::str;
using platform::Dictionary;
using platform::Value;

namespace {

std::shared_ptr<TLWPBEventParam> param(std::optional<std::string> name) {
  auto p = TLWPBEventParam::initWithMessageInfo();
  if (name) p->SetString(TLWPBEventParam::kName, *name);
  return p;
}

std::shared_ptr<TLWPBEventParam> stringParam(const std::string& name, const std::string& value) {
  auto p = param(name);
  p->SetString(TLWPBEventParam::kStringValue, value);
  return p;
}

std::shared_ptr<TLWPBEvent> eventMessage(const std::string& name, std::int64_t ms,
                                         const std::vector<std::shared_ptr<TLWPBEventParam>>& params) {
  auto e = TLWPBEvent::initWithMessageInfo();
  e->SetString(TLWPBEvent::kName, name);
  e->SetInt64(TLWPBEvent::kTimestamp, ms);
  for (const auto& p : params) e->AddRepeatedMessage(TLWPBEvent::kParams, *p);
  return e;
}

// The message's parameters by name.
std::map<std::string, std::shared_ptr<TLWPBEventParam>> paramsByName(const TLWPBEvent& e) {
  std::map<std::string, std::shared_ptr<TLWPBEventParam>> out;
  for (auto& p : e.GetRepeated<TLWPBEventParam>(TLWPBEvent::kParams)) {
    out[p->GetString(TLWPBEventParam::kName).value_or("<none>")] = p;
  }
  return out;
}

class TLWEventProtoTest : public ::testing::Test {
  platform::testing::LogCapture quiet_;
};

}  // namespace

TEST_F(TLWEventProtoTest, ProtoEventWritesNameTimesAndEveryParameterKind) {
  TLWValueArray items{{{"item_id", str("sword")}, {"price", TLWValue::initWithDouble(9.5)}},
                      {{"item_id", str("shield")}, {"quantity", i64(2)}}};
  TLWParameters params{{"hero", str("mage")},
                       {"level", i64(std::numeric_limits<std::int64_t>::min())},
                       {"score", TLWValue::initWithDouble(-0.25)},
                       {"items", TLWValue::initWithArray(items)}};
  auto event = TLWEvent::initWithOrigin("app", false, "purchase", 1700000000.9999, 1699999999.0005, params);
  ASSERT_TRUE(event);
  auto m = event->protoEvent();
  EXPECT_EQ(m->GetString(TLWPBEvent::kName), "purchase");
  // Truncated toward zero, not rounded.
  EXPECT_EQ(m->GetInt64(TLWPBEvent::kTimestamp), 1700000000999);
  EXPECT_EQ(m->GetInt64(TLWPBEvent::kPreviousTimestamp), 1699999999000);

  auto byName = paramsByName(*m);
  ASSERT_EQ(byName.size(), 5u);  // the four and "_o"
  EXPECT_EQ(byName["_o"]->GetString(TLWPBEventParam::kStringValue), "app");
  EXPECT_EQ(byName["hero"]->GetString(TLWPBEventParam::kStringValue), "mage");
  EXPECT_FALSE(byName["hero"]->HasField(TLWPBEventParam::kIntValue));
  EXPECT_EQ(byName["level"]->GetInt64(TLWPBEventParam::kIntValue), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(byName["score"]->GetDouble(TLWPBEventParam::kDoubleValue), -0.25);
  EXPECT_FALSE(byName["score"]->HasField(TLWPBEventParam::kIntValue));
  auto elements = byName["items"]->GetRepeated<TLWPBEventParam>(TLWPBEventParam::kParamValue);
  ASSERT_EQ(elements.size(), 2u);
  EXPECT_FALSE(elements[0]->HasField(TLWPBEventParam::kName));  // elements are unnamed
  auto first = elements[0]->GetRepeated<TLWPBEventParam>(TLWPBEventParam::kParamValue);
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0]->GetString(TLWPBEventParam::kName), "item_id");
  EXPECT_EQ(first[0]->GetString(TLWPBEventParam::kStringValue), "sword");
  EXPECT_EQ(first[1]->GetDouble(TLWPBEventParam::kDoubleValue), 9.5);
}

TEST_F(TLWEventProtoTest, TimesAtOrBelowEpsilonAreLeftOut) {
  auto none = TLWEvent::initWithOrigin("app", false, "a", 0, 0, TLWParameters{});
  ASSERT_TRUE(none);
  auto m = none->protoEvent();
  EXPECT_FALSE(m->HasField(TLWPBEvent::kTimestamp));
  EXPECT_FALSE(m->HasField(TLWPBEvent::kPreviousTimestamp));
  // Negative times are not written either, and a huge one is clamped rather than overflowing.
  auto odd = TLWEvent::initWithOrigin("app", false, "a", 1e300, -5, TLWParameters{});
  ASSERT_TRUE(odd);
  m = odd->protoEvent();
  EXPECT_FALSE(m->HasField(TLWPBEvent::kPreviousTimestamp));
  EXPECT_EQ(m->GetInt64(TLWPBEvent::kTimestamp), std::numeric_limits<std::int64_t>::max());
}

TEST_F(TLWEventProtoTest, RoundTripKeepsTheWholeEvent) {
  TLWValueArray items{{{"item_id", str("sword")}, {"quantity", i64(3)}}, {{"item_id", str("bow")}}};
  TLWParameters params{{"hero", str("mage")},
                       {"level", i64(42)},
                       {"ratio", TLWValue::initWithDouble(1.5)},
                       {"items", TLWValue::initWithArray(items)},
                       {"_c", i64(1)},
                       {"value", TLWValue::initWithDouble(2)},
                       {"currency", str("EUR")}};
  auto event = TLWEvent::initWithOrigin("qd+lmn", false, "purchase", 1700000000.25, 1699999000.5, params);
  ASSERT_TRUE(event);
  auto bytes = event->protoEvent()->protoBuffer();
  ASSERT_TRUE(bytes);
  auto decoded = TLWPBEvent::initWithBuffer(std::span<const std::uint8_t>(bytes->data(), bytes->size()));
  ASSERT_TRUE(decoded);
  auto back = TLWEvent::initWithEventProto(*decoded);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->origin(), "qd+lmn");
  EXPECT_EQ(back->name(), "purchase");
  EXPECT_EQ(back->timestamp(), 1700000000.25);
  EXPECT_EQ(back->previousTimestamp(), 1699999000.5);
  EXPECT_EQ(back->parameters(), event->parameters());
  EXPECT_TRUE(back->isConversion());

  TLWError error;
  auto strict = TLWEvent::initWithStoredEventProto(*decoded, "refund", 5.0, &error);
  ASSERT_TRUE(strict) << error.localizedDescription();
  EXPECT_EQ(strict->name(), "refund");
  EXPECT_EQ(strict->timestamp(), 5.0);
  EXPECT_EQ(strict->parameters(), event->parameters());
}

TEST_F(TLWEventProtoTest, LenientReadingSkipsWhatItCannotUseAndLogsIt) {
  auto noName = param(std::nullopt);
  noName->SetString(TLWPBEventParam::kStringValue, "orphan");
  auto floatOnly = param("f");
  floatOnly->SetFloat(TLWPBEventParam::kFloatValue, 1.5f);
  auto m = eventMessage("lvl", 2500, {stringParam("_o", "auto"), noName, floatOnly, stringParam("kept", "yes")});
  auto event = TLWEvent::initWithEventProto(*m);
  ASSERT_TRUE(event);
  EXPECT_EQ(event->origin(), "auto");
  EXPECT_EQ(event->timestamp(), 2.5);
  EXPECT_EQ(event->previousTimestamp(), 0.0);
  EXPECT_EQ(event->parameters().size(), 2u);  // "_o" and "kept"
  EXPECT_EQ(model_test::stringParam(event->parameters(), "kept"), "yes");

  // The strict reading refuses the same message instead.
  TLWError error;
  EXPECT_FALSE(TLWEvent::initWithStoredEventProto(*m, std::nullopt, std::nullopt, &error));
  EXPECT_EQ(error.code(), 2);
  EXPECT_EQ(error.localizedDescription(), "Failed to parse event params from data");
}

TEST_F(TLWEventProtoTest, OriginMustBeAPresentString) {
  auto intOrigin = param("_o");
  intOrigin->SetInt64(TLWPBEventParam::kIntValue, 7);
  auto bad = eventMessage("lvl", 1000, {intOrigin});
  EXPECT_FALSE(TLWEvent::initWithEventProto(*bad));
  TLWError error;
  EXPECT_FALSE(TLWEvent::initWithStoredEventProto(*bad, std::nullopt, std::nullopt, &error));
  EXPECT_EQ(error.localizedDescription(), "Cannot create an event from database. Origin parameter is not a string");

  auto missing = eventMessage("lvl", 1000, {stringParam("a", "b")});
  EXPECT_FALSE(TLWEvent::initWithEventProto(*missing));
  EXPECT_FALSE(TLWEvent::initWithStoredEventProto(*missing, std::nullopt, std::nullopt, &error));
  EXPECT_EQ(error.localizedDescription(), "Cannot create an event from database. Missing origin parameter");

  // A decoded name that fails validation gives no event either.
  auto badName = eventMessage("bad name!", 1000, {stringParam("_o", "app")});
  EXPECT_FALSE(TLWEvent::initWithEventProto(*badName));
  EXPECT_FALSE(TLWEvent::initWithStoredEventProto(*badName, std::nullopt, std::nullopt, &error));
  EXPECT_EQ(error.localizedDescription(), "Failed to initialize raw event data from dictionary");
}

TEST(TLWUserAttributeProtoTest, EachValueTypeFillsItsOwnField) {
  auto s = TLWUserAttribute::initWithOrigin("app", "fav_color", str("blue"), 1700000000.1239);
  auto i = TLWUserAttribute::initWithOrigin("app", "coins", i64(-42), 5);
  auto d = TLWUserAttribute::initWithOrigin("auto", "_ltv_EUR", TLWValue::initWithDouble(9.99), 0.0019);
  ASSERT_TRUE(s && i && d);
  auto ms = s->protoUserAttribute();
  EXPECT_EQ(ms->GetString(TLWPBUserAttribute::kName), "fav_color");
  EXPECT_EQ(ms->GetString(TLWPBUserAttribute::kStringValue), "blue");
  EXPECT_FALSE(ms->HasField(TLWPBUserAttribute::kIntValue));
  EXPECT_FALSE(ms->HasField(TLWPBUserAttribute::kDoubleValue));
  EXPECT_EQ(ms->GetInt64(TLWPBUserAttribute::kSetTimestamp), 1700000000123);
  auto mi = i->protoUserAttribute();
  EXPECT_EQ(mi->GetInt64(TLWPBUserAttribute::kIntValue), -42);
  EXPECT_FALSE(mi->HasField(TLWPBUserAttribute::kStringValue));
  EXPECT_EQ(mi->GetInt64(TLWPBUserAttribute::kSetTimestamp), 5000);
  auto md = d->protoUserAttribute();
  EXPECT_EQ(md->GetDouble(TLWPBUserAttribute::kDoubleValue), 9.99);
  EXPECT_FALSE(md->HasField(TLWPBUserAttribute::kIntValue));
  EXPECT_EQ(md->GetInt64(TLWPBUserAttribute::kSetTimestamp), 1);
}
