#pragma once
// TLWAudience: on-device audience evaluation. It saves the audience definitions of a new
// configuration as filter rows (inside the configuration's save transaction), evaluates
// those filters as bundle assembly feeds it events and user properties, clears the
// session-scoped results when a session starts, and produces the per-audience results
// each bundle carries. Per audience it keeps one result record: which filters have been
// evaluated (`status` bits), which are true (`results` bits), and the timestamps of
// dynamic, session-scoped and sequence filters.
//
// Thread-safety: worker queue only; no locks of its own.
// Ownership: the engine owns it; the remote configuration holds it as its audience sink
// and bundling as its evaluator. It holds the database strongly and the remote
// configuration (for its limits) weakly, since that holds it back.
// Failure: every database failure is logged with its code and fails the operation, so the
// surrounding transaction rolls back; filters that cannot be evaluated leave their bits
// untouched.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "measurement/audience/TLWAudienceEvaluating.h"
#include "measurement/audience/TLWAudienceFilterEvaluator.h"
#include "measurement/audience/TLWAudienceTimestampsCache.h"
#include "measurement/config/TLWAudienceDefinitionSink.h"
#include "measurement/model/TLWValue.h"

class TLWDatabase;
class TLWFilterResult;
class TLWMonitor;
class TLWPBAudience;
class TLWPBResultData;
class TLWRemoteConfig;
class TLWUserAttribute;

class TLWAudience final : public TLWAudienceEvaluating, public TLWAudienceDefinitionSink {
 public:
  // Error codes of refused definitions (library error domain).
  static constexpr std::int64_t kAudienceErrorCode = 9;
  static constexpr std::int64_t kEventFilterErrorCode = 10;
  static constexpr std::int64_t kPropertyFilterErrorCode = 11;

  // initWithDatabase:. Null without a database. A null remote configuration means the
  // default limits.
  static std::shared_ptr<TLWAudience> initWithDatabase(std::shared_ptr<TLWDatabase> database,
                                                       std::weak_ptr<TLWRemoteConfig> remoteConfig = {},
                                                       std::shared_ptr<TLWMonitor> monitor = nullptr);
  TLWAudience(std::shared_ptr<TLWDatabase> database, std::weak_ptr<TLWRemoteConfig> remoteConfig,
              std::shared_ptr<TLWMonitor> monitor);

  // TLWAudienceDefinitionSink: validates and stores the definitions (invalid audiences are
  // skipped; too many audiences refuses all of them and keeps the old ones).
  bool updateAudiences(const std::vector<std::shared_ptr<TLWPBAudience>>& audiences, TLWError* error) override;
  // Trims results of audiences no longer defined when there are too many.
  bool maybeDeleteStaleFilterResults(const std::set<std::int32_t>& newAudienceIDs);

  // TLWAudienceEvaluating.
  std::shared_ptr<TLWAudienceTimestampsCache> makeAudienceTimestampsCache() override;
  bool clearEvaluationResultsForSessionScopedFilters() override;
  bool evaluateFiltersForEvent(const TLWEvent& event, const TLWEventAggregates& aggregates,
                               TLWAudienceTimestampsCache* cache) override;
  bool evaluateFiltersForNanoUserProperty(const TLWPBUserAttribute& property, TLWAudienceTimestampsCache* cache,
                                          std::optional<double> evaluationTime) override;
  std::optional<std::vector<std::shared_ptr<TLWPBAudienceLeafFilterResult>>> resultsForBundling() override;

  bool evaluateFiltersForEventName(const std::string& name, const TLWParameters& parameters,
                                   const TLWEventAggregates& aggregates, double eventTimestamp,
                                   TLWAudienceTimestampsCache* cache);
  bool evaluateFiltersForUserProperty(const TLWUserAttribute& property, TLWAudienceTimestampsCache* cache,
                                      double evaluationTimestamp);

  // Bit f of the current results is set in both `status` and `results`.
  bool isFilterResultTrue(const TLWFilterResult* result, std::int32_t filterID) const;
  // The record with filter f's bits written (set in `status` when `value` is present, in
  // `results` when it is true) and the cache's timestamps of the audience.
  std::shared_ptr<TLWFilterResult> updatedFilterResult(std::int32_t filterID, std::int32_t audienceID,
                                                       const TLWFilterResult* current,
                                                       std::optional<bool> value,
                                                       const TLWAudienceTimestampsCache* cache) const;

  const TLWAudienceFilterEvaluator& filterEvaluator() const { return evaluator_; }

 private:
  struct Limits {
    std::int32_t maxAudiences = 50;
    std::int32_t maxFiltersPerAudience = 10;
    std::int32_t maxParametersPerFilter = 25;
    std::int32_t maxFilterResults = 200;
  };
  Limits limits() const;
  // Empty when the audience is valid.
  std::optional<TLWError> validationError(const TLWPBAudience& audience, const Limits& limits,
                                          std::set<std::int32_t>& seenAudienceIDs) const;

  std::shared_ptr<TLWDatabase> database_;
  std::weak_ptr<TLWRemoteConfig> remoteConfig_;
  std::shared_ptr<TLWMonitor> monitor_;
  TLWAudienceFilterEvaluator evaluator_;
};
