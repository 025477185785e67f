#pragma once
// TLWMeasurement: the measurement engine. One instance per process, created by the front
// controller's start-up and living until the process ends. It owns the database, the
// remote configuration, the scheduler with its worker queue, the upload alarm
// ("Measurement timer"), the network client and the session and search-ad reporters,
// brings them up once on the worker queue, switches collection on and off, reports first
// open, app update and OS update, keeps the personalized-ads property in step, wipes the
// data when the app's identity or consent changes, and follows the app's lifecycle. The
// write pipeline, user properties, bundling, upload and configuration fetch are its
// collaborators; the operations named after them here forward to them.
//
// Thread-safety: the class operations and the operations documented "any thread" may be
// called from any thread; they only schedule work on the worker queue. Operations whose
// name ends in OnWorkerQueue, and the others documented "worker queue", must run there.
// resetAnalyticsDataWithAppInstanceID waits for the worker queue and must not be called
// from it.
//
// Ownership: the front controller owns the shared instance; blocks the engine schedules
// hold it weakly and do nothing once it is gone. Tests build their own engines with
// initWithDependencies.
//
// Failure: start-up that cannot open the database (twice), find the identity or build
// the remote configuration leaves the components uninitialised; enabling then logs 23011
// and switches collection off again. Database errors are logged, never thrown.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/reporters/TLWCampaignReporting.h"
#include "measurement/engine/TLWEventInterceptor.h"
#include "measurement/reporters/TLWInAppPurchaseReporting.h"
#include "measurement/engine/TLWMeasurementFrontController.h"
#include "measurement/reporters/TLWScreenViewReporting.h"
#include "measurement/reporters/TLWSearchAdReporting.h"
#include "measurement/reporters/TLWSessionReporting.h"
#include "platform/Environment.h"
#include "platform/Value.h"
#include "platform/app/Application.h"
#include "platform/network/VXLNetwork.h"

class TLWAlarm;
class TLWConsentPersistence;
class TLWConditionalUserPropertyController;
class TLWConsentSettingsUtil;
class TLWDatabase;
class TLWExperimentFlags;
class TLWEventBacklog;
class TLWAdExposureReporter;
class TLWEventPipeline;
class TLWIdentifiers;
class TLWIdentity;
class TLWMeasurementHosts;
class TLWUserPropertyPipeline;
class TLWEvent;
class TLWMonitor;
class TLWPersistedConfig;
class TLWRemoteConfig;
class TLWScheduler;
class TLWUserAttribute;
class TLWMeasurementComponents;
class TLWMeasurementIdentityAccess;

inline constexpr const char* kTLWMeasurementWorkerQueueLabel = "com.vorlix.twka.worker";
inline constexpr const char* kTLWMeasurementAlarmName = "Measurement timer";
inline constexpr const char* kTLWMeasurementBackgroundTaskName = "TLWAnalyticsMeasurementBackgroundTask";

// Everything the engine is built from. Null members take the process defaults: the
// current environment, the shared persisted configuration and monitor, a network client
// from the environment, a new scheduler and alarm, the default front controller, the
// shared screen-view reporter and the real campaign, purchase and search-ad reporters.
struct TLWMeasurementDependencies {
  std::shared_ptr<platform::Environment> environment;
  std::string databaseName;  // "vorlix-tally-wise.sql" when empty
  std::shared_ptr<TLWPersistedConfig> persistedConfig;
  std::shared_ptr<platform::VXLNetwork> network;
  std::shared_ptr<TLWScheduler> scheduler;
  std::shared_ptr<TLWAlarm> alarm;
  std::shared_ptr<TLWMonitor> monitor;
  std::shared_ptr<TLWMeasurementFrontController> frontController;
  // The identity is asked for at start-up (TLWIdentity::sharedInstance() when null); a
  // start-up without one fails.
  std::shared_ptr<TLWIdentity> identity;
  std::shared_ptr<TLWConsentSettingsUtil> consent;
  std::shared_ptr<TLWExperimentFlags> experimentManager;  // null: the shared TLWEManager's client
  std::shared_ptr<TLWScreenViewReporting> screenViewReporter;
  std::shared_ptr<TLWAdExposureReporter> adExposureReporter;  // null: the shared one
  std::shared_ptr<TLWCampaignReporting> campaignReporter;
  std::shared_ptr<TLWInAppPurchaseReporting> inAppPurchaseReporter;
  TLWSessionReporterFactory sessionReporterFactory;
  TLWSearchAdReporterFactory searchAdReporterFactory;
  // null: a controller of the engine's own, attached to its write path (the shared engine
  // is given the app's, TLWConditionalUserPropertyController::sharedInstance())
  std::shared_ptr<TLWConditionalUserPropertyController> conditionalUserProperties;
  // null: the shared TLWIdentifiers (the identifiers' origin, and the engine's identity
  // provider for the shared engine)
  std::shared_ptr<TLWIdentifiers> identifiers;
};

class TLWMeasurement : public std::enable_shared_from_this<TLWMeasurement>,
                       public platform::VXLNetworkLoggerDelegate,
                       public platform::VXLReachabilityDelegate {
  struct Private {};

 public:
  using UserAttributeCallback = std::function<void(std::shared_ptr<TLWUserAttribute>)>;
  using UserPropertiesCallback = std::function<void(const platform::Dictionary&)>;
  using MaxUserPropertiesCallback = std::function<void(std::int64_t)>;

  // ---- Class operations (any thread) ----

  // Creates the engine once per process; later calls do nothing, even when the first had
  // an empty app ID (which leaves the process without an engine). `frontController`
  // (not part of the classic signature) is how the front controller lends the engine its
  // gate, settings suite and listeners; null means the default one.
  static void initializeSharedInstanceWithAppID(
      const std::string& appID, bool isAnalyticsCollectionEnabled, bool isAnalyticsCollectionDeactivated,
      std::optional<std::vector<std::string>> safelistedEvents,
      std::shared_ptr<TLWMeasurementFrontController> frontController = nullptr);
  static bool hasSharedInstance();
  // Null before creation (logs the "has not been created" warning when the family's
  // public interface is present).
  static std::shared_ptr<TLWMeasurement> sharedInstance();
  static std::shared_ptr<TLWMonitor> monitor();
  // The engine's remote configuration once it exists, else the default instance.
  static std::shared_ptr<TLWRemoteConfig> remoteConfig();
  // Subscribes the class to did-finish-launching on the centre of `env` (null: the
  // current environment), once per centre. Runs when the library is loaded, for the
  // process's environment, and again from the front controller for an environment it is
  // set up over.
  static void load(const std::shared_ptr<platform::Environment>& env = nullptr);
  // Stores the launch link (needs no engine); `env` null: the current environment.
  static void handleAppDidFinishLaunching(const platform::Dictionary& userInfo,
                                          std::shared_ptr<platform::Environment> env = nullptr);
  // The web page URL of a browsing activity; "" for anything else.
  static std::string deepLinkFromUserActivity(const platform::Value& userActivity);

  // ---- Creation ----

  // initWithAppID:...: logs the start-up hints, makes the network client, the scheduler
  // and the alarm, then the designated initialiser. Null for an empty app ID (23170).
  static std::shared_ptr<TLWMeasurement> initWithAppID(const std::string& appID, bool isAnalyticsCollectionEnabled,
                                                       bool isAnalyticsCollectionDeactivated,
                                                       std::optional<std::vector<std::string>> safelistedEvents,
                                                       TLWMeasurementDependencies dependencies = {});
  // The designated initialiser, with everything given (null network: no network).
  static std::shared_ptr<TLWMeasurement> initWithDependencies(const std::string& appID,
                                                              bool isAnalyticsCollectionEnabled,
                                                              bool isAnalyticsCollectionDeactivated,
                                                              std::optional<std::vector<std::string>> safelistedEvents,
                                                              TLWMeasurementDependencies dependencies);
  TLWMeasurement(Private, TLWMeasurementDependencies dependencies, std::string appID, bool isAnalyticsCollectionEnabled,
                 bool isAnalyticsCollectionDeactivated, std::optional<std::vector<std::string>> safelistedEvents);
  ~TLWMeasurement() override;
  TLWMeasurement(const TLWMeasurement&) = delete;
  TLWMeasurement& operator=(const TLWMeasurement&) = delete;

  // ---- Enable switch ----

  bool shouldEnableMeasurement();
  // Any thread: schedules setEnabledOnWorkerQueue (block "TLWMeasurement:556").
  void setEnabled(bool enabled);
  void setEnabledOnWorkerQueue(bool enabled);
  bool startMeasurementOnWorkerQueue();
  // Any thread, under the initialisation lock.
  bool didInitializeComponents();

  // ---- Start-up pieces (worker queue) ----

  bool shouldWipeDataWithAppID(const std::string& appID, const std::string& appIDFromZEL,
                               const std::string& appIDFromQuado, const std::string& persistedAppIDFromZEL,
                               const std::string& persistedAppIDFromQuado);
  void setProspectiveConsentSettings();
  void reportFirstOpenOnWorkerQueue();
  void reportAppUpdateOnWorkerQueue();
  void reportOSUpdateOnWorkerQueue();
  void reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground);
  void setPersonalizedAdsUserPropertyOnWorkerQueue();
  void backfillSessionNumber();
  static std::int64_t timestampMillisRoundedUpToNextHour(std::int64_t milliseconds);
  bool isVersionSameAsOriginalVersion();
  bool isTarnwickRemoteConfigSDKPresent();

  // ---- Events (Part of the write pipeline; forwarded) ----

  // Any thread: the call waits in the event backlog (at most
  // TLWEventBacklog::kDefaultCapacity calls; beyond that it is refused, logged 23231 and
  // counted) until the worker stores it (block "TLWMeasurement:2135" drains the backlog).
  // `parameters` is a dictionary (kept shared, not copied) or reads as empty.
  void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                          platform::Value parameters, double timestamp, bool enabled, bool ignoreEnabled,
                          bool ignoreInterceptor, TLWEventInterceptor interceptor,
                          const platform::Dictionary& addedScreenParameters);
  // Any thread: a call the front controller refused because the backlog, with the calls on
  // their way to it, was full; counted, reported and logged as the backlog's own refusals.
  void refuseEventCall(const std::string& name);
  // Any thread: schedules handleEventOnWorkerQueue (block "TLWMeasurement:2241").
  void logEvent(std::shared_ptr<TLWEvent> event);
  void handleInternalEventOnWorkerQueue(std::shared_ptr<TLWEvent> event);
  void handleEventOnWorkerQueue(std::shared_ptr<TLWEvent> event);
  // Any thread (block "TLWMeasurement:2250"); nullopt clears them.
  void setDefaultEventParameters(std::optional<platform::Dictionary> parameters);

  // ---- User properties (forwarded) ----

  // Any thread.
  void setUserAttribute(std::shared_ptr<TLWUserAttribute> attribute);
  void setUserAttributeOnWorkerQueue(std::shared_ptr<TLWUserAttribute> attribute);
  void removeUserAttribute(std::shared_ptr<TLWUserAttribute> attribute);
  void userAttributeWithName(const std::string& name, UserAttributeCallback callback);
  void userPropertiesIncludingInternal(bool includeInternal, UserPropertiesCallback callback);
  void maxUserPropertiesForOrigin(const std::string& origin, MaxUserPropertiesCallback callback);
  // 1 or 0, or nullopt when nothing decides.
  std::optional<std::int64_t> shouldDisableAdPersonalization();
  bool shouldAllowAdNetworkRegistration();
  // From the front controller's queue; waits for the worker queue. True when the wipe
  // succeeded.
  bool resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& appInstanceID);
  bool wipeoutAnalyticsDataAndResetComponents();

  // ---- Upload, configuration, links, purchases (forwarded) ----

  void updateSchedule();
  void uploadData();
  void fetchRemoteConfig();
  // One bundling step; true when it made progress.
  bool bundleRawEvents();
  // Any thread.
  void handleNonFirstOpenEventURL(const std::string& url, double eventTimestampInSeconds);
  void filterPurchaseTransactions(const platform::Array& transactions,
                                  std::function<void(const platform::Array&)> callback);
  // Any thread: the filtered transactions become purchase events.
  void reportFilteredTransactions(const platform::Array& transactions);

  // ---- Lifecycle ----

  // Any thread (block "TLWMeasurement:1409").
  void setSessionTimeoutInterval(double seconds);
  // Any thread (block "TLWMeasurement:965").
  void reachabilityDidChange() override;
  void subscribeForAppForegroundBackgroundNotifications();
  void handleAppDidBecomeActiveEvent();
  void handleAppWillResignActiveEvent();
  void handleAppWillEnterForegroundNotification();
  void swapBackgroundTaskWithNewTaskID(platform::BackgroundTaskIdentifier taskID);
  void terminateBackgroundTask();

  // ---- Network log bridge ----

  void VXLNetwork_logWithLevel(platform::VXLLoggerLevel level, long messageCode, const std::string& message) override;
  void VXLNetwork_logWithLevel(platform::VXLLoggerLevel level, long messageCode, const std::string& message,
                               const platform::Value& context) override;
  void VXLNetwork_logWithLevel(platform::VXLLoggerLevel level, long messageCode, const std::string& message,
                               const std::vector<platform::Value>& contexts) override;
  // The monitor level for one of the network client's levels.
  static std::int64_t monitorLevelForNetworkLevel(long networkLevel);

  // ---- Accessors (any thread) ----

  const std::string& appID() const { return appID_; }
  const std::string& databaseName() const { return databaseName_; }
  bool enabled() const { return enabled_.load(); }
  bool wasEnabledDuringInitialization() const { return wasEnabledDuringInitialization_; }
  bool isAnalyticsCollectionEnabled() const { return isAnalyticsCollectionEnabled_; }
  bool isAnalyticsCollectionDeactivated() const { return isAnalyticsCollectionDeactivated_; }
  const std::optional<std::vector<std::string>>& safelistedEvents() const { return safelistedEvents_; }
  double initTimestamp() const { return initTimestamp_.load(); }
  // Kept by the uploader once it exists.
  double suspendedUploadTimestamp() const;
  void setSuspendedUploadTimestamp(double timestamp);
  bool isNetworkRequestPending() const;
  void setNetworkRequestPending(bool pending);
  platform::BackgroundTaskIdentifier backgroundUpdateTask() const { return backgroundUpdateTask_.load(); }
  std::string previousZELAppID() const;

  const std::shared_ptr<platform::Environment>& environment() const { return env_; }
  // Any thread. Runs `done` on the worker queue once every call made before this one
  // (events waiting in the backlog included) has been handled and committed, and nothing
  // that work made waits for the database either (events waiting for a busy or full
  // database, error events it reported). Never, while the database refuses writes.
  void whenPendingWorkStored(std::function<void()> done);
  // Worker queue: runs the waiters of whenPendingWorkStored when nothing waits any more.
  void notifyStoredWaitersIfIdle();
  const std::shared_ptr<TLWScheduler>& scheduler() const { return scheduler_; }
  const std::shared_ptr<TLWAlarm>& alarm() const { return alarm_; }
  const std::shared_ptr<platform::VXLNetwork>& network() const { return network_; }
  const std::shared_ptr<TLWPersistedConfig>& persistedConfig() const { return persistedConfig_; }
  const std::shared_ptr<TLWMeasurementFrontController>& frontController() const { return frontController_; }
  const std::shared_ptr<TLWScreenViewReporting>& screenViewReporter() const { return screenViewReporter_; }
  const std::shared_ptr<TLWConsentSettingsUtil>& consent() const { return consent_; }
  const std::shared_ptr<TLWConditionalUserPropertyController>& conditionalUserProperties() const {
    return conditionalUserProperties_;
  }
  const std::shared_ptr<TLWIdentifiers>& identifiers() const { return identifiers_; }
  // Null until start-up found one.
  std::shared_ptr<TLWIdentity> identity() const;
  // Worker queue; null until the components are up.
  TLWDatabase* database() const;
  std::shared_ptr<TLWRemoteConfig> remoteConfigInstance() const;
  std::shared_ptr<TLWSessionReporting> sessionReporter() const;
  std::shared_ptr<TLWSearchAdReporting> searchAdReporter() const;
  // The collaborators, null until the components are up (tests and the engine's own
  // source files).
  const TLWMeasurementComponents& components() const { return *components_; }
  std::shared_ptr<TLWEventPipeline> eventPipeline() const;
  std::shared_ptr<TLWUserPropertyPipeline> userPropertyPipeline() const;
  // Events handed to the engine and not yet taken by the worker.
  const std::shared_ptr<TLWEventBacklog>& eventBacklog() const { return eventBacklog_; }

 private:
  bool initializeComponentsOnWorkerQueue();
  void logStartupHints();
  void applyInitialEnabledState();
  // A new session reporter from the factory, with the app's session timeout (worker queue).
  std::shared_ptr<TLWSessionReporting> makeSessionReporter();
  std::shared_ptr<TLWUserAttribute> makeAutoAttribute(const std::string& name, const platform::Value& value,
                                                      double timestamp);
  std::shared_ptr<TLWKeyValueStore> suite() const;
  double now() const;
  // The engine's remote configuration, or the default instance before start-up.
  std::shared_ptr<TLWRemoteConfig> config() const;
  std::shared_ptr<TLWConsentPersistence> consentPersistence();
  TLWMeasurementIdentityAccess identityAccess() const;
  // The remote configuration, the audience evaluator and the write, bundle, upload and
  // fetch collaborators, once the database is open.
  bool buildCollaboratorsOnWorkerQueue();
  bool efficientEngagementReportingEnabled();
  bool redundantEngagementRemovalEnabled();
  bool appInBackgroundParameterEnabled();
  bool blocklistInternalEnabled();
  std::string bundleIdentifier() const;
  void drainEventBacklogOnWorkerQueue();
  void logRefusedEventCall(const std::string& name, std::uint64_t refusedTotal);
  // Stores the waiting events numbered up to `upTo`.
  void storeEventBacklogOnWorkerQueue(std::uint64_t upTo);
  std::vector<std::function<void()>> storedWaiters_;  // worker queue only

  const std::shared_ptr<platform::Environment> env_;
  const std::string databaseName_;
  const std::shared_ptr<TLWPersistedConfig> persistedConfig_;
  const std::shared_ptr<platform::VXLNetwork> network_;
  const std::shared_ptr<TLWScheduler> scheduler_;
  const std::shared_ptr<TLWAlarm> alarm_;
  const std::shared_ptr<TLWMonitor> monitor_;
  const std::shared_ptr<TLWMeasurementFrontController> frontController_;
  const std::shared_ptr<TLWIdentity> givenIdentity_;
  const std::shared_ptr<TLWConsentSettingsUtil> consent_;
  const std::shared_ptr<TLWExperimentFlags> experimentManager_;
  const std::shared_ptr<TLWScreenViewReporting> screenViewReporter_;
  const std::shared_ptr<TLWAdExposureReporter> adExposureReporter_;
  const std::shared_ptr<TLWCampaignReporting> campaignReporter_;
  const std::shared_ptr<TLWInAppPurchaseReporting> inAppPurchaseReporter_;
  const TLWSessionReporterFactory sessionReporterFactory_;
  const TLWSearchAdReporterFactory searchAdReporterFactory_;
  const std::shared_ptr<TLWConditionalUserPropertyController> conditionalUserProperties_;
  const std::shared_ptr<TLWIdentifiers> identifiers_;

  const std::string appID_;
  const bool isAnalyticsCollectionEnabled_;
  const bool isAnalyticsCollectionDeactivated_;
  const std::optional<std::vector<std::string>> safelistedEvents_;
  bool wasEnabledDuringInitialization_ = false;

  std::mutex initializeComponentsLock_;
  bool didInitializeComponents_ = false;  // guarded by initializeComponentsLock_

  std::atomic<bool> enabled_{false};
  std::atomic<double> initTimestamp_{0};
  std::atomic<double> suspendedUploadTimestamp_{0};
  std::atomic<bool> isNetworkRequestPending_{false};
  std::atomic<platform::BackgroundTaskIdentifier> backgroundUpdateTask_{platform::kInvalidBackgroundTask};

  // The components and collaborators, built on the worker queue. `componentsMutex_`
  // guards the pointers for readers on other threads; their use stays on the worker.
  mutable std::mutex componentsMutex_;
  std::unique_ptr<TLWMeasurementComponents> components_;
  std::shared_ptr<TLWIdentity> identity_;                    // guarded by componentsMutex_
  std::shared_ptr<TLWConsentPersistence> consentPersistence_;  // guarded by componentsMutex_
  std::string previousZELAppID_;                             // guarded by componentsMutex_
  // The app's session timeout, applied to every session reporter made later (worker queue).
  std::optional<double> appSessionTimeout_;
  std::shared_ptr<TLWMeasurementHosts> hosts_;
  std::shared_ptr<TLWEventBacklog> eventBacklog_;

  std::vector<std::uint64_t> lifecycleObservers_;
};
