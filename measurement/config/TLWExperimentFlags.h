#pragma once
// TLWExperimentFlags: what the remote configuration needs of the SDK-experiment client
// registered for this library. Snapshot flags override a few settings; new snapshots are
// activated when the engine asks (activateNewSnapshot). Without an experiment manager the
// remote configuration holds none and every setting reads from the configuration alone.
//
// Thread-safety: implementations are called from any thread and must be safe for that.
// Ownership: the remote configuration holds the client strongly and is registered as its
// delegate weakly; a delegate that is gone is simply not told.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/monitor/TLWError.h"
#include "platform/Value.h"

// What the experiment client tells the library (implemented by TLWRemoteConfig).
class TLWExperimentClientDelegate {
 public:
  virtual ~TLWExperimentClientDelegate() = default;
  // A fetched snapshot waits to be activated.
  virtual void clientDidReceiveNewSnapshot() = 0;
  virtual void clientDidReceiveFetchError(const TLWError& error) = 0;
  // Whether fetching is wanted now.
  virtual bool shouldFetchExperimentsForClient() = 0;
};

// The library's experiment client, as the remote configuration uses it.
class TLWExperimentFlags {
 public:
  virtual ~TLWExperimentFlags() = default;

  // Registers the library as an SDK ("tally_wise", its numeric version, e.g. 80901) with
  // its default flags. Called once by the remote configuration's initialiser; false when
  // refused.
  virtual bool registerClient(std::string_view sdkName, std::int64_t sdkVersion,
                              const std::map<std::string, std::int64_t>& defaultFlags,
                              std::weak_ptr<TLWExperimentClientDelegate> delegate) = 0;
  // Activates the latest stored snapshot; false and `error` on failure.
  [[nodiscard]] virtual bool activateLatestSnapshot(TLWError* error) = 0;
  // The flag's value in force (a number, string or bool), or null when the flag is absent.
  virtual platform::Value flagValue(std::string_view flagName) const = 0;
  // The experiment IDs of the active snapshot, ascending.
  virtual std::vector<std::int64_t> experimentIDs() const = 0;
  // Forgets activated snapshots (data reset).
  virtual void reset() = 0;
};
