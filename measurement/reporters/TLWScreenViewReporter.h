#pragma once
// TLWScreenViewReporter: keeps track of the screen the user is looking at, logs "_vs"
// whenever it changes (with the previous screen's "_pi", "_pc", "_pn" and, in the
// efficient engagement mode, the engagement handed over by the session reporter), gives
// every other event the current screen's parameters, and forwards screen changes and the
// application's lifecycle to the engine's session reporter and to registered observers.
// Screens come from automatic view-controller tracking (the platform's viewDidAppear: /
// viewDidDisappear: are replaced through the class registry), from setScreenName, and from
// the app's own "screen_view" events.
//
// Thread-safety: any thread. The screen fields are touched only inside blocks on the
// serial queue "TLWScreenViewReporter"; view-controller callbacks, lifecycle notifications
// and setScreenName belong on the main thread; isAppActive and the initialised flag are
// atomics. Refusals are logged and leave the current screen unchanged.
//
// Ownership: sharedInstance is process-wide, over the current environment; tests make
// their own with initWithEnvironment. Controllers are held weakly (the window's stack
// and the current controller), screens strongly by the controllers that carry them. The
// engine, observers and the performance delegate are held weakly.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/reporters/TLWScreenViewReporting.h"
#include "platform/DispatchQueue.h"
#include "platform/Environment.h"

class TLWMonitor;

namespace platform {
class ViewController;
class Window;
}  // namespace platform

// A sibling performance component that watches controller appearances.
class TLWScreenViewPerfDelegate {
 public:
  virtual ~TLWScreenViewPerfDelegate() = default;
  virtual void viewControllerDidAppear(const std::shared_ptr<platform::ViewController>& controller,
                                       bool trackedByAnalytics) = 0;
  virtual void viewControllerDidDisappear(const std::shared_ptr<platform::ViewController>& controller) = 0;
};

class TLWScreenViewReporter : public TLWScreenViewReporting, public std::enable_shared_from_this<TLWScreenViewReporter> {
  struct Private {};

 public:
  static constexpr const char* kQueueLabel = "TLWScreenViewReporter";
  static constexpr std::size_t kMaxScreenValueLength = 100;
  static constexpr std::size_t kMaxHeldScreenViews = 100;

  // Created once over Environment::current(), with the lifecycle observers and the
  // view-controller hooks installed.
  static std::shared_ptr<TLWScreenViewReporter> sharedInstance();
  // A reporter over `env` (null: the current one), observing its notification centre and,
  // when `installHooks`, replacing the appearance methods in its class registry.
  // `monitor` null: the shared one.
  static std::shared_ptr<TLWScreenViewReporter> initWithEnvironment(std::shared_ptr<platform::Environment> env,
                                                                    bool installHooks = true,
                                                                    std::shared_ptr<TLWMonitor> monitor = nullptr);
  TLWScreenViewReporter(Private, std::shared_ptr<platform::Environment> env, std::shared_ptr<TLWMonitor> monitor);
  ~TLWScreenViewReporter() override;

  // TLWScreenViewReporting
  bool isAppActive() override { return isAppActive_.load(); }
  platform::Dictionary screenParameters() override;
  void trackScreenWithParameters(const platform::Dictionary& parameters, double timestamp) override;
  void setScreenName(const std::string& screenName, const std::string& screenClass) override;
  void setScreenNameWithValues(const platform::Value& screenName, const platform::Value& screenClass) override;
  void getScreenName(std::optional<std::string>* name, std::optional<std::string>* screenClass) override;
  void setEngine(std::weak_ptr<TLWScreenViewEngine> engine) override;
  void addScreenViewObserver(std::weak_ptr<TLWScreenViewObserver> observer) override;

  // The replaced appearance methods and window changes (main thread).
  void viewControllerDidAppear(const std::shared_ptr<platform::ViewController>& controller);
  void viewControllerDidDisappear(const std::shared_ptr<platform::ViewController>& controller);
  void setCurrentViewController(const std::shared_ptr<platform::ViewController>& controller);
  void handleWindowDidResign();
  void handleApplicationDidBecomeActive();
  void handleApplicationWillResignActive();
  void handleApplicationDidEnterBackground();

  // A second delegate while one is set is refused (31016); null clears.
  void setTarnwickPerfDelegate(const std::shared_ptr<TLWScreenViewPerfDelegate>& delegate);
  std::shared_ptr<TLWScreenViewPerfDelegate> tarnwickPerfDelegate() const;

  // Copies of the current and the last logged screen (tests, other reporters).
  std::optional<TLWScreen> currentScreen();
  std::optional<TLWScreen> lastLoggedScreen();

  // Replaces the platform view controller's appearance methods so that they report to
  // `reporter`. False (and logged) when automatic screen reporting is off, an old
  // library is present, or an original implementation is missing.
  static bool installViewControllerHooks(platform::Environment& env, std::weak_ptr<TLWScreenViewReporter> reporter);
  // "TarnwickScreenReportingEnabled", else "TarnwickAutomaticScreenReportingEnabled", of the
  // Info.plist: a number gives its boolean value; anything else means on.
  static bool automaticScreenReportingEnabled(platform::Environment& env);
  // "App.HomeViewController" -> "HomeViewController".
  static std::string moduleStrippedClassName(const std::string& className);

 private:
  using Stack = std::vector<std::weak_ptr<platform::ViewController>>;
  using ScreenRef = std::shared_ptr<const TLWScreen>;

  void observeLifecycle();
  bool autoReporting() const { return automaticScreenReportingEnabled(*env_); }
  std::shared_ptr<platform::Window> keyWindow() const;
  std::shared_ptr<Stack> stackOf(const std::shared_ptr<platform::Window>& window, bool create) const;
  ScreenRef screenOf(const std::shared_ptr<platform::ViewController>& controller) const;
  bool isTrackable(const std::shared_ptr<platform::ViewController>& controller) const;
  std::shared_ptr<platform::ViewController> chooseCurrent(Stack& stack) const;
  std::int64_t incrementScreenInstanceID() { return instanceCounter_.fetch_add(1) + 1; }
  // Queue only.
  void makeCurrent(ScreenRef screen);
  void postScreenDidChange(const ScreenRef& previous, const ScreenRef& screen);
  void logViewScreenEvent(const ScreenRef& previous, const ScreenRef& screen, platform::Dictionary parameters);
  // Logs the screen views held while no engine was attached, oldest first.
  void logHeldScreenViews(TLWScreenViewEngine& engine);
  std::shared_ptr<TLWSessionReporting> sessionReporterIfAny() const;
  std::vector<std::shared_ptr<TLWScreenViewObserver>> observers() const;
  // Runs `block` holding the queue (at once when already on it).
  void onQueue(const std::function<void()>& block);

  const std::shared_ptr<platform::Environment> env_;
  const std::shared_ptr<TLWMonitor> monitor_;
  const std::shared_ptr<platform::DispatchQueue> queue_;
  std::atomic<bool> isAppActive_{false};
  std::atomic<bool> appHasBeenInitialized_{false};
  std::atomic<bool> allowScreenParameters_{true};
  std::atomic<std::int64_t> instanceCounter_{0};
  std::vector<std::uint64_t> observerIDs_;

  mutable std::mutex linksMutex_;  // engine, observers, delegate
  std::weak_ptr<TLWScreenViewEngine> engine_;
  std::vector<std::weak_ptr<TLWScreenViewObserver>> observers_;
  std::weak_ptr<TLWScreenViewPerfDelegate> perfDelegate_;

  // The current screen's parameters, rebuilt with it (any thread).
  mutable std::mutex parametersMutex_;
  std::shared_ptr<const platform::Dictionary> currentParameters_;

  // Queue only.
  std::weak_ptr<platform::ViewController> currentViewController_;
  ScreenRef currentScreen_;
  ScreenRef previousScreen_;
  // Screen views logged before an engine was attached (the first screen of a launch, an
  // app's "screen_view" right after start, screens before a deferred start), at most
  // kMaxHeldScreenViews, the oldest dropped first (logged).
  struct HeldScreenView {
    std::string origin;
    platform::Dictionary parameters;
    double timestamp;
  };
  std::deque<HeldScreenView> held_;
};
