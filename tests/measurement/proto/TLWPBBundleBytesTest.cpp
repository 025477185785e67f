#include "measurement/proto/TLWPBBundleBytes.h"

#include <gtest/gtest.h>

#include "ProtoTestSupport.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"

namespace {

using prototest::Bytes;
using prototest::putLengthDelimited;
using prototest::putTag;
using prototest::putVarint;
using B = TLWPBMeasurementBundle;

Bytes eventWithParam(const Bytes& param) {
  Bytes event;
  putLengthDelimited(event, 1, param);  // params
  return event;
}

TEST(TLWPBBundleBytesTest, RefusesBytesMalformedAtAnyDepthOfTheSchema) {
  Bytes goodParam;
  putLengthDelimited(goodParam, 1, prototest::asBytes("seq"));
  Bytes truncatedParam = {0x0a, 0x05, 's'};  // a name claiming 5 bytes
  Bytes deep = goodParam;
  for (int i = 0; i < kTLWPBMaxNestingDepth + 2; ++i) {
    Bytes outer;
    putLengthDelimited(outer, 6, deep);  // param_value nests params
    deep = outer;
  }
  struct Case {
    const char* what;
    Bytes bytes;
    bool accepted;
  } cases[] = {
      {"empty bundle", {}, true},
      {"event with a parameter", [&] { Bytes b; putLengthDelimited(b, 2, eventWithParam(goodParam)); return b; }(), true},
      {"unknown field kept", [] { Bytes b; putTag(b, 99, 0); putVarint(b, 5); return b; }(), true},
      {"truncated varint", {0x08, 0x80}, false},
      {"length past the end", {0x12, 0x09, 0x00}, false},
      {"group wire type", {0x0b, 0x0c}, false},
      {"field number zero", {0x00, 0x01}, false},
      {"bad parameter inside an event",
       [&] { Bytes b; putLengthDelimited(b, 2, eventWithParam(truncatedParam)); return b; }(), false},
      {"event sent as a number", {0x10, 0x01}, false},
      {"app ID sent as a number", {0x70, 0x01}, false},
      {"experiment IDs packed", {0xea, 0x02, 0x01, 0x05}, true},
      {"nesting past the limit", [&] { Bytes b; putLengthDelimited(b, 2, eventWithParam(deep)); return b; }(), false},
  };
  for (const auto& c : cases) {
    auto parsed = TLWPBBundleBytes::initWithBuffer(c.bytes);
    EXPECT_EQ(parsed.has_value(), c.accepted) << c.what;
    if (parsed) {
      EXPECT_EQ(parsed->bytes(), c.bytes) << c.what << ": kept byte for byte";
    }
  }
}

TEST(TLWPBBundleBytesTest, FieldsAreSetAsTheSchemaTypesThemAndProtocReadsThem) {
  auto bundle = TLWPBBundleBytes::initWithBuffer({});
  ASSERT_TRUE(bundle);
  EXPECT_TRUE(bundle->SetInt32(B::kTimezoneOffsetMinutes, -300));
  EXPECT_TRUE(bundle->SetInt32(B::kAttConsentStatus, 3));
  EXPECT_TRUE(bundle->SetString(B::kAppId, "first"));
  EXPECT_TRUE(bundle->SetString(B::kAppId, "app"));  // replaces, not repeats
  EXPECT_TRUE(bundle->SetBool(B::kLimitedAdTracking, false));
  EXPECT_TRUE(bundle->SetInt64(B::kUploadTimestamp, -1));
  EXPECT_FALSE(bundle->SetString(B::kUploadTimestamp, "x")) << "a number field takes no string";
  EXPECT_FALSE(bundle->SetInt64(B::kEvents, 1)) << "a repeated field is not a scalar";
  EXPECT_FALSE(bundle->SetInt64(999, 1));
  EXPECT_EQ(bundle->GetString(B::kAppId), "app");
  EXPECT_FALSE(bundle->GetString(B::kOsVersion));
  EXPECT_TRUE(bundle->ClearField(B::kAttConsentStatus));
  EXPECT_FALSE(bundle->HasField(B::kAttConsentStatus));

  std::string text;
  ASSERT_TRUE(prototest::runProtoc("--decode=tlwpb.MeasurementBundle", "MeasurementBatch.proto",
                                   prototest::asString(bundle->bytes()), &text));
  EXPECT_EQ(text,
            "upload_timestamp: -1\n"
            "timezone_offset_minutes: -300\n"
            "app_id: \"app\"\n"
            "limited_ad_tracking: false\n");
}

TEST(TLWPBBundleBytesTest, SplicedEventsGiveTheBytesOfTheBundleEncodedWithThem) {
  auto withEvents = TLWPBMeasurementBundle::initWithMessageInfo();
  auto withoutEvents = TLWPBMeasurementBundle::initWithMessageInfo();
  for (auto* bundle : {withEvents.get(), withoutEvents.get()}) {
    bundle->SetInt32(B::kProtocolVersion, 1);
    bundle->SetString(B::kAppId, "app");
    bundle->SetInt64(B::kPreviousBundleStartTimestamp, 5);
  }
  std::vector<std::vector<std::uint8_t>> events;
  for (int i = 0; i < 3; ++i) {
    auto event = TLWPBEvent::initWithMessageInfo();
    event->SetString(TLWPBEvent::kName, "e" + std::to_string(i));
    event->SetInt64(TLWPBEvent::kTimestamp, i);
    withEvents->AddRepeatedMessage(B::kEvents, *event);
    events.push_back(event->protoBuffer().value());
  }
  auto spliced = TLWPBBundleBytes::initWithBuffer(withoutEvents->protoBuffer().value());
  ASSERT_TRUE(spliced);
  EXPECT_FALSE(spliced->AddRepeatedMessageBytes(B::kAppId, events)) << "not a repeated message field";
  ASSERT_TRUE(spliced->AddRepeatedMessageBytes(B::kEvents, events));
  EXPECT_EQ(spliced->bytes(), withEvents->protoBuffer().value());
}

}  // namespace
