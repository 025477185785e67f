#include "measurement/engine/TLWBundleTimeChecks.h"

#include <string>
#include <utility>

#include "measurement/model/TLWDailyCounts.h"
#include "measurement/model/TLWDataTypeValidator.h"
#include "measurement/model/TLWRawEventData.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/reporters/TLWPurchaseReceiptChecking.h"
#include "measurement/storage/TLWPersistedConfig.h"

namespace {

using platform::Value;

bool isPublicName(std::string_view name) { return !name.empty() && name[0] != '_'; }

Value parametersValue(const TLWEvent& event) { return Value(TLWParametersToDictionary(event.parameters())); }

TLWEventPipelineSettings& defaultSettings() {
  static auto* const defaults = new TLWEventPipelineSettings();  // never destroyed: worker threads outlive statics
  return *defaults;
}

}  // namespace

TLWBundleTimeChecks::TLWBundleTimeChecks(Dependencies dependencies) : deps_(std::move(dependencies)) {}

bool TLWBundleTimeChecks::isExemptFromRealtimeLimit(const TLWEvent& event, bool debugModeEnabled) {
  const std::string& name = event.name();
  return name == "_iap" || name == "_f" || name == "_fx" || debugModeEnabled;
}

TLWEventPipelineSettings& TLWBundleTimeChecks::settings() const {
  return deps_.settings ? *deps_.settings : defaultSettings();
}

std::int32_t TLWBundleTimeChecks::currentDayNumber() const {
  return TLWDailyCounts::dayNumber(deps_.env->clock()->now(), deps_.persistedConfig->midnightOffset());
}

std::shared_ptr<TLWRawEventData> TLWBundleTimeChecks::internalEventFromPublicEvent(
    const std::shared_ptr<TLWRawEventData>& data) {
  if (!data || !data->rawEvent() || data->rawEvent()->name() != "ad_impression") return data;
  const TLWEvent& event = *data->rawEvent();
  auto renamed = TLWEvent::initWithOrigin(event.origin(), false, "_ai", event.timestamp(), event.previousTimestamp(),
                                          event.parameters());
  if (!renamed) return data;
  auto out = TLWRawEventData::initWithRawEvent(std::move(renamed), data->rowID(), data->metadataFingerprint());
  return out ? out : data;
}

namespace {

// A changeable copy of a stored event, put back into `data` by commit().
struct MutableRawEvent {
  std::shared_ptr<TLWRawEventData>& data;
  std::shared_ptr<TLWEvent> event;
  explicit MutableRawEvent(std::shared_ptr<TLWRawEventData>& d) : data(d) {}
  TLWEvent* get() {
    if (!event) event = data->rawEvent()->copyWithPreviousTimestamp(data->rawEvent()->previousTimestamp());
    return event.get();
  }
  void commit() {
    if (!event) return;
    if (auto out = TLWRawEventData::initWithRawEvent(event, data->rowID(), data->metadataFingerprint())) data = out;
  }
};

}  // namespace

bool TLWBundleTimeChecks::checkConversion(std::shared_ptr<TLWRawEventData>& data, TLWDailyCounts& counts) {
  if (!data || !data->rawEvent()) return false;
  MutableRawEvent mutableEvent(data);
  const TLWEvent& stored = *data->rawEvent();
  const std::string name = stored.name();
  bool isConversion = stored.isConversion();
  if (!isConversion && settings().isEventCustomConversion(name)) {
    if (TLWEvent* e = mutableEvent.get()) {
      e->setConversion(true);
      isConversion = e->isConversion();
    }
  }
  bool changed = false;
  if (isConversion && isPublicName(name)) {
    const std::int32_t limit = settings().maxConversionsPerDay();
    if (counts.conversionsCount() >= limit) {
      if (TLWEvent* e = mutableEvent.get()) e->setConversion(false);
      deps_.monitor->logWithLevel(3, 23102, "Too many conversion events. Not logging event as conversion. Name, limit",
                                  Value(name), Value(limit));
    } else {
      counts.incrementCountsForCurrentDay(currentDayNumber(), false, true, 1);
      counts.decrementAllEventsCount();
      changed = true;
    }
  }
  mutableEvent.commit();
  return changed;
}

bool TLWBundleTimeChecks::checkRealtime(std::shared_ptr<TLWRawEventData>& data, TLWDailyCounts& counts) {
  if (!data || !data->rawEvent()) return false;
  const TLWEvent& stored = *data->rawEvent();
  if (!stored.isRealtime() && !stored.isConversion()) return false;
  MutableRawEvent mutableEvent(data);
  bool changed = false;
  if (isExemptFromRealtimeLimit(stored, deps_.monitor->debugModeEnabled())) {
    if (TLWEvent* e = mutableEvent.get()) e->setRealtime(true);
    deps_.monitor->logWithLevel(7, 23105,
                                "Event is not subject to real-time event count daily limit. Marking an event as "
                                "real-time. Event name, parameters",
                                Value(stored.name()), parametersValue(stored));
  } else if (counts.realtimeCount() < settings().maxRealtimeEventCountPerDay()) {
    counts.incrementRealtimeCountsForCurrentDay(currentDayNumber());
    if (TLWEvent* e = mutableEvent.get()) e->setRealtime(true);
    deps_.monitor->logWithLevel(7, 23103,
                                "Event is under real-time event count daily limit. Marking the event as real-time. "
                                "Event name, parameters",
                                Value(stored.name()), parametersValue(stored));
    changed = true;
  } else {
    if (TLWEvent* e = mutableEvent.get()) e->setRealtime(false);
    deps_.monitor->logWithLevel(4, 23104,
                                "Number of real-time events is over the real-time event count daily limit. Event is "
                                "no longer real-time. Event name, parameters",
                                Value(stored.name()), parametersValue(stored));
  }
  mutableEvent.commit();
  return changed;
}

std::shared_ptr<TLWRawEventData> TLWBundleTimeChecks::validatePurchaseEvent(const std::shared_ptr<TLWRawEventData>& data) {
  if (!data || !data->rawEvent() || data->rawEvent()->name() != "_iap") return data;
  TLWParameters parameters = data->rawEvent()->parameters();
  if (deps_.receipt && deps_.receipt->isSandboxReceipt()) {
    parameters.insert_or_assign("sandbox", TLWValue::initWithInt64(1));
  }
  const bool validated = deps_.receipt && deps_.receipt->isReceiptValidated();
  parameters.insert_or_assign("validated", TLWValue::initWithInt64(validated ? 1 : 0));
  auto event = data->rawEvent()->copyWithParameters(parameters);
  if (!event) return data;
  auto out = TLWRawEventData::initWithRawEvent(std::move(event), data->rowID(), data->metadataFingerprint());
  return out ? out : data;
}
