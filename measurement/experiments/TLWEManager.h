#pragma once
// TLWEManager: the SDK-experiment coordinator. SDKs register a property and default flags
// and get a client; the manager keeps each SDK's pending, activated and launched snapshot,
// answers flag values (activated, else launched, else the default), activates snapshots
// when an SDK asks and hands fetched ones to the SDKs' delegates. TLWEClient is one SDK's
// view of it.
//
// Thread-safety: any thread. The snapshot and client maps are touched only on the
// manager's queue ("TLWEExperimentSerialQueue"); lookups hop onto it synchronously, so no
// operation may be called from that queue (delegate callbacks run there and must not
// call back synchronously).
// Ownership: one process-wide instance (sharedInstance) owning its task manager; clients
// hold the manager strongly and their delegates weakly.
// Failure: refused registrations return null; failed activations return false with an
// error; everything is logged (codes 800000-830003).

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/config/TLWExperimentFlags.h"
#include "measurement/experiments/TLWESnapshot.h"
#include "measurement/experiments/TLWETaskManager.h"
#include "platform/DispatchQueue.h"

class TLWEExperimentRequestBuilder;
class TLWEManager;

inline constexpr const char* kTLWEManagerQueueLabel = "TLWEExperimentSerialQueue";

class TLWEClient {
 public:
  TLWEClient(TLWESDKProperty property, std::map<std::string, platform::Value, std::less<>> defaultFlags,
             std::shared_ptr<TLWEManager> manager, std::weak_ptr<TLWExperimentClientDelegate> delegate);

  const std::string& SDKName() const { return property_.name; }
  const TLWESDKProperty& SDKProperty() const { return property_; }
  const std::map<std::string, platform::Value, std::less<>>& defaultFlags() const { return defaultFlags_; }
  std::shared_ptr<TLWExperimentClientDelegate> delegate() const { return delegate_.lock(); }
  bool hasDelegate() const { return hasDelegate_; }

  // Null for an empty or unregistered flag name.
  platform::Value valueForFlag(std::string_view flagName) const;
  [[nodiscard]] bool activateLatestSnapshot(TLWError* error) const;
  bool hasStaleSnapshot() const;
  void resetToDefaults() const;

 private:
  TLWESDKProperty property_;
  std::map<std::string, platform::Value, std::less<>> defaultFlags_;
  std::shared_ptr<TLWEManager> manager_;
  std::weak_ptr<TLWExperimentClientDelegate> delegate_;
  bool hasDelegate_;
};

class TLWEManager : public TLWETaskManagerDelegate, public std::enable_shared_from_this<TLWEManager> {
  struct Private {};

 public:
  struct Dependencies {
    std::shared_ptr<platform::Environment> env;  // null: the current environment
    std::shared_ptr<TLWMonitor> monitor;         // null: the shared monitor
    std::string serviceBaseURL;                  // empty: the configured measurement service
    std::string databasePath;                    // empty: Application Support/Vorlix/Experiments
    std::shared_ptr<platform::VXLNetwork> network;  // null: one from the environment
    std::function<std::optional<std::string>()> appInstanceID;  // null: the identity's
    std::function<bool()> isFromAppStore;                       // null: the identity's
  };

  // Created (and its task manager started) on first use.
  static std::shared_ptr<TLWEManager> sharedInstance();
  // A manager whose task manager has not started yet (start()).
  static std::shared_ptr<TLWEManager> create(Dependencies dependencies);
  TLWEManager(Private, Dependencies dependencies);
  void start();

  // Null (logged) for an empty SDK name or a default that is neither a string nor a number.
  std::shared_ptr<TLWEClient> registerSDKProperty(const TLWESDKProperty& property,
                                                  const std::map<std::string, platform::Value, std::less<>>& defaultFlags,
                                                  std::weak_ptr<TLWExperimentClientDelegate> delegate = {});
  std::shared_ptr<TLWEClient> clientForSDKName(const std::string& sdkName);
  // The activated experiment IDs of SDKs without a diversion key, ascending.
  std::vector<std::int64_t> experimentIDs();
  platform::Value flagValueForFlagName(std::string_view flagName, std::string_view sdkName);
  // The flag as a snapshot sets it (activated, else launched); null when only the
  // registered default would answer.
  platform::Value snapshotFlagValue(std::string_view flagName, std::string_view sdkName);
  [[nodiscard]] bool activateSnapshotOfSDK(const std::string& sdkName, TLWError* error);
  // -1 unregistered, -2 no activated snapshot, 1 stale, 0 fresh.
  std::int64_t activatedSnapshotStatusOfSDKName(const std::string& sdkName);
  void resetToDefaultsOfSDKName(const std::string& sdkName);
  void reset();

  const std::shared_ptr<TLWETaskManager>& taskManager() const { return taskManager_; }
  const std::shared_ptr<TLWEExperimentRequestBuilder>& requestBuilder() const { return requestBuilder_; }

  // TLWETaskManagerDelegate (task-manager worker queue).
  bool taskManagerShouldFetchExperiments() override;
  void taskManagerDidStart(const std::vector<TLWESnapshot>& activated, const std::vector<TLWESnapshot>& pending,
                           const std::vector<TLWESnapshot>& launched) override;
  void taskManagerDidFinishFetching(const std::vector<TLWESnapshot>& snapshots,
                                    const std::map<std::string, TLWError>& errors) override;

 private:
  void log(std::int64_t level, std::int64_t code, std::string_view message, const platform::Value& context1 = {},
           const platform::Value& context2 = {}) const;
  void onQueue(const std::function<void()>& block);

  std::shared_ptr<platform::Environment> env_;
  std::shared_ptr<TLWMonitor> monitor_;
  const std::shared_ptr<platform::DispatchQueue> queue_;
  std::shared_ptr<TLWEExperimentRequestBuilder> requestBuilder_;
  std::shared_ptr<TLWETaskManager> taskManager_;
  // Manager queue only.
  std::map<std::string, TLWESnapshot> activated_, pending_, launched_;
  std::map<std::string, std::weak_ptr<TLWEClient>> clients_;
  std::map<std::string, std::map<std::string, platform::Value, std::less<>>> defaults_;
};

// The library's own client as the remote configuration sees it (TLWExperimentFlags).
class TLWEExperimentFlagsClient final : public TLWExperimentFlags {
 public:
  explicit TLWEExperimentFlagsClient(std::shared_ptr<TLWEManager> manager);

  bool registerClient(std::string_view sdkName, std::int64_t sdkVersion,
                      const std::map<std::string, std::int64_t>& defaultFlags,
                      std::weak_ptr<TLWExperimentClientDelegate> delegate) override;
  [[nodiscard]] bool activateLatestSnapshot(TLWError* error) override;
  platform::Value flagValue(std::string_view flagName) const override;
  std::vector<std::int64_t> experimentIDs() const override;
  void reset() override;

 private:
  const std::shared_ptr<TLWEManager> manager_;
  mutable std::mutex mutex_;
  std::shared_ptr<TLWEClient> client_;
};
