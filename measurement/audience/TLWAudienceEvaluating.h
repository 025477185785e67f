#pragma once
// TLWAudienceEvaluating: what bundle assembly asks of on-device audience evaluation. The
// evaluator feeds each bundled event and user property through the stored filters, clears
// session-scoped results when a session starts and hands out the per-audience results a
// bundle carries.
//
// Thread-safety: worker queue only, inside the bundling transaction.
// Ownership: the engine owns the evaluator; bundling holds it strongly.
// Failure: every operation answers false / nullopt after logging its own message; the
// bundling transaction then rolls back.
//
// The default implementation evaluates nothing and answers success with no results, so a
// bundle carries no audience_evaluation_results.

#include <memory>
#include <optional>
#include <vector>

class TLWEvent;
class TLWEventAggregates;
class TLWPBAudienceLeafFilterResult;
class TLWPBUserAttribute;

// The dynamic and sequence evaluation timestamps carried through one bundling pass. Opaque
// here; the evaluator that makes it knows its shape.
class TLWAudienceTimestampsCache {
 public:
  virtual ~TLWAudienceTimestampsCache() = default;
};

class TLWAudienceEvaluating {
 public:
  virtual ~TLWAudienceEvaluating() = default;

  // A fresh cache for one bundling pass (null is allowed and passed back as given).
  virtual std::shared_ptr<TLWAudienceTimestampsCache> makeAudienceTimestampsCache() { return nullptr; }

  // clearEvaluationResultsForSessionScopedFilters.
  virtual bool clearEvaluationResultsForSessionScopedFilters() { return true; }

  // evaluateFiltersForEvent:eventAggregates:audienceTimestampsCache:.
  virtual bool evaluateFiltersForEvent(const TLWEvent& event, const TLWEventAggregates& aggregates,
                                       TLWAudienceTimestampsCache* cache) {
    (void)event;
    (void)aggregates;
    (void)cache;
    return true;
  }

  // evaluateFiltersForNanoUserProperty:audienceTimestampsCache:evaluationTime:. Without an
  // evaluation time the property's own set time is used.
  virtual bool evaluateFiltersForNanoUserProperty(const TLWPBUserAttribute& property,
                                                  TLWAudienceTimestampsCache* cache,
                                                  std::optional<double> evaluationTime) {
    (void)property;
    (void)cache;
    (void)evaluationTime;
    return true;
  }

  // resultsForBundling:. nullopt on failure; an empty list when no audience has results.
  virtual std::optional<std::vector<std::shared_ptr<TLWPBAudienceLeafFilterResult>>> resultsForBundling() {
    return std::vector<std::shared_ptr<TLWPBAudienceLeafFilterResult>>{};
  }
};
