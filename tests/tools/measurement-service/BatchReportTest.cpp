#include "tools/measurement-service/BatchReport.h"

#include <gtest/gtest.h>

#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "platform/Gzip.h"

namespace measurement_service {
namespace {

std::shared_ptr<TLWPBMeasurementBundle> bundleWith(const std::string& appID, const std::vector<std::string>& events) {
  auto bundle = TLWPBMeasurementBundle::initWithMessageInfo();
  if (!appID.empty()) bundle->SetString(TLWPBMeasurementBundle::kAppId, appID);
  for (const auto& name : events) {
    auto event = TLWPBEvent::initWithMessageInfo();
    event->SetString(TLWPBEvent::kName, name);
    bundle->AddRepeatedMessage(TLWPBMeasurementBundle::kEvents, *event);
  }
  return bundle;
}

std::string batchOf(const std::vector<std::shared_ptr<TLWPBMeasurementBundle>>& bundles) {
  auto batch = TLWPBMeasurementBatch::initWithMessageInfo();
  for (const auto& b : bundles) batch->AddRepeatedMessage(TLWPBMeasurementBatch::kBundles, *b);
  auto bytes = batch->protoBuffer();
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

TEST(BatchReportTest, AcceptsWellFormedBatchesRawOrGzipAndSummarisesEachBundle) {
  auto first = bundleWith("1:1:ios:abc", {"_f", "level_up", "level_up", "_e"});
  first->SetInt32(TLWPBMeasurementBundle::kRetryCount, 2);
  first->SetInt32(TLWPBMeasurementBundle::kBundleSequenceIndex, 7);
  auto checksum = first->checksum();
  ASSERT_TRUE(checksum);
  first->SetInt64(TLWPBMeasurementBundle::kBundleChecksum, *checksum);
  const std::string raw = batchOf({first, bundleWith("1:1:ios:abc", {"x"})});
  auto gz = platform::vxl_dataByGzippingData(std::span(reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size()));
  ASSERT_TRUE(gz);
  for (const std::string& payload : {raw, std::string(gz->begin(), gz->end())}) {
    BatchCheck check = checkBatch(payload);
    ASSERT_TRUE(check.valid()) << check.problem;
    ASSERT_EQ(check.bundles.size(), 2u);
    EXPECT_EQ(describeBundle(check.bundles[0]),
              "bundle app=1:1:ios:abc seq=7 retry=2 events=4 [_f, level_up x2, _e] user_properties=[]");
    EXPECT_NE(check.json->find("\"level_up\""), std::string::npos);
    // Checked without rendering: the same verdict, no JSON.
    BatchCheck quick = checkBatch(payload, false);
    EXPECT_TRUE(quick.valid() && !quick.json && quick.bundles.size() == 2u) << quick.problem;
  }
}

TEST(BatchReportTest, ShowsPropertyValuesAndAudienceResults) {
  auto bundle = bundleWith("1:1:ios:abc", {"level_end"});
  auto property = TLWPBUserAttribute::initWithMessageInfo();
  property->SetString(TLWPBUserAttribute::kName, "vip_player");
  property->SetString(TLWPBUserAttribute::kStringValue, "yes");
  bundle->AddRepeatedMessage(TLWPBMeasurementBundle::kUserAttributes, *property);
  auto data = TLWPBResultData::initWithMessageInfo();
  data->SetRepeated(TLWPBResultData::kStatus, platform::Array{platform::Value(std::uint64_t{3})});
  data->SetRepeated(TLWPBResultData::kResults, platform::Array{platform::Value(std::uint64_t{1})});
  auto leaf = TLWPBAudienceLeafFilterResult::initWithMessageInfo();
  leaf->SetInt32(TLWPBAudienceLeafFilterResult::kAudienceId, 1);
  leaf->SetMessage(TLWPBAudienceLeafFilterResult::kCurrentData, data.get());
  leaf->SetBool(TLWPBAudienceLeafFilterResult::kNewAudience, true);
  bundle->AddRepeatedMessage(TLWPBMeasurementBundle::kAudienceEvaluationResults, *leaf);
  BatchCheck check = checkBatch(batchOf({bundle}));
  ASSERT_TRUE(check.valid()) << check.problem;
  EXPECT_EQ(describeBundle(check.bundles[0]),
            "bundle app=1:1:ios:abc seq=0 retry=0 events=1 [level_end] user_properties=[vip_player=yes] "
            "audiences=[1 new results=0x1/status=0x3]");
}

TEST(BatchReportTest, RefusesWhatTheLibraryShouldNeverSend) {
  auto tampered = bundleWith("1:1:ios:abc", {"purchase"});
  auto checksum = tampered->checksum();
  ASSERT_TRUE(checksum);
  tampered->SetInt64(TLWPBMeasurementBundle::kBundleChecksum, *checksum + 1);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"not a message", "\xff\xff\xff"},
      {"no bundles", batchOf({})},
      {"bundle without app ID", batchOf({bundleWith("", {"e"})})},
      {"bundle without content", batchOf({bundleWith("1:1:ios:abc", {})})},
      {"checksum mismatch", batchOf({tampered})},
  };
  for (const auto& [what, payload] : cases) {
    for (bool render : {true, false}) {
      BatchCheck check = checkBatch(payload, render);
      EXPECT_FALSE(check.valid()) << what << " render " << render;
      EXPECT_FALSE(check.problem.empty()) << what << " render " << render;
    }
  }
}

}  // namespace
}  // namespace measurement_service
