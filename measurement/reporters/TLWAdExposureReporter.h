#pragma once
// TLWAdExposureReporter: how long ad units are on screen. The ads component reports when
// a unit becomes visible (begin) and stops being visible (end); the reporter keeps the
// start times and logs "_xu" per unit and "_xa" for the time any ad was visible (both
// origin "qd", "_xt" in milliseconds) when an exposure ends, when the screen changes, when
// the engagement timer fires and when the app resigns active. Exposures under one second
// are not logged. Times are seconds since boot, so wall-clock changes do not count.
//
//   auto reporter = TWKAAdExposureReporter::sharedInstance();  // the family's name for it
//   reporter->beginAdUnitExposure("banner-1");
//   ...
//   reporter->endAdUnitExposure("banner-1");
//
// Thread-safety: any thread except the reporter's own queue ("TLWAdExposureReporter"),
// where all bookkeeping runs: begin returns at once, end, flushes and the lifecycle hooks
// wait for the queue. At most 100 distinct units are tracked.
// Ownership: one process-wide instance (sharedInstance); tests make their own with create.
// Notification observers and queued blocks hold the reporter weakly.
// Failure: every refusal is a log line (codes 1000-1011); nothing reaches the caller.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/reporters/TLWScreenViewReporting.h"
#include "platform/DispatchQueue.h"
#include "platform/Value.h"

class TLWMonitor;
namespace platform {
class Clock;
class NotificationCenter;
}  // namespace platform

inline constexpr const char* kTLWAdExposureReporterQueueLabel = "TLWAdExposureReporter";
inline constexpr const char* kTLWSessionReporterEngagementTimerDidFireNotification =
    "kTLWSessionReporterEngagementTimerDidFire";
inline constexpr std::size_t kTLWMaxTrackedAdUnits = 100;

class TLWAdExposureReporter : public TLWScreenViewObserver,
                              public std::enable_shared_from_this<TLWAdExposureReporter> {
  struct Private {};

 public:
  // Logs an internal event (the front controller's logInternalEventWithOrigin).
  using EventLogger =
      std::function<void(const std::string& origin, const std::string& name, const platform::Dictionary& parameters)>;

  struct Dependencies {
    std::shared_ptr<platform::Clock> clock;                            // null: the current environment's
    std::shared_ptr<platform::NotificationCenter> notificationCenter;  // null: no observers
    // The screen-view reporter (the app's active state, the current screen's parameters);
    // null: TLWScreenViewReporting::sharedInstance() at each use.
    std::function<std::shared_ptr<TLWScreenViewReporting>()> screenViewReporter;
    EventLogger logEvent;                  // null: nothing is logged until setEventLogger
    std::shared_ptr<TLWMonitor> monitor;  // null: the shared monitor
  };

  // The process-wide reporter over the current environment, observing the engagement
  // timer, the app's active / resign-active notifications and the screen-view reporter's
  // screen changes.
  static std::shared_ptr<TLWAdExposureReporter> sharedInstance();
  static std::shared_ptr<TLWAdExposureReporter> create(Dependencies dependencies);
  TLWAdExposureReporter(Private, Dependencies dependencies);
  ~TLWAdExposureReporter();

  void setEventLogger(EventLogger logger);
  // The logger of reporters that were given none (the front controller's, installed when
  // the library loads).
  static void setDefaultEventLogger(EventLogger logger);

  void beginAdUnitExposure(const std::string& adUnitID);
  void endAdUnitExposure(const std::string& adUnitID);
  // Flushes every exposure with these screen parameters and restarts the windows.
  void logExposureEventsWithScreenParameters(const platform::Dictionary& screenParameters);
  // The new screen's parameters ("_sn", "_sc", "_si"); nullopt when there is no new screen.
  void handleScreenDidChange(const std::optional<platform::Dictionary>& toScreenParameters);
  // TLWScreenViewObserver: flushes with the new screen's parameters.
  void handleScreenDidChangeFromScreen(const std::optional<TLWScreen>& previous, const TLWScreen& screen) override;
  void handleEngagementTimer();
  void handleAppDidBecomeActive() override;
  // Empty parameters: the current screen's.
  void handleAppWillResignActiveWithScreen(const platform::Dictionary& screenParameters);
  void handleAppWillResignActiveWithScreen(const std::optional<TLWScreen>& screen) override;

  bool isReportingEnabled() const;
  void setReportingEnabled(bool enabled);

  // Seconds since boot with microsecond resolution, or -1 when it cannot be read.
  double currentTime() const;

 private:
  void observe();
  std::shared_ptr<TLWScreenViewReporting> screens() const;
  void log(std::int64_t level, std::int64_t code, std::string_view message, const platform::Value& context = {}) const;
  // Serial queue.
  void logAdUnitExposureEventOnSerialQueueWithID(const std::string& adUnitID, double endTime,
                                                 const platform::Dictionary& screenParameters);
  void logAdExposureEventOnSerialQueueWithEndTime(double endTime, const platform::Dictionary& screenParameters);
  void logExposureEventsOnSerialQueueWithEndTime(double endTime, const platform::Dictionary& screenParameters);
  void updateStartTimesOnSerialQueue(double time);
  void sync(const std::function<void()>& block);
  void logEvent(const std::string& name, const platform::Dictionary& parameters);

  Dependencies deps_;
  const std::shared_ptr<platform::DispatchQueue> queue_;
  std::vector<std::uint64_t> observers_;
  mutable std::mutex loggerMutex_;
  std::atomic<bool> reportingEnabled_{true};
  // Reporter queue only.
  std::map<std::string, std::int64_t> adUnitCounts_;
  std::map<std::string, double> adUnitStartTimes_;
  double adExposureStartTime_ = 0;
};
