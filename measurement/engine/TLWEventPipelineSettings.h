#pragma once
// TLWEventPipelineSettings: the remote configuration's answers the write path and the
// bundle-time checks read, and the outcome of event editing by programs.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "measurement/model/TLWEvent.h"
#include "measurement/monitor/TLWError.h"

// Event editing by programs, as the pipeline uses it.
struct TLWEventEditOutcome {
  bool failed = false;
  // Why the program failed (its domain and code go to the log).
  TLWError error;
  // The edited event when the program made edits, else null.
  std::optional<TLWEvent::EditForm> editedEvent;
  // Events the program created, in order.
  std::vector<TLWEvent::EditForm> createdEvents;
};

// The remote configuration's answers the pipeline reads. The base class answers the
// defaults; TLWRemoteConfig's adapter answers the downloaded values. Any thread.
class TLWEventPipelineSettings {
 public:
  virtual ~TLWEventPipelineSettings() = default;
  virtual std::int32_t maxEventsPerDay() { return 100000; }
  virtual std::int32_t maxPublicEventsPerDay() { return 50000; }
  virtual std::int32_t maxErrorEventsPerDay() { return 1000; }
  virtual std::int32_t maxConversionsPerDay() { return 10000; }
  virtual std::int32_t maxRealtimeEventCountPerDay() { return 10; }
  virtual std::int32_t maxEventNameCardinality() { return 500; }
  virtual std::int32_t maxPublicEventParams() { return 25; }
  virtual std::int32_t maxPublicUserProperties() { return 25; }
  virtual std::int32_t maxTrackedCurrencies() { return 4; }
  virtual bool isEventBlocklisted(std::string_view name) {
    (void)name;
    return false;
  }
  virtual bool blocklistInternal() { return false; }
  virtual bool blocklistPublic() { return false; }
  virtual bool isEventCustomConversion(std::string_view name) {
    (void)name;
    return false;
  }
  virtual bool lastAdvertisingIDResetFeatureEnabled() { return true; }
  virtual bool gateIDFAOnATTMASEnabled() { return false; }
  // eesFeatureEnabled and an editor present.
  virtual bool isEventEditingEnabled() { return false; }
  virtual TLWEventEditOutcome editEvent(const TLWEvent::EditForm& event) {
    (void)event;
    return {};
  }
};
