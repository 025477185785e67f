#pragma once
// TLWSessionReporter: decides when a session starts, numbers sessions, measures the time
// the user is engaged with the app in the foreground, and logs "_s" (session start), "_e"
// (user engagement, also every "measurement.session.event_user_engagement_interval" from
// the "Engagement timer" on the main queue) and "_ab" (app backgrounded). It is driven by
// the lifecycle as the screen-view reporter forwards it and by the engine, which owns one
// and asks it about every event logged in the background.
//
// Thread-safety: lifecycle entries and the timer run on the main thread; the engine's
// calls come from the worker queue. The persisted values go through TLWPersistedConfig
// (safe from any thread); every other field is atomic.
//
// Ownership: one per engine; a new one replaces it after a data wipe. The host (the
// engine) is held weakly; the timer holds the reporter weakly.
//
// Times: uptime is the wall clock minus the boot time, so moving the clock moves it too;
// an interval that comes out negative counts as 0.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "measurement/scheduler/TLWAlarm.h"
#include "measurement/reporters/TLWSessionReporting.h"
#include "platform/DispatchQueue.h"
#include "platform/Environment.h"

class TLWMonitor;

class TLWSessionReporter : public TLWSessionReporting, public std::enable_shared_from_this<TLWSessionReporter> {
  struct Private {};

 public:
  static constexpr const char* kEngagementTimerDidFireNotification = "kTLWSessionReporterEngagementTimerDidFire";
  static constexpr double kMaxEngagementSeconds = 3600;
  // A public timeout beyond a year is taken for a mistake.
  static constexpr double kMaxTimeoutSeconds = 365.0 * 86400;

  // `env` null: the current environment; `timerQueue` null: the main queue; `monitor`
  // null: the shared one.
  static std::shared_ptr<TLWSessionReporter> initWithPersistedConfig(
      std::shared_ptr<TLWPersistedConfig> persistedConfig, std::weak_ptr<TLWSessionReporterHost> host,
      std::shared_ptr<platform::Environment> env = nullptr, std::shared_ptr<platform::DispatchQueue> timerQueue = nullptr,
      std::shared_ptr<TLWMonitor> monitor = nullptr);
  TLWSessionReporter(Private, std::shared_ptr<TLWPersistedConfig> persistedConfig,
                     std::weak_ptr<TLWSessionReporterHost> host, std::shared_ptr<platform::Environment> env,
                     std::shared_ptr<platform::DispatchQueue> timerQueue, std::shared_ptr<TLWMonitor> monitor);

  // TLWSessionReporting
  void setReportingEnabled(bool enabled) override;
  bool isReportingEnabled() const override { return reportingEnabled_.load(); }
  // Negative, NaN or beyond kMaxTimeoutSeconds: logged, the current value stays.
  void setTimeoutSessionInterval(double seconds) override;
  bool isSessionExpired() override;
  bool extendSession() override;
  void updatePropertiesForNewSessionStart() override;
  std::shared_ptr<TLWUserAttribute> sessionIDPropertyWithTimestamp(double timestamp) override;
  std::shared_ptr<TLWUserAttribute> sessionNumberProperty() override;
  std::shared_ptr<TLWEvent> sessionStartEventWithSessionNumber(std::int64_t sessionNumber, bool appInBackground,
                                                              double timestamp) override;
  void handleAppDidBecomeActive() override;
  void handleAppWillResignActiveWithScreen(const std::optional<TLWScreen>& screen) override;
  void handleScreenDidChangeFromScreen(const std::optional<TLWScreen>& previous, const TLWScreen& screen) override;
  std::int64_t cutFreerideEngagementTimeMillis() override;

  double timeoutSessionInterval() const { return timeout_.load(); }
  bool shouldStartNewSession();
  void setSessionID(std::optional<std::int64_t> sessionID, std::optional<std::int64_t> sessionNumber);
  void logSessionStartEvent();
  void logUserEngagementEvent();
  // The "_et" value in milliseconds; 0 when nothing was logged.
  std::int64_t logEngagementEventAndReturnTimeWithScreen(const std::optional<TLWScreen>& screen, bool isRedundant);
  void logAppBackgroundEvent(std::int64_t engagementMillis);
  void rescheduleUserEngagementTimer();
  double currentUptime();
  double currentClockTime();
  double incurredEngagementTime();
  const std::shared_ptr<TLWAlarm>& userEngagementTimer() const { return timer_; }

 private:
  bool isAppActive();
  void logEvent(const std::string& name, const platform::Dictionary& parameters);
  bool efficientMode();
  bool redundantRemoval();
  bool backgroundedTracking();

  const std::shared_ptr<TLWPersistedConfig> persistedConfig_;
  const std::weak_ptr<TLWSessionReporterHost> host_;
  const std::shared_ptr<platform::Environment> env_;
  const std::shared_ptr<TLWMonitor> monitor_;
  std::shared_ptr<TLWAlarm> timer_;
  std::atomic<double> engagementStartUptime_{0};
  std::atomic<double> freerideEngagementStartUptime_{0};
  std::atomic<bool> reportingEnabled_{false};
  std::atomic<double> timeout_{1800};
};
