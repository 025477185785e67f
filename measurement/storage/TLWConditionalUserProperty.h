#pragma once
// TLWConditionalUserProperty: a user property that takes effect when its trigger event is
// logged within the trigger timeout (or at once without a trigger event) and is removed
// when its time to live runs out; a row of conditional_properties.
//
// Thread-safety: none; a record is built on one thread and copied (copy()) before it
// crosses to another. Copies share the three events, which are never changed through a
// record.
// Ownership: a plain copyable value, usually held through std::shared_ptr.
// Validation is the controller's business; the record holds whatever it is given.

#include <memory>
#include <optional>
#include <string>

#include "measurement/model/TLWEvent.h"
#include "measurement/model/TLWValue.h"

class TLWConditionalUserProperty {
 public:
  TLWConditionalUserProperty() = default;
  std::shared_ptr<TLWConditionalUserProperty> copy() const {
    return std::make_shared<TLWConditionalUserProperty>(*this);
  }

  // The property has been triggered and is in force.
  bool active() const { return active_; }
  void setActive(bool active) { active_ = active; }
  // The user-property name; the record's key.
  const std::string& name() const { return name_; }
  void setName(std::string name) { name_ = std::move(name); }
  // Origin of the setting component and of every event logged for the record.
  const std::string& origin() const { return origin_; }
  void setOrigin(std::string origin) { origin_ = std::move(origin); }
  // The value to set; none makes the request a removal.
  const std::optional<TLWValue>& value() const { return value_; }
  void setValue(std::optional<TLWValue> value) { value_ = std::move(value); }
  // The event that activates the record; none or empty activates it at once.
  const std::optional<std::string>& triggerEventName() const { return triggerEventName_; }
  void setTriggerEventName(std::optional<std::string> name) { triggerEventName_ = std::move(name); }
  // Seconds after creation within which the trigger may come.
  double triggerTimeout() const { return triggerTimeout_; }
  void setTriggerTimeout(double seconds) { triggerTimeout_ = seconds; }
  // Seconds after activation that the property stays.
  double timeToLive() const { return timeToLive_; }
  void setTimeToLive(double seconds) { timeToLive_ = seconds; }
  // Events to log on activation, on time-out and on expiry (or removal); null for none.
  const std::shared_ptr<TLWEvent>& triggeredEvent() const { return triggeredEvent_; }
  void setTriggeredEvent(std::shared_ptr<TLWEvent> event) { triggeredEvent_ = std::move(event); }
  const std::shared_ptr<TLWEvent>& timedOutEvent() const { return timedOutEvent_; }
  void setTimedOutEvent(std::shared_ptr<TLWEvent> event) { timedOutEvent_ = std::move(event); }
  const std::shared_ptr<TLWEvent>& expiredEvent() const { return expiredEvent_; }
  void setExpiredEvent(std::shared_ptr<TLWEvent> event) { expiredEvent_ = std::move(event); }
  // Seconds since 1970: when the request was accepted, and when it was activated.
  double creationTimestamp() const { return creationTimestamp_; }
  void setCreationTimestamp(double t) { creationTimestamp_ = t; }
  double triggeredTimestamp() const { return triggeredTimestamp_; }
  void setTriggeredTimestamp(double t) { triggeredTimestamp_ = t; }

 private:
  bool active_ = false;
  std::string name_;
  std::string origin_;
  std::optional<TLWValue> value_;
  std::optional<std::string> triggerEventName_;
  double triggerTimeout_ = 0;
  double timeToLive_ = 0;
  std::shared_ptr<TLWEvent> triggeredEvent_;
  std::shared_ptr<TLWEvent> timedOutEvent_;
  std::shared_ptr<TLWEvent> expiredEvent_;
  double creationTimestamp_ = 0;
  double triggeredTimestamp_ = 0;
};
