#include "measurement/engine/TLWBundler.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "measurement/config/TLWConsentSettingsUtil.h"
#include "measurement/engine/TLWBundleIdentifiers.h"
#include "measurement/config/TLWIdentity.h"
#include "measurement/config/TLWRemoteConfig.h"
#include "measurement/audience/TLWAudienceEvaluating.h"
#include "measurement/scheduler/TLWScheduler.h"
#include "measurement/engine/TLWUserPropertyPipeline.h"
#include "measurement/model/TLWAliasTables.h"
#include "measurement/model/TLWEvent.h"
#include "measurement/model/TLWEventAggregates.h"
#include "measurement/model/TLWRawEventData.h"
#include "measurement/model/TLWUserAttribute.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "platform/app/Bundle.h"

namespace {

using B = TLWPBMeasurementBundle;
using platform::Value;

constexpr std::string_view kSessionStartEventName = "_s";
constexpr std::string_view kUserEngagementEventName = "_e";
constexpr std::string_view kEngagementTimeParam = "_et";
constexpr std::string_view kFirstRunParam = "_fr";
constexpr std::string_view kSessionEngagementProperty = "_se";
constexpr std::string_view kLifetimeEngagementProperty = "_lte";
constexpr std::string_view kSamplingRateParam = "_sr";
constexpr std::string_view kExemptFromSamplingParam = "_efs";
constexpr std::string_view kComplexEventIDParam = "_eid";

bool hasError(const TLWError& e) { return e.code() != 0 || !e.domain().empty(); }

Value int64Value(std::int64_t v) { return Value(static_cast<long long>(v)); }

// The only public name bundling treats as an alias of an internal one.
std::optional<std::string_view> blocklistAlias(std::string_view name) {
  if (name == "ad_impression") return std::string_view("_ai");
  return std::nullopt;
}

std::optional<std::int64_t> intParameter(const TLWEvent& event, std::string_view name) {
  const auto& params = event.parameters();
  auto it = params.find(name);
  if (it == params.end() || !it->second.isInt64()) return std::nullopt;
  return it->second.int64Value();
}

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
  if (b > 0 && a > std::numeric_limits<std::int64_t>::max() - b) return std::numeric_limits<std::int64_t>::max();
  if (b < 0 && a < std::numeric_limits<std::int64_t>::min() - b) return std::numeric_limits<std::int64_t>::min();
  return a + b;
}

std::int64_t millisecondsFromSeconds(double seconds) {
  const double ms = seconds * 1000.0;
  if (!std::isfinite(ms)) return 0;
  if (ms >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
  if (ms <= -9.2e18) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(ms);
}

// truncate(seconds / 86400), clamped into the int32 range the aggregates keep.
std::int32_t dayNumber(double seconds) {
  const double day = std::trunc(seconds / 86400.0);
  if (!std::isfinite(day)) return 0;
  return static_cast<std::int32_t>(std::clamp(day, -2147483648.0, 2147483647.0));
}

// truncate(floor(seconds) / 3600).
std::int64_t hourOf(double seconds) {
  if (!std::isfinite(seconds)) return 0;
  return static_cast<std::int64_t>(std::trunc(std::floor(seconds) / 3600.0));
}

// The encoded size of field 2 (the name) of an Event: tag, length varint, bytes.
std::int64_t nameFieldSize(std::size_t length) {
  if (length == 0) return 0;
  std::int64_t varint = 1;
  for (std::size_t v = length; v >= 0x80; v >>= 7) ++varint;
  return 1 + varint + static_cast<std::int64_t>(length);
}

bool eventHasParam(const TLWPBEvent& event, std::string_view name) {
  for (const auto& p : event.GetRepeated<TLWPBEventParam>(TLWPBEvent::kParams)) {
    if (p->GetString(TLWPBEventParam::kName) == name) return true;
  }
  return false;
}

std::optional<std::int64_t> eventIntParam(const TLWPBEvent& event, std::string_view name) {
  for (const auto& p : event.GetRepeated<TLWPBEventParam>(TLWPBEvent::kParams)) {
    if (p->GetString(TLWPBEventParam::kName) == name && p->HasField(TLWPBEventParam::kIntValue)) {
      return p->GetInt64(TLWPBEventParam::kIntValue);
    }
  }
  return std::nullopt;
}

// Adds an integer parameter unless the event already has one of that name. False only
// when the parameter could not be made.
bool addIntParamIfAbsent(TLWPBEvent& event, std::string_view name, std::int64_t value) {
  if (eventHasParam(event, name)) return true;
  auto param = TLWPBEventParam::initWithMessageInfo();
  if (!param || !param->SetString(TLWPBEventParam::kName, name) || !param->SetInt64(TLWPBEventParam::kIntValue, value)) {
    return false;
  }
  return event.AddRepeatedMessage(TLWPBEvent::kParams, *param);
}

}  // namespace

std::shared_ptr<TLWBundler> TLWBundler::create(Dependencies dependencies) {
  if (!dependencies.monitor) dependencies.monitor = TLWMonitor::sharedInstance();
  if (!dependencies.env) dependencies.env = platform::Environment::current();
  const char* missing = nullptr;
  if (!dependencies.database) missing = "database";
  else if (!dependencies.remoteConfig) missing = "remote config";
  else if (!dependencies.userProperties) missing = "user property pipeline";
  else if (!dependencies.persistedConfig) missing = "persisted config";
  else if (!dependencies.audience) missing = "audience evaluator";
  if (missing) {
    if (dependencies.monitor) {
      dependencies.monitor->logWithLevel(1, 23226, "Unable to create bundler. Missing dependency", Value(missing));
    }
    return nullptr;
  }
  return std::shared_ptr<TLWBundler>(new TLWBundler(std::move(dependencies)));
}

TLWBundler::TLWBundler(Dependencies dependencies)
    : deps_(std::move(dependencies)),
      checks_({deps_.persistedConfig, deps_.settings, deps_.receipt, deps_.env, deps_.monitor}) {}

TLWBundler::~TLWBundler() = default;

double TLWBundler::now() const { return deps_.env->clock()->now(); }

// ------------------------------------------------------------------ bundleRawEvents

bool TLWBundler::bundleRawEvents() {
  TLWScheduler::checkOnBackgroundThreadWithMethodName("bundleRawEvents");
  bool progressed = false;
  const bool committed = deps_.database->performTransaction([&] {
    progressed = false;
    const bool commit = bundleRawEventsInTransaction(progressed);
    if (!commit) progressed = false;
    return commit;
  });
  if (!committed || !progressed) return false;
  if (auto host = deps_.host.lock()) host->setSuspendedUploadTimestamp(0);
  return true;
}

bool TLWBundler::bundleRawEventsInTransaction(bool& progressed) {
  TLWDatabase& db = *deps_.database;
  TLWMonitor& monitor = *deps_.monitor;

  TLWError error;
  auto fingerprint = db.nextMetadataFingerprintToProcess(&error);
  if (!fingerprint) {
    if (hasError(error)) {
      monitor.logWithLevel(1, 23095, "Unable to fetch next event metadata. Error", error.asValue());
      return false;
    }
    return true;  // nothing stored
  }

  auto rawEvents = rawEventsWithMetadataFingerprint(*fingerprint);
  if (!rawEvents) return false;
  if (rawEvents->empty()) {
    // The first row can never be bundled (unreadable or too large): it was logged when
    // met; consuming it is what lets the rows behind it move.
    if (consumedRowCount_ == 0) return true;
    if (!deleteConsumedRawEvents(lastConsumedRowID_, *fingerprint)) return false;
    progressed = true;
    return true;
  }

  TLWError metadataError;
  auto bundle = db.queryRawEventsMetadataWithFingerprint(*fingerprint, &metadataError);
  if (!bundle) {
    monitor.logWithLevel(1, 23098, "Unable to fetch event metadata. Metadata fingerprint, error",
                         int64Value(*fingerprint), metadataError.asValue());
    return dropRunWithUnreadableMetadata(*fingerprint, metadataError, progressed);
  }

  auto events = processRawEvents(*rawEvents, *fingerprint);
  if (!events) return false;
  if (events->empty()) {
    // Every event was rejected and its row deleted: that is progress too.
    progressed = true;
    return true;
  }

  if (!evaluationTimeFromRawEvents(*rawEvents, *bundle)) return false;

  auto cache = deps_.audience->makeAudienceTimestampsCache();
  auto aggregated = eventsAfterUpdatingEventAggregates(*events, cache.get());
  if (!aggregated) return false;

  bool isRealtime = false;
  for (const auto& event : *aggregated) isRealtime = isRealtime || event->isRealtime();
  // Without sampling, which reads the events as messages, each event is written once as
  // bytes and spliced into the stored bundle.
  const bool sampling = deps_.remoteConfig->isEventSamplingEnabled() && !monitor.debugModeEnabled();
  std::vector<std::shared_ptr<TLWPBEvent>> protoEvents;
  std::vector<std::vector<std::uint8_t>> eventBytes;
  for (const auto& event : *aggregated) {
    if (!sampling) {
      eventBytes.push_back(event->protoEventBytes());
    } else if (auto proto = event->protoEvent()) {
      protoEvents.push_back(std::move(proto));
    }
  }

  if (sampling) {
    TLWError samplingError;
    auto kept = sampleEvents(protoEvents, &samplingError);
    if (!kept) return false;
    protoEvents = std::move(*kept);
    if (protoEvents.empty()) {
      monitor.logWithLevel(5, 23159, "No events left after sampling. Dropping bundle");
      if (!deleteConsumedRawEvents(lastConsumedRowID_, *fingerprint)) return false;
      progressed = true;
      return true;
    }
  }

  if (!bundle->MoveRepeated(B::kEvents, std::move(protoEvents))) return false;

  double start = std::numeric_limits<double>::infinity();
  double end = -std::numeric_limits<double>::infinity();
  for (const auto& raw : *rawEvents) {
    start = std::min(start, raw->rawEvent()->timestamp());
    end = std::max(end, raw->rawEvent()->timestamp());
  }

  if (!updateAppMetadataForBundle(*bundle, start, end)) return false;

  for (const auto& attribute : bundle->GetRepeated<TLWPBUserAttribute>(B::kUserAttributes)) {
    if (!deps_.audience->evaluateFiltersForNanoUserProperty(*attribute, cache.get(), start)) return false;
  }

  auto results = deps_.audience->resultsForBundling();
  if (!results) {
    monitor.logWithLevel(1, 23113, "Unable to read audience evaluation results");
    return false;
  }
  if (!results->empty() && !bundle->SetRepeated(B::kAudienceEvaluationResults, *results)) return false;

  addBundleMetadataIntoBundle(*bundle, start, end);
  // Consent may have changed since the metadata was made: what it forbids is not kept.
  if (deps_.consent) TLWApplyConsentSignals(*bundle, deps_.consent->consentSignals().value_or(""));

  TLWError insertError;
  if (!db.insertBundle(*bundle, isRealtime, &insertError, std::move(eventBytes))) {
    monitor.logWithLevel(1, 23115, "Unable to insert bundle. Error", insertError.asValue());
    return false;
  }
  if (deps_.consent && deps_.remoteConfig->isConsentSettingsEnabled()) {
    monitor.logWithLevel(8, 23221, deps_.consent->description());
  }
  monitor.logWithLevel(7, 23116, "Bundle added to the upload queue. BundleID, timestamp (ms)",
                       Value(bundle->GetInt32(B::kBundleSequenceIndex)), int64Value(bundle->GetInt64(B::kEndTimestamp)));
  if (!deleteConsumedRawEvents(lastConsumedRowID_, *fingerprint)) return false;
  progressed = true;
  return true;
}

bool TLWBundler::dropRunWithUnreadableMetadata(std::int64_t fingerprint, const TLWError& error, bool& progressed) {
  // A database failure may pass; a record that is missing or does not decode never will,
  // and its events cannot form a bundle without it.
  const bool unreadable = !hasError(error) || error.code() == kTLWPBErrorCodeDecodeFailed;
  if (!unreadable) return false;
  deps_.monitor->logWithLevel(1, kTLWBundlerUnreadableMetadataDroppedCode,
                              "Dropping raw events whose metadata cannot be read. Metadata fingerprint, event count",
                              int64Value(fingerprint), Value(static_cast<unsigned long long>(consumedRowCount_)));
  if (!deleteConsumedRawEvents(lastConsumedRowID_, fingerprint)) return false;
  progressed = true;
  return true;
}

bool TLWBundler::deleteConsumedRawEvents(std::int64_t maxRowID, std::int64_t fingerprint) {
  TLWDatabase& db = *deps_.database;
  TLWError error;
  if (!db.deleteRawEventsWithMaxRowID(maxRowID, &error)) {
    deps_.monitor->logWithLevel(1, 23119, "Unable to delete raw events. RowID, error", int64Value(maxRowID),
                                error.asValue());
    return false;
  }
  auto remains = db.containsRawEventWithMetadataFingerprint(fingerprint, &error);
  if (!remains) {
    deps_.monitor->logWithLevel(1, 23120, "Unable to query existence of raw event. Metadata, error",
                                int64Value(fingerprint), error.asValue());
    return false;
  }
  if (!*remains && !db.deleteRawEventMetadataWithMetadataFingerprint(fingerprint, &error)) {
    deps_.monitor->logWithLevel(1, 23121, "Unable to delete raw event metadata. Metadata, error",
                                int64Value(fingerprint), error.asValue());
    return false;
  }
  return true;
}

// ------------------------------------------------------------------ reading the run

std::optional<std::vector<std::shared_ptr<TLWRawEventData>>> TLWBundler::rawEventsWithMetadataFingerprint(
    std::int64_t fingerprint) {
  TLWDatabase& db = *deps_.database;
  TLWMonitor& monitor = *deps_.monitor;
  const std::int64_t maxEvents = deps_.remoteConfig->uploadMaxEventsPerBundle();
  const std::int64_t maxSize = deps_.remoteConfig->uploadMaxSizeLimitBytes();

  lastConsumedRowID_ = -1;
  consumedRowCount_ = 0;
  std::int64_t firstHour = 0;
  std::int64_t accumulatedSize = 0;

  // A first row that can never join a bundle is consumed on its own (the caller deletes
  // it); anywhere else it ends the run and becomes the next run's first row.
  auto consumeAlone = [&](std::int64_t rowID) {
    lastConsumedRowID_ = rowID;
    consumedRowCount_ = 1;
  };

  // The filter reads only the columns: the stored data is the event's message without its
  // name, so the message's size is the data's plus the name field's. Decoding is left to
  // the database, once per accepted row.
  auto filter = [&](std::size_t index, const TLWDatabase::Row& row) -> bool {
    if (index > 0 && static_cast<std::int64_t>(index) >= maxEvents) return false;
    const auto rowID = row.get("rowid").int64Value();
    const auto* data = row.get("data").dataBytes();
    const Value& timestamp = row.get("timestamp");
    if (!rowID || !data || !timestamp.isNumber()) {
      TLWError rowError;
      (void)db.rawEventDataFromDictionary(row, &rowError);
      monitor.logWithLevel(4, 23096, "Failed to filter raw event. Error", rowError.asValue());
      if (index == 0 && rowID) consumeAlone(*rowID);
      return false;
    }
    const std::int64_t hour = hourOf(timestamp.doubleValue().value_or(0));
    if (index == 0) {
      firstHour = hour;
    } else if (hour != firstHour || *rowID != lastConsumedRowID_ + 1) {
      return false;
    }
    const std::string* name = row.get("name").string();
    const std::int64_t size = static_cast<std::int64_t>(data->size()) + nameFieldSize(name ? name->size() : 0);
    if (accumulatedSize + size < maxSize) {
      accumulatedSize += size;
      lastConsumedRowID_ = *rowID;
      ++consumedRowCount_;
      return true;
    }
    if (index == 0) {
      monitor.logWithLevel(1, kTLWBundlerOversizedEventDroppedCode,
                           "Dropping event larger than the upload size limit. Event name, size (bytes), limit (bytes)",
                           Value(name ? *name : std::string()), int64Value(size), int64Value(maxSize));
      consumeAlone(*rowID);
    }
    return false;
  };

  TLWError error;
  auto read = db.rawEventsWithMetadataFingerprint(fingerprint, &error, filter);
  if (!read) {
    // Rows were accepted but none decoded (the database's code 2): consumed, not retried.
    if (consumedRowCount_ > 0 && error.code() == 2) {
      monitor.logWithLevel(4, 23096, "Failed to filter raw event. Error", error.asValue());
      return std::vector<std::shared_ptr<TLWRawEventData>>{};
    }
    monitor.logWithLevel(1, 23097, "Inconsistent state, raw event is expected. Error", error.asValue());
    return std::nullopt;
  }
  if (read->size() < consumedRowCount_ && !read->empty()) {
    monitor.logWithLevel(4, 23096, "Failed to filter raw event. Error",
                         Value(static_cast<unsigned long long>(consumedRowCount_ - read->size())));
  }
  return std::move(*read);
}

// ------------------------------------------------------------------ processing

std::optional<std::vector<std::shared_ptr<const TLWEvent>>> TLWBundler::processRawEvents(
    const std::vector<std::shared_ptr<TLWRawEventData>>& rawEvents, std::int64_t metadataFingerprint) {
  TLWRemoteConfig& config = *deps_.remoteConfig;
  TLWMonitor& monitor = *deps_.monitor;
  const bool blocklistInternal = config.blocklistInternal();
  const bool blocklistPublic = config.blocklistPublic();
  const bool removeRedundantEngagement = config.redundantEngagementRemovalEnabled();

  std::vector<std::shared_ptr<TLWRawEventData>> kept;
  kept.reserve(rawEvents.size());
  for (const auto& raw : rawEvents) {
    const TLWEvent& event = *raw->rawEvent();
    const std::string& name = event.name();
    const auto alias = blocklistAlias(name);
    if (alias && blocklistInternal && !blocklistPublic) {
      kept.push_back(raw);
      continue;
    }
    if (config.isEventBlocklisted(name) || (alias && config.isEventBlocklisted(*alias))) {
      monitor.logWithLevel(4, 23099, "Rejected event. Event name", Value(TLWAliasTables::longEventName(name)));
      continue;
    }
    if (removeRedundantEngagement && name == kUserEngagementEventName && intParameter(event, kFirstRunParam) == 1) {
      continue;
    }
    kept.push_back(raw);
  }

  if (kept.empty()) {
    if (rawEvents.empty()) return std::vector<std::shared_ptr<const TLWEvent>>{};
    if (!deleteConsumedRawEvents(rawEvents.back()->rowID(), metadataFingerprint)) return std::nullopt;
    monitor.logWithLevel(4, 23100, "Rejected all events.");
    return std::vector<std::shared_ptr<const TLWEvent>>{};
  }

  TLWError error;
  auto counts = deps_.database->dailyCounts(&error);
  if (!counts) {
    monitor.logWithLevel(1, 23101, "Failed to query daily event counts. Error", error.asValue());
    return std::nullopt;
  }

  bool countsChanged = false;
  std::string lastName;
  std::vector<std::shared_ptr<const TLWEvent>> out;
  out.reserve(kept.size());
  for (auto raw : kept) {
    if (auto renamed = checks_.internalEventFromPublicEvent(raw)) raw = std::move(renamed);
    if (checks_.checkConversion(raw, *counts)) countsChanged = true;
    if (checks_.checkRealtime(raw, *counts)) countsChanged = true;
    if (auto validated = checks_.validatePurchaseEvent(raw)) raw = std::move(validated);
    lastName = raw->rawEvent()->name();
    out.push_back(raw->rawEvent());
  }

  if (countsChanged && !deps_.database->updateDailyCounts(*counts, &error)) {
    monitor.logWithLevel(2, 23106, "Failed to update daily event counts. Name, error", Value(lastName),
                         error.asValue());
    return std::nullopt;
  }
  return out;
}

bool TLWBundler::evaluationTimeFromRawEvents(const std::vector<std::shared_ptr<TLWRawEventData>>& rawEvents,
                                             TLWPBMeasurementBundle& bundle) {
  TLWMonitor& monitor = *deps_.monitor;
  const bool sessionStarted = std::any_of(rawEvents.begin(), rawEvents.end(), [](const auto& raw) {
    return raw->rawEvent()->name() == kSessionStartEventName;
  });
  if (sessionStarted) {
    // Session-scoped bits and counts must not reach the new session.
    if (!deps_.audience->clearEvaluationResultsForSessionScopedFilters()) return false;
    for (const auto& attribute : bundle.GetRepeated<TLWPBUserAttribute>(B::kUserAttributes)) {
      if (!deps_.audience->evaluateFiltersForNanoUserProperty(*attribute, nullptr, std::nullopt)) return false;
    }
    TLWError error;
    if (!deps_.database->clearCurrentSessionCounts(&error)) {
      monitor.logWithLevel(1, 23185, "Failed to clear event session counts. Error", error.asValue());
      return false;
    }
  }

  std::int64_t total = 0;
  for (const auto& raw : rawEvents) {
    const TLWEvent& event = *raw->rawEvent();
    if (event.parameters().count(kFirstRunParam) != 0) continue;
    if (auto et = intParameter(event, kEngagementTimeParam)) total = saturatingAdd(total, *et);
  }

  if (!updateUserEngagement(total, bundle, false)) return true;
  if (sessionStarted) {
    TLWError error;
    if (!deps_.database->deleteUserAttributeWithName(std::string(kSessionEngagementProperty), &error)) {
      monitor.logWithLevel(1, 23188, "Unable to delete session engagement property on session start. Error",
                           error.asValue());
      return true;
    }
  }
  (void)updateUserEngagement(total, bundle, true);
  return true;
}

bool TLWBundler::updateUserEngagement(std::int64_t milliseconds, TLWPBMeasurementBundle& bundle, bool sessionScoped) {
  TLWScheduler::checkOnBackgroundThreadWithMethodName("updateUserEngagement");
  TLWMonitor& monitor = *deps_.monitor;
  if (milliseconds < 0) {
    monitor.logWithLevel(2, 23186, "User engagement time is negative.");
    return false;
  }
  if (milliseconds == 0) return true;

  const std::string name(sessionScoped ? kSessionEngagementProperty : kLifetimeEngagementProperty);
  TLWError error;
  auto stored = deps_.database->userAttributeWithName(name, &error);
  if (!stored && hasError(error)) {
    monitor.logWithLevel(1, 23187, "Failed to query for user engagement user property. Name, error", Value(name),
                         error.asValue());
    return false;
  }
  std::int64_t value = milliseconds;
  if (stored && stored->value().isInt64()) value = saturatingAdd(value, stored->value().int64Value());

  const double setTime = now();
  auto attribute = TLWUserAttribute::initWithOrigin("auto", name, TLWValue::initWithInt64(value), setTime);
  if (!attribute || !deps_.userProperties->setUserPropertyInDatabaseOnWorkerQueue(*attribute)) return false;

  auto attributes = bundle.GetRepeated<TLWPBUserAttribute>(B::kUserAttributes);
  bool updated = false;
  for (auto& entry : attributes) {
    if (entry->GetString(TLWPBUserAttribute::kName) != name) continue;
    entry->ClearField(TLWPBUserAttribute::kStringValue);
    entry->ClearField(TLWPBUserAttribute::kFloatValue);
    entry->ClearField(TLWPBUserAttribute::kDoubleValue);
    entry->SetInt64(TLWPBUserAttribute::kIntValue, value);
    entry->SetInt64(TLWPBUserAttribute::kSetTimestamp, millisecondsFromSeconds(setTime));
    updated = true;
    break;
  }
  if (!updated) {
    if (auto proto = attribute->protoUserAttribute()) attributes.push_back(std::move(proto));
  }
  return bundle.SetRepeated(B::kUserAttributes, attributes);
}

std::optional<std::vector<std::shared_ptr<const TLWEvent>>> TLWBundler::eventsAfterUpdatingEventAggregates(
    const std::vector<std::shared_ptr<const TLWEvent>>& events, TLWAudienceTimestampsCache* cache) {
  TLWDatabase& db = *deps_.database;
  TLWMonitor& monitor = *deps_.monitor;
  // Each name is read once per pass; later events of the name continue from the counts in
  // memory, which is what a fresh read would return inside the transaction.
  std::unordered_map<std::string, std::shared_ptr<TLWEventAggregates>> seen;
  std::vector<std::string> order;
  std::vector<std::shared_ptr<const TLWEvent>> out;
  out.reserve(events.size());
  for (const auto& event : events) {
    const std::string& name = event->name();
    std::shared_ptr<TLWEventAggregates> aggregates;
    auto found = seen.find(name);
    if (found != seen.end()) {
      aggregates = found->second;
    } else {
      TLWError error;
      aggregates = db.eventAggregatesWithName(name, &error);
      if (!aggregates && hasError(error)) {
        monitor.logWithLevel(1, 23107, "Failed to query event aggregates. Name, error", Value(name), error.asValue());
        return std::nullopt;
      }
    }

    std::shared_ptr<const TLWEvent> result = event;
    if (aggregates) {
      if (auto copy = event->copyWithPreviousTimestamp(aggregates->lastFireTimestamp())) result = std::move(copy);
      aggregates->incrementCurrentBundleCount();
      aggregates->incrementLifetimeCount();
      aggregates->incrementCurrentSessionCount();
      aggregates->setLastFireTimestamp(event->timestamp());
    } else {
      aggregates = TLWEventAggregates::initWithName(name, 1, 1, 1, event->timestamp());
      if (!aggregates) {
        monitor.logWithLevel(1, 23108, "Failed to update event aggregates. Error", Value(name));
        return std::nullopt;
      }
    }
    if (found == seen.end()) order.push_back(name);
    seen[name] = aggregates;
    if (!deps_.audience->evaluateFiltersForEvent(*result, *aggregates, cache)) return std::nullopt;
    out.push_back(std::move(result));
  }
  // One write per name: inside the transaction this leaves the same rows as a write per
  // event, for a fraction of the statements.
  for (const auto& name : order) {
    TLWError error;
    if (!db.updateEventAggregates(seen[name].get(), &error)) {
      monitor.logWithLevel(1, 23108, "Failed to update event aggregates. Error", error.asValue());
      return std::nullopt;
    }
  }
  return out;
}

// ------------------------------------------------------------------ bundle metadata

bool TLWBundler::updateAppMetadataForBundle(TLWPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                            double bundleEndTimestamp) {
  TLWDatabase& db = *deps_.database;
  TLWError error;
  auto metadata = db.queryAppMetadata(&error);
  if (!metadata) {
    deps_.monitor->logWithLevel(1, 23111, "Unable to fetch app metadata for bundling events. Error", error.asValue());
    return false;
  }
  const double lastStart = metadata->lastBundleStartTimestamp();
  const double lastEnd = metadata->lastBundleEndTimestamp();
  if (lastEnd > 0) bundle.SetInt64(B::kPreviousBundleEndTimestamp, millisecondsFromSeconds(lastEnd));
  if (lastStart > 0) {
    bundle.SetInt64(B::kPreviousBundleStartTimestamp, millisecondsFromSeconds(lastStart));
  } else if (lastEnd > 0) {
    bundle.SetInt64(B::kPreviousBundleStartTimestamp, millisecondsFromSeconds(lastEnd));
  }
  metadata->incrementLastBundleIndex(deps_.monitor);
  metadata->setLastBundleStartTimestamp(bundleStartTimestamp);
  metadata->setLastBundleEndTimestamp(bundleEndTimestamp);
  bundle.SetInt32(B::kBundleSequenceIndex, metadata->lastBundleIndex());
  if (!db.updateAppMetadata(*metadata, &error)) {
    deps_.monitor->logWithLevel(1, 23112, "Unable to update the app metadata. Error", error.asValue());
    return false;
  }
  return true;
}

void TLWBundler::addBundleMetadataIntoBundle(TLWPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                             double bundleEndTimestamp) {
  TLWRemoteConfig& config = *deps_.remoteConfig;
  const auto experimentIDs = config.experimentIDs();
  if (!experimentIDs.empty()) {
    // The field holds unsigned 32-bit IDs: one that does not fit is left out alone (logged),
    // instead of failing the whole list.
    platform::Array ids, refused;
    ids.reserve(experimentIDs.size());
    for (std::int64_t id : experimentIDs) {
      const bool fits = id >= 0 && id <= static_cast<std::int64_t>(std::numeric_limits<std::uint32_t>::max());
      (fits ? ids : refused).emplace_back(static_cast<long long>(id));
    }
    if (!refused.empty()) {
      deps_.monitor->logWithLevel(3, 23250, "Experiment IDs out of range left out of the bundle. IDs",
                                  Value(std::move(refused)));
    }
    if (!ids.empty() && !bundle.SetRepeated(B::kExperimentIds, ids)) {
      deps_.monitor->logWithLevel(2, 23251, "Failed to add experiment IDs to the bundle. IDs", Value(std::move(ids)));
    }
  }

  auto monitoring = deps_.monitor->monitoringDataForDispatchWithSamplePeriod(
      config.monitoringSamplePeriod(), deps_.persistedConfig->lastMonitorDataSampledTimestamp());
  if (monitoring && !monitoring->empty()) {
    bundle.SetString(B::kMonitoringData, *monitoring);
    deps_.persistedConfig->setLastMonitorDataSampledTimestamp(now());
  }

  const std::int64_t version = config.version();
  if (version >= 0) bundle.SetInt64(B::kConfigVersion, version);

  if (bundle.GetString(B::kAppId).value_or("").empty()) {
    std::string appID = deps_.identity ? deps_.identity->appID() : std::string();
    if (appID.empty()) {
      if (auto mainBundle = deps_.env->mainBundle()) appID = mainBundle->bundleIdentifier();
    }
    if (!appID.empty()) bundle.SetString(B::kAppId, appID);
  }

  bundle.SetInt64(B::kStartTimestamp, millisecondsFromSeconds(bundleStartTimestamp));
  bundle.SetInt64(B::kEndTimestamp, millisecondsFromSeconds(bundleEndTimestamp));
}

// ------------------------------------------------------------------ sampling

bool TLWBundler::canEventBeSampled(const TLWPBEvent& event) {
  TLWRemoteConfig& config = *deps_.remoteConfig;
  if (!config.isEventSamplingEnabled()) return false;
  const std::string name = event.GetString(TLWPBEvent::kName).value_or("");
  if (!config.eventHasSamplingRate(name)) return false;
  if (config.samplingRateForEvent(name) <= 1) {
    deps_.monitor->logWithLevel(5, 23154, "Invalid sampling rate provided");
    return false;
  }
  return true;
}

bool TLWBundler::isEventBundledAfterRoll(std::int32_t rate) {
  if (rate <= 1) return true;
  return deps_.env->random()->uniform(static_cast<std::uint64_t>(rate)) == 0;
}

std::optional<std::vector<std::shared_ptr<TLWPBEvent>>> TLWBundler::sampleEvents(
    const std::vector<std::shared_ptr<TLWPBEvent>>& events, TLWError* error) {
  TLWDatabase& db = *deps_.database;
  TLWMonitor& monitor = *deps_.monitor;
  TLWRemoteConfig& config = *deps_.remoteConfig;

  TLWError readError;
  auto all = db.allEventAggregates(&readError);
  if (!all) {
    monitor.logWithLevel(1, 23157, "Unable to query all event aggregates for cache. error", readError.asValue());
    TLWSetError(error, readError);
    return std::nullopt;
  }
  std::map<std::string, std::shared_ptr<TLWEventAggregates>, std::less<>> cache;
  for (auto& aggregates : *all) {
    if (aggregates) cache[aggregates->name()] = aggregates;
  }

  const double offset = static_cast<double>(config.analyticsAccountTimeZoneOffsetMinutes()) * 60.0;
  std::set<std::string> touched;
  std::vector<std::shared_ptr<TLWPBEvent>> kept;
  kept.reserve(events.size());
  for (const auto& event : events) {
    const std::string name = event->GetString(TLWPBEvent::kName).value_or("");
    if (name.empty()) {
      monitor.logWithLevel(2, 23155, "Dropping event at sampling. Event has no name");
      continue;
    }
    const double t = static_cast<double>(event->GetInt64(TLWPBEvent::kTimestamp) / 1000);
    const std::int32_t day = dayNumber(t + offset);

    auto& entry = cache[name];
    if (!entry) entry = TLWEventAggregates::initWithName(name, 0, 0, 0, 0);
    if (!entry) {
      kept.push_back(event);
      continue;
    }
    touched.insert(name);

    if (!canEventBeSampled(*event)) {
      entry->setLastBundledTimestamp(t);
      entry->setLastBundledDay(day);
      kept.push_back(event);
      continue;
    }

    const std::int32_t rate = config.samplingRateForEvent(name);
    if (isEventBundledAfterRoll(rate)) {
      entry->setLastSamplingRate(rate);
      entry->setLastSampledComplexEventID(std::nullopt);
      entry->setLastBundledTimestamp(t);
      entry->setLastBundledDay(day);
      if (!addIntParamIfAbsent(*event, kSamplingRateParam, rate)) {
        monitor.logWithLevel(2, 23153, "Failed to create sampling rate parameter");
      }
      kept.push_back(event);
      continue;
    }

    std::int32_t lastDay = entry->lastBundledDay();
    if (lastDay == 0) {
      const double previous = static_cast<double>(event->GetInt64(TLWPBEvent::kPreviousTimestamp) / 1000);
      lastDay = dayNumber(previous + offset);
    }
    entry->setLastSamplingRate(rate);
    if (lastDay != day) {
      entry->setLastBundledTimestamp(t);
      entry->setLastBundledDay(day);
      if (!addIntParamIfAbsent(*event, kSamplingRateParam, rate)) {
        monitor.logWithLevel(2, 23153, "Failed to create sampling rate parameter");
      }
      if (!addIntParamIfAbsent(*event, kExemptFromSamplingParam, 1)) {
        monitor.logWithLevel(2, 23158, "Failed to create exempt from sampling parameter");
      }
      entry->setLastExemptFromSampling(true);
      kept.push_back(event);
    } else if (auto eid = eventIntParam(*event, kComplexEventIDParam)) {
      entry->setLastSampledComplexEventID(*eid);
    }
  }

  for (const auto& name : touched) {
    const auto& entry = cache[name];
    TLWError storeError;
    auto stored = db.eventAggregatesWithName(name, &storeError);
    if (!stored) {
      if (!hasError(storeError)) continue;
      monitor.logWithLevel(1, 23151, "Unable to query event aggregates to update database. Name, error", Value(name),
                           storeError.asValue());
      TLWSetError(error, storeError);
      return std::nullopt;
    }
    if (entry->lastBundledTimestamp() != 0) stored->setLastBundledTimestamp(entry->lastBundledTimestamp());
    stored->setLastSamplingRate(entry->lastSamplingRate());
    stored->setLastSampledComplexEventID(entry->lastSampledComplexEventID());
    stored->setLastExemptFromSampling(entry->lastExemptFromSampling());
    stored->setLastBundledDay(entry->lastBundledDay());
    if (!db.updateEventAggregates(stored.get(), &storeError)) {
      monitor.logWithLevel(1, 23152,
                           "Failed to update event aggregates after removing removing events due to sampling. Error",
                           storeError.asValue());
      TLWSetError(error, storeError);
      return std::nullopt;
    }
  }
  return kept;
}
