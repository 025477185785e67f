#pragma once
// TLWAudienceEvaluating: what bundle assembly asks of on-device audience evaluation. The
// evaluator feeds each bundled event and user property through the stored filters, clears
// session-scoped results when a session starts and hands out the per-audience results a
// bundle carries. TLWAudience is the implementation.
//
// Thread-safety: worker queue only, inside the bundling transaction.
// Ownership: the engine owns the evaluator; bundling holds it strongly.
// Failure: every operation answers false / nullopt after logging its own message; the
// bundling transaction then rolls back.

#include <memory>
#include <optional>
#include <vector>

class TLWEvent;
class TLWEventAggregates;
class TLWPBAudienceLeafFilterResult;
class TLWPBUserAttribute;
// The evaluation timestamps carried through one bundling pass (TLWAudienceTimestampsCache.h).
class TLWAudienceTimestampsCache;

class TLWAudienceEvaluating {
 public:
  virtual ~TLWAudienceEvaluating() = default;

  // A fresh cache for one bundling pass (null is allowed and passed back as given).
  virtual std::shared_ptr<TLWAudienceTimestampsCache> makeAudienceTimestampsCache() = 0;

  // clearEvaluationResultsForSessionScopedFilters.
  virtual bool clearEvaluationResultsForSessionScopedFilters() = 0;

  // evaluateFiltersForEvent:eventAggregates:audienceTimestampsCache:.
  virtual bool evaluateFiltersForEvent(const TLWEvent& event, const TLWEventAggregates& aggregates,
                                       TLWAudienceTimestampsCache* cache) = 0;

  // evaluateFiltersForNanoUserProperty:audienceTimestampsCache:evaluationTime:. Without an
  // evaluation time the property's own set time is used.
  virtual bool evaluateFiltersForNanoUserProperty(const TLWPBUserAttribute& property,
                                                  TLWAudienceTimestampsCache* cache,
                                                  std::optional<double> evaluationTime) = 0;

  // resultsForBundling:. nullopt on failure; an empty list when no audience has results.
  virtual std::optional<std::vector<std::shared_ptr<TLWPBAudienceLeafFilterResult>>> resultsForBundling() = 0;
};
