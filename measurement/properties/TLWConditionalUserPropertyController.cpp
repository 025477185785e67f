#include "measurement/properties/TLWConditionalUserPropertyController.h"

#include <chrono>
#include <condition_variable>

#include "measurement/engine/TLWScheduler.h"
#include "measurement/model/TLWDataTypeValidator.h"
#include "measurement/model/TLWEvent.h"
#include "measurement/model/TLWUserAttribute.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/storage/TLWDatabase.h"
#include "platform/Environment.h"

using platform::Value;

namespace {
Value nameContext(const std::shared_ptr<TLWConditionalUserProperty>& p) { return p ? Value(p->name()) : Value(); }
Value originContext(const std::shared_ptr<TLWConditionalUserProperty>& p) { return p ? Value(p->origin()) : Value(); }
bool hasTriggerEventName(const TLWConditionalUserProperty& p) {
  return p.triggerEventName() && !p.triggerEventName()->empty();
}
}  // namespace

std::shared_ptr<TLWConditionalUserPropertyController> TLWConditionalUserPropertyController::sharedInstance() {
  static const auto& instance = *new std::shared_ptr<TLWConditionalUserPropertyController>(create());
  return instance;
}

std::shared_ptr<TLWConditionalUserPropertyController> TLWConditionalUserPropertyController::create() {
  return std::make_shared<TLWConditionalUserPropertyController>();
}

bool TLWConditionalUserPropertyController::attach(Host host) {
  if (!host.database || !host.scheduler) return false;
  if (!host.env) host.env = platform::Environment::current();
  if (!host.monitor) host.monitor = TLWMonitor::sharedInstance();
  std::lock_guard<std::mutex> lock(mutex_);
  host_ = std::move(host);
  return true;
}

TLWConditionalUserPropertyController::Host TLWConditionalUserPropertyController::host() const {
  std::lock_guard<std::mutex> lock(mutex_);
  Host h = host_;
  if (!h.monitor) h.monitor = TLWMonitor::sharedInstance();
  if (!h.env) h.env = platform::Environment::current();
  return h;
}

double TLWConditionalUserPropertyController::now(const Host& host) const { return host.env->clock()->now(); }

std::shared_ptr<TLWEvent> TLWConditionalUserPropertyController::transitionEvent(
    const TLWConditionalUserProperty& property, const std::shared_ptr<TLWEvent>& stored, double timestamp) {
  if (!stored) return nullptr;
  return TLWEvent::initWithOrigin(property.origin(), false, stored->name(), timestamp, 0, stored->parameters());
}

void TLWConditionalUserPropertyController::writeEvents(const Host& host,
                                                       const std::vector<std::shared_ptr<TLWEvent>>& events) const {
  for (const auto& event : events) {
    if (!event) continue;
    if (host.writeEventOnWorkerQueue) {
      host.writeEventOnWorkerQueue(event);
    } else {
      host.monitor->logWithLevel(2, 11021, "Cannot log conditional user property event. No event writer. Event name",
                                 Value(event->name()));
    }
  }
}

// ------------------------------------------------------------------ requests (any thread)

bool TLWConditionalUserPropertyController::isValidConditionalUserProperty(
    const TLWConditionalUserProperty& property) const {
  auto monitor = host().monitor;
  if (!TLWDataTypeValidator::isValidConditionalUserPropertyOrigin(property.origin())) return false;
  if (!TLWDataTypeValidator::isValidConditionalUserPropertyName(property.name())) return false;
  if (property.value() && !TLWDataTypeValidator::isValidConditionalUserPropertyValue(*property.value())) return false;
  auto inRange = [](double t) { return t >= kMinimumTimeout && t <= kMaximumTimeout; };
  if (!inRange(property.triggerTimeout())) {
    monitor->logWithLevel(2, 11000, "Invalid conditional user property trigger timeout", Value(property.triggerTimeout()));
    return false;
  }
  if (!inRange(property.timeToLive())) {
    monitor->logWithLevel(2, 11001, "Invalid conditional user property time to live", Value(property.timeToLive()));
    return false;
  }
  return true;
}

void TLWConditionalUserPropertyController::setConditionalUserProperty(
    const std::shared_ptr<TLWConditionalUserProperty>& property, const std::string& name) {
  Host h = host();
  if (!property) {
    h.monitor->logWithLevel(2, 11002, "Cannot set nil conditional user property");
    return;
  }
  auto copy = property->copy();
  copy->setName(name);
  if (!isValidConditionalUserProperty(*copy)) return;
  copy->setCreationTimestamp(now(h));
  if (!h.scheduler) {
    h.monitor->logWithLevel(2, 11022, "Cannot set conditional user property. Analytics has not started. Name",
                            Value(name));
    return;
  }
  std::weak_ptr<TLWConditionalUserPropertyController> weak = weak_from_this();
  h.scheduler->scheduleOnWorkerQueueBlockID("TLWConditionalUserPropertyController:88", [weak, copy] {
    auto self = weak.lock();
    if (!self) return;
    if (copy->value()) {
      (void)self->setConditionalUserPropertyOnWorkerQueue(copy);
    } else {
      (void)self->removeConditionalUserPropertyOnWorkerQueue(copy);
    }
  });
}

void TLWConditionalUserPropertyController::clearConditionalUserPropertyWithClearEvent(std::shared_ptr<TLWEvent> clearEvent,
                                                                                      const std::string& name) {
  Host h = host();
  if (!TLWDataTypeValidator::isValidConditionalUserPropertyName(name)) return;
  if (!h.scheduler) {
    h.monitor->logWithLevel(2, 11022, "Cannot set conditional user property. Analytics has not started. Name",
                            Value(name));
    return;
  }
  auto request = std::make_shared<TLWConditionalUserProperty>();
  request->setName(name);
  request->setExpiredEvent(std::move(clearEvent));
  std::weak_ptr<TLWConditionalUserPropertyController> weak = weak_from_this();
  h.scheduler->scheduleOnWorkerQueueBlockID("TLWConditionalUserPropertyController:113", [weak, request] {
    if (auto self = weak.lock()) (void)self->removeConditionalUserPropertyOnWorkerQueue(request);
  });
}

void TLWConditionalUserPropertyController::clearConditionalUserProperty(const std::string& name,
                                                                        const std::string& origin,
                                                                        const std::optional<std::string>& clearEventName,
                                                                        const platform::Dictionary& clearEventParameters) {
  std::shared_ptr<TLWEvent> clearEvent;
  if (clearEventName && !clearEventName->empty()) {
    clearEvent = TLWEvent::initWithOrigin(origin, false, *clearEventName, now(host()), 0, clearEventParameters);
  }
  clearConditionalUserPropertyWithClearEvent(std::move(clearEvent), name);
}

std::optional<std::vector<std::shared_ptr<TLWConditionalUserProperty>>>
TLWConditionalUserPropertyController::conditionalUserPropertiesWithNamePrefix(const std::optional<std::string>& prefix,
                                                                             const std::optional<std::string>& origin) {
  Host h = host();
  if (!h.scheduler) return std::nullopt;
  if (h.scheduler->workerQueue() && h.scheduler->workerQueue()->isCurrent()) {
    h.monitor->logWithLevel(1, 11023, "Cannot wait for conditional user properties on the worker queue");
    return std::nullopt;
  }
  struct Wait {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::optional<std::vector<std::shared_ptr<TLWConditionalUserProperty>>> result;
  };
  auto wait = std::make_shared<Wait>();
  std::weak_ptr<TLWConditionalUserPropertyController> weak = weak_from_this();
  h.scheduler->scheduleOnWorkerQueueBlockID(
      "TLWConditionalUserPropertyController:161",
      [weak, wait, prefix = prefix.value_or(""), origin = origin.value_or("")] {
        std::optional<std::vector<std::shared_ptr<TLWConditionalUserProperty>>> result;
        if (auto self = weak.lock()) result = self->queryOnWorkerQueue(prefix, origin);
        std::lock_guard<std::mutex> lock(wait->mutex);
        wait->result = std::move(result);
        wait->finished = true;
        wait->done.notify_all();
      });
  std::unique_lock<std::mutex> lock(wait->mutex);
  if (!wait->done.wait_for(lock, std::chrono::duration<double>(kQueryWaitSeconds), [&] { return wait->finished; })) {
    h.monitor->logWithLevel(2, 11024, "Timed out waiting for conditional user properties");
    return std::nullopt;
  }
  return std::move(wait->result);
}

platform::Array TLWConditionalUserPropertyController::conditionalUserProperties(const std::string& origin,
                                                                               const std::string& propertyNamePrefix) {
  platform::Array out;
  auto records = conditionalUserPropertiesWithNamePrefix(propertyNamePrefix, origin);
  if (!records) return out;
  for (const auto& record : *records) {
    if (!record || record->name().empty() || !record->value() || !record->value()->isString()) continue;
    out.push_back(platform::Dictionary{{"name", Value(record->name())},
                                       {"value", Value(*record->value()->stringValue())}});
  }
  return out;
}

// ------------------------------------------------------------------ worker queue

std::optional<std::vector<std::shared_ptr<TLWConditionalUserProperty>>>
TLWConditionalUserPropertyController::queryOnWorkerQueue(const std::string& prefix, const std::string& origin) {
  Host h = host();
  if (h.isAnalyticsEnabled && !h.isAnalyticsEnabled()) {
    h.monitor->logWithLevel(3, 11005, "Cannot query for conditional user properties. Analytics is disabled");
    return std::nullopt;
  }
  if (!h.database) return std::nullopt;
  TLWError error;
  auto records = h.database->conditionalUserPropertiesWithPrefix(prefix, origin, &error);
  if (!records) {
    h.monitor->logWithLevel(2, 11006, "Cannot query for conditional user properties. Name prefix, origin, error",
                            Value(prefix), Value(origin), error.asValue());
  }
  return records;
}

bool TLWConditionalUserPropertyController::setConditionalUserPropertyOnWorkerQueue(
    const std::shared_ptr<TLWConditionalUserProperty>& property) {
  Host h = host();
  if (h.isAnalyticsEnabled && !h.isAnalyticsEnabled()) {
    h.monitor->logWithLevel(3, 11007, "Cannot set conditional user property. Analytics is disabled");
    return false;
  }
  if (!property) {
    h.monitor->logWithLevel(2, 11008, "Cannot set nil conditional user property on worker queue");
    return false;
  }
  if (!h.database) return false;
  TLWDatabase& db = *h.database;
  auto n = property->copy();
  std::shared_ptr<TLWEvent> triggered;
  const bool committed = db.performTransaction([&] {
    triggered = nullptr;
    TLWError error;
    auto stored = db.conditionalUserPropertyWithName(n->name(), &error);
    if (!stored) {
      h.monitor->logWithLevel(1, 11009, "Cannot query conditional user property. Name, origin, error",
                              Value(n->name()), Value(n->origin()), error.asValue());
      return false;
    }
    const auto& s = *stored;
    if (s && s->origin() != n->origin()) {
      h.monitor->logWithLevel(5, 11010, "Updating a conditional user property with different origin. Name, origin, saved origin",
                              Value(n->name()), Value(n->origin()), Value(s->origin()));
    }
    bool activatedNow = false;
    if (s && s->active()) {
      n->setOrigin(s->origin());
      n->setCreationTimestamp(s->creationTimestamp());
      n->setTriggerEventName(s->triggerEventName());
      n->setTriggeredEvent(s->triggeredEvent());
      n->setTriggerTimeout(s->triggerTimeout());
    } else if (!hasTriggerEventName(*n)) {
      n->setActive(true);
      n->setTriggeredTimestamp(n->creationTimestamp());
      activatedNow = true;
    }
    if (n->active() && n->value()) {
      auto attribute = TLWUserAttribute::initWithOrigin(n->origin(), n->name(), *n->value(), n->triggeredTimestamp());
      if (attribute && db.updateUserAttribute(attribute.get(), &error)) {
        h.monitor->logWithLevel(7, 11012, "User property updated. Name, origin", Value(n->name()), Value(n->origin()));
      } else {
        h.monitor->logWithLevel(1, 11011, "Cannot update user property from conditional user property. Name, origin, error",
                                Value(n->name()), Value(n->origin()), error.asValue());
      }
      if (activatedNow) triggered = transitionEvent(*n, n->triggeredEvent(), n->triggeredTimestamp());
    }
    if (s && s->active()) {
      n->setActive(s->active());
      n->setTriggeredTimestamp(s->triggeredTimestamp());
    }
    if (!db.updateConditionalUserProperty(n.get(), &error)) {
      h.monitor->logWithLevel(1, 11014, "Cannot insert user property from conditional user property. Name, origin, error",
                              Value(n->name()), Value(n->origin()), error.asValue());
      return false;
    }
    h.monitor->logWithLevel(7, 11013, "Conditional user property added. Name, origin", Value(n->name()),
                            Value(n->origin()));
    return true;
  });
  if (!committed) return false;
  if (triggered) writeEvents(h, {triggered});
  return true;
}

bool TLWConditionalUserPropertyController::removeConditionalUserPropertyOnWorkerQueue(
    const std::shared_ptr<TLWConditionalUserProperty>& request) {
  Host h = host();
  if (h.isAnalyticsEnabled && !h.isAnalyticsEnabled()) {
    h.monitor->logWithLevel(3, 11015, "Cannot remove conditional user property. Analytics is disabled");
    return false;
  }
  if (!request) {
    h.monitor->logWithLevel(0, 11016, "Cannot remove nil conditional user property on worker queue");
    return false;
  }
  if (!h.database) return false;
  TLWDatabase& db = *h.database;
  std::shared_ptr<TLWEvent> cleared;
  const bool committed = db.performTransaction([&] {
    cleared = nullptr;
    TLWError error;
    auto stored = db.conditionalUserPropertyWithName(request->name(), &error);
    if (!stored) {
      h.monitor->logWithLevel(1, 11017, "Cannot query conditional user property to remove. Name, origin, error",
                              Value(request->name()), Value(request->origin()), error.asValue());
      return false;
    }
    const auto s = *stored;
    if (!s) {
      h.monitor->logWithLevel(4, 11018, "Cannot remove nonexistent conditional user property. Name, origin",
                              Value(request->name()), Value(request->origin()));
      return true;
    }
    if (!db.deleteConditionalUserPropertyWithName(s->name(), &error)) {
      h.monitor->logWithLevel(1, 11019, "Cannot delete conditional user property. Name, origin, error",
                              nameContext(s), originContext(s), error.asValue());
      return false;
    }
    if (s->active() && !db.deleteUserAttributeWithName(s->name(), &error)) {
      h.monitor->logWithLevel(1, 11020,
                              "Cannot remove conditional user property. Failed to delete the user property. Name, "
                              "origin, error",
                              nameContext(s), originContext(s), error.asValue());
      return false;
    }
    cleared = transitionEvent(*s, request->expiredEvent(), now(h));
    return true;
  });
  if (!committed) return false;
  if (cleared) writeEvents(h, {cleared});
  return true;
}

bool TLWConditionalUserPropertyController::removeTimedOutCUPWithTimedOutEvents(
    std::vector<std::shared_ptr<TLWEvent>>& timedOutEvents) {
  Host h = host();
  TLWError error;
  auto records = h.database->timedOutConditionalUserPropertiesWithError(&error);
  if (!records) {
    h.monitor->logWithLevel(1, 10001, "Cannot fetch timed out conditional user properties. Error", error.asValue());
    return false;
  }
  for (const auto& record : *records) {
    h.monitor->logWithLevel(7, 10002, "Conditional user property has timed out. Name", nameContext(record));
    if (!h.database->deleteConditionalUserPropertyWithName(record->name(), &error)) {
      h.monitor->logWithLevel(1, 10003, "Cannot delete timed out condition user property. Name, error",
                              nameContext(record), error.asValue());
      return false;
    }
    if (auto event = transitionEvent(*record, record->timedOutEvent(), now(h))) timedOutEvents.push_back(event);
  }
  return true;
}

bool TLWConditionalUserPropertyController::removeExpiredCUPWithExpiredEvents(
    std::vector<std::shared_ptr<TLWEvent>>& expiredEvents) {
  Host h = host();
  TLWError error;
  auto records = h.database->expiredConditionalUserPropertiesWithError(&error);
  if (!records) {
    h.monitor->logWithLevel(1, 10004, "Cannot fetch expired conditional user properties. Error", error.asValue());
    return false;
  }
  for (const auto& record : *records) {
    h.monitor->logWithLevel(7, 10005, "Conditional user property has expired. Name, expired event",
                            nameContext(record),
                            record->expiredEvent() ? Value(record->expiredEvent()->name()) : Value());
    if (!h.database->deleteUserAttributeWithName(record->name(), &error)) {
      h.monitor->logWithLevel(1, 10006,
                              "Cannot remove conditional user property. Failed to delete the user property. Name, "
                              "origin, error",
                              nameContext(record), originContext(record), error.asValue());
      return false;
    }
    if (!h.database->deleteConditionalUserPropertyWithName(record->name(), &error)) {
      h.monitor->logWithLevel(1, 10007, "Cannot delete expired condition user property. Name, error",
                              nameContext(record), error.asValue());
      return false;
    }
    if (auto event = transitionEvent(*record, record->expiredEvent(), now(h))) expiredEvents.push_back(event);
  }
  return true;
}

std::optional<std::vector<std::shared_ptr<TLWEvent>>>
TLWConditionalUserPropertyController::updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
    const std::string& eventName) {
  Host h = host();
  TLWError error;
  auto records = h.database->triggeredConditionalUserPropertiesWithEventName(eventName, &error);
  if (!records) {
    h.monitor->logWithLevel(1, 10008, "Cannot fetch triggering conditional user properties. Event name, error",
                            Value(eventName), error.asValue());
    return std::nullopt;
  }
  std::vector<std::shared_ptr<TLWEvent>> triggered;
  for (const auto& record : *records) {
    const double t = now(h);
    std::shared_ptr<TLWUserAttribute> attribute;
    if (record->value()) attribute = TLWUserAttribute::initWithOrigin(record->origin(), record->name(), *record->value(), t);
    if (attribute && h.database->updateUserAttribute(attribute.get(), &error)) {
      h.monitor->logWithLevel(7, 10010, "User property updated. Name, origin, value", nameContext(record),
                              originContext(record), Value(attribute->value().description()));
    } else {
      h.monitor->logWithLevel(1, 10009, "Cannot update user property from conditional user property. Name, origin, error",
                              nameContext(record), originContext(record), error.asValue());
    }
    if (auto event = transitionEvent(*record, record->triggeredEvent(), t)) triggered.push_back(event);
    auto active = record->copy();
    active->setActive(true);
    active->setTriggeredTimestamp(t);
    if (!h.database->updateConditionalUserProperty(active.get(), &error)) {
      h.monitor->logWithLevel(1, 10011, "Cannot update conditional user property. Name, origin, error",
                              nameContext(record), originContext(record), error.asValue());
      return std::nullopt;
    }
  }
  return triggered;
}

std::optional<std::vector<std::shared_ptr<TLWEvent>>> TLWConditionalUserPropertyController::processEventOnWorkerQueue(
    const TLWEvent& event) {
  Host h = host();
  if (!h.database) {
    h.monitor->logWithLevel(2, 10012, "Cannot process event for conditional user property. Analytics has not started");
    return std::nullopt;
  }
  // Most apps have none; then no event can time one out, expire or trigger one.
  if (h.database->hasConditionalUserProperties(nullptr) == false) return std::vector<std::shared_ptr<TLWEvent>>{};
  std::vector<std::shared_ptr<TLWEvent>> timedOut;
  std::vector<std::shared_ptr<TLWEvent>> expired;
  std::vector<std::shared_ptr<TLWEvent>> triggered;
  const bool committed = h.database->performTransaction([&] {
    timedOut.clear();
    expired.clear();
    triggered.clear();
    if (!removeTimedOutCUPWithTimedOutEvents(timedOut)) return false;
    if (!removeExpiredCUPWithExpiredEvents(expired)) return false;
    auto fired = updateConditionalUserPropertiesWithEventNameOnWorkerQueue(event.name());
    if (!fired) return false;
    triggered = std::move(*fired);
    return true;
  });
  if (!committed) return std::nullopt;
  writeEvents(h, timedOut);
  writeEvents(h, expired);
  return triggered;
}
