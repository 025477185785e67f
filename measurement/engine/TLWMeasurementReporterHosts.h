#pragma once
// The engine's side of the purchase, campaign and search-ad reporters: what only the
// engine knows (its database, configuration, identity, network, internal-event path),
// offered through the reporters' own host interfaces, and the wiring that gives an engine
// the real reporters unless its dependencies name others.
//
// Thread-safety: any thread; each operation asks the engine as the reporter's contract
// says (the worker-queue ones are called on the worker queue).
//
// Ownership: the reporters hold the host strongly; it holds the engine weakly and does
// nothing once the engine is gone (or before attach).

#include <memory>
#include <mutex>

#include "measurement/reporters/TLWCampaignReporter.h"

class TLWDatabase;
class TLWMeasurement;
struct TLWMeasurementDependencies;

class TLWMeasurementReporterHosts final : public TLWCampaignHost {
 public:
  void attach(const std::shared_ptr<TLWMeasurement>& engine);

  void handleInternalEventOnWorkerQueue(std::shared_ptr<TLWEvent> event) override;
  void setUserPropertyInDatabaseOnWorkerQueue(std::shared_ptr<TLWUserAttribute> attribute) override;
  void updateSchedule() override;
  void setNetworkRequestPending(bool pending) override;
  bool shouldUseBackgroundSession() override;
  std::shared_ptr<TLWRemoteConfig> remoteConfig() override;
  std::shared_ptr<TLWIdentity> identity() override;
  std::shared_ptr<platform::VXLNetwork> network() override;
  // Worker queue; null before start-up.
  TLWDatabase* database();

 private:
  std::shared_ptr<TLWMeasurement> engine() const;
  mutable std::mutex mutex_;
  std::weak_ptr<TLWMeasurement> engine_;
};

// Gives `dependencies` the real campaign, purchase and search-ad reporters where it names
// none. Needs its environment, scheduler, persisted configuration, monitor and front
// controller set. The returned host is attached to the engine once it exists.
std::shared_ptr<TLWMeasurementReporterHosts> TLWMeasurementAddDefaultReporters(TLWMeasurementDependencies& dependencies);
