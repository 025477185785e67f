#include "measurement/audience/TLWAudienceTimestampsCache.h"

#include <algorithm>
#include <cmath>

#include "measurement/monitor/TLWMonitor.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"

namespace {
std::int64_t wholeSeconds(double t) {
  if (!std::isfinite(t)) return 0;
  if (t >= 9.2e18) return INT64_MAX;
  if (t <= -9.2e18) return INT64_MIN;
  return static_cast<std::int64_t>(t);
}
}  // namespace

std::shared_ptr<TLWSequenceTimestampsCache> TLWSequenceTimestampsCache::initWithAudienceID(
    std::optional<std::int32_t> audienceID, std::shared_ptr<TLWMonitor> monitor) {
  if (!audienceID) return nullptr;
  return std::make_shared<TLWSequenceTimestampsCache>(*audienceID, std::move(monitor));
}

TLWSequenceTimestampsCache::TLWSequenceTimestampsCache(std::int32_t audienceID, std::shared_ptr<TLWMonitor> monitor)
    : audienceID_(audienceID), monitor_(monitor ? std::move(monitor) : TLWMonitor::sharedInstance()) {}

const std::vector<double>* TLWSequenceTimestampsCache::sequenceTimestampsForFilterID(std::int32_t filterID) const {
  auto found = timestamps_.find(filterID);
  return found == timestamps_.end() ? nullptr : &found->second;
}

void TLWSequenceTimestampsCache::addEventFilterTimestamp(double t, std::int32_t filterID) {
  auto& list = timestamps_[filterID];
  if (!list.empty()) {
    if (wholeSeconds(list.back()) == wholeSeconds(t)) return;
    if (t < list.back()) {
      monitor_->logWithLevel(5, 42000, "Adding a sequence timestamp less than the last added timestamp");
    }
  }
  list.push_back(t);
}

void TLWSequenceTimestampsCache::setUserPropertyTimestamp(double t, std::int32_t filterID) {
  auto& list = timestamps_[filterID];
  if (!list.empty() && t < list.back()) {
    monitor_->logWithLevel(5, 42001, "Setting a sequence timestamp less than the last set timestamp");
  }
  list.assign(1, t);
}

std::vector<std::shared_ptr<TLWPBSequenceFilterResultTimestamp>>
TLWSequenceTimestampsCache::sequenceFilterResultTimestamps() const {
  using S = TLWPBSequenceFilterResultTimestamp;
  std::vector<std::shared_ptr<S>> out;
  for (const auto& [filterID, list] : timestamps_) {
    std::vector<double> sorted = list;
    std::sort(sorted.begin(), sorted.end());
    platform::Array seconds;
    for (double t : sorted) seconds.push_back(platform::Value(wholeSeconds(t)));
    auto entry = S::initWithMessageInfo();
    entry->SetInt32(S::kFilterId, filterID);
    entry->SetRepeated(S::kEvalTimestamps, seconds);
    out.push_back(std::move(entry));
  }
  return out;
}

TLWAudienceTimestampsCache::TLWAudienceTimestampsCache(std::shared_ptr<TLWMonitor> monitor)
    : monitor_(monitor ? std::move(monitor) : TLWMonitor::sharedInstance()) {}

void TLWAudienceTimestampsCache::populateCachedTimestamps(const TLWPBResultData* results, std::int32_t audienceID) {
  if (!populated_.insert(audienceID).second) return;
  auto sequence = std::make_shared<TLWSequenceTimestampsCache>(audienceID, monitor_);
  if (results) {
    auto& dynamic = dynamic_[audienceID];
    for (const auto& entry :
         results->GetRepeated<TLWPBDynamicFilterResultTimestamp>(TLWPBResultData::kDynamicFilterTimestamps)) {
      dynamic[entry->GetInt32(TLWPBDynamicFilterResultTimestamp::kFilterId)] =
          static_cast<double>(entry->GetInt64(TLWPBDynamicFilterResultTimestamp::kTimestamp));
    }
    for (const auto& entry :
         results->GetRepeated<TLWPBSequenceFilterResultTimestamp>(TLWPBResultData::kSequenceFilterTimestamps)) {
      auto list = entry->GetRepeated(TLWPBSequenceFilterResultTimestamp::kEvalTimestamps);
      if (list.empty()) continue;
      sequence->addEventFilterTimestamp(static_cast<double>(list.back().int64Value().value_or(0)),
                                        entry->GetInt32(TLWPBSequenceFilterResultTimestamp::kFilterId));
    }
  }
  sequences_[audienceID] = std::move(sequence);
}

void TLWAudienceTimestampsCache::addEvaluationTimestamp(double t, const TLWFilterTimestampKind& filter) {
  if (filter.sequence) {
    auto& sequence = sequences_[filter.audienceID];
    if (!sequence) sequence = std::make_shared<TLWSequenceTimestampsCache>(filter.audienceID, monitor_);
    if (filter.isEventFilter) {
      sequence->addEventFilterTimestamp(t, filter.filterID);
    } else {
      sequence->setUserPropertyTimestamp(t, filter.filterID);
    }
    return;
  }
  if (!filter.dynamic && !filter.sessionScoped) return;
  auto& dynamic = dynamic_[filter.audienceID];
  auto found = dynamic.find(filter.filterID);
  if (found == dynamic.end() || found->second < t) {
    dynamic[filter.filterID] = t;
  } else {
    monitor_->logWithLevel(5, 6037, "Candidate evaluation timestamp is earlier than cached evaluation timestamp");
  }
}

bool TLWAudienceTimestampsCache::hasDynamicTimestamps(std::int32_t audienceID) const {
  auto found = dynamic_.find(audienceID);
  return found != dynamic_.end() && !found->second.empty();
}

bool TLWAudienceTimestampsCache::hasSequenceTimestamps(std::int32_t audienceID) const {
  auto found = sequences_.find(audienceID);
  return found != sequences_.end() && found->second && !found->second->sequenceFilterResultTimestamps().empty();
}

std::vector<std::shared_ptr<TLWPBDynamicFilterResultTimestamp>>
TLWAudienceTimestampsCache::dynamicTimestampsForAudienceID(std::int32_t audienceID) const {
  using D = TLWPBDynamicFilterResultTimestamp;
  std::vector<std::shared_ptr<D>> out;
  auto found = dynamic_.find(audienceID);
  if (found == dynamic_.end()) return out;
  for (const auto& [filterID, t] : found->second) {
    auto entry = D::initWithMessageInfo();
    entry->SetInt32(D::kFilterId, filterID);
    entry->SetInt64(D::kTimestamp, wholeSeconds(t));
    out.push_back(std::move(entry));
  }
  return out;
}

std::vector<std::shared_ptr<TLWPBSequenceFilterResultTimestamp>>
TLWAudienceTimestampsCache::sequenceTimestampsForAudienceID(std::int32_t audienceID) const {
  auto found = sequences_.find(audienceID);
  if (found == sequences_.end() || !found->second) return {};
  return found->second->sequenceFilterResultTimestamps();
}
