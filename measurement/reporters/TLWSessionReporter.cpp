#include "measurement/reporters/TLWSessionReporter.h"

#include <cmath>

#include "measurement/config/TLWRemoteConfig.h"
#include "measurement/model/TLWEvent.h"
#include "measurement/model/TLWUserAttribute.h"
#include "measurement/model/TLWValue.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "platform/app/NotificationCenter.h"

using platform::Dictionary;
using platform::Value;

namespace {
long long millis(double seconds) { return static_cast<long long>(std::trunc(seconds * 1000.0)); }
}  // namespace

std::shared_ptr<TLWSessionReporter> TLWSessionReporter::initWithPersistedConfig(
    std::shared_ptr<TLWPersistedConfig> persistedConfig, std::weak_ptr<TLWSessionReporterHost> host,
    std::shared_ptr<platform::Environment> env, std::shared_ptr<platform::DispatchQueue> timerQueue,
    std::shared_ptr<TLWMonitor> monitor) {
  if (!persistedConfig) return nullptr;
  if (!monitor) monitor = TLWMonitor::sharedInstance();
  if (!env) env = platform::Environment::current();
  if (!timerQueue) timerQueue = platform::DispatchQueue::main();
  return std::make_shared<TLWSessionReporter>(Private{}, std::move(persistedConfig), std::move(host), std::move(env),
                                              std::move(timerQueue), std::move(monitor));
}

TLWSessionReporter::TLWSessionReporter(Private, std::shared_ptr<TLWPersistedConfig> persistedConfig,
                                       std::weak_ptr<TLWSessionReporterHost> host,
                                       std::shared_ptr<platform::Environment> env,
                                       std::shared_ptr<platform::DispatchQueue> timerQueue,
                                       std::shared_ptr<TLWMonitor> monitor)
    : persistedConfig_(std::move(persistedConfig)),
      host_(std::move(host)),
      env_(std::move(env)),
      monitor_(std::move(monitor)) {
  if (auto h = host_.lock()) {
    if (auto config = h->remoteConfig()) timeout_.store(config->sessionDefaultTimeoutInterval());
  }
  const double now = currentUptime();
  engagementStartUptime_.store(now);
  freerideEngagementStartUptime_.store(now);
  timer_ = TLWAlarm::initWithDispatchQueue(std::move(timerQueue), "Engagement timer", env_->clock());
}

// ---------------------------------------------------------------------------
// Settings and sources

bool TLWSessionReporter::isAppActive() {
  auto h = host_.lock();
  return h && h->isAppActive();
}

void TLWSessionReporter::logEvent(const std::string& name, const Dictionary& parameters) {
  if (auto h = host_.lock()) h->logInternalEvent(name, parameters);
}

bool TLWSessionReporter::efficientMode() {
  auto h = host_.lock();
  auto config = h ? h->remoteConfig() : nullptr;
  return config && config->efficientEngagementReportingEnabled();
}

bool TLWSessionReporter::redundantRemoval() {
  auto h = host_.lock();
  auto config = h ? h->remoteConfig() : nullptr;
  return config && config->redundantEngagementRemovalEnabled();
}

bool TLWSessionReporter::backgroundedTracking() {
  auto h = host_.lock();
  auto config = h ? h->remoteConfig() : nullptr;
  return !config || config->intValueFromCacheWithKey(tlw_remote_config_keys::kAppBackgroundedTracking, 1, 1, 0) != 0;
}

double TLWSessionReporter::currentUptime() {
  auto clock = env_->clock();
  const double boot = clock->bootTime();
  if (!std::isfinite(boot) || boot <= 0) return -1.0;
  return clock->now() - boot;
}

double TLWSessionReporter::currentClockTime() { return env_->clock()->now(); }

double TLWSessionReporter::incurredEngagementTime() {
  const double start = efficientMode() ? freerideEngagementStartUptime_.load() : engagementStartUptime_.load();
  const double incurred = currentUptime() - start;
  if (incurred < 0 || std::isnan(incurred)) {
    monitor_->logWithLevel(4, 33004, "Incurred engagement time is negative. Setting to 0.0 instead");
    return 0;
  }
  return incurred;
}

// ---------------------------------------------------------------------------
// Sessions

void TLWSessionReporter::setReportingEnabled(bool enabled) {
  reportingEnabled_.store(enabled);
  if (enabled) {
    if (isAppActive() && !timer_->hasActiveTimer()) rescheduleUserEngagementTimer();
  } else {
    timer_->cancel();
  }
}

void TLWSessionReporter::setTimeoutSessionInterval(double seconds) {
  if (std::isnan(seconds)) {
    monitor_->logWithLevel(3, 33002, "Received a session timeout that is not a number. Keeping the current timeout",
                            Value(timeout_.load()));
    return;
  }
  if (seconds < 0) {
    monitor_->logWithLevel(3, 33001, "Received negative timeout session duration. Keeping the current timeout",
                            Value(seconds), Value(timeout_.load()));
    return;
  }
  if (seconds > kMaxTimeoutSeconds) {
    monitor_->logWithLevel(3, 33003,
                            "Received a session timeout longer than a year. Keeping the current timeout. Timeout, "
                            "current timeout",
                            Value(seconds), Value(timeout_.load()));
    return;
  }
  timeout_.store(seconds);
}

bool TLWSessionReporter::isSessionExpired() {
  const double last = persistedConfig_->lastSessionActivityClockTime();
  return std::fabs(currentClockTime() - last) > timeout_.load();
}

bool TLWSessionReporter::shouldStartNewSession() { return isAppActive() && isSessionExpired(); }

bool TLWSessionReporter::extendSession() {
  if (isSessionExpired()) return false;
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
  return true;
}

void TLWSessionReporter::updatePropertiesForNewSessionStart() {
  persistedConfig_->setSessionNumber(persistedConfig_->sessionNumber() + 1);
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
}

std::shared_ptr<TLWUserAttribute> TLWSessionReporter::sessionIDPropertyWithTimestamp(double timestamp) {
  return TLWUserAttribute::initWithOrigin("auto", "_sid",
                                          TLWValue::initWithInt64(static_cast<std::int64_t>(std::trunc(timestamp))),
                                          timestamp);
}

std::shared_ptr<TLWUserAttribute> TLWSessionReporter::sessionNumberProperty() {
  return TLWUserAttribute::initWithOrigin("auto", "_sno", TLWValue::initWithInt64(persistedConfig_->sessionNumber()),
                                          currentClockTime());
}

std::shared_ptr<TLWEvent> TLWSessionReporter::sessionStartEventWithSessionNumber(std::int64_t sessionNumber,
                                                                                bool appInBackground,
                                                                                double timestamp) {
  Dictionary parameters{{"_sid", static_cast<long long>(std::trunc(timestamp))},
                        {"_sno", static_cast<long long>(sessionNumber)}};
  if (appInBackground) parameters.set("_aib", 1);
  return TLWEvent::initWithOrigin("auto", false, "_s", timestamp, 0, parameters);
}

void TLWSessionReporter::setSessionID(std::optional<std::int64_t> sessionID, std::optional<std::int64_t> sessionNumber) {
  if (auto h = host_.lock()) h->setSessionUserProperties(sessionID, sessionNumber);
}

void TLWSessionReporter::logSessionStartEvent() {
  if (!isAppActive()) {
    monitor_->logWithLevel(7, 33005, "Session start event not logged. Application is not active");
    return;
  }
  if (!reportingEnabled_.load()) return;
  updatePropertiesForNewSessionStart();
  const auto sessionID = static_cast<std::int64_t>(std::trunc(currentClockTime()));
  const std::int64_t number = persistedConfig_->sessionNumber();
  setSessionID(sessionID, number);
  logEvent("_s", {{"_sid", static_cast<long long>(sessionID)}, {"_sno", static_cast<long long>(number)}});
}

// ---------------------------------------------------------------------------
// Engagement

void TLWSessionReporter::logUserEngagementEvent() { (void)logEngagementEventAndReturnTimeWithScreen(std::nullopt, false); }

std::int64_t TLWSessionReporter::logEngagementEventAndReturnTimeWithScreen(const std::optional<TLWScreen>& screen,
                                                                          bool isRedundant) {
  if (!isAppActive()) {
    monitor_->logWithLevel(7, 33006, "User engagement event not logged. Application is not active");
    return 0;
  }
  const bool efficient = efficientMode();
  std::int64_t et = 0;
  if (reportingEnabled_.load()) {
    et = millis(std::min(incurredEngagementTime(), kMaxEngagementSeconds));
    Dictionary parameters{{"_et", static_cast<long long>(et)}};
    if (screen) screen->addParameters(parameters);
    if (efficient && isRedundant) parameters.set("_fr", 1);
    logEvent("_e", parameters);
  }
  const double now = currentUptime();
  engagementStartUptime_.store(now);
  if (efficient && !isRedundant) freerideEngagementStartUptime_.store(now);
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
  rescheduleUserEngagementTimer();
  return et;
}

std::int64_t TLWSessionReporter::cutFreerideEngagementTimeMillis() {
  if (!efficientMode()) return 0;
  const double incurred = incurredEngagementTime();
  freerideEngagementStartUptime_.store(currentUptime());
  return millis(incurred);
}

void TLWSessionReporter::logAppBackgroundEvent(std::int64_t engagementMillis) {
  if (!reportingEnabled_.load() || !backgroundedTracking()) return;
  if (!isAppActive()) {
    monitor_->logWithLevel(7, 33008, "App backgrounded event not logged. Application is not active");
    return;
  }
  Dictionary parameters;
  if (engagementMillis >= 1 && efficientMode()) parameters.set("_et", static_cast<long long>(engagementMillis));
  logEvent("_ab", parameters);
}

void TLWSessionReporter::rescheduleUserEngagementTimer() {
  // A disabled reporter keeps no timer: its firing would still wake the exposure reporter.
  if (!reportingEnabled_.load()) return;
  double interval = 3600;
  if (auto h = host_.lock()) {
    if (auto config = h->remoteConfig()) interval = config->sessionEventUserEngagementInterval();
  }
  std::weak_ptr<TLWSessionReporter> weak = weak_from_this();
  timer_->runAfterDelay(interval, [weak] {
    auto self = weak.lock();
    if (!self) return;
    if (auto center = self->env_->notificationCenter()) center->post(kEngagementTimerDidFireNotification);
    self->logUserEngagementEvent();
  });
}

// ---------------------------------------------------------------------------
// Lifecycle (main thread)

void TLWSessionReporter::handleAppDidBecomeActive() {
  const double now = currentUptime();
  engagementStartUptime_.store(now);
  freerideEngagementStartUptime_.store(now);
  rescheduleUserEngagementTimer();
  if (shouldStartNewSession() && reportingEnabled_.load()) {
    setSessionID(std::nullopt, std::nullopt);
    logSessionStartEvent();
  }
}

void TLWSessionReporter::handleAppWillResignActiveWithScreen(const std::optional<TLWScreen>& screen) {
  const bool tracking = backgroundedTracking();
  std::int64_t et = 0;
  if (tracking && redundantRemoval()) {
    et = cutFreerideEngagementTimeMillis();
    // The app was in use until now: a session is a span with no gap longer than the timeout.
    persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
  } else {
    et = logEngagementEventAndReturnTimeWithScreen(screen, tracking);
  }
  logAppBackgroundEvent(et);
  timer_->cancel();
}

void TLWSessionReporter::handleScreenDidChangeFromScreen(const std::optional<TLWScreen>& previous,
                                                         const TLWScreen& /*screen*/) {
  if (!previous || incurredEngagementTime() < 1) return;
  const bool efficient = efficientMode();
  if (efficient && redundantRemoval()) {
    persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
    return;
  }
  (void)logEngagementEventAndReturnTimeWithScreen(previous, efficient);
}
