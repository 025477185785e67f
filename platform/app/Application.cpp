#include "platform/app/Application.h"

#include <exception>
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
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
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
    if (auto d = app.delegate(); d && d->respondsToSelector(kSelDidFinishLaunching)) {
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
    if (auto d = app.delegate()) {
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
    if (auto d = app.delegate(); d && activity && d->respondsToSelector(kSelContinueUserActivity)) {
      guarded(kSelContinueUserActivity,
              [&] { handled = d->application(app, activity, ApplicationDelegate::RestorationHandler()); });
    }
    if (result) result(handled);
  });
}

void Application::handleEventsForBackgroundURLSession(std::string identifier,
                                                      std::function<void()> completionHandler) {
  onMain([identifier = std::move(identifier), completion = std::move(completionHandler)](Application& app) {
    auto d = app.delegate();
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
    if (tasks_.size() >= kMaxBackgroundTasks) {
      logApp(VXLLoggerLevel::Warning, "I-APP000011",
             "Too many background tasks; refused " + std::string(name));
      return kInvalidBackgroundTask;
    }
    id = nextTask_++;
    tasks_.emplace(id, Task{std::string(name), std::move(expirationHandler)});
  }
  if (applicationState() == ApplicationState::Background) {
    onMain([](Application& app) { app.armExpiryTimer(); });
  }
  return id;
}

bool Application::endBackgroundTask(BackgroundTaskIdentifier identifier) {
  if (identifier == kInvalidBackgroundTask) return false;
  std::lock_guard lock(mutex_);
  if (tasks_.erase(identifier) == 0) {
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
    std::lock_guard lock(app.mutex_);
    for (auto& [id, task] : running) {
      if (app.tasks_.erase(id) != 0) {
        logApp(VXLLoggerLevel::Warning, "I-APP000013",
               "Background task " + std::to_string(id) + " (" + task.name +
                   ") was not ended by its expiry handler; ending it");
      }
    }
  });
}

}  // namespace platform
