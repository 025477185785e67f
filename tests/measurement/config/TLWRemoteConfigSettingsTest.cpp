// Reading settings: defaults, ranges, millisecond conversion, fixed limits, bad values.

#include <cmath>
#include <functional>
#include <limits>

#include "RemoteConfigTestSupport.h"

using namespace rconfig_test;
namespace keys = tlw_remote_config_keys;

namespace {

using Reader = std::function<double(const TLWRemoteConfig&)>;

struct Probe {
  const char* server;  // the value the server sends
  double expected;     // what the accessor answers
};

struct AccessorCase {
  const char* name;
  std::string_view key;
  Reader read;
  double defaultValue;
  std::vector<Probe> probes;
};

// A representative accessor of every kind, each with: inside the range, both bounds, one
// step past each bound, and values that are not numbers.
std::vector<AccessorCase> accessorCases() {
  return {
      {"seconds",
       keys::kUploadInterval,
       [](const TLWRemoteConfig& rc) { return rc.uploadingInterval(); },
       3600,
       {{"900000", 900},
        {"15000", 15},
        {"86400000", 86400},
        {"14999", 3600},     // 14.999 s: below the minimum once converted
        {"86400001", 3600},  // 86400.001 s
        {"5000", 3600},
        {"900", 3600},  // read as 0.9 s, not 900 s
        {"1500.9", 3600},
        {"abc", 3600},
        {"", 3600}}},
      {"seconds with fraction",
       keys::kNetworkTimeout,
       [](const TLWRemoteConfig& rc) { return rc.networkTimeout(); },
       60,
       {{"30500", 30.5}, {"30000", 30}, {"3600000", 3600}, {"29999", 60}, {"3600001", 60}, {"45000.9", 45}}},
      {"int",
       keys::kRetryCount,
       [](const TLWRemoteConfig& rc) { return rc.uploadingRetryCount(); },
       6,
       {{"12", 12}, {"1", 1}, {"24", 24}, {"0", 6}, {"25", 6}, {"12.7", 12}, {"-1", 6}, {"twelve", 6}}},
      {"int with negative range",
       keys::kTimeZoneOffsetMinutes,
       [](const TLWRemoteConfig& rc) { return rc.analyticsAccountTimeZoneOffsetMinutes(); },
       0,
       {{"-300", -300}, {"-900", -900}, {"900", 900}, {"-901", 0}, {"901", 0}, {"1000", 0}, {"+60", 60}}},
      {"int64",
       keys::kMaxBatchSize,
       [](const TLWRemoteConfig& rc) { return static_cast<double>(rc.uploadMaxSizeLimitBytes()); },
       65536,
       {{"1024", 1024},
        {"0", 0},
        {"10485760", 10485760},
        {"-1", 65536},
        {"10485761", 65536},
        {"99999999999999999999999", 65536},
        {"-9223372036854775809", 65536}}},
      {"seconds truncated to a count",
       keys::kMaxBundlesCreatedPerIteration,
       [](const TLWRemoteConfig& rc) { return static_cast<double>(rc.maxBundlesCreatedPerIteration()); },
       100,
       {{"50000", 50}, {"1000", 1}, {"10000000", 10000}, {"100", 100}, {"999", 100}, {"10000001", 100},
        {"2500", 2}}},
      {"flag",
       keys::kBlocklistPublic,
       [](const TLWRemoteConfig& rc) { return rc.blocklistPublic() ? 1.0 : 0.0; },
       0,
       {{"1", 1}, {"0", 0}, {"2", 0}, {"-1", 0}, {"1.0", 1}, {"true", 0}}},
      {"flag on by default",
       keys::kConsentSettings,
       [](const TLWRemoteConfig& rc) { return rc.isConsentSettingsEnabled() ? 1.0 : 0.0; },
       1,
       {{"0", 0}, {"1", 1}, {"2", 1}, {"-1", 1}, {"yes", 1}}},
      {"flag true when not zero",
       keys::kATTMASGate,
       [](const TLWRemoteConfig& rc) { return rc.gateIDFAOnATTMASEnabled() ? 1.0 : 0.0; },
       0,
       {{"1", 1}, {"0", 0}, {"0.5", 0}, {"2", 0}}},
  };
}

class TLWRemoteConfigSettingsTest : public RemoteConfigFixture {};

TEST_F(TLWRemoteConfigSettingsTest, EachKindReadsDefaultsBoundsAndRejectsOutOfRange) {
  for (const auto& c : accessorCases()) {
    SCOPED_TRACE(c.name);
    auto unset = configWith({});
    ASSERT_TRUE(unset);
    EXPECT_DOUBLE_EQ(c.read(*unset), c.defaultValue) << "no server value";
    EXPECT_DOUBLE_EQ(c.read(*TLWRemoteConfig::defaultInstance()), c.defaultValue) << "default instance";
    for (const auto& probe : c.probes) {
      auto rc = configWith({{std::string(c.key), std::string(probe.server)}});
      ASSERT_TRUE(rc);
      EXPECT_DOUBLE_EQ(c.read(*rc), probe.expected) << "server value \"" << probe.server << "\"";
    }
  }
}

// Every accessor: its default without a configuration, and a distinct in-range server
// value read from its own key (all keys set at once, so no accessor may answer another's).
TEST_F(TLWRemoteConfigSettingsTest, EveryAccessorHasItsDefaultAndReadsItsOwnKey) {
  using RC = TLWRemoteConfig;
  struct Row {
    std::string_view key;
    Reader read;
    double defaultValue;
    const char* server;
    double expected;
  };
  auto b = [](bool (RC::*f)() const) { return Reader([f](const RC& rc) { return (rc.*f)() ? 1.0 : 0.0; }); };
  auto n = [](auto f) { return Reader([f](const RC& rc) { return static_cast<double>((rc.*f)()); }); };
  const std::vector<Row> rows = {
      {keys::kUploadInterval, n(&RC::uploadingInterval), 3600, "7200000", 7200},
      {keys::kRealtimeUploadInterval, n(&RC::uploadingRealTimeInterval), 10, "12000", 12},
      {keys::kInitialUploadDelayTime, n(&RC::uploadingInitialDelayInterval), 15, "20000", 20},
      {keys::kDebugUploadInterval, n(&RC::uploadingDebugModeInterval), 1, "2000", 2},
      {keys::kRetryTime, n(&RC::uploadingRetryInterval), 1800, "1900000", 1900},
      {keys::kRetryCount, n(&RC::uploadingRetryCount), 6, "7", 7},
      {keys::kBackoffPeriod, n(&RC::uploadingBackoffInterval), 43200, "50000000", 50000},
      {keys::kMaxBundles, n(&RC::uploadMaxBundlesLimit), 100, "101", 101},
      {keys::kMaxEventsPerBundle, n(&RC::uploadMaxEventsPerBundle), 1000, "1001", 1001},
      {keys::kMaxBatchSize, n(&RC::uploadMaxSizeLimitBytes), 65536, "65537", 65537},
      {keys::kMaxBundlesCreatedPerIteration, n(&RC::maxBundlesCreatedPerIteration), 100, "102000", 102},
      {keys::kStaleDataDeletionInterval, n(&RC::databaseDeleteStaleBundlesInterval), 86400, "90000000", 90000},
      {keys::kMaxQueueTime, n(&RC::maxQueueTime), 2419200, "3000000000", 3000000},
      {keys::kMaxConversionsPerDay, n(&RC::maxConversionsPerDay), 10000, "10001", 10001},
      {keys::kMaxEventsPerDay, n(&RC::maxEventsPerDay), 100000, "100001", 100001},
      {keys::kMaxPublicEventsPerDay, n(&RC::maxPublicEventsPerDay), 50000, "50001", 50001},
      {keys::kMaxErrorEventsPerDay, n(&RC::maxErrorEventsPerDay), 1000, "1001", 1001},
      {keys::kMaxRealtimeEventsPerDay, n(&RC::maxRealtimeEventCountPerDay), 10, "9", 9},
      {keys::kMaxPublicUserProperties, n(&RC::maxPublicUserProperties), 25, "26", 26},
      {keys::kMaxEventNameCardinality, n(&RC::maxEventNameCardinality), 500, "501", 501},
      {keys::kMaxPublicEventParams, n(&RC::maxPublicEventParams), 25, "27", 27},
      {keys::kBlocklistInternal, b(&RC::blocklistInternal), 0, "1", 1},
      {keys::kMaxStoredEventsPerApp, n(&RC::maxEventsStored), 100000, "100002", 100002},
      {keys::kAudienceMaxCount, n(&RC::maxAudienceCount), 50, "51", 51},
      {keys::kFilterMaxCountPerAudience, n(&RC::maxFiltersPerAudience), 10, "11", 11},
      {keys::kFilterResultMaxCount, n(&RC::maxFilterResultCount), 200, "201", 201},
      {keys::kParameterMaxCountFilter, n(&RC::maxParametersPerFilter), 25, "26", 26},
      {keys::kEventSamplingEnabled, b(&RC::isEventSamplingEnabled), 0, "1", 1},
      {keys::kTimeZoneOffsetMinutes, n(&RC::analyticsAccountTimeZoneOffsetMinutes), 0, "-60", -60},
      {keys::kChecksum, b(&RC::checksumEnabled), 0, "1", 1},
      {keys::kNetworkTimeout, n(&RC::networkTimeout), 60, "61000", 61},
      {keys::kBackgroundSessionEnabled, b(&RC::isNetworkBackgroundSessionEnabled), 0, "1", 1},
      {keys::kConfigCacheTime, n(&RC::remoteConfigCacheTimeInterval), 3600, "3601000", 3601},
      {keys::kMonitoringSamplePeriod, n(&RC::monitoringSamplePeriod), 86400, "86401000", 86401},
      {keys::kAdIDCacheTime, n(&RC::adIDCacheTime), 1, "2000", 2},
      {keys::kATTMASGate, b(&RC::gateIDFAOnATTMASEnabled), 0, "1", 1},
      {keys::kLastAdvertisingIDResetFeatureEnabled, b(&RC::lastAdvertisingIDResetFeatureEnabled), 1, "0", 0},
      {keys::kNonBlockingAppInstanceIDEnabled, b(&RC::nonBlockingAppInstanceIDEnabled), 0, "1", 1},
      {keys::kConsentSettings, b(&RC::isConsentSettingsEnabled), 1, "0", 0},
      {keys::kConsentSettings3P, b(&RC::isConsentSettings3PEnabled), 1, "0", 0},
      {keys::kSessionDefaultMinimumInterval, n(&RC::sessionDefaultMinimumInterval), 10, "11000", 11},
      {keys::kSessionDefaultTimeoutInterval, n(&RC::sessionDefaultTimeoutInterval), 1800, "1801000", 1801},
      {keys::kSessionEventUserEngagementInterval, n(&RC::sessionEventUserEngagementInterval), 3600, "3602000", 3602},
      {keys::kEfficientEngagementReportingEnabled, b(&RC::efficientEngagementReportingEnabled), 0, "1", 1},
      {keys::kRedundantEngagementRemovalEnabled, b(&RC::redundantEngagementRemovalEnabled), 0, "1", 1},
      {keys::kAppBackgroundedTracking, b(&RC::appBackgroundedEventEnabled), 1, "0", 0},
      {keys::kAppInBackgroundParameter, b(&RC::appInBackgroundParameterEnabled), 1, "0", 0},
      {keys::kEESFeatureEnabled, b(&RC::eesFeatureEnabled), 1, "0", 0},
      {keys::kDeferredDeepLinkEnabled, b(&RC::isDeferredDeepLinkEnabled), 1, "0", 0},
      {keys::kDeferredDeepLinkRetryCount, n(&RC::maxDeferredDeepLinkRetryCount), 5, "6", 6},
      {keys::kMaxCurrencyTracked, n(&RC::maxTrackedCurrencies), 4, "5", 5},
      {keys::kAttributionCacheTTL, n(&RC::attributionCacheTTLInterval), 604800, "700000000", 700000},
      {keys::kPersistentConfigInApplicationSupportEnabled, b(&RC::persistentConfigInApplicationSupportEnabled), 0,
       "1", 1},
  };
  std::vector<SettingPair> all;
  for (const auto& row : rows) all.push_back({std::string(row.key), std::string(row.server)});
  auto unset = makeRemoteConfig();
  auto set = configWith(all);
  ASSERT_TRUE(unset && set);
  for (const auto& row : rows) {
    EXPECT_EQ(row.read(*unset), row.defaultValue) << row.key;
    EXPECT_EQ(row.read(*set), row.expected) << row.key;
  }
  EXPECT_FALSE(set->blocklistPublic());
  EXPECT_TRUE(unset->configurableLimitsEnabled());
  EXPECT_EQ(unset->version(), -1);
}

TEST_F(TLWRemoteConfigSettingsTest, IntervalsBelowTheirFloorsFallBackToTheDefault) {
  using RC = TLWRemoteConfig;
  struct Row {
    std::string_view key;
    Reader read;
    const char* server;  // milliseconds, just under the floor
    double expected;     // the default
  };
  auto n = [](auto f) { return Reader([f](const RC& rc) { return static_cast<double>((rc.*f)()); }); };
  const std::vector<Row> rows = {
      {keys::kUploadInterval, n(&RC::uploadingInterval), "14999", 3600},
      {keys::kRealtimeUploadInterval, n(&RC::uploadingRealTimeInterval), "9999", 10},
      {keys::kInitialUploadDelayTime, n(&RC::uploadingInitialDelayInterval), "999", 15},
      {keys::kDebugUploadInterval, n(&RC::uploadingDebugModeInterval), "0", 1},
      {keys::kRetryTime, n(&RC::uploadingRetryInterval), "59999", 1800},
      {keys::kBackoffPeriod, n(&RC::uploadingBackoffInterval), "3599999", 43200},
      {keys::kStaleDataDeletionInterval, n(&RC::databaseDeleteStaleBundlesInterval), "3599999", 86400},
      {keys::kConfigCacheTime, n(&RC::remoteConfigCacheTimeInterval), "59999", 3600},
      {keys::kSessionEventUserEngagementInterval, n(&RC::sessionEventUserEngagementInterval), "0", 3600},
      {keys::kSessionEventUserEngagementInterval, n(&RC::sessionEventUserEngagementInterval), "9999", 3600},
  };
  for (const auto& row : rows) {
    auto config = configWith({{std::string(row.key), row.server}});
    ASSERT_TRUE(config);
    EXPECT_EQ(row.read(*config), row.expected) << row.key << " = " << row.server;
  }
}

TEST_F(TLWRemoteConfigSettingsTest, ConfigurableLimitsOffPinsTheThreeLimitsToFixedValues) {
  const std::vector<SettingPair> raised = {{std::string(keys::kMaxPublicEventParams), "50"},
                                           {std::string(keys::kMaxPublicUserProperties), "100"},
                                           {std::string(keys::kMaxEventNameCardinality), "2000"}};
  auto on = configWith(raised);
  EXPECT_EQ(on->maxPublicEventParams(), 50);
  EXPECT_EQ(on->maxPublicUserProperties(), 100);
  EXPECT_EQ(on->maxEventNameCardinality(), 2000);

  auto withSwitch = raised;
  withSwitch.push_back({std::string(keys::kConfigurableLimitsEnabled), "0"});
  auto off = configWith(withSwitch);
  EXPECT_FALSE(off->configurableLimitsEnabled());
  EXPECT_EQ(off->maxPublicEventParams(), 25);
  EXPECT_EQ(off->maxPublicUserProperties(), 25);
  EXPECT_EQ(off->maxEventNameCardinality(), 500);
  // Other limits are not gated.
  withSwitch.push_back({std::string(keys::kMaxEventsPerDay), "7"});
  EXPECT_EQ(configWith(withSwitch)->maxEventsPerDay(), 7);

  // An unusable switch value reads as its default (on).
  auto bad = raised;
  bad.push_back({std::string(keys::kConfigurableLimitsEnabled), "off"});
  EXPECT_EQ(configWith(bad)->maxPublicEventParams(), 50);
}

TEST_F(TLWRemoteConfigSettingsTest, NumberParsingAcceptsOnlyPlainDecimals) {
  using V = platform::Value;
  EXPECT_EQ(TLWRemoteConfig::numberFromString("42"), V(42));
  EXPECT_TRUE(TLWRemoteConfig::numberFromString("42").isInteger());
  EXPECT_EQ(TLWRemoteConfig::numberFromString("-7"), V(-7));
  EXPECT_EQ(TLWRemoteConfig::numberFromString("+7"), V(7));
  EXPECT_EQ(TLWRemoteConfig::numberFromString("2.5"), V(2.5));
  EXPECT_EQ(TLWRemoteConfig::numberFromString(".5"), V(0.5));
  EXPECT_EQ(TLWRemoteConfig::numberFromString("9223372036854775807"), V(std::numeric_limits<std::int64_t>::max()));
  EXPECT_TRUE(TLWRemoteConfig::numberFromString("9223372036854775808").isNumber());
  EXPECT_FALSE(TLWRemoteConfig::numberFromString("9223372036854775808").isInteger());
  for (const char* bad : {"", " ", " 5", "5 ", "1e3", "0x10", "nan", "inf", "-inf", "1,000", "--5", "+-5", "+", "-",
                          ".", "5..0", "1.2.3", "\t7", "7\n", "abc", "12abc"}) {
    EXPECT_TRUE(TLWRemoteConfig::numberFromString(bad).isNull()) << '"' << bad << '"';
  }
  EXPECT_TRUE(TLWRemoteConfig::numberFromString(std::string(5000, '1')).isNull());
  EXPECT_TRUE(TLWRemoteConfig::numberFromString(std::string(300, '9')).isNumber());
}

TEST_F(TLWRemoteConfigSettingsTest, GenericReadersApplyTheSameRules) {
  auto rc = configWith({{"custom.count", "40"},
                        {"custom.time", "120000"},
                        {"custom.big", "9223372036854775807"},
                        {"custom.too_big", "9223372036854775808"},
                        {"custom.text", "many"}});
  EXPECT_EQ(rc->intValueFromCacheWithKey("custom.count", 5, 50, 10), 40);
  EXPECT_EQ(rc->intValueFromCacheWithKey("custom.count", 5, 39, 10), 5);
  EXPECT_EQ(rc->intValueFromCacheWithKey("custom.count", 5, 50, 41), 5);
  EXPECT_EQ(rc->intValueFromCacheWithKey("custom.missing", 5, 50, 10), 5);
  EXPECT_EQ(rc->intValueFromCacheWithKey("custom.text", 5, 50, 10), 5);
  EXPECT_DOUBLE_EQ(rc->timeIntervalInSecondsFromCacheWithKey("custom.time", 1, 200, 100), 120);
  EXPECT_DOUBLE_EQ(rc->timeIntervalInSecondsFromCacheWithKey("custom.time", 1, 119, 100), 1);
  EXPECT_EQ(rc->int64ValueFromCacheWithKey("custom.big", 3), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(rc->int64ValueFromCacheWithKey("custom.too_big", 3), 3);
  EXPECT_EQ(rc->int64ValueFromCacheWithKey("custom.text", 3), 3);
  EXPECT_EQ(rc->int64ValueFromCacheWithKey("custom.count", 3, 40, 40), 40);
  EXPECT_EQ(rc->settingStringForKey("custom.text"), "many");
  EXPECT_FALSE(rc->settingStringForKey("custom.missing"));

  EXPECT_TRUE(rc->numberFromCacheWithKey("", 1, 2, 0).isNull());
  EXPECT_EQ(rc->intValueFromCacheWithKey("", 5, 50, 10), 5);
  EXPECT_GE(logged(29020), 1u);
}

TEST_F(TLWRemoteConfigSettingsTest, BadSettingEntriesAreSkippedAndRepeatedNamesKeepTheLast) {
  auto rc = configWith({{std::string(keys::kRetryCount), "3"},
                        {std::string(keys::kRetryCount), "9"},
                        {"", "5"},
                        {std::string(keys::kMaxEventsPerDay), std::nullopt},
                        {"some.unknown.key", "17"}});
  EXPECT_EQ(rc->uploadingRetryCount(), 9);
  EXPECT_EQ(rc->maxEventsPerDay(), 100000);
  EXPECT_EQ(rc->settingStringForKey("some.unknown.key"), "17");

  // Repeated name whose later value is bad: the later entry still wins, and reads as the
  // default rather than reviving the earlier value.
  auto laterBad = configWith({{std::string(keys::kRetryCount), "3"}, {std::string(keys::kRetryCount), "x"}});
  EXPECT_EQ(laterBad->uploadingRetryCount(), 6);
  EXPECT_GE(logged(29028), 1u);
}

TEST_F(TLWRemoteConfigSettingsTest, ConfigurationForAnotherAppIsIgnoredWhenParsed) {
  auto rc = configWith({{std::string(keys::kRetryCount), "3"}});
  rc->parseRemoteConfigFromMeasurementConfig(*makeConfig("1:999:ios:other", {{std::string(keys::kRetryCount), "9"}}));
  EXPECT_EQ(rc->uploadingRetryCount(), 3);
}

TEST_F(TLWRemoteConfigSettingsTest, ConfigurationWithoutSettingsReadsAllDefaults) {
  auto rc = configWith({{std::string(keys::kRetryCount), "3"}}, {{"level_up", true, {}, {}}});
  ASSERT_TRUE(rc->isEventBlocklisted("level_up"));
  rc->parseRemoteConfigFromMeasurementConfig(*makeConfig(kAppID, {}, {{"level_up", true, {}, {}}}, 12));
  EXPECT_EQ(rc->uploadingRetryCount(), 6);
  // Nothing of the previous configuration survives.
  EXPECT_FALSE(rc->isEventBlocklisted("level_up"));
  EXPECT_EQ(rc->version(), 12);
}

}  // namespace
