#include "measurement/model/TLWEvent.h"

#include <gtest/gtest.h>

#include "measurement/model/TLWDataTypeValidator.h"
#include "platform/testing/LogCapture.h"
#include "tests/measurement/model/ModelTestUtil.h"

using model_test::find;
using model_test::intParam;
using model_test::repeat;
using model_test::stringParam;
using platform::Dictionary;
using platform::Value;

namespace {

std::shared_ptr<TLWEvent> make(std::string_view name, const Dictionary& params, bool isPublic = true,
                               std::string_view origin = "app") {
  return TLWEvent::initWithOrigin(origin, isPublic, name, 100.0, 50.0, params);
}

class TLWEventTest : public ::testing::Test {
  platform::testing::LogCapture quiet_;
};

}  // namespace

TEST_F(TLWEventTest, OriginAndNameDecideWhetherAnEventExists) {
  struct Case {
    const char* origin;
    const char* name;
    bool isPublic;
    bool built;
  };
  const Case cases[] = {
      {"app", "level_up", true, true},      {"qd+lmn", "level_up", true, true},
      {"a b+lmn", "level_up", true, false}, {"", "level_up", true, false},
      {"a-b", "level_up", true, false},     {"app", "first_open", true, false},
      {"app", "_s", true, false},           {"auto", "_s", false, true},
      {"app", "screen_view", true, true},   {"app", "tarnwick_x", true, false},
      {"app", "bad name", false, false},    {"app", "", false, false},
  };
  for (const auto& c : cases) {
    auto e = make(c.name, {}, c.isPublic, c.origin);
    EXPECT_EQ(e != nullptr, c.built) << c.origin << " / " << c.name;
    if (e) {
      EXPECT_EQ(e->origin(), c.origin);
      EXPECT_EQ(stringParam(e->parameters(), "_o"), c.origin);
    }
  }
  // A previous time stamp after the time stamp is kept.
  auto e = TLWEvent::initWithOrigin("app", true, "x", 10, 20, Dictionary{});
  ASSERT_TRUE(e);
  EXPECT_EQ(e->previousTimestamp(), 20);
}

TEST_F(TLWEventTest, OriginParameterAlwaysHoldsTheOrigin) {
  auto e = make("level_up", Dictionary{{"_o", "x"}}, false);
  ASSERT_TRUE(e);
  EXPECT_EQ(stringParam(e->parameters(), "_o"), "app");
  e = make("level_up", Dictionary{{"level", 3}}, true, "tq");
  ASSERT_TRUE(e);
  EXPECT_EQ(stringParam(e->parameters(), "_o"), "tq");
  EXPECT_EQ(intParam(e->parameters(), "level"), 3);
}

TEST_F(TLWEventTest, ConversionsNeedValueWithCurrency) {
  auto e = make("buy", Dictionary{{"_c", 1}, {"value", 9.99}}, false);
  ASSERT_TRUE(e);
  EXPECT_FALSE(e->isConversion());
  EXPECT_FALSE(find(e->parameters(), "value"));
  EXPECT_EQ(intParam(e->parameters(), "_err"), 19);
  EXPECT_EQ(stringParam(e->parameters(), "_ev"), "currency");

  e = make("buy", Dictionary{{"_c", 1}, {"value", 9.99}, {"currency", "EUR"}}, false);
  ASSERT_TRUE(e);
  EXPECT_TRUE(e->isConversion());
  EXPECT_TRUE(find(e->parameters(), "value"));

  // Ad impressions are checked although they are no conversions.
  e = make("ad_impression", Dictionary{{"value", "lots"}, {"currency", "EUR"}});
  ASSERT_TRUE(e);
  EXPECT_FALSE(find(e->parameters(), "value"));
  EXPECT_EQ(intParam(e->parameters(), "_err"), 18);
  EXPECT_EQ(stringParam(e->parameters(), "_ev"), "value");

  // Switching a conversion off and on again.
  e = make("buy", Dictionary{{"_c", 1}}, false);
  ASSERT_TRUE(e);
  e->setConversion(false);
  EXPECT_FALSE(e->isConversion());
  EXPECT_EQ(intParam(e->parameters(), "_err"), 10);
  e->setConversion(true);
  EXPECT_TRUE(e->isConversion());
  EXPECT_FALSE(find(e->parameters(), "_err"));

  // setConversion(true) refuses a value without currency.
  e = make("buy", Dictionary{{"value", 3}});
  ASSERT_TRUE(e);
  e->setConversion(true);
  EXPECT_FALSE(e->isConversion());
  EXPECT_EQ(intParam(e->parameters(), "_err"), 19);
}

TEST_F(TLWEventTest, Flags) {
  auto e = make("_e", Dictionary{{"_r", "yes"}, {"_dbg", 2}}, false);
  ASSERT_TRUE(e);
  EXPECT_FALSE(e->isRealtime());
  EXPECT_FALSE(e->isDebug());
  e->setRealtime(true);
  e->setDebug(true);
  EXPECT_TRUE(e->isRealtime());
  EXPECT_TRUE(e->isDebug());
  EXPECT_EQ(intParam(e->parameters(), "_r"), 1);
  e->setRealtime(false);
  e->setDebug(false);
  EXPECT_FALSE(find(e->parameters(), "_r"));
  EXPECT_FALSE(find(e->parameters(), "_dbg"));
}

TEST_F(TLWEventTest, DefaultAndScreenParameters) {
  auto e = make("level_up", Dictionary{{"level", 3}});
  ASSERT_TRUE(e);
  e->applyParameters(Dictionary{{"level", 9}, {"build", "beta"}, {"lq_x", 1}});
  EXPECT_EQ(intParam(e->parameters(), "level"), 3);  // the event's own value wins
  EXPECT_EQ(stringParam(e->parameters(), "build"), "beta");
  EXPECT_EQ(intParam(e->parameters(), "_err"), 14);

  const TLWParameters before = e->parameters();
  EXPECT_FALSE(e->addScreenParameters(Dictionary{}));
  EXPECT_FALSE(e->addScreenParameters(Dictionary{{"_sn", "Menu"}, {"_sc", "MenuVC"}}));
  EXPECT_FALSE(e->addScreenParameters(Dictionary{{"_si", 1}, {"_sc", repeat("c", 101)}}));
  EXPECT_FALSE(e->addScreenParameters(Dictionary{{"_si", 1}, {"_sn", ""}}));
  EXPECT_FALSE(e->addScreenParameters(Dictionary{{"_si", "one"}}));
  EXPECT_EQ(e->parameters(), before);

  EXPECT_TRUE(e->addScreenParameters(
      Dictionary{{"_si", 77}, {"_sc", TLWValue::initWithString("MenuVC").asObject()}, {"_sn", repeat("s", 100)}}));
  EXPECT_EQ(intParam(e->parameters(), "_si"), 77);
  EXPECT_EQ(stringParam(e->parameters(), "_sc"), "MenuVC");
  EXPECT_FALSE(e->addScreenParameters(Dictionary{{"_si", 78}}));
  EXPECT_EQ(intParam(e->parameters(), "_si"), 77);
}

TEST_F(TLWEventTest, CopiesGoThroughTheConstructorAgain) {
  auto e = make("level_up", Dictionary{{"level", 3}});
  ASSERT_TRUE(e);
  auto c = e->copyWithPreviousTimestamp(99);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->previousTimestamp(), 99);
  EXPECT_EQ(c->timestamp(), 100);
  EXPECT_EQ(c->parameters(), e->parameters());

  TLWParameters replaced{{"_x", TLWValue::initWithString(repeat("x", 257))}, {"ok", TLWValue::initWithInt64(1)}};
  c = e->copyWithParameters(replaced);
  ASSERT_TRUE(c);
  EXPECT_FALSE(find(c->parameters(), "_x"));
  EXPECT_EQ(intParam(c->parameters(), "ok"), 1);
  EXPECT_EQ(intParam(c->parameters(), "_err"), 4);
  EXPECT_EQ(stringParam(c->parameters(), "_o"), "app");
}

TEST_F(TLWEventTest, EditFormRoundTrip) {
  auto e = TLWEvent::initWithOrigin("tq", false, "_s", 123.5, 0, Dictionary{{"n", 1}});
  ASSERT_TRUE(e);
  TLWEvent::EditForm form = e->editEvent();
  EXPECT_EQ(form.name, "session_start");
  EXPECT_EQ(form.timestamp, 123.5);
  EXPECT_EQ(form.parameters.get("_o"), Value("tq"));
  EXPECT_EQ(form.parameters.get("n"), Value(1));

  form.parameters.set(Value("added"), Value("yes"));
  auto back = TLWEvent::eventFromEditEvent(form);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->name(), "_s");
  EXPECT_EQ(back->origin(), "tq");
  EXPECT_EQ(back->previousTimestamp(), 0);
  EXPECT_EQ(stringParam(back->parameters(), "added"), "yes");

  Value items = Value::array({Dictionary{{"item_id", "a"}, {"price", 2.5}}});
  e = TLWEvent::initWithOrigin("app", false, "purchase", 1, 0, Dictionary{{"items", items}});
  ASSERT_TRUE(e);
  form = e->editEvent();
  ASSERT_TRUE(form.parameters.get("items").array());
  back = TLWEvent::eventFromEditEvent(form);
  ASSERT_TRUE(back);
  ASSERT_TRUE(find(back->parameters(), "items"));
  EXPECT_EQ(find(back->parameters(), "items")->arrayValue()->size(), 1u);
  EXPECT_EQ(back->parameters(), e->parameters());

  TLWEvent::EditForm bare{"level_up", 5, Dictionary{{"_o", 3}}};
  back = TLWEvent::eventFromEditEvent(bare);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->origin(), "app");
  EXPECT_EQ(TLWEvent::eventFromEditEvent({"not valid!", 5, {}}), nullptr);
}
