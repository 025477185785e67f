#include "measurement/engine/TLWEventPipeline.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>

#include "measurement/engine/TLWBundleTimeChecks.h"
#include "measurement/engine/TLWEventBacklog.h"
#include "measurement/scheduler/TLWScheduler.h"
#include "measurement/engine/TLWUserPropertyPipeline.h"
#include "measurement/model/TLWDataTypeValidator.h"
#include "measurement/model/TLWEventAggregates.h"
#include "measurement/model/TLWRawEventData.h"
#include "measurement/model/TLWUserAttribute.h"
#include "measurement/monitor/TLWError.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWKeychainWrapper.h"
#include "measurement/storage/TLWPersistedConfig.h"

namespace {

using platform::Value;

constexpr std::string_view kErrorEventName = "_err";
constexpr std::string_view kAutoOrigin = "auto";

bool isConversionEventName(std::string_view name) {
  return name == "ecommerce_purchase" || name == "_f" || name == "_iap" || name == "purchase" || name == "refund";
}

bool isPublicName(std::string_view name) { return !name.empty() && name[0] != '_'; }

const TLWValue* parameter(const TLWEvent& event, std::string_view name) {
  auto it = event.parameters().find(name);
  return it == event.parameters().end() ? nullptr : &it->second;
}

bool isInt64One(const TLWValue* value) { return value && value->isInt64() && value->int64Value() == 1; }

std::int32_t effectiveEventCount(const TLWEvent& event) {
  std::int64_t count = 1;
  for (const auto& [name, value] : event.parameters()) {
    if (const TLWValueArray* items = value.arrayValue()) count += static_cast<std::int64_t>(items->size());
  }
  return static_cast<std::int32_t>(std::min<std::int64_t>(count, std::numeric_limits<std::int32_t>::max()));
}

Value parametersValue(const TLWEvent& event) { return Value(TLWParametersToDictionary(event.parameters())); }

TLWParameters errorCodeParameters(std::int64_t code) {
  TLWParameters parameters;
  parameters.emplace("_err", TLWValue::initWithInt64(code));
  return parameters;
}

}  // namespace

// ------------------------------------------------------------------ creation

std::shared_ptr<TLWEventPipeline> TLWEventPipeline::create(Dependencies dependencies) {
  auto monitor = dependencies.monitor ? dependencies.monitor : TLWMonitor::sharedInstance();
  if (!dependencies.database || !dependencies.persistedConfig || !dependencies.scheduler ||
      !dependencies.userProperties) {
    monitor->logWithLevel(1, 23900, "Cannot create event pipeline without database, persisted configuration, "
                                    "scheduler and user property pipeline");
    return nullptr;
  }
  std::shared_ptr<TLWEventPipeline> pipeline(new TLWEventPipeline(std::move(dependencies)));
  pipeline->deps_.userProperties->setErrorEventSink(
      [weak = std::weak_ptr<TLWEventPipeline>(pipeline)](TLWParameters parameters) {
        if (auto self = weak.lock()) self->logErrorEventWithParameters(std::move(parameters));
      });
  return pipeline;
}

TLWEventPipeline::TLWEventPipeline(Dependencies dependencies) : deps_(std::move(dependencies)) {
  if (!deps_.settings) deps_.settings = std::make_shared<TLWEventPipelineSettings>();
  if (!deps_.identity) deps_.identity = std::make_shared<TLWEventPipelineIdentity>();
  if (!deps_.env) deps_.env = platform::Environment::current();
  if (!deps_.monitor) deps_.monitor = TLWMonitor::sharedInstance();
  if (!deps_.environmentInfo) deps_.environmentInfo = std::make_shared<TLWEnvironmentInfo>(deps_.env, deps_.monitor);
}

TLWEventPipeline::~TLWEventPipeline() = default;

bool TLWEventPipeline::isMeasurementEnabled() const {
  auto h = host();
  return h && h->isMeasurementEnabled();
}

double TLWEventPipeline::now() const { return deps_.env->clock()->now(); }

std::int32_t TLWEventPipeline::currentDayNumber() {
  const double offset =
      midnightOffset_.get(*deps_.persistedConfig, [this] { return deps_.persistedConfig->midnightOffset(); });
  return TLWDailyCounts::dayNumber(now(), offset);
}

// ------------------------------------------------------------------ entry points

void TLWEventPipeline::logEventWithOrigin(std::string origin, bool isPublicEvent, std::string name,
                                          platform::Dictionary parameters, double timestamp, bool enabled,
                                          bool ignoreEnabled, bool ignoreInterceptor, TLWEventInterceptor interceptor,
                                          std::optional<platform::Dictionary> addedScreenParameters) {
  deps_.scheduler->scheduleOnWorkerQueueBlockID(
      "TLWMeasurement:2135",
      [weak = weak_from_this(), origin = std::move(origin), isPublicEvent, name = std::move(name),
       parameters = std::move(parameters), timestamp, enabled, ignoreEnabled, ignoreInterceptor,
       interceptor = std::move(interceptor), screen = std::move(addedScreenParameters)] {
        if (auto self = weak.lock()) {
          self->logEventOnWorkerQueueWithOrigin(origin, isPublicEvent, name, parameters, timestamp, enabled,
                                                ignoreEnabled, ignoreInterceptor, interceptor, screen);
        }
      });
}

void TLWEventPipeline::logEvent(std::shared_ptr<TLWEvent> event) {
  if (!event) return;
  deps_.scheduler->scheduleOnWorkerQueueBlockID("TLWMeasurement:2241",
                                                [weak = weak_from_this(), event = std::move(event)] {
                                                  if (auto self = weak.lock()) self->handleEventOnWorkerQueue(event);
                                                });
}

void TLWEventPipeline::logErrorEventWithParameters(TLWParameters parameters) {
  const double timestamp = now();
  // Reported at the end of the backlog group that caused it: a group that is rolled back
  // and retried reports it once.
  if (deps_.scheduler->workerQueue()->isCurrent() && holdErrorEvents_) {
    heldErrorEvents_.emplace_back(std::move(parameters), timestamp);
    return;
  }
  scheduleErrorEvent(std::move(parameters), timestamp);
}

void TLWEventPipeline::scheduleErrorEvent(TLWParameters parameters, double timestamp) {
  scheduledErrorEvents_.fetch_add(1);
  deps_.scheduler->scheduleOnWorkerQueueBlockID(
      "TLWMeasurement:2135", [weak = weak_from_this(), parameters = std::move(parameters), timestamp] {
        auto self = weak.lock();
        if (!self) return;
        struct Done {
          TLWEventPipeline& pipeline;
          ~Done() {
            pipeline.scheduledErrorEvents_.fetch_sub(1);
            if (auto h = pipeline.host()) h->pendingWorkMayBeStored();
          }
        } done{*self};
        auto event = TLWEvent::initWithOrigin(kAutoOrigin, false, kErrorEventName, timestamp, 0, parameters);
        if (event) self->handleInternalEventOnWorkerQueue(event);
      });
}

void TLWEventPipeline::releaseHeldErrorEvents(bool report) {
  holdErrorEvents_ = false;
  auto held = std::exchange(heldErrorEvents_, {});
  if (!report) return;
  for (auto& [parameters, timestamp] : held) scheduleErrorEvent(std::move(parameters), timestamp);
}

void TLWEventPipeline::setDefaultEventParameters(std::optional<platform::Dictionary> parameters) {
  deps_.scheduler->scheduleOnWorkerQueueBlockID(
      "TLWMeasurement:2250", [weak = weak_from_this(), parameters = std::move(parameters)] {
        if (auto self = weak.lock()) self->handleSetDefaultEventParametersOnWorkerQueue(parameters);
      });
}

void TLWEventPipeline::logFirstOpenConsentedEvent(double timestamp) {
  deps_.persistedConfig->setUnmatchedFirstOpenWithoutIDFA(false);
  deps_.scheduler->scheduleOnWorkerQueueBlockID("TLWMeasurement:880", [weak = weak_from_this(), timestamp] {
    auto self = weak.lock();
    if (!self) return;
    auto event = TLWEvent::initWithOrigin(kAutoOrigin, false, "_fx", timestamp, 0, TLWParameters{});
    if (!event) return;
    event->setRealtime(true);
    self->writeEventOnWorkerQueue(event);
  });
}

// ------------------------------------------------------------------ 1. entry with interceptor

bool TLWEventPipeline::goesToInterceptor(const std::string& origin, bool isPublicEvent, const std::string& name,
                                         bool enabled, bool ignoreEnabled, bool ignoreInterceptor,
                                         const TLWEventInterceptor& interceptor) {
  if (!enabled && !ignoreEnabled) return false;
  if (origin == "qd" || name == "_xa" || name == "_xu") return false;
  return isPublicEvent && interceptor && !ignoreInterceptor;
}

bool TLWEventPipeline::logEventOnWorkerQueueWithOrigin(
    const std::string& origin, bool isPublicEvent, const std::string& name, const platform::Dictionary& parameters,
    double timestamp, bool enabled, bool ignoreEnabled, bool ignoreInterceptor, const TLWEventInterceptor& interceptor,
    const std::optional<platform::Dictionary>& addedScreenParameters) {
  std::optional<platform::Dictionary> merged;
  if (!ignoreInterceptor && name != kErrorEventName) merged = parametersWithAddedDefaultEventParameters(parameters);
  const platform::Dictionary& withDefaults = merged ? *merged : parameters;
  auto event = TLWEvent::initWithOrigin(origin, isPublicEvent, name, timestamp, 0, withDefaults);
  if (!event) {
    deps_.monitor->logWithLevel(1, 23219, "Attempted to log nil event. Origin, name, parameters", Value(origin),
                                Value(name), Value(withDefaults));
    return true;
  }
  if (addedScreenParameters) (void)event->addScreenParameters(*addedScreenParameters);

  if (!enabled && !ignoreEnabled) {
    logEventOnWorkerQueue(event, false);
    return true;
  }
  if (origin == "qd" || name == "_xa" || name == "_xu") {
    logEventOnWorkerQueue(event, false);
    return true;
  }
  if (goesToInterceptor(origin, isPublicEvent, name, enabled, ignoreEnabled, ignoreInterceptor, interceptor)) {
    platform::Dictionary intercepted = withDefaults;
    if (addedScreenParameters) {
      for (const auto& [key, value] : *addedScreenParameters) intercepted.set(key, value);
    }
    interceptor(origin, name, intercepted, timestamp);
    return false;
  }
  logEventOnWorkerQueue(event, true);
  return true;
}

void TLWEventPipeline::logEventOnWorkerQueue(const std::shared_ptr<TLWEvent>& event, bool notifyEventListeners) {
  if (!event) return;
  std::shared_ptr<TLWEvent> listenerCopy;
  if (notifyEventListeners) {
    auto h = host();
    if (h && h->hasEventListeners()) listenerCopy = event->copy();
  }
  handleEventOnWorkerQueue(event);
  if (listenerCopy) notifyListenersAfterCommit(std::move(listenerCopy));
}

// Listeners hear of an event only once the commit that stored it is durable; a group's
// events go to them together.
void TLWEventPipeline::notifyListenersAfterCommit(std::shared_ptr<TLWEvent> event) {
  if (!deps_.database->isInWriteGroup()) {
    deps_.database->runAfterCommit([weak = deps_.host, event = std::move(event)]() mutable {
      if (auto h = weak.lock()) h->notifyEventListeners({std::move(event)});
    });
    return;
  }
  listenerEventsOwed_.push_back(std::move(event));
  if (listenerEventsOwed_.size() > 1) return;
  deps_.database->runAfterCommit([self = weak_from_this(), weak = deps_.host] {
    auto pipeline = self.lock();
    if (!pipeline) return;
    auto events = std::exchange(pipeline->listenerEventsOwed_, {});
    if (auto h = weak.lock()) h->notifyEventListeners(std::move(events));
  });
}

void TLWEventPipeline::updateScheduleAfterCommit() {
  // One replan after a group's commit sees every event of the group.
  if (scheduleUpdateOwed_) return;
  scheduleUpdateOwed_ = deps_.database->isInWriteGroup();
  deps_.database->runAfterCommit([self = weak_from_this(), weak = deps_.host] {
    if (auto pipeline = self.lock()) pipeline->scheduleUpdateOwed_ = false;
    if (auto h = weak.lock()) h->updateSchedule();
  });
}

// ------------------------------------------------------------------ backlog drain

void TLWEventPipeline::drainBacklog(TLWEventBacklog& backlog, std::optional<std::uint64_t> through) {
  // Events pushed after the drain started wait for the next drain, so blocks queued
  // behind this one are not starved by a steady stream of events.
  const std::uint64_t upTo = through.value_or(backlog.newestSequence());
  TLWDatabase& db = *deps_.database;
  // Internal events that met a busy or full database came first.
  if (!storeRetainedEvents()) {
    backlog.putBack({}, storageFailed(backlog.size()));
    return;
  }
  std::vector<TLWEventCall> group;
  group.reserve(kMaxEventsPerGroup);
  auto intercepted = [](const TLWEventCall& c) {
    return goesToInterceptor(c.origin, c.isPublicEvent, c.name, c.enabled, c.ignoreEnabled, c.ignoreInterceptor,
                             c.interceptor);
  };
  // Taken, and ending the group before it: it goes to the app's interceptor.
  std::optional<TLWEventCall> carried;
  for (;;) {
    std::optional<TLWEventCall> call = carried ? std::exchange(carried, std::nullopt) : backlog.take(upTo);
    if (!call) break;
    if (intercepted(*call)) {
      // App code runs outside any transaction: a slow interceptor must not keep the
      // database locked against another process. It logs the event again itself.
      (void)storeCall(*call, 1);
      backlog.settleTaken();
      continue;
    }
    // Several events to a transaction, each in its own savepoint; the group ends when
    // nothing more may run now, at kMaxEventsPerGroup or after kMaxGroupSeconds.
    const std::uint64_t failuresBefore = db.transientFailureCount();
    groupReads_ = {};
    const bool grouped = db.beginWriteGroup();
    const double started = deps_.env->clock()->monotonic();
    // A busy, full or failing database: the group's calls go back to the backlog whole.
    bool failed = !grouped && db.transientFailureCount() != failuresBefore;
    if (failed) group.push_back(std::move(*call));
    holdErrorEvents_ = true;
    int count = 0;
    while (call && !failed) {
      group.push_back(std::move(*call));
      call.reset();
      const TLWEventCall& c = group.back();
      const std::size_t listenersOwed = listenerEventsOwed_.size();
      const std::optional<bool> stays = storeCall(c, 2);
      // Its savepoint is undone: nobody may hear of it.
      if (!stays) listenerEventsOwed_.resize(listenersOwed);
      // The app's interceptor had it (it logs it again itself, so it must not run twice),
      // or handling it failed.
      if (!stays.value_or(false)) group.pop_back();
      failed = db.transientFailureCount() != failuresBefore;
      if (failed || !grouped || ++count >= kMaxEventsPerGroup ||
          deps_.env->clock()->monotonic() - started >= kMaxGroupSeconds) {
        break;
      }
      call = backlog.take(upTo);
      if (call && intercepted(*call)) {
        carried = std::move(call);
        break;
      }
    }
    // A busy or full database takes the group back whole; any other failure to write the
    // counts costs the counts, not the group's events.
    if (grouped && !failed && !writeGroupDailyCounts()) failed = db.transientFailureCount() != failuresBefore;
    if (grouped && failed) {
      db.abandonWriteGroup();
    } else if (grouped) {
      // A failed trim leaves the table over the cap until the next group; the group's
      // events are stored all the same.
      if (rawEventTrimOwed_) (void)trimRawEvents(0);
      failed = !db.commitWriteGroup() && db.transientFailureCount() != failuresBefore;
    }
    rawEventTrimOwed_ = false;
    scheduleUpdateOwed_ = false;
    groupReads_ = {};
    // A group that did not commit told nobody.
    listenerEventsOwed_.clear();
    releaseHeldErrorEvents(!failed);
    if (failed) {
      if (carried) group.push_back(std::move(*std::exchange(carried, std::nullopt)));
      const std::size_t waiting = backlog.size();
      backlog.putBack(std::move(group), storageFailed(waiting));
      return;
    }
    backlog.settleTaken();
    group.clear();
    storageRecovered();
  }
  if (const std::uint64_t refused = backlog.takeRefusedCount()) reportRefusedCalls(refused);
  // The log is checkpointed while nothing waits, off any event's path.
  if (backlog.size() == 0) (void)db.checkpointIfIdle();
}

std::optional<bool> TLWEventPipeline::storeCall(const TLWEventCall& c, int attempts) {
  // A throw undoes the event's savepoint. A second try gets past a passing shortage
  // (memory); a fault that repeats is reported, and the rest of the group is stored.
  std::string reason;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    try {
      return logEventOnWorkerQueueWithOrigin(c.origin, c.isPublicEvent, c.name, c.parameterDictionary(), c.timestamp,
                                             c.enabled, c.ignoreEnabled, c.ignoreInterceptor, c.interceptor,
                                             c.addedScreenParameters);
    } catch (const std::exception& e) {
      reason = e.what();
    } catch (...) {
      reason = "unknown exception";
    }
  }
  deps_.monitor->logWithLevel(1, 23253, "Event not stored: handling it failed. Origin, name, reason",
                              Value(c.origin), Value(c.name), Value(std::move(reason)));
  return std::nullopt;
}

double TLWEventPipeline::storageFailed(std::size_t waitingEvents) {
  const double now = deps_.env->clock()->monotonic();
  retryDelay_ = retryDelay_ == 0 ? kRetryFirstDelaySeconds : std::min(retryDelay_ * 2, kRetryMaxDelaySeconds);
  if (waitingSince_ < 0) waitingSince_ = now;
  if (lastWaitLogged_ < 0 || now - lastWaitLogged_ >= kWaitLogIntervalSeconds) {
    lastWaitLogged_ = now;
    deps_.monitor->logWithLevel(4, 23240,
                                "Cannot store events now (database busy, full or failing); they are kept in memory "
                                "and stored once it works again. Waiting events, seconds waited, SQLite error",
                                Value(static_cast<long long>(waitingEvents + retained_.size())),
                                Value(std::round(now - waitingSince_)),
                                Value(deps_.database->lastTransientFailureDescription()));
  }
  return retryDelay_;
}

void TLWEventPipeline::storageRecovered() {
  if (waitingSince_ < 0) return;
  deps_.monitor->logWithLevel(6, 23241, "Events are stored again after waiting for the database. Seconds",
                              Value(std::round(deps_.env->clock()->monotonic() - waitingSince_)));
  waitingSince_ = lastWaitLogged_ = -1;
  retryDelay_ = 0;
}

void TLWEventPipeline::reportRefusedCalls(std::uint64_t refused) {
  const auto count = static_cast<long long>(std::min<std::uint64_t>(refused, std::numeric_limits<std::int64_t>::max()));
  // Level 1 is sampled into the monitoring data that travels with uploads.
  deps_.monitor->logWithLevel(1, 23232, "Data loss. Events refused while the event backlog was full. Count",
                              Value(count));
  TLWParameters parameters = errorCodeParameters(TLWDataTypeValidator::kErrorEventLimitReached);
  parameters.emplace("_ev", TLWValue::initWithString("event_backlog"));
  parameters.emplace("_el", TLWValue::initWithInt64(count));
  logErrorEventWithParameters(std::move(parameters));
}

// ------------------------------------------------------------------ 2. internal events

void TLWEventPipeline::handleInternalEventOnWorkerQueue(const std::shared_ptr<TLWEvent>& event) {
  if (!event) return;
  // Inside a caller's transaction the caller answers for a failure.
  if (deps_.database->isInTransaction()) {
    (void)storeInternalEvent(event);
    return;
  }
  // Behind those still waiting, so they keep their order.
  if (!retained_.empty()) {
    if (!storeRetainedEvents()) {
      retainEvent(event->copy());
      return;
    }
    storageRecovered();
  }
  auto original = event->copy();
  if (!storeInternalEvent(event)) retainEvent(std::move(original));
}

bool TLWEventPipeline::storeInternalEvent(const std::shared_ptr<TLWEvent>& event) {
  if (event->name() != kErrorEventName) {
    if (const auto& defaults = defaultEventParameters(); defaults && !defaults->empty()) {
      event->applyParameters(*defaults);
    }
  }
  const std::uint64_t failuresBefore = deps_.database->transientFailureCount();
  handleEventOnWorkerQueue(event);
  if (!deps_.database->isInTransaction() && deps_.database->transientFailureCount() != failuresBefore) return false;
  notifyListenersAfterCommit(event);
  return true;
}

void TLWEventPipeline::retainEvent(std::shared_ptr<TLWEvent> event) {
  if (!event) return;
  if (retained_.size() >= kMaxRetainedEvents) {
    deps_.monitor->logWithLevel(1, 23242, "Data loss. Too many events wait for the database. Event name",
                                Value(event->name()));
    return;
  }
  retained_.push_back(std::move(event));
  scheduleRetainedRetry(storageFailed(0));
}

void TLWEventPipeline::scheduleRetainedRetry(double delaySeconds) {
  if (retainedRetryScheduled_) return;
  retainedRetryScheduled_ = true;
  deps_.scheduler->scheduleDrainOnWorkerQueueAfter(delaySeconds, "TLWMeasurement:2135", [weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    self->retainedRetryScheduled_ = false;
    if (self->retained_.empty()) return;
    if (self->storeRetainedEvents()) {
      self->storageRecovered();
      if (auto h = self->host()) h->pendingWorkMayBeStored();
    } else {
      self->scheduleRetainedRetry(self->storageFailed(0));
    }
  });
}

std::size_t TLWEventPipeline::discardRetainedEvents() {
  return std::exchange(retained_, {}).size();
}

bool TLWEventPipeline::storeRetainedEvents() {
  while (!retained_.empty()) {
    auto attempt = retained_.front()->copy();
    if (!attempt || !storeInternalEvent(attempt)) return false;
    retained_.pop_front();
  }
  return true;
}

// ------------------------------------------------------------------ 3. handling

void TLWEventPipeline::handleEventOnWorkerQueue(const std::shared_ptr<TLWEvent>& incoming) {
  if (!incoming) return;
  if (!isMeasurementEnabled()) {
    deps_.monitor->logWithLevel(7, 23049, "Analytics is disabled. Event not logged");
    return;
  }
  std::shared_ptr<TLWEvent> event = eventAfterSafelistingEvent(incoming);
  if (!event) return;

  if (auto h = host(); h && !h->isAppActive()) processSessionFromEvent(*event);

  if (!dedupeSubscriptionEvent(*event)) return;

  std::vector<std::shared_ptr<TLWEvent>> conditionalEvents;
  auto triggered = deps_.conditionalUserProperties
                       ? deps_.conditionalUserProperties->processEventOnWorkerQueue(*event)
                       : std::optional<std::vector<std::shared_ptr<TLWEvent>>>(std::in_place);
  if (triggered) {
    conditionalEvents = std::move(*triggered);
  } else {
    deps_.monitor->logWithLevel(4, 23050, "Unable to process conditional user property. Event name, origin",
                                Value(event->name()), Value(event->origin()));
  }

  if (event->name() == "_ssr" && shouldDropDuplicatedSessionStartWithRolloutEvent(*event)) return;
  event = appExceptionEventWithTarnwickFeatureRollouts(event);

  writeEventOnWorkerQueue(event);
  writeSessionStartEventOnWorkerQueue(*event);
  for (const auto& extra : conditionalEvents) {
    if (extra) writeEventOnWorkerQueue(extra);
  }
  updateScheduleAfterCommit();
}

std::shared_ptr<TLWEvent> TLWEventPipeline::eventAfterSafelistingEvent(const std::shared_ptr<TLWEvent>& event) {
  auto h = host();
  const std::vector<std::string> safelist = h ? h->safelistedEvents() : std::vector<std::string>{};
  if (safelist.empty()) return event;
  if (std::find(safelist.begin(), safelist.end(), event->name()) == safelist.end()) {
    deps_.monitor->logWithLevel(3, 23174, "Event dropped. Reason: not in allowlist. Event name, origin",
                                Value(event->name()), Value(event->origin()));
    return nullptr;
  }
  TLWParameters parameters = event->parameters();
  parameters.insert_or_assign("lq_safelisted", TLWValue::initWithInt64(1));
  return event->copyWithParameters(parameters);
}

void TLWEventPipeline::processSessionFromEvent(const TLWEvent& event) {
  auto h = host();
  if (!h) return;
  if (const TLWValue* extend = parameter(event, "extend_session")) {
    if (isInt64One(extend)) {
      if (h->isSessionExpired()) {
        h->reportSessionStartOnWorkerQueueWithTimestamp(event.timestamp(), true);
      } else {
        (void)h->extendSession();
      }
    } else {
      deps_.monitor->logWithLevel(3, 23179,
                                  "extend_session is a reserved parameter. To extend or start a session in the "
                                  "background, set an event parameter {@'extend_session': @1}");
    }
  }
  if (!h->isSessionExpired()) return;
  TLWDatabase& db = *deps_.database;
  // Every event of an expired session comes here; most find the properties gone already.
  static constexpr std::string_view kSessionProperties[] = {"_sid", "_sno", "_se"};
  if (auto stored = db.userAttributesIncludingInternal(true, nullptr)) {
    const bool any = std::any_of(stored->begin(), stored->end(), [](const auto& attribute) {
      return std::find(std::begin(kSessionProperties), std::end(kSessionProperties), attribute->name()) !=
             std::end(kSessionProperties);
    });
    if (!any) return;
  }
  (void)db.performTransaction([&] {
    struct Step {
      const char* name;
      std::int64_t code;
      const char* message;
    };
    static constexpr Step kSteps[] = {
        {"_sid", 23177, "Failed to remove session ID user property on session expiration. Error"},
        {"_sno", 23178, "Failed to remove session number user property on session expiration. Error"},
        {"_se", 23192, "Failed to remove session user engagement user property on session expiration. Error"},
    };
    for (const Step& step : kSteps) {
      TLWError error;
      if (!db.deleteUserAttributeWithName(step.name, &error)) {
        deps_.monitor->logWithLevel(2, step.code, step.message, error.asValue());
        return false;
      }
    }
    return true;
  });
}

bool TLWEventPipeline::dedupeSubscriptionEvent(const TLWEvent& event) {
  const std::string& name = event.name();
  const bool subscriptionEvent =
      name == "_assc" || name == "_assr" || (name == "_iap" && isInt64One(parameter(event, "subscription")));
  if (!subscriptionEvent) return true;
  const TLWValue* dedupeID = parameter(event, "_did");
  if (!dedupeID || !dedupeID->isInt64()) return true;

  const TLWValue* productID = parameter(event, "product_id");
  const Value productValue = productID ? productID->asObject() : Value();
  TLWDatabase& db = *deps_.database;
  TLWError error;
  auto isNew = db.insertIfNotDuplicateSubscriptionID(std::to_string(dedupeID->int64Value()), &error);
  if (!isNew) {
    deps_.monitor->logWithLevel(2, 23181, "Failed to save subscription ID. Product ID, error", productValue,
                                error.asValue());
    return true;
  }
  if (!*isNew) {
    deps_.monitor->logWithLevel(4, 23182, "Event dropped. Reason: Subscription purchase is a duplicate. Product ID",
                                productValue);
    return false;
  }
  TLWError trimError;
  auto deleted = db.deleteSubscriptionsOverLimit(&trimError);
  if (!deleted) {
    // The new ID is stored already; dropping the purchase here would lose it for good.
    deps_.monitor->logWithLevel(5, 23183, "Failed to delete older subscription records. Error", trimError.asValue());
    return true;
  }
  if (*deleted != 0) deps_.monitor->logWithLevel(5, 23184, "Deleted older subscription records beyond limit");
  return true;
}

bool TLWEventPipeline::shouldDropDuplicatedSessionStartWithRolloutEvent(const TLWEvent& event) {
  const std::optional<std::string> stored = deps_.persistedConfig->tarnwickFeatureRollouts();
  const TLWValue* rollouts = parameter(event, "_ffr");
  const std::string* rolloutsString = rollouts ? rollouts->stringValue() : nullptr;
  const bool duplicate = stored ? (rolloutsString && *rolloutsString == *stored)
                                : (!rollouts || (rolloutsString && rolloutsString->empty()));
  if (duplicate) {
    deps_.monitor->logWithLevel(8, 23191, "Feature rollouts value is a duplicate, dropping event");
    return true;
  }
  if (rolloutsString && !rolloutsString->empty()) {
    deps_.persistedConfig->setTarnwickFeatureRollouts(*rolloutsString);
  } else if (rollouts && !rolloutsString) {
    deps_.monitor->logWithLevel(2, 23190, "Unable to process tarnwick feature rollouts, value is not a string.");
  }
  return false;
}

std::shared_ptr<TLWEvent> TLWEventPipeline::appExceptionEventWithTarnwickFeatureRollouts(
    const std::shared_ptr<TLWEvent>& event) {
  if (event->name() != "_ae") return event;
  const std::optional<std::string> stored = deps_.persistedConfig->tarnwickFeatureRollouts();
  if (!stored) return event;
  TLWParameters parameters = event->parameters();
  parameters.insert_or_assign("_ffr", TLWValue::initWithString(*stored));
  auto copy = event->copyWithParameters(parameters);
  return copy ? copy : event;
}

void TLWEventPipeline::writeSessionStartEventOnWorkerQueue(const TLWEvent& event) {
  if (event.name() != "_s") return;
  const std::optional<std::string> stored = deps_.persistedConfig->tarnwickFeatureRollouts();
  if (!stored) return;
  TLWParameters parameters;
  parameters.emplace("_ffr", TLWValue::initWithString(*stored));
  if (auto rollout = TLWEvent::initWithOrigin(kAutoOrigin, false, "_ssr", now(), 0, parameters)) {
    writeEventOnWorkerQueue(rollout);
  }
}

// ------------------------------------------------------------------ 4. blocklist and event editing

namespace {

// The outcome of an editing hook that threw; call only from inside a catch block.
TLWEventEditOutcome failedEditOutcome() {
  std::string reason = "unknown exception";
  try {
    throw;
  } catch (const std::exception& e) {
    reason = e.what();
  } catch (...) {
    // Not a standard exception: nothing more to say about it.
  }
  TLWEventEditOutcome outcome;
  outcome.failed = true;
  platform::Dictionary info;
  info.set(std::string(kTLWLocalizedDescriptionKey), "Event editing threw: " + reason);
  outcome.error = TLWError(std::string(kTLWErrorDomain), -1, std::move(info));
  return outcome;
}

}  // namespace

void TLWEventPipeline::writeEventOnWorkerQueue(const std::shared_ptr<TLWEvent>& event) {
  if (!event) return;
  if (deps_.monitor->shouldProcess(7)) {
    deps_.monitor->logWithLevel(7, 23051, "Logging event: origin, name, params", Value(event->origin()),
                                Value(event->name()), parametersValue(*event));
  }
  TLWEventPipelineSettings& settings = *deps_.settings;
  if (settings.isEventBlocklisted(event->name())) {
    deps_.monitor->logWithLevel(5, 23052, "Rejected event. Event name", Value(event->name()));
    if (!settings.blocklistInternal() && !settings.blocklistPublic() && event->name() != kErrorEventName) {
      if (auto parameters = TLWDataTypeValidator::errorEventParameters(
              TLWDataTypeValidator::kErrorEventIsBlocked, event->name(), TLWDataTypeValidator::kEventNameErrorLimit,
              std::nullopt)) {
        logErrorEventWithParameters(std::move(*parameters));
      }
    }
    return;
  }
  if (!settings.isEventEditingEnabled()) {
    writeFilteredEventOnWorkerQueue(event);
    return;
  }
  TLWEventEditOutcome outcome;
  try {
    outcome = settings.editEvent(event->editEvent());
  } catch (...) {
    // Whatever the program or its hook throws (memory included), the event is kept as the
    // app logged it: code that runs on an event never costs the event.
    outcome = failedEditOutcome();
  }
  if (outcome.failed) {
    writeFilteredEventOnWorkerQueue(event);
    deps_.monitor->logWithLevel(1, 23223, "Event editing failed. Event name", Value(event->name()),
                                outcome.error.asValue());
    return;
  }
  std::shared_ptr<TLWEvent> edited = event;
  if (outcome.editedEvent) {
    // An edited event is checked like any other: one that fails (a program clears the
    // name to drop the event) is not written.
    edited = TLWEvent::eventFromEditEvent(*outcome.editedEvent);
    if (!edited) {
      deps_.monitor->logWithLevel(4, 23227, "Event dropped by event editing. Event name", Value(event->name()));
    }
  }
  writeFilteredEventOnWorkerQueue(edited);
  for (const auto& created : outcome.createdEvents) {
    if (auto createdEvent = TLWEvent::eventFromEditEvent(created)) writeFilteredEventOnWorkerQueue(createdEvent);
  }
}

// ------------------------------------------------------------------ 5. filtered write

void TLWEventPipeline::writeFilteredEventOnWorkerQueue(const std::shared_ptr<TLWEvent>& event) {
  if (!event) return;
  if (!deps_.database->isInWriteGroup() || !std::exchange(groupReads_.identifiersUpdated, true)) {
    deps_.identity->updateIdentifiers();
  }
  if (isConversionEventName(event->name())) event->setConversion(true);
  // A savepoint that is undone (by a failure or a throw) takes back what it added to the
  // group's reads, with those of any event stored inside it.
  struct UndoUnlessStored {
    GroupReads& reads;
    std::optional<TLWDailyCounts> counts = reads.dailyCounts;
    std::size_t names = reads.namesAdded.size();
    bool stored = false;
    ~UndoUnlessStored() {
      if (stored) return;
      reads.dailyCounts = std::move(counts);
      for (std::size_t i = names; i < reads.namesAdded.size(); ++i) reads.namesWithAggregates.erase(reads.namesAdded[i]);
      reads.namesAdded.resize(names);
    }
  } undo{groupReads_};
  undo.stored = deps_.database->performTransaction([&] { return writeFilteredEventInTransaction(*event); });
}

bool TLWEventPipeline::writeFilteredEventInTransaction(TLWEvent& event) {
  if (!updateLifetimeValueWithEvent(event)) return false;
  const bool isPublic = isPublicName(event.name());
  const bool grouped = deps_.database->isInWriteGroup();
  TLWError error;
  auto counts = grouped && groupReads_.dailyCounts ? groupReads_.dailyCounts : deps_.database->dailyCounts(&error);
  if (!counts) {
    deps_.monitor->logWithLevel(1, 23054, "Data loss. Unable to query daily event counts. Error", error.asValue());
    return false;
  }
  const bool process = shouldProcessEvent(event, *counts, isPublic);
  const bool realtime = isRealtimeEvent(event, *counts);
  if (grouped) {
    groupReads_.dailyCounts = *counts;
  } else {
    TLWError updateError;
    if (!deps_.database->updateDailyCounts(*counts, &updateError)) {
      deps_.monitor->logWithLevel(1, 23061, "Data loss. Unable to update daily event counts. Name, error",
                                  Value(event.name()), updateError.asValue());
      return false;
    }
  }
  return process ? writeEvent(event, isPublic, realtime) : true;
}

bool TLWEventPipeline::writeGroupDailyCounts() {
  if (!groupReads_.dailyCounts) return true;
  TLWError error;
  if (deps_.database->updateDailyCounts(*groupReads_.dailyCounts, &error)) return true;
  deps_.monitor->logWithLevel(1, 23061, "Data loss. Unable to update the daily event counts of a write group. Error",
                              error.asValue());
  return false;
}

bool TLWEventPipeline::updateLifetimeValueWithEvent(const TLWEvent& event) {
  if (!deps_.lifetimeValue || !deps_.lifetimeValue->isPurchaseEvent(event)) return true;
  if (deps_.lifetimeValue->recordLifetimeValueToDatabase(*deps_.database, event)) return true;
  const TLWValue* currency = parameter(event, "currency");
  const TLWValue* value = parameter(event, "value");
  deps_.monitor->logWithLevel(1, 23053,
                              "Cannot record lifetime value of event. Name, currency code, transaction value",
                              Value(event.name()), currency ? currency->asObject() : Value(),
                              value ? value->asObject() : Value());
  return false;
}

// ------------------------------------------------------------------ 6. daily limits

void TLWEventPipeline::reportDailyLimit(std::int64_t overflow, std::int64_t code, std::string_view message,
                                        const Value& context1, const Value& context2) {
  if (overflow % 1000 == 0) deps_.monitor->logWithLevel(1, code, message, context1, context2);
}

bool TLWEventPipeline::shouldProcessEvent(const TLWEvent& event, TLWDailyCounts& counts, bool isPublicEvent) {
  const std::int32_t day = currentDayNumber();
  if (counts.day() != day) counts.resetWithNewDay(day);
  const std::int32_t effective = effectiveEventCount(event);
  TLWEventPipelineSettings& settings = *deps_.settings;
  const bool isError = event.name() == kErrorEventName;

  const std::int32_t maxEvents = settings.maxEventsPerDay();
  if (counts.allEventsCount() >= maxEvents) {
    reportDailyLimit(std::int64_t{counts.allEventsCount()} - maxEvents, 23055,
                     "Data loss. Too many events logged. Name, limit", Value(event.name()), Value(maxEvents));
    if (isError) {
      counts.incrementErrorEventsCountForCurrentDay(day);
    } else {
      counts.incrementCountsForCurrentDay(day, isPublicEvent, false, effective);
    }
    return false;
  }

  if (isError) {
    const std::int32_t maxErrors = settings.maxErrorEventsPerDay();
    const bool drop = counts.errorEventsCount() >= maxErrors;
    if (drop) {
      const TLWValue* code = parameter(event, "_err");
      reportDailyLimit(std::int64_t{counts.errorEventsCount()} - maxErrors, 23056,
                       "Too many error events logged. Error code, limit", code ? code->asObject() : Value(),
                       Value(maxErrors));
    }
    counts.incrementErrorEventsCountForCurrentDay(day);
    if (drop) counts.decrementAllEventsCount();
    return !drop;
  }

  const std::int32_t maxPublic = settings.maxPublicEventsPerDay();
  const bool drop = isPublicEvent && counts.publicEventsCount() >= maxPublic;
  if (drop) {
    reportDailyLimit(std::int64_t{counts.publicEventsCount()} - maxPublic, 23057,
                     "Data loss. Too many public events logged. Name, limit", Value(event.name()), Value(maxPublic));
    logErrorEventWithParameters(errorCodeParameters(TLWDataTypeValidator::kErrorPublicEventLimitReached));
  }
  counts.incrementCountsForCurrentDay(day, isPublicEvent, false, effective);
  if (drop) counts.decrementAllEventsCount();
  return !drop;
}

// ------------------------------------------------------------------ 7. real-time marking

bool TLWEventPipeline::isNotRealtimeCounted(const TLWEvent& event) const {
  return TLWBundleTimeChecks::isExemptFromRealtimeLimit(event, deps_.monitor->debugModeEnabled());
}

bool TLWEventPipeline::isRealtimeEvent(TLWEvent& event, TLWDailyCounts& counts) {
  TLWEventPipelineSettings& settings = *deps_.settings;
  const std::int32_t limit = settings.maxRealtimeEventCountPerDay();
  const bool exempt = isNotRealtimeCounted(event);
  bool conversionRealtime = false;
  if (event.isConversion() || settings.isEventCustomConversion(event.name())) {
    conversionRealtime = counts.realtimeCount() < limit || exempt;
  }
  if (event.isRealtime() && !exempt && counts.realtimeCount() >= limit) {
    event.setRealtime(false);
    deps_.monitor->logWithLevel(4, 23060, "Too many real-time events. Event is no longer real-time. Event name, parameters",
                                Value(event.name()), parametersValue(event));
  }
  maybeAddDebugAndRealtimeParameters(event);
  return conversionRealtime || event.isRealtime();
}

void TLWEventPipeline::maybeAddDebugAndRealtimeParameters(TLWEvent& event) {
  if (!deps_.monitor->debugModeEnabled()) return;
  event.setRealtime(true);
  event.setDebug(true);
  deps_.monitor->logWithLevel(7, 23073, "Debug mode is enabled. Marking event as debug and real-time. Event name, parameters",
                              Value(event.name()), parametersValue(event));
}

// ------------------------------------------------------------------ 8. write

// The event's aggregates row exists afterwards, or the event is not written. Only the
// row's existence matters here (bundling updates it); within a group it is read once a name.
bool TLWEventPipeline::ensureEventAggregatesRow(const std::string& name, bool isPublicEvent) {
  TLWDatabase& db = *deps_.database;
  const bool grouped = db.isInWriteGroup();
  if (grouped && groupReads_.namesWithAggregates.contains(name)) return true;
  TLWError aggregatesError;
  if (!db.eventAggregatesWithName(name, &aggregatesError)) {
    if (aggregatesError.code() != 0) {
      deps_.monitor->logWithLevel(1, 23063, "Cannot query event aggregates. Name, error", Value(name),
                                  aggregatesError.asValue());
      return false;
    }
    if (isPublicEvent) {
      TLWError countError;
      auto count = db.publicEventCount(&countError);
      if (!count) {
        deps_.monitor->logWithLevel(1, 23064, "Cannot query event count. Error", countError.asValue());
        return false;
      }
      if (*count >= deps_.settings->maxEventNameCardinality()) {
        deps_.monitor->logWithLevel(1, 23065, "Cannot set event. Reached limit on set events. Name", Value(name));
        logErrorEventWithParameters(errorCodeParameters(TLWDataTypeValidator::kErrorEventLimitReached));
        return false;
      }
    }
    auto fresh = TLWEventAggregates::initWithName(name, 0, 0, 0, 0);
    TLWError storeError;
    if (!fresh || !db.updateEventAggregates(fresh.get(), &storeError)) {
      deps_.monitor->logWithLevel(1, 23066, "Data loss. Cannot record event aggregates. Error", storeError.asValue());
      return false;
    }
  }
  if (grouped) {
    groupReads_.namesWithAggregates.insert(name);
    groupReads_.namesAdded.push_back(name);
  }
  return true;
}

bool TLWEventPipeline::writeEvent(TLWEvent& event, bool isPublicEvent, bool isRealtime) {
  TLWDatabase& db = *deps_.database;
  const std::string& name = event.name();

  if (!ensureEventAggregatesRow(name, isPublicEvent)) return false;

  if (advertisingIDResetPropertyOwed_.get(*deps_.persistedConfig, [this] {
        return deps_.persistedConfig->shouldSetLastAdvertisingIDResetUserProperty();
      })) {
    deps_.userProperties->setLastAdvertisingIDResetUserPropertyOnWorkerQueue();
  }

  TLWError attributesError;
  auto attributes = db.userAttributesIncludingInternal(true, &attributesError);
  if (!attributes) {
    deps_.monitor->logWithLevel(1, 23067, "Data loss. Cannot query user properties. Error", attributesError.asValue());
    return false;
  }

  TLWError metadataError;
  const auto* metadata = rawEventMetadataWithUserAttributes(*attributes, &metadataError);
  if (!metadata) {
    deps_.monitor->logWithLevel(1, 23068, "Data loss. Cannot record event metadata. Error", metadataError.asValue());
    return false;
  }

  if (metadata->hasResettableDeviceID) {
    if (deps_.persistedConfig->unmatchedFirstOpenWithoutIDFA()) logFirstOpenConsentedEvent(event.timestamp());
  } else if (name == "_f") {
    deps_.persistedConfig->setUnmatchedFirstOpenWithoutIDFA(true);
  }

  const auto fingerprint = db.insertIfNotExistsRawEventMetadataBytes(metadata->bytes, &metadataError);
  if (!fingerprint) {
    deps_.monitor->logWithLevel(1, 23068, "Data loss. Cannot record event metadata. Error", metadataError.asValue());
    return false;
  }

  // Inside a write group the trim waits for the group's end: one range delete there
  // leaves the same newest rows as one delete per event, at a fraction of the cost.
  if (db.isInWriteGroup()) {
    rawEventTrimOwed_ = true;
  } else if (!trimRawEvents(1)) {
    return false;
  }

  TLWError insertError;
  if (!db.insertRawEvent(&event, *fingerprint, isRealtime, &insertError)) {
    deps_.monitor->logWithLevel(1, 23071, "Data loss. Cannot record raw event. Error", insertError.asValue());
    return false;
  }

  // Counted once the first open is durable, so a crash cannot count one never stored.
  if (name == "_f") {
    deps_.database->runAfterCommit([weak = weak_from_this()] {
      if (auto self = weak.lock()) self->incrementFirstOpenCount();
    });
  }

  if (deps_.monitor->shouldProcess(7)) {
    deps_.monitor->logWithLevel(7, 23072, "Event logged. Event name, event params", Value(name), parametersValue(event));
  }
  return true;
}

bool TLWEventPipeline::trimRawEvents(std::int64_t roomForRows) {
  TLWError limitError;
  auto deleted = deps_.database->deleteRawEventsOverAbsoluteLimit(&limitError, roomForRows);
  if (!deleted) {
    deps_.monitor->logWithLevel(1, 23069, "Data loss. Unable to check raw event storage limit. Error",
                                limitError.asValue());
    return false;
  }
  if (*deleted > 0) {
    deps_.monitor->logWithLevel(4, 23070, "Data loss. Too many events stored on disk. Deleted count",
                                Value(static_cast<long long>(*deleted)));
  }
  return true;
}

void TLWEventPipeline::incrementFirstOpenCount() {
  const std::string appID = deps_.identity->rawEventMetadataInputs().appID;
  if (appID.empty()) return;
  std::int64_t count = 0;
  if (auto stored = TLWKeychainWrapper::keychainValueWithIdentifier("_pfo", appID, deps_.env)) {
    errno = 0;
    char* end = nullptr;
    const long long parsed = std::strtoll(stored->c_str(), &end, 10);
    if (end != stored->c_str() && errno == 0) count = parsed;
    else if (end != stored->c_str() && errno == ERANGE && parsed > 0) count = std::numeric_limits<std::int64_t>::max();
  }
  if (count < 1) count = 0;
  if (count != std::numeric_limits<std::int64_t>::max()) ++count;
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(count));
  (void)TLWKeychainWrapper::upsertKeychainValue(buffer, "_pfo", appID, deps_.env);
}

// ------------------------------------------------------------------ 9. metadata

const TLWRawEventMetadataCache::Metadata* TLWEventPipeline::rawEventMetadataWithUserAttributes(
    const std::vector<std::shared_ptr<TLWUserAttribute>>& userAttributes, TLWError* error) {
  const bool grouped = deps_.database->isInWriteGroup();
  if (!grouped || !groupReads_.inputs) {
    groupReads_.inputs = deps_.identity->rawEventMetadataInputs();
    groupReads_.inputs->identifiers.gateIDFAOnATTMASEnabled = deps_.settings->gateIDFAOnATTMASEnabled();
    groupReads_.facts = deps_.environmentInfo->facts();
  }
  const auto* metadata = metadataCache_.metadataFor(*groupReads_.inputs, *groupReads_.facts, userAttributes, error);
  if (!grouped) groupReads_ = {};
  return metadata;
}

// ------------------------------------------------------------------ 10. default event parameters

const std::optional<platform::Dictionary>& TLWEventPipeline::defaultEventParameters() {
  return defaultEventParameters_.get(*deps_.persistedConfig,
                                     [this] { return deps_.persistedConfig->defaultEventParameters(); });
}

std::optional<platform::Dictionary> TLWEventPipeline::parametersWithAddedDefaultEventParameters(
    const platform::Dictionary& parameters) {
  const auto& defaults = defaultEventParameters();
  if (!defaults || defaults->empty()) return std::nullopt;
  platform::Dictionary merged = *defaults;
  for (const auto& [key, value] : parameters) merged.set(key, value);
  return merged;
}

void TLWEventPipeline::handleSetDefaultEventParametersOnWorkerQueue(
    const std::optional<platform::Dictionary>& given) {
  if (!isMeasurementEnabled()) {
    deps_.monitor->logWithLevel(7, 23211, "Analytics is disabled. Default event parameters not updated");
    return;
  }
  platform::Dictionary stored;
  if (given) stored = deps_.persistedConfig->defaultEventParameters().value_or(platform::Dictionary{});

  if (given) {
    for (const auto& [key, value] : *given) {
      if (!key.isString()) {
        deps_.monitor->logWithLevel(4, 23212, "Invalid key in default event parameters. Parameter ignored.");
      }
      if (!value.isNull() && !value.isNumber() && !value.isString()) {
        deps_.monitor->logWithLevel(4, 23213, "Invalid key in default event parameters. Parameter ignored.");
        if (value.isArray()) {
          logErrorEventWithParameters(errorCodeParameters(27));
        }
        continue;
      }
      const std::string* name = key.string();
      if (!name || !TLWDataTypeValidator::isValidPublicEventParameterName(*name)) {
        deps_.monitor->logWithLevel(4, 23214, "Invalid default event parameter name. Name", key);
        continue;
      }
      if (value.isNull()) {
        stored.erase(*name);
        continue;
      }
      auto typed = TLWValue::valueFromObject(value);
      if (typed && TLWDataTypeValidator::isValidPublicEventParameterValue(*typed)) stored.set(key, value);
    }
  }

  const std::int32_t limit = deps_.settings->maxPublicEventParams();
  if (stored.size() > static_cast<std::size_t>(std::max(limit, 0))) {
    std::vector<std::string> names = stored.stringKeys();
    std::sort(names.begin(), names.end());
    for (auto it = names.rbegin(); it != names.rend() && stored.size() > static_cast<std::size_t>(limit); ++it) {
      if (isPublicName(*it)) stored.erase(*it);
    }
    logErrorEventWithParameters(errorCodeParameters(26));
    deps_.monitor->logWithLevel(4, 23215, "Too many default event parameters set. Discarding beyond event parameter limit");
  }

  deps_.monitor->logWithLevel(7, 23216, "Updating default event parameters. Parameters", Value(stored));
  deps_.persistedConfig->setDefaultEventParameters(stored);
}
