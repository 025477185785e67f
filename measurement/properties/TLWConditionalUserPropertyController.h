#pragma once
// TLWConditionalUserPropertyController: user properties that a sibling component asks to
// set later. A record becomes the user's property when its trigger event is logged within
// the trigger timeout (or at once without a trigger event) and is removed again when its
// time to live runs out; each transition can log an event the caller chose (triggered,
// timed out, expired or cleared). Records live in the conditional_properties table, the
// resulting properties in user_attributes. Time-outs and expiries are noticed, by the
// clock, whenever the write path hands an event to processEventOnWorkerQueue.
//
// Thread-safety: the request operations may be called on any thread and move their work
// to the worker queue; conditionalUserPropertiesWithNamePrefix waits for the worker
// queue and must not be called on it. The ...OnWorkerQueue operations run on the worker
// queue only. attach() may be called on any thread (guarded).
// Ownership: sharedInstance() is the app's, which the shared engine uses; any other
// engine has its own (one of its dependencies). The engine attaches its database,
// scheduler and event writer when it builds its write path. Holds those strongly, the
// event writer as the callback it is given.
// Failure: every failure is logged with its code; a failing step rolls back the whole
// transaction of its request or event, so no record, property or event of that pass
// survives and the next event tries again. Before attach() requests are dropped (logged).

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/properties/TLWConditionalUserPropertyProcessing.h"
#include "measurement/storage/TLWConditionalUserProperty.h"
#include "platform/Value.h"

class TLWDatabase;
class TLWMonitor;
class TLWScheduler;
namespace platform {
class Environment;
}

class TLWConditionalUserPropertyController final
    : public TLWConditionalUserPropertyProcessing,
      public std::enable_shared_from_this<TLWConditionalUserPropertyController> {
 public:
  static constexpr double kMinimumTimeout = 0.001;
  static constexpr double kMaximumTimeout = 15552000;  // 180 days
  static constexpr double kQueryWaitSeconds = 30;

  // What only the engine knows.
  struct Host {
    std::shared_ptr<TLWDatabase> database;               // required
    std::shared_ptr<TLWScheduler> scheduler;             // required
    std::function<bool()> isAnalyticsEnabled;            // null: enabled
    // The engine's writeEventOnWorkerQueue (worker queue).
    std::function<void(std::shared_ptr<TLWEvent>)> writeEventOnWorkerQueue;  // null: events dropped (logged)
    std::shared_ptr<platform::Environment> env;          // null: Environment::current()
    std::shared_ptr<TLWMonitor> monitor;                 // null: TLWMonitor::sharedInstance()
  };

  // The app's controller, never destroyed (library threads may use it during exit).
  static std::shared_ptr<TLWConditionalUserPropertyController> sharedInstance();
  // A controller of its own (an engine other than the shared one, tests, tools).
  static std::shared_ptr<TLWConditionalUserPropertyController> create();
  // Replaces the host; false (nothing changes) without a database or scheduler.
  bool attach(Host host);

  // setConditionalUserProperty:forName:. A copy of `property` named `name` is validated,
  // stamped with the current time and set (with a value) or removed (without one).
  void setConditionalUserProperty(const std::shared_ptr<TLWConditionalUserProperty>& property,
                                  const std::string& name);
  // clearConditionalUserPropertyWithClearEvent:forName:. Removes the record; the event
  // (may be null) is logged when there was one.
  void clearConditionalUserPropertyWithClearEvent(std::shared_ptr<TLWEvent> clearEvent, const std::string& name);
  // The connector's clearConditionalUserProperty:forOrigin:clearEventName:clearEventParameters:.
  // Always clears; the clear event (when named) carries every parameter given.
  void clearConditionalUserProperty(const std::string& name, const std::string& origin,
                                    const std::optional<std::string>& clearEventName,
                                    const platform::Dictionary& clearEventParameters);
  // conditionalUserPropertiesWithNamePrefix:filterByOrigin:. Waits up to 30 seconds for
  // the worker queue; nullopt on failure, time-out, or analytics disabled. Not on the
  // worker queue.
  std::optional<std::vector<std::shared_ptr<TLWConditionalUserProperty>>> conditionalUserPropertiesWithNamePrefix(
      const std::optional<std::string>& prefix, const std::optional<std::string>& origin);
  // The connector's conditionalUserProperties:propertyNamePrefix:: {"name", "value"} for
  // each record with a string value.
  platform::Array conditionalUserProperties(const std::string& origin, const std::string& propertyNamePrefix);

  // Worker queue.
  bool setConditionalUserPropertyOnWorkerQueue(const std::shared_ptr<TLWConditionalUserProperty>& property);
  bool removeConditionalUserPropertyOnWorkerQueue(const std::shared_ptr<TLWConditionalUserProperty>& request);
  std::optional<std::vector<std::shared_ptr<TLWEvent>>> processEventOnWorkerQueue(const TLWEvent& event) override;
  bool removeTimedOutCUPWithTimedOutEvents(std::vector<std::shared_ptr<TLWEvent>>& timedOutEvents);
  bool removeExpiredCUPWithExpiredEvents(std::vector<std::shared_ptr<TLWEvent>>& expiredEvents);
  std::optional<std::vector<std::shared_ptr<TLWEvent>>> updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
      const std::string& eventName);
  std::optional<std::vector<std::shared_ptr<TLWConditionalUserProperty>>> queryOnWorkerQueue(
      const std::string& prefix, const std::string& origin);

  // The validation of a request (origin, name, value, both time spans).
  bool isValidConditionalUserProperty(const TLWConditionalUserProperty& property) const;

 private:
  Host host() const;
  double now(const Host& host) const;
  static std::shared_ptr<TLWEvent> transitionEvent(const TLWConditionalUserProperty& property,
                                                   const std::shared_ptr<TLWEvent>& stored, double timestamp);
  void writeEvents(const Host& host, const std::vector<std::shared_ptr<TLWEvent>>& events) const;

  mutable std::mutex mutex_;
  Host host_;  // guarded by mutex_
};
