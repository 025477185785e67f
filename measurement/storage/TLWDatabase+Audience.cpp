// The audience filter and result tables, used only by the audience evaluation.
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "measurement/monitor/TLWMonitor.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWDatabaseInternal.h"

using namespace tlw_database_internal;

namespace {

std::optional<TLWEventFilter::Bytes> blobOf(const Row& row, std::string_view column) {
  const Value* v = row.find(column);
  if (!v || !v->isData()) return std::nullopt;
  return *v->dataBytes();
}

// Rows and records of the two filter tables differ only in the name column and the
// message type; one template serves both.
template <class Filter>
struct FilterTable;

template <>
struct FilterTable<TLWEventFilter> {
  static constexpr const char* nameColumn = "event_name";
  static const std::string& nameOf(const TLWEventFilter& f) { return f.eventName(); }
  static constexpr const char* emptyList = "Received empty event filters to update";
  static constexpr const char* emptyItem = "Received empty event filter for getting dictionary representation";
  static constexpr const char* emptyName =
      "Received event filter with empty event name for getting dictionary representation";
  static constexpr const char* emptyData = "Received event filter with empty data for getting dictionary representation";
  static constexpr const char* emptyDeleteList = "Received empty event filters to delete";
  static constexpr const char* unknownDeleteItem = "Received unknown type to delete event filter";
  static constexpr const char* emptyQueryName = "Received empty event name for getting event filters";
  static constexpr const char* emptyRow = "Received empty dictionary for getting event filter";
};

template <>
struct FilterTable<TLWPropertyFilter> {
  static constexpr const char* nameColumn = "property_name";
  static const std::string& nameOf(const TLWPropertyFilter& f) { return f.propertyName(); }
  static constexpr const char* emptyList = "Received empty property filters to update";
  static constexpr const char* emptyItem = "Received empty property filter for getting dictionary representation";
  static constexpr const char* emptyName =
      "Received property filter with empty property name for getting dictionary representation";
  static constexpr const char* emptyData =
      "Received property filter with empty data for getting dictionary representation";
  static constexpr const char* emptyDeleteList = "Received empty property filters to delete";
  static constexpr const char* unknownDeleteItem = "Received unknown type to delete property filter";
  static constexpr const char* emptyQueryName = "Received empty property name for getting property filters";
  static constexpr const char* emptyRow = "Received empty dictionary for getting property filter";
};

template <class Filter>
std::shared_ptr<Filter> filterFromRow(const Row& row, TLWError* error) {
  using T = FilterTable<Filter>;
  if (row.empty()) {
    failWith(error, 3, T::emptyRow);
    return nullptr;
  }
  auto audienceID = int64Of(row, "audience_id");
  auto filterID = int64Of(row, "filter_id");
  const std::string* name = row.get(T::nameColumn).string();
  auto data = blobOf(row, "data");
  if (!audienceID || !filterID || !name || !data) return nullptr;
  return Filter::initWithAudienceID(clampToInt32(*audienceID), clampToInt32(*filterID), *name, std::move(*data));
}

template <class Filter>
std::optional<Row> filterRecord(const Filter* filter, TLWError* error) {
  using T = FilterTable<Filter>;
  const char* problem = !filter                         ? T::emptyItem
                        : T::nameOf(*filter).empty()      ? T::emptyName
                        : filter->data().empty()          ? T::emptyData
                                                          : nullptr;
  if (problem) {
    failWith(error, 3, problem);
    return std::nullopt;
  }
  return Row{{"audience_id", filter->audienceID()},
             {"filter_id", filter->filterID()},
             {T::nameColumn, T::nameOf(*filter)},
             {"data", bytesValue(filter->data())},
             {"session_scoped", filter->sessionScoped() ? 1 : 0}};
}

template <class Filter>
std::string filterPairsCondition(const std::vector<std::shared_ptr<Filter>>& filters, TLWError* error) {
  std::string condition;
  for (const auto& filter : filters) {
    if (!filter) {
      failWith(error, 1, FilterTable<Filter>::unknownDeleteItem);
      return "";
    }
    if (!condition.empty()) condition += " OR ";
    condition += "(audience_id=" + std::to_string(filter->audienceID()) +
                 " AND filter_id=" + std::to_string(filter->filterID()) + ")";
  }
  return condition;
}

}  // namespace

std::optional<std::vector<std::shared_ptr<TLWEventFilter>>> TLWDatabase::eventFiltersForEventName(
    const std::string& eventName, TLWError* error) {
  if (eventName.empty()) {
    failWith(error, 1, FilterTable<TLWEventFilter>::emptyQueryName);
    return std::nullopt;
  }
  return dataTypesFromTableWithName<TLWEventFilter>(
      "event_filters", "event_name", Value(eventName), error,
      [](const Row& row) { return filterFromRow<TLWEventFilter>(row, nullptr); });
}

std::optional<std::vector<std::shared_ptr<TLWPropertyFilter>>> TLWDatabase::propertyFiltersForPropertyName(
    const std::string& propertyName, TLWError* error) {
  if (propertyName.empty()) {
    failWith(error, 1, FilterTable<TLWPropertyFilter>::emptyQueryName);
    return std::nullopt;
  }
  return dataTypesFromTableWithName<TLWPropertyFilter>(
      "property_filters", "property_name", Value(propertyName), error,
      [](const Row& row) { return filterFromRow<TLWPropertyFilter>(row, nullptr); });
}

bool TLWDatabase::updateEventFilters(const std::vector<std::shared_ptr<TLWEventFilter>>& filters, TLWError* error) {
  if (filters.empty()) return failWith(error, 1, FilterTable<TLWEventFilter>::emptyList);
  for (const auto& filter : filters) {
    auto record = filterRecord(filter.get(), error);
    if (!record || !insertDataType(*record, "event_filters", error)) return false;
  }
  return true;
}

bool TLWDatabase::updatePropertyFilters(const std::vector<std::shared_ptr<TLWPropertyFilter>>& filters,
                                        TLWError* error) {
  if (filters.empty()) return failWith(error, 1, FilterTable<TLWPropertyFilter>::emptyList);
  for (const auto& filter : filters) {
    auto record = filterRecord(filter.get(), error);
    if (!record || !insertDataType(*record, "property_filters", error)) return false;
  }
  return true;
}

bool TLWDatabase::deleteEventFilters(const std::vector<std::shared_ptr<TLWEventFilter>>& filters, TLWError* error) {
  if (filters.empty()) return failWith(error, 1, FilterTable<TLWEventFilter>::emptyDeleteList);
  std::string condition = filterPairsCondition(filters, error);
  if (condition.empty()) return false;
  return sqliteStore_->deleteRecordsFromTableWithName("event_filters", condition, {}, error).has_value();
}

bool TLWDatabase::deletePropertyFilters(const std::vector<std::shared_ptr<TLWPropertyFilter>>& filters,
                                        TLWError* error) {
  if (filters.empty()) return failWith(error, 1, FilterTable<TLWPropertyFilter>::emptyDeleteList);
  std::string condition = filterPairsCondition(filters, error);
  if (condition.empty()) return false;
  return sqliteStore_->deleteRecordsFromTableWithName("property_filters", condition, {}, error).has_value();
}

bool TLWDatabase::deleteAllEventFilters(TLWError* error) {
  return sqliteStore_->deleteAllRecordsFromTableWithName("event_filters", error);
}

bool TLWDatabase::deleteAllPropertyFilters(TLWError* error) {
  return sqliteStore_->deleteAllRecordsFromTableWithName("property_filters", error);
}

std::optional<std::set<std::int32_t>> TLWDatabase::allAudienceIDs(TLWError* error) {
  auto rows = sqliteStore_->recordsForQuery(
      "SELECT audience_id FROM event_filters UNION SELECT audience_id FROM property_filters", {}, error);
  if (!rows) return std::nullopt;
  std::set<std::int32_t> ids;
  for (const auto& row : *rows) {
    auto id = int64Of(row, "audience_id");
    if (!id) {
      failWith(error, 1, "Received nil audience ID for querying all audience IDs");
      return std::nullopt;
    }
    ids.insert(clampToInt32(*id));
  }
  return ids;
}

std::optional<std::map<std::int32_t, std::set<std::int32_t>>> TLWDatabase::allSessionScopedFilters(TLWError* error) {
  auto rows = sqliteStore_->recordsForQuery(
      "SELECT audience_id, filter_id FROM event_filters WHERE session_scoped = 1 UNION SELECT audience_id, filter_id "
      "FROM property_filters WHERE session_scoped = 1",
      {}, error);
  if (!rows) return std::nullopt;
  std::map<std::int32_t, std::set<std::int32_t>> filters;
  for (const auto& row : *rows) {
    auto audienceID = int64Of(row, "audience_id");
    auto filterID = int64Of(row, "filter_id");
    if (audienceID && filterID) filters[clampToInt32(*audienceID)].insert(clampToInt32(*filterID));
  }
  return filters;
}

// ------------------------------------------------------------------ audience results

namespace {

std::shared_ptr<TLWFilterResult> filterResultFromRow(const Row& row, TLWError* error) {
  if (row.empty()) {
    failWith(error, 3, "Received empty dictionary for getting filter result");
    return nullptr;
  }
  auto audienceID = int64Of(row, "audience_id");
  if (!audienceID) return nullptr;
  return TLWFilterResult::initWithAudienceID(clampToInt32(*audienceID),
                                             blobOf(row, "current_results").value_or(TLWFilterResult::Bytes{}),
                                             blobOf(row, "previous_results").value_or(TLWFilterResult::Bytes{}));
}

}  // namespace

std::optional<std::map<std::int32_t, std::shared_ptr<TLWFilterResult>>> TLWDatabase::allFilterResults(
    TLWError* error) {
  auto results = allDataTypesFromTableWithName<TLWFilterResult>(
      "audience_filter_values", -1, error, [](const Row& row) { return filterResultFromRow(row, nullptr); });
  if (!results) return std::nullopt;
  std::map<std::int32_t, std::shared_ptr<TLWFilterResult>> byAudience;
  for (auto& result : *results) byAudience[result->audienceID()] = std::move(result);
  return byAudience;
}

std::optional<std::shared_ptr<TLWFilterResult>> TLWDatabase::filterResultForAudienceID(std::int32_t audienceID,
                                                                                       TLWError* error) {
  auto found = dataTypesFromTableWithName<TLWFilterResult>(
      "audience_filter_values", "audience_id", Value(audienceID), error,
      [](const Row& row) { return filterResultFromRow(row, nullptr); });
  if (!found) return std::nullopt;
  return found->empty() ? nullptr : found->front();
}

bool TLWDatabase::updateFilterResults(const std::vector<std::shared_ptr<TLWFilterResult>>& results,
                                      TLWError* error) {
  if (results.empty()) return failWith(error, 1, "Received empty filter results to update");
  for (const auto& result : results) {
    if (!result) return failWith(error, 3, "Received empty filter result for getting dictionary representation");
    if (!result->hasCurrentResults()) {
      return failWith(error, 3, "Received filter result with empty data for getting dictionary representation");
    }
    Row record{{"audience_id", result->audienceID()},
               {"current_results", bytesValue(result->currentResults())},
               {"previous_results", result->hasPreviousResults() ? bytesValue(result->previousResults()) : Value()}};
    if (!insertDataType(record, "audience_filter_values", error)) return false;
  }
  return true;
}

bool TLWDatabase::deleteFilterResults(const std::vector<std::shared_ptr<TLWFilterResult>>& results,
                                      TLWError* error) {
  if (results.empty()) return failWith(error, 1, "Received empty filter results to delete");
  std::string ids;
  for (const auto& result : results) {
    if (!result) return failWith(error, 1, "Received unknown type to delete filter result");
    if (!ids.empty()) ids += ",";
    ids += std::to_string(result->audienceID());
  }
  return sqliteStore_->deleteRecordsFromTableWithName("audience_filter_values", "audience_id IN (" + ids + ")", {},
                                                      error)
      .has_value();
}
