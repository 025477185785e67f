// The conditional user property table, used only by the conditional user property controller.
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "measurement/monitor/TLWMonitor.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWDatabaseInternal.h"

using namespace tlw_database_internal;

std::shared_ptr<TLWConditionalUserProperty> TLWDatabase::conditionalUserPropertyFromRow(const Row& row,
                                                                                       TLWError* error) {
  const std::string* name = row.get("name").string();
  const std::string* origin = row.get("origin").string();
  const Value& storedValue = row.get("value");
  if (!name || !origin || !(storedValue.isString() || storedValue.isNumber())) {
    failWith(error, 2, "Failed to initialize data types from dictionaries");
    return nullptr;
  }
  auto property = std::make_shared<TLWConditionalUserProperty>();
  property->setName(*name);
  property->setOrigin(*origin);
  property->setValue(TLWValue::valueFromObject(storedValue));
  property->setActive(int64Of(row, "active").value_or(0) != 0);
  property->setCreationTimestamp(doubleOf(row, "creation_timestamp").value_or(0));
  property->setTriggerTimeout(doubleOf(row, "trigger_timeout").value_or(0));
  property->setTriggeredTimestamp(doubleOf(row, "triggered_timestamp").value_or(0));
  property->setTimeToLive(doubleOf(row, "time_to_live").value_or(0));
  if (const std::string* trigger = row.get("trigger_event_name").string()) property->setTriggerEventName(*trigger);
  using Setter = void (TLWConditionalUserProperty::*)(std::shared_ptr<TLWEvent>);
  const std::pair<const char*, Setter> events[] = {{"timed_out_event", &TLWConditionalUserProperty::setTimedOutEvent},
                                                   {"triggered_event", &TLWConditionalUserProperty::setTriggeredEvent},
                                                   {"expired_event", &TLWConditionalUserProperty::setExpiredEvent}};
  for (const auto& [column, setter] : events) {
    const Value& blob = row.get(column);
    if (blob.isNull()) continue;
    auto event = eventFromBlob(blob, error);
    if (!event) return nullptr;
    ((*property).*setter)(std::move(event));
  }
  return property;
}

std::optional<TLWDatabase::ConditionalUserProperties> TLWDatabase::conditionalUserPropertiesWithCondition(
    const std::string& condition, const platform::Array& parameterValues, TLWError* error) {
  if (condition.empty()) {
    failWith(error, 1, "Received empty condition for querying a conditional user property");
    return std::nullopt;
  }
  auto rows =
      sqliteStore_->recordsForQuery("SELECT rowid, * FROM conditional_properties WHERE " + condition, parameterValues, error);
  if (!rows) return std::nullopt;
  ConditionalUserProperties out;
  for (const auto& row : *rows) {
    TLWError rowError;
    if (auto property = conditionalUserPropertyFromRow(row, &rowError)) {
      out.push_back(std::move(property));
    } else {
      monitor_->logWithLevel(4, 12023, "Skipping stored record that cannot be decoded. Table, error",
                             Value("conditional_properties"), rowError.asValue());
    }
  }
  // Rows that cannot be read are skipped (logged), never a failure: one bad row would
  // otherwise fail every later step for ever.
  return out;
}

std::optional<std::shared_ptr<TLWConditionalUserProperty>> TLWDatabase::conditionalUserPropertyWithName(
    const std::string& name, TLWError* error) {
  auto rows =
      sqliteStore_->recordsForQuery("SELECT rowid, * FROM conditional_properties WHERE name = ?", {Value(name)}, error);
  if (!rows) return std::nullopt;
  if (rows->empty()) return nullptr;
  TLWError rowError;
  auto property = conditionalUserPropertyFromRow(rows->front(), &rowError);
  if (!property) {
    monitor_->logWithLevel(4, 12023, "Skipping stored record that cannot be decoded. Table, error",
                           Value("conditional_properties"), rowError.asValue());
  }
  return property;
}

bool TLWDatabase::updateConditionalUserProperty(const TLWConditionalUserProperty* property, TLWError* error) {
  if (!property) {
    return failWith(error, 3, "Received empty conditional user property for getting dictionary representation");
  }
  if (property->name().empty()) {
    return failWith(error, 3, "Received conditional user property with empty name for getting dictionary representation");
  }
  if (property->origin().empty()) {
    return failWith(error, 3,
                    "Received conditional user property with empty origin for getting dictionary representation");
  }
  Value plain = property->value() ? property->value()->plainObject() : Value();
  if (!(plain.isString() || plain.isNumber())) {
    return failWith(error, 3, "Received conditional user property with nil value for getting dictionary representation");
  }
  auto eventColumn = [&](const std::shared_ptr<TLWEvent>& event) -> std::optional<Value> {
    if (!event) return Value();
    auto bytes = serializedEvent(*event, true);
    if (!bytes) return std::nullopt;
    return bytesValue(*bytes);
  };
  auto timedOut = eventColumn(property->timedOutEvent());
  auto triggered = eventColumn(property->triggeredEvent());
  auto expired = eventColumn(property->expiredEvent());
  if (!timedOut || !triggered || !expired) return failWith(error, 3, "Failed to serialize conditional user property event");
  const auto& trigger = property->triggerEventName();
  Row record{{"name", property->name()},
             {"origin", property->origin()},
             {"value", plain},
             {"creation_timestamp", property->creationTimestamp()},
             {"active", property->active() ? 1 : 0},
             {"trigger_timeout", property->triggerTimeout()},
             {"triggered_timestamp", property->triggeredTimestamp()},
             {"time_to_live", property->timeToLive()},
             {"trigger_event_name", trigger && !trigger->empty() ? Value(*trigger) : Value()},
             {"timed_out_event", *timedOut},
             {"triggered_event", *triggered},
             {"expired_event", *expired}};
  groupReads_.hasConditionalProperties.reset();
  return upsertDataType(record, "conditional_properties", "name", Value(property->name()),
                        kConditionalPropertiesTableLimit, error);
}

bool TLWDatabase::deleteConditionalUserPropertyWithName(const std::string& name, TLWError* error) {
  groupReads_.hasConditionalProperties.reset();
  return sqliteStore_->deleteRecordFromTableWithName("conditional_properties", "name", Value(name), error);
}

std::optional<bool> TLWDatabase::hasConditionalUserProperties(TLWError* error) {
  if (inWriteGroup_ && groupReads_.hasConditionalProperties) return groupReads_.hasConditionalProperties;
  auto has = boolForQuery("SELECT EXISTS (SELECT 1 FROM conditional_properties LIMIT 1)", {}, error);
  if (has && inWriteGroup_) groupReads_.hasConditionalProperties = has;
  return has;
}

std::optional<TLWDatabase::ConditionalUserProperties> TLWDatabase::timedOutConditionalUserPropertiesWithError(
    TLWError* error) {
  return conditionalUserPropertiesWithCondition("active=0 and abs(? - creation_timestamp) > trigger_timeout",
                                                {Value(now())}, error);
}

std::optional<TLWDatabase::ConditionalUserProperties> TLWDatabase::expiredConditionalUserPropertiesWithError(
    TLWError* error) {
  return conditionalUserPropertiesWithCondition("active=1 and abs(? - triggered_timestamp) > time_to_live",
                                                {Value(now())}, error);
}

std::optional<TLWDatabase::ConditionalUserProperties> TLWDatabase::triggeredConditionalUserPropertiesWithEventName(
    const std::string& eventName, TLWError* error) {
  if (eventName.empty()) {
    failWith(error, 1, "Received nil/empty event name for querying triggered conditional user properties");
    return std::nullopt;
  }
  return conditionalUserPropertiesWithCondition(
      "active=0 and trigger_event_name=? and abs(? - creation_timestamp) <= trigger_timeout",
      {Value(eventName), Value(now())}, error);
}

std::optional<TLWDatabase::ConditionalUserProperties> TLWDatabase::conditionalUserPropertiesWithPrefix(
    const std::string& prefix, const std::string& filterByOrigin, TLWError* error) {
  // Exact comparisons: LIKE would read "_" and "%" in a name as wildcards and ignore case,
  // so a query for one component's properties could return (and let it clear) another's.
  std::string condition;
  platform::Array values;
  if (!filterByOrigin.empty()) {
    condition = "origin = ?";
    values.emplace_back(filterByOrigin);
  }
  if (!prefix.empty()) {
    if (!condition.empty()) condition += " AND ";
    condition += "substr(name, 1, length(?)) = ?";
    values.emplace_back(prefix);
    values.emplace_back(prefix);
  }
  if (condition.empty()) condition = "1 == 1";
  return conditionalUserPropertiesWithCondition(condition, values, error);
}
