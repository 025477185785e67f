#pragma once
// A do-nothing audience evaluator for tests that replace one step of it: evaluates
// nothing, answers success and no results.

#include "measurement/audience/TLWAudienceEvaluating.h"

class TLWNoAudienceEvaluation : public TLWAudienceEvaluating {
 public:
  std::shared_ptr<TLWAudienceTimestampsCache> makeAudienceTimestampsCache() override { return nullptr; }
  bool clearEvaluationResultsForSessionScopedFilters() override { return true; }
  bool evaluateFiltersForEvent(const TLWEvent&, const TLWEventAggregates&, TLWAudienceTimestampsCache*) override {
    return true;
  }
  bool evaluateFiltersForNanoUserProperty(const TLWPBUserAttribute&, TLWAudienceTimestampsCache*,
                                          std::optional<double>) override {
    return true;
  }
  std::optional<std::vector<std::shared_ptr<TLWPBAudienceLeafFilterResult>>> resultsForBundling() override {
    return std::vector<std::shared_ptr<TLWPBAudienceLeafFilterResult>>{};
  }
};
