#include "tools/inspector/Inspector.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "platform/Gzip.h"
#include "tests/measurement/proto/ProtoTestSupport.h"

using namespace prototest;
using nlohmann::json;

namespace {

struct Outcome {
  int status;
  std::string out, err;
};

Outcome inspect(const std::vector<std::string>& args, const std::string& input = "") {
  std::istringstream in(input);
  std::ostringstream out, err;
  int status = tools::runInspector(args, in, out, err);
  return {status, out.str(), err.str()};
}

const char* kConfigJson = R"({
  "version": 1700000000001,
  "app_id": "1:123:ios:abc",
  "settings": [ {"name": "measurement.upload.interval", "value": "3600000"} ],
  "event_config": [ {"name": "purchase", "blocklisted": true, "sampling_rate": -3} ],
  "audiences": [ {
    "audience_id": 9,
    "event_filters": [ {
      "filter_id": 1, "event_name": "level_up",
      "filters": [ {"param_name": "level", "number_filter": {"comparison_type": 2, "comparison_value": "5"}} ],
      "count_filter": {"comparison_type": 4, "min_comparison_value": "1", "max_comparison_value": "3"}
    } ],
    "property_filters": [ {"filter_id": 2, "property_name": "tier",
                           "filter": {"string_filter": {"match_type": 6, "expression_list": ["gold", "silver"]}}} ]
  } ],
  "dynamic_event_editing": [ {"instructions": [ {"type": 4, "statement": "_set",
                                                  "value": [ {"type": 2, "number_value": 0.5} ]} ]} ]
})";

}  // namespace

TEST(InspectorTest, EncodedConfigurationIsReadByProtocAndDecodesBackToTheSameJson) {
  const std::string bin = tempPath(".bin");
  Outcome enc = inspect({"encode", "config", "-", "-o", bin}, kConfigJson);
  ASSERT_EQ(enc.status, 0) << enc.err;
  const std::string bytes = readAll(bin);
  ASSERT_FALSE(bytes.empty());

  std::string text;
  ASSERT_TRUE(runProtoc("--decode=tlwpb.MeasurementConfig", "MeasurementConfig.proto", bytes, &text));
  for (const char* line : {"version: 1700000000001", "value: \"3600000\"", "blocklisted: true", "sampling_rate: -3",
                           "comparison_type: GREATER_THAN", "comparison_type: BETWEEN", "match_type: IN_LIST",
                           "expression_list: \"silver\"", "type: STATEMENT", "number_value: 0.5"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }

  Outcome dec = inspect({"decode", "config", bin, "--format", "json"});
  ASSERT_EQ(dec.status, 0) << dec.err;
  EXPECT_EQ(json::parse(dec.out), json::parse(kConfigJson));

  Outcome txt = inspect({"decode", "config", bin});
  ASSERT_EQ(txt.status, 0) << txt.err;
  EXPECT_NE(txt.out.find("audiences {\n  audience_id: 9\n"), std::string::npos) << txt.out;
  EXPECT_NE(txt.out.find("      expression_list: \"gold\"\n"), std::string::npos) << txt.out;
  std::remove(bin.c_str());
}

TEST(InspectorTest, GzipAndRawBundlesDecodeAlike) {
  auto bundle = TLWPBMeasurementBundle::initWithMessageInfo();
  ASSERT_TRUE(bundle->SetInt32(TLWPBMeasurementBundle::kTimezoneOffsetMinutes, -300));
  ASSERT_TRUE(bundle->SetString(TLWPBMeasurementBundle::kPlatform, "ios\n\"x\""));
  ASSERT_TRUE(bundle->SetRepeated(TLWPBMeasurementBundle::kExperimentIds, platform::Array{platform::Value(7)}));
  auto raw = *bundle->protoBuffer();
  auto gz = platform::vxl_dataByGzippingData(raw);
  ASSERT_TRUE(gz);
  const std::string rawPath = tempPath(".raw"), gzPath = tempPath(".gz");
  writeAll(rawPath, asString(raw));
  writeAll(gzPath, asString(*gz));
  Outcome a = inspect({"decode", "bundle", rawPath, "-f", "json", "--compact"});
  Outcome b = inspect({"decode", "bundle", gzPath, "-f", "json", "--compact"});
  ASSERT_EQ(a.status, 0) << a.err;
  ASSERT_EQ(b.status, 0) << b.err;
  EXPECT_EQ(a.out, b.out);
  json j = json::parse(a.out);
  EXPECT_EQ(j["timezone_offset_minutes"], -300);
  EXPECT_EQ(j["platform"], "ios\n\"x\"");
  EXPECT_EQ(j["experiment_ids"], json::array({7}));
  Outcome t = inspect({"decode", "bundle", "-"}, asString(raw));
  ASSERT_EQ(t.status, 0);
  EXPECT_NE(t.out.find("platform: \"ios\\n\\\"x\\\"\"\n"), std::string::npos) << t.out;
  // A batch encoded from JSON holds the same bundle.
  const std::string batchJson = std::string(R"({"bundles": [)") + a.out + "]}";
  Outcome e = inspect({"encode", "batch", "-", "-o", "-", "--gzip"}, batchJson);
  ASSERT_EQ(e.status, 0) << e.err;
  auto inflated = platform::vxl_dataByInflatingGzippedData(asBytes(e.out));
  ASSERT_TRUE(inflated);
  auto batch = TLWPBMeasurementBatch::initWithBuffer(*inflated);
  ASSERT_TRUE(batch);
  auto bundles = batch->GetRepeated<TLWPBMeasurementBundle>(TLWPBMeasurementBatch::kBundles);
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_TRUE(bundles[0]->isEqualMessage(*bundle));
  std::remove(rawPath.c_str());
  std::remove(gzPath.c_str());
}

TEST(InspectorTest, BadInputIsReportedWithAFailingStatus) {
  LogCapture quiet;
  struct Case {
    const char* json;
    const char* message;
  };
  for (const Case& c : {Case{R"({"colour": 1})", "unknown field MeasurementConfig.colour"},
                        Case{R"({"version": "12"})", "MeasurementConfig.version does not fit"},
                        Case{R"({"settings": {"name": "x"}})", "MeasurementConfig.settings does not fit"},
                        Case{R"({"unused_field_3": 2147483648})", "unused_field_3 does not fit"},
                        Case{R"({"audiences": [{"event_filters": [{"filters": [{"string_filter": {"match_type": -1}}]}]}]})",
                             "StringFilter.match_type does not fit"},
                        Case{R"({"version": 1,)", "not valid JSON"}}) {
    Outcome r = inspect({"encode", "config", "-", "-o", "-"}, c.json);
    EXPECT_EQ(r.status, 2) << c.json;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());
  }
  Outcome corrupt = inspect({"decode", "bundle", "-"}, std::string("\x12\x05\x01", 3));
  EXPECT_EQ(corrupt.status, 2);
  EXPECT_NE(corrupt.err.find("MeasurementBundle decoder failed"), std::string::npos) << corrupt.err;
  Outcome badGzip = inspect({"decode", "bundle", "-"}, std::string("\x1f\x8b\x08\x00garbage", 11));
  EXPECT_EQ(badGzip.status, 2);
  Outcome missing = inspect({"decode", "bundle", "/nonexistent/file"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("cannot open"), std::string::npos);
  Outcome unknownKind = inspect({"decode", "database", "-"});
  EXPECT_NE(unknownKind.status, 0);
}
