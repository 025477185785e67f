// Consent and identity read from many threads while writes happen; run under the tsan
// preset to check the locking as well as the invariants below.

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "ConsentTestSupport.h"
#include "measurement/config/TLWConsentPersistence.h"
#include "measurement/config/TLWDefaultIdentitySupport.h"
#include "measurement/config/TLWIdentity.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "measurement/storage/TLWUserDefaults.h"
#include "platform/testing/FakeIdentityAdaptor.h"

namespace consent_test {
namespace {

using platform::Value;

bool isValidAppInstanceID(const std::optional<std::string>& id) {
  if (!id) return true;  // withheld while analytics storage is denied
  if (id->size() != 32) return false;
  for (char c : *id) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

class ConsentIdentityConcurrencyTest : public ConsentFixture {};

TEST_F(ConsentIdentityConcurrencyTest, ConsentReadsStayConsistentWhileWritesHappen) {
  auto util = TLWConsentSettingsUtil::create(monitor_);
  const std::set<std::string> signals = {"G1--", "G11-", "G10-", "G1-1", "G1-0",
                                         "G111", "G110", "G101", "G100"};
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 4; ++r) {
    readers.emplace_back([&] {
      while (!stop) {
        auto signal = util->consentSignals();
        if (!signal || !signals.count(*signal)) ++failures;
        auto settings = util->consentSettings();
        if (settings) {
          for (const auto& [key, value] : *settings) {
            const std::string* k = key.string();
            if (!k || (*k != "ad_storage" && *k != "analytics_storage")) ++failures;
          }
        }
        (void)util->isAdStorageDenied();
        (void)util->isAnalyticsStorageDenied();
        std::int64_t source = util->consentSource();
        if (source != 10 && source != 30 && source != 100) ++failures;
        (void)util->description();
      }
    });
  }
  std::vector<std::thread> writers;
  for (int w = 0; w < 2; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < 2000; ++i) {
        const char* value = ((i + w) % 3 == 0) ? "denied" : "granted";
        if (i % 2) {
          util->updateSettings(consent(Value(value), std::nullopt));
        } else {
          util->updateSettings(consent(std::nullopt, Value(value)));
        }
        util->setConsentSource(i % 5 == 0 ? 10 : 30);
        if (i % 97 == 0) util->setConsentSettings(std::nullopt);
      }
    });
  }
  for (auto& t : writers) t.join();
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST_F(ConsentIdentityConcurrencyTest, PersistedConsentMatchesMemoryAfterConcurrentUpdates) {
  auto util = TLWConsentSettingsUtil::create(monitor_);
  auto suite = TLWUserDefaults::initWithSuiteName(std::string(TLWConsentPersistence::kSuiteName), env_);
  auto persistence = TLWConsentPersistence::create(suite, util, env_, monitor_);
  ASSERT_TRUE(persistence);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        const char* value = ((i + t) % 2) ? "denied" : "granted";
        (void)persistence->setConsent(t % 2 ? consent(Value(value), std::nullopt) : consent(std::nullopt, Value(value)),
                                      TLWConsentPersistence::kSettings3PKey);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(persistence->consentSettings3P(), util->consentSettings());
  EXPECT_EQ(persistence->persistedConsentSource(), 10);
}

TEST_F(ConsentIdentityConcurrencyTest, IdentityReadsWhileConsentAndIdentifiersChange) {
  auto util = TLWConsentSettingsUtil::create(monitor_);
  platform::testing::FakeIdentityAdaptor::State state;
  state.advertisingIdentifier = "6D92078A-8246-4BA4-AE5B-76104861E7DC";
  auto adaptor = platform::testing::FakeIdentityAdaptor::install(env_->classRegistry(), state);
  ASSERT_TRUE(adaptor);
  auto persisted = TLWPersistedConfig::initWithSuiteName("com.vorlix.zel.measurement", false, env_, nullptr, monitor_);
  ASSERT_TRUE(persisted);
  TLWIdentity::Options options;
  options.isPublicInterfacePresent = [] { return false; };
  auto identity = TLWIdentity::initWithPersistedConfig(persisted, env_, util, TLWDefaultIdentitySupport::create(env_),
                                                       monitor_, options);
  ASSERT_TRUE(identity);

  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 4; ++r) {
    readers.emplace_back([&] {
      while (!stop) {
        if (!isValidAppInstanceID(identity->appInstanceID())) ++failures;
        auto idfa = identity->resettableDeviceID();
        if (idfa && idfa->size() != 36) ++failures;
        auto status = identity->appleConsentStatus();
        if (status < 1 || status > 6) ++failures;
        (void)identity->identifierForVendor();
        (void)identity->hashedResettableDeviceID();
        (void)identity->limitedAdTracking();
        (void)identity->appIDFromZEL();
        (void)identity->tarnwickInstallationID();
      }
    });
  }
  std::thread writer([&] {
    const char* idfas[] = {"6D92078A-8246-4BA4-AE5B-76104861E7DC", "0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D",
                           "00000000-0000-0000-0000-000000000000"};
    for (int i = 0; i < 300; ++i) {
      adaptor->setAdvertisingIdentifier(std::string(idfas[i % 3]));
      env_->fakeClock()->advance(2);
      util->setConsentSettings(consent(Value(i % 4 == 0 ? "denied" : "granted"),
                                       Value(i % 3 == 0 ? "denied" : "granted")));
      if (i % 10 == 0) (void)identity->resetAppInstanceID();
      if (i % 7 == 0) identity->setTarnwickInstallationID("install-" + std::to_string(i));
      if (i == 5) (void)identity->setAppIDFromZEL("1:1:ios:1");
    }
  });
  writer.join();
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(failures.load(), 0);

  // Settled: analytics granted again gives a valid, persisted ID.
  util->setConsentSettings(std::nullopt);
  auto id = identity->appInstanceID();
  EXPECT_TRUE(id && isValidAppInstanceID(id));
  EXPECT_EQ(persisted->appInstanceID(), id);
}

}  // namespace
}  // namespace consent_test
