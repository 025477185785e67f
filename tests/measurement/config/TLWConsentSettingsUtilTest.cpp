#include "measurement/config/TLWConsentSettingsUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <thread>

#include "ConsentTestSupport.h"

namespace consent_test {
namespace {

using platform::Dictionary;
using platform::Value;

class ConsentSettingsUtilTest : public ConsentFixture {
 protected:
  void SetUp() override {
    ConsentFixture::SetUp();
    util_ = TLWConsentSettingsUtil::create(monitor_);
  }
  std::shared_ptr<TLWConsentSettingsUtil> util_;
};

TEST_F(ConsentSettingsUtilTest, InitialStateIsUnsetWithSourceNoneAndReadsAsGranted) {
  EXPECT_FALSE(util_->consentSettings());
  EXPECT_EQ(util_->consentSource(), 100);
  EXPECT_FALSE(util_->isAdStorageDenied());
  EXPECT_FALSE(util_->isAnalyticsStorageDenied());
  EXPECT_EQ(util_->consentSignals(), "G1--");
  EXPECT_EQ(util_->description(), "ad_storage is granted. analytics_storage is granted.");
  EXPECT_EQ(util_->serialQueue()->label(), "TLWConsentSettingsUtilQueue");
  EXPECT_EQ(util_->serialQueue()->priority(), platform::QueuePriority::Utility);
}

TEST_F(ConsentSettingsUtilTest, SourcePrioritiesInEveryOrderLeaveTheSmallestAndAcceptTies) {
  std::array<std::int64_t, 5> sources{10, 20, 30, 40, 100};
  std::sort(sources.begin(), sources.end());
  int orders = 0;
  do {
    auto util = TLWConsentSettingsUtil::create(monitor_);
    std::int64_t expected = 100;
    for (std::int64_t s : sources) {
      bool accepted = util->isConsentSourceHigherPriority(s);
      EXPECT_EQ(accepted, s <= expected) << "source " << s << " against " << expected;
      if (accepted) {
        util->setConsentSource(s);
        expected = s;
      }
      // A tie is always accepted again.
      EXPECT_TRUE(util->isConsentSourceHigherPriority(expected));
    }
    EXPECT_EQ(util->consentSource(), 10);
    ++orders;
  } while (std::next_permutation(sources.begin(), sources.end()));
  EXPECT_EQ(orders, 120);
}

TEST_F(ConsentSettingsUtilTest, UpdatesMergeAndClearingResetsTheSource) {
  util_->updateSettings(consent(Value("granted"), std::nullopt));
  util_->updateSettings(consent(std::nullopt, Value("denied")));
  util_->setConsentSource(30);
  EXPECT_EQ(util_->consentSettings(), consent(Value("granted"), Value("denied")));
  util_->updateSettings(consent(Value("denied"), std::nullopt));
  EXPECT_EQ(util_->consentSettings(), consent(Value("denied"), Value("denied")));
  EXPECT_EQ(util_->consentSource(), 30);
  EXPECT_EQ(util_->description(), "ad_storage is denied. analytics_storage is denied.");

  util_->setConsentSettings(consent(Value("granted"), std::nullopt));
  EXPECT_EQ(util_->consentSettings(), consent(Value("granted"), std::nullopt));
  EXPECT_EQ(util_->consentSource(), 30);
  util_->setConsentSettings(std::nullopt);
  EXPECT_FALSE(util_->consentSettings());
  EXPECT_EQ(util_->consentSource(), 100);
}

TEST_F(ConsentSettingsUtilTest, DenialNeedsAStringEqualToDeniedIgnoringCase) {
  struct Case {
    Value value;
    bool denied;
  };
  const Case cases[] = {{Value("denied"), true},   {Value("DENIED"), true},   {Value("Denied"), true},
                        {Value("granted"), false}, {Value("denied "), false}, {Value(0), false},
                        {Value(false), false},     {Value::array({"denied"}), false},
                        {Value(Dictionary{{"denied", "denied"}}), false}};
  for (const Case& c : cases) {
    util_->setConsentSettings(consent(c.value, c.value));
    EXPECT_EQ(util_->isAdStorageDenied(), c.denied) << c.value.description();
    EXPECT_EQ(util_->isAnalyticsStorageDenied(), c.denied) << c.value.description();
  }
  util_->setConsentSettings(consent(Value("denied"), Value("granted")));
  EXPECT_TRUE(util_->isAdStorageDenied());
  EXPECT_FALSE(util_->isAnalyticsStorageDenied());
}

TEST_F(ConsentSettingsUtilTest, WithdrawalIsAGrantOrUnsetTurnedDenied) {
  struct Case {
    const char* name;
    Value previous;
    std::optional<Dictionary> current;
    bool withdrawn;
  };
  const Case cases[] = {
      {"first denial, nothing before", Value(), consent(Value("denied"), std::nullopt), true},
      {"granted then denied", Value(consent(Value("granted"), std::nullopt)), consent(Value("denied"), std::nullopt),
       true},
      {"denied then granted", Value(consent(Value("denied"), std::nullopt)), consent(Value("granted"), std::nullopt),
       false},
      {"unchanged denial", Value(consent(Value("denied"), std::nullopt)), consent(Value("denied"), std::nullopt),
       false},
      {"previous upper-case denial", Value(consent(Value("DENIED"), std::nullopt)),
       consent(Value("denied"), std::nullopt), false},
      {"analytics withdrawn while ad stays denied", Value(consent(Value("denied"), Value("granted"))),
       consent(Value("denied"), Value("denied")), true},
      {"previous not a dictionary", Value("granted"), consent(Value("denied"), std::nullopt), false},
      {"no current settings", Value(consent(Value("granted"), std::nullopt)), std::nullopt, false},
      {"current value not a string", Value(), consent(Value(0), std::nullopt), false},
      {"grants only", Value(), consent(Value("granted"), Value("granted")), false},
  };
  for (const Case& c : cases) {
    util_->setConsentSettings(c.current);
    EXPECT_EQ(util_->didWithdrawPreviousConsent(c.previous), c.withdrawn) << c.name;
  }
  // The optional form agrees with the value form.
  util_->setConsentSettings(consent(Value("denied"), std::nullopt));
  EXPECT_TRUE(util_->didWithdrawPreviousConsent(std::optional<Dictionary>{}));
  EXPECT_FALSE(util_->didWithdrawPreviousConsent(std::optional<Dictionary>(consent(Value("denied"), std::nullopt))));
}

TEST_F(ConsentSettingsUtilTest, SignalHasOneCharacterPerTypeForEveryCombination) {
  const std::optional<Value> values[] = {std::nullopt, Value("granted"), Value("denied"), Value("DENIED"),
                                         Value(1)};
  const char expected[] = {'-', '1', '0', '-', '-'};
  for (std::size_t a = 0; a < std::size(values); ++a) {
    for (std::size_t b = 0; b < std::size(values); ++b) {
      util_->setConsentSettings(consent(values[a], values[b]));
      std::string want = std::string("G1") + expected[a] + expected[b];
      EXPECT_EQ(util_->consentSignals(), want);
      EXPECT_EQ(TLWConsentSettingsUtil::signalForSettings(consent(values[a], values[b])), want);
    }
  }
  EXPECT_EQ(TLWConsentSettingsUtil::signalForSettings(std::nullopt), "G1--");
}

TEST_F(ConsentSettingsUtilTest, SwitchesGovernDenialAndSignal) {
  util_->setConsentSettings(consent(Value("denied"), Value("denied")));

  util_->setRemoteConfig(remoteConfigWith({{"measurement.api.consent_settings", "0"}}));
  EXPECT_FALSE(util_->isConsentSettingsEnabled());
  EXPECT_FALSE(util_->isAdStorageDenied());
  EXPECT_FALSE(util_->isAnalyticsStorageDenied());
  EXPECT_FALSE(util_->consentSignals());
  EXPECT_FALSE(util_->didWithdrawPreviousConsent(Value()));

  util_->setRemoteConfig(remoteConfigWith({{"measurement.api.consent_settings_3p", "0"}}));
  EXPECT_TRUE(util_->isAdStorageDenied());
  EXPECT_FALSE(util_->consentSignals());

  // Out of range reads as the default (on).
  util_->setRemoteConfig(remoteConfigWith(
      {{"measurement.api.consent_settings", "2"}, {"measurement.api.consent_settings_3p", "yes"}}));
  EXPECT_TRUE(util_->isAnalyticsStorageDenied());
  EXPECT_EQ(util_->consentSignals(), "G100");

  util_->setRemoteConfig(nullptr);
  EXPECT_TRUE(util_->isConsentSettingsEnabled());
  EXPECT_TRUE(util_->isConsentSettings3PEnabled());
}

TEST_F(ConsentSettingsUtilTest, IncomingDictionariesAreReducedToTheTwoKeys) {
  Dictionary in{{"ad_storage", 5}, {"functionality_storage", "granted"}, {"analytics_storage", "granted"}, {7, "x"}};
  Dictionary reduced = TLWConsentSettingsUtil::consentSettingsFromDictionary(in);
  EXPECT_EQ(reduced, (Dictionary{{"ad_storage", 5}, {"analytics_storage", "granted"}}));
  EXPECT_TRUE(TLWConsentSettingsUtil::consentSettingsFromDictionary({}).empty());
  EXPECT_TRUE(TLWConsentSettingsUtil::consentSettingsFromDictionary({{"x", "denied"}}).empty());
}

TEST_F(ConsentSettingsUtilTest, PlistDefaultsTakeNumbersOnly) {
  EXPECT_EQ(TLWConsentSettingsUtil::consentSettingsFromInfoDictionary(
                {{"VORLIX_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", false},
                 {"VORLIX_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE", 1}}),
            consent(Value("denied"), Value("granted")));
  EXPECT_EQ(TLWConsentSettingsUtil::consentSettingsFromInfoDictionary(
                {{"VORLIX_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", "NO"},
                 {"VORLIX_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE", 0.0}}),
            consent(std::nullopt, Value("denied")));
  EXPECT_TRUE(TLWConsentSettingsUtil::consentSettingsFromInfoDictionary({}).empty());

  writeInfoPlist({{"CFBundleIdentifier", "com.example.game"}, {"VORLIX_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", false}});
  EXPECT_EQ(TLWConsentSettingsUtil::consentSettingsFromPlist(env_), consent(Value("denied"), std::nullopt));
}

TEST_F(ConsentSettingsUtilTest, AReadAfterAWriteFromAnotherThreadSeesIt) {
  for (int i = 0; i < 200; ++i) {
    std::int64_t source = (i % 2) ? 10 : 40;
    std::thread writer([&] { util_->setConsentSource(source); });
    writer.join();
    ASSERT_EQ(util_->consentSource(), source);
  }
}

}  // namespace
}  // namespace consent_test
