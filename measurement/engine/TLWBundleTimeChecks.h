#pragma once
// TLWBundleTimeChecks: what bundling changes on each stored event before it goes into a
// bundle, in this order: "ad_impression" becomes "_ai"; the conversion flag is set for
// custom conversions and dropped over the daily conversion limit; the real-time flag is
// kept while under the daily real-time limit (purchases, first opens and debug mode are
// exempt); purchases get their receipt's "validated" and "sandbox" marks.
//
// Thread-safety: none; the bundler that owns it calls it on the worker queue.
// Ownership: shares its collaborators with the engine.
// Failure: an event that cannot be copied is passed on unchanged.

#include <cstdint>
#include <memory>

#include "measurement/engine/TLWEventPipelineSettings.h"
#include "platform/Environment.h"

class TLWDailyCounts;
class TLWEvent;
class TLWMonitor;
class TLWPersistedConfig;
class TLWPurchaseReceiptChecking;
class TLWRawEventData;

class TLWBundleTimeChecks {
 public:
  struct Dependencies {
    std::shared_ptr<TLWPersistedConfig> persistedConfig;  // required: the midnight offset
    std::shared_ptr<TLWEventPipelineSettings> settings;   // null: defaults
    std::shared_ptr<TLWPurchaseReceiptChecking> receipt;  // null: no receipt
    std::shared_ptr<platform::Environment> env;           // required
    std::shared_ptr<TLWMonitor> monitor;                  // required
  };
  explicit TLWBundleTimeChecks(Dependencies dependencies);

  std::shared_ptr<TLWRawEventData> internalEventFromPublicEvent(const std::shared_ptr<TLWRawEventData>& event);
  // True when the counts changed.
  bool checkConversion(std::shared_ptr<TLWRawEventData>& event, TLWDailyCounts& dailyCounts);
  bool checkRealtime(std::shared_ptr<TLWRawEventData>& event, TLWDailyCounts& dailyCounts);
  std::shared_ptr<TLWRawEventData> validatePurchaseEvent(const std::shared_ptr<TLWRawEventData>& event);

  // Events that neither count against nor lose to the daily real-time limit.
  static bool isExemptFromRealtimeLimit(const TLWEvent& event, bool debugModeEnabled);

 private:
  std::int32_t currentDayNumber() const;
  TLWEventPipelineSettings& settings() const;

  Dependencies deps_;
};
