// The configuration's life: creation, storing and loading, event configurations,
// expiry, the configuration URL, the model's limits and the seams.

#include <atomic>
#include <thread>

#include "RemoteConfigTestSupport.h"
#include "measurement/config/TLWServiceEndpoint.h"
#include "platform/PropertyList.h"
#include "platform/app/Bundle.h"

using namespace rconfig_test;
namespace keys = tlw_remote_config_keys;

namespace {

class TLWRemoteConfigTest : public RemoteConfigFixture {};

// --- Creation, storing and loading --------------------------------------------------------

TEST_F(TLWRemoteConfigTest, CreationNeedsAppIDAndDatabase) {
  EXPECT_FALSE(TLWRemoteConfig::initWithAppID("", database_, nullptr, dependencies()));
  EXPECT_EQ(logged(29000), 1u);
  EXPECT_FALSE(TLWRemoteConfig::initWithAppID(kAppID, nullptr, nullptr, dependencies()));
  EXPECT_EQ(logged(29001), 1u);

  auto rc = makeRemoteConfig();
  ASSERT_TRUE(rc);
  EXPECT_FALSE(rc->isDefaultInstance());
  EXPECT_EQ(rc->appID(), kAppID);
  EXPECT_EQ(logged(29017), 1u) << "nothing stored yet";

  auto shared = TLWRemoteConfig::defaultInstance();
  EXPECT_EQ(shared, TLWRemoteConfig::defaultInstance());
  EXPECT_TRUE(shared->isDefaultInstance());
}

TEST_F(TLWRemoteConfigTest, DefaultInstanceRefusesUpdatesAndDatabaseWork) {
  auto rc = TLWRemoteConfig::initWithAppID("", nullptr, std::shared_ptr<TLWPBMeasurementConfig>(), nullptr,
                                           dependencies());
  ASSERT_TRUE(rc);
  ASSERT_TRUE(rc->isDefaultInstance());
  EXPECT_FALSE(rc->updateMeasurementConfig(makeConfig("", {{std::string(keys::kRetryCount), "3"}})));
  rc->parseRemoteConfigFromMeasurementConfig(*makeConfig("", {{std::string(keys::kRetryCount), "3"}}));
  EXPECT_EQ(rc->uploadingRetryCount(), 6);
  EXPECT_FALSE(rc->measurementConfigFromDatabase());
  EXPECT_FALSE(rc->isExpired());
  EXPECT_EQ(rc->lastRemoteConfigUpdateTimestamp(), 0);
}

TEST_F(TLWRemoteConfigTest, UpdateStoresTheConfigurationAndANewProcessLoadsIt) {
  auto rc = makeRemoteConfig();
  ASSERT_TRUE(rc->updateMeasurementConfig(
      makeConfig(kAppID, {{std::string(keys::kRetryCount), "3"}}, {{"level_up", true, {}, {}}}, 77)));
  EXPECT_EQ(rc->uploadingRetryCount(), 3);
  EXPECT_EQ(rc->version(), 77);
  ASSERT_TRUE(rc->measurementConfig());
  EXPECT_EQ(rc->measurementConfig()->GetInt64(TLWPBMeasurementConfig::kVersion), 77);

  // A relaunch: new database object over the same file, new configuration object.
  rc.reset();
  database_.reset();
  env_->relaunch();
  openDatabase();
  auto reloaded = makeRemoteConfig();
  EXPECT_EQ(reloaded->uploadingRetryCount(), 3);
  EXPECT_EQ(reloaded->version(), 77);
  EXPECT_TRUE(reloaded->isEventBlocklisted("level_up"));
}

TEST_F(TLWRemoteConfigTest, RefusedUpdatesLeaveTheConfigurationInForce) {
  auto rc = makeRemoteConfig();
  ASSERT_TRUE(rc->updateMeasurementConfig(makeConfig(kAppID, {{std::string(keys::kRetryCount), "3"}}, {}, 1)));

  EXPECT_FALSE(rc->updateMeasurementConfig(nullptr));
  EXPECT_FALSE(rc->updateMeasurementConfig(makeConfig("1:999:ios:other", {{std::string(keys::kRetryCount), "9"}})));
  EXPECT_EQ(rc->uploadingRetryCount(), 3);
  EXPECT_EQ(rc->version(), 1);

  // The database gone: nothing stored, nothing applied.
  database_.reset();
  EXPECT_FALSE(rc->updateMeasurementConfig(makeConfig(kAppID, {{std::string(keys::kRetryCount), "9"}})));
  EXPECT_EQ(logged(29005), 1u);
  EXPECT_EQ(rc->uploadingRetryCount(), 3);
}

TEST_F(TLWRemoteConfigTest, UnderTheAdsOriginTheQuadoAppIDMustMatchToo) {
  auto deps = dependencies();
  std::string origin = "qd";
  deps.identifiersOrigin = [&origin] { return origin; };
  auto rc = TLWRemoteConfig::initWithAppID(kAppID, database_, nullptr, deps);
  auto config = makeConfig(kAppID, {{std::string(keys::kRetryCount), "3"}});
  EXPECT_FALSE(rc->updateMeasurementConfig(config));
  config->SetString(TLWPBMeasurementConfig::kQuadoAppId, kAppID);
  EXPECT_TRUE(rc->updateMeasurementConfig(config));
  EXPECT_EQ(rc->uploadingRetryCount(), 3);

  origin = "app";
  EXPECT_TRUE(rc->updateMeasurementConfig(makeConfig(kAppID, {{std::string(keys::kRetryCount), "4"}})));
  EXPECT_EQ(rc->uploadingRetryCount(), 4);
}

TEST_F(TLWRemoteConfigTest, AStoredConfigurationForAnotherAppIsIgnoredAtLoad) {
  auto other = makeConfig("1:999:ios:other", {{std::string(keys::kRetryCount), "9"}}, {}, 5);
  TLWError error;
  ASSERT_TRUE(database_->updateRemoteConfig(*other, &error));
  auto rc = makeRemoteConfig();
  EXPECT_EQ(rc->uploadingRetryCount(), 6);
  EXPECT_EQ(rc->version(), -1);
}

TEST_F(TLWRemoteConfigTest, ResetReturnsToDefaults) {
  auto rc = makeRemoteConfig();
  ASSERT_TRUE(rc->updateMeasurementConfig(
      makeConfig(kAppID, {{std::string(keys::kRetryCount), "3"}}, {{"level_up", true, {}, {}}}, 4)));
  rc->reset();
  EXPECT_EQ(rc->uploadingRetryCount(), 6);
  EXPECT_EQ(rc->version(), -1);
  EXPECT_FALSE(rc->measurementConfig());
  EXPECT_FALSE(rc->isEventBlocklisted("level_up"));
}

// --- Event configurations -------------------------------------------------------------------

TEST_F(TLWRemoteConfigTest, BlocklistRules) {
  auto rc = configWith({}, {{"level_up", true, {}, {}}, {"_vs", true, {}, {}}, {"shop", false, {}, {}}});
  EXPECT_TRUE(rc->isEventBlocklisted("level_up"));
  EXPECT_TRUE(rc->isEventBlocklisted("_vs"));
  EXPECT_FALSE(rc->isEventBlocklisted("shop"));
  EXPECT_FALSE(rc->isEventBlocklisted("other"));

  // The public switch blocklists every public event, and a config saying false does not
  // exempt one; internal events stay unless their own switch is on.
  auto publicOn = configWith({{std::string(keys::kBlocklistPublic), "1"}}, {{"shop", false, {}, {}}});
  EXPECT_TRUE(publicOn->isEventBlocklisted("shop"));
  EXPECT_TRUE(publicOn->isEventBlocklisted("anything"));
  EXPECT_FALSE(publicOn->isEventBlocklisted("_s"));

  auto internalOn = configWith({{std::string(keys::kBlocklistInternal), "1"}});
  EXPECT_TRUE(internalOn->isEventBlocklisted("_s"));
  EXPECT_FALSE(internalOn->isEventBlocklisted("level_up"));
}

TEST_F(TLWRemoteConfigTest, ConversionAndSamplingQueries) {
  auto rc = configWith({}, {{"buy", {}, true, {}},
                            {"nobuy", {}, false, 3},
                            {"r1", {}, {}, 1},
                            {"r2", {}, {}, 2},
                            {"rmax", {}, {}, 65535},
                            {"rover", {}, {}, 65536},
                            {"rbig", {}, {}, 70000},
                            {"rneg", {}, {}, -5}});
  EXPECT_TRUE(rc->isEventCustomConversion("buy"));
  EXPECT_FALSE(rc->isEventCustomConversion("nobuy"));
  EXPECT_FALSE(rc->isEventCustomConversion("unknown"));
  EXPECT_FALSE(rc->eventHasSamplingRate("buy"));
  EXPECT_TRUE(rc->eventHasSamplingRate("r1"));
  EXPECT_EQ(rc->samplingRateForEvent("nobuy"), 3);
  EXPECT_EQ(rc->samplingRateForEvent("r1"), 1);
  EXPECT_EQ(rc->samplingRateForEvent("r2"), 2);
  EXPECT_EQ(rc->samplingRateForEvent("rmax"), 65535);
  EXPECT_EQ(rc->samplingRateForEvent("rover"), 1);
  EXPECT_EQ(rc->samplingRateForEvent("rbig"), 1);
  EXPECT_EQ(rc->samplingRateForEvent("rneg"), 1);
  EXPECT_EQ(rc->samplingRateForEvent("unknown"), 1);
}

TEST_F(TLWRemoteConfigTest, EventConfigsAreKeptUnderInternalNamesAndTheLastDuplicateWins) {
  auto rc = configWith({}, {{"ad_impression", true, {}, {}},
                            {"level_up", {}, {}, 5},
                            {"level_up", {}, {}, 9},
                            {"_ai", false, true, {}},
                            {"", true, {}, {}}});
  EXPECT_EQ(rc->eventConfigCount(), 2u);
  EXPECT_EQ(rc->samplingRateForEvent("level_up"), 9);
  // "ad_impression" was stored as "_ai"; the later "_ai" entry replaced it.
  EXPECT_FALSE(rc->isEventBlocklisted("_ai"));
  EXPECT_TRUE(rc->isEventCustomConversion("_ai"));
  auto message = rc->eventConfigWithName("_ai");
  ASSERT_TRUE(message);
  EXPECT_EQ(message->GetString(TLWPBEventConfig::kName), "_ai");
  EXPECT_FALSE(rc->eventConfigWithName("ad_impression"));
  EXPECT_FALSE(rc->eventConfigWithName(""));
}

TEST_F(TLWRemoteConfigTest, ThousandsOfEventConfigsAreIndexed) {
  std::vector<EventConfigSpec> many;
  for (int i = 0; i < 20000; ++i) many.push_back({"event_" + std::to_string(i), i % 2 == 0, {}, i % 100 + 2});
  auto rc = configWith({}, many);
  ASSERT_EQ(rc->eventConfigCount(), 20000u);
  for (int i = 0; i < 20000; i += 997) {
    const std::string name = "event_" + std::to_string(i);
    EXPECT_EQ(rc->isEventBlocklisted(name), i % 2 == 0) << name;
    EXPECT_EQ(rc->samplingRateForEvent(name), i % 100 + 2) << name;
  }
  EXPECT_FALSE(rc->isEventBlocklisted("event_20000"));
}

// --- Expiry -------------------------------------------------------------------------------

TEST_F(TLWRemoteConfigTest, ExpiresAfterTheCacheTime) {
  auto rc = makeRemoteConfig();
  const double now = env_->fakeClock()->now();
  EXPECT_TRUE(rc->isExpired()) << "never fetched";
  TLWError error;
  ASSERT_TRUE(database_->updateRemoteConfigSuccessfulTimestamp(now, &error));
  EXPECT_EQ(rc->lastRemoteConfigUpdateTimestamp(), now);
  EXPECT_FALSE(rc->isExpired());
  env_->fakeClock()->advance(3599);
  EXPECT_FALSE(rc->isExpired());
  env_->fakeClock()->advance(1);
  EXPECT_TRUE(rc->isExpired());

  // A shorter cache time from the server (milliseconds), and a clock set backwards.
  ASSERT_TRUE(rc->updateMeasurementConfig(makeConfig(kAppID, {{std::string(keys::kConfigCacheTime), "60000"}})));
  ASSERT_TRUE(database_->updateRemoteConfigSuccessfulTimestamp(env_->fakeClock()->now(), &error));
  env_->fakeClock()->advance(59);
  EXPECT_FALSE(rc->isExpired());
  env_->fakeClock()->advance(-200);
  EXPECT_TRUE(rc->isExpired());

  database_.reset();
  EXPECT_EQ(rc->lastRemoteConfigUpdateTimestamp(), 0);
  EXPECT_EQ(logged(29009), 1u);
}

// --- Configuration URL ---------------------------------------------------------------------

TEST_F(TLWRemoteConfigTest, ConfigurationURLIsOrderedAndEncoded) {
  auto rc = makeRemoteConfig();
  auto url = rc->remoteConfigURLWithAppInstanceID("a b&c=d", "ios", "80901", "0", false);
  ASSERT_TRUE(url);
  // ":" may stand in a path segment as it is; servers route on the raw path.
  EXPECT_EQ(*url,
            "https://measurement.tallywise.vorlix.com/config/app/1:1234567890:ios:abcdef"
            "?app_instance_id=a%20b%26c%3Dd&platform=ios&runtime_version=0&zel_version=80901");
  EXPECT_EQ(TLWServiceEndpoint::percentEncodePathSegment("1:2:ios:a/b c?d#e%"), "1:2:ios:a%2Fb%20c%3Fd%23e%25");

  auto denied = rc->remoteConfigURLWithAppInstanceID("ABC", "ios", "8.9.1", "1", true);
  ASSERT_TRUE(denied);
  EXPECT_NE(denied->find("?app_instance_id=&platform=ios"), std::string::npos);
  EXPECT_TRUE(rc->remoteConfigURLWithAppInstanceID("", "ios", "8.9.1", "1", true));

  EXPECT_FALSE(rc->remoteConfigURLWithAppInstanceID("", "ios", "8.9.1", "1", false));
  EXPECT_FALSE(rc->remoteConfigURLWithAppInstanceID("ABC", "", "8.9.1", "1", false));
}

TEST_F(TLWRemoteConfigTest, ServiceURLComesFromEnvironmentThenInfoPlistThenDefault) {
  // A process of its own, whose app bundle's Info.plist names a service. The bundle is
  // read once, so its location is set before anything asks for it.
  auto env = platform::testing::TestEnvironment::create();
  ASSERT_TRUE(env);
  EXPECT_EQ(TLWServiceEndpoint::baseURL(platform::testing::TestEnvironment::create(), monitor_),
            "https://measurement.tallywise.vorlix.com");
  const std::string bundle = env->root() + "/Skyforge.app";
  ASSERT_TRUE(env->fileSystem()->createDirectories(bundle));
  auto plist = platform::PropertyList::dataWithPropertyList(
      platform::Value(platform::Dictionary{{"TallywiseMeasurementServiceURL", "http://127.0.0.1:8123/"}}),
      platform::PropertyListFormat::XML);
  ASSERT_TRUE(plist);
  ASSERT_TRUE(env->fileSystem()->writeFileAtomically(bundle + "/Info.plist", *plist));
  env->fakeProcessInfo()->setEnvironmentVariable(platform::kBundlePathEnvironmentVariable, bundle);

  EXPECT_EQ(TLWServiceEndpoint::baseURL(env, monitor_), "http://127.0.0.1:8123");
  env->fakeProcessInfo()->setEnvironmentVariable(std::string(kTLWMeasurementServiceURLEnvironmentVariable),
                                                 "http://localhost:9000/base");
  EXPECT_EQ(TLWServiceEndpoint::baseURL(env, monitor_), "http://localhost:9000/base");
  EXPECT_EQ(TLWServiceEndpoint::uploadURL(env), "http://localhost:9000/base/a");
  auto deps = dependencies();
  deps.env = env;
  auto rc = TLWRemoteConfig::initWithAppID(kAppID, database_, nullptr, deps);
  auto url = rc->remoteConfigURLWithAppInstanceID("X", "ios", "8.9.1", "1", false);
  ASSERT_TRUE(url);
  EXPECT_EQ(url->rfind("http://localhost:9000/base/config/app/", 0), 0u) << *url;

  // Unusable overrides fall through to the next source.
  env->fakeProcessInfo()->setEnvironmentVariable(std::string(kTLWMeasurementServiceURLEnvironmentVariable),
                                                 "ftp://example.com");
  EXPECT_EQ(TLWServiceEndpoint::baseURL(env, monitor_), "http://127.0.0.1:8123");
  EXPECT_EQ(logged(29029), 1u);
}

TEST_F(TLWRemoteConfigTest, UsableBaseURLs) {
  EXPECT_TRUE(TLWServiceEndpoint::isUsableBaseURL("https://measurement.tallywise.vorlix.com"));
  EXPECT_TRUE(TLWServiceEndpoint::isUsableBaseURL("HTTP://127.0.0.1:80"));
  for (const char* bad : {"", "127.0.0.1:80", "https://", "http:///path", "http://:80", "http://host/a b",
                          "http://host/?q=1", "http://host/#f", "javascript:alert(1)", "http://ho\nst"}) {
    EXPECT_FALSE(TLWServiceEndpoint::isUsableBaseURL(bad)) << bad;
  }
  EXPECT_FALSE(TLWServiceEndpoint::isUsableBaseURL("http://h/" + std::string(3000, 'a')));
  EXPECT_EQ(TLWServiceEndpoint::percentEncode("aZ09-._~ /?%\xc3\xa9"), "aZ09-._~%20%2F%3F%25%C3%A9");
}

// --- Limits for the model -------------------------------------------------------------------

TEST_F(TLWRemoteConfigTest, InstalledConfigurationFeedsTheModelLimits) {
  TLWLimits::setCurrent(nullptr);
  {
    auto rc = makeRemoteConfig();
    rc->installAsCurrentLimits();
    EXPECT_EQ(TLWLimits::current()->maxPublicEventParams(), 25);
    ASSERT_TRUE(rc->updateMeasurementConfig(makeConfig(kAppID, {{std::string(keys::kMaxPublicEventParams), "40"},
                                                                {std::string(keys::kMaxStoredEventsPerApp), "500"},
                                                                {std::string(keys::kMaxQueueTime), "700000000"},
                                                                {std::string(keys::kMaxPublicUserProperties), "30"},
                                                                {std::string(keys::kMaxEventNameCardinality), "600"},
                                                                {std::string(keys::kStaleDataDeletionInterval), "7200000"}})));
    auto limits = TLWLimits::current();
    EXPECT_EQ(limits->maxPublicEventParams(), 40);
    EXPECT_EQ(limits->maxEventsStored(), 500);
    EXPECT_EQ(limits->maxQueueTime(), 700000);
    EXPECT_EQ(limits->maxPublicUserProperties(), 30);
    EXPECT_EQ(limits->maxEventNameCardinality(), 600);
    EXPECT_EQ(limits->databaseDeleteStaleBundlesInterval(), 7200);

    // A held view stays as it was across a change.
    rc->parseRemoteConfigFromMeasurementConfig(*makeConfig(kAppID, {{std::string(keys::kConfigurableLimitsEnabled), "0"},
                                                                     {std::string(keys::kMaxPublicEventParams), "40"}}));
    EXPECT_EQ(limits->maxPublicEventParams(), 40);
    EXPECT_EQ(TLWLimits::current()->maxPublicEventParams(), 25);
    EXPECT_EQ(TLWLimits::current()->maxEventsStored(), 100000);

    // A view of an instance that is not installed does not touch the current limits.
    auto other = configWith({{std::string(keys::kMaxPublicEventParams), "99"}});
    EXPECT_EQ(other->snapshotLimits()->maxPublicEventParams(), 99);
    EXPECT_EQ(TLWLimits::current()->maxPublicEventParams(), 25);
    rc->parseRemoteConfigFromMeasurementConfig(*makeConfig(kAppID, {{std::string(keys::kMaxPublicEventParams), "33"}}));
    EXPECT_EQ(TLWLimits::current()->maxPublicEventParams(), 33);
  }
  // The installed configuration is gone: back to the built-in defaults.
  EXPECT_EQ(TLWLimits::current()->maxPublicEventParams(), 25);
}

// --- Seams ------------------------------------------------------------------------------------

class FakeExperiments : public TLWExperimentFlags {
 public:
  bool registerClient(std::string_view sdkName, std::int64_t sdkVersion,
                      const std::map<std::string, std::int64_t>& defaultFlags,
                      std::weak_ptr<TLWExperimentClientDelegate> delegate) override {
    registeredName = sdkName;
    registeredVersion = sdkVersion;
    defaults = defaultFlags;
    this->delegate = std::move(delegate);
    return true;
  }
  bool activateLatestSnapshot(TLWError* error) override {
    ++activations;
    if (failActivation) {
      TLWSetError(error, TLWError::errorWithCode(7, "no snapshot"));
      return false;
    }
    return true;
  }
  platform::Value flagValue(std::string_view name) const override {
    auto it = flags.find(std::string(name));
    return it == flags.end() ? platform::Value() : it->second;
  }
  std::vector<std::int64_t> experimentIDs() const override { return {3, 8}; }
  void reset() override { ++resets; }

  std::string registeredName;
  std::int64_t registeredVersion = 0;
  std::map<std::string, std::int64_t> defaults;
  std::weak_ptr<TLWExperimentClientDelegate> delegate;
  std::map<std::string, platform::Value> flags;
  bool failActivation = false;
  int activations = 0;
  int resets = 0;
};

TEST_F(TLWRemoteConfigTest, ExperimentClientIsRegisteredAndItsFlagsOverrideSettings) {
  auto experiments = std::make_shared<FakeExperiments>();
  auto rc = makeRemoteConfig(experiments);
  EXPECT_EQ(experiments->registeredName, "tally_wise");
  EXPECT_EQ(experiments->registeredVersion, 80901);
  EXPECT_EQ(experiments->defaults.size(), 5u);
  EXPECT_EQ(experiments->defaults.count("efficient_engagement_reporting_enabled"), 1u);
  EXPECT_EQ(experiments->activations, 1);
  EXPECT_EQ(experiments->delegate.lock().get(), static_cast<TLWExperimentClientDelegate*>(rc.get()));
  EXPECT_EQ(rc->experimentIDs(), (std::vector<std::int64_t>{3, 8}));

  ASSERT_TRUE(rc->updateMeasurementConfig(
      makeConfig(kAppID, {{std::string(keys::kEfficientEngagementReportingEnabled), "1"},
                          {std::string(keys::kRedundantEngagementRemovalEnabled), "1"}})));
  EXPECT_TRUE(rc->efficientEngagementReportingEnabled());
  experiments->flags["efficient_engagement_reporting_enabled"] = 0;
  experiments->flags["network_background_session_enabled"] = true;
  experiments->flags["non_blocking_app_instance_id_enabled"] = "1";
  experiments->flags["redundant_engagement_removal_enabled"] = platform::Value::array({});  // unusable: setting
  EXPECT_FALSE(rc->efficientEngagementReportingEnabled());
  EXPECT_TRUE(rc->isNetworkBackgroundSessionEnabled());
  EXPECT_TRUE(rc->nonBlockingAppInstanceIDEnabled());
  EXPECT_TRUE(rc->redundantEngagementRemovalEnabled());

  rc->reset();
  EXPECT_EQ(experiments->resets, 1);
}

TEST_F(TLWRemoteConfigTest, NewSnapshotsAreActivatedOnce) {
  auto experiments = std::make_shared<FakeExperiments>();
  experiments->failActivation = true;
  auto rc = makeRemoteConfig(experiments);

  EXPECT_FALSE(rc->activateNewSnapshot()) << "nothing new";
  EXPECT_EQ(experiments->activations, 1);
  experiments->delegate.lock()->clientDidReceiveNewSnapshot();
  EXPECT_TRUE(rc->hasNewSnapshot());
  EXPECT_FALSE(rc->activateNewSnapshot());
  EXPECT_TRUE(rc->hasNewSnapshot()) << "a failed activation keeps the snapshot pending";
  experiments->failActivation = false;
  EXPECT_TRUE(rc->activateNewSnapshot());
  EXPECT_FALSE(rc->hasNewSnapshot());
  EXPECT_FALSE(rc->activateNewSnapshot());

  EXPECT_FALSE(rc->shouldFetchExperimentsForClient());
  auto deps = dependencies();
  deps.shouldFetchExperiments = [] { return true; };
  EXPECT_TRUE(TLWRemoteConfig::initWithAppID(kAppID, database_, experiments, deps)->shouldFetchExperimentsForClient());
}

class FakeEditor : public TLWEventEditor {
 public:
  std::optional<bool> handleEvent(const TLWEvent::EditForm& event, TLWError*) override {
    context_.inputEvent = event;
    context_.outputEvent = event;
    return false;
  }
  bool hasEdits() const override { return false; }
  bool hasCreatedEvents() const override { return false; }
  const TLWEventEditingContext& eventContext() const override { return context_; }

 private:
  TLWEventEditingContext context_;
};

class FakeEditorFactory : public TLWEventEditorFactory {
 public:
  std::shared_ptr<TLWEventEditor> makeEditor(const TLWPBProgram& program, const TLWEventEditingModules& modules,
                                             TLWError* error) override {
    ++calls;
    lastModules = modules;
    lastInstructionCount = program.GetRepeated<TLWPBRuntimeEntity>(TLWPBProgram::kInstructions).size();
    if (fail) {
      TLWSetError(error, TLWError("com.vorlix.zel.measurement.zorav.editing.ErrorDomain", 5));
      return nullptr;
    }
    return std::make_shared<FakeEditor>();
  }
  int calls = 0;
  bool fail = false;
  std::size_t lastInstructionCount = 0;
  TLWEventEditingModules lastModules;
};

std::shared_ptr<TLWPBMeasurementConfig> configWithPrograms(int programCount, int firstProgramInstructions) {
  auto config = makeConfig(kAppID, {{"measurement.sample.key", "abc"}});
  for (int p = 0; p < programCount; ++p) {
    auto program = TLWPBProgram::initWithMessageInfo();
    const int instructions = p == 0 ? firstProgramInstructions : 1;
    for (int i = 0; i < instructions; ++i) {
      auto entity = TLWPBRuntimeEntity::initWithMessageInfo();
      entity->SetInt32(TLWPBRuntimeEntity::kType, 1);
      program->AddRepeatedMessage(TLWPBProgram::kInstructions, *entity);
    }
    config->AddRepeatedMessage(TLWPBMeasurementConfig::kDynamicEventEditing, *program);
  }
  return config;
}

TEST_F(TLWRemoteConfigTest, EventEditorIsBuiltFromTheFirstProgram) {
  auto rc = makeRemoteConfig();
  rc->parseRemoteConfigFromMeasurementConfig(*configWithPrograms(2, 3));
  EXPECT_FALSE(rc->eventEditing()) << "no factory: programs are ignored";

  auto factory = std::make_shared<FakeEditorFactory>();
  rc->setEventEditorFactory(factory);
  rc->parseRemoteConfigFromMeasurementConfig(*configWithPrograms(2, 3));
  ASSERT_TRUE(rc->eventEditing());
  EXPECT_EQ(factory->lastInstructionCount, 3u);
  EXPECT_EQ(logged(29027), 1u);
  ASSERT_TRUE(factory->lastModules.remoteConfigValue);
  EXPECT_EQ(factory->lastModules.remoteConfigValue("measurement.sample.key"), "abc");
  EXPECT_FALSE(factory->lastModules.remoteConfigValue("measurement.other"));
  EXPECT_EQ(factory->lastModules.appMetadata["platform"], platform::Value("ios"));
  EXPECT_EQ(factory->lastModules.appMetadata["zel_version"], platform::Value(80901));
  EXPECT_TRUE(factory->lastModules.appMetadata["zel_version"].isInteger());
  EXPECT_TRUE(factory->lastModules.appMetadata.contains("package_name"));

  // Without programs the editor goes; a program that fails to load leaves none.
  rc->parseRemoteConfigFromMeasurementConfig(*configWithPrograms(0, 0));
  EXPECT_FALSE(rc->eventEditing());
  factory->fail = true;
  rc->parseRemoteConfigFromMeasurementConfig(*configWithPrograms(1, 1));
  EXPECT_FALSE(rc->eventEditing());
  EXPECT_EQ(logged(29026), 1u);
}

// --- Concurrency -------------------------------------------------------------------------------

// Two configurations whose every value differs; readers on many threads must see one or
// the other as a whole while a writer alternates them.
TEST_F(TLWRemoteConfigTest, ReadersSeeWholeConfigurationsWhileOneIsApplied) {
  TLWLimits::setCurrent(nullptr);
  auto rc = makeRemoteConfig();
  rc->installAsCurrentLimits();
  auto a = makeConfig(kAppID, {{std::string(keys::kMaxPublicEventParams), "30"},
                               {std::string(keys::kMaxPublicUserProperties), "30"},
                               {std::string(keys::kRetryCount), "3"}},
                      {{"level_up", true, {}, 3}});
  auto b = makeConfig(kAppID, {{std::string(keys::kMaxPublicEventParams), "60"},
                               {std::string(keys::kMaxPublicUserProperties), "60"},
                               {std::string(keys::kRetryCount), "9"}},
                      {{"level_up", false, {}, 9}});
  rc->parseRemoteConfigFromMeasurementConfig(*a);

  std::atomic<bool> stop{false};
  std::atomic<int> mixed{0};
  std::atomic<long> reads{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 6; ++t) {
    readers.emplace_back([&, t] {
      while (!stop.load()) {
        auto limits = t % 2 ? TLWLimits::current() : rc->snapshotLimits();
        const auto params = limits->maxPublicEventParams();
        if (params != limits->maxPublicUserProperties() || (params != 30 && params != 60)) ++mixed;
        const auto retries = rc->uploadingRetryCount();
        if (retries != 3 && retries != 9) ++mixed;
        const auto rate = rc->samplingRateForEvent("level_up");
        if (rate != 3 && rate != 9) ++mixed;
        ++reads;
      }
    });
  }
  // Apply only once the readers run, however slowly the threads start.
  while (reads.load() < 50) std::this_thread::yield();
  for (int i = 0; i < 400; ++i) rc->parseRemoteConfigFromMeasurementConfig(i % 2 ? *a : *b);
  stop = true;
  for (auto& r : readers) r.join();
  EXPECT_EQ(mixed.load(), 0);
  EXPECT_GT(reads.load(), 0);
  rc.reset();
  EXPECT_EQ(TLWLimits::current()->maxPublicEventParams(), 25);
}

}  // namespace
