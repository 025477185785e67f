#pragma once
// TLWEventPipeline: the road of every event from the engine's entry points to its stored
// raw-event row: interceptor and default parameters, the enable switch, the consent
// safelist, background session handling, subscription de-duplication, conditional user
// properties, feature-rollout de-duplication, the remote blocklist, event editing,
// conversion marking, lifetime value, the daily limits, real-time marking, event-name
// cardinality and the write of the event with its metadata, all in one savepoint per
// event; events waiting in the engine's backlog are committed several to a transaction
// (drainBacklog), and listeners hear of an event only after the commit that stored it.
// It also keeps the default event parameters.
//
// Thread-safety: members ending in OnWorkerQueue and the transaction steps run on the scheduler's worker queue only. logEventWithOrigin, logEvent,
// setDefaultEventParameters and logFirstOpenConsentedEvent may be called from any thread:
// they only schedule a block.
// Ownership: create() returns a shared object; scheduled blocks hold it weakly and do
// nothing once it is gone. It shares the database, persisted configuration, scheduler and
// collaborators with the engine and holds the host weakly (the engine owns the pipeline).
// Failure: nothing is reported to callers; every drop and every database error is logged
// with its message code, and a failed write rolls back counts, aggregates, metadata and
// the event together. A write that fails because the database is busy (another process's
// lock), full or failing is not a drop: the backlog's calls of that group go back to the
// backlog and internal events wait in memory (at most kMaxRetainedEvents), both retried
// with back-off (kRetryFirstDelaySeconds doubling to kRetryMaxDelaySeconds) until the
// database takes them; log 23240 says so while they wait (at most once every
// kWaitLogIntervalSeconds), 23241 once they are stored. Meanwhile blocks scheduled after
// the waiting events may run before them.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "measurement/engine/TLWEventInterceptor.h"
#include "measurement/engine/TLWEventPipelineSeams.h"
#include "measurement/engine/TLWEventPipelineSettings.h"
#include "measurement/engine/TLWRawEventMetadataBuilder.h"
#include "measurement/model/TLWDailyCounts.h"
#include "measurement/model/TLWEvent.h"
#include "measurement/model/TLWValue.h"
#include "measurement/monitor/TLWError.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "platform/Environment.h"
#include "platform/Value.h"

class TLWDatabase;
class TLWEventBacklog;
struct TLWEventCall;
class TLWMonitor;
class TLWPersistedConfig;
class TLWPBMeasurementBundle;
class TLWRawEventData;
class TLWScheduler;
class TLWUserAttribute;
class TLWUserPropertyPipeline;


// What only the engine knows. Called on the worker queue.
class TLWEventPipelineHost {
 public:
  virtual ~TLWEventPipelineHost() = default;
  // Collection enabled (the engine's enable switch).
  virtual bool isMeasurementEnabled() = 0;
  // The consent safelist from the start options; empty means no safelist.
  virtual std::vector<std::string> safelistedEvents() = 0;
  // The screen-view reporter's isAppActive.
  virtual bool isAppActive() = 0;
  // The session reporter's isSessionExpired and extendSession.
  virtual bool isSessionExpired() = 0;
  virtual bool extendSession() = 0;
  virtual void reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground) = 0;
  // Hands copies of written events, in the order written, to the front controller's
  // listeners: a group's events at once, so its queue is woken once per group.
  virtual void notifyEventListeners(std::vector<std::shared_ptr<TLWEvent>> events) = 0;
  // False while nobody listens: written events are then not copied for the listeners.
  virtual bool hasEventListeners() { return true; }
  // Replans the next upload.
  virtual void updateSchedule() = 0;
  // Events that waited (for the database, or as reported errors) were stored: the engine
  // may tell whoever waits for everything to be stored.
  virtual void pendingWorkMayBeStored() {}
};

// The identity and consent facts the pipeline reads. The base class knows no identifiers.
class TLWEventPipelineIdentity {
 public:
  virtual ~TLWEventPipelineIdentity() = default;
  // TLWIdentity updateIdentifiers (only schedules work).
  virtual void updateIdentifiers() {}
  // A snapshot for the metadata of the next event.
  virtual TLWRawEventMetadataInputs rawEventMetadataInputs() { return {}; }
  virtual bool isAnalyticsStorageDenied() { return false; }
};

class TLWEventPipeline : public std::enable_shared_from_this<TLWEventPipeline> {
 public:
  struct Dependencies {
    std::shared_ptr<TLWDatabase> database;                // required
    std::shared_ptr<TLWPersistedConfig> persistedConfig;  // required
    std::shared_ptr<TLWScheduler> scheduler;              // required
    std::shared_ptr<TLWUserPropertyPipeline> userProperties;  // required
    std::weak_ptr<TLWEventPipelineHost> host;             // required
    std::shared_ptr<TLWEventPipelineSettings> settings;   // null: defaults
    std::shared_ptr<TLWEventPipelineIdentity> identity;   // null: no identifiers
    std::shared_ptr<TLWConditionalUserPropertyProcessing> conditionalUserProperties;  // null: none (the write path makes one)
    std::shared_ptr<TLWLifetimeValueRecording> lifetimeValue;  // null: none (the write path makes the real one)
    std::shared_ptr<TLWPurchaseReceiptChecking> receipt;  // null: none (read by the bundlers the write path makes)
    std::shared_ptr<TLWEnvironmentInfo> environmentInfo;  // null: one on `env`
    std::shared_ptr<platform::Environment> env;           // null: Environment::current()
    std::shared_ptr<TLWMonitor> monitor;                  // null: TLWMonitor::sharedInstance()
  };

  // Null (logged) when a required dependency is missing.
  [[nodiscard]] static std::shared_ptr<TLWEventPipeline> create(Dependencies dependencies);
  ~TLWEventPipeline();

  // Entry points (any thread).
  void logEventWithOrigin(std::string origin, bool isPublicEvent, std::string name, platform::Dictionary parameters,
                          double timestamp, bool enabled, bool ignoreEnabled, bool ignoreInterceptor,
                          TLWEventInterceptor interceptor,
                          std::optional<platform::Dictionary> addedScreenParameters = std::nullopt);
  void logEvent(std::shared_ptr<TLWEvent> event);
  // Logs the error event "_err" (origin "auto", now) with these parameters.
  void logErrorEventWithParameters(TLWParameters parameters);
  // nullopt clears every default.
  void setDefaultEventParameters(std::optional<platform::Dictionary> parameters);
  void logFirstOpenConsentedEvent(double timestamp);

  // Worker queue.
  // False when the call went to the app's interceptor instead (which logs it again).
  bool logEventOnWorkerQueueWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                       const platform::Dictionary& parameters, double timestamp, bool enabled,
                                       bool ignoreEnabled, bool ignoreInterceptor,
                                       const TLWEventInterceptor& interceptor,
                                       const std::optional<platform::Dictionary>& addedScreenParameters);
  void logEventOnWorkerQueue(const std::shared_ptr<TLWEvent>& event, bool notifyEventListeners);
  void handleInternalEventOnWorkerQueue(const std::shared_ptr<TLWEvent>& event);
  void handleEventOnWorkerQueue(const std::shared_ptr<TLWEvent>& event);
  void writeEventOnWorkerQueue(const std::shared_ptr<TLWEvent>& event);
  void writeFilteredEventOnWorkerQueue(const std::shared_ptr<TLWEvent>& event);
  void writeSessionStartEventOnWorkerQueue(const TLWEvent& event);
  void handleSetDefaultEventParametersOnWorkerQueue(const std::optional<platform::Dictionary>& parameters);
  // Stores the events waiting in the backlog that may run now, in write groups of at most
  // kMaxEventsPerGroup events or kMaxGroupSeconds (each event in its own savepoint);
  // listeners and the upload schedule follow each group's commit. A group that meets a
  // busy, full or failing database is rolled back and put back in the backlog (with the
  // delay of the next retry); nothing of it was stored or told. Reports calls the
  // backlog refused (log 23232 and an error event) and checkpoints the log when idle.
  // Events numbered above `upTo` (default: those pushed after the drain started) wait.
  void drainBacklog(TLWEventBacklog& backlog, std::optional<std::uint64_t> upTo = std::nullopt);
  // Worker queue: true while events wait for a busy, full or failing database.
  bool isWaitingForStorage() const { return waitingSince_ >= 0; }
  // Whether a call with these traits is handed to the app's interceptor instead of stored.
  static bool goesToInterceptor(const std::string& origin, bool isPublicEvent, const std::string& name, bool enabled,
                                bool ignoreEnabled, bool ignoreInterceptor, const TLWEventInterceptor& interceptor);
  // Worker queue: true while events this pipeline made or kept still wait to be stored
  // (kept for a busy or full database, or error events reported and not yet logged).
  bool hasWorkWaitingForStorage() const {
    return !retained_.empty() || !heldErrorEvents_.empty() || scheduledErrorEvents_.load() > 0;
  }
  static constexpr int kMaxEventsPerGroup = 64;
  static constexpr double kMaxGroupSeconds = 0.004;
  static constexpr double kRetryFirstDelaySeconds = 0.05;
  static constexpr double kRetryMaxDelaySeconds = 5.0;
  static constexpr double kWaitLogIntervalSeconds = 60.0;
  static constexpr std::size_t kMaxRetainedEvents = 1000;
  // Drops the internal events waiting for the database (a data reset); how many.
  std::size_t discardRetainedEvents();

  // The steps, public so that the engine and tests can run them on their own.
  std::shared_ptr<TLWEvent> eventAfterSafelistingEvent(const std::shared_ptr<TLWEvent>& event);
  void processSessionFromEvent(const TLWEvent& event);
  bool dedupeSubscriptionEvent(const TLWEvent& event);
  bool shouldDropDuplicatedSessionStartWithRolloutEvent(const TLWEvent& event);
  std::shared_ptr<TLWEvent> appExceptionEventWithTarnwickFeatureRollouts(const std::shared_ptr<TLWEvent>& event);
  bool updateLifetimeValueWithEvent(const TLWEvent& event);
  bool shouldProcessEvent(const TLWEvent& event, TLWDailyCounts& dailyCounts, bool isPublicEvent);
  bool isRealtimeEvent(TLWEvent& event, TLWDailyCounts& dailyCounts);
  bool writeEvent(TLWEvent& event, bool isPublicEvent, bool isRealtime);
  bool ensureEventAggregatesRow(const std::string& name, bool isPublicEvent);
  void maybeAddDebugAndRealtimeParameters(TLWEvent& event);
  const TLWRawEventMetadataCache::Metadata* rawEventMetadataWithUserAttributes(
      const std::vector<std::shared_ptr<TLWUserAttribute>>& userAttributes, TLWError* error);
  // The stored defaults added under a copy of `parameters` (the event's values win).
  // Null when no default parameters are set: the call's own parameters are used as they are.
  std::optional<platform::Dictionary> parametersWithAddedDefaultEventParameters(const platform::Dictionary& parameters);
  // As persisted (kept between writes).
  const std::optional<platform::Dictionary>& defaultEventParameters();

  // floor((now - midnight offset) / 86400) with the persisted midnight offset.
  std::int32_t currentDayNumber();

  const std::shared_ptr<TLWDatabase>& database() const { return deps_.database; }

 private:
  explicit TLWEventPipeline(Dependencies dependencies);
  std::shared_ptr<TLWEventPipelineHost> host() const { return deps_.host.lock(); }
  bool isMeasurementEnabled() const;
  bool writeFilteredEventInTransaction(TLWEvent& event);
  // Writes the daily counts the group's stored events left; false when that failed.
  bool writeGroupDailyCounts();
  void reportDailyLimit(std::int64_t overflow, std::int64_t code, std::string_view message,
                        const platform::Value& context1, const platform::Value& context2);
  bool isNotRealtimeCounted(const TLWEvent& event) const;
  void incrementFirstOpenCount();
  void notifyListenersAfterCommit(std::shared_ptr<TLWEvent> event);
  void updateScheduleAfterCommit();
  void reportRefusedCalls(std::uint64_t refused);
  void scheduleErrorEvent(TLWParameters parameters, double timestamp);
  // Ends holding error events back; schedules them when `report`, else drops them.
  void releaseHeldErrorEvents(bool report);
  // The handling of an internal event; false (nothing stored or told) when its own
  // transaction met a busy, full or failing database.
  bool storeInternalEvent(const std::shared_ptr<TLWEvent>& event);
  // Runs one backlog call through the write path, trying again after a throw (app code
  // behind an interceptor gets one attempt): whether the event stays in the group, nullopt
  // when every attempt threw.
  std::optional<bool> storeCall(const TLWEventCall& call, int attempts);
  void retainEvent(std::shared_ptr<TLWEvent> event);
  void scheduleRetainedRetry(double delaySeconds);
  // Stores the retained internal events in order; false when the first still fails.
  bool storeRetainedEvents();
  // The delay before the next try, logging 23240 now and then.
  double storageFailed(std::size_t waitingEvents);
  // Logs 23241 after a wait and resets the back-off.
  void storageRecovered();
  // The stored-events cap with room for `roomForRows` more; logs 23069 / 23070.
  bool trimRawEvents(std::int64_t roomForRows);
  double now() const;

  Dependencies deps_;
  // Worker queue: a replan already waits for the current group's commit.
  bool scheduleUpdateOwed_ = false;
  // Worker queue: an event of the current group went over the stored-events cap.
  bool rawEventTrimOwed_ = false;
  TLWRawEventMetadataCache metadataCache_;
  // Worker queue: what the metadata is built from, read once a write group. No other
  // worker block runs between a group's events (the backlog hands out an event only while
  // no block scheduled before it waits), so only other queues could change these inputs
  // meanwhile, and to them the group's events are one moment.
  struct GroupReads {
    bool identifiersUpdated = false;
    std::optional<TLWRawEventMetadataInputs> inputs;
    std::optional<TLWDeviceFacts> facts;
    // The daily counts as the group's events left them, written once before it commits
    // rather than once an event. Like the database, these reads change inside an event's
    // savepoint and are taken back with it.
    std::optional<TLWDailyCounts> dailyCounts;
    // Names whose aggregates row an event of the group found or made, and the order they
    // came in (to take back those of an undone savepoint).
    std::set<std::string, std::less<>> namesWithAggregates;
    std::vector<std::string> namesAdded;
  };
  GroupReads groupReads_;
  // Worker queue: persisted values every event reads, read again after a write.
  TLWPersistedReading<double> midnightOffset_;
  TLWPersistedReading<std::optional<platform::Dictionary>> defaultEventParameters_;
  TLWPersistedReading<bool> advertisingIDResetPropertyOwed_;
  // Worker queue: events of the current group the listeners hear of once it commits.
  std::vector<std::shared_ptr<TLWEvent>> listenerEventsOwed_;
  // Worker queue: waiting for the database (see the failure paragraph above).
  std::deque<std::shared_ptr<TLWEvent>> retained_;
  // Worker queue: error events of the open backlog group, reported at its end.
  bool holdErrorEvents_ = false;
  std::vector<std::pair<TLWParameters, double>> heldErrorEvents_;
  std::atomic<std::size_t> scheduledErrorEvents_{0};  // scheduled from any thread, run on the worker
  bool retainedRetryScheduled_ = false;
  double retryDelay_ = 0;
  double waitingSince_ = -1;
  double lastWaitLogged_ = -1;
};
