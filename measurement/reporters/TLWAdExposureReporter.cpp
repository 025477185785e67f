#include "measurement/reporters/TLWAdExposureReporter.h"

#include <cmath>

#include "measurement/monitor/TLWMonitor.h"
#include "measurement/reporters/TLWScreen.h"
#include "measurement/reporters/TLWScreenViewReporting.h"
#include "platform/Environment.h"
#include "platform/app/Application.h"
#include "platform/app/NotificationCenter.h"

std::shared_ptr<TLWAdExposureReporter> TLWAdExposureReporter::sharedInstance() {
  // Never destroyed: library threads may still use it while the process exits.
  static const auto& instance = *new auto([] {
    auto env = platform::Environment::current();
    auto reporter = create({env->clock(), env->notificationCenter(), nullptr, nullptr, nullptr});
    TLWScreenViewReporting::sharedInstance()->addScreenViewObserver(reporter);
    return reporter;
  }());
  return instance;
}

std::shared_ptr<TLWAdExposureReporter> TLWAdExposureReporter::create(Dependencies dependencies) {
  auto reporter = std::make_shared<TLWAdExposureReporter>(Private{}, std::move(dependencies));
  reporter->observe();
  return reporter;
}

TLWAdExposureReporter::TLWAdExposureReporter(Private, Dependencies dependencies)
    : deps_(std::move(dependencies)),
      queue_(platform::DispatchQueue::create(kTLWAdExposureReporterQueueLabel, platform::QueuePriority::Default)) {
  if (!deps_.clock) deps_.clock = platform::Environment::current()->clock();
  if (!deps_.monitor) deps_.monitor = TLWMonitor::sharedInstance();
}

TLWAdExposureReporter::~TLWAdExposureReporter() {
  if (deps_.notificationCenter) {
    for (auto id : observers_) deps_.notificationCenter->removeObserver(id);
  }
}

void TLWAdExposureReporter::observe() {
  auto center = deps_.notificationCenter;
  if (!center) return;
  std::weak_ptr<TLWAdExposureReporter> weak = weak_from_this();
  observers_.push_back(center->addObserver(kTLWSessionReporterEngagementTimerDidFireNotification, {},
                                           [weak](const platform::Notification&) {
                                             if (auto self = weak.lock()) self->handleEngagementTimer();
                                           }));
  observers_.push_back(center->addObserver(platform::kApplicationDidBecomeActiveNotification, {},
                                           [weak](const platform::Notification&) {
                                             if (auto self = weak.lock()) self->handleAppDidBecomeActive();
                                           }));
  observers_.push_back(center->addObserver(platform::kApplicationWillResignActiveNotification, {},
                                           [weak](const platform::Notification&) {
                                             if (auto self = weak.lock()) self->handleAppWillResignActiveWithScreen(platform::Dictionary());
                                           }));
}

namespace {
std::mutex gDefaultLoggerMutex;
TLWAdExposureReporter::EventLogger& defaultLogger() {
  static TLWAdExposureReporter::EventLogger& logger = *new TLWAdExposureReporter::EventLogger();
  return logger;
}
}  // namespace

void TLWAdExposureReporter::setEventLogger(EventLogger logger) {
  std::lock_guard lock(loggerMutex_);
  deps_.logEvent = std::move(logger);
}

void TLWAdExposureReporter::setDefaultEventLogger(EventLogger logger) {
  std::lock_guard lock(gDefaultLoggerMutex);
  defaultLogger() = std::move(logger);
}

void TLWAdExposureReporter::logEvent(const std::string& name, const platform::Dictionary& parameters) {
  EventLogger logger;
  {
    std::lock_guard lock(loggerMutex_);
    logger = deps_.logEvent;
  }
  if (!logger) {
    std::lock_guard lock(gDefaultLoggerMutex);
    logger = defaultLogger();
  }
  if (logger) logger("qd", name, parameters);
}

std::shared_ptr<TLWScreenViewReporting> TLWAdExposureReporter::screens() const {
  return deps_.screenViewReporter ? deps_.screenViewReporter() : TLWScreenViewReporting::sharedInstance();
}

void TLWAdExposureReporter::log(std::int64_t level, std::int64_t code, std::string_view message,
                                const platform::Value& context) const {
  if (context.isNull()) {
    deps_.monitor->logWithLevel(level, code, message);
  } else {
    deps_.monitor->logWithLevel(level, code, message, context);
  }
}

bool TLWAdExposureReporter::isReportingEnabled() const { return reportingEnabled_.load(); }
void TLWAdExposureReporter::setReportingEnabled(bool enabled) { reportingEnabled_.store(enabled); }

double TLWAdExposureReporter::currentTime() const {
  const double sinceBoot = deps_.clock->secondsSinceBoot();
  if (!std::isfinite(sinceBoot) || sinceBoot < 0) return -1;
  return std::round(sinceBoot * 1e6) / 1e6;
}

void TLWAdExposureReporter::sync(const std::function<void()>& block) {
  // Only refused from the reporter's own queue, which callers must not be on.
  if (!queue_->sync(block)) log(2, 1012, "Ad exposure call made on the reporter's own queue. Ignored");
}

// ---------------------------------------------------------------------------
// Begin and end

void TLWAdExposureReporter::beginAdUnitExposure(const std::string& adUnitID) {
  if (adUnitID.empty()) {
    log(5, 1000, "Ignoring call to begin ad unit exposure. Received empty ad unit ID");
    return;
  }
  const double begin = currentTime();
  std::weak_ptr<TLWAdExposureReporter> weak = weak_from_this();
  queue_->async([weak, adUnitID, begin] {
    auto self = weak.lock();
    if (!self) return;
    if (self->adUnitCounts_.size() >= kTLWMaxTrackedAdUnits) {
      self->log(5, 1002, "Reached limit on ad units. Ignoring ad unit with ID", platform::Value(adUnitID));
      return;
    }
    if (self->adUnitCounts_.empty()) self->adExposureStartTime_ = begin;
    if (!self->adUnitStartTimes_.contains(adUnitID)) self->adUnitStartTimes_[adUnitID] = begin;
    ++self->adUnitCounts_[adUnitID];
  });
}

void TLWAdExposureReporter::endAdUnitExposure(const std::string& adUnitID) {
  if (adUnitID.empty()) {
    log(5, 1003, "Ignoring call to end ad unit exposure. Received empty ad unit ID");
    return;
  }
  const double end = currentTime();
  const platform::Dictionary screenParameters = screens()->screenParameters();
  sync([&] {
    auto count = adUnitCounts_.find(adUnitID);
    if (count == adUnitCounts_.end()) {
      log(5, 1004, "Unknown ad unit. Ignoring ad unit with ID", platform::Value(adUnitID));
      return;
    }
    if (count->second >= 2) {
      --count->second;
      return;
    }
    logAdUnitExposureEventOnSerialQueueWithID(adUnitID, end, screenParameters);
    adUnitCounts_.erase(count);
    adUnitStartTimes_.erase(adUnitID);
    if (adUnitCounts_.empty()) {
      logAdExposureEventOnSerialQueueWithEndTime(end, screenParameters);
      adExposureStartTime_ = end;
    }
  });
}

// ---------------------------------------------------------------------------
// Logging (reporter queue)

void TLWAdExposureReporter::logAdUnitExposureEventOnSerialQueueWithID(const std::string& adUnitID, double endTime,
                                                                      const platform::Dictionary& screenParameters) {
  if (!isReportingEnabled()) {
    log(5, 1007, "Ad unit exposure not logged. Reporting is disabled.");
    return;
  }
  if (adUnitID.empty()) {
    log(5, 1008, "Ad unit exposure not logged. Received empty ad unit ID");
    return;
  }
  if (!screens()->isAppActive()) {
    log(8, 1011, "Ad unit exposure not logged. App is not active.");
    return;
  }
  const auto start = adUnitStartTimes_.find(adUnitID);
  const double startTime = start == adUnitStartTimes_.end() ? endTime : start->second;
  const auto duration = static_cast<std::int64_t>((endTime - startTime) * 1000);
  if (duration < 1000) {
    log(8, 1009, "Ad unit exposure not logged. Exposure time was less than 1 sec");
    return;
  }
  platform::Dictionary parameters = screenParameters;
  parameters.set("_ai", adUnitID);
  parameters.set("_xt", duration);
  logEvent("_xu", parameters);
}

void TLWAdExposureReporter::logAdExposureEventOnSerialQueueWithEndTime(double endTime,
                                                                       const platform::Dictionary& screenParameters) {
  if (!isReportingEnabled()) {
    log(5, 1005, "Ad exposure not logged. Reporting is disabled.");
    return;
  }
  if (!screens()->isAppActive()) {
    log(8, 1010, "Ad exposure not logged. App is not active.");
    return;
  }
  const auto duration = static_cast<std::int64_t>((endTime - adExposureStartTime_) * 1000);
  if (duration < 1000) {
    log(8, 1006, "Ad exposure not logged. Exposure time was less than 1 sec");
    return;
  }
  platform::Dictionary parameters = screenParameters;
  parameters.set("_xt", duration);
  logEvent("_xa", parameters);
}

void TLWAdExposureReporter::logExposureEventsOnSerialQueueWithEndTime(double endTime,
                                                                      const platform::Dictionary& screenParameters) {
  for (const auto& [adUnitID, count] : adUnitCounts_) {
    logAdUnitExposureEventOnSerialQueueWithID(adUnitID, endTime, screenParameters);
  }
  if (!adUnitCounts_.empty()) logAdExposureEventOnSerialQueueWithEndTime(endTime, screenParameters);
  updateStartTimesOnSerialQueue(endTime);
}

void TLWAdExposureReporter::updateStartTimesOnSerialQueue(double time) {
  for (auto& [adUnitID, start] : adUnitStartTimes_) start = time;
  adExposureStartTime_ = time;
}

// ---------------------------------------------------------------------------
// Flushes and lifecycle

void TLWAdExposureReporter::logExposureEventsWithScreenParameters(const platform::Dictionary& screenParameters) {
  const double end = currentTime();
  sync([&] { logExposureEventsOnSerialQueueWithEndTime(end, screenParameters); });
}

void TLWAdExposureReporter::handleScreenDidChange(const std::optional<platform::Dictionary>& toScreenParameters) {
  if (!toScreenParameters) return;
  logExposureEventsWithScreenParameters(*toScreenParameters);
}

void TLWAdExposureReporter::handleScreenDidChangeFromScreen(const std::optional<TLWScreen>& /*previous*/,
                                                            const TLWScreen& screen) {
  platform::Dictionary parameters;
  screen.addParameters(parameters);
  handleScreenDidChange(parameters);
}

void TLWAdExposureReporter::handleEngagementTimer() {
  logExposureEventsWithScreenParameters(screens()->screenParameters());
}

void TLWAdExposureReporter::handleAppDidBecomeActive() {
  const double now = currentTime();
  sync([&] { updateStartTimesOnSerialQueue(now); });
}

void TLWAdExposureReporter::handleAppWillResignActiveWithScreen(const platform::Dictionary& screenParameters) {
  logExposureEventsWithScreenParameters(screenParameters.empty() ? screens()->screenParameters() : screenParameters);
}

void TLWAdExposureReporter::handleAppWillResignActiveWithScreen(const std::optional<TLWScreen>& screen) {
  platform::Dictionary parameters;
  if (screen) screen->addParameters(parameters);
  handleAppWillResignActiveWithScreen(parameters);
}
