// The app lifecycle: foreground and background notifications, the background task that
// lets an upload finish, reachability and the session timeout.

#include "measurement/engine/TLWMeasurement.h"
#include "measurement/engine/TLWMeasurementComponents.h"
#include "measurement/scheduler/TLWScheduler.h"
#include "measurement/engine/TLWUploader.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/reporters/TLWSessionReporter.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "platform/app/Application.h"
#include "platform/app/NotificationCenter.h"

namespace {
constexpr double kConfigurationRefreshInterval = 604800;  // 7 days
}

void TLWMeasurement::setSessionTimeoutInterval(double seconds) {
  std::weak_ptr<TLWMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("TLWMeasurement:1409", [weak, seconds] {
    auto self = weak.lock();
    if (!self) return;
    // Kept for the reporters made later (after a wipe, or once collection is enabled).
    if (seconds >= 0 && seconds <= TLWSessionReporter::kMaxTimeoutSeconds) self->appSessionTimeout_ = seconds;
    if (auto reporter = self->sessionReporter()) reporter->setTimeoutSessionInterval(seconds);
  });
}

std::shared_ptr<TLWSessionReporting> TLWMeasurement::makeSessionReporter() {
  auto reporter = sessionReporterFactory_(persistedConfig_);
  if (reporter && appSessionTimeout_) reporter->setTimeoutSessionInterval(*appSessionTimeout_);
  return reporter;
}

void TLWMeasurement::reachabilityDidChange() {
  std::weak_ptr<TLWMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("TLWMeasurement:965", [weak] {
    if (auto self = weak.lock()) self->updateSchedule();
  });
}

void TLWMeasurement::subscribeForAppForegroundBackgroundNotifications() {
  auto center = env_->notificationCenter();
  if (!center || !lifecycleObservers_.empty()) return;
  std::weak_ptr<TLWMeasurement> weak = weak_from_this();
  lifecycleObservers_.push_back(center->addObserver(
      platform::kApplicationDidBecomeActiveNotification, {},
      [weak](const platform::Notification&) {
        if (auto self = weak.lock()) self->handleAppDidBecomeActiveEvent();
      },
      this));
  lifecycleObservers_.push_back(center->addObserver(
      platform::kApplicationWillResignActiveNotification, {},
      [weak](const platform::Notification&) {
        if (auto self = weak.lock()) self->handleAppWillResignActiveEvent();
      },
      this));
  lifecycleObservers_.push_back(center->addObserver(
      platform::kApplicationWillEnterForegroundNotification, {},
      [weak](const platform::Notification&) {
        if (auto self = weak.lock()) self->handleAppWillEnterForegroundNotification();
      },
      this));
}

void TLWMeasurement::handleAppDidBecomeActiveEvent() {
  if (!blocklistInternalEnabled()) return;
  std::weak_ptr<TLWMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("TLWMeasurement:3513", [weak] {
    auto self = weak.lock();
    if (!self) return;
    TLWDatabase* db = self->database();
    if (!db) return;
    TLWError error;
    const double last = db->lastRemoteConfigUpdateTimestamp(&error).value_or(0);
    if (std::abs(self->now() - last) < kConfigurationRefreshInterval) return;
    std::shared_ptr<TLWUploader> uploader;
    {
      std::lock_guard<std::mutex> lock(self->componentsMutex_);
      uploader = self->components_->uploader;
    }
    if (uploader && uploader->isNetworkReadyForRequest()) {
      self->fetchRemoteConfig();
    } else {
      self->monitor_->logWithLevel(8, 23143, "Network operation is pending. Ignoring request to fetch configuration");
    }
  });
}

void TLWMeasurement::handleAppWillResignActiveEvent() {
  persistedConfig_->synchronizeToDisk();
  monitor_->logWithLevel(8, 23144, "App will resign active state. Scheduling data upload");
  std::weak_ptr<TLWMeasurement> weak = weak_from_this();
  platform::BackgroundTaskIdentifier task = platform::kInvalidBackgroundTask;
  if (auto application = env_->application()) {
    task = application->beginBackgroundTask(kTLWMeasurementBackgroundTaskName, [weak] {
      if (auto self = weak.lock()) self->terminateBackgroundTask();
    });
  }
  swapBackgroundTaskWithNewTaskID(task);
  monitor_->logWithLevel(8, 23145, "Background task started. Task ID", platform::Value(static_cast<unsigned long long>(task)));
  frontController_->queueOperationWithBlock([weak] {
    auto self = weak.lock();
    if (!self) return;
    std::weak_ptr<TLWMeasurement> inner = self;
    self->scheduler_->scheduleOnWorkerQueueBlockID("TLWMeasurement:3555", [inner] {
      if (auto engine = inner.lock()) engine->uploadData();
    });
  });
}

void TLWMeasurement::handleAppWillEnterForegroundNotification() { terminateBackgroundTask(); }

void TLWMeasurement::terminateBackgroundTask() {
  persistedConfig_->synchronizeToDisk();
  swapBackgroundTaskWithNewTaskID(platform::kInvalidBackgroundTask);
}

void TLWMeasurement::swapBackgroundTaskWithNewTaskID(platform::BackgroundTaskIdentifier taskID) {
  const auto previous = backgroundUpdateTask_.exchange(taskID);
  if (previous == platform::kInvalidBackgroundTask) return;
  monitor_->logWithLevel(7, 23142, "Cancelling background upload task. Task ID ",
                         platform::Value(static_cast<unsigned long long>(previous)));
  if (auto application = env_->application()) application->endBackgroundTask(previous);
}
