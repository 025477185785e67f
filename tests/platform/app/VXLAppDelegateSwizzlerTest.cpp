#include "platform/app/VXLAppDelegateSwizzler.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/DispatchQueue.h"
#include "platform/PropertyList.h"
#include "platform/testing/TestEnvironment.h"

namespace platform {
namespace {

// Records the calls it receives; answers `answer`.
class Recorder : public ApplicationDelegate {
 public:
  Recorder(std::string tag, std::vector<std::string>& log, std::vector<std::string_view> implements, bool answer)
      : tag_(std::move(tag)), log_(log), implements_(std::move(implements)), answer_(answer) {}
  using ApplicationDelegate::application;

  bool respondsToSelector(std::string_view selector) const override {
    for (auto s : implements_) {
      if (s == selector) return true;
    }
    return false;
  }
  bool application(Application&, const Value& url, const Dictionary&) override {
    log_.push_back(tag_ + " url " + *url.urlString());
    return answer_;
  }
  bool application(Application&, const Value& url, const std::string& source, const Value&) override {
    log_.push_back(tag_ + " url-source " + *url.urlString() + " " + source);
    return answer_;
  }
  bool application(Application&, const std::shared_ptr<UserActivity>& activity, const RestorationHandler&) override {
    log_.push_back(tag_ + " activity " + activity->webpageURL());
    return answer_;
  }
  void application(Application&, const std::string& session, const CompletionHandler& completion) override {
    log_.push_back(tag_ + " session " + session);
    completion();
  }

 private:
  std::string tag_;
  std::vector<std::string>& log_;
  std::vector<std::string_view> implements_;
  bool answer_;
};

const std::vector<std::string_view> kAll = {kSelOpenURLOptions, kSelOpenURLSourceApplication, kSelContinueUserActivity,
                                            kSelHandleEventsForBackgroundURLSession};

class VXLAppDelegateSwizzlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MainRunLoop::drainMain();
    env_ = testing::TestEnvironment::create();
    ASSERT_TRUE(env_);
    bundleDir_ = env_->root() + "/App.app";
    ASSERT_TRUE(env_->fileSystem()->createDirectories(bundleDir_));
    app_ = Application::create(std::make_shared<NotificationCenter>());
  }
  std::shared_ptr<Bundle> bundleWith(const Value& info) {
    auto bytes = PropertyList::dataWithPropertyList(info, PropertyListFormat::XML);
    EXPECT_TRUE(bytes);
    EXPECT_TRUE(env_->fileSystem()->writeFileAtomically(bundleDir_ + "/Info.plist", *bytes));
    return Bundle::bundleWithPath(bundleDir_, env_->fileSystem());
  }

  std::shared_ptr<testing::TestEnvironment> env_;
  std::string bundleDir_;
  std::shared_ptr<Application> app_;
  std::vector<std::string> log_;
};

TEST_F(VXLAppDelegateSwizzlerTest, InterceptorsReceiveTheForwardedCallsBeforeTheOriginal) {
  auto original = std::make_shared<Recorder>("app", log_, std::vector<std::string_view>{kSelOpenURLOptions}, true);
  app_->setDelegate(original);
  auto swizzler = VXLAppDelegateSwizzler::create(app_, bundleWith(Value{{"CFBundleIdentifier", "x"}}));
  EXPECT_TRUE(swizzler->isAppDelegateProxyEnabled());
  ASSERT_TRUE(swizzler->proxyOriginalDelegate());
  EXPECT_FALSE(swizzler->proxyOriginalDelegate());  // once
  auto interceptor = std::make_shared<Recorder>("analytics", log_, kAll, false);
  EXPECT_NE(swizzler->registerAppDelegateInterceptor(interceptor), VXLAppDelegateSwizzler::kInvalidInterceptor);

  std::vector<bool> answers;
  auto collect = [&](bool b) { answers.push_back(b); };
  app_->openURL(Value::url("game://a"), {}, collect);
  app_->continueUserActivity(std::make_shared<UserActivity>(std::string(kNSUserActivityTypeBrowsingWeb), "https://l/1"),
                             collect);
  int completions = 0;
  app_->handleEventsForBackgroundURLSession("bg-1", [&] { ++completions; });
  MainRunLoop::drainMain();

  // The app's delegate has no user-activity call, so the proxy claims none either.
  EXPECT_EQ(log_, (std::vector<std::string>{"analytics url game://a", "app url game://a", "analytics session bg-1"}));
  EXPECT_EQ(answers, (std::vector<bool>{true, false}));
  EXPECT_EQ(completions, 1);
}

TEST_F(VXLAppDelegateSwizzlerTest, ACompletionHandlerSharedByReceiversRunsOnce) {
  app_->setDelegate(std::make_shared<Recorder>("app", log_, kAll, true));
  auto swizzler = VXLAppDelegateSwizzler::create(app_, bundleWith(Value{{"a", 1}}));
  ASSERT_TRUE(swizzler->proxyOriginalDelegate());
  auto first = std::make_shared<Recorder>("first", log_, kAll, false);
  auto second = std::make_shared<Recorder>("second", log_, kAll, false);
  (void)swizzler->registerAppDelegateInterceptor(first);
  (void)swizzler->registerAppDelegateInterceptor(second);
  int completions = 0;
  app_->handleEventsForBackgroundURLSession("bg-2", [&] { ++completions; });
  MainRunLoop::drainMain();
  EXPECT_EQ(log_, (std::vector<std::string>{"first session bg-2", "second session bg-2", "app session bg-2"}));
  EXPECT_EQ(completions, 1);
}

// The app's delegate stays its own object (its own cast works), and a delegate it sets later
// is reached through the proxy as well.
TEST_F(VXLAppDelegateSwizzlerTest, TheAppsDelegateStaysItsOwnAndOneSetLaterIsProxiedToo) {
  auto first = std::make_shared<Recorder>("first", log_, std::vector<std::string_view>{kSelOpenURLOptions}, true);
  app_->setDelegate(first);
  auto swizzler = VXLAppDelegateSwizzler::create(app_, bundleWith(Value{{"a", 1}}));
  ASSERT_TRUE(swizzler->proxyOriginalDelegate());
  auto interceptor = std::make_shared<Recorder>("analytics", log_, kAll, false);
  (void)swizzler->registerAppDelegateInterceptor(interceptor);
  EXPECT_EQ(app_->delegate(), first);
  EXPECT_TRUE(std::dynamic_pointer_cast<Recorder>(app_->delegate()));
  auto second = std::make_shared<Recorder>("second", log_, std::vector<std::string_view>{kSelOpenURLOptions}, true);
  app_->setDelegate(second);
  EXPECT_EQ(app_->delegate(), second);
  app_->openURL(Value::url("game://c"));
  MainRunLoop::drainMain();
  EXPECT_EQ(log_, (std::vector<std::string>{"analytics url game://c", "second url game://c"}));
}

// A receiver may keep its background-session handler (the app's delegate finishing its own
// downloads later): the system's handler runs once, after every receiver called its own.
TEST_F(VXLAppDelegateSwizzlerTest, TheSystemsSessionHandlerRunsOnceAfterEveryReceiverCalledItsOwn) {
  class Keeper : public ApplicationDelegate {
   public:
    using ApplicationDelegate::application;
    bool respondsToSelector(std::string_view s) const override { return s == kSelHandleEventsForBackgroundURLSession; }
    void application(Application&, const std::string&, const CompletionHandler& completion) override {
      kept = completion;
    }
    CompletionHandler kept;
  };
  auto keeper = std::make_shared<Keeper>();
  app_->setDelegate(keeper);
  auto swizzler = VXLAppDelegateSwizzler::create(app_, bundleWith(Value{{"a", 1}}));
  ASSERT_TRUE(swizzler->proxyOriginalDelegate());
  auto interceptor = std::make_shared<Recorder>("analytics", log_, kAll, false);  // calls its handler at once
  (void)swizzler->registerAppDelegateInterceptor(interceptor);
  int completions = 0;
  app_->handleEventsForBackgroundURLSession("bg-3", [&] { ++completions; });
  MainRunLoop::drainMain();
  EXPECT_EQ(log_, std::vector<std::string>{"analytics session bg-3"});
  EXPECT_EQ(completions, 0) << "the app's delegate still holds its handler";
  ASSERT_TRUE(keeper->kept);
  keeper->kept();
  keeper->kept();
  EXPECT_EQ(completions, 1);
}

// An app with only the older open-URL form keeps receiving URLs, in that form, and the
// proxy answers for no call the app lacks.
TEST_F(VXLAppDelegateSwizzlerTest, TheProxyAnswersOnlyTheFormsTheAppsDelegateImplements) {
  struct Case {
    std::vector<std::string_view> implements;
    std::vector<std::string> log;
  };
  const Case cases[] = {
      {{kSelOpenURLSourceApplication}, {"analytics url-source game://o src", "app url-source game://o src"}},
      {{kSelOpenURLOptions}, {"analytics url game://o", "app url game://o"}},
      {{}, {}},
  };
  for (const auto& c : cases) {
    log_.clear();
    auto app = Application::create(std::make_shared<NotificationCenter>());
    app->setDelegate(std::make_shared<Recorder>("app", log_, c.implements, true));
    auto swizzler = VXLAppDelegateSwizzler::create(app, bundleWith(Value{{"a", 1}}));
    ASSERT_TRUE(swizzler->proxyOriginalDelegate());
    auto interceptor = std::make_shared<Recorder>("analytics", log_, kAll, false);
    (void)swizzler->registerAppDelegateInterceptor(interceptor);
    auto proxy = app->receivingDelegate();
    for (auto selector : {kSelOpenURLOptions, kSelOpenURLSourceApplication, kSelContinueUserActivity}) {
      EXPECT_EQ(proxy->respondsToSelector(selector),
                std::find(c.implements.begin(), c.implements.end(), selector) != c.implements.end())
          << selector;
    }
    app->openURL(Value::url("game://o"), Dictionary{{"UIApplicationOpenURLOptionsSourceApplicationKey", "src"}});
    MainRunLoop::drainMain();
    EXPECT_EQ(log_, c.log);
  }
}

TEST_F(VXLAppDelegateSwizzlerTest, UnregisteredAndReleasedInterceptorsAreSkipped) {
  app_->setDelegate(std::make_shared<Recorder>("app", log_, std::vector<std::string_view>{kSelOpenURLOptions}, true));
  auto swizzler = VXLAppDelegateSwizzler::create(app_, bundleWith(Value{{"a", 1}}));
  ASSERT_TRUE(swizzler->proxyOriginalDelegate());
  auto kept = std::make_shared<Recorder>("kept", log_, kAll, false);
  auto removed = std::make_shared<Recorder>("removed", log_, kAll, false);
  auto released = std::make_shared<Recorder>("released", log_, kAll, false);
  (void)swizzler->registerAppDelegateInterceptor(kept);
  auto removedID = swizzler->registerAppDelegateInterceptor(removed);
  (void)swizzler->registerAppDelegateInterceptor(released);
  EXPECT_EQ(swizzler->registerAppDelegateInterceptor(nullptr), VXLAppDelegateSwizzler::kInvalidInterceptor);
  EXPECT_TRUE(swizzler->unregisterAppDelegateInterceptorWithID(removedID));
  EXPECT_FALSE(swizzler->unregisterAppDelegateInterceptorWithID(removedID));
  released.reset();
  app_->openURL(Value::url("game://b"));
  MainRunLoop::drainMain();
  EXPECT_EQ(log_, (std::vector<std::string>{"kept url game://b", "app url game://b"}));
}

TEST_F(VXLAppDelegateSwizzlerTest, DisabledByInfoPlistOrWithoutADelegate) {
  auto disabled = VXLAppDelegateSwizzler::create(app_, bundleWith(Value{{kAppDelegateProxyEnabledPlistKey, false}}));
  app_->setDelegate(std::make_shared<Recorder>("app", log_, kAll, true));
  EXPECT_FALSE(disabled->isAppDelegateProxyEnabled());
  EXPECT_FALSE(disabled->proxyOriginalDelegate());
  EXPECT_FALSE(disabled->isProxyInstalled());

  // A string is not a switch: the proxy stays enabled.
  auto stringSwitch = VXLAppDelegateSwizzler::create(app_, bundleWith(Value{{kAppDelegateProxyEnabledPlistKey, "NO"}}));
  EXPECT_TRUE(stringSwitch->isAppDelegateProxyEnabled());

  auto noDelegateApp = Application::create(std::make_shared<NotificationCenter>());
  auto noDelegate = VXLAppDelegateSwizzler::create(noDelegateApp, bundleWith(Value{{"a", 1}}));
  EXPECT_FALSE(noDelegate->proxyOriginalDelegate());
  EXPECT_FALSE(noDelegate->isProxyInstalled());
}

}  // namespace
}  // namespace platform
