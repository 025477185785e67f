#pragma once
// TLWBundler: turns stored raw events into upload bundles. Each call takes the oldest run
// of raw events that share one metadata fingerprint and one clock hour, drops the
// blocklisted ones, applies the bundle-time checks, counts them into the event aggregates,
// feeds them to audience evaluation, samples them as configured, stamps the bundle with
// its sequence index, previous-bundle times and engagement totals, and queues it
// (serialised, gzip-compressed) together with the deletion of its raw events, all in one
// database transaction.
//
// Thread-safety: every member runs on the engine's worker queue (bundleRawEvents and
// updateUserEngagement check that they are not on the main thread). Nothing is shared
// with other threads beyond what the collaborators synchronise themselves.
//
// Ownership: create() returns a shared object. The engine owns it and is held weakly
// through the host. Database, configuration, pipelines, consent, identity, audience
// evaluator, persisted configuration, environment and monitor are shared with the engine.
//
// Failure: bundleRawEvents answers false and leaves the raw events for the next pass when
// anything in its transaction fails; every failure is logged with its message code. A
// stored event or metadata record that cannot be decoded, and an event too large for any
// upload, are dropped (logged) rather than retried for ever, so one bad row never stops
// the queue.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/engine/TLWBundleTimeChecks.h"
#include "measurement/monitor/TLWError.h"
#include "platform/Environment.h"

class TLWAudienceEvaluating;
class TLWAudienceTimestampsCache;
class TLWConsentSettingsUtil;
class TLWDatabase;
class TLWEvent;
class TLWEventPipelineSettings;
class TLWIdentity;
class TLWMonitor;
class TLWPBEvent;
class TLWPBMeasurementBundle;
class TLWPersistedConfig;
class TLWPurchaseReceiptChecking;
class TLWRawEventData;
class TLWRemoteConfig;
class TLWUserPropertyPipeline;

// What only the engine knows. Called on the worker queue.
class TLWBundlerHost {
 public:
  virtual ~TLWBundlerHost() = default;
  // Lifts a suspension of uploads (the uploader's setSuspendedUploadTimestamp: with 0)
  // once bundling made progress.
  virtual void setSuspendedUploadTimestamp(double timestamp) = 0;
};

// Log codes of bundling that have no other home.
inline constexpr std::int64_t kTLWBundlerOversizedEventDroppedCode = 23224;
inline constexpr std::int64_t kTLWBundlerUnreadableMetadataDroppedCode = 23225;

class TLWBundler : public std::enable_shared_from_this<TLWBundler> {
 public:
  struct Dependencies {
    std::shared_ptr<TLWDatabase> database;                    // required
    std::shared_ptr<TLWRemoteConfig> remoteConfig;            // required
    std::shared_ptr<TLWUserPropertyPipeline> userProperties;  // required: engagement properties
    std::shared_ptr<TLWPersistedConfig> persistedConfig;      // required: health-sample time
    std::weak_ptr<TLWBundlerHost> host;                       // null: nothing to notify
    std::shared_ptr<TLWConsentSettingsUtil> consent;          // null: no consent stamp or log line
    std::shared_ptr<TLWIdentity> identity;                    // null: app ID from the bundle identifier
    std::shared_ptr<TLWAudienceEvaluating> audience;          // required
    std::shared_ptr<platform::Environment> env;               // null: Environment::current()
    std::shared_ptr<TLWMonitor> monitor;                      // null: TLWMonitor::sharedInstance()
    std::shared_ptr<TLWEventPipelineSettings> settings;       // null: defaults (bundle-time checks)
    std::shared_ptr<TLWPurchaseReceiptChecking> receipt;      // null: no receipt (bundle-time checks)
  };

  // Null (logged) when a required dependency is missing.
  [[nodiscard]] static std::shared_ptr<TLWBundler> create(Dependencies dependencies);
  ~TLWBundler();

  // Builds at most one bundle. True when a bundle was queued or raw events were consumed
  // (dropped or sampled away); false when there was nothing to do or the transaction
  // rolled back.
  bool bundleRawEvents();

  // ---- The steps, public so that the engine and tests can run them on their own ----

  // The decoded raw events of the run that may form the next bundle for `fingerprint`, in
  // row-ID order; nullopt on error. Rows of the run that no longer decode are left out but
  // still consumed; a first row too large for any upload is consumed alone and the result
  // is empty (see consumedRowCount / lastConsumedRowID).
  std::optional<std::vector<std::shared_ptr<TLWRawEventData>>> rawEventsWithMetadataFingerprint(
      std::int64_t fingerprint);
  // After rawEventsWithMetadataFingerprint: the last row ID the run consumed and how many
  // rows that was (undecodable and oversized rows included).
  std::int64_t lastConsumedRowID() const { return lastConsumedRowID_; }
  std::size_t consumedRowCount() const { return consumedRowCount_; }

  // Blocklist, then the bundle-time checks. Empty when every event was rejected (and
  // their rows deleted); nullopt on error.
  std::optional<std::vector<std::shared_ptr<const TLWEvent>>> processRawEvents(
      const std::vector<std::shared_ptr<TLWRawEventData>>& rawEvents, std::int64_t metadataFingerprint);
  // False when a session start in the run could not reset the session-scoped state
  // (audience results, session counts): the bundle must roll back.
  [[nodiscard]] bool evaluationTimeFromRawEvents(const std::vector<std::shared_ptr<TLWRawEventData>>& rawEvents,
                                                 TLWPBMeasurementBundle& bundle);
  // The events with their previous timestamps; nullopt on error.
  std::optional<std::vector<std::shared_ptr<const TLWEvent>>> eventsAfterUpdatingEventAggregates(
      const std::vector<std::shared_ptr<const TLWEvent>>& events, TLWAudienceTimestampsCache* cache);
  bool updateAppMetadataForBundle(TLWPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                  double bundleEndTimestamp);
  // `milliseconds` of engagement added to "_se" (session scoped) or "_lte".
  bool updateUserEngagement(std::int64_t milliseconds, TLWPBMeasurementBundle& bundle, bool sessionScoped);
  void addBundleMetadataIntoBundle(TLWPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                   double bundleEndTimestamp);
  // The kept events in their original order, or nullopt with `error`.
  std::optional<std::vector<std::shared_ptr<TLWPBEvent>>> sampleEvents(
      const std::vector<std::shared_ptr<TLWPBEvent>>& events, TLWError* error);
  bool canEventBeSampled(const TLWPBEvent& event);
  bool isEventBundledAfterRoll(std::int32_t rate);

  // Deletes raw events up to `maxRowID` and, when none of `fingerprint` remain, its
  // metadata record.
  bool deleteConsumedRawEvents(std::int64_t maxRowID, std::int64_t fingerprint);

 private:
  explicit TLWBundler(Dependencies dependencies);
  bool bundleRawEventsInTransaction(bool& progressed);
  bool dropRunWithUnreadableMetadata(std::int64_t fingerprint, const TLWError& error, bool& progressed);
  double now() const;

  Dependencies deps_;
  TLWBundleTimeChecks checks_;
  std::int64_t lastConsumedRowID_ = -1;
  std::size_t consumedRowCount_ = 0;
};
