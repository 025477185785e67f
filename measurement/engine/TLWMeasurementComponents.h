#pragma once
// The engine's components and collaborators, built on the worker queue at start-up, the
// host interfaces the collaborators call back through, and the small facts the engine
// reads from the app and the configuration. Private to TLWMeasurement's source files.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/engine/TLWBundler.h"
#include "measurement/engine/TLWConfigFetcher.h"
#include "measurement/engine/TLWEventPipeline.h"
#include "measurement/reporters/TLWSearchAdReporting.h"
#include "measurement/reporters/TLWScreenViewReporting.h"
#include "measurement/reporters/TLWSessionReporting.h"
#include "measurement/engine/TLWUploader.h"
#include "measurement/engine/TLWUserPropertyPipeline.h"
#include "platform/Environment.h"

class TLWConsentPersistence;
class TLWConsentSettingsUtil;
class TLWDatabase;
class TLWIdentity;
class TLWMeasurement;
class TLWRemoteConfig;

// The identity as the engine's start-up uses it: the shared TLWIdentity, the consent state
// and the identifiers' origin.
class TLWMeasurementIdentityAccess {
 public:
  TLWMeasurementIdentityAccess(std::shared_ptr<TLWIdentity> identity, std::shared_ptr<TLWConsentSettingsUtil> consent,
                               std::string origin)
      : identity_(std::move(identity)), consent_(std::move(consent)), origin_(std::move(origin)) {}
  bool available() const { return identity_ != nullptr; }
  std::string appIDFromZEL() const;
  std::string appIDFromQuado() const;
  std::string appVersion() const;
  // "tq", "qd" or "".
  const std::string& origin() const { return origin_; }
  bool isFromAppStore() const;
  void updateIdentifiers();
  void setAppInstanceID(const std::optional<std::string>& appInstanceID);
  bool isAnalyticsStorageDenied() const;

 private:
  std::shared_ptr<TLWIdentity> identity_;
  std::shared_ptr<TLWConsentSettingsUtil> consent_;
  std::string origin_;
};

// The host side of every collaborator. Owned by the engine; the collaborators hold it
// weakly and it holds the engine weakly.
class TLWMeasurementHosts : public TLWEventPipelineHost,
                            public TLWBundlerHost,
                            public TLWUploaderHost,
                            public TLWConfigFetcherHost,
                            public TLWSessionReporterHost,
                            public TLWScreenViewEngine {
 public:
  explicit TLWMeasurementHosts(std::weak_ptr<TLWMeasurement> engine) : engine_(std::move(engine)) {}

  // TLWEventPipelineHost
  bool isMeasurementEnabled() override;
  std::vector<std::string> safelistedEvents() override;
  bool isAppActive() override;
  bool isSessionExpired() override;
  bool extendSession() override;
  void reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground) override;
  void notifyEventListeners(std::vector<std::shared_ptr<TLWEvent>> events) override;
  bool hasEventListeners() override;
  void updateSchedule() override;
  void pendingWorkMayBeStored() override;
  // TLWBundlerHost
  void setSuspendedUploadTimestamp(double timestamp) override;
  // TLWUploaderHost
  TLWUploadSettings uploadSettings() override;
  bool bundleRawEvents() override;
  TLWBundleIdentifierInputs bundleIdentifierInputs() override;
  bool activateNewSnapshot() override;
  void fetchRemoteConfig() override;
  bool isBackgroundTaskActive() override;
  void endBackgroundTask() override;
  // TLWSessionReporterHost (isAppActive above)
  void logInternalEvent(const std::string& name, const platform::Dictionary& parameters) override;
  void setSessionUserProperties(std::optional<std::int64_t> sessionID,
                                std::optional<std::int64_t> sessionNumber) override;
  std::shared_ptr<TLWRemoteConfig> remoteConfig() override;
  // TLWScreenViewEngine (isMeasurementEnabled above)
  std::shared_ptr<TLWSessionReporting> sessionReporter() override;
  bool efficientEngagementReportingEnabled() override;
  void logScreenViewEvent(const std::string& origin, const platform::Dictionary& parameters,
                          std::optional<double> timestamp) override;
  // TLWConfigFetcherHost
  std::optional<std::string> remoteConfigURL() override;
  std::string appIDFromZEL() override;
  bool updateAudiences(const std::vector<std::shared_ptr<TLWPBAudience>>& audiences) override;
  bool updateMeasurementConfig(const std::shared_ptr<TLWPBMeasurementConfig>& config) override;

 private:
  std::weak_ptr<TLWMeasurement> engine_;
};

class TLWMeasurementComponents {
 public:
  TLWMeasurementComponents();
  ~TLWMeasurementComponents();

  std::shared_ptr<TLWDatabase> database;
  std::shared_ptr<TLWRemoteConfig> remoteConfig;
  std::shared_ptr<TLWUserPropertyPipeline> userProperties;
  std::shared_ptr<TLWEventPipeline> eventPipeline;
  std::shared_ptr<TLWBundler> bundler;
  std::shared_ptr<TLWUploader> uploader;
  std::shared_ptr<TLWConfigFetcher> configFetcher;
  std::shared_ptr<TLWSessionReporting> sessionReporter;
  std::shared_ptr<TLWSearchAdReporting> searchAdReporter;

  static std::shared_ptr<TLWRemoteConfig> defaultRemoteConfig();
  // The measurement service's base URL and its host (for reachability).
  static std::string measurementServiceBaseURL(const std::shared_ptr<platform::Environment>& env);
  static std::string measurementServiceHost(const std::shared_ptr<platform::Environment>& env);
  // "TarnwickScreenReportingEnabled", else "TarnwickAutomaticScreenReportingEnabled";
  // absent means on.
  static bool automaticScreenReportingEnabled(platform::Environment& env);
  // Switches off an older measurement library of the same maker; true when there was one.
  static bool disableLegacyMeasurementLibrary(platform::Environment& env);
};
