#include "measurement/config/TLWIdentifiers.h"

#include <gtest/gtest.h>

#include <limits>
#include <set>
#include <thread>

#include "ConsentTestSupport.h"
#include "measurement/config/TLWDefaultIdentitySupport.h"
#include "measurement/config/TLWIdentity.h"
#include "measurement/storage/TLWPersistedConfig.h"

namespace consent_test {
namespace {

class IdentifiersTest : public ConsentFixture {
 protected:
  std::shared_ptr<TLWIdentity> makeIdentity(const std::string& suite) {
    auto persisted = TLWPersistedConfig::initWithSuiteName(suite, false, env_, nullptr, monitor_);
    EXPECT_TRUE(persisted);
    TLWIdentity::Options options;
    options.isPublicInterfacePresent = [] { return false; };
    return TLWIdentity::initWithPersistedConfig(persisted, env_, util_, TLWDefaultIdentitySupport::create(env_),
                                                monitor_, options);
  }
  std::shared_ptr<TLWConsentSettingsUtil> util_ = TLWConsentSettingsUtil::create();
};

TEST_F(IdentifiersTest, AdEventIDsAreConsecutiveFromARandomStart) {
  env_->fakeRandom()->script({41});
  auto identifiers = TLWIdentifiers::create(nullptr, env_, monitor_);
  EXPECT_EQ(identifiers->adEventID(), "41");
  EXPECT_EQ(identifiers->adEventID(), "42");

  // Past the top of the signed range the text stays a whole number.
  env_->fakeRandom()->script({static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())});
  auto high = TLWIdentifiers::create(nullptr, env_, monitor_);
  EXPECT_EQ(high->adEventID(), "9223372036854775807");
  EXPECT_EQ(high->adEventID(), "-9223372036854775808");
}

TEST_F(IdentifiersTest, AdEventIDsAreUniqueAcrossThreads) {
  auto identifiers = TLWIdentifiers::create(nullptr, env_, monitor_);
  constexpr int kThreads = 8, kEach = 500;
  std::vector<std::vector<std::string>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) seen[t].push_back(identifiers->adEventID());
    });
  }
  for (auto& t : threads) t.join();
  std::set<std::string> all;
  for (const auto& v : seen) all.insert(v.begin(), v.end());
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kEach));
}

TEST_F(IdentifiersTest, OriginRefusesEmptyValues) {
  auto identifiers = TLWIdentifiers::create(nullptr, env_, monitor_);
  EXPECT_EQ(identifiers->origin(), "");
  EXPECT_TRUE(identifiers->setOrigin("tq"));
  drainSample();
  EXPECT_FALSE(identifiers->setOrigin(""));
  EXPECT_TRUE(sampled("Origin cannot be empty"));
  EXPECT_EQ(identifiers->origin(), "tq");
  EXPECT_EQ(TLWIdentifiers::libraryVersion(), "80901");
}

TEST_F(IdentifiersTest, AppIDsComeFromTheEngineIdentityWhenThereIsOne) {
  writeServiceInfoPlist({{"VORLIX_APP_ID", "1:111:ios:aa"}, {"QUADO_APP_ID", "ca-app-pub-1~2"}});
  auto shared = makeIdentity("com.vorlix.zel.measurement");
  auto identifiers = TLWIdentifiers::create(shared, env_, monitor_);
  EXPECT_EQ(identifiers->vorlixAppID(), "1:111:ios:aa");
  EXPECT_EQ(identifiers->analyticsAppID(), "1:111:ios:aa");
  auto id = identifiers->appInstanceID();
  EXPECT_TRUE(id);
  EXPECT_EQ(id, shared->appInstanceID());

  // An engine identity whose service list has only the ads app ID.
  writeServiceInfoPlist({{"QUADO_APP_ID", "ca-app-pub-9~9"}});
  auto engine = makeIdentity("com.vorlix.zel.measurement.engine");
  identifiers->setEngineIdentityProvider([engine] { return engine; });
  drainSample();
  EXPECT_FALSE(identifiers->vorlixAppID());
  EXPECT_TRUE(sampled("Unable to fetch Vorlix App ID from identity"));
  EXPECT_EQ(identifiers->analyticsAppID(), "ca-app-pub-9~9");

  // Neither app ID.
  writeServiceInfoPlist({});
  auto bare = makeIdentity("com.vorlix.zel.measurement.bare");
  identifiers->setEngineIdentityProvider([bare] { return bare; });
  drainSample();
  EXPECT_FALSE(identifiers->analyticsAppID());
  EXPECT_TRUE(sampled("Unable to fetch effective App ID from identity"));

  // A provider answering null falls back to the shared identity.
  identifiers->setEngineIdentityProvider([] { return std::shared_ptr<TLWIdentity>(); });
  EXPECT_EQ(identifiers->vorlixAppID(), "1:111:ios:aa");
}

TEST_F(IdentifiersTest, AWithheldAppInstanceIDIsLoggedByWhoeverWasAsked) {
  auto shared = makeIdentity("com.vorlix.zel.measurement");
  auto identifiers = TLWIdentifiers::create(shared, env_, monitor_);
  util_->setConsentSettings(consent(std::nullopt, platform::Value("denied")));
  drainSample();
  EXPECT_FALSE(identifiers->appInstanceID());
  EXPECT_TRUE(sampled("Unable to fetch App Instance ID from identity shared instance"));
  identifiers->setEngineIdentityProvider([shared] { return shared; });
  EXPECT_FALSE(identifiers->appInstanceID());
  std::string sample = drainSample();
  EXPECT_NE(sample.find("Unable to fetch App Instance ID from identity"), std::string::npos);
  EXPECT_EQ(sample.find("shared instance"), std::string::npos);
}

}  // namespace
}  // namespace consent_test
