#include "measurement/proto/TLWPBMeasurementConfig.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/measurement/proto/ProtoTestSupport.h"

using namespace prototest;
using C = TLWPBMeasurementConfig;

namespace {

std::shared_ptr<TLWPBRuntimeEntity> entity(std::int32_t type) {
  auto e = TLWPBRuntimeEntity::initWithMessageInfo();
  EXPECT_TRUE(e->SetInt32(TLWPBRuntimeEntity::kType, type));
  return e;
}

// A configuration with every field of every message set.
std::shared_ptr<C> fullConfig() {
  auto c = C::initWithMessageInfo();
  EXPECT_TRUE(c->SetInt64(C::kVersion, -1700000000000));
  EXPECT_TRUE(c->SetString(C::kAppId, "1:123:ios:abc"));
  EXPECT_TRUE(c->SetInt32(C::kUnusedField3, -3));
  auto s1 = TLWPBSetting::initWithMessageInfo();
  EXPECT_TRUE(s1->SetString(TLWPBSetting::kName, "measurement.upload.interval"));
  EXPECT_TRUE(s1->SetString(TLWPBSetting::kValue, "3600000"));
  auto s2 = TLWPBSetting::initWithMessageInfo();
  EXPECT_TRUE(s2->SetString(TLWPBSetting::kName, "measurement.upload.max_bundles"));
  EXPECT_TRUE(s2->SetString(TLWPBSetting::kValue, "100"));
  EXPECT_TRUE(c->SetRepeated(C::kSettings, std::vector{s1, s2}));
  auto ec = TLWPBEventConfig::initWithMessageInfo();
  EXPECT_TRUE(ec->SetString(TLWPBEventConfig::kName, "purchase"));
  EXPECT_TRUE(ec->SetBool(TLWPBEventConfig::kBlocklisted, false));
  EXPECT_TRUE(ec->SetBool(TLWPBEventConfig::kCustomConversion, true));
  EXPECT_TRUE(ec->SetInt32(TLWPBEventConfig::kSamplingRate, 10));
  EXPECT_TRUE(c->SetRepeated(C::kEventConfig, std::vector{ec}));

  auto sf = TLWPBStringFilter::initWithMessageInfo();
  EXPECT_TRUE(sf->SetInt32(TLWPBStringFilter::kMatchType, 6));
  EXPECT_TRUE(sf->SetString(TLWPBStringFilter::kExpression, "^a.*"));
  EXPECT_TRUE(sf->SetBool(TLWPBStringFilter::kCaseSensitive, true));
  EXPECT_TRUE(sf->SetRepeated(TLWPBStringFilter::kExpressionList,
                              platform::Array{platform::Value("b"), platform::Value("a"), platform::Value("")}));
  auto nf = TLWPBNumberFilter::initWithMessageInfo();
  EXPECT_TRUE(nf->SetInt32(TLWPBNumberFilter::kComparisonType, 4));
  EXPECT_TRUE(nf->SetBool(TLWPBNumberFilter::kMatchAsFloat, true));
  EXPECT_TRUE(nf->SetString(TLWPBNumberFilter::kComparisonValue, "1.5"));
  EXPECT_TRUE(nf->SetString(TLWPBNumberFilter::kMinComparisonValue, "-10"));
  EXPECT_TRUE(nf->SetString(TLWPBNumberFilter::kMaxComparisonValue, "10.25"));
  auto f = TLWPBFilter::initWithMessageInfo();
  EXPECT_TRUE(f->SetMessage(TLWPBFilter::kStringFilter, sf.get()));
  EXPECT_TRUE(f->SetMessage(TLWPBFilter::kNumberFilter, nf.get()));
  EXPECT_TRUE(f->SetBool(TLWPBFilter::kComplement, true));
  EXPECT_TRUE(f->SetString(TLWPBFilter::kParamName, "value"));
  auto ef = TLWPBEventFilter::initWithMessageInfo();
  EXPECT_TRUE(ef->SetInt32(TLWPBEventFilter::kFilterId, 1));
  EXPECT_TRUE(ef->SetString(TLWPBEventFilter::kEventName, "level_up"));
  EXPECT_TRUE(ef->SetRepeated(TLWPBEventFilter::kFilters, std::vector{f, f}));
  EXPECT_TRUE(ef->SetBool(TLWPBEventFilter::kUnusedField4, true));
  EXPECT_TRUE(ef->SetMessage(TLWPBEventFilter::kCountFilter, nf.get()));
  EXPECT_TRUE(ef->SetBool(TLWPBEventFilter::kDynamic, true));
  EXPECT_TRUE(ef->SetBool(TLWPBEventFilter::kSequence, false));
  EXPECT_TRUE(ef->SetBool(TLWPBEventFilter::kSessionScoped, true));
  auto pf = TLWPBPropertyFilter::initWithMessageInfo();
  EXPECT_TRUE(pf->SetInt32(TLWPBPropertyFilter::kFilterId, 2));
  EXPECT_TRUE(pf->SetString(TLWPBPropertyFilter::kPropertyName, "fav_color"));
  EXPECT_TRUE(pf->SetMessage(TLWPBPropertyFilter::kFilter, f.get()));
  EXPECT_TRUE(pf->SetBool(TLWPBPropertyFilter::kDynamic, false));
  EXPECT_TRUE(pf->SetBool(TLWPBPropertyFilter::kSequence, true));
  EXPECT_TRUE(pf->SetBool(TLWPBPropertyFilter::kSessionScoped, false));
  auto a = TLWPBAudience::initWithMessageInfo();
  EXPECT_TRUE(a->SetInt32(TLWPBAudience::kAudienceId, -9));
  EXPECT_TRUE(a->SetRepeated(TLWPBAudience::kPropertyFilters, std::vector{pf}));
  EXPECT_TRUE(a->SetRepeated(TLWPBAudience::kEventFilters, std::vector{ef}));
  EXPECT_TRUE(a->SetBool(TLWPBAudience::kUnusedField4, true));
  EXPECT_TRUE(a->SetBool(TLWPBAudience::kUnusedField5, false));
  EXPECT_TRUE(c->SetRepeated(C::kAudiences, std::vector{a}));
  EXPECT_TRUE(c->SetString(C::kQuadoAppId, "quado"));
  EXPECT_TRUE(c->SetBool(C::kUnusedField8, false));

  auto str = entity(1);
  EXPECT_TRUE(str->SetString(TLWPBRuntimeEntity::kStringValue, "_o"));
  auto num = entity(2);
  EXPECT_TRUE(num->SetDouble(TLWPBRuntimeEntity::kNumberValue, -0.125));
  auto boolean = entity(3);
  EXPECT_TRUE(boolean->SetBool(TLWPBRuntimeEntity::kBooleanValue, true));
  auto stmt = entity(4);
  EXPECT_TRUE(stmt->SetString(TLWPBRuntimeEntity::kStatement, "_set"));
  EXPECT_TRUE(stmt->SetRepeated(TLWPBRuntimeEntity::kValue, std::vector{str, num, boolean}));
  auto activity = TLWPBOgtActivity::initWithMessageInfo();
  EXPECT_TRUE(activity->SetString(TLWPBOgtActivity::kName, "act"));
  EXPECT_TRUE(activity->SetRepeated(TLWPBOgtActivity::kData, std::vector{str}));
  auto activities = TLWPBOgtActivities::initWithMessageInfo();
  EXPECT_TRUE(activities->SetRepeated(TLWPBOgtActivities::kActivities, std::vector{activity}));
  auto program = TLWPBProgram::initWithMessageInfo();
  EXPECT_TRUE(program->SetRepeated(TLWPBProgram::kInstructions, std::vector{stmt}));
  EXPECT_TRUE(program->SetMessage(TLWPBProgram::kActivities, activities.get()));
  EXPECT_TRUE(c->SetRepeated(C::kDynamicEventEditing, std::vector{program, TLWPBProgram::initWithMessageInfo()}));
  return c;
}

}  // namespace

TEST(TLWPBMeasurementConfigTest, FullyPopulatedConfigurationRoundTripsAndProtocAgrees) {
  auto c = fullConfig();
  TLWError error;
  auto bytes = c->protoBuffer(&error);
  ASSERT_TRUE(bytes) << error.localizedDescription();
  auto back = C::initWithBuffer(*bytes, &error);
  ASSERT_TRUE(back) << error.localizedDescription();
  EXPECT_TRUE(back->isEqualMessage(*c));
  EXPECT_EQ(*back->protoBuffer(), *bytes);

  std::string text;
  ASSERT_TRUE(runProtoc("--decode=tlwpb.MeasurementConfig", "MeasurementConfig.proto", asString(*bytes), &text));
  for (const char* line : {"version: -1700000000000", "app_id: \"1:123:ios:abc\"", "unused_field_3: -3",
                           "name: \"measurement.upload.interval\"", "value: \"3600000\"", "custom_conversion: true",
                           "sampling_rate: 10", "match_type: IN_LIST", "expression_list: \"b\"",
                           "expression_list: \"a\"", "expression_list: \"\"", "comparison_type: BETWEEN",
                           "min_comparison_value: \"-10\"", "max_comparison_value: \"10.25\"", "complement: true",
                           "param_name: \"value\"", "event_name: \"level_up\"", "session_scoped: true",
                           "property_name: \"fav_color\"", "audience_id: -9", "quado_app_id: \"quado\"",
                           "unused_field_8: false", "type: STATEMENT", "statement: \"_set\"", "string_value: \"_o\"",
                           "number_value: -0.125", "boolean_value: true", "name: \"act\""}) {
    EXPECT_NE(text.find(line), std::string::npos) << "missing: " << line << "\n" << text;
  }
}

TEST(TLWPBMeasurementConfigTest, ConfigurationEncodedByProtocIsReadBackInOrder) {
  const std::string text = R"(
    version: 42
    app_id: "app"
    audiences {
      audience_id: 3
      event_filters {
        filter_id: 4
        filters { string_filter { match_type: IN_LIST expression_list: "z" expression_list: "y" expression_list: "x" } }
      }
    }
    dynamic_event_editing {
      instructions {
        type: STATEMENT statement: "_eq"
        value { type: STRING string_value: "lhs" }
        value { type: NUMBER number_value: 7 }
      }
      instructions { type: NUMBER }
    }
  )";
  std::string bytes;
  ASSERT_TRUE(runProtoc("--encode=tlwpb.MeasurementConfig", "MeasurementConfig.proto", text, &bytes));
  TLWError error;
  auto c = C::initWithBuffer(bytes, &error);
  ASSERT_TRUE(c) << error.localizedDescription();
  EXPECT_EQ(c->GetInt64(C::kVersion), 42);
  // Without field 4 the settings list is empty.
  EXPECT_TRUE(c->GetRepeated<TLWPBSetting>(C::kSettings).empty());
  auto audiences = c->GetRepeated<TLWPBAudience>(C::kAudiences);
  ASSERT_EQ(audiences.size(), 1u);
  auto filters = audiences[0]->GetRepeated<TLWPBEventFilter>(TLWPBAudience::kEventFilters);
  ASSERT_EQ(filters.size(), 1u);
  auto f = filters[0]->GetRepeated<TLWPBFilter>(TLWPBEventFilter::kFilters);
  ASSERT_EQ(f.size(), 1u);
  auto sf = f[0]->GetMessage<TLWPBStringFilter>(TLWPBFilter::kStringFilter);
  ASSERT_TRUE(sf);
  EXPECT_EQ(sf->GetInt32(TLWPBStringFilter::kMatchType), 6);
  EXPECT_EQ(sf->GetRepeated(TLWPBStringFilter::kExpressionList),
            (platform::Array{platform::Value("z"), platform::Value("y"), platform::Value("x")}));
  EXPECT_FALSE(sf->HasField(TLWPBStringFilter::kCaseSensitive));
  EXPECT_FALSE(f[0]->GetMessage<TLWPBNumberFilter>(TLWPBFilter::kNumberFilter));

  auto programs = c->GetRepeated<TLWPBProgram>(C::kDynamicEventEditing);
  ASSERT_EQ(programs.size(), 1u);
  auto instructions = programs[0]->GetRepeated<TLWPBRuntimeEntity>(TLWPBProgram::kInstructions);
  ASSERT_EQ(instructions.size(), 2u);
  EXPECT_EQ(instructions[0]->GetInt32(TLWPBRuntimeEntity::kType), 4);
  EXPECT_EQ(instructions[0]->GetString(TLWPBRuntimeEntity::kStatement), "_eq");
  auto args = instructions[0]->GetRepeated<TLWPBRuntimeEntity>(TLWPBRuntimeEntity::kValue);
  ASSERT_EQ(args.size(), 2u);
  EXPECT_EQ(args[0]->GetString(TLWPBRuntimeEntity::kStringValue), "lhs");
  EXPECT_EQ(args[1]->GetDouble(TLWPBRuntimeEntity::kNumberValue), 7.0);
  // A value entity without its value field has none.
  EXPECT_FALSE(instructions[1]->HasField(TLWPBRuntimeEntity::kNumberValue));
  EXPECT_FALSE(programs[0]->GetMessage<TLWPBOgtActivities>(TLWPBProgram::kActivities));
}

TEST(TLWPBMeasurementConfigTest, EnumValuesOutsideTheSchemaSurviveAsNumbers) {
  Bytes entityBytes;
  putTag(entityBytes, 1, 0);
  putVarint(entityBytes, 99);
  putTag(entityBytes, 6, 1);
  double nan = std::nan("");
  const auto* p = reinterpret_cast<const std::uint8_t*>(&nan);
  entityBytes.insert(entityBytes.end(), p, p + 8);
  auto e = TLWPBRuntimeEntity::initWithBuffer(entityBytes);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->GetInt32(TLWPBRuntimeEntity::kType), 99);
  EXPECT_TRUE(std::isnan(e->GetDouble(TLWPBRuntimeEntity::kNumberValue)));
  EXPECT_EQ(*e->protoBuffer(), entityBytes);
}
