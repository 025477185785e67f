#pragma once
// The application object: its state, the lifecycle notifications, background tasks and
// the app delegate.
//
// Thread-safety: every operation may be called from any thread. Lifecycle transitions,
// delegate calls and notification posts happen on the main queue, in the order the
// transitions were requested; the state read from another thread is the state after the
// last transition the main queue has carried out. A transition that skips a step (for
// example entering the background while active) performs the missing steps first, so
// observers always see a valid sequence: did finish launching, then did become active /
// will resign active / did enter background / will enter foreground in their natural order.
//
// Ownership: created by the environment (one per environment) or by tests; holds the
// notification centre and the delegate. Expiry handlers and timers hold it weakly.
//
// Background tasks: beginBackgroundTask returns kInvalidBackgroundTask when the handler
// is missing or kMaxBackgroundTasks are already running. When the app has been in the
// background for the background time allowance (or expireBackgroundTasks is called) each
// running task's expiry handler runs on the main queue; a task its handler did not end is
// ended afterwards and logged.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/DispatchQueue.h"
#include "platform/Value.h"
#include "platform/app/ApplicationDelegate.h"
#include "platform/app/NotificationCenter.h"
#include "platform/app/UserActivity.h"

namespace platform {

enum class ApplicationState { Active = 0, Inactive = 1, Background = 2 };

inline constexpr std::string_view kApplicationDidFinishLaunchingNotification =
    "UIApplicationDidFinishLaunchingNotification";
inline constexpr std::string_view kApplicationDidBecomeActiveNotification = "UIApplicationDidBecomeActiveNotification";
inline constexpr std::string_view kApplicationWillResignActiveNotification =
    "UIApplicationWillResignActiveNotification";
inline constexpr std::string_view kApplicationDidEnterBackgroundNotification =
    "UIApplicationDidEnterBackgroundNotification";
inline constexpr std::string_view kApplicationWillEnterForegroundNotification =
    "UIApplicationWillEnterForegroundNotification";
inline constexpr std::string_view kApplicationWillTerminateNotification = "UIApplicationWillTerminateNotification";

// Launch-option keys (the user info of the did-finish-launching notification).
inline constexpr std::string_view kApplicationLaunchOptionsURLKey = "UIApplicationLaunchOptionsURLKey";
inline constexpr std::string_view kApplicationLaunchOptionsUserActivityDictionaryKey =
    "UIApplicationLaunchOptionsUserActivityDictionaryKey";
inline constexpr std::string_view kApplicationLaunchOptionsUserActivityKey = "UIApplicationLaunchOptionsUserActivityKey";
inline constexpr std::string_view kApplicationLaunchOptionsUserActivityTypeKey =
    "UIApplicationLaunchOptionsUserActivityTypeKey";

using BackgroundTaskIdentifier = std::uint64_t;
inline constexpr BackgroundTaskIdentifier kInvalidBackgroundTask = 0;

class Application : public std::enable_shared_from_this<Application> {
 public:
  static constexpr std::size_t kMaxBackgroundTasks = 1024;
  static constexpr std::chrono::milliseconds kDefaultBackgroundTimeAllowance{30000};

  // `mainQueue` defaults to DispatchQueue::main().
  static std::shared_ptr<Application> create(std::shared_ptr<NotificationCenter> center,
                                             std::shared_ptr<DispatchQueue> mainQueue = nullptr);
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  ApplicationState applicationState() const { return state_.load(std::memory_order_acquire); }
  bool isLaunched() const { return launched_.load(std::memory_order_acquire); }
  const std::shared_ptr<NotificationCenter>& notificationCenter() const { return center_; }
  const std::shared_ptr<DispatchQueue>& mainQueue() const { return mainQueue_; }

  // The delegate the app set (never a proxy in front of it).
  std::shared_ptr<ApplicationDelegate> delegate() const;
  void setDelegate(std::shared_ptr<ApplicationDelegate> delegate);
  // Puts a proxy in front of whatever delegate the app sets, now or later: `proxy` gets the
  // app's delegate (maybe null) and returns what receives the OS's calls in its place.
  using DelegateProxy = std::function<std::shared_ptr<ApplicationDelegate>(std::shared_ptr<ApplicationDelegate>)>;
  void setDelegateProxy(DelegateProxy proxy);
  // What the OS's calls reach: the proxy in front of the app's delegate, or that delegate.
  std::shared_ptr<ApplicationDelegate> receivingDelegate() const;

  // Lifecycle, asynchronous on the main queue. finishLaunching happens once (later calls
  // are ignored); the others are ignored before it and after terminate.
  void finishLaunching(Dictionary launchOptions = {});
  void becomeActive();
  void resignActive();
  void enterBackground();
  void enterForeground();
  void terminate();

  // The OS hands the app a URL, a user activity or background-session events: the
  // delegate receives them on the main queue when it implements them. `result`, when
  // given, receives the delegate's answer (NO when it does not implement the call).
  void openURL(Value url, Dictionary options = {}, std::function<void(bool)> result = nullptr);
  void continueUserActivity(std::shared_ptr<UserActivity> activity, std::function<void(bool)> result = nullptr);
  void handleEventsForBackgroundURLSession(std::string identifier, std::function<void()> completionHandler);

  // Background tasks.
  [[nodiscard]] BackgroundTaskIdentifier beginBackgroundTask(std::string_view name,
                                                             std::function<void()> expirationHandler);
  // Ends a running task; an unknown or invalid identifier is ignored (and logged when it
  // is not the invalid one). False when nothing was ended.
  bool endBackgroundTask(BackgroundTaskIdentifier identifier);
  std::size_t runningBackgroundTaskCount() const;
  // Runs every running task's expiry handler on the main queue, then ends what is left.
  void expireBackgroundTasks();
  void setBackgroundTimeAllowance(std::chrono::milliseconds allowance);

 private:
  Application(std::shared_ptr<NotificationCenter> center, std::shared_ptr<DispatchQueue> mainQueue);

  enum class Step { DidBecomeActive, WillResignActive, DidEnterBackground, WillEnterForeground };
  void onMain(std::function<void(Application&)> work);
  void perform(Step step);  // main queue
  void post(std::string_view name, Dictionary userInfo = {});
  void armExpiryTimer();
  void cancelExpiryTimer();

  struct Task {
    std::string name;
    std::function<void()> expirationHandler;
  };

  std::shared_ptr<NotificationCenter> center_;
  std::shared_ptr<DispatchQueue> mainQueue_;
  std::atomic<ApplicationState> state_{ApplicationState::Inactive};
  std::atomic<bool> launched_{false};
  std::atomic<bool> launchRequested_{false};
  std::atomic<bool> terminated_{false};

  mutable std::mutex mutex_;  // guards what follows
  std::shared_ptr<ApplicationDelegate> delegate_;
  DelegateProxy delegateProxy_;
  std::map<BackgroundTaskIdentifier, Task> tasks_;
  BackgroundTaskIdentifier nextTask_ = 1;
  std::chrono::milliseconds allowance_ = kDefaultBackgroundTimeAllowance;
  std::shared_ptr<DispatchQueue::Cancellable> expiryTimer_;
};

}  // namespace platform
