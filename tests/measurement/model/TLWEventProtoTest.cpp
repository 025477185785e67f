// Events and user attributes to and from the batch-format messages: what protoEvent writes
// is checked field by field, and a written event must come back whole.

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>

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

// Stored events are read straight from their bytes when they have the regular shape, and
// through the message otherwise: on generated bytes of every shape (regular, arrays,
// repeated or unknown fields, other wire types, damaged) both readings must give the same
// event or the same error.
TEST(TLWStoredEventBytesTest, TheDirectReadingAgreesWithTheMessageReading) {
  std::mt19937 rng(20261208);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  auto varint = [](std::vector<std::uint8_t>& out, std::uint64_t v) {
    for (; v >= 0x80; v >>= 7) out.push_back(static_cast<std::uint8_t>(v | 0x80));
    out.push_back(static_cast<std::uint8_t>(v));
  };
  auto bytesField = [&](std::vector<std::uint8_t>& out, std::uint32_t field, const std::vector<std::uint8_t>& body) {
    varint(out, field << 3 | 2);
    varint(out, body.size());
    out.insert(out.end(), body.begin(), body.end());
  };
  auto text = [&](std::string_view s) { return std::vector<std::uint8_t>(s.begin(), s.end()); };
  const std::vector<std::string> names = {"_o", "level", "item", "", "_c", "value", "currency", "bad name"};
  const std::vector<std::string> strings = {"app", "auto", "", std::string("a\0b", 3), "USD", "\xff\xfe"};
  auto scalarParam = [&](bool regular) {
    std::vector<std::uint8_t> p;
    if (regular || pick(4)) bytesField(p, 1, text(names[static_cast<std::size_t>(pick(regular ? 3 : 8))]));
    const int values = regular ? 1 : pick(3);
    for (int v = 0; v < values; ++v) {
      switch (pick(regular ? 3 : 6)) {
        case 0: bytesField(p, 2, text(strings[static_cast<std::size_t>(pick(6))])); break;
        case 1: varint(p, 3 << 3); varint(p, pick(2) ? rng() : ~std::uint64_t{0} - rng() % 5); break;
        case 2: {
          p.push_back(5 << 3 | 1);
          const double d = pick(2) ? 12.5 : -0.0;
          std::uint64_t bits = 0;
          std::memcpy(&bits, &d, sizeof bits);
          for (int i = 0; i < 8; ++i) p.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
          break;
        }
        case 3: p.push_back(4 << 3 | 5); for (int i = 0; i < 4; ++i) p.push_back(0x3f); break;  // a float
        case 4: varint(p, 9 << 3); varint(p, 1); break;                                          // unknown
        default: varint(p, 2 << 3); varint(p, 3); break;                                         // wrong wire type
      }
    }
    return p;
  };
  int agreedEvents = 0;
  for (int round = 0; round < 4000; ++round) {
    const bool regular = pick(2);
    std::vector<std::uint8_t> bytes;
    if (regular) {
      std::vector<std::uint8_t> origin;
      bytesField(origin, 1, text("_o"));
      bytesField(origin, 2, text(pick(2) ? "app" : "auto"));
      bytesField(bytes, 1, origin);
    }
    for (int i = pick(6); i > 0; --i) {
      if (!regular && pick(5) == 0) {  // an array of one element
        std::vector<std::uint8_t> element, array;
        bytesField(element, 6, scalarParam(true));
        bytesField(array, 1, text("items"));
        bytesField(array, 6, element);
        bytesField(bytes, 1, array);
      } else {
        bytesField(bytes, 1, scalarParam(regular));
      }
    }
    if (pick(2)) bytesField(bytes, 2, text(pick(3) ? "level_up" : "bad name!"));
    for (int field : {3, 4}) {
      if (pick(3) == 0) continue;
      varint(bytes, static_cast<std::uint32_t>(field) << 3);
      varint(bytes, 1700000000000ULL + rng() % 1000);
    }
    if (!regular && !bytes.empty()) {
      switch (pick(5)) {
        case 3:  // a time stamp whose varint overflows 64 bits
          varint(bytes, 3 << 3);
          bytes.insert(bytes.end(), {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f});
          break;
        case 0: bytes.resize(static_cast<std::size_t>(pick(static_cast<int>(bytes.size())))); break;
        case 1: bytes[static_cast<std::size_t>(pick(static_cast<int>(bytes.size())))] ^= static_cast<std::uint8_t>(1 << pick(8)); break;
        case 2: varint(bytes, 2 << 3 | 2); varint(bytes, 1); bytes.push_back('x'); break;  // the name again
        default: break;
      }
    }
    const std::span<const std::uint8_t> span(bytes);
    const std::optional<std::string_view> name = pick(2) ? std::optional<std::string_view>("stored") : std::nullopt;
    const std::optional<double> timestamp = pick(2) ? std::optional<double>(5.5) : std::nullopt;
    TLWError expectedError, error;
    std::shared_ptr<TLWEvent> expected;
    if (auto message = TLWPBEvent::initWithBuffer(span)) {
      expected = TLWEvent::initWithStoredEventProto(*message, name, timestamp, &expectedError);
    } else {
      expectedError = TLWError::errorWithCode(3, "Failed to parse event from data");
    }
    auto read = TLWEvent::initWithStoredEventBytes(span, name, timestamp, &error);
    ASSERT_EQ(read != nullptr, expected != nullptr) << "round " << round;
    if (!expected) {
      EXPECT_EQ(error.code(), expectedError.code()) << "round " << round;
      EXPECT_EQ(error.localizedDescription(), expectedError.localizedDescription()) << "round " << round;
      continue;
    }
    ++agreedEvents;
    EXPECT_EQ(read->origin(), expected->origin());
    EXPECT_EQ(read->name(), expected->name());
    EXPECT_EQ(read->timestamp(), expected->timestamp());
    EXPECT_EQ(read->previousTimestamp(), expected->previousTimestamp());
    ASSERT_EQ(read->protoEventBytes(), expected->protoEventBytes()) << "round " << round;
  }
  // Both kinds of outcome were met often.
  EXPECT_GT(agreedEvents, 500);
  EXPECT_LT(agreedEvents, 3800);
}
