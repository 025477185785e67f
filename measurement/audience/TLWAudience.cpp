#include "measurement/audience/TLWAudience.h"

#include <algorithm>
#include <cmath>

#include "measurement/config/TLWRemoteConfig.h"
#include "measurement/model/TLWAliasTables.h"
#include "measurement/model/TLWEvent.h"
#include "measurement/model/TLWEventAggregates.h"
#include "measurement/model/TLWUserAttribute.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "measurement/proto/TLWPBMeasurementConfig.h"
#include "measurement/storage/TLWDatabase.h"

using platform::Value;
using RD = TLWPBResultData;

namespace {
using Bytes = std::vector<std::uint8_t>;

std::vector<std::uint64_t> words(const TLWPBResultData& data, std::int32_t index) {
  std::vector<std::uint64_t> out;
  for (const auto& v : data.GetRepeated(index)) out.push_back(v.uint64Value().value_or(0));
  return out;
}

platform::Array wordValues(const std::vector<std::uint64_t>& words) {
  platform::Array out;
  out.reserve(words.size());
  for (auto w : words) out.push_back(Value(w));
  return out;
}

std::shared_ptr<TLWPBResultData> decodeResults(const Bytes& bytes) {
  if (bytes.empty()) return nullptr;
  return TLWPBResultData::initWithBuffer(std::span<const std::uint8_t>(bytes.data(), bytes.size()));
}

bool bitSet(const std::vector<std::uint64_t>& words, std::int32_t f) {
  const auto word = static_cast<std::size_t>(f / 64);
  return word < words.size() && (words[word] >> (f % 64)) & 1u;
}

bool anyBit(const std::vector<std::uint64_t>& words) {
  return std::any_of(words.begin(), words.end(), [](std::uint64_t w) { return w != 0; });
}

std::string aliased(const TLWAliasTables::Table& table, const std::string& name) {
  auto found = table.find(name);
  return found == table.end() ? name : found->second;
}

std::int32_t clampedLimit(std::int32_t value, std::int32_t fallback) { return value < 0 ? fallback : value; }
}  // namespace

std::shared_ptr<TLWAudience> TLWAudience::initWithDatabase(std::shared_ptr<TLWDatabase> database,
                                                           std::weak_ptr<TLWRemoteConfig> remoteConfig,
                                                           std::shared_ptr<TLWMonitor> monitor) {
  if (!database) return nullptr;
  return std::make_shared<TLWAudience>(std::move(database), std::move(remoteConfig), std::move(monitor));
}

TLWAudience::TLWAudience(std::shared_ptr<TLWDatabase> database, std::weak_ptr<TLWRemoteConfig> remoteConfig,
                         std::shared_ptr<TLWMonitor> monitor)
    : database_(std::move(database)),
      remoteConfig_(std::move(remoteConfig)),
      monitor_(monitor ? std::move(monitor) : TLWMonitor::sharedInstance()),
      evaluator_(monitor_) {}

TLWAudience::Limits TLWAudience::limits() const {
  Limits limits;
  if (auto config = remoteConfig_.lock()) {
    limits.maxAudiences = clampedLimit(config->maxAudienceCount(), limits.maxAudiences);
    limits.maxFiltersPerAudience = clampedLimit(config->maxFiltersPerAudience(), limits.maxFiltersPerAudience);
    limits.maxParametersPerFilter = clampedLimit(config->maxParametersPerFilter(), limits.maxParametersPerFilter);
    limits.maxFilterResults = clampedLimit(config->maxFilterResultCount(), limits.maxFilterResults);
  }
  return limits;
}

// ------------------------------------------------------------------ definitions

std::optional<TLWError> TLWAudience::validationError(const TLWPBAudience& audience, const Limits& limits,
                                                     std::set<std::int32_t>& seenAudienceIDs) const {
  using A = TLWPBAudience;
  auto audienceError = [](const char* d) { return TLWError::errorWithCode(kAudienceErrorCode, d); };
  auto eventError = [](const char* d) { return TLWError::errorWithCode(kEventFilterErrorCode, d); };
  auto propertyError = [](const char* d) { return TLWError::errorWithCode(kPropertyFilterErrorCode, d); };

  if (!audience.HasField(A::kAudienceId)) return audienceError("Missing audience ID");
  const std::int32_t audienceID = audience.GetInt32(A::kAudienceId);
  if (audienceID < 0) return audienceError("Audience ID is negative");
  if (!seenAudienceIDs.insert(audienceID).second) return audienceError("Duplicate audience ID");
  const auto eventFilters = audience.GetRepeated<TLWPBEventFilter>(A::kEventFilters);
  const auto propertyFilters = audience.GetRepeated<TLWPBPropertyFilter>(A::kPropertyFilters);
  if (eventFilters.empty() && propertyFilters.empty()) return audienceError("Audience missing filters arrays");
  const std::size_t total = eventFilters.size() + propertyFilters.size();
  if (total < 1 || total > static_cast<std::size_t>(limits.maxFiltersPerAudience)) {
    return audienceError("Audience filter count out of range");
  }

  std::set<std::int32_t> eventIDs;
  for (const auto& message : eventFilters) {
    const auto f = TLWEventFilterDefinition::fromMessage(*message);
    if (!f.eventName || f.eventName->empty()) return eventError("Event filter missing event name");
    if (!f.filterID) return eventError("Missing event filter ID");
    if (*f.filterID < 0 || *f.filterID >= limits.maxFiltersPerAudience) {
      return eventError("Event filter ID is out of range");
    }
    if (!eventIDs.insert(*f.filterID).second) return eventError("Duplicate event filter ID");
    if (f.countFilter) {
      if (f.countFilter->matchAsFloat.value_or(false)) return eventError("Event filter has float event count filter");
      if (!evaluator_.isValidNumberFilter(*f.countFilter)) return eventError("Event filter has invalid event count filter");
    }
    if (f.filters.size() > static_cast<std::size_t>(limits.maxParametersPerFilter)) {
      return eventError("Event filter parameters filters count out of range");
    }
    for (const auto& p : f.filters) {
      if (!p.paramName || p.paramName->empty()) return eventError("Event filter missing parameter name");
      if (p.numberFilter.has_value() == p.stringFilter.has_value()) {
        return eventError("Event filter must have exactly one of number or string filter");
      }
      if (p.numberFilter && !evaluator_.isValidNumberFilter(*p.numberFilter)) {
        return eventError("Event filter has invalid number filter");
      }
      if (p.stringFilter && !evaluator_.isValidStringFilter(*p.stringFilter)) {
        return eventError("Event filter has invalid string filter");
      }
    }
  }

  std::set<std::int32_t> propertyIDs;
  for (const auto& message : propertyFilters) {
    const auto f = TLWPropertyFilterDefinition::fromMessage(*message);
    if (!f.propertyName || f.propertyName->empty()) return propertyError("Property filter missing property name");
    if (!f.filterID) return propertyError("Missing property filter ID");
    if (*f.filterID < 0 || *f.filterID >= limits.maxFiltersPerAudience) {
      return propertyError("Property filter ID is out of range");
    }
    if (!propertyIDs.insert(*f.filterID).second) return propertyError("Duplicate property filter ID");
    if (!f.filter) return propertyError("Property filter has no filter");
    if (f.filter->numberFilter.has_value() == f.filter->stringFilter.has_value()) {
      return propertyError("Property filter must have exactly one of number or string filter");
    }
    if (f.filter->stringFilter && !evaluator_.isValidStringFilter(*f.filter->stringFilter)) {
      return propertyError("Property filter has invalid string filter");
    }
  }
  return std::nullopt;
}

bool TLWAudience::updateAudiences(const std::vector<std::shared_ptr<TLWPBAudience>>& audiences, TLWError* error) {
  using A = TLWPBAudience;
  using E = TLWPBEventFilter;
  using P = TLWPBPropertyFilter;
  using F = TLWPBFilter;
  // New definitions: patterns compiled or timed out under the old ones are forgotten.
  evaluator_.forgetPatterns();
  const Limits l = limits();
  if (audiences.size() > static_cast<std::size_t>(l.maxAudiences)) {
    monitor_->logWithLevel(2, 6008, "Configuration contains too many audiences. Audiences will not be saved. Audience count",
                           Value(static_cast<std::int64_t>(audiences.size())));
    TLWSetError(error, TLWError::errorWithCode(kAudienceErrorCode, "Configuration contains too many audiences"));
    return false;
  }
  std::vector<std::shared_ptr<TLWEventFilter>> eventRows;
  std::vector<std::shared_ptr<TLWPropertyFilter>> propertyRows;
  std::set<std::int32_t> newIDs;
  std::set<std::int32_t> seen;
  for (const auto& audience : audiences) {
    if (!audience) continue;
    if (auto invalid = validationError(*audience, l, seen)) {
      monitor_->logWithLevel(2, 6009, "Audience definition is invalid. Audience will not be saved. Audience, error",
                             Value(static_cast<std::int64_t>(audience->GetInt32(A::kAudienceId))), invalid->asValue());
      continue;
    }
    const std::int32_t audienceID = audience->GetInt32(A::kAudienceId);
    bool built = true;
    for (auto& filter : audience->GetRepeated<TLWPBEventFilter>(A::kEventFilters)) {
      filter->SetString(E::kEventName, aliased(TLWAliasTables::eventNameAliases(), *filter->GetString(E::kEventName)));
      auto parameters = filter->GetRepeated<TLWPBFilter>(E::kFilters);
      for (auto& p : parameters) {
        p->SetString(F::kParamName, aliased(TLWAliasTables::parameterNameAliases(), *p->GetString(F::kParamName)));
      }
      if (!parameters.empty()) filter->SetRepeated(E::kFilters, parameters);
      auto row = TLWEventFilter::filterWithAudienceID(audienceID, *filter);
      if (!row) {
        built = false;
        break;
      }
      eventRows.push_back(std::move(row));
    }
    for (auto& filter : audience->GetRepeated<TLWPBPropertyFilter>(A::kPropertyFilters)) {
      filter->SetString(P::kPropertyName,
                        aliased(TLWAliasTables::userPropertyNameAliases(), *filter->GetString(P::kPropertyName)));
      auto row = TLWPropertyFilter::filterWithAudienceID(audienceID, *filter);
      if (!row) {
        built = false;
        break;
      }
      propertyRows.push_back(std::move(row));
    }
    if (!built) {
      TLWSetError(error, TLWError::errorWithCode(kAudienceErrorCode, "Audience filter could not be serialised"));
      return false;
    }
    newIDs.insert(audienceID);
  }

  if (!maybeDeleteStaleFilterResults(newIDs)) {
    TLWSetError(error, TLWError::errorWithCode(kAudienceErrorCode, "Unable to trim audience filter results"));
    return false;
  }
  TLWError dbError;
  if (!database_->deleteAllEventFilters(&dbError)) {
    monitor_->logWithLevel(1, 6010, "Unable to delete existing Audience event filters. Audiences will not be saved. Error",
                           dbError.asValue());
    TLWSetError(error, dbError);
    return false;
  }
  if (!database_->deleteAllPropertyFilters(&dbError)) {
    monitor_->logWithLevel(1, 6011,
                           "Unable to delete existing Audience user property filters. Audiences will not be saved. Error",
                           dbError.asValue());
    TLWSetError(error, dbError);
    return false;
  }
  if (!eventRows.empty() && !database_->updateEventFilters(eventRows, &dbError)) {
    monitor_->logWithLevel(1, 6012, "Unable to save Audience event filters. Audiences will not be saved. Error",
                           dbError.asValue());
    TLWSetError(error, dbError);
    return false;
  }
  if (!propertyRows.empty() && !database_->updatePropertyFilters(propertyRows, &dbError)) {
    monitor_->logWithLevel(1, 6013, "Unable to save Audience user property filters. Audiences will not be saved. Error",
                           dbError.asValue());
    TLWSetError(error, dbError);
    return false;
  }
  return true;
}

bool TLWAudience::maybeDeleteStaleFilterResults(const std::set<std::int32_t>& newAudienceIDs) {
  TLWError error;
  auto results = database_->allFilterResults(&error);
  if (!results) {
    monitor_->logWithLevel(1, 6015, "Unable to query Audience filter results. Audiences will not be saved. Error",
                           error.asValue());
    return false;
  }
  const std::int32_t max = limits().maxFilterResults;
  if (results->size() <= static_cast<std::size_t>(max)) return true;
  monitor_->logWithLevel(3, 6016,
                         "Too many Audience filter results. Deleting filter results for deleted Audiences. Filter "
                         "result count, max filter result count",
                         Value(static_cast<std::int64_t>(results->size())), Value(max));
  auto current = database_->allAudienceIDs(&error);
  if (!current) {
    monitor_->logWithLevel(1, 6017, "Unable to query current Audience IDs. Audiences will not be saved. Error",
                           error.asValue());
    return false;
  }
  std::vector<std::shared_ptr<TLWFilterResult>> stale;
  for (const auto& [audienceID, result] : *results) {
    if (!current->count(audienceID) && !newAudienceIDs.count(audienceID)) stale.push_back(result);
  }
  if (!stale.empty() && !database_->deleteFilterResults(stale, &error)) {
    monitor_->logWithLevel(1, 6018, "Unable to delete stale Audience filter results. Audiences will not be saved. Error",
                           error.asValue());
    return false;
  }
  return true;
}

// ------------------------------------------------------------------ bits

bool TLWAudience::isFilterResultTrue(const TLWFilterResult* result, std::int32_t filterID) const {
  if (!result || !result->hasCurrentResults()) return false;
  auto data = decodeResults(result->currentResults());
  const auto status = data ? words(*data, RD::kStatus) : std::vector<std::uint64_t>{};
  const auto results = data ? words(*data, RD::kResults) : std::vector<std::uint64_t>{};
  if (status.empty() || results.empty()) {
    monitor_->logWithLevel(2, 6023,
                           "Audience filter result is non-nil and is missing status or results array. Audience result "
                           "will not be bundled. Audience ID, result data",
                           Value(result->audienceID()));
    return false;
  }
  return filterID >= 0 && bitSet(status, filterID) && bitSet(results, filterID);
}

std::shared_ptr<TLWFilterResult> TLWAudience::updatedFilterResult(std::int32_t filterID, std::int32_t audienceID,
                                                                  const TLWFilterResult* current,
                                                                  std::optional<bool> value,
                                                                  const TLWAudienceTimestampsCache* cache) const {
  std::shared_ptr<TLWPBResultData> data;
  if (current && current->hasCurrentResults()) data = decodeResults(current->currentResults());
  if (!data) data = TLWPBResultData::initWithMessageInfo();
  auto status = words(*data, RD::kStatus);
  auto results = words(*data, RD::kResults);
  const auto word = static_cast<std::size_t>(std::max(filterID, 0) / 64);
  if (status.size() <= word) status.resize(word + 1, 0);
  if (results.size() <= word) results.resize(word + 1, 0);
  const std::uint64_t bit = std::uint64_t{1} << (std::max(filterID, 0) % 64);
  status[word] = value ? (status[word] | bit) : (status[word] & ~bit);
  results[word] = value.value_or(false) ? (results[word] | bit) : (results[word] & ~bit);
  data->SetRepeated(RD::kStatus, wordValues(status));
  data->SetRepeated(RD::kResults, wordValues(results));
  if (cache && cache->hasDynamicTimestamps(audienceID)) {
    data->SetRepeated(RD::kDynamicFilterTimestamps, cache->dynamicTimestampsForAudienceID(audienceID));
  }
  if (cache && cache->hasSequenceTimestamps(audienceID)) {
    data->SetRepeated(RD::kSequenceFilterTimestamps, cache->sequenceTimestampsForAudienceID(audienceID));
  }
  auto bytes = data->protoBuffer();
  if (!bytes) return nullptr;
  return TLWFilterResult::initWithAudienceID(audienceID, std::move(*bytes),
                                             current ? current->previousResults() : Bytes{});
}

// ------------------------------------------------------------------ evaluation

std::shared_ptr<TLWAudienceTimestampsCache> TLWAudience::makeAudienceTimestampsCache() {
  // One cache per bundle: so is the matching-time budget.
  evaluator_.startBundle();
  return std::make_shared<TLWAudienceTimestampsCache>(monitor_);
}

bool TLWAudience::evaluateFiltersForEvent(const TLWEvent& event, const TLWEventAggregates& aggregates,
                                          TLWAudienceTimestampsCache* cache) {
  return evaluateFiltersForEventName(event.name(), event.parameters(), aggregates, event.timestamp(), cache);
}

bool TLWAudience::evaluateFiltersForEventName(const std::string& name, const TLWParameters& parameters,
                                              const TLWEventAggregates& aggregates, double eventTimestamp,
                                              TLWAudienceTimestampsCache* cache) {
  TLWAudienceTimestampsCache fresh(monitor_);
  TLWAudienceTimestampsCache& c = cache ? *cache : fresh;

  auto& filterMemo = c.eventFiltersByName();
  auto known = filterMemo.find(name);
  if (known == filterMemo.end()) {
    TLWError error;
    auto rows = database_->eventFiltersForEventName(name, &error);
    if (!rows) {
      monitor_->logWithLevel(1, 6000, "Unable to query event filters for event. Event will not be evaluated. Event name, error",
                             Value(name), error.asValue());
      return false;
    }
    std::vector<TLWAudienceTimestampsCache::EventFilterEntry> entries;
    for (auto& row : *rows) {
      std::shared_ptr<TLWEventFilterDefinition> definition;
      if (auto message = row->filterMessage()) {
        definition = std::make_shared<TLWEventFilterDefinition>(TLWEventFilterDefinition::fromMessage(*message));
      }
      entries.emplace_back(std::move(row), std::move(definition));
    }
    known = filterMemo.emplace(name, std::move(entries)).first;
  }
  if (known->second.empty()) return true;

  // Within the pass the cache holds every audience's record as last read or written, so
  // each record is read from the database and decoded once per pass, not once per event.
  auto& memo = c.resultsByAudience();
  std::map<std::int32_t, std::shared_ptr<TLWFilterResult>> updated;
  for (const auto& [row, definition] : known->second) {
    const std::int32_t audienceID = row->audienceID();
    auto entry = memo.find(audienceID);
    if (entry == memo.end()) {
      TLWError error;
      auto stored = database_->filterResultForAudienceID(audienceID, &error);
      if (!stored) {
        monitor_->logWithLevel(1, 6001,
                               "Unable to query filter result for audience. Event will not be evaluated. Event name, "
                               "error",
                               Value(name), error.asValue());
        return false;
      }
      entry = memo.emplace(audienceID, TLWAudienceTimestampsCache::ResultEntry{*stored, {}, {}, false}).first;
    }
    auto& slot = entry->second;
    if (!slot.decoded) {
      if (slot.record && slot.record->hasCurrentResults()) {
        if (auto data = decodeResults(slot.record->currentResults())) {
          slot.status = words(*data, RD::kStatus);
          slot.results = words(*data, RD::kResults);
        }
      }
      slot.decoded = true;
    }
    const std::int32_t f = row->filterID();
    bool wasTrue = false;
    if (slot.record && slot.record->hasCurrentResults()) {
      if (slot.status.empty() || slot.results.empty()) {
        wasTrue = isFilterResultTrue(slot.record.get(), f);  // logs why it is not
      } else {
        wasTrue = f >= 0 && bitSet(slot.status, f) && bitSet(slot.results, f);
      }
    }
    if (wasTrue && !row->dynamic() && !row->sequence() && !row->sessionScoped()) continue;

    TLWFilterOutcome value = definition
                                 ? evaluator_.evaluateEventFilter(definition.get(), row->eventName(), parameters, aggregates)
                                 : evaluator_.evaluateEventFilterRow(*row, parameters, aggregates);
    if (!value) continue;
    const bool timestamped = row->dynamic() || row->sequence() || row->sessionScoped();
    // Read for plain filters too: a record written in this pass carries its sequence lists
    // cut to their last time, whichever filter changed it.
    if (!c.isPopulated(audienceID)) {
      auto currentData = slot.record ? decodeResults(slot.record->currentResults()) : nullptr;
      c.populateCachedTimestamps(currentData.get(), audienceID);
    }
    if (*value) {
      c.addEvaluationTimestamp(eventTimestamp, {audienceID, f, true, row->dynamic(), row->sequence(),
                                                row->sessionScoped()});
    } else if (wasTrue) {
      value = true;
    }
    // Nothing to write when the bits are already what this result would write.
    if (!timestamped && slot.record && !slot.status.empty() && bitSet(slot.status, f) &&
        bitSet(slot.results, f) == *value) {
      continue;
    }
    auto next = updatedFilterResult(f, audienceID, slot.record.get(), value, &c);
    if (!next) return false;
    slot.record = next;
    slot.decoded = false;
    updated[audienceID] = std::move(next);
  }
  if (updated.empty()) return true;
  std::vector<std::shared_ptr<TLWFilterResult>> records;
  for (auto& [id, r] : updated) records.push_back(r);
  TLWError error;
  if (!database_->updateFilterResults(records, &error)) {
    monitor_->logWithLevel(1, 6003,
                           "Unable to save updated Audience filter results. Event will not be evaluated. Event name, "
                           "error",
                           Value(name), error.asValue());
    return false;
  }
  return true;
}

bool TLWAudience::evaluateFiltersForNanoUserProperty(const TLWPBUserAttribute& property,
                                                     TLWAudienceTimestampsCache* cache,
                                                     std::optional<double> evaluationTime) {
  using U = TLWPBUserAttribute;
  std::optional<TLWValue> value;
  if (property.HasField(U::kStringValue)) {
    value = TLWValue::initWithString(property.GetString(U::kStringValue).value_or(""));
  } else if (property.HasField(U::kDoubleValue)) {
    value = TLWValue::initWithDouble(property.GetDouble(U::kDoubleValue));
  } else if (property.HasField(U::kIntValue)) {
    value = TLWValue::initWithInt64(property.GetInt64(U::kIntValue));
  }
  const double setTime = static_cast<double>(property.GetInt64(U::kSetTimestamp)) / 1000.0;
  std::shared_ptr<TLWUserAttribute> attribute =
      value ? TLWUserAttribute::initWithOrigin("", property.GetString(U::kName).value_or(""), *value, setTime) : nullptr;
  if (!attribute) {
    monitor_->logWithLevel(2, 6039, "Could not convert user property from nano format.");
    return false;
  }
  return evaluateFiltersForUserProperty(*attribute, cache, evaluationTime.value_or(setTime));
}

bool TLWAudience::evaluateFiltersForUserProperty(const TLWUserAttribute& property, TLWAudienceTimestampsCache* cache,
                                                 double evaluationTimestamp) {
  TLWAudienceTimestampsCache fresh(monitor_);
  TLWAudienceTimestampsCache& c = cache ? *cache : fresh;
  TLWError error;
  auto rows = database_->propertyFiltersForPropertyName(property.name(), &error);
  if (!rows) {
    monitor_->logWithLevel(1, 6004,
                           "Unable to query property filters for property. Property will not be evaluated. Property "
                           "name, error",
                           Value(property.name()), error.asValue());
    return false;
  }
  std::map<std::int32_t, std::shared_ptr<TLWFilterResult>> updated;
  std::map<std::int32_t, std::shared_ptr<TLWFilterResult>> read;
  for (const auto& row : *rows) {
    const std::int32_t audienceID = row->audienceID();
    std::shared_ptr<TLWFilterResult> record;
    if (auto u = updated.find(audienceID); u != updated.end()) {
      record = u->second;
    } else if (auto r = read.find(audienceID); r != read.end()) {
      record = r->second;
    } else if (auto m = c.resultsByAudience().find(audienceID); m != c.resultsByAudience().end()) {
      record = m->second.record;
      read[audienceID] = record;
    } else {
      auto stored = database_->filterResultForAudienceID(audienceID, &error);
      if (!stored) {
        monitor_->logWithLevel(1, 6005,
                               "Unable to query filter result for audience. Property will not be evaluated. Property "
                               "name, error",
                               Value(property.name()), error.asValue());
        return false;
      }
      record = *stored;
      read[audienceID] = record;
    }
    const bool wasTrue = isFilterResultTrue(record.get(), row->filterID());
    if (wasTrue && !row->dynamic() && !row->sequence() && !row->sessionScoped()) continue;
    TLWFilterOutcome value = evaluator_.evaluatePropertyFilterRow(wasTrue, *row, &property);
    if (!value) continue;
    auto currentData = record ? decodeResults(record->currentResults()) : nullptr;
    c.populateCachedTimestamps(currentData.get(), audienceID);
    if (*value) {
      c.addEvaluationTimestamp(evaluationTimestamp, {audienceID, row->filterID(), false, row->dynamic(),
                                                     row->sequence(), row->sessionScoped()});
    }
    const bool written = *value || (row->dynamic() && !row->sessionScoped()) ? *value : wasTrue;
    auto next = updatedFilterResult(row->filterID(), audienceID, record.get(), written, &c);
    if (!next) return false;
    updated[audienceID] = std::move(next);
  }
  if (updated.empty()) return true;
  std::vector<std::shared_ptr<TLWFilterResult>> records;
  for (auto& [id, r] : updated) records.push_back(r);
  if (!database_->updateFilterResults(records, &error)) {
    monitor_->logWithLevel(1, 6007,
                           "Unable to save updated Audience filter results. User property will not be evaluated. User "
                           "property name, error",
                           Value(property.name()), error.asValue());
    return false;
  }
  for (auto& [id, r] : updated) c.resultsByAudience()[id] = TLWAudienceTimestampsCache::ResultEntry{r, {}, {}, false};
  return true;
}

// ------------------------------------------------------------------ sessions and bundles

bool TLWAudience::clearEvaluationResultsForSessionScopedFilters() {
  TLWError error;
  auto scoped = database_->allSessionScopedFilters(&error);
  if (!scoped) {
    monitor_->logWithLevel(1, 6040,
                           "Unable to query all session scoped filters. Session scoped results will not be cleared. "
                           "Error",
                           error.asValue());
    return false;
  }
  auto results = database_->allFilterResults(&error);
  if (!results) {
    monitor_->logWithLevel(1, 6041, "Unable to query all filter results. Session scoped results will not be cleared. Error",
                           error.asValue());
    return false;
  }
  std::vector<std::shared_ptr<TLWFilterResult>> toUpdate;
  std::vector<std::shared_ptr<TLWFilterResult>> toDelete;
  for (const auto& [audienceID, filterIDs] : *scoped) {
    auto found = results->find(audienceID);
    if (found == results->end() || !found->second) continue;
    const auto& record = found->second;
    auto data = decodeResults(record->currentResults());
    if (!data) continue;
    auto status = words(*data, RD::kStatus);
    auto bits = words(*data, RD::kResults);
    for (std::int32_t f : filterIDs) {
      if (f < 0) continue;
      const auto word = static_cast<std::size_t>(f / 64);
      const std::uint64_t mask = ~(std::uint64_t{1} << (f % 64));
      if (word < status.size()) status[word] &= mask;
      if (word < bits.size()) bits[word] &= mask;
    }
    if (!anyBit(status)) {
      toDelete.push_back(record);
      continue;
    }
    data->SetRepeated(RD::kStatus, wordValues(status));
    data->SetRepeated(RD::kResults, wordValues(bits));
    std::vector<std::shared_ptr<TLWPBDynamicFilterResultTimestamp>> dynamic;
    for (auto& entry : data->GetRepeated<TLWPBDynamicFilterResultTimestamp>(RD::kDynamicFilterTimestamps)) {
      if (!filterIDs.count(entry->GetInt32(TLWPBDynamicFilterResultTimestamp::kFilterId))) dynamic.push_back(entry);
    }
    std::vector<std::shared_ptr<TLWPBSequenceFilterResultTimestamp>> sequence;
    for (auto& entry : data->GetRepeated<TLWPBSequenceFilterResultTimestamp>(RD::kSequenceFilterTimestamps)) {
      if (!filterIDs.count(entry->GetInt32(TLWPBSequenceFilterResultTimestamp::kFilterId))) sequence.push_back(entry);
    }
    data->SetRepeated(RD::kDynamicFilterTimestamps, dynamic);
    data->SetRepeated(RD::kSequenceFilterTimestamps, sequence);
    auto bytes = data->protoBuffer();
    if (!bytes) continue;
    toUpdate.push_back(TLWFilterResult::initWithAudienceID(audienceID, std::move(*bytes), record->currentResults()));
  }
  if (!toUpdate.empty() && !database_->updateFilterResults(toUpdate, &error)) {
    monitor_->logWithLevel(2, 6043, "Unable to update filter results. Session scoped results will not be cleared. Error",
                           error.asValue());
    return false;
  }
  if (!toDelete.empty() && !database_->deleteFilterResults(toDelete, &error)) {
    monitor_->logWithLevel(1, 6042, "Unable to delete filter results. Session scoped results will not be cleared. Error",
                           error.asValue());
    return false;
  }
  return true;
}

std::optional<std::vector<std::shared_ptr<TLWPBAudienceLeafFilterResult>>> TLWAudience::resultsForBundling() {
  using L = TLWPBAudienceLeafFilterResult;
  TLWError error;
  auto results = database_->allFilterResults(&error);
  if (!results) {
    monitor_->logWithLevel(1, 6019, "Unable to query Audience filter results. Audience results will not be bundled. Error",
                           error.asValue());
    return std::nullopt;
  }
  std::vector<std::shared_ptr<L>> leaves;
  std::vector<std::shared_ptr<TLWFilterResult>> rewritten;
  for (const auto& [audienceID, record] : *results) {
    if (!record) continue;
    auto current = decodeResults(record->currentResults());
    if (!current) {
      monitor_->logWithLevel(2, 6020, "Current result data is nil. Audience result will not be bundled. Audience ID",
                             Value(audienceID));
      continue;
    }
    if (!anyBit(words(*current, RD::kStatus))) {
      monitor_->logWithLevel(2, 6021, "Current result status is 0. Audience result will not be bundled. Audience ID",
                             Value(audienceID));
      continue;
    }
    auto leaf = L::initWithMessageInfo();
    leaf->SetInt32(L::kAudienceId, audienceID);
    Bytes kept = record->currentResults();
    if (record->hasPreviousResults()) {
      leaf->SetBool(L::kNewAudience, false);
      if (record->previousResults() == record->currentResults()) {
        auto sequence = current->GetRepeated<TLWPBSequenceFilterResultTimestamp>(RD::kSequenceFilterTimestamps);
        if (!sequence.empty()) {
          auto list = sequence.front()->GetRepeated(TLWPBSequenceFilterResultTimestamp::kEvalTimestamps);
          if (list.size() >= 2) {
            sequence.front()->SetRepeated(TLWPBSequenceFilterResultTimestamp::kEvalTimestamps,
                                          platform::Array{list.back()});
            current->SetRepeated(RD::kSequenceFilterTimestamps, sequence);
            if (auto bytes = current->protoBuffer()) kept = std::move(*bytes);
          }
        }
      } else if (auto previous = decodeResults(record->previousResults())) {
        leaf->SetMessage(L::kPreviousData, previous.get());
      }
    } else {
      leaf->SetBool(L::kNewAudience, true);
    }
    leaf->SetMessage(L::kCurrentData, current.get());
    leaves.push_back(std::move(leaf));
    rewritten.push_back(TLWFilterResult::initWithAudienceID(audienceID, kept, record->currentResults()));
  }
  if (!rewritten.empty() && !database_->updateFilterResults(rewritten, &error)) {
    monitor_->logWithLevel(1, 6022, "Unable to save updated Audience filter results. Audience results will not be bundled. Error",
                           error.asValue());
    return std::nullopt;
  }
  return leaves;
}
