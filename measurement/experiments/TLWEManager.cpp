#include "measurement/experiments/TLWEManager.h"

#include <algorithm>
#include <cmath>

#include "measurement/config/TLWIdentity.h"
#include "measurement/config/TLWServiceEndpoint.h"
#include "measurement/experiments/TLWEExperimentRequestBuilder.h"
#include "measurement/monitor/TLWMonitor.h"

// ---------------------------------------------------------------------------
// TLWEClient

TLWEClient::TLWEClient(TLWESDKProperty property, std::map<std::string, platform::Value, std::less<>> defaultFlags,
                       std::shared_ptr<TLWEManager> manager, std::weak_ptr<TLWExperimentClientDelegate> delegate)
    : property_(std::move(property)),
      defaultFlags_(std::move(defaultFlags)),
      manager_(std::move(manager)),
      delegate_(std::move(delegate)),
      hasDelegate_(!delegate_.expired()) {}

platform::Value TLWEClient::valueForFlag(std::string_view flagName) const {
  if (flagName.empty()) {
    TLWMonitor::sharedInstance()->logWithLevel(3, 830002, "Cannot get value for empty flag name");
    return {};
  }
  if (!defaultFlags_.contains(flagName)) {
    TLWMonitor::sharedInstance()->logWithLevel(3, 830003, "Cannot get flag value of an invalid flag name",
                                               platform::Value(std::string(flagName)));
    return {};
  }
  return manager_->flagValueForFlagName(flagName, property_.name);
}

bool TLWEClient::activateLatestSnapshot(TLWError* error) const {
  return manager_->activateSnapshotOfSDK(property_.name, error);
}

bool TLWEClient::hasStaleSnapshot() const { return manager_->activatedSnapshotStatusOfSDKName(property_.name) == 1; }

void TLWEClient::resetToDefaults() const { manager_->resetToDefaultsOfSDKName(property_.name); }

// ---------------------------------------------------------------------------
// TLWEManager

std::shared_ptr<TLWEManager> TLWEManager::sharedInstance() {
  // Never destroyed: library threads may still use it while the process exits.
  static const auto& instance = *new auto([] {
    auto manager = create({});
    manager->start();
    return manager;
  }());
  return instance;
}

std::shared_ptr<TLWEManager> TLWEManager::create(Dependencies dependencies) {
  auto manager = std::make_shared<TLWEManager>(Private{}, std::move(dependencies));
  manager->taskManager_->setDelegate(std::static_pointer_cast<TLWETaskManagerDelegate>(manager));
  return manager;
}

TLWEManager::TLWEManager(Private, Dependencies dependencies)
    : env_(dependencies.env ? dependencies.env : platform::Environment::current()),
      monitor_(dependencies.monitor ? dependencies.monitor : TLWMonitor::sharedInstance()),
      queue_(platform::DispatchQueue::create(kTLWEManagerQueueLabel, platform::QueuePriority::Background)) {
  if (!dependencies.appInstanceID) {
    dependencies.appInstanceID = [] {
      auto identity = TLWIdentity::sharedInstance();
      return identity ? identity->appInstanceID() : std::nullopt;
    };
  }
  if (!dependencies.isFromAppStore) {
    dependencies.isFromAppStore = [] {
      auto identity = TLWIdentity::sharedInstance();
      return identity && identity->isFromAppStore();
    };
  }
  requestBuilder_ = std::make_shared<TLWEExperimentRequestBuilder>(TLWEExperimentRequestBuilder::Dependencies{
      env_, std::move(dependencies.appInstanceID), std::move(dependencies.isFromAppStore)});
  std::string path = dependencies.databasePath;
  if (path.empty()) {
    const std::string folder = env_->sandbox()->applicationSupportDirectory() + "/Vorlix/Experiments";
    (void)env_->fileSystem()->createDirectories(folder);
    path = folder + "/tally-wise-experiments.sql";
  }
  taskManager_ = TLWETaskManager::create(
      {env_, monitor_, requestBuilder_,
       dependencies.serviceBaseURL.empty() ? TLWServiceEndpoint::baseURL(env_, monitor_) : dependencies.serviceBaseURL,
       path, std::move(dependencies.network)});
}

void TLWEManager::start() { taskManager_->startTaskManager(); }

void TLWEManager::log(std::int64_t level, std::int64_t code, std::string_view message,
                      const platform::Value& context1, const platform::Value& context2) const {
  if (!context2.isNull()) {
    monitor_->logWithLevel(level, code, message, context1, context2);
  } else if (!context1.isNull()) {
    monitor_->logWithLevel(level, code, message, context1);
  } else {
    monitor_->logWithLevel(level, code, message);
  }
}

void TLWEManager::onQueue(const std::function<void()>& block) {
  if (!queue_->sync(block)) log(0, 800030, "Experiment manager called from its own queue. Call dropped");
}

std::shared_ptr<TLWEClient> TLWEManager::registerSDKProperty(
    const TLWESDKProperty& property, const std::map<std::string, platform::Value, std::less<>>& defaultFlags,
    std::weak_ptr<TLWExperimentClientDelegate> delegate) {
  if (property.name.empty()) {
    log(0, 800001, "Cannot register experiment client with no SDK name");
    return nullptr;
  }
  for (const auto& [name, value] : defaultFlags) {
    if (name.empty() || !(value.isString() || (value.isNumber() && !value.isBool()))) {
      log(0, 800002, "Cannot register experiment client invalid flags. Flag name, value", platform::Value(name), value);
      return nullptr;
    }
  }
  auto client = std::make_shared<TLWEClient>(property, defaultFlags, shared_from_this(), std::move(delegate));
  onQueue([&] {
    if (clients_.contains(property.name)) {
      log(3, 800003, "Registered an SDK that has already registered. Default flags will be overwritten. SDK name",
          platform::Value(property.name));
    }
    clients_[property.name] = client;
    defaults_[property.name] = defaultFlags;
    requestBuilder_->addSDKProperty(property);
    log(8, 800005, "Registered client", platform::Value(property.name));
  });
  return client;
}

std::shared_ptr<TLWEClient> TLWEManager::clientForSDKName(const std::string& sdkName) {
  std::shared_ptr<TLWEClient> client;
  onQueue([&] {
    if (auto it = clients_.find(sdkName); it != clients_.end()) client = it->second.lock();
  });
  return client;
}

std::vector<std::int64_t> TLWEManager::experimentIDs() {
  std::vector<std::int64_t> ids;
  onQueue([&] {
    for (const auto& [name, weakClient] : clients_) {
      auto client = weakClient.lock();
      if (!client || client->SDKProperty().diversionKey) continue;
      auto it = activated_.find(name);
      if (it == activated_.end()) continue;
      for (const auto& experiment : it->second.experiments) ids.push_back(experiment.experimentID);
    }
  });
  std::sort(ids.begin(), ids.end());
  return ids;
}

platform::Value TLWEManager::snapshotFlagValue(std::string_view flagName, std::string_view sdkName) {
  platform::Value value;
  const std::string sdk(sdkName), flag(flagName);
  if (sdk.empty() || flag.empty()) return value;
  onQueue([&] {
    auto defaults = defaults_.find(sdk);
    if (defaults == defaults_.end() || !defaults->second.contains(flag)) return;  // not a flag of the SDK
    if (auto it = activated_.find(sdk); it != activated_.end()) value = it->second.flagByName(flag);
    if (!value.isNull()) return;
    if (auto it = launched_.find(sdk); it != launched_.end()) value = it->second.flagByName(flag);
  });
  return value;
}

platform::Value TLWEManager::flagValueForFlagName(std::string_view flagName, std::string_view sdkName) {
  if (sdkName.empty()) {
    log(3, 800010, "Cannot retrieve flag value for empty SDK name");
    return {};
  }
  if (flagName.empty()) {
    log(3, 800011, "Cannot retrieve flag value for empty flag name");
    return {};
  }
  platform::Value value;
  const std::string sdk(sdkName), flag(flagName);
  onQueue([&] {
    auto defaults = defaults_.find(sdk);
    if (defaults == defaults_.end() || !defaults->second.contains(flag)) {
      log(3, 800014, "Cannot get flag for unregistered flag. SDK name, flag name", platform::Value(sdk),
          platform::Value(flag));
      return;
    }
    if (auto it = activated_.find(sdk); it != activated_.end()) {
      value = it->second.flagByName(flag);
      log(8, 800015, "Looking for activated flag. SDK name, flag name, activated snapshot", platform::Value(sdk),
          platform::Value(flag));
      if (!value.isNull()) return;
    }
    if (auto it = launched_.find(sdk); it != launched_.end()) {
      value = it->second.flagByName(flag);
      log(8, 800016, "Cannot find activated flag. Looking for launched flag. SDK name, flag name, launched flag",
          platform::Value(sdk), platform::Value(flag));
      if (!value.isNull()) return;
    }
    value = defaults->second.at(flag);
    log(8, 800019, "Cannot find launched flag. Returned the default flag value. SDK name, flag name, default flag",
        platform::Value(sdk), platform::Value(flag));
  });
  return value;
}

bool TLWEManager::activateSnapshotOfSDK(const std::string& sdkName, TLWError* error) {
  if (sdkName.empty()) {
    if (error) *error = TLWError(std::string(kTLWExperimentErrorDomain), 800022);
    log(3, 800022, "SDK name cannot be empty");
    return false;
  }
  // What the database held at start must be known before a snapshot is looked for (the
  // library activates at start-up, while the task manager may still be loading).
  if (!taskManager_->workerQueue()->isCurrent()) (void)taskManager_->workerQueue()->sync([] {});
  std::optional<TLWESnapshot> toPersist;
  onQueue([&] {
    auto pending = pending_.find(sdkName);
    if (pending == pending_.end()) {
      log(3, 800023, "No pending snapshot to activate. SDK name", platform::Value(sdkName));
      return;
    }
    const double now = env_->clock()->now();
    TLWESnapshot activated{sdkName, {}, now, pending->second.manuallyActivated};
    TLWESnapshot launched = activated;
    for (const auto& experiment : pending->second.experiments) {
      (experiment.experimentID == 0 ? launched : activated).experiments.push_back(experiment);
    }
    if (!launched.experiments.empty()) launched_[sdkName] = launched;
    activated_[sdkName] = activated;
    toPersist = pending->second;
    toPersist->timestamp = now;
    pending_.erase(pending);
    log(8, 800028, "Successfully activated a snapshot of SDK", platform::Value(sdkName));
  });
  if (!toPersist) {
    if (error) *error = TLWError(std::string(kTLWExperimentErrorDomain), 800023);
    return false;
  }
  if (!taskManager_->activatePendingSnapshot(*toPersist, toPersist->timestamp)) {
    // In force for this run; the stored pending snapshot is activated again next start.
    if (error) *error = TLWError(std::string(kTLWExperimentErrorDomain), 820014);
  }
  return true;
}

std::int64_t TLWEManager::activatedSnapshotStatusOfSDKName(const std::string& sdkName) {
  std::int64_t status = -1;
  onQueue([&] {
    if (!clients_.contains(sdkName)) return;
    auto it = activated_.find(sdkName);
    if (it == activated_.end() || it->second.timestamp == 0) {
      status = -2;
      return;
    }
    status = env_->clock()->now() - it->second.timestamp > kTLWEStaleSnapshotSeconds ? 1 : 0;
  });
  return status;
}

void TLWEManager::resetToDefaultsOfSDKName(const std::string& sdkName) {
  taskManager_->resetToDefaultsForSDKName(sdkName);
  onQueue([&] { activated_.erase(sdkName); });
}

void TLWEManager::reset() {
  onQueue([&] {
    activated_.clear();
    pending_.clear();
    launched_.clear();
  });
  taskManager_->reset();
}

bool TLWEManager::taskManagerShouldFetchExperiments() {
  bool should = false;
  std::vector<std::shared_ptr<TLWEClient>> clients;
  onQueue([&] {
    for (const auto& [name, weak] : clients_) {
      if (auto client = weak.lock()) clients.push_back(client);
    }
  });
  for (const auto& client : clients) {
    auto delegate = client->delegate();
    // A delegate that has gone away (its engine was released) wants nothing fetched.
    if (delegate ? delegate->shouldFetchExperimentsForClient() : !client->hasDelegate()) should = true;
  }
  return should;
}

void TLWEManager::taskManagerDidStart(const std::vector<TLWESnapshot>& activated,
                                      const std::vector<TLWESnapshot>& pending,
                                      const std::vector<TLWESnapshot>& launched) {
  onQueue([&] {
    for (const auto& s : activated) activated_[s.SDKName] = s;
    for (const auto& s : pending) pending_[s.SDKName] = s;
    for (const auto& s : launched) launched_[s.SDKName] = s;
  });
}

void TLWEManager::taskManagerDidFinishFetching(const std::vector<TLWESnapshot>& snapshots,
                                               const std::map<std::string, TLWError>& errors) {
  std::vector<TLWESnapshot> manual;
  std::vector<std::shared_ptr<TLWExperimentClientDelegate>> toNotify;
  std::vector<std::pair<std::shared_ptr<TLWExperimentClientDelegate>, TLWError>> toFail;
  onQueue([&] {
    if (snapshots.empty()) log(3, 800020, "No pending snapshots to notify the clients");
    for (auto snapshot : snapshots) {
      auto client = clients_.contains(snapshot.SDKName) ? clients_[snapshot.SDKName].lock() : nullptr;
      auto delegate = client ? client->delegate() : nullptr;
      if (delegate) {
        snapshot.manuallyActivated = true;
        manual.push_back(snapshot);
        toNotify.push_back(delegate);
      }
      pending_[snapshot.SDKName] = std::move(snapshot);
    }
    for (const auto& [name, error] : errors) {
      auto client = clients_.contains(name) ? clients_[name].lock() : nullptr;
      if (auto delegate = client ? client->delegate() : nullptr) toFail.emplace_back(delegate, error);
    }
  });
  for (const auto& [delegate, error] : toFail) delegate->clientDidReceiveFetchError(error);
  if (!manual.empty()) (void)taskManager_->upsertPendingSnapshotsOnWorkerQueue(manual);
  for (const auto& delegate : toNotify) delegate->clientDidReceiveNewSnapshot();
}

// ---------------------------------------------------------------------------
// TLWEExperimentFlagsClient

TLWEExperimentFlagsClient::TLWEExperimentFlagsClient(std::shared_ptr<TLWEManager> manager)
    : manager_(std::move(manager)) {}

bool TLWEExperimentFlagsClient::registerClient(std::string_view sdkName, std::int64_t sdkVersion,
                                               const std::map<std::string, std::int64_t>& defaultFlags,
                                               std::weak_ptr<TLWExperimentClientDelegate> delegate) {
  TLWESDKProperty property;
  property.name = std::string(sdkName);
  property.version = sdkVersion;
  std::map<std::string, platform::Value, std::less<>> defaults;
  for (const auto& [name, value] : defaultFlags) defaults.emplace(name, platform::Value(value));
  auto client = manager_->registerSDKProperty(property, defaults, std::move(delegate));
  std::lock_guard lock(mutex_);
  client_ = client;
  return client != nullptr;
}

bool TLWEExperimentFlagsClient::activateLatestSnapshot(TLWError* error) {
  std::shared_ptr<TLWEClient> client;
  {
    std::lock_guard lock(mutex_);
    client = client_;
  }
  return client && client->activateLatestSnapshot(error);
}

platform::Value TLWEExperimentFlagsClient::flagValue(std::string_view flagName) const {
  std::shared_ptr<TLWEClient> client;
  {
    std::lock_guard lock(mutex_);
    client = client_;
  }
  // Only what a snapshot sets: the registered default (0) would hide the configuration's
  // setting, which applies when no experiment sets the flag.
  return client ? manager_->snapshotFlagValue(flagName, client->SDKName()) : platform::Value();
}

std::vector<std::int64_t> TLWEExperimentFlagsClient::experimentIDs() const { return manager_->experimentIDs(); }

void TLWEExperimentFlagsClient::reset() { manager_->reset(); }
