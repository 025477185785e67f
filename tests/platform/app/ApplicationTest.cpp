#include "platform/app/Application.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "platform/DispatchQueue.h"
#include "platform/testing/LogCapture.h"

namespace platform {
namespace {

using namespace std::chrono_literals;

class ApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MainRunLoop::drainMain();  // nothing left over from another test
    center_ = std::make_shared<NotificationCenter>();
    app_ = Application::create(center_);
    for (auto name : {kApplicationDidFinishLaunchingNotification, kApplicationDidBecomeActiveNotification,
                      kApplicationWillResignActiveNotification, kApplicationDidEnterBackgroundNotification,
                      kApplicationWillEnterForegroundNotification, kApplicationWillTerminateNotification}) {
      center_->addObserver(name, Value(), [this](const Notification& n) {
        onMain_ = onMain_ && MainRunLoop::isMainThread();
        names_.push_back(shortName(n.name));
        if (n.name == kApplicationDidFinishLaunchingNotification) launchInfo_ = n.userInfo;
      });
    }
  }
  void TearDown() override { MainRunLoop::drainMain(); }

  static std::string shortName(const std::string& name) {
    std::string s = name;
    for (auto prefix : {"UIApplication"}) {
      if (s.rfind(prefix, 0) == 0) s = s.substr(std::strlen(prefix));
    }
    if (auto pos = s.rfind("Notification"); pos != std::string::npos) s = s.substr(0, pos);
    return s;
  }

  std::shared_ptr<NotificationCenter> center_;
  std::shared_ptr<Application> app_;
  std::vector<std::string> names_;
  Dictionary launchInfo_;
  bool onMain_ = true;
};

TEST_F(ApplicationTest, LifecycleNotificationsArriveInOrderOnTheMainQueue) {
  Dictionary options;
  options.set(Value(kApplicationLaunchOptionsURLKey), Value::url("game://open?x=1"));
  app_->finishLaunching(options);
  app_->becomeActive();
  app_->resignActive();
  app_->enterBackground();
  app_->enterForeground();
  app_->becomeActive();
  // Nothing is delivered until the main queue runs.
  EXPECT_TRUE(names_.empty());
  EXPECT_EQ(app_->applicationState(), ApplicationState::Inactive);
  MainRunLoop::drainMain();
  EXPECT_TRUE(onMain_);
  EXPECT_EQ(names_, (std::vector<std::string>{"DidFinishLaunching", "DidBecomeActive", "WillResignActive",
                                              "DidEnterBackground", "WillEnterForeground", "DidBecomeActive"}));
  EXPECT_EQ(app_->applicationState(), ApplicationState::Active);
  ASSERT_NE(launchInfo_.find(kApplicationLaunchOptionsURLKey), nullptr);
  EXPECT_EQ(*launchInfo_.get(kApplicationLaunchOptionsURLKey).urlString(), "game://open?x=1");
}

TEST_F(ApplicationTest, SkippedStepsArePerformedAndRepeatsAreIgnored) {
  app_->becomeActive();  // before launch: ignored
  app_->finishLaunching();
  app_->finishLaunching();  // once only
  app_->becomeActive();
  app_->becomeActive();
  app_->enterBackground();  // from active: resign first
  app_->becomeActive();     // from background: enter foreground first
  app_->terminate();
  app_->becomeActive();  // after terminate: ignored
  MainRunLoop::drainMain();
  EXPECT_EQ(names_, (std::vector<std::string>{"DidFinishLaunching", "DidBecomeActive", "WillResignActive",
                                              "DidEnterBackground", "WillEnterForeground", "DidBecomeActive",
                                              "WillTerminate"}));
}

TEST_F(ApplicationTest, StateSeenByObserversMatchesThePlatformsOrder) {
  std::vector<ApplicationState> states;
  center_->addObserver("", Value(), [&](const Notification&) { states.push_back(app_->applicationState()); });
  app_->finishLaunching();
  app_->becomeActive();
  app_->enterBackground();
  app_->enterForeground();
  MainRunLoop::drainMain();
  // launch inactive; did become active: active; will resign: still active; did enter
  // background: background; will enter foreground: still background.
  EXPECT_EQ(states, (std::vector<ApplicationState>{ApplicationState::Inactive, ApplicationState::Active,
                                                   ApplicationState::Active, ApplicationState::Background,
                                                   ApplicationState::Background}));
  EXPECT_EQ(app_->applicationState(), ApplicationState::Inactive);
}

TEST_F(ApplicationTest, BackgroundTasksEndOnceAndTheInvalidIdentifierIsIgnored) {
  testing::LogCapture log;
  int expired = 0;
  auto a = app_->beginBackgroundTask("A", [&] { ++expired; });
  auto b = app_->beginBackgroundTask("B", [&] { ++expired; });
  EXPECT_NE(a, kInvalidBackgroundTask);
  EXPECT_NE(b, kInvalidBackgroundTask);
  EXPECT_NE(a, b);
  EXPECT_EQ(app_->runningBackgroundTaskCount(), 2u);
  EXPECT_TRUE(app_->endBackgroundTask(a));
  EXPECT_FALSE(app_->endBackgroundTask(a));
  EXPECT_TRUE(log.contains("I-APP000012"));
  EXPECT_FALSE(app_->endBackgroundTask(kInvalidBackgroundTask));
  EXPECT_EQ(app_->runningBackgroundTaskCount(), 1u);
  EXPECT_TRUE(app_->endBackgroundTask(b));
  app_->expireBackgroundTasks();
  MainRunLoop::drainMain();
  EXPECT_EQ(expired, 0);
}

TEST_F(ApplicationTest, ExpiryRunsHandlersOnTheMainQueueAndEndsForgottenTasks) {
  testing::LogCapture log;
  std::vector<std::string> order;
  bool handlersOnMain = true;
  BackgroundTaskIdentifier polite = kInvalidBackgroundTask;
  polite = app_->beginBackgroundTask("polite", [&] {
    handlersOnMain = handlersOnMain && MainRunLoop::isMainThread();
    order.push_back("polite");
    EXPECT_TRUE(app_->endBackgroundTask(polite));
  });
  auto forgetful = app_->beginBackgroundTask("forgetful", [&] {
    handlersOnMain = handlersOnMain && MainRunLoop::isMainThread();
    order.push_back("forgetful");
  });
  app_->expireBackgroundTasks();
  EXPECT_EQ(app_->runningBackgroundTaskCount(), 2u);  // expiry happens on the main queue
  MainRunLoop::drainMain();
  EXPECT_TRUE(handlersOnMain);
  EXPECT_EQ(order, (std::vector<std::string>{"polite", "forgetful"}));
  EXPECT_EQ(app_->runningBackgroundTaskCount(), 0u);
  EXPECT_FALSE(app_->endBackgroundTask(forgetful));
  EXPECT_EQ(log.withCode("I-APP000013").size(), 1u);
}

TEST_F(ApplicationTest, TasksExpireAfterTheBackgroundAllowanceUnlessTheAppReturns) {
  app_->setBackgroundTimeAllowance(30ms);
  std::atomic<int> expired{0};
  app_->finishLaunching();
  app_->becomeActive();
  auto first = app_->beginBackgroundTask("upload", [&] { expired.fetch_add(1); });
  ASSERT_NE(first, kInvalidBackgroundTask);
  // Back to the foreground before the allowance runs out: nothing expires.
  app_->enterBackground();
  app_->enterForeground();
  MainRunLoop::drainMain();
  EXPECT_FALSE(MainRunLoop::runUntil([&] { return expired.load() > 0; }, 120ms));
  EXPECT_EQ(app_->runningBackgroundTaskCount(), 1u);
  // Staying in the background: the allowance runs out.
  app_->enterBackground();
  EXPECT_TRUE(MainRunLoop::runUntil([&] { return expired.load() > 0; }, 5000ms));
  MainRunLoop::drainMain();
  EXPECT_EQ(expired.load(), 1);
  EXPECT_EQ(app_->runningBackgroundTaskCount(), 0u);
}

TEST_F(ApplicationTest, RefusesTasksBeyondTheBound) {
  std::vector<BackgroundTaskIdentifier> ids;
  for (std::size_t i = 0; i < Application::kMaxBackgroundTasks; ++i) {
    ids.push_back(app_->beginBackgroundTask("t", [] {}));
    ASSERT_NE(ids.back(), kInvalidBackgroundTask);
  }
  testing::LogCapture log;
  EXPECT_EQ(app_->beginBackgroundTask("one too many", [] {}), kInvalidBackgroundTask);
  EXPECT_TRUE(log.contains("I-APP000011"));
  EXPECT_TRUE(app_->endBackgroundTask(ids.front()));
  EXPECT_NE(app_->beginBackgroundTask("fits again", [] {}), kInvalidBackgroundTask);
}

class RecordingDelegate : public ApplicationDelegate {
 public:
  using ApplicationDelegate::application;
  bool respondsToSelector(std::string_view selector) const override {
    return selector == kSelOpenURLOptions || selector == kSelContinueUserActivity;
  }
  bool application(Application&, const Value& url, const Dictionary&) override {
    urls.push_back(url.urlString() ? *url.urlString() : "?");
    onMain = onMain && MainRunLoop::isMainThread();
    return true;
  }
  bool application(Application&, const std::shared_ptr<UserActivity>& activity, const RestorationHandler&) override {
    activities.push_back(activity->webpageURL());
    return true;
  }
  std::vector<std::string> urls, activities;
  bool onMain = true;
};

TEST_F(ApplicationTest, DelegateReceivesWhatItImplementsOnTheMainQueue) {
  auto delegate = std::make_shared<RecordingDelegate>();
  app_->setDelegate(delegate);
  std::vector<bool> answers;
  app_->openURL(Value::url("game://a"), {}, [&](bool handled) { answers.push_back(handled); });
  app_->continueUserActivity(std::make_shared<UserActivity>(std::string(kNSUserActivityTypeBrowsingWeb), "https://x/y"),
                             [&](bool handled) { answers.push_back(handled); });
  bool completed = false;
  // The delegate does not take background-session events: their handler runs at once.
  app_->handleEventsForBackgroundURLSession("session-1", [&] { completed = true; });
  MainRunLoop::drainMain();
  EXPECT_TRUE(delegate->onMain);
  EXPECT_EQ(delegate->urls, std::vector<std::string>{"game://a"});
  EXPECT_EQ(delegate->activities, std::vector<std::string>{"https://x/y"});
  EXPECT_EQ(answers, (std::vector<bool>{true, true}));
  EXPECT_TRUE(completed);

  app_->setDelegate(nullptr);
  app_->openURL(Value::url("game://b"), {}, [&](bool handled) { answers.push_back(handled); });
  MainRunLoop::drainMain();
  EXPECT_EQ(answers.back(), false);
}

TEST_F(ApplicationTest, TransitionsRequestedFromSeveralThreadsStayValid) {
  app_->finishLaunching();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        if ((i + t) % 2) {
          app_->becomeActive();
        } else {
          app_->enterBackground();
        }
        (void)app_->applicationState();
      }
    });
  }
  for (auto& t : threads) t.join();
  MainRunLoop::drainMain();
  // Whatever the interleaving, each notification follows one its predecessor allows.
  ASSERT_FALSE(names_.empty());
  EXPECT_EQ(names_.front(), "DidFinishLaunching");
  for (std::size_t i = 1; i < names_.size(); ++i) {
    const std::string& prev = names_[i - 1];
    const std::string& cur = names_[i];
    if (cur == "DidBecomeActive") {
      EXPECT_TRUE(prev == "DidFinishLaunching" || prev == "WillEnterForeground" || prev == "WillResignActive") << i;
    } else if (cur == "WillResignActive") {
      EXPECT_EQ(prev, "DidBecomeActive") << i;
    } else if (cur == "DidEnterBackground") {
      EXPECT_TRUE(prev == "WillResignActive" || prev == "DidFinishLaunching") << i;
    } else if (cur == "WillEnterForeground") {
      EXPECT_EQ(prev, "DidEnterBackground") << i;
    }
  }
}

// App code never runs under the application's lock: the old delegate's destructor, an
// expiry handler's captures and the log sink may each call the application again.
TEST_F(ApplicationTest, AppCodeCalledFromThePlatformMayCallTheApplicationAgain) {
  struct CallsBackOnDestruction : ApplicationDelegate {
    std::shared_ptr<Application> app;
    bool respondsToSelector(std::string_view) const override { return false; }
    ~CallsBackOnDestruction() override { (void)app->runningBackgroundTaskCount(); }
  };
  struct CallsBackOnRelease {
    std::shared_ptr<Application> app;
    ~CallsBackOnRelease() {
      if (app) (void)app->runningBackgroundTaskCount();
    }
  };
  class CallingSink : public LogSink {
   public:
    explicit CallingSink(std::shared_ptr<Application> app) : app_(std::move(app)) {}
    void write(VXLLoggerLevel, std::string_view, std::string_view, std::string_view) override {
      (void)app_->runningBackgroundTaskCount();
    }

   private:
    std::shared_ptr<Application> app_;
  };
  const std::pair<const char*, std::function<void()>> cases[] = {
      {"a replaced delegate's destructor",
       [this] {
         auto d = std::make_shared<CallsBackOnDestruction>();
         d->app = app_;
         app_->setDelegate(std::move(d));
         app_->setDelegate(nullptr);
       }},
      {"an ended task's expiry handler captures",
       [this] {
         auto captured = std::make_shared<CallsBackOnRelease>();
         captured->app = app_;
         auto id = app_->beginBackgroundTask("task", [captured] {});
         captured.reset();
         EXPECT_TRUE(app_->endBackgroundTask(id));
       }},
      {"the log sink",
       [this] {
         auto previous = VXLSetLogSink(std::make_shared<CallingSink>(app_));
         EXPECT_FALSE(app_->endBackgroundTask(987654));
         VXLSetLogSink(previous);
       }},
  };
  for (const auto& [name, run] : cases) {
    SCOPED_TRACE(name);
    auto done = std::async(std::launch::async, run);
    if (done.wait_for(10s) != std::future_status::ready) {
      ADD_FAILURE() << "called back under the application's lock";
      new auto(std::move(done));  // stuck for good: left to leak
      return;
    }
  }
}

}  // namespace
}  // namespace platform
