#include "measurement/config/TLWConsentPersistence.h"

#include <gtest/gtest.h>

#include "ConsentTestSupport.h"
#include "measurement/storage/TLWUserDefaults.h"

namespace consent_test {
namespace {

using platform::Dictionary;
using platform::Value;
using Keys = TLWConsentPersistence;

class ConsentPersistenceTest : public ConsentFixture {
 protected:
  void SetUp() override {
    ConsentFixture::SetUp();
    launch();
  }

  // A process start: new suite and consent objects over the sandbox's files.
  void launch(bool publicInterfacePresent = false) {
    publicInterfacePresent_ = publicInterfacePresent;
    suite_ = TLWUserDefaults::initWithSuiteName(std::string(Keys::kSuiteName), env_);
    ASSERT_TRUE(suite_);
    util_ = TLWConsentSettingsUtil::create(monitor_);
    TLWConsentPersistence::Options options;
    options.isPublicInterfacePresent = [this] { return publicInterfacePresent_; };
    persistence_ = TLWConsentPersistence::create(suite_, util_, env_, monitor_, options);
    ASSERT_TRUE(persistence_);
  }
  void relaunch(bool publicInterfacePresent = false) {
    env_->relaunch();
    launch(publicInterfacePresent);
  }

  TLWConsentWithdrawalHooks hooks(bool engineReady) {
    TLWConsentWithdrawalHooks h;
    h.clearAppInstanceIDAfterReset = [this] { ++clearedAfterReset_; };
    h.engineDidInitializeComponents = [engineReady] { return engineReady; };
    h.resetAnalyticsData = [this] { ++resets_; };
    return h;
  }

  bool publicInterfacePresent_ = false;
  std::shared_ptr<TLWUserDefaults> suite_;
  std::shared_ptr<TLWConsentSettingsUtil> util_;
  std::shared_ptr<TLWConsentPersistence> persistence_;
  int clearedAfterReset_ = 0;
  int resets_ = 0;
};

TEST_F(ConsentPersistenceTest, InvalidValuesAreDroppedOneByOneThenTheEmptyRestIsDiscarded) {
  EXPECT_EQ(persistence_->setConsent(consent(Value("GRANTED"), Value(1))), TLWConsentUpdateResult::Discarded);
  EXPECT_EQ(logged(25042), 2u);
  EXPECT_EQ(logged(25041), 1u);
  EXPECT_FALSE(util_->consentSettings());
  EXPECT_EQ(util_->consentSource(), 100);
  EXPECT_FALSE(persistence_->consentSettings1P());
  EXPECT_EQ(persistence_->persistedConsentSource(), 100);

  EXPECT_EQ(persistence_->setConsent(Dictionary{}), TLWConsentUpdateResult::Discarded);
  EXPECT_EQ(logged(25041), 2u);
}

TEST_F(ConsentPersistenceTest, UnknownKeysAreDroppedSilentlyAndTheValidKeyIsStored) {
  Dictionary in{{"functionality_storage", "denied"}, {"ad_storage", "granted"}};
  EXPECT_EQ(persistence_->setConsent(in), TLWConsentUpdateResult::Applied);
  EXPECT_EQ(logged(25042), 0u);
  EXPECT_EQ(util_->consentSettings(), consent(Value("granted"), std::nullopt));
  EXPECT_EQ(util_->consentSource(), 30);
  EXPECT_EQ(persistence_->consentSettings1P(), consent(Value("granted"), std::nullopt));
  EXPECT_FALSE(persistence_->consentSettings3P());
  EXPECT_EQ(persistence_->persistedConsentSource(), 30);
}

TEST_F(ConsentPersistenceTest, PublicInterfaceOutranksFirstPartyCalls) {
  EXPECT_EQ(persistence_->setConsent(consent(Value("granted"), std::nullopt)), TLWConsentUpdateResult::Applied);
  EXPECT_EQ(persistence_->setConsent(consent(std::nullopt, Value("granted")), Keys::kSettings3PKey),
            TLWConsentUpdateResult::Applied);
  // Merged in, source moved to 10, stored under the 3P key.
  EXPECT_EQ(util_->consentSettings(), consent(Value("granted"), Value("granted")));
  EXPECT_EQ(util_->consentSource(), 10);
  EXPECT_EQ(persistence_->consentSettings3P(), consent(Value("granted"), Value("granted")));
  EXPECT_EQ(persistence_->persistedConsentSource(), 10);

  EXPECT_EQ(persistence_->setConsent(consent(Value("denied"), std::nullopt)), TLWConsentUpdateResult::LowerPriority);
  EXPECT_EQ(logged(25043), 1u);
  EXPECT_FALSE(util_->isAdStorageDenied());
}

TEST_F(ConsentPersistenceTest, TwoPublicCallsLeaveBothKeysSet) {
  ASSERT_EQ(persistence_->setConsent(consent(Value("granted"), std::nullopt), Keys::kSettings3PKey),
            TLWConsentUpdateResult::Applied);
  ASSERT_EQ(persistence_->setConsent(consent(std::nullopt, Value("granted")), Keys::kSettings3PKey),
            TLWConsentUpdateResult::Applied);
  EXPECT_EQ(persistence_->consentSettings3P(), consent(Value("granted"), Value("granted")));
}

TEST_F(ConsentPersistenceTest, SettingsSurviveARelaunchAndReloadCapsTheSource) {
  ASSERT_EQ(persistence_->setConsent(consent(Value("denied"), Value("granted")), Keys::kSettings3PKey,
                                     hooks(false)),
            TLWConsentUpdateResult::Withdrawn);
  relaunch();
  EXPECT_FALSE(util_->consentSettings());
  persistence_->loadPersistedConsentSettings();
  EXPECT_EQ(util_->consentSettings(), consent(Value("denied"), Value("granted")));
  EXPECT_EQ(util_->consentSource(), 10);
  EXPECT_TRUE(util_->isAdStorageDenied());

  struct Case {
    const char* name;
    Value source;
    std::optional<Dictionary> stored3P, stored1P;
    std::optional<Dictionary> wantSettings;
    std::int64_t wantSource;
  };
  const Dictionary granted = consent(Value("granted"), std::nullopt);
  const Case cases[] = {
      {"3P capped at 20", Value(40), granted, std::nullopt, granted, 20},
      {"3P below the cap", Value(10), granted, granted, granted, 10},
      {"1P capped at 40", Value(55), std::nullopt, granted, granted, 40},
      {"1P below the cap", Value(30), std::nullopt, granted, granted, 30},
      {"source alone", Value(30), std::nullopt, std::nullopt, std::nullopt, 30},
      {"nothing persisted", Value(), granted, granted, std::nullopt, 100},
      {"source of the wrong kind", Value("10"), granted, std::nullopt, std::nullopt, 100},
  };
  for (const Case& c : cases) {
    launch();
    suite_->clearAllData();
    if (!c.source.isNull()) {
      ASSERT_TRUE(suite_->setObject(c.source, Keys::kSourceKey));
    }
    if (c.stored3P) {
      ASSERT_TRUE(suite_->setObject(Value(*c.stored3P), Keys::kSettings3PKey));
    }
    if (c.stored1P) {
      ASSERT_TRUE(suite_->setObject(Value(*c.stored1P), Keys::kSettings1PKey));
    }
    persistence_->loadPersistedConsentSettings();
    EXPECT_EQ(util_->consentSettings(), c.wantSettings) << c.name;
    EXPECT_EQ(util_->consentSource(), c.wantSource) << c.name;
  }
}

TEST_F(ConsentPersistenceTest, AnUpdateRestoresPersistedConsentBeforeRankingItself) {
  ASSERT_EQ(persistence_->setConsent(consent(Value("granted"), std::nullopt), Keys::kSettings3PKey),
            TLWConsentUpdateResult::Applied);
  relaunch();
  // The in-memory source is 100 until restored; the restore brings back source 10, which
  // outranks this first-party call.
  EXPECT_EQ(persistence_->setConsent(consent(Value("denied"), std::nullopt)), TLWConsentUpdateResult::LowerPriority);
  EXPECT_EQ(util_->consentSource(), 10);
  EXPECT_FALSE(util_->isAdStorageDenied());
}

TEST_F(ConsentPersistenceTest, WithdrawalResetsNowOrDefersUntilTheEngineStarts) {
  // Engine not ready: a first denial with nothing persisted defers the reset.
  EXPECT_EQ(persistence_->setConsent(consent(Value("denied"), std::nullopt), Keys::kSettings1PKey, hooks(false)),
            TLWConsentUpdateResult::Withdrawn);
  EXPECT_EQ(clearedAfterReset_, 1);
  EXPECT_EQ(resets_, 0);
  EXPECT_TRUE(persistence_->deferredResetOnDeniedConsent());

  // Denied then granted is no withdrawal.
  EXPECT_EQ(persistence_->setConsent(consent(Value("granted"), std::nullopt), Keys::kSettings1PKey, hooks(true)),
            TLWConsentUpdateResult::Applied);
  EXPECT_EQ(resets_, 0);

  // Granted then denied is, and with the engine ready it resets at once.
  persistence_->removeDeferredResetOnDeniedConsent();
  EXPECT_EQ(persistence_->setConsent(consent(Value("denied"), std::nullopt), Keys::kSettings1PKey, hooks(true)),
            TLWConsentUpdateResult::Withdrawn);
  EXPECT_EQ(resets_, 1);
  EXPECT_EQ(clearedAfterReset_, 2);
  EXPECT_FALSE(persistence_->deferredResetOnDeniedConsent());
}

TEST_F(ConsentPersistenceTest, SwitchesOffMakeUpdatesSilentNoOps) {
  util_->setRemoteConfig(remoteConfigWith({{"measurement.api.consent_settings_3p", "0"}}));
  EXPECT_EQ(persistence_->setConsent(consent(Value("denied"), std::nullopt), Keys::kSettings3PKey),
            TLWConsentUpdateResult::Ignored);
  EXPECT_FALSE(persistence_->consentSettings3P());
  EXPECT_EQ(persistence_->setConsent(consent(Value("granted"), std::nullopt)), TLWConsentUpdateResult::Applied);

  util_->setRemoteConfig(remoteConfigWith({{"measurement.api.consent_settings", "0"}}));
  EXPECT_EQ(persistence_->setConsent(consent(Value("denied"), std::nullopt)), TLWConsentUpdateResult::Ignored);
  EXPECT_EQ(persistence_->consentSettings1P(), consent(Value("granted"), std::nullopt));
  EXPECT_EQ(logged(25041) + logged(25042) + logged(25043), 0u);
}

TEST_F(ConsentPersistenceTest, ClearConsentEmptiesEveryKeyAndTheState) {
  ASSERT_EQ(persistence_->setConsent(consent(Value("denied"), std::nullopt), Keys::kSettings3PKey, hooks(false)),
            TLWConsentUpdateResult::Withdrawn);
  ASSERT_EQ(persistence_->setConsent(consent(Value("granted"), std::nullopt)), TLWConsentUpdateResult::LowerPriority);
  persistence_->persistStartUpConsentFromOptions({{"analytics_storage", "granted"}});
  persistence_->clearConsent();
  for (std::string_view key : {Keys::kSourceKey, Keys::kSettings3PKey, Keys::kSettings1PKey, Keys::kSettingsOnStartKey,
                               Keys::kDeferredResetKey}) {
    EXPECT_TRUE(suite_->objectForKey(key).isNull()) << key;
  }
  EXPECT_FALSE(util_->consentSettings());
  EXPECT_EQ(util_->consentSource(), 100);
  relaunch();
  EXPECT_EQ(persistence_->persistedConsentSource(), 100);
}

TEST_F(ConsentPersistenceTest, StartUpOptionsParkOnlyTheConsentKeys) {
  EXPECT_TRUE(persistence_->persistStartUpConsentFromOptions({{"tally_wise_log_tag", "x"}}).empty());
  EXPECT_FALSE(persistence_->consentSettings1PStart());
  Dictionary parked =
      persistence_->persistStartUpConsentFromOptions({{"analytics_storage", "denied"}, {"safelisted_events", 1}});
  EXPECT_EQ(parked, consent(std::nullopt, Value("denied")));
  relaunch();
  EXPECT_EQ(persistence_->consentSettings1PStart(), parked);
}

class ConsentReconciliationTest : public ConsentPersistenceTest {};

TEST_F(ConsentReconciliationTest, PlistDefaultsApplyAtSource20UnlessThePublicInterfaceSpoke) {
  writeInfoPlist({{"VORLIX_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", false}});
  persistence_->setProspectiveConsentSettings();
  EXPECT_EQ(util_->consentSettings(), consent(Value("denied"), std::nullopt));
  EXPECT_EQ(util_->consentSource(), 20);
  EXPECT_EQ(persistence_->consentSettings3P(), consent(Value("denied"), std::nullopt));
  EXPECT_EQ(persistence_->persistedConsentSource(), 20);

  launch();
  suite_->clearAllData();
  ASSERT_EQ(persistence_->setConsent(consent(Value("granted"), std::nullopt), Keys::kSettings3PKey),
            TLWConsentUpdateResult::Applied);
  persistence_->setProspectiveConsentSettings();
  EXPECT_EQ(util_->consentSettings(), consent(Value("granted"), std::nullopt));
  EXPECT_EQ(util_->consentSource(), 10);
}

TEST_F(ConsentReconciliationTest, FirstPartyStateIsDroppedWhenThePublicInterfaceIsPresent) {
  ASSERT_EQ(persistence_->setConsent(consent(Value("denied"), std::nullopt), Keys::kSettings1PKey, hooks(false)),
            TLWConsentUpdateResult::Withdrawn);
  relaunch(/*publicInterfacePresent=*/true);
  persistence_->loadPersistedConsentSettings();
  ASSERT_EQ(util_->consentSource(), 30);
  persistence_->setProspectiveConsentSettings();
  EXPECT_FALSE(util_->consentSettings());
  EXPECT_EQ(util_->consentSource(), 100);
  EXPECT_FALSE(persistence_->consentSettings1P());
  EXPECT_TRUE(suite_->objectForKey(Keys::kDeferredResetKey).isNull());
}

TEST_F(ConsentReconciliationTest, StartUpConsentAppliesAtSource40) {
  persistence_->persistStartUpConsentFromOptions({{"analytics_storage", "denied"}});
  // A start that withdraws: settings held before were none.
  EXPECT_TRUE(persistence_->reconcileAtEngineStart());
  EXPECT_EQ(util_->consentSettings(), consent(std::nullopt, Value("denied")));
  EXPECT_EQ(util_->consentSource(), 40);
  EXPECT_EQ(persistence_->consentSettings1P(), consent(std::nullopt, Value("denied")));
  EXPECT_FALSE(persistence_->consentSettings1PStart());

  // Refused against a higher-priority source.
  launch();
  suite_->clearAllData();
  ASSERT_EQ(persistence_->setConsent(consent(Value("granted"), Value("granted")), Keys::kSettings3PKey),
            TLWConsentUpdateResult::Applied);
  persistence_->persistStartUpConsentFromOptions({{"analytics_storage", "denied"}});
  EXPECT_FALSE(persistence_->reconcileAtEngineStart());
  EXPECT_EQ(util_->consentSettings(), consent(Value("granted"), Value("granted")));
}

TEST_F(ConsentReconciliationTest, WithThe3PSwitchOffTheCurrentStateIsKept) {
  util_->setRemoteConfig(remoteConfigWith({{"measurement.api.consent_settings_3p", "0"}}));
  writeInfoPlist({{"VORLIX_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", false}});
  ASSERT_EQ(persistence_->setConsent(consent(Value("granted"), std::nullopt)), TLWConsentUpdateResult::Applied);
  EXPECT_FALSE(persistence_->reconcileAtEngineStart());
  EXPECT_EQ(util_->consentSettings(), consent(Value("granted"), std::nullopt));
  EXPECT_EQ(util_->consentSource(), 30);

  persistence_->persistStartUpConsentFromOptions({{"ad_storage", "denied"}});
  EXPECT_FALSE(persistence_->reconcileAtEngineStart()) << "source 40 does not outrank 30";
  EXPECT_EQ(util_->consentSource(), 30);
}

TEST_F(ConsentReconciliationTest, ADeferredResetIsReportedOnceAndCleared) {
  persistence_->setDeferredResetOnDeniedConsent(true);
  relaunch();
  EXPECT_TRUE(persistence_->reconcileAtEngineStart());
  EXPECT_FALSE(persistence_->reconcileAtEngineStart());
  relaunch();
  EXPECT_FALSE(persistence_->deferredResetOnDeniedConsent());
}

class ConsentBadStorageTest : public ConsentPersistenceTest {};

TEST_F(ConsentBadStorageTest, StoredValuesOfTheWrongKindReadAsAbsent) {
  ASSERT_TRUE(suite_->setObject(Value(20), Keys::kSourceKey));
  ASSERT_TRUE(suite_->setObject(Value("denied"), Keys::kSettings3PKey));
  ASSERT_TRUE(suite_->setObject(Value::array({"denied"}), Keys::kSettings1PKey));
  ASSERT_TRUE(suite_->setObject(Value("yes"), Keys::kDeferredResetKey));
  persistence_->loadPersistedConsentSettings();
  EXPECT_FALSE(util_->consentSettings());
  EXPECT_EQ(util_->consentSource(), 20);
  EXPECT_FALSE(persistence_->deferredResetOnDeniedConsent());
  // A previous value that is not a dictionary never counts as a withdrawal.
  EXPECT_EQ(persistence_->setConsent(consent(Value("denied"), std::nullopt), Keys::kSettings3PKey, hooks(true)),
            TLWConsentUpdateResult::Applied);
  EXPECT_EQ(resets_, 0);
}

TEST_F(ConsentBadStorageTest, ACorruptPreferenceFileReadsAsEmpty) {
  ASSERT_TRUE(env_->fileSystem()->writeFileAtomically(suite_->preferenceFilePath(), "bplist00\x01garbage"));
  relaunch();
  EXPECT_EQ(persistence_->persistedConsentSource(), 100);
  persistence_->loadPersistedConsentSettings();
  EXPECT_FALSE(util_->consentSettings());
  EXPECT_EQ(persistence_->setConsent(consent(Value("granted"), std::nullopt)), TLWConsentUpdateResult::Applied);
  relaunch();
  EXPECT_EQ(persistence_->consentSettings1P(), consent(Value("granted"), std::nullopt));
}

TEST_F(ConsentBadStorageTest, AnUnwritablePreferenceFileKeepsTheStateInMemoryAndTheOldFile) {
  ASSERT_EQ(persistence_->setConsent(consent(Value("granted"), std::nullopt)), TLWConsentUpdateResult::Applied);
  env_->faultFileSystem()->setFailWrite(true);
  EXPECT_EQ(persistence_->setConsent(consent(Value("denied"), std::nullopt), Keys::kSettings1PKey, hooks(false)),
            TLWConsentUpdateResult::Withdrawn);
  EXPECT_TRUE(util_->isAdStorageDenied());
  env_->faultFileSystem()->setFailWrite(false);
  relaunch();
  // The failed flush left the previous file: the denial did not reach the disk.
  EXPECT_EQ(persistence_->consentSettings1P(), consent(Value("granted"), std::nullopt));
}

TEST_F(ConsentBadStorageTest, APendingChangeIsWrittenByTheNextSuccessfulFlush) {
  env_->faultFileSystem()->setFailWrite(true);
  ASSERT_EQ(persistence_->setConsent(consent(Value("granted"), std::nullopt)), TLWConsentUpdateResult::Applied);
  env_->faultFileSystem()->setFailWrite(false);
  ASSERT_EQ(persistence_->setConsent(consent(std::nullopt, Value("granted"))), TLWConsentUpdateResult::Applied);
  relaunch();
  EXPECT_EQ(persistence_->consentSettings1P(), consent(Value("granted"), Value("granted")));
}

}  // namespace
}  // namespace consent_test
