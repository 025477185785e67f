#include "platform/app/Application.h"

#include <exception>
#include <optional>
#include <utility>
#include <vector>

#include "platform/app/AppLog.h"

namespace platform {

namespace {
void logApp(VXLLoggerLevel level, std::string_view code, std::string_view message) {
  applog::log(level, applog::kAppService, code, message);
}

template <class F>
void guarded(std::string_view what, F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    logApp(VXLLoggerLevel::Error, "I-APP000010", std::string(what) + " threw: " + e.what());
  } catch (...) {
    logApp(VXLLoggerLevel::Error, "I-APP000010", std::string(what) + " threw");
  }
}
}  // namespace

std::shared_ptr<Application> Application::create(std::shared_ptr<NotificationCenter> center,
                                                 std::shared_ptr<DispatchQueue> mainQueue) {
  if (!center) center = std::make_shared<NotificationCenter>();
  if (!mainQueue) mainQueue = DispatchQueue::main();
  return std::shared_ptr<Application>(new Application(std::move(center), std::move(mainQueue)));
}

Application::Application(std::shared_ptr<NotificationCenter> center, std::shared_ptr<DispatchQueue> mainQueue)
    : center_(std::move(center)), mainQueue_(std::move(mainQueue)) {}

Application::~Application() {
  if (expiryTimer_) expiryTimer_->cancel();
}

std::shared_ptr<ApplicationDelegate> Application::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_;
}

void Application::setDelegate(std::shared_ptr<ApplicationDelegate> delegate) {
  // The old delegate is the app's object: its destructor runs after the lock.
  std::shared_ptr<ApplicationDelegate> old;
  std::lock_guard lock(mutex_);
  old = std::exchange(delegate_, std::move(delegate));
}

void Application::setDelegateProxy(DelegateProxy proxy) {
  DelegateProxy old;
  std::lock_guard lock(mutex_);
  old = std::exchange(delegateProxy_, std::move(proxy));
}

std::shared_ptr<ApplicationDelegate> Application::receivingDelegate() const {
  std::shared_ptr<ApplicationDelegate> d;
  DelegateProxy proxy;
  {
    std::lock_guard lock(mutex_);
    d = delegate_;
    proxy = delegateProxy_;
  }
  return proxy ? proxy(std::move(d)) : d;
}

void Application::onMain(std::function<void(Application&)> work) {
  mainQueue_->asyncWeak(shared_from_this(), std::move(work));
}

void Application::post(std::string_view name, Dictionary userInfo) {
  center_->post(Notification{std::string(name), Value(), std::move(userInfo)});
}

void Application::finishLaunching(Dictionary launchOptions) {
  if (launchRequested_.exchange(true)) return;
  onMain([options = std::move(launchOptions)](Application& app) {
    if (auto d = app.receivingDelegate(); d && d->respondsToSelector(kSelDidFinishLaunching)) {
      guarded("application:didFinishLaunchingWithOptions:", [&] { (void)d->application(app, options); });
    }
    app.launched_.store(true, std::memory_order_release);
    app.post(kApplicationDidFinishLaunchingNotification, options);
  });
}

void Application::perform(Step step) {
  if (!launched_.load(std::memory_order_acquire) || terminated_.load(std::memory_order_acquire)) return;
  const ApplicationState state = applicationState();
  switch (step) {
    case Step::DidBecomeActive:
      if (state == ApplicationState::Active) return;
      if (state == ApplicationState::Background) perform(Step::WillEnterForeground);
      state_.store(ApplicationState::Active, std::memory_order_release);
      post(kApplicationDidBecomeActiveNotification);
      return;
    case Step::WillResignActive:
      if (state != ApplicationState::Active) return;
      post(kApplicationWillResignActiveNotification);
      state_.store(ApplicationState::Inactive, std::memory_order_release);
      return;
    case Step::DidEnterBackground:
      if (state == ApplicationState::Background) return;
      if (state == ApplicationState::Active) perform(Step::WillResignActive);
      state_.store(ApplicationState::Background, std::memory_order_release);
      armExpiryTimer();
      post(kApplicationDidEnterBackgroundNotification);
      return;
    case Step::WillEnterForeground:
      if (state != ApplicationState::Background) return;
      cancelExpiryTimer();
      post(kApplicationWillEnterForegroundNotification);
      state_.store(ApplicationState::Inactive, std::memory_order_release);
      return;
  }
}

void Application::becomeActive() {
  onMain([](Application& app) { app.perform(Step::DidBecomeActive); });
}
void Application::resignActive() {
  onMain([](Application& app) { app.perform(Step::WillResignActive); });
}
void Application::enterBackground() {
  onMain([](Application& app) { app.perform(Step::DidEnterBackground); });
}
void Application::enterForeground() {
  onMain([](Application& app) { app.perform(Step::WillEnterForeground); });
}

void Application::terminate() {
  onMain([](Application& app) {
    if (!app.launched_.load(std::memory_order_acquire) || app.terminated_.exchange(true)) return;
    app.post(kApplicationWillTerminateNotification);
    app.cancelExpiryTimer();
  });
}

void Application::openURL(Value url, Dictionary options, std::function<void(bool)> result) {
  onMain([url = std::move(url), options = std::move(options), result = std::move(result)](Application& app) {
    bool handled = false;
    if (auto d = app.receivingDelegate()) {
      if (d->respondsToSelector(kSelOpenURLOptions)) {
        guarded(kSelOpenURLOptions, [&] { handled = d->application(app, url, options); });
      } else if (d->respondsToSelector(kSelOpenURLSourceApplication)) {
        const Value* source = options.find("UIApplicationOpenURLOptionsSourceApplicationKey");
        std::string sourceApp = source ? source->stringOr() : std::string();
        guarded(kSelOpenURLSourceApplication, [&] {
          handled = d->application(app, url, sourceApp, options.get("UIApplicationOpenURLOptionsAnnotationKey"));
        });
      }
    }
    if (result) result(handled);
  });
}

void Application::continueUserActivity(std::shared_ptr<UserActivity> activity, std::function<void(bool)> result) {
  onMain([activity = std::move(activity), result = std::move(result)](Application& app) {
    bool handled = false;
    if (auto d = app.receivingDelegate(); d && activity && d->respondsToSelector(kSelContinueUserActivity)) {
      guarded(kSelContinueUserActivity,
              [&] { handled = d->application(app, activity, ApplicationDelegate::RestorationHandler()); });
    }
    if (result) result(handled);
  });
}

void Application::handleEventsForBackgroundURLSession(std::string identifier,
                                                      std::function<void()> completionHandler) {
  onMain([identifier = std::move(identifier), completion = std::move(completionHandler)](Application& app) {
    auto d = app.receivingDelegate();
    if (d && d->respondsToSelector(kSelHandleEventsForBackgroundURLSession)) {
      guarded(kSelHandleEventsForBackgroundURLSession, [&] { d->application(app, identifier, completion); });
    } else if (completion) {
      // Nobody takes the events: tell the system at once that they are handled.
      completion();
    }
  });
}

BackgroundTaskIdentifier Application::beginBackgroundTask(std::string_view name,
                                                          std::function<void()> expirationHandler) {
  BackgroundTaskIdentifier id;
  {
    std::lock_guard lock(mutex_);
    if (tasks_.size() < kMaxBackgroundTasks) {
      id = nextTask_++;
      tasks_.emplace(id, Task{std::string(name), std::move(expirationHandler)});
    } else {
      id = kInvalidBackgroundTask;
    }
  }
  // The log sink is replaceable app code: called after the lock.
  if (id == kInvalidBackgroundTask) {
    logApp(VXLLoggerLevel::Warning, "I-APP000011", "Too many background tasks; refused " + std::string(name));
    return kInvalidBackgroundTask;
  }
  if (applicationState() == ApplicationState::Background) {
    onMain([](Application& app) { app.armExpiryTimer(); });
  }
  return id;
}

bool Application::endBackgroundTask(BackgroundTaskIdentifier identifier) {
  if (identifier == kInvalidBackgroundTask) return false;
  // The expiry handler's captures are the app's: destroyed after the lock.
  std::optional<Task> ended;
  {
    std::lock_guard lock(mutex_);
    if (auto node = tasks_.extract(identifier)) ended = std::move(node.mapped());
  }
  if (!ended) {
    logApp(VXLLoggerLevel::Warning, "I-APP000012",
           "Can't end background task " + std::to_string(identifier) + ": no such task");
    return false;
  }
  return true;
}

std::size_t Application::runningBackgroundTaskCount() const {
  std::lock_guard lock(mutex_);
  return tasks_.size();
}

void Application::setBackgroundTimeAllowance(std::chrono::milliseconds allowance) {
  std::lock_guard lock(mutex_);
  allowance_ = allowance < std::chrono::milliseconds::zero() ? std::chrono::milliseconds::zero() : allowance;
}

void Application::armExpiryTimer() {
  std::lock_guard lock(mutex_);
  if (expiryTimer_ && !expiryTimer_->isCancelled()) return;
  std::weak_ptr<Application> weak = weak_from_this();
  expiryTimer_ = mainQueue_->after(allowance_, [weak] {
    if (auto app = weak.lock()) {
      {
        std::lock_guard lock(app->mutex_);
        app->expiryTimer_.reset();
      }
      app->expireBackgroundTasks();
    }
  });
}

void Application::cancelExpiryTimer() {
  std::shared_ptr<DispatchQueue::Cancellable> timer;
  {
    std::lock_guard lock(mutex_);
    timer = std::move(expiryTimer_);
  }
  if (timer) timer->cancel();
}

void Application::expireBackgroundTasks() {
  onMain([](Application& app) {
    std::vector<std::pair<BackgroundTaskIdentifier, Task>> running;
    {
      std::lock_guard lock(app.mutex_);
      for (auto& [id, task] : app.tasks_) running.emplace_back(id, task);
    }
    for (auto& [id, task] : running) {
      if (task.expirationHandler) guarded("Background task expiry handler", task.expirationHandler);
    }
    std::vector<std::pair<BackgroundTaskIdentifier, Task>> unended;
    {
      std::lock_guard lock(app.mutex_);
      for (auto& [id, task] : running) {
        if (auto node = app.tasks_.extract(id)) unended.emplace_back(id, std::move(node.mapped()));
      }
    }
    for (auto& [id, task] : unended) {
      logApp(VXLLoggerLevel::Warning, "I-APP000013",
             "Background task " + std::to_string(id) + " (" + task.name +
                 ") was not ended by its expiry handler; ending it");
    }
  });
}

}  // namespace platform
