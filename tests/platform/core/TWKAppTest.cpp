#include "platform/core/TWKApp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/PropertyList.h"
#include "platform/app/Bundle.h"
#include "platform/core/TWKOptions.h"
#include "platform/core/TWKTarnwickVersion.h"
#include "platform/testing/LogCapture.h"
#include "platform/testing/TestEnvironment.h"

namespace platform {
namespace {

class CounterInterop : public TWKInterop {
 public:
  explicit CounterInterop(int serial) : serial(serial) {}
  int serial;
};

class TWKAppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = testing::TestEnvironment::create();
    ASSERT_TRUE(env_);
    bundle_ = env_->root() + "/Game.app";
    ASSERT_TRUE(env_->fileSystem()->createDirectories(bundle_));
    env_->fakeProcessInfo()->setEnvironmentVariable(kBundlePathEnvironmentVariable, bundle_);
  }
  void writeServiceInfo(const Value& contents) {
    auto bytes = PropertyList::dataWithPropertyList(contents, PropertyListFormat::XML);
    ASSERT_TRUE(bytes);
    ASSERT_TRUE(env_->fileSystem()->writeFileAtomically(bundle_ + "/VorlixService-Info.plist", *bytes));
  }
  std::shared_ptr<testing::TestEnvironment> env_;
  std::string bundle_;
};

TEST_F(TWKAppTest, OptionsComeFromTheServiceInfoList) {
  writeServiceInfo(Value{{"VORLIX_APP_ID", "vx-game-1"},
                         {"QUADO_APP_ID", "qd-7"},
                         {"TARNWICK_ANALYTICS_COLLECTION_ENABLED", false},
                         {"TARNWICK_ANALYTICS_COLLECTION_DEACTIVATED", true},
                         {"ANALYTICS_SAFELISTED_EVENTS", Value::array({"level_up"})}});
  auto dictionary = TWKOptions::defaultOptionsDictionary(*env_);
  ASSERT_TRUE(dictionary);
  EXPECT_EQ(dictionary->get("ANALYTICS_SAFELISTED_EVENTS"), Value::array({"level_up"}));
  auto options = TWKOptions::defaultOptions(*env_);
  ASSERT_TRUE(options);
  EXPECT_EQ(options->vorlixAppID(), "vx-game-1");
  EXPECT_EQ(options->quadoAppID(), "qd-7");
  EXPECT_FALSE(options->isAnalyticsCollectionEnabled());
  EXPECT_TRUE(options->isAnalyticsCollectionDeactivated());
  EXPECT_EQ(options->safelistedEvents(), Value::array({"level_up"}));
}

TEST_F(TWKAppTest, OptionsWithBadValuesFailOrFallBackToDefaults) {
  std::string error;
  EXPECT_FALSE(TWKOptions::initWithDictionary(Dictionary{}, &error));
  EXPECT_NE(error.find("missing"), std::string::npos);
  EXPECT_FALSE(TWKOptions::initWithDictionary(Dictionary{{"VORLIX_APP_ID", 12}}, &error));
  EXPECT_FALSE(TWKOptions::initWithDictionary(Dictionary{{"VORLIX_APP_ID", ""}}, &error));
  EXPECT_FALSE(TWKOptions::initWithDictionary(
      Dictionary{{"VORLIX_APP_ID", std::string(TWKOptions::kMaxAppIDLength + 1, 'a')}}, &error));

  testing::LogCapture log;
  auto options = TWKOptions::initWithDictionary(Dictionary{{"VORLIX_APP_ID", "vx"},
                                                           {"QUADO_APP_ID", 5},
                                                           {"TARNWICK_ANALYTICS_COLLECTION_ENABLED", "NO"},
                                                           {"TARNWICK_ANALYTICS_COLLECTION_DEACTIVATED", "YES"}});
  ASSERT_TRUE(options);
  EXPECT_EQ(options->quadoAppID(), "");
  EXPECT_TRUE(options->isAnalyticsCollectionEnabled());
  EXPECT_FALSE(options->isAnalyticsCollectionDeactivated());
  EXPECT_TRUE(options->safelistedEvents().isNull());
  EXPECT_EQ(log.withCode("I-COR000004").size(), 2u);
  EXPECT_TRUE(log.contains("I-COR000003"));

  // A corrupt service-info list is absent: no default options.
  ASSERT_TRUE(env_->fileSystem()->writeFileAtomically(bundle_ + "/VorlixService-Info.plist", "garbage"));
  EXPECT_FALSE(TWKOptions::defaultOptionsDictionary(*env_));
  EXPECT_FALSE(TWKOptions::defaultOptions(*env_));
}

TEST_F(TWKAppTest, ConfigureMakesTheDefaultAppOnceAndDeleteUndoesIt) {
  testing::ScopedCurrentEnvironment current(env_);
  ASSERT_FALSE(TWKApp::isDefaultAppConfigured());
  std::string error;
  // No service-info list yet: nothing is configured.
  EXPECT_FALSE(TWKApp::configure(&error));
  EXPECT_FALSE(TWKApp::isDefaultAppConfigured());
  EXPECT_FALSE(error.empty());

  writeServiceInfo(Value{{"VORLIX_APP_ID", "vx-default"}});
  ASSERT_TRUE(TWKApp::configure(&error)) << error;
  EXPECT_TRUE(TWKApp::isDefaultAppConfigured());
  auto app = TWKApp::defaultApp();
  ASSERT_TRUE(app);
  EXPECT_TRUE(app->isDefaultApp());
  EXPECT_EQ(app->options().vorlixAppID(), "vx-default");
  EXPECT_EQ(app->environment(), env_);
  EXPECT_FALSE(TWKApp::configure(&error));  // already configured
  EXPECT_EQ(TWKApp::defaultApp(), app);

  app->deleteApp();
  EXPECT_FALSE(TWKApp::isDefaultAppConfigured());
  EXPECT_FALSE(TWKApp::defaultApp());
}

TEST_F(TWKAppTest, ConcurrentConfigureMakesExactlyOneApp) {
  TWKOptions options("vx-race");
  std::atomic<int> successes{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      if (TWKApp::configureWithName("race", options, env_)) successes.fetch_add(1);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(successes.load(), 1);
  auto app = TWKApp::appNamed("race");
  ASSERT_TRUE(app);
  EXPECT_FALSE(app->isDefaultApp());
  app->deleteApp();
  EXPECT_FALSE(TWKApp::configureWithName("", options, env_));
  EXPECT_FALSE(TWKApp::configureWithName(TWKApp::kDefaultAppName, options, env_));
  EXPECT_FALSE(TWKApp::configureWithName("no-id", TWKOptions(""), env_));
}

TEST_F(TWKAppTest, RegisteredLibrariesOfferLazyAndEagerComponents) {
  // The registration outlives this test (libraries stay registered), so the blocks hold
  // their counters, not references to this frame.
  struct Counters {
    std::atomic<int> lazyMade{0}, eagerMade{0}, uncachedMade{0};
  };
  auto counters = std::make_shared<Counters>();
  auto& lazyMade = counters->lazyMade;
  auto& eagerMade = counters->eagerMade;
  auto& uncachedMade = counters->uncachedMade;
  ASSERT_TRUE(TWKApp::registerInternalLibrary(
      [counters] {
        return std::vector<std::shared_ptr<const TWKComponent>>{
            TWKComponent::componentWithProtocol(
                "TestLazyInterop",
                [counters](TWKComponentContainer&, bool&) {
                  return std::make_shared<CounterInterop>(++counters->lazyMade);
                }),
            TWKComponent::componentWithProtocol(
                "TestEagerInterop", TWKInstantiationTiming::AlwaysEager, {},
                [counters](TWKComponentContainer&, bool&) {
                  return std::make_shared<CounterInterop>(++counters->eagerMade);
                }),
            TWKComponent::componentWithProtocol("TestUncachedInterop",
                                                [counters](TWKComponentContainer&, bool& cacheable) {
                                                  cacheable = false;
                                                  return std::make_shared<CounterInterop>(++counters->uncachedMade);
                                                }),
            TWKComponent::componentWithProtocol(
                "TestDependentInterop", TWKInstantiationTiming::Lazy, {"TestLazyInterop"},
                [](TWKComponentContainer& c, bool&) {
                  auto dep = c.instanceFor<CounterInterop>("TestLazyInterop");
                  return std::make_shared<CounterInterop>(dep ? dep->serial + 100 : -1);
                }),
            TWKComponent::componentWithProtocol("TestCycleA", [](TWKComponentContainer& c, bool&) {
              return c.instanceForProtocol("TestCycleB");
            }),
            TWKComponent::componentWithProtocol("TestCycleB", [](TWKComponentContainer& c, bool&) {
              return c.instanceForProtocol("TestCycleA");
            })};
      },
      "test-components", "1.0.0"));
  // The first registration of a name stays; bad names are refused.
  EXPECT_FALSE(TWKApp::registerInternalLibrary([] { return std::vector<std::shared_ptr<const TWKComponent>>{}; },
                                               "test-components", "2.0.0"));
  EXPECT_FALSE(TWKApp::registerInternalLibrary(nullptr, "", "1"));
  EXPECT_FALSE(TWKApp::registerInternalLibrary(nullptr, "x", ""));
  EXPECT_NE(TWKApp::registeredLibrariesDescription().find("test-components/1.0.0"), std::string::npos);

  ASSERT_TRUE(TWKApp::configureWithName("components", TWKOptions("vx-c"), env_));
  auto app = TWKApp::appNamed("components");
  ASSERT_TRUE(app);
  EXPECT_EQ(eagerMade.load(), 1);  // at configure
  EXPECT_EQ(lazyMade.load(), 0);
  auto lazy = app->container().instanceFor<CounterInterop>("TestLazyInterop");
  ASSERT_TRUE(lazy);
  EXPECT_EQ(app->container().instanceFor<CounterInterop>("TestLazyInterop"), lazy);  // cached
  EXPECT_EQ(lazyMade.load(), 1);
  EXPECT_NE(app->container().instanceFor<CounterInterop>("TestUncachedInterop"),
            app->container().instanceFor<CounterInterop>("TestUncachedInterop"));
  EXPECT_EQ(uncachedMade.load(), 2);
  auto dependent = app->container().instanceFor<CounterInterop>("TestDependentInterop");
  ASSERT_TRUE(dependent);
  EXPECT_EQ(dependent->serial, lazy->serial + 100);

  testing::LogCapture log;
  EXPECT_FALSE(app->container().instanceForProtocol("TestCycleA"));
  EXPECT_TRUE(log.contains("I-COR000010"));
  EXPECT_FALSE(app->container().instanceForProtocol("NoSuchInterop"));
  app->deleteApp();
}

// A library that registers only when it starts (a static archive has no load-time hook)
// reaches apps configured before it: lazy and eager components, the first offer of a
// protocol kept.
TEST_F(TWKAppTest, ALibraryRegisteredAfterConfigureReachesTheConfiguredApps) {
  ASSERT_TRUE(TWKApp::configureWithName("early", TWKOptions("vx-e"), env_));
  auto app = TWKApp::appNamed("early");
  ASSERT_TRUE(app);
  ASSERT_FALSE(app->container().hasComponentForProtocol("LateLazyInterop"));
  auto eagerMade = std::make_shared<std::atomic<int>>(0);
  auto offer = [](const char* protocol, int serial, TWKInstantiationTiming timing,
                  std::shared_ptr<std::atomic<int>> made = nullptr) {
    return TWKComponent::componentWithProtocol(protocol, timing, {}, [serial, made](TWKComponentContainer&, bool&) {
      if (made) ++*made;
      return std::make_shared<CounterInterop>(serial);
    });
  };
  ASSERT_TRUE(TWKApp::registerInternalLibrary(
      [offer, eagerMade] {
        return std::vector<std::shared_ptr<const TWKComponent>>{
            offer("LateLazyInterop", 1, TWKInstantiationTiming::Lazy),
            offer("LateEagerInterop", 2, TWKInstantiationTiming::AlwaysEager, eagerMade)};
      },
      "late-library", "1.0.0"));
  EXPECT_EQ(eagerMade->load(), 1) << "created when it reached the app";
  auto lazy = app->container().instanceFor<CounterInterop>("LateLazyInterop");
  ASSERT_TRUE(lazy);
  EXPECT_EQ(lazy->serial, 1);
  ASSERT_TRUE(TWKApp::registerInternalLibrary(
      [offer] {
        return std::vector<std::shared_ptr<const TWKComponent>>{offer("LateLazyInterop", 9, TWKInstantiationTiming::Lazy)};
      },
      "later-library", "1.0.0"));
  EXPECT_EQ(app->container().instanceFor<CounterInterop>("LateLazyInterop")->serial, 1);
  app->deleteApp();
}

TEST(TWKTarnwickVersionTest, VersionAndTagsAreNonEmpty) {
  const std::string version = TWKTarnwickVersion();
  ASSERT_FALSE(version.empty());
  EXPECT_EQ(std::count(version.begin(), version.end(), '.'), 2);
  EXPECT_FALSE(kTWKLoggerAnalytics.empty());
}

}  // namespace
}  // namespace platform
