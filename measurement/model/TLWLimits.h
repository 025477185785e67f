#pragma once
// TLWLimits: the limits that the measurement configuration tunes, read by validation and
// by the write path. Each accessor is named after the configuration setting that feeds it
// and answers that setting's current value; the base class answers the defaults.
//
// Thread-safety: current() and setCurrent() may be called from any thread (the installed
// instance is swapped atomically). Implementations must be safe to read from any thread.
// Ownership: current() hands out a shared reference; a replaced instance lives on until
// its last reader lets go, so a caller keeps a consistent view for one operation.
// Extending: add a virtual accessor answering the default here; the configuration
// overrides it. Callers never cache a limit across operations.

#include <cstdint>
#include <memory>

class TLWLimits {
 public:
  virtual ~TLWLimits() = default;

  // Custom parameters an event may carry ("measurement.upload.max_public_event_params").
  virtual std::int32_t maxPublicEventParams() const { return kDefaultMaxPublicEventParams; }
  // Public user properties kept per app ("measurement.upload.max_public_user_properties").
  virtual std::int32_t maxPublicUserProperties() const { return kDefaultMaxPublicUserProperties; }
  // Distinct event names ("measurement.upload.max_event_name_cardinality").
  virtual std::int32_t maxEventNameCardinality() const { return kDefaultMaxEventNameCardinality; }

  // Raw events kept before the oldest are trimmed ("measurement.store.max_stored_events_per_app").
  virtual std::int64_t maxEventsStored() const { return kDefaultMaxEventsStored; }
  // Seconds a stored event or queued bundle may age before it is dropped
  // ("measurement.upload.max_queue_time").
  virtual double maxQueueTime() const { return kDefaultMaxQueueTime; }
  // Seconds between two clean-ups of stale stored data
  // ("measurement.upload.stale_data_deletion_interval").
  virtual double databaseDeleteStaleBundlesInterval() const { return kDefaultDatabaseDeleteStaleBundlesInterval; }

  static constexpr std::int64_t kDefaultMaxEventsStored = 100000;
  static constexpr double kDefaultMaxQueueTime = 2419200;
  static constexpr double kDefaultDatabaseDeleteStaleBundlesInterval = 86400;
  static constexpr std::int32_t kDefaultMaxPublicEventParams = 25;
  static constexpr std::int32_t kDefaultMaxPublicUserProperties = 25;
  static constexpr std::int32_t kDefaultMaxEventNameCardinality = 500;

  // The instance every check reads; the defaults until setCurrent() installs another.
  // Never null.
  static std::shared_ptr<const TLWLimits> current();
  // Installs `limits`; null restores the defaults.
  static void setCurrent(std::shared_ptr<const TLWLimits> limits);
};
