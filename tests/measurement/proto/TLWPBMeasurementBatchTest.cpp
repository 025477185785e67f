#include "measurement/proto/TLWPBMeasurementBatch.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <set>

#include "tests/measurement/proto/ProtoTestSupport.h"

using namespace prototest;
using B = TLWPBMeasurementBundle;

namespace {

std::shared_ptr<TLWPBEventParam> param(const char* name) {
  auto p = TLWPBEventParam::initWithMessageInfo();
  EXPECT_TRUE(p->SetString(TLWPBEventParam::kName, name));
  return p;
}

std::shared_ptr<TLWPBEvent> fullEvent() {
  auto e = TLWPBEvent::initWithMessageInfo();
  auto s = param("hero");
  EXPECT_TRUE(s->SetString(TLWPBEventParam::kStringValue, "mage"));
  auto i = param("level");
  EXPECT_TRUE(i->SetInt64(TLWPBEventParam::kIntValue, -42));
  auto d = param("score");
  EXPECT_TRUE(d->SetDouble(TLWPBEventParam::kDoubleValue, 2.5));
  auto f = param("ratio");
  EXPECT_TRUE(f->SetFloat(TLWPBEventParam::kFloatValue, 0.25f));
  // An array of two parameter bundles: one element per bundle, each holding its own list.
  auto a = param("items");
  auto b1 = TLWPBEventParam::initWithMessageInfo();
  auto b2 = TLWPBEventParam::initWithMessageInfo();
  auto x = param("item_id");
  EXPECT_TRUE(x->SetString(TLWPBEventParam::kStringValue, "sword"));
  auto y = param("quantity");
  EXPECT_TRUE(y->SetInt64(TLWPBEventParam::kIntValue, 3));
  EXPECT_TRUE(b1->SetRepeated(TLWPBEventParam::kParamValue, std::vector{x, y}));
  EXPECT_TRUE(b2->SetRepeated(TLWPBEventParam::kParamValue, std::vector{y}));
  EXPECT_TRUE(a->SetRepeated(TLWPBEventParam::kParamValue, std::vector{b1, b2}));
  EXPECT_TRUE(e->SetRepeated(TLWPBEvent::kParams, std::vector{s, i, d, f, a}));
  EXPECT_TRUE(e->SetString(TLWPBEvent::kName, "level_up"));
  EXPECT_TRUE(e->SetInt64(TLWPBEvent::kTimestamp, 1700000000123));
  EXPECT_TRUE(e->SetInt64(TLWPBEvent::kPreviousTimestamp, 1699999990000));
  EXPECT_TRUE(e->SetInt32(TLWPBEvent::kUnusedField5, -5));
  return e;
}

std::shared_ptr<TLWPBAudienceLeafFilterResult> fullAudienceResult() {
  auto data = TLWPBResultData::initWithMessageInfo();
  EXPECT_TRUE(data->SetRepeated(TLWPBResultData::kStatus,
                                platform::Array{platform::Value(std::numeric_limits<std::uint64_t>::max()),
                                                platform::Value(5)}));
  EXPECT_TRUE(data->SetRepeated(TLWPBResultData::kResults, platform::Array{platform::Value(1)}));
  auto dyn = TLWPBDynamicFilterResultTimestamp::initWithMessageInfo();
  EXPECT_TRUE(dyn->SetInt32(TLWPBDynamicFilterResultTimestamp::kFilterId, 11));
  EXPECT_TRUE(dyn->SetInt64(TLWPBDynamicFilterResultTimestamp::kTimestamp, 1700000000));
  EXPECT_TRUE(data->SetRepeated(TLWPBResultData::kDynamicFilterTimestamps, std::vector{dyn}));
  auto seq = TLWPBSequenceFilterResultTimestamp::initWithMessageInfo();
  EXPECT_TRUE(seq->SetInt32(TLWPBSequenceFilterResultTimestamp::kFilterId, 12));
  EXPECT_TRUE(seq->SetRepeated(TLWPBSequenceFilterResultTimestamp::kEvalTimestamps,
                               platform::Array{platform::Value(1700000001), platform::Value(-1)}));
  EXPECT_TRUE(data->SetRepeated(TLWPBResultData::kSequenceFilterTimestamps, std::vector{seq}));
  auto r = TLWPBAudienceLeafFilterResult::initWithMessageInfo();
  EXPECT_TRUE(r->SetInt32(TLWPBAudienceLeafFilterResult::kAudienceId, 77));
  EXPECT_TRUE(r->SetMessage(TLWPBAudienceLeafFilterResult::kCurrentData, data.get()));
  auto prev = TLWPBResultData::initWithMessageInfo();
  EXPECT_TRUE(prev->SetRepeated(TLWPBResultData::kStatus, platform::Array{platform::Value(2)}));
  EXPECT_TRUE(r->SetMessage(TLWPBAudienceLeafFilterResult::kPreviousData, prev.get()));
  EXPECT_TRUE(r->SetBool(TLWPBAudienceLeafFilterResult::kNewAudience, false));
  return r;
}

// A bundle with every field set, negative values where the type allows them.
std::shared_ptr<B> fullBundle() {
  auto b = B::initWithMessageInfo();
  EXPECT_TRUE(b->SetInt32(B::kProtocolVersion, 1));
  EXPECT_TRUE(b->SetRepeated(B::kEvents, std::vector{fullEvent(), TLWPBEvent::initWithMessageInfo()}));
  auto ua = TLWPBUserAttribute::initWithMessageInfo();
  EXPECT_TRUE(ua->SetInt64(TLWPBUserAttribute::kSetTimestamp, 1700000000000));
  EXPECT_TRUE(ua->SetString(TLWPBUserAttribute::kName, "fav_color"));
  EXPECT_TRUE(ua->SetString(TLWPBUserAttribute::kStringValue, "blue"));
  auto ub = TLWPBUserAttribute::initWithMessageInfo();
  EXPECT_TRUE(ub->SetString(TLWPBUserAttribute::kName, "coins"));
  EXPECT_TRUE(ub->SetInt64(TLWPBUserAttribute::kIntValue, std::numeric_limits<std::int64_t>::min()));
  EXPECT_TRUE(ub->SetDouble(TLWPBUserAttribute::kDoubleValue, -0.5));
  EXPECT_TRUE(ub->SetFloat(TLWPBUserAttribute::kFloatValue, 1.5f));
  EXPECT_TRUE(b->SetRepeated(B::kUserAttributes, std::vector{ua, ub}));
  EXPECT_TRUE(b->SetInt64(B::kUploadTimestamp, 1700000005000));
  EXPECT_TRUE(b->SetInt64(B::kStartTimestamp, -5));
  EXPECT_TRUE(b->SetInt64(B::kEndTimestamp, 1700000004000));
  EXPECT_TRUE(b->SetInt64(B::kPreviousBundleStartTimestamp, 1699999000000));
  EXPECT_TRUE(b->SetInt64(B::kPreviousBundleEndTimestamp, 1699999500000));
  EXPECT_TRUE(b->SetString(B::kPlatform, "ios"));
  EXPECT_TRUE(b->SetString(B::kOsVersion, "17.2"));
  EXPECT_TRUE(b->SetString(B::kDeviceModel, "iPhone15,2"));
  EXPECT_TRUE(b->SetString(B::kUserDefaultLanguage, "en-us"));
  EXPECT_TRUE(b->SetInt32(B::kTimezoneOffsetMinutes, -300));
  EXPECT_TRUE(b->SetString(B::kAppStore, "manual_install"));
  EXPECT_TRUE(b->SetString(B::kAppId, "com.example.game"));
  EXPECT_TRUE(b->SetInt64(B::kUnusedField15, 15));
  EXPECT_TRUE(b->SetString(B::kAppVersion, "2.3.4"));
  EXPECT_TRUE(b->SetInt64(B::kSdkVersion, 80901));
  EXPECT_TRUE(b->SetInt64(B::kUploadSdkVersion, 80902));
  EXPECT_TRUE(b->SetString(B::kResettableDeviceId, "AD-ID"));
  EXPECT_TRUE(b->SetString(B::kVendorDeviceId, "VENDOR-ID"));
  EXPECT_TRUE(b->SetBool(B::kLimitedAdTracking, true));
  EXPECT_TRUE(b->SetString(B::kAppInstanceId, "instance"));
  EXPECT_TRUE(b->SetInt64(B::kUnusedField22, -22));
  EXPECT_TRUE(b->SetInt32(B::kBundleSequenceIndex, 7));
  EXPECT_TRUE(b->SetString(B::kMonitoringData, "health"));
  EXPECT_TRUE(b->SetString(B::kZelAppId, "1:123:ios:abc"));
  EXPECT_TRUE(b->SetBool(B::kUnusedField28, false));
  EXPECT_TRUE(b->SetRepeated(B::kAudienceEvaluationResults, std::vector{fullAudienceResult()}));
  EXPECT_TRUE(b->SetString(B::kInstallationId, "fid"));
  EXPECT_TRUE(b->SetInt32(B::kAppVersionMajor, 2));
  EXPECT_TRUE(b->SetInt32(B::kAppVersionMinor, 3));
  EXPECT_TRUE(b->SetInt32(B::kAppVersionRelease, 4));
  EXPECT_TRUE(b->SetString(B::kUnusedField34, "x"));
  EXPECT_TRUE(b->SetInt64(B::kConfigVersion, 1700));
  EXPECT_TRUE(b->SetInt32(B::kRetryCount, 2));
  EXPECT_TRUE(b->SetString(B::kQuadoAppId, "quado"));
  EXPECT_TRUE(b->SetRepeated(B::kExperimentIds,
                             platform::Array{platform::Value(7), platform::Value(9), platform::Value(4294967295u)}));
  EXPECT_TRUE(b->SetInt64(B::kBundleChecksum, std::numeric_limits<std::int64_t>::min()));
  EXPECT_TRUE(b->SetString(B::kUnusedField50, "y"));
  EXPECT_TRUE(b->SetString(B::kConsentSignals, "G111"));
  EXPECT_TRUE(b->SetInt32(B::kAttConsentStatus, 3));
  EXPECT_TRUE(b->SetBool(B::kUnusedField55, true));
  EXPECT_TRUE(b->SetString(B::kUnusedField57, "z\xc3\xa9"));
  EXPECT_TRUE(b->SetBool(B::kUnusedField58, true));
  auto addr = TLWPBAddress::initWithMessageInfo();
  for (std::int32_t i = 0; i < 7; ++i) EXPECT_TRUE(addr->SetString(i, "line" + std::to_string(i + 1)));
  auto hashed = TLWPBHashedUserData::initWithMessageInfo();
  EXPECT_TRUE(hashed->SetString(TLWPBHashedUserData::kValue1, "h1"));
  EXPECT_TRUE(hashed->SetString(TLWPBHashedUserData::kValue2, ""));
  EXPECT_TRUE(hashed->SetMessage(TLWPBHashedUserData::kAddress, addr.get()));
  EXPECT_TRUE(b->SetMessage(B::kHashedUserData, hashed.get()));
  return b;
}

std::vector<std::string> trimmedLines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    auto start = line.find_first_not_of(' ');
    out.push_back(start == std::string::npos ? "" : line.substr(start));
  }
  return out;
}

void expectLines(const std::string& text, const std::vector<std::string>& wanted) {
  auto lines = trimmedLines(text);
  for (const auto& w : wanted) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), w), lines.end()) << "missing line: " << w << "\nin:\n" << text;
  }
}

std::set<int> topLevelFieldNumbers(const Bytes& bytes) {
  std::string raw;
  EXPECT_TRUE(runProtoc("--decode_raw", "", asString(bytes), &raw));
  std::set<int> out;
  // Top-level lines are the unindented ones.
  std::istringstream in(raw);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] != ' ' && line[0] != '}') out.insert(std::stoi(line));
  }
  return out;
}

}  // namespace

TEST(TLWPBMeasurementBatchTest, FullyPopulatedBatchRoundTripsThroughBytes) {
  auto bundle = fullBundle();
  auto batch = TLWPBMeasurementBatch::initWithMessageInfo();
  ASSERT_TRUE(batch->SetRepeated(TLWPBMeasurementBatch::kBundles, std::vector{bundle, B::initWithMessageInfo()}));
  TLWError error;
  auto bytes = batch->protoBuffer(&error);
  ASSERT_TRUE(bytes) << error.localizedDescription();
  auto decoded = TLWPBMeasurementBatch::initWithBuffer(*bytes, &error);
  ASSERT_TRUE(decoded) << error.localizedDescription();
  EXPECT_TRUE(decoded->isEqualMessage(*batch));
  auto again = decoded->protoBuffer();
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, *bytes);

  auto bundles = decoded->GetRepeated<B>(TLWPBMeasurementBatch::kBundles);
  ASSERT_EQ(bundles.size(), 2u);
  const auto& b = bundles[0];
  EXPECT_EQ(b->GetInt32(B::kTimezoneOffsetMinutes), -300);
  EXPECT_EQ(b->GetInt64(B::kStartTimestamp), -5);
  EXPECT_EQ(b->GetInt64(B::kBundleChecksum), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(b->GetString(B::kUnusedField57), "z\xc3\xa9");
  EXPECT_TRUE(b->HasField(B::kUnusedField28));
  EXPECT_FALSE(b->GetBool(B::kUnusedField28));
  EXPECT_EQ(b->GetInt32(B::kAttConsentStatus), 3);
  auto ids = b->GetRepeated(B::kExperimentIds);
  ASSERT_EQ(ids.size(), 3u);
  EXPECT_EQ(ids[2].uint64Value(), 4294967295u);
  auto events = b->GetRepeated<TLWPBEvent>(B::kEvents);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]->GetString(TLWPBEvent::kName), "level_up");
  EXPECT_EQ(events[0]->GetInt32(TLWPBEvent::kUnusedField5), -5);
  auto params = events[0]->GetRepeated<TLWPBEventParam>(TLWPBEvent::kParams);
  ASSERT_EQ(params.size(), 5u);
  EXPECT_EQ(params[1]->GetInt64(TLWPBEventParam::kIntValue), -42);
  EXPECT_EQ(params[3]->GetFloat(TLWPBEventParam::kFloatValue), 0.25f);
  auto hashed = b->GetMessage<TLWPBHashedUserData>(B::kHashedUserData);
  ASSERT_TRUE(hashed);
  EXPECT_EQ(hashed->GetString(TLWPBHashedUserData::kValue2), "");
  auto addr = hashed->GetMessage<TLWPBAddress>(TLWPBHashedUserData::kAddress);
  ASSERT_TRUE(addr);
  EXPECT_EQ(addr->GetString(TLWPBAddress::kComponent7), "line7");
  // The empty second bundle stays empty.
  EXPECT_TRUE(bundles[1]->isEqualMessage(*B::initWithMessageInfo()));
}

TEST(TLWPBMeasurementBatchTest, ProtocDecodesOurBytesToTheSameValues) {
  auto bytes = fullBundle()->protoBuffer();
  ASSERT_TRUE(bytes);
  std::string text;
  ASSERT_TRUE(runProtoc("--decode=tlwpb.MeasurementBundle", "MeasurementBatch.proto", asString(*bytes), &text));
  expectLines(text, {
                        "protocol_version: 1",
                        "upload_timestamp: 1700000005000",
                        "start_timestamp: -5",
                        "end_timestamp: 1700000004000",
                        "previous_bundle_start_timestamp: 1699999000000",
                        "previous_bundle_end_timestamp: 1699999500000",
                        "platform: \"ios\"",
                        "device_model: \"iPhone15,2\"",
                        "timezone_offset_minutes: -300",
                        "app_store: \"manual_install\"",
                        "unused_field_15: 15",
                        "sdk_version: 80901",
                        "upload_sdk_version: 80902",
                        "vendor_device_id: \"VENDOR-ID\"",
                        "limited_ad_tracking: true",
                        "unused_field_22: -22",
                        "bundle_sequence_index: 7",
                        "zel_app_id: \"1:123:ios:abc\"",
                        "unused_field_28: false",
                        "app_version_release: 4",
                        "config_version: 1700",
                        "retry_count: 2",
                        "quado_app_id: \"quado\"",
                        "experiment_ids: 7",
                        "experiment_ids: 9",
                        "experiment_ids: 4294967295",
                        "bundle_checksum: -9223372036854775808",
                        "consent_signals: \"G111\"",
                        "att_consent_status: 3",
                        "unused_field_58: true",
                        "value_2: \"\"",
                        "component_7: \"line7\"",
                        // Events, parameters and the nested array.
                        "name: \"level_up\"",
                        "timestamp: 1700000000123",
                        "unused_field_5: -5",
                        "int_value: -42",
                        "double_value: 2.5",
                        "float_value: 0.25",
                        "string_value: \"sword\"",
                        "int_value: 3",
                        // User attributes.
                        "int_value: -9223372036854775808",
                        "double_value: -0.5",
                        // Audience results.
                        "audience_id: 77",
                        "status: 18446744073709551615",
                        "status: 5",
                        "filter_id: 11",
                        "eval_timestamps: 1700000001",
                        "eval_timestamps: -1",
                        "new_audience: false",
                    });
}

TEST(TLWPBMeasurementBatchTest, BytesEncodedByProtocAreReadBack) {
  const std::string text = R"(
    bundles {
      protocol_version: 1
      timezone_offset_minutes: -420
      previous_bundle_start_timestamp: -1234567890123
      vendor_device_id: "v"
      limited_ad_tracking: true
      bundle_sequence_index: 24
      experiment_ids: 3
      experiment_ids: 1
      events { name: "_s" timestamp: 10 params { name: "_o" string_value: "auto" } }
      events { name: "purchase" params { name: "items" param_value { param_value { name: "q" int_value: -1 } } } }
      audience_evaluation_results { audience_id: 5 current_data { status: 1 results: 1 } new_audience: true }
    }
    bundles { app_id: "second" }
  )";
  std::string bytes;
  ASSERT_TRUE(runProtoc("--encode=tlwpb.MeasurementBatch", "MeasurementBatch.proto", text, &bytes));
  TLWError error;
  auto batch = TLWPBMeasurementBatch::initWithBuffer(bytes, &error);
  ASSERT_TRUE(batch) << error.localizedDescription();
  auto bundles = batch->GetRepeated<B>(TLWPBMeasurementBatch::kBundles);
  ASSERT_EQ(bundles.size(), 2u);
  const auto& b = bundles[0];
  EXPECT_EQ(b->GetInt32(B::kTimezoneOffsetMinutes), -420);
  EXPECT_EQ(b->GetInt64(B::kPreviousBundleStartTimestamp), -1234567890123);
  EXPECT_EQ(b->GetString(B::kVendorDeviceId), "v");
  EXPECT_TRUE(b->GetBool(B::kLimitedAdTracking));
  EXPECT_EQ(b->GetInt32(B::kBundleSequenceIndex), 24);
  EXPECT_EQ(b->GetRepeated(B::kExperimentIds), (platform::Array{platform::Value(3), platform::Value(1)}));
  auto events = b->GetRepeated<TLWPBEvent>(B::kEvents);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]->GetString(TLWPBEvent::kName), "_s");
  EXPECT_FALSE(events[1]->HasField(TLWPBEvent::kTimestamp));
  auto p = events[0]->GetRepeated<TLWPBEventParam>(TLWPBEvent::kParams);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0]->GetString(TLWPBEventParam::kStringValue), "auto");
  auto items = events[1]->GetRepeated<TLWPBEventParam>(TLWPBEvent::kParams);
  ASSERT_EQ(items.size(), 1u);
  auto bundlesOfArray = items[0]->GetRepeated<TLWPBEventParam>(TLWPBEventParam::kParamValue);
  ASSERT_EQ(bundlesOfArray.size(), 1u);
  auto inner = bundlesOfArray[0]->GetRepeated<TLWPBEventParam>(TLWPBEventParam::kParamValue);
  ASSERT_EQ(inner.size(), 1u);
  EXPECT_EQ(inner[0]->GetInt64(TLWPBEventParam::kIntValue), -1);
  auto results = b->GetRepeated<TLWPBAudienceLeafFilterResult>(B::kAudienceEvaluationResults);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_TRUE(results[0]->GetBool(TLWPBAudienceLeafFilterResult::kNewAudience));
  auto current = results[0]->GetMessage<TLWPBResultData>(TLWPBAudienceLeafFilterResult::kCurrentData);
  ASSERT_TRUE(current);
  EXPECT_EQ(current->GetRepeated(TLWPBResultData::kResults), platform::Array{platform::Value(1)});
  EXPECT_FALSE(results[0]->GetMessage<TLWPBResultData>(TLWPBAudienceLeafFilterResult::kPreviousData));
  EXPECT_EQ(bundles[1]->GetString(B::kAppId), "second");
  // Our own encoding of what protoc wrote is byte-identical.
  auto ours = batch->protoBuffer();
  ASSERT_TRUE(ours);
  EXPECT_EQ(asString(*ours), bytes);
}

TEST(TLWPBMeasurementBatchTest, WireLayoutOfListsAndNegativeNumbers) {
  // Only scalar metadata: no fields 2, 3, 29, 45; lists set to empty arrays are not written.
  auto b = B::initWithMessageInfo();
  ASSERT_TRUE(b->SetInt32(B::kProtocolVersion, 1));
  ASSERT_TRUE(b->SetString(B::kPlatform, "ios"));
  ASSERT_TRUE(b->SetRepeated(B::kEvents, std::vector<std::shared_ptr<TLWPBEvent>>{}));
  ASSERT_TRUE(b->SetRepeated(B::kExperimentIds, platform::Array{}));
  auto bytes = b->protoBuffer();
  ASSERT_TRUE(bytes);
  EXPECT_EQ(topLevelFieldNumbers(*bytes), (std::set<int>{1, 8}));

  // experiment_ids [7, 9]: two separate unpacked keys (field 45, varint: 0xE8 0x02).
  auto ids = B::initWithMessageInfo();
  ASSERT_TRUE(ids->SetRepeated(B::kExperimentIds, platform::Array{platform::Value(7), platform::Value(9)}));
  EXPECT_EQ(*ids->protoBuffer(), (Bytes{0xE8, 0x02, 0x07, 0xE8, 0x02, 0x09}));
  // A packed field 45 decodes to the same list.
  Bytes packed;
  putLengthDelimited(packed, 45, Bytes{0x07, 0x09});
  auto fromPacked = B::initWithBuffer(packed);
  ASSERT_TRUE(fromPacked);
  EXPECT_TRUE(fromPacked->isEqualMessage(*ids));

  // A time-zone offset of -300 minutes takes a ten-byte varint.
  auto tz = B::initWithMessageInfo();
  ASSERT_TRUE(tz->SetInt32(B::kTimezoneOffsetMinutes, -300));
  EXPECT_EQ(*tz->protoBuffer(), (Bytes{0x60, 0xD4, 0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));

  // An array of two bundles is one EventParam whose param_value has two elements, each
  // with its own param_value list.
  auto event = fullEvent();
  auto p = event->GetRepeated<TLWPBEventParam>(TLWPBEvent::kParams);
  auto arrayBytes = p[4]->protoBuffer();
  ASSERT_TRUE(arrayBytes);
  std::string raw;
  ASSERT_TRUE(runProtoc("--decode=tlwpb.EventParam", "MeasurementBatch.proto", asString(*arrayBytes), &raw));
  auto lines = trimmedLines(raw);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "param_value {"), 5);  // two bundles, three parameters
  EXPECT_EQ(lines.front(), "name: \"items\"");
}

TEST(TLWPBMeasurementBatchTest, DeclarationIndicesDifferFromFieldNumbersWhereDocumented) {
  LogCapture log;
  Bytes bytes;
  putTag(bytes, 23, 0);
  putVarint(bytes, 41);
  putTag(bytes, 26, 0);
  putVarint(bytes, 1234);
  putTag(bytes, 27, 2);
  putVarint(bytes, 1);
  bytes.push_back('v');
  putTag(bytes, 20, 0);
  putVarint(bytes, 1);
  auto b = B::initWithBuffer(bytes);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->GetInt32(24), 41);
  EXPECT_EQ(b->GetInt64(6), 1234);
  EXPECT_EQ(b->GetString(20), "v");
  EXPECT_TRUE(b->GetBool(21));
  // Index 6 holds an int64: reading it as int32 fails the kind check.
  EXPECT_EQ(b->GetInt32(6), 0);
  EXPECT_TRUE(log.contains("<Nano/Failure> Field type isn't a scalar INT32. Message: MeasurementBundle, field ID: 6"));
  // The tail of the bundle: index 29 is field 30 ... index 45 is field 59.
  const std::vector<std::uint32_t> tail{30, 31, 32, 33, 34, 35, 39, 41, 45, 47, 50, 52, 53, 55, 57, 58, 59};
  for (std::size_t i = 0; i < tail.size(); ++i) {
    EXPECT_EQ(B::descriptor().fields[29 + i].number, tail[i]) << "index " << 29 + i;
  }
  EXPECT_EQ(B::descriptor().fields.size(), 46u);
}

TEST(TLWPBMeasurementBatchTest, ChecksumIsMd5TailOfTheBundleWithoutItsChecksum) {
  auto b = fullBundle();
  auto withoutField = b->copy();
  ASSERT_TRUE(withoutField->ClearField(B::kBundleChecksum));
  auto bytes = withoutField->protoBuffer();
  ASSERT_TRUE(bytes);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  ASSERT_EQ(EVP_Digest(bytes->data(), bytes->size(), digest, &length, EVP_md5(), nullptr), 1);
  std::uint64_t expected = 0;
  for (int i = 8; i < 16; ++i) expected = (expected << 8) | digest[i];

  auto sum = b->checksum();
  ASSERT_TRUE(sum);
  EXPECT_EQ(static_cast<std::uint64_t>(*sum), expected);
  // The stored checksum field never feeds into the checksum.
  EXPECT_EQ(withoutField->checksum(), sum);
  // Any change to the content changes it.
  ASSERT_TRUE(withoutField->SetInt32(B::kRetryCount, 3));
  EXPECT_NE(withoutField->checksum(), sum);
}
