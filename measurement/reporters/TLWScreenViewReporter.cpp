#include "measurement/reporters/TLWScreenViewReporter.h"

#include <algorithm>
#include <cstdio>

#include "measurement/model/TLWDataTypeValidator.h"
#include "measurement/monitor/TLWMonitor.h"
#include "platform/VXLLogger.h"
#include "platform/app/Application.h"
#include "platform/app/Bundle.h"
#include "platform/app/ClassRegistry.h"
#include "platform/app/NotificationCenter.h"
#include "platform/app/VXLSwizzler.h"
#include "platform/app/ViewController.h"

using platform::Dictionary;
using platform::Value;
using platform::ViewController;
using platform::ViewControllerKind;
using platform::Window;

namespace {

constexpr std::string_view kScreenKey = "tlwScreen";
constexpr std::string_view kStackKey = "tlwStack";
constexpr std::string_view kLogService = "<Tallywise>";

std::string messageCode(long code) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "I-ACS%06ld", code);
  return buffer;
}

// Cuts an over-long value to the limit (whole code points); nullopt for anything else
// that is not a valid screen value.
std::optional<std::string> screenValue(TLWMonitor& monitor, const Value& value, std::int64_t code, const char* what) {
  if (const std::string* s = value.string(); s && platform::utf8::codePointCount(*s) > 100) {
    std::string cut = platform::utf8::prefix(*s, 100);
    monitor.logWithLevel(7, code, std::string("Trimmed ") + what + ". Original value, trimmed value", value,
                            Value(cut));
    return cut;
  }
  if (!TLWScreen::isValidScreenValue(value)) return std::nullopt;
  return *value.string();
}

}  // namespace

// ---------------------------------------------------------------------------
// Creation

std::shared_ptr<TLWScreenViewReporter> TLWScreenViewReporter::sharedInstance() {
  static const auto& instance =
      *new std::shared_ptr<TLWScreenViewReporter>(initWithEnvironment(nullptr, true, nullptr));
  return instance;
}

std::shared_ptr<TLWScreenViewReporter> TLWScreenViewReporter::initWithEnvironment(
    std::shared_ptr<platform::Environment> env, bool installHooks, std::shared_ptr<TLWMonitor> monitor) {
  if (!env) env = platform::Environment::current();
  if (!monitor) monitor = TLWMonitor::sharedInstance();
  auto reporter = std::make_shared<TLWScreenViewReporter>(Private{}, env, std::move(monitor));
  reporter->observeLifecycle();
  if (installHooks) (void)installViewControllerHooks(*env, reporter);
  return reporter;
}

TLWScreenViewReporter::TLWScreenViewReporter(Private, std::shared_ptr<platform::Environment> env,
                                             std::shared_ptr<TLWMonitor> monitor)
    : env_(std::move(env)), monitor_(std::move(monitor)), queue_(platform::DispatchQueue::create(kQueueLabel, platform::QueuePriority::Default)) {
  // A random base, so that instance IDs differ between runs; kept away from the top so
  // the counter does not overflow.
  instanceCounter_ = static_cast<std::int64_t>(env_->random()->next64() >> 2);
}

TLWScreenViewReporter::~TLWScreenViewReporter() {
  if (auto center = env_->notificationCenter()) {
    for (auto id : observerIDs_) center->removeObserver(id);
  }
}

void TLWScreenViewReporter::observeLifecycle() {
  auto center = env_->notificationCenter();
  if (!center) return;
  std::weak_ptr<TLWScreenViewReporter> weak = weak_from_this();
  auto observe = [&](std::string_view name, void (TLWScreenViewReporter::*handler)()) {
    observerIDs_.push_back(center->addObserver(name, {}, [weak, handler](const platform::Notification&) {
      if (auto self = weak.lock()) ((*self).*handler)();
    }));
  };
  observe(platform::kWindowDidResignKeyNotification, &TLWScreenViewReporter::handleWindowDidResign);
  observe(platform::kApplicationDidBecomeActiveNotification, &TLWScreenViewReporter::handleApplicationDidBecomeActive);
  observe(platform::kApplicationWillResignActiveNotification, &TLWScreenViewReporter::handleApplicationWillResignActive);
  observe(platform::kApplicationDidEnterBackgroundNotification,
          &TLWScreenViewReporter::handleApplicationDidEnterBackground);
}

bool TLWScreenViewReporter::installViewControllerHooks(platform::Environment& env,
                                                       std::weak_ptr<TLWScreenViewReporter> reporter) {
  if (!automaticScreenReportingEnabled(env)) {
    platform::VXLLogInfo(kLogService, false, messageCode(36001),
                         "Analytics screen reporting is disabled. UIViewController transitions will not be logged.");
    return false;
  }
  auto views = env.viewHierarchy();  // registers the platform's controller classes
  auto registry = views ? views->registry() : env.classRegistry();
  if (!registry) return false;
  if (registry->classExists("TWKADatabase")) {
    platform::VXLLogWarning(kLogService, false, messageCode(36005),
                            "Detected an older version of Vorlix Analytics for Tarnwick framework. Please upgrade to "
                            "the latest version of Vorlix Analytics for Tarnwick.");
    return false;
  }
  const auto cls = platform::kViewControllerClass;
  if (!platform::VXLSwizzler::currentImplementationForClass(*registry, cls, platform::kViewDidAppearSelector, false)) {
    platform::VXLLogWarning(kLogService, false, messageCode(36003),
                            "Failed to get old implementation of -[UIViewController viewDidAppear:]. UIViewController "
                            "transitions will not be logged.");
    return false;
  }
  if (!platform::VXLSwizzler::currentImplementationForClass(*registry, cls, platform::kViewDidDisappearSelector,
                                                            false)) {
    platform::VXLLogWarning(kLogService, false, messageCode(36004),
                            "Failed to get old implementation of -[UIViewController viewDidDisappear:]. "
                            "UIViewController transitions will not be logged.");
    return false;
  }
  auto hook = [reporter](bool appear) {
    return [reporter, appear](const platform::ClassRegistry::ImplementationRef& previous, const Value& receiver,
                              const platform::Array& arguments) {
      Value result;
      if (previous) result = (*previous)(receiver, arguments);
      auto self = reporter.lock();
      auto controller = receiver.objectAs<ViewController>();
      if (self && controller) {
        if (appear) {
          self->viewControllerDidAppear(controller);
        } else {
          self->viewControllerDidDisappear(controller);
        }
      }
      return result;
    };
  };
  return platform::VXLSwizzler::swizzleClass(*registry, cls, platform::kViewDidAppearSelector, false, hook(true)) &&
         platform::VXLSwizzler::swizzleClass(*registry, cls, platform::kViewDidDisappearSelector, false, hook(false));
}

bool TLWScreenViewReporter::automaticScreenReportingEnabled(platform::Environment& env) {
  auto bundle = env.mainBundle();
  if (!bundle) return true;
  for (auto key : {"TarnwickScreenReportingEnabled", "TarnwickAutomaticScreenReportingEnabled"}) {
    auto value = bundle->objectForInfoDictionaryKey(key);
    if (value.isNull()) continue;
    return value.isNumber() ? value.boolValue().value_or(true) : true;
  }
  return true;
}

std::string TLWScreenViewReporter::moduleStrippedClassName(const std::string& className) {
  const auto dot = className.rfind('.');
  if (dot == std::string::npos || dot + 1 == className.size()) return className;
  return className.substr(dot + 1);
}

// ---------------------------------------------------------------------------
// Links

void TLWScreenViewReporter::setEngine(std::weak_ptr<TLWScreenViewEngine> engine) {
  {
    std::lock_guard lock(linksMutex_);
    engine_ = engine;
  }
  std::weak_ptr<TLWScreenViewReporter> weak = weak_from_this();
  queue_->async([weak, engine] {
    auto self = weak.lock();
    auto attached = engine.lock();
    if (self && attached) self->logHeldScreenViews(*attached);
  });
}

void TLWScreenViewReporter::logHeldScreenViews(TLWScreenViewEngine& engine) {
  while (!held_.empty()) {
    HeldScreenView view = std::move(held_.front());
    held_.pop_front();
    engine.logScreenViewEvent(view.origin, view.parameters, view.timestamp);
  }
}

void TLWScreenViewReporter::addScreenViewObserver(std::weak_ptr<TLWScreenViewObserver> observer) {
  std::lock_guard lock(linksMutex_);
  std::erase_if(observers_, [](const auto& weak) { return weak.expired(); });
  observers_.push_back(std::move(observer));
}

std::vector<std::shared_ptr<TLWScreenViewObserver>> TLWScreenViewReporter::observers() const {
  std::vector<std::shared_ptr<TLWScreenViewObserver>> out;
  std::lock_guard lock(linksMutex_);
  for (const auto& weak : observers_) {
    if (auto strong = weak.lock()) out.push_back(std::move(strong));
  }
  return out;
}

std::shared_ptr<TLWSessionReporting> TLWScreenViewReporter::sessionReporterIfAny() const {
  std::shared_ptr<TLWScreenViewEngine> engine;
  {
    std::lock_guard lock(linksMutex_);
    engine = engine_.lock();
  }
  return engine ? engine->sessionReporter() : nullptr;
}

void TLWScreenViewReporter::setTarnwickPerfDelegate(const std::shared_ptr<TLWScreenViewPerfDelegate>& delegate) {
  std::lock_guard lock(linksMutex_);
  if (!delegate) {
    perfDelegate_.reset();
    return;
  }
  if (perfDelegate_.lock()) {
    monitor_->logWithLevel(3, 31016, "Tried to override screen reporter delegate");
    return;
  }
  perfDelegate_ = delegate;
}

std::shared_ptr<TLWScreenViewPerfDelegate> TLWScreenViewReporter::tarnwickPerfDelegate() const {
  std::lock_guard lock(linksMutex_);
  return perfDelegate_.lock();
}

void TLWScreenViewReporter::onQueue(const std::function<void()>& block) {
  if (queue_->isCurrent()) {
    block();
    return;
  }
  if (!queue_->sync(block)) block();  // only refused from inside the queue, handled above
}

// ---------------------------------------------------------------------------
// Windows and controllers

std::shared_ptr<Window> TLWScreenViewReporter::keyWindow() const {
  auto views = env_->viewHierarchy();
  return views ? views->keyWindow() : nullptr;
}

std::shared_ptr<TLWScreenViewReporter::Stack> TLWScreenViewReporter::stackOf(const std::shared_ptr<Window>& window,
                                                                             bool create) const {
  if (!window) return nullptr;
  auto stored = window->associatedValue(kStackKey);
  if (stored.has_value()) {
    if (auto* stack = std::any_cast<std::shared_ptr<Stack>>(&stored)) return *stack;
    monitor_->logWithLevel(4, 38000, "Found unknown associated object", Value(std::string(stored.type().name())));
    window->setAssociatedValue(kStackKey, {});
  }
  if (!create) return nullptr;
  auto stack = std::make_shared<Stack>();
  window->setAssociatedValue(kStackKey, stack);
  return stack;
}

TLWScreenViewReporter::ScreenRef TLWScreenViewReporter::screenOf(const std::shared_ptr<ViewController>& controller) const {
  if (!controller) return nullptr;
  auto stored = controller->associatedValue(kScreenKey);
  if (!stored.has_value()) return nullptr;
  if (auto* screen = std::any_cast<ScreenRef>(&stored)) return *screen;
  monitor_->logWithLevel(4, 36000, "Found unknown associated object", Value(std::string(stored.type().name())));
  controller->setAssociatedValue(kScreenKey, {});
  return nullptr;
}

bool TLWScreenViewReporter::isTrackable(const std::shared_ptr<ViewController>& controller) const {
  if (!controller) return false;
  if (!controller->isFromMainBundle()) {
    if (moduleStrippedClassName(controller->className()).starts_with('_') ||
        moduleStrippedClassName(controller->superclassName()).starts_with('_')) {
      return false;
    }
  }
  auto window = controller->viewWindow();
  return window && window == keyWindow();
}

namespace {
bool shownInWindow(const std::shared_ptr<ViewController>& c) { return c && c->isViewLoaded() && c->viewWindow(); }

void compact(std::vector<std::weak_ptr<ViewController>>& stack) {
  std::erase_if(stack, [](const auto& weak) { return weak.expired(); });
}

// One step down from a controller: a container leads to what it shows; any other
// controller to what it presents, to itself while it is being presented, else nowhere.
std::shared_ptr<ViewController> stepDown(const std::shared_ptr<ViewController>& c) {
  switch (c->kind()) {
    case ViewControllerKind::Navigation:
      return c->visibleViewController();
    case ViewControllerKind::TabBar:
    case ViewControllerKind::Page:
      return c->selectedViewController();
    case ViewControllerKind::Plain:
      break;
  }
  if (auto presented = c->presentedViewController()) return presented;
  return c->isBeingPresented() ? c : nullptr;
}

std::shared_ptr<ViewController> descend(const std::shared_ptr<ViewController>& c) {
  auto reached = stepDown(c);
  for (int depth = 0; reached && reached->kind() != ViewControllerKind::Plain && depth < 64; ++depth) {
    reached = stepDown(reached);
  }
  return reached;
}
}  // namespace

std::shared_ptr<ViewController> TLWScreenViewReporter::chooseCurrent(Stack& stack) const {
  for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
    auto c = it->lock();
    if (!c || !c->isViewLoaded()) continue;
    auto screen = screenOf(c);
    if (screen && screen->isManuallySet && c->viewWindow()) return c;
  }
  for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
    auto c = it->lock();
    if (!shownInWindow(c)) continue;
    if (screenOf(c)) return c;
    if (auto parent = c->parent()) {
      auto siblings = parent->children();
      if (siblings.size() >= 2) {
        const bool someHidden = std::any_of(siblings.begin(), siblings.end(), [&c](const auto& sibling) {
          return sibling != c && !shownInWindow(sibling);
        });
        if (someHidden) {
          c = parent;
          if (screenOf(c)) return c;
        }
      }
    }
    auto reached = descend(c);
    if (shownInWindow(reached)) return reached;
  }
  compact(stack);
  if (!stack.empty()) return stack.front().lock();
  monitor_->logWithLevel(5, 31011, "Root view controller not found");
  return nullptr;
}

void TLWScreenViewReporter::viewControllerDidAppear(const std::shared_ptr<ViewController>& controller) {
  if (!controller) return;
  const bool trackable = isTrackable(controller);
  if (auto window = keyWindow()) {
    auto stack = stackOf(window, true);
    if (window->rootViewController() == controller && !stack->empty() && stack->front().lock() != controller) {
      stack = std::make_shared<Stack>();  // a new root starts over
      window->setAssociatedValue(kStackKey, stack);
    }
    std::erase_if(*stack, [&controller](const auto& weak) { return weak.lock() == controller; });
    if (trackable) stack->push_back(controller);
    compact(*stack);
    auto current = chooseCurrent(*stack);
    if (current && isTrackable(current)) setCurrentViewController(current);
  }
  if (auto delegate = tarnwickPerfDelegate()) delegate->viewControllerDidAppear(controller, trackable);
}

void TLWScreenViewReporter::viewControllerDidDisappear(const std::shared_ptr<ViewController>& controller) {
  if (!controller) return;
  if (auto window = keyWindow()) {
    if (auto stack = stackOf(window, false)) {
      auto it = std::find_if(stack->begin(), stack->end(),
                             [&controller](const auto& weak) { return weak.lock() == controller; });
      if (it != stack->end() && it != stack->begin()) stack->erase(it);  // the root stays
      compact(*stack);
      auto current = chooseCurrent(*stack);
      if (current && isTrackable(current)) setCurrentViewController(current);
    }
  }
  if (auto delegate = tarnwickPerfDelegate()) delegate->viewControllerDidDisappear(controller);
}

void TLWScreenViewReporter::handleWindowDidResign() {
  auto stack = stackOf(keyWindow(), false);
  if (!stack || stack->empty()) return;
  auto current = chooseCurrent(*stack);
  if (current && isTrackable(current)) setCurrentViewController(current);
}

void TLWScreenViewReporter::setCurrentViewController(const std::shared_ptr<ViewController>& controller) {
  if (!controller) {
    monitor_->logWithLevel(3, 31005, "Received nil view controller");
    return;
  }
  std::shared_ptr<TLWScreenViewEngine> engine;
  {
    std::lock_guard lock(linksMutex_);
    engine = engine_.lock();
  }
  const bool engineEnabled = engine && engine->isMeasurementEnabled();
  const bool autoOn = autoReporting();
  onQueue([&] {
    const std::string stripped = moduleStrippedClassName(controller->className());
    if (engineEnabled && currentViewController_.lock() == controller) {
      auto screen = screenOf(controller);
      monitor_->logWithLevel(7, 31006, "View controller already tracked. Class, ID", Value(stripped),
                              Value(static_cast<long long>(screen ? screen->instanceID : 0)));
      return;
    }
    auto defaultClass = screenValue(*monitor_, Value(stripped), 31007, "name of default screen class");
    if (!defaultClass) {
      monitor_->logWithLevel(3, 31008, "Received invalid default screen class", Value(stripped));
      return;
    }
    auto screen = screenOf(controller);
    if (!screen) {
      auto fresh = std::make_shared<TLWScreen>();
      fresh->className = *defaultClass;
      fresh->instanceID = incrementScreenInstanceID();
      screen = fresh;
      controller->setAssociatedValue(kScreenKey, screen);
    }
    currentViewController_ = controller;
    if (screen == currentScreen_) return;
    if (engineEnabled) {
      monitor_->logWithLevel(7, 31010, "Tracking view controller. Class, ID", Value(stripped),
                              Value(static_cast<long long>(screen->instanceID)));
    }
    ScreenRef previous = currentScreen_ ? std::make_shared<const TLWScreen>(currentScreen_->copy()) : nullptr;
    makeCurrent(screen);
    postScreenDidChange(previous, screen);
    if (autoOn) logViewScreenEvent(previous, screen, {});
  });
}

// ---------------------------------------------------------------------------
// Manual screens

void TLWScreenViewReporter::setScreenName(const std::string& screenName, const std::string& screenClass) {
  setScreenNameWithValues(screenName.empty() ? Value() : Value(screenName),
                          screenClass.empty() ? Value() : Value(screenClass));
}

void TLWScreenViewReporter::setScreenNameWithValues(const Value& screenName, const Value& screenClass) {
  if (!autoReporting()) {
    monitor_->logWithLevel(3, 31000, "Ignoring call to setScreenName:screenClass:. Screen reporting is disabled.");
    return;
  }
  std::optional<std::string> name;
  std::optional<std::string> cls;
  if (!screenName.isNull()) {
    name = screenValue(*monitor_, screenName, 31001, "screen name");
    if (!name) {
      monitor_->logWithLevel(3, 31001, "Received invalid screen name", screenName);
      return;
    }
  }
  if (!screenClass.isNull()) {
    cls = screenValue(*monitor_, screenClass, 31002, "screen class");
    if (!cls) {
      monitor_->logWithLevel(3, 31002, "Received invalid screen class", screenClass);
      return;
    }
  }
  auto stack = stackOf(keyWindow(), true);
  onQueue([&] {
    if (stack) compact(*stack);
    auto newest = stack && !stack->empty() ? stack->back().lock() : nullptr;
    if (!newest) {
      monitor_->logWithLevel(3, 31003, "setScreenName:screenClass: must be called after a view controller has appeared");
      return;
    }
    if (!cls) {
      auto stripped = screenValue(*monitor_, Value(moduleStrippedClassName(newest->className())), 31007, "screen class");
      if (stripped) cls = std::move(stripped);
    }
    if (currentScreen_ && currentScreen_->name == name && currentScreen_->className == cls) {
      monitor_->logWithLevel(7, 31004, "Ignoring duplicate screen name and screen class");
      return;
    }
    auto screen = std::make_shared<TLWScreen>();
    screen->name = name;
    screen->className = cls;
    screen->instanceID = incrementScreenInstanceID();
    screen->isManuallySet = true;
    newest->setAssociatedValue(kScreenKey, ScreenRef(screen));
    currentViewController_ = newest;
    monitor_->logWithLevel(7, 31009, "Set screen name and screen class", Value(name.value_or("")),
                            Value(cls.value_or("")));
    ScreenRef previous = currentScreen_;
    makeCurrent(screen);
    postScreenDidChange(previous, currentScreen_);
    logViewScreenEvent(previous, currentScreen_, {});
  });
}

void TLWScreenViewReporter::trackScreenWithParameters(const Dictionary& parameters, double timestamp) {
  if (!isAppActive_.load() && appHasBeenInitialized_.load()) {
    monitor_->logWithLevel(3, 31026, "Cannot log screen view event when the app is not active");
    return;
  }
  std::optional<std::string> name;
  std::optional<std::string> cls;
  if (const Value* v = parameters.find("screen_name"); v && !v->isNull()) {
    name = screenValue(*monitor_, *v, 31027, "screen name");
    if (!name) {
      monitor_->logWithLevel(3, 31027, "Received invalid name for screen", *v);
      return;
    }
  }
  if (const Value* v = parameters.find("screen_class"); v && !v->isNull()) {
    cls = screenValue(*monitor_, *v, 31028, "screen class");
    if (!cls) {
      monitor_->logWithLevel(3, 31028, "Received invalid class for screen", *v);
      return;
    }
  }
  if (!cls) {
    if (platform::MainRunLoop::isMainThread()) {
      if (auto window = keyWindow()) {
        if (auto root = window->rootViewController()) {
          cls = screenValue(*monitor_, Value(moduleStrippedClassName(root->className())), 31028, "screen class");
        }
      }
    } else if (autoReporting()) {
      onQueue([&] {
        if (currentScreen_) cls = currentScreen_->className;
      });
    }
  }
  auto screen = std::make_shared<TLWScreen>();
  screen->name = name;
  screen->className = cls;
  screen->instanceID = incrementScreenInstanceID();
  screen->isManuallyTracked = true;
  screen->eventTimestamp = timestamp;
  monitor_->logWithLevel(7, 31029, "Logging screen view with screen name and screen class", Value(name.value_or("")),
                          Value(cls.value_or("")));
  ScreenRef old;
  ScreenRef fresh = screen;
  onQueue([&] {
    old = currentScreen_;
    makeCurrent(fresh);
  });
  Dictionary rest;
  for (const auto& [key, value] : TLWParametersToDictionary(
           TLWDataTypeValidator::sanitizeParameters(parameters, "screen_view", true, false))) {
    const std::string* k = key.string();
    if (k && (*k == "screen_name" || *k == "screen_class")) continue;
    rest.set(key, value);
  }
  std::weak_ptr<TLWScreenViewReporter> weak = weak_from_this();
  queue_->async([weak, old, fresh, rest = std::move(rest)]() mutable {
    auto self = weak.lock();
    if (!self) return;
    self->postScreenDidChange(old, fresh);
    self->logViewScreenEvent(old, fresh, std::move(rest));
  });
}

void TLWScreenViewReporter::getScreenName(std::optional<std::string>* name, std::optional<std::string>* screenClass) {
  onQueue([&] {
    if (name) *name = currentScreen_ ? currentScreen_->name : std::nullopt;
    if (screenClass) *screenClass = currentScreen_ ? currentScreen_->className : std::nullopt;
  });
}

std::optional<TLWScreen> TLWScreenViewReporter::currentScreen() {
  std::optional<TLWScreen> out;
  onQueue([&] {
    if (currentScreen_) out = *currentScreen_;
  });
  return out;
}

std::optional<TLWScreen> TLWScreenViewReporter::lastLoggedScreen() {
  std::optional<TLWScreen> out;
  onQueue([&] {
    if (previousScreen_) out = *previousScreen_;
  });
  return out;
}

// ---------------------------------------------------------------------------
// Screen changes and screen views (queue)

void TLWScreenViewReporter::postScreenDidChange(const ScreenRef& previous, const ScreenRef& screen) {
  if (!isAppActive_.load() || !screen) return;
  std::optional<TLWScreen> before;
  if (previous) before = *previous;
  if (before) {
    if (auto session = sessionReporterIfAny()) session->handleScreenDidChangeFromScreen(before, *screen);
  }
  for (const auto& observer : observers()) observer->handleScreenDidChangeFromScreen(before, *screen);
}

void TLWScreenViewReporter::logViewScreenEvent(const ScreenRef& previous, const ScreenRef& screen,
                                               Dictionary parameters) {
  if (!screen) return;
  if (!isAppActive_.load() && appHasBeenInitialized_.load()) {
    monitor_->logWithLevel(7, 31013, "Screen view event not logged. App is not active.");
    return;
  }
  parameters.set("_si", static_cast<long long>(screen->instanceID));
  bool classOK = true;
  if (screen->className) {
    std::int64_t failure = 0;
    if (screen->className->empty()) {
      monitor_->logWithLevel(3, 31014, "Screen class name is empty");
      classOK = false;
    } else if (!TLWScreen::isValidScreenValue(Value(*screen->className), &failure)) {
      monitor_->logWithLevel(3, 31015, "Screen class name is invalid. Error code", Value(static_cast<long long>(failure)));
      classOK = false;
    } else {
      parameters.set("_sc", *screen->className);
    }
  }
  if (classOK && screen->name && TLWScreen::isValidScreenValue(Value(*screen->name))) {
    parameters.set("_sn", *screen->name);
  }
  std::shared_ptr<TLWScreenViewEngine> engine;
  {
    std::lock_guard lock(linksMutex_);
    engine = engine_.lock();
  }
  if (previous) {
    previous->addParameters(parameters, true);
    if (engine && engine->efficientEngagementReportingEnabled()) {
      if (auto session = engine->sessionReporter()) {
        const std::int64_t et = session->cutFreerideEngagementTimeMillis();
        if (et >= 1) parameters.set("_et", static_cast<long long>(et));
      }
    }
  }
  if (!autoReporting()) parameters.set("_mst", 1);
  previousScreen_ = screen;
  const std::string origin = screen->isManuallyTracked ? "app" : "auto";
  if (!engine) {
    // Logged in order once the engine is attached, with the time it was seen.
    if (held_.size() >= kMaxHeldScreenViews) {
      monitor_->logWithLevel(4, 31030, "Too many screen views before start. Dropping the oldest. Limit",
                             Value(static_cast<long long>(kMaxHeldScreenViews)));
      held_.pop_front();
    }
    held_.push_back({origin, std::move(parameters),
                     screen->isManuallyTracked ? screen->eventTimestamp : env_->clock()->now()});
    return;
  }
  logHeldScreenViews(*engine);
  engine->logScreenViewEvent(origin, parameters,
                             screen->isManuallyTracked ? std::optional<double>(screen->eventTimestamp) : std::nullopt);
}

// ---------------------------------------------------------------------------
// Lifecycle (main thread)

void TLWScreenViewReporter::handleApplicationDidBecomeActive() {
  isAppActive_.store(true);
  appHasBeenInitialized_.store(true);
  if (auto session = sessionReporterIfAny()) session->handleAppDidBecomeActive();
  for (const auto& observer : observers()) observer->handleAppDidBecomeActive();
  std::weak_ptr<TLWScreenViewReporter> weak = weak_from_this();
  const bool autoOn = autoReporting();
  queue_->async([weak, autoOn] {
    auto self = weak.lock();
    if (!self || !autoOn || self->currentScreen_ == self->previousScreen_) return;
    self->logViewScreenEvent(self->previousScreen_, self->currentScreen_, {});
  });
}

void TLWScreenViewReporter::handleApplicationWillResignActive() {
  std::optional<TLWScreen> screen;
  if (autoReporting() && isAppActive_.load() && allowScreenParameters_.load()) screen = currentScreen();
  if (auto session = sessionReporterIfAny()) session->handleAppWillResignActiveWithScreen(screen);
  for (const auto& observer : observers()) observer->handleAppWillResignActiveWithScreen(screen);
}

void TLWScreenViewReporter::handleApplicationDidEnterBackground() { isAppActive_.store(false); }

void TLWScreenViewReporter::makeCurrent(ScreenRef screen) {
  std::shared_ptr<const Dictionary> parameters;
  if (screen) {
    Dictionary built;
    built.set("_si", static_cast<long long>(screen->instanceID));
    if (screen->className && !screen->className->empty()) built.set("_sc", *screen->className);
    if (screen->name && !screen->name->empty()) built.set("_sn", *screen->name);
    parameters = std::make_shared<const Dictionary>(std::move(built));
  }
  currentScreen_ = std::move(screen);
  std::lock_guard lock(parametersMutex_);
  currentParameters_ = std::move(parameters);
}

Dictionary TLWScreenViewReporter::screenParameters() {
  const bool activeEnough = isAppActive_.load() || !appHasBeenInitialized_.load();
  if (!activeEnough || !allowScreenParameters_.load()) return {};
  // Every event asks: a snapshot kept with the current screen instead of a hop onto the queue.
  std::shared_ptr<const Dictionary> parameters;
  {
    std::lock_guard lock(parametersMutex_);
    parameters = currentParameters_;
  }
  return parameters ? *parameters : Dictionary();
}
