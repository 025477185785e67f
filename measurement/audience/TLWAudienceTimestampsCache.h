#pragma once
// TLWAudienceTimestampsCache and TLWSequenceTimestampsCache: the evaluation timestamps of
// dynamic, session-scoped and sequence filters, carried through one bundling pass so
// that every result record written in the pass holds all of them. The pass cache also
// remembers the filter rows and their decoded definitions read for each event name, which
// cannot change inside the bundling transaction.
//
// Thread-safety: none; one bundling pass on the worker queue uses it.
// Ownership: made by TLWAudience::makeAudienceTimestampsCache and dropped after the pass.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "measurement/audience/TLWAudienceFilterDefinitions.h"

class TLWEventFilter;
class TLWFilterResult;
class TLWMonitor;
class TLWPBDynamicFilterResultTimestamp;
class TLWPBResultData;
class TLWPBSequenceFilterResultTimestamp;

class TLWSequenceTimestampsCache {
 public:
  // Null without an audience ID.
  static std::shared_ptr<TLWSequenceTimestampsCache> initWithAudienceID(std::optional<std::int32_t> audienceID,
                                                                        std::shared_ptr<TLWMonitor> monitor = nullptr);
  explicit TLWSequenceTimestampsCache(std::int32_t audienceID, std::shared_ptr<TLWMonitor> monitor);

  std::int32_t audienceID() const { return audienceID_; }
  const std::vector<double>* sequenceTimestampsForFilterID(std::int32_t filterID) const;
  // Appends t unless it equals the last entry in whole seconds.
  void addEventFilterTimestamp(double t, std::int32_t filterID);
  // Makes t the only entry.
  void setUserPropertyTimestamp(double t, std::int32_t filterID);
  // Entries sorted by filter ID, each list ascending, in whole seconds.
  std::vector<std::shared_ptr<TLWPBSequenceFilterResultTimestamp>> sequenceFilterResultTimestamps() const;

 private:
  std::int32_t audienceID_;
  std::shared_ptr<TLWMonitor> monitor_;
  std::map<std::int32_t, std::vector<double>> timestamps_;
};

// What addEvaluationTimestamp needs to know of a filter.
struct TLWFilterTimestampKind {
  std::int32_t audienceID = 0;
  std::int32_t filterID = 0;
  bool isEventFilter = true;
  bool dynamic = false;
  bool sequence = false;
  bool sessionScoped = false;
};

class TLWAudienceTimestampsCache {
 public:
  explicit TLWAudienceTimestampsCache(std::shared_ptr<TLWMonitor> monitor = nullptr);

  // Loads the audience's stored timestamps once per cache.
  void populateCachedTimestamps(const TLWPBResultData* results, std::int32_t audienceID);
  bool isPopulated(std::int32_t audienceID) const { return populated_.count(audienceID) != 0; }
  void addEvaluationTimestamp(double t, const TLWFilterTimestampKind& filter);
  bool hasDynamicTimestamps(std::int32_t audienceID) const;
  bool hasSequenceTimestamps(std::int32_t audienceID) const;
  std::vector<std::shared_ptr<TLWPBDynamicFilterResultTimestamp>> dynamicTimestampsForAudienceID(
      std::int32_t audienceID) const;
  std::vector<std::shared_ptr<TLWPBSequenceFilterResultTimestamp>> sequenceTimestampsForAudienceID(
      std::int32_t audienceID) const;

  // The filter rows of one event name with their definitions (null when a row does not
  // decode), remembered for the pass.
  using EventFilterEntry = std::pair<std::shared_ptr<TLWEventFilter>, std::shared_ptr<TLWEventFilterDefinition>>;
  std::unordered_map<std::string, std::vector<EventFilterEntry>>& eventFiltersByName() { return eventFilters_; }
  // The result record of each audience as this pass last read or wrote it (null: none
  // stored), with its decoded `status` and `results` words. Only evaluation through this
  // cache writes result records during the pass, so the copy stays what the database holds.
  struct ResultEntry {
    std::shared_ptr<TLWFilterResult> record;
    std::vector<std::uint64_t> status;
    std::vector<std::uint64_t> results;
    bool decoded = false;
  };
  std::unordered_map<std::int32_t, ResultEntry>& resultsByAudience() { return results_; }

 private:
  std::shared_ptr<TLWMonitor> monitor_;
  std::set<std::int32_t> populated_;
  std::map<std::int32_t, std::map<std::int32_t, double>> dynamic_;
  std::map<std::int32_t, std::shared_ptr<TLWSequenceTimestampsCache>> sequences_;
  std::unordered_map<std::string, std::vector<EventFilterEntry>> eventFilters_;
  std::unordered_map<std::int32_t, ResultEntry> results_;
};
