#include "measurement/model/TLWUserAttribute.h"

#include <gtest/gtest.h>

#include "measurement/model/TLWRawEventData.h"
#include "platform/testing/LogCapture.h"
#include "tests/measurement/model/ModelTestUtil.h"

using model_test::repeat;

TEST(TLWUserAttribute, NameAndValueLimits) {
  platform::testing::LogCapture quiet;
  const std::string e = "\xC3\xA9";
  struct Case {
    const char* label;
    std::string name;
    TLWValue value;
    bool built;
  };
  const Case cases[] = {
      {"36", "tier", TLWValue::initWithString(repeat(e, 36)), true},
      {"37", "tier", TLWValue::initWithString(repeat(e, 37)), false},
      {"empty", "tier", TLWValue::initWithString(""), false},
      {"_id 256", "_id", TLWValue::initWithString(repeat(e, 256)), true},
      {"_id 257", "_id", TLWValue::initWithString(repeat(e, 257)), false},
      {"_vbraid 256", "_vbraid", TLWValue::initWithString(repeat("v", 256)), true},
      {"number", "_lte", TLWValue::initWithInt64(1200), true},
      {"24-character name", repeat("n", 24), TLWValue::initWithInt64(1), true},
      {"25-character name", repeat("n", 25), TLWValue::initWithInt64(1), false},
      {"bad name", "a-b", TLWValue::initWithInt64(1), false},
      {"malformed value", "tier", TLWValue::initWithValueType(2, 1.0), false},
  };
  for (const auto& c : cases) {
    auto a = TLWUserAttribute::initWithOrigin("app", c.name, c.value, 5);
    EXPECT_EQ(a != nullptr, c.built) << c.label;
  }
  auto pub = TLWUserAttribute::initWithOrigin("anything goes", "tier", TLWValue::initWithString("gold"), 7.5);
  ASSERT_TRUE(pub);
  EXPECT_TRUE(pub->isPublic());
  EXPECT_EQ(pub->origin(), "anything goes");
  EXPECT_EQ(pub->lastSetTimestamp(), 7.5);
  auto internal = TLWUserAttribute::initWithOrigin("auto", "_fot", TLWValue::initWithInt64(1), 1);
  ASSERT_TRUE(internal);
  EXPECT_FALSE(internal->isPublic());
}

TEST(TLWRawEventData, RequiresAnEventAndARowID) {
  platform::testing::LogCapture quiet;
  auto event = TLWEvent::initWithOrigin("app", false, "_e", 1, 0, platform::Dictionary{});
  ASSERT_TRUE(event);
  EXPECT_FALSE(TLWRawEventData::initWithRawEvent(nullptr, 1, 2));
  EXPECT_FALSE(TLWRawEventData::initWithRawEvent(event, -1, 2));
  auto raw = TLWRawEventData::initWithRawEvent(event, 0, -7);
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->rawEvent(), event);
  EXPECT_EQ(raw->rowID(), 0);
  EXPECT_EQ(raw->metadataFingerprint(), -7);
}
