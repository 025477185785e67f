#include "measurement/reporters/TLWScreenViewReporter.h"

#include <set>
#include <thread>

#include "SessionScreenTestSupport.h"
#include "measurement/reporters/TLWSessionReporter.h"
#include "platform/PropertyList.h"
#include "platform/app/Application.h"
#include "platform/app/Bundle.h"
#include "platform/app/ClassRegistry.h"
#include "platform/app/NotificationCenter.h"
#include "platform/app/ViewController.h"

namespace {

using platform::ViewController;
using platform::ViewControllerKind;
using session_screen_test::Logged;
using session_screen_test::ReporterFixture;

class ScreenViewReporterTest : public ReporterFixture {
 protected:
  void SetUp() override {
    ReporterFixture::SetUp();
    start();
  }
  void start() {
    reporter = TLWScreenViewReporter::initWithEnvironment(env, true, monitor);
    reporter->setEngine(host);
    views = env->viewHierarchy();
    window = platform::Window::create();
    views->makeKeyWindow(window);
  }
  std::shared_ptr<ViewController> showNavigation(const std::string& rootClass) {
    auto navigation = ViewController::create("UINavigationController", ViewControllerKind::Navigation, false);
    (void)navigation->addChild(ViewController::create(rootClass));
    views->setRoot(window, navigation);
    return navigation;
  }
  // Screen views are logged on the reporter's queue; a read through it waits for them.
  std::vector<Logged> screenViews() {
    (void)reporter->currentScreen();
    return host->events("_vs");
  }
  void post(std::string_view notification) { env->notificationCenter()->post(notification); }
  // A session reporter beside the screen reporter, with the app brought to the front.
  std::shared_ptr<TLWSessionReporter> startSession(const std::shared_ptr<TLWPersistedConfig>& persisted) {
    auto session = TLWSessionReporter::initWithPersistedConfig(persisted, host, env,
                                                               platform::DispatchQueue::create("timer-test"), monitor);
    session->setReportingEnabled(true);
    host->session = session;
    host->screens = reporter;
    post(platform::kApplicationDidBecomeActiveNotification);
    return session;
  }

  std::shared_ptr<TLWScreenViewReporter> reporter;
  std::shared_ptr<platform::ViewHierarchy> views;
  std::shared_ptr<platform::Window> window;
};

TEST_F(ScreenViewReporterTest, ControllerTransitionsReportTheShownScreenWithThePreviousOne) {
  auto navigation = showNavigation("Skyforge.MainMenuController");
  auto level = ViewController::create("Skyforge.LevelController");
  views->push(navigation, level);
  views->present(level, ViewController::create("ShopController"));
  views->dismiss(level);
  // A platform container whose name starts with "_" is never a screen.
  views->present(level, ViewController::create("_UIAlertHostController", ViewControllerKind::Plain, false));

  auto seen = screenViews();
  ASSERT_EQ(seen.size(), 4u);
  const char* classes[] = {"MainMenuController", "LevelController", "ShopController", "LevelController"};
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].string("_sc"), classes[i]) << i;
    EXPECT_EQ(seen[i].origin, "auto");
    if (i > 0) {
      EXPECT_EQ(seen[i].string("_pc"), classes[i - 1]) << i;
      EXPECT_EQ(seen[i].integer("_pi"), seen[i - 1].integer("_si")) << i;
    }
  }
  EXPECT_FALSE(seen[0].parameters.contains("_pi"));
  EXPECT_EQ(seen[3].integer("_si"), seen[1].integer("_si"));  // the level keeps its screen

  // Every other event gets the current screen's parameters.
  auto parameters = reporter->screenParameters();
  EXPECT_EQ(parameters.get("_sc").stringOr(), "LevelController");
  EXPECT_EQ(*parameters.get("_si").int64Value(), seen[3].integer("_si"));

  // A class name beyond 100 characters is cut to 100.
  views->push(navigation, ViewController::create(std::string(150, 'K')));
  EXPECT_EQ(screenViews().back().string("_sc"), std::string(100, 'K'));
}

TEST_F(ScreenViewReporterTest, ManualAndAppLoggedScreensTakePrecedenceInTheirOrder) {
  auto navigation = showNavigation("InventoryController");
  reporter->setScreenName("Bag", "");
  reporter->setScreenName("Bag", "");  // duplicate: ignored
  auto seen = screenViews();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].string("_sn"), "Bag");
  EXPECT_EQ(seen[1].string("_sc"), "InventoryController");

  // The app's own "screen_view": origin "app", the call's time, its other parameters.
  reporter->trackScreenWithParameters({{"screen_name", "Map"}, {"screen_class", "MapView"}, {"zoom", 3}}, 1700000123.5);
  seen = screenViews();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[2].origin, "app");
  EXPECT_EQ(seen[2].timestamp, 1700000123.5);
  EXPECT_EQ(seen[2].string("_sn"), "Map");
  EXPECT_EQ(seen[2].string("_pn"), "Bag");
  EXPECT_EQ(seen[2].parameters.get("zoom").description(), "3");
  EXPECT_FALSE(seen[2].parameters.contains("screen_name"));

  // A controller named by hand stays current while it is shown, over newer automatic ones.
  auto child = ViewController::create("DetailController");
  views->push(navigation, child);
  EXPECT_EQ(screenViews().back().string("_sc"), "DetailController");
  reporter->setScreenName("Detail", "");
  views->present(child, ViewController::create("PopupController"));
  EXPECT_EQ(screenViews().back().string("_sn"), "Detail");

  // A name of 101 code points is cut to 100 without splitting the character that takes
  // two UTF-16 units.
  const std::string emoji = "\xF0\x9F\x98\x80";
  reporter->trackScreenWithParameters({{"screen_name", std::string(99, 'n') + emoji + "x"}}, 1700000200);
  EXPECT_EQ(screenViews().back().string("_sn"), std::string(99, 'n') + emoji);
}

// Screen views seen before an engine is attached (the first screen of a launch, an app's
// "screen_view" right after start) are logged in order once it is, with their own times.
TEST_F(ScreenViewReporterTest, ScreenViewsBeforeTheEngineIsAttachedAreLoggedOnceItIs) {
  reporter = TLWScreenViewReporter::initWithEnvironment(env, true, monitor);
  env->fakeClock()->setNow(1700000100);
  showNavigation("TitleController");
  reporter->trackScreenWithParameters({{"screen_name", "Lobby"}, {"screen_class", "LobbyView"}}, 1700000150);
  EXPECT_TRUE(screenViews().empty());

  env->fakeClock()->setNow(1700000300);
  reporter->setEngine(host);
  auto seen = screenViews();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].origin, "auto");
  EXPECT_EQ(seen[0].string("_sc"), "TitleController");
  EXPECT_EQ(seen[0].timestamp, 1700000100) << "the time it was seen";
  EXPECT_EQ(seen[1].origin, "app");
  EXPECT_EQ(seen[1].string("_sn"), "Lobby");
  EXPECT_EQ(seen[1].string("_pc"), "TitleController");
  EXPECT_EQ(seen[1].timestamp, 1700000150);

  // Did-become-active compares with the last screen held, so nothing is logged twice.
  post(platform::kApplicationDidBecomeActiveNotification);
  EXPECT_EQ(screenViews().size(), 2u);
}

TEST_F(ScreenViewReporterTest, InvalidNamesAndClassesAreRefusedAndLeaveTheScreen) {
  showNavigation("HomeController");
  struct Case {
    platform::Dictionary parameters;
    std::int64_t code;
  };
  const Case cases[] = {{{{"screen_name", 42}}, 31027},
                        {{{"screen_name", ""}}, 31027},
                        {{{"screen_name", "ok"}, {"screen_class", platform::Value(platform::Array{})}}, 31028}};
  for (const auto& c : cases) {
    reporter->trackScreenWithParameters(c.parameters, 1700000000);
    EXPECT_TRUE(logged(c.code));
  }
  reporter->setScreenNameWithValues(platform::Value(7), platform::Value());
  EXPECT_TRUE(logged(31001));
  reporter->setCurrentViewController(nullptr);
  EXPECT_TRUE(logged(31005));
  EXPECT_EQ(screenViews().size(), 1u);
  EXPECT_EQ(reporter->currentScreen()->className, "HomeController");
}

TEST_F(ScreenViewReporterTest, LifecycleGatesScreenViewsAndForwardsToTheSessionReporter) {
  auto persisted = persistedConfig();
  auto session = startSession(persisted);
  EXPECT_EQ(host->events("_s").size(), 1u);

  auto navigation = showNavigation("LobbyController");
  env->fakeClock()->advance(3);
  views->push(navigation, ViewController::create("ArenaController"));
  auto engagement = host->events("_e");
  ASSERT_EQ(engagement.size(), 1u);
  EXPECT_EQ(engagement[0].string("_sc"), "LobbyController");

  post(platform::kApplicationWillResignActiveNotification);
  post(platform::kApplicationDidEnterBackgroundNotification);
  EXPECT_EQ(host->events("_ab").size(), 1u);
  EXPECT_EQ(host->events("_e").back().string("_sc"), "ArenaController");
  EXPECT_TRUE(reporter->screenParameters().empty());

  // A screen shown in the background is logged once, on return to the foreground.
  const auto before = screenViews().size();
  views->push(navigation, ViewController::create("ResultsController"));
  reporter->trackScreenWithParameters({{"screen_name", "late"}}, 1700000000);
  EXPECT_EQ(screenViews().size(), before);
  EXPECT_TRUE(logged(31026));
  post(platform::kApplicationDidBecomeActiveNotification);
  post(platform::kApplicationDidBecomeActiveNotification);
  EXPECT_EQ(screenViews().size(), before + 1);
  EXPECT_EQ(screenViews().back().string("_sc"), "ResultsController");
}

// In the efficient mode with redundant removal, the engagement of a screen left behind
// travels on the next "_vs" and the rest on "_ab": each second is counted once.
TEST_F(ScreenViewReporterTest, EfficientEngagementIsHandedOverOnScreenViewsAndNotCountedTwice) {
  auto persisted = persistedConfig();
  useConfig(persisted, {{std::string(tlw_remote_config_keys::kEfficientEngagementReportingEnabled), "1"},
                        {std::string(tlw_remote_config_keys::kRedundantEngagementRemovalEnabled), "1"}});
  auto session = startSession(persisted);
  auto navigation = showNavigation("LobbyController");
  env->fakeClock()->advance(3);
  views->push(navigation, ViewController::create("ArenaController"));
  env->fakeClock()->advance(2);
  post(platform::kApplicationWillResignActiveNotification);

  auto seen = screenViews();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_FALSE(seen[0].parameters.contains("_et")) << "no screen was left behind";
  EXPECT_EQ(seen[1].integer("_et"), 3000);
  auto backgrounded = host->events("_ab");
  ASSERT_EQ(backgrounded.size(), 1u);
  EXPECT_EQ(backgrounded[0].integer("_et"), 2000);
  EXPECT_TRUE(host->events("_e").empty());
}

// Automatic screen reporting switched off in the Info.plist before the reporter starts.
class ScreenReportingOffTest : public ScreenViewReporterTest {
 protected:
  void SetUp() override {
    ReporterFixture::SetUp();
    const std::string bundle = env->root() + "/Skyforge.app";
    ASSERT_TRUE(env->fileSystem()->createDirectories(bundle));
    auto info = platform::PropertyList::dataWithPropertyList(
        platform::Value(platform::Dictionary{{"CFBundleIdentifier", "com.vorlix.skyforge"},
                                             {"TarnwickAutomaticScreenReportingEnabled", false}}),
        platform::PropertyListFormat::XML);
    ASSERT_TRUE(info);
    ASSERT_TRUE(env->fileSystem()->writeFileAtomically(bundle + "/Info.plist", *info));
    env->fakeProcessInfo()->setEnvironmentVariable(platform::kBundlePathEnvironmentVariable, bundle);
    ASSERT_FALSE(TLWScreenViewReporter::automaticScreenReportingEnabled(*env));
    start();
  }
};

// No hooks, setScreenName refused, and the app's own screen views marked "_mst" = 1.
TEST_F(ScreenReportingOffTest, NoHooksAreInstalledAndTheAppsScreenViewsAreMarked) {
  EXPECT_FALSE(TLWScreenViewReporter::installViewControllerHooks(*env, reporter));
  auto navigation = showNavigation("HomeController");
  views->push(navigation, ViewController::create("LevelController"));
  EXPECT_TRUE(screenViews().empty()) << "no transition is reported";
  reporter->setScreenName("Bag", "BagView");
  EXPECT_TRUE(logged(31000));
  EXPECT_TRUE(screenViews().empty());

  reporter->trackScreenWithParameters({{"screen_name", "Map"}, {"screen_class", "MapView"}}, 1700000123);
  auto seen = screenViews();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].origin, "app");
  EXPECT_EQ(seen[0].integer("_mst"), 1);
  EXPECT_EQ(seen[0].string("_sn"), "Map");
}

TEST_F(ScreenViewReporterTest, FreedControllersAreDroppedWithoutDanglingAccess) {
  auto navigation = showNavigation("RootController");
  {
    // Taken out of the tree behind the reporter's back: the stack still names it when it goes.
    auto ghost = ViewController::create("GhostController");
    views->push(navigation, ghost);
    ghost->removeFromParent();
  }
  post(platform::kWindowDidResignKeyNotification);
  // The window's new root frees the old tree while the stack still names it.
  views->setRoot(window, ViewController::create("FreshRootController"));
  navigation.reset();
  post(platform::kWindowDidResignKeyNotification);
  views->present(window->rootViewController(), ViewController::create("SheetController"));
  EXPECT_EQ(screenViews().back().string("_sc"), "SheetController");
  EXPECT_EQ(screenViews().back().string("_pc"), "FreshRootController");
}

TEST_F(ScreenViewReporterTest, ConcurrentScreenChangesEachGetOneScreenView) {
  auto navigation = showNavigation("StartController");
  constexpr int kThreads = 4, kEach = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        reporter->trackScreenWithParameters({{"screen_name", "s" + std::to_string(t * kEach + i)}}, 1700000000 + i);
        (void)reporter->screenParameters();
      }
    });
  }
  for (int i = 0; i < 10; ++i) views->push(navigation, ViewController::create("Pushed" + std::to_string(i)));
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(tw_test_support::waitFor([&] { return screenViews().size() == 1 + kThreads * kEach + 10; },
                                       std::chrono::seconds(20)));
  std::set<std::int64_t> ids;
  for (const auto& e : screenViews()) ids.insert(e.integer("_si"));
  EXPECT_EQ(ids.size(), screenViews().size());
}

TEST(ScreenViewReporterHooks, AMissingOriginalImplementationLeavesTransitionsAlone) {
  auto env = platform::testing::TestEnvironment::create();
  auto registry = env->classRegistry();
  ASSERT_TRUE(registry->registerClass({"UIViewController", "", {}, {}}));
  auto host = std::make_shared<session_screen_test::RecordingHost>();
  auto reporter = TLWScreenViewReporter::initWithEnvironment(env, false);
  reporter->setEngine(host);
  EXPECT_FALSE(TLWScreenViewReporter::installViewControllerHooks(*env, reporter));
  auto window = platform::Window::create();
  env->viewHierarchy()->makeKeyWindow(window);
  env->viewHierarchy()->setRoot(window, ViewController::create("HomeController"));
  (void)reporter->currentScreen();
  EXPECT_TRUE(host->events("_vs").empty());
}

}  // namespace
