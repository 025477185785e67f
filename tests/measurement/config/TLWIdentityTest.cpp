#include "measurement/config/TLWIdentity.h"

#include <gtest/gtest.h>

#include <limits>

#include "ConsentTestSupport.h"
#include "measurement/config/TLWDefaultIdentitySupport.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "platform/Device.h"
#include "platform/testing/FakeIdentityAdaptor.h"

namespace consent_test {
namespace {

using platform::Value;
using platform::testing::FakeIdentityAdaptor;

constexpr const char* kIDFA = "6D92078A-8246-4BA4-AE5B-76104861E7DC";
constexpr const char* kIDFAHash = "f2d1311ca5c1ecb214c19a26e9ddbad0";
constexpr const char* kOtherIDFA = "0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D";
constexpr const char* kOtherIDFAHash = "04a1861d5f86b35baae83f0d1ab49e7b";

bool isAppInstanceID(const std::optional<std::string>& id) {
  if (!id || id->size() != 32) return false;
  for (char c : *id) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

class IdentityTest : public ConsentFixture {
 protected:
  void SetUp() override {
    ConsentFixture::SetUp();
    util_ = TLWConsentSettingsUtil::create(monitor_);
  }

  [[nodiscard]] std::shared_ptr<FakeIdentityAdaptor> installAdaptor(FakeIdentityAdaptor::State state) {
    auto adaptor = FakeIdentityAdaptor::install(env_->classRegistry(), std::move(state));
    EXPECT_TRUE(adaptor);
    return adaptor;
  }
  static FakeIdentityAdaptor::State authorisedWith(std::optional<std::string> idfa) {
    FakeIdentityAdaptor::State state;
    state.advertisingIdentifier = std::move(idfa);
    return state;
  }

  // A process start over the sandbox: persisted configuration, support and identity.
  std::shared_ptr<TLWIdentity> start(TLWIdentity::Options options = {}) {
    persisted_ = TLWPersistedConfig::initWithSuiteName("com.vorlix.zel.measurement", false, env_, nullptr, monitor_);
    EXPECT_TRUE(persisted_);
    support_ = TLWDefaultIdentitySupport::create(env_);
    if (!options.isPublicInterfacePresent) options.isPublicInterfacePresent = [] { return false; };
    identity_ = TLWIdentity::initWithPersistedConfig(persisted_, env_, util_, support_, monitor_, options);
    EXPECT_TRUE(identity_);
    if (remoteConfig_) identity_->setRemoteConfig(remoteConfig_);
    return identity_;
  }
  void relaunch() {
    identity_->flush();
    ASSERT_TRUE(persisted_->synchronizeToDisk());
    identity_.reset();
    persisted_.reset();
    env_->relaunch();
    start();
  }
  // Past the advertising-identifier cache time.
  void expireCache() { env_->fakeClock()->advance(2); }
  void denyAnalytics() { util_->setConsentSettings(consent(std::nullopt, Value("denied"))); }
  // The one-turn read agrees with the getters one by one.
  void expectIdentifiersAsGetters() {
    const auto ids = identity_->identifiers();
    EXPECT_EQ(ids.resettableDeviceID, identity_->resettableDeviceID());
    EXPECT_EQ(ids.identifierForVendor, identity_->identifierForVendor());
    EXPECT_EQ(ids.appInstanceID, identity_->appInstanceID());
    EXPECT_EQ(ids.appleConsentStatus, identity_->appleConsentStatus());
    EXPECT_EQ(ids.hasLimitedAdTracking, identity_->hasLimitedAdTracking());
    EXPECT_EQ(ids.limitedAdTracking, identity_->limitedAdTracking());
  }

  std::shared_ptr<TLWConsentSettingsUtil> util_;
  std::shared_ptr<TLWRemoteConfig> remoteConfig_;
  std::shared_ptr<TLWPersistedConfig> persisted_;
  std::shared_ptr<TLWDefaultIdentitySupport> support_;
  std::shared_ptr<TLWIdentity> identity_;
};

TEST_F(IdentityTest, AppInstanceIDIsCreatedOnceAndSurvivesARelaunch) {
  start();
  auto id = identity_->appInstanceID();
  ASSERT_TRUE(isAppInstanceID(id)) << id.value_or("(none)");
  EXPECT_EQ(identity_->appInstanceID(), id);
  EXPECT_EQ(persisted_->appInstanceID(), id);
  EXPECT_EQ(identity_->identityQueue()->label(), "TLWIdentityWorkerQueue");

  relaunch();
  EXPECT_EQ(identity_->appInstanceID(), id);
}

TEST_F(IdentityTest, AResetReplacesTheAppInstanceIDAcrossRelaunches) {
  start();
  auto before = identity_->appInstanceID();
  auto fresh = identity_->resetAppInstanceID();
  ASSERT_TRUE(isAppInstanceID(fresh));
  EXPECT_NE(fresh, before);
  EXPECT_EQ(identity_->appInstanceID(), fresh);
  relaunch();
  EXPECT_EQ(identity_->appInstanceID(), fresh);

  identity_->setAppInstanceID(std::string("0123456789ABCDEF0123456789ABCDEF"));
  EXPECT_EQ(identity_->appInstanceID(), "0123456789ABCDEF0123456789ABCDEF");
}

TEST_F(IdentityTest, AnalyticsDenialWithholdsAndClearsTheAppInstanceID) {
  start();
  auto original = identity_->appInstanceID();
  ASSERT_TRUE(original);

  denyAnalytics();
  EXPECT_FALSE(identity_->appInstanceID());
  EXPECT_FALSE(persisted_->appInstanceID());
  EXPECT_FALSE(identity_->resetAppInstanceID());
  EXPECT_FALSE(identity_->appInstanceID());

  // Denied at start: nothing is created.
  relaunch();
  EXPECT_FALSE(persisted_->appInstanceID());
  EXPECT_FALSE(identity_->appInstanceID());

  // Granted again: a new identity, never the withdrawn one.
  util_->setConsentSettings(consent(std::nullopt, Value("granted")));
  auto fresh = identity_->appInstanceID();
  EXPECT_TRUE(isAppInstanceID(fresh));
  EXPECT_NE(fresh, original);
}

TEST_F(IdentityTest, WithoutTheAdaptorOnlyTheAppInstanceIDAndVendorIdentifierExist) {
  start();
  EXPECT_FALSE(support_->hasAdaptor());
  EXPECT_EQ(logged(5000), 1u);
  EXPECT_TRUE(identity_->appInstanceID());
  EXPECT_FALSE(identity_->resettableDeviceID());
  EXPECT_FALSE(identity_->hashedResettableDeviceID());
  EXPECT_FALSE(identity_->hasLimitedAdTracking());
  EXPECT_TRUE(identity_->limitedAdTracking());
  EXPECT_EQ(identity_->appleConsentStatus(), 6);
  EXPECT_EQ(identity_->identifierForVendor(), env_->fakeDevice()->vendorIdentifier());
  EXPECT_FALSE(identity_->shouldSetLastAdvertisingIDResetUserProperty());
}

TEST_F(IdentityTest, TheAdvertisingIdentifierIsReadHashedAndCached) {
  auto adaptor = installAdaptor(authorisedWith(kIDFA));
  start();
  EXPECT_EQ(logged(5000), 0u);
  auto appInstanceID = identity_->appInstanceID();
  EXPECT_EQ(identity_->resettableDeviceID(), kIDFA);
  EXPECT_EQ(identity_->hashedResettableDeviceID(), kIDFAHash);
  EXPECT_EQ(identity_->appleConsentStatus(), 3);
  EXPECT_TRUE(identity_->hasLimitedAdTracking());
  EXPECT_FALSE(identity_->limitedAdTracking());
  // The first identifier ever seen is no reset.
  EXPECT_EQ(identity_->appInstanceID(), appInstanceID);
  EXPECT_FALSE(identity_->shouldSetLastAdvertisingIDResetUserProperty());
  // With an advertising identifier the vendor identifier is not provided.
  EXPECT_FALSE(identity_->identifierForVendor());

  // Within the cache time the old answer stands.
  adaptor->setAdvertisingIdentifier(std::string(kOtherIDFA));
  EXPECT_EQ(identity_->resettableDeviceID(), kIDFA);

  // After it, a changed identifier resets the app instance and asks for the property.
  expireCache();
  EXPECT_EQ(identity_->resettableDeviceID(), kOtherIDFA);
  EXPECT_EQ(identity_->hashedResettableDeviceID(), kOtherIDFAHash);
  auto afterReset = identity_->appInstanceID();
  EXPECT_TRUE(isAppInstanceID(afterReset));
  EXPECT_NE(afterReset, appInstanceID);
  EXPECT_TRUE(identity_->shouldSetLastAdvertisingIDResetUserProperty());
  identity_->setShouldSetLastAdvertisingIDResetUserProperty(false);
  EXPECT_FALSE(identity_->shouldSetLastAdvertisingIDResetUserProperty());
}

TEST_F(IdentityTest, TheResetPropertyFlagFollowsItsRemoteSwitch) {
  auto adaptor = installAdaptor(authorisedWith(kIDFA));
  remoteConfig_ = remoteConfigWith({{"measurement.last_advertising_id_reset_feature_enabled", "0"}});
  start();
  auto before = identity_->appInstanceID();
  ASSERT_EQ(identity_->resettableDeviceID(), kIDFA);
  adaptor->setAdvertisingIdentifier(std::string(kOtherIDFA));
  expireCache();
  EXPECT_NE(identity_->appInstanceID(), before);
  EXPECT_FALSE(identity_->shouldSetLastAdvertisingIDResetUserProperty());
}

TEST_F(IdentityTest, AnAllZeroIdentifierClearsTheCacheAndIsNeverHashed) {
  auto adaptor = installAdaptor(authorisedWith(kIDFA));
  start();
  auto appInstanceID = identity_->appInstanceID();
  ASSERT_EQ(identity_->resettableDeviceID(), kIDFA);
  adaptor->setAdvertisingIdentifier(std::string(kTLWAllZeroAdvertisingIdentifier));
  expireCache();
  EXPECT_FALSE(identity_->resettableDeviceID());
  EXPECT_EQ(identity_->hashedResettableDeviceID(), kIDFAHash);
  EXPECT_EQ(identity_->appInstanceID(), appInstanceID);
  EXPECT_TRUE(identity_->limitedAdTracking());

  // A fresh install that only ever sees zeros has no hash.
  persisted_->clearValues();
  start();
  EXPECT_FALSE(identity_->resettableDeviceID());
  EXPECT_FALSE(identity_->hashedResettableDeviceID());
}

TEST_F(IdentityTest, AdStorageDenialClearsTheHashAndTheCachedIdentifier) {
  auto adaptor = installAdaptor(authorisedWith(kIDFA));
  start();
  ASSERT_EQ(identity_->resettableDeviceID(), kIDFA);
  ASSERT_EQ(identity_->hashedResettableDeviceID(), kIDFAHash);
  util_->setConsentSettings(consent(Value("denied"), std::nullopt));
  // Enforced on the next read even inside the cache time.
  EXPECT_FALSE(identity_->hashedResettableDeviceID());
  expireCache();
  EXPECT_FALSE(identity_->resettableDeviceID());
  EXPECT_FALSE(persisted_->hashedResettableDeviceID());
  // The app instance ID is analytics storage's, not ad storage's.
  EXPECT_TRUE(identity_->appInstanceID());
}

TEST_F(IdentityTest, BeforeOS14TheIdentifierIsNotAskedForWhileAdStorageIsDenied) {
  env_->fakeDevice()->setOSVersion("13.7");
  auto adaptor = installAdaptor(authorisedWith(kIDFA));
  util_->setConsentSettings(consent(Value("denied"), std::nullopt));
  start();
  EXPECT_FALSE(identity_->resettableDeviceID());
  EXPECT_EQ(adaptor->advertisingIdentifierReads(), 0u);
  EXPECT_EQ(identity_->appleConsentStatus(), 6);
}

TEST_F(IdentityTest, TrackingStatusIsMappedAndGatesTheIdentifierWhenConfigured) {
  struct Case {
    std::int64_t platformStatus;
    std::int64_t sent;
  };
  const Case cases[] = {{0, 4}, {1, 1}, {2, 2}, {3, 3}, {7, 5}, {-1, 5}};
  auto adaptor = installAdaptor(authorisedWith(kIDFA));
  remoteConfig_ = remoteConfigWith({{"measurement.attmas_gate", "1"}});
  start();
  for (const Case& c : cases) {
    adaptor->setTrackingAuthorizationStatus(c.platformStatus);
    identity_->clearCachedIdentifiers();
    EXPECT_EQ(identity_->appleConsentStatus(), c.sent) << c.platformStatus;
    EXPECT_EQ(identity_->resettableDeviceID().has_value(), c.sent == 3) << c.platformStatus;
    identity_->clearCachedIdentifiers();
    expectIdentifiersAsGetters();
  }

  // Gate off (the default): not determined still lets the identifier through.
  identity_->setRemoteConfig(nullptr);
  adaptor->setTrackingAuthorizationStatus(0);
  expireCache();
  EXPECT_EQ(identity_->resettableDeviceID(), kIDFA);
  EXPECT_EQ(identity_->appleConsentStatus(), 4);

  // No tracking framework, or an OS before 14.
  auto state = adaptor->state();
  state.hasTrackingAuthorization = false;
  adaptor->setState(state);
  expireCache();
  EXPECT_EQ(identity_->appleConsentStatus(), 6);
  state.hasTrackingAuthorization = true;
  adaptor->setState(state);
  env_->fakeDevice()->setOSVersion("13.4");
  expireCache();
  EXPECT_EQ(identity_->appleConsentStatus(), 6);
  EXPECT_FALSE(identity_->iOS14OrAbove());
}

TEST_F(IdentityTest, TheVendorIdentifierHonoursItsSwitchAndAnalyticsConsent) {
  writeInfoPlist({{"VORLIX_ANALYTICS_IDFV_COLLECTION_ENABLED", false}});
  start();
  EXPECT_EQ(identity_->idfvCollectionEnabled(), false);
  EXPECT_EQ(logged(20009), 1u);
  EXPECT_EQ(logger_->lineWithCode(20009).find("VORLIX_ANALYTICS_IDFV_COLLECTION_ENABLED = NO") != std::string::npos,
            true);
  EXPECT_FALSE(identity_->identifierForVendor());
}

TEST_F(IdentityTest, TheVendorIdentifierIsWithheldWhileAnalyticsIsDenied) {
  start();
  EXPECT_FALSE(identity_->idfvCollectionEnabled());
  ASSERT_TRUE(identity_->identifierForVendor());
  expectIdentifiersAsGetters();
  denyAnalytics();
  EXPECT_FALSE(identity_->identifierForVendor());
  expectIdentifiersAsGetters();
  util_->setConsentSettings(std::nullopt);
  env_->fakeDevice()->setVendorIdentifier("");
  identity_->clearCachedIdentifiers();
  EXPECT_FALSE(identity_->identifierForVendor());
}

TEST_F(IdentityTest, RegisteredAppIDsComeFromTheServiceListAndAreSetOncePerProcess) {
  writeServiceInfoPlist({{"VORLIX_APP_ID", "1:111:ios:aa"}, {"QUADO_APP_ID", "ca-app-pub-1~2"}});
  start();
  EXPECT_EQ(identity_->appIDFromZEL(), "1:111:ios:aa");
  EXPECT_EQ(identity_->appIDFromQuado(), "ca-app-pub-1~2");

  drainSample();
  EXPECT_FALSE(identity_->setAppIDFromZEL(""));
  EXPECT_TRUE(sampled("Cannot set empty Vorlix App ID"));
  EXPECT_TRUE(identity_->setAppIDFromZEL("1:222:ios:bb"));
  EXPECT_FALSE(identity_->setAppIDFromZEL("1:333:ios:cc"));
  EXPECT_EQ(identity_->appIDFromZEL(), "1:222:ios:bb");

  EXPECT_FALSE(identity_->setAppIDFromQuado(""));
  EXPECT_TRUE(sampled("Cannot set empty Quado App ID"));
  EXPECT_TRUE(identity_->setAppIDFromQuado("ca-app-pub-3~4"));
  EXPECT_FALSE(identity_->setAppIDFromQuado("ca-app-pub-5~6"));
  EXPECT_EQ(identity_->appIDFromQuado(), "ca-app-pub-3~4");
}

TEST_F(IdentityTest, AMissingZELAppIDIsAnErrorOnlyWithThePublicInterface) {
  writeServiceInfoPlist({{"VORLIX_APP_ID", ""}, {"QUADO_APP_ID", 12}});
  TLWIdentity::Options options;
  options.isPublicInterfacePresent = [] { return true; };
  start(options);
  EXPECT_EQ(logged(20006), 1u);
  EXPECT_FALSE(identity_->appIDFromZEL());
  EXPECT_FALSE(identity_->appIDFromQuado());
}

TEST_F(IdentityTest, BundleFactsAndVersionFieldsComeFromTheInfoPlist) {
  writeInfoPlist({{"CFBundleIdentifier", "com.example.game"},
                  {"CFBundleShortVersionString", "3.1"},
                  {"CFBundleVersion", "1.2b.3.9"}});
  start();
  EXPECT_EQ(identity_->appID(), "com.example.game");
  EXPECT_EQ(identity_->appVersion(), "3.1");
  EXPECT_EQ(identity_->appVersionMajor(), 1);
  EXPECT_EQ(identity_->appVersionMinor(), 2);
  EXPECT_EQ(identity_->appVersionRelease(), 3);
  EXPECT_TRUE(sampled("app version numeric has non-numeric characters"));
  EXPECT_FALSE(identity_->idfvCollectionEnabled());
}

TEST(IdentityClassTest, NumericVersionFieldsAndLibraryVersion) {
  using V = std::vector<std::int64_t>;
  EXPECT_EQ(TLWIdentity::numericFieldsFromAppVersionNumeric("1.2b.3"), (V{1, 2, 3}));
  EXPECT_EQ(TLWIdentity::numericFieldsFromAppVersionNumeric("2.0"), (V{2, 0}));
  EXPECT_EQ(TLWIdentity::numericFieldsFromAppVersionNumeric(""), V{});
  EXPECT_EQ(TLWIdentity::numericFieldsFromAppVersionNumeric("1..2."), (V{1, 2}));
  EXPECT_EQ(TLWIdentity::numericFieldsFromAppVersionNumeric("beta"), (V{0}));
  EXPECT_EQ(TLWIdentity::numericFieldsFromAppVersionNumeric("99999999999999999999999.1"),
            (V{std::numeric_limits<std::int64_t>::max(), 1}));
  EXPECT_EQ(TLWIdentity::numericFieldsFromAppVersionNumeric(std::string(100000, '.') + "7"), V{7});
  EXPECT_EQ(TLWIdentity::numericFieldsFromAppVersionNumeric(std::string(4000, '1') + std::string(2000, '.')).size(),
            1u);

  EXPECT_EQ(TLWIdentity::tallywiseLibraryVersion(), 80901);
  EXPECT_EQ(TLWIdentity::libraryVersionFromBuildString("123"), 0);
  EXPECT_EQ(TLWIdentity::libraryVersionFromBuildString("1234"), 1);
  EXPECT_EQ(TLWIdentity::hashOfResettableDeviceID(kIDFA), kIDFAHash);
}

TEST_F(IdentityTest, CreationNeedsAPersistedConfiguration) {
  drainSample();
  EXPECT_FALSE(TLWIdentity::initWithPersistedConfig(nullptr, env_, util_, nullptr, monitor_));
  EXPECT_TRUE(sampled("missing a valid persisted config instance"));
}

TEST_F(IdentityTest, AppInstanceIDsAreRandomUpperCaseHex) {
  start();
  auto a = identity_->randomAppInstanceID();
  auto b = identity_->randomAppInstanceID();
  EXPECT_TRUE(isAppInstanceID(a));
  EXPECT_NE(a, b);
}

class IdentityBadStorageTest : public IdentityTest {};

TEST_F(IdentityBadStorageTest, ACorruptPreferenceFileGivesANewAppInstanceID) {
  start();
  auto original = identity_->appInstanceID();
  relaunch();
  ASSERT_EQ(identity_->appInstanceID(), original);
  identity_.reset();
  persisted_.reset();
  std::string path = env_->sandbox()->preferencesDirectory() + "/com.vorlix.zel.measurement.plist";
  ASSERT_TRUE(env_->fileSystem()->exists(path));
  ASSERT_TRUE(env_->fileSystem()->writeFileAtomically(path, "<?xml version=\"1.0\"?><plist><dict><key>"));
  env_->relaunch();
  start();
  auto fresh = identity_->appInstanceID();
  EXPECT_TRUE(isAppInstanceID(fresh));
  EXPECT_NE(fresh, original);
}

TEST_F(IdentityBadStorageTest, AnUnwritableOrCorruptKeychainNeverCrashesTheVendorIdentifier) {
  env_->setDevice(std::make_shared<platform::LinuxDevice>(env_->processInfo(), env_->keychain(), env_->random(),
                                                          env_->clock()));
  ASSERT_TRUE(env_->fileSystem()->createDirectories(env_->root() + "/Keychain"));
  ASSERT_TRUE(env_->fileSystem()->writeFileAtomically(env_->sandbox()->keychainPath(), "not a property list"));
  env_->faultFileSystem()->setFailWrite(true);
  start();
  // Cannot be persisted: none rather than one that changes at every launch.
  EXPECT_FALSE(identity_->identifierForVendor());
  env_->faultFileSystem()->setFailWrite(false);
  auto vendor = identity_->identifierForVendor();
  ASSERT_TRUE(vendor);
  // Cached, and kept in the keychain store for the next process.
  EXPECT_EQ(identity_->identifierForVendor(), vendor);
  relaunch();
  env_->setDevice(std::make_shared<platform::LinuxDevice>(env_->processInfo(), env_->keychain(), env_->random(),
                                                          env_->clock()));
  EXPECT_EQ(identity_->identifierForVendor(), vendor);
}

}  // namespace
}  // namespace consent_test
