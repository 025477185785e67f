#pragma once
// TLWDatabase: the measurement library's single store, one TLWSqliteStore over
// "<Application Support>/Vorlix/Measurement/<name>" (normally "vorlix-tally-wise.sql").
// It defines every table, column and query the engine uses: the app metadata row, raw
// events and their metadata, the queue of bundles awaiting upload, per-event-name
// counters, daily counters, the cached measurement configuration, user properties,
// audience filters and their results, purchase and subscription de-duplication,
// conditional user properties and complex events.
//
// Thread-safety: none of its own; every call comes from the measurement worker queue.
// Multi-step changes that must be atomic run inside performTransaction().
//
// Ownership: owns its store; holds the persisted configuration shared with the engine.
//
// Failures: false / nullopt / null with the store's error codes (1 argument, 2 state or
// schema, 3 SQLite). Stored rows are untrusted: reads skip rows that no longer decode
// (logged) and fail only when rows existed and none decoded. A table that fails
// validation makes construction fail after deleting the file, so the caller's second
// construction starts from an empty database.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "measurement/model/TLWDailyCounts.h"
#include "measurement/model/TLWEvent.h"
#include "measurement/model/TLWEventAggregates.h"
#include "measurement/model/TLWRawEventData.h"
#include "measurement/model/TLWUserAttribute.h"
#include "measurement/monitor/TLWError.h"
#include "measurement/proto/TLWPBBundleBytes.h"
#include "measurement/storage/TLWAppMetadata.h"
#include "measurement/storage/TLWConditionalUserProperty.h"
#include "measurement/storage/TLWEventFilter.h"
#include "measurement/storage/TLWFilterResult.h"
#include "measurement/storage/TLWPropertyFilter.h"
#include "measurement/storage/TLWSqliteStore.h"
#include "platform/Environment.h"
#include "platform/Gzip.h"

class TLWMonitor;
class TLWPersistedConfig;
class TLWPBMeasurementBundle;
class TLWPBMeasurementConfig;

inline constexpr const char* kTLWDatabaseFileName = "vorlix-tally-wise.sql";

class TLWDatabase {
 public:
  using Row = platform::Dictionary;
  using RowFilter = TLWSqliteStore::RowFilter;
  using BundleAndRowID = std::pair<std::shared_ptr<TLWPBMeasurementBundle>, std::int64_t>;
  using BundleBytesAndRowID = std::pair<TLWPBBundleBytes, std::int64_t>;

  static constexpr std::int64_t kEventsTableLimit = 1000;
  static constexpr std::int64_t kUserAttributesTableLimit = 1000;
  static constexpr std::int64_t kRawEventsMetadataTableLimit = 100000;
  static constexpr std::int64_t kRawEventsPerFingerprintLimit = 1000;
  static constexpr std::int64_t kPurchaseTransactionsLimit = 1000;
  static constexpr std::int64_t kSubscriptionsLimit = 1000;
  static constexpr std::int64_t kConditionalPropertiesTableLimit = 1000;

  // initWithDatabaseName:persistedConfig:error:. Null when the name is empty or the file
  // cannot be opened, validated or initialised.
  static std::unique_ptr<TLWDatabase> initWithDatabaseName(const std::string& databaseName,
                                                           std::shared_ptr<TLWPersistedConfig> persistedConfig,
                                                           TLWError* error,
                                                           std::shared_ptr<platform::Environment> env = nullptr,
                                                           std::shared_ptr<TLWMonitor> monitor = nullptr);
  // The file path for a database name inside the sandbox.
  static std::string databasePathForName(const std::string& databaseName, platform::Environment& env);
  ~TLWDatabase();

  TLWSqliteStore* sqliteStore() const { return sqliteStore_.get(); }
  const std::shared_ptr<TLWPersistedConfig>& persistedConfig() const { return persistedConfig_; }
  const std::string& databasePath() const { return databasePath_; }

  // Lifecycle
  [[nodiscard]] bool initializeDatabaseResourcesWithContext(const std::string& context, const std::string& databasePath,
                                                            TLWError* error);
  // False on failure; `incompatible` tells a table this library cannot use (missing or
  // unknown required columns) from an SQLite failure.
  [[nodiscard]] bool ensureAllTables(bool* incompatible);
  [[nodiscard]] bool initializeAppMetadata();
  // Wipes everything and leaves a fresh database with its app metadata row.
  [[nodiscard]] bool reset(TLWError* error);
  // Changes with every reset: row IDs read before it name rows of the old database.
  std::uint64_t generation() const { return generation_; }
  [[nodiscard]] bool performTransaction(const std::function<bool()>& block);

  // Write groups: many transactions made durable by one commit. Between beginWriteGroup
  // and commitWriteGroup every performTransaction runs in its own savepoint of the group's
  // transaction, so a block that fails undoes its own work alone, and every read sees the
  // work of the blocks before it. Work handed to runAfterCommit while a transaction is
  // open waits for the outermost commit and then runs in the order it was handed over;
  // outside a transaction it runs at once.
  [[nodiscard]] bool beginWriteGroup();
  // Commits the group and runs the waiting work. When the commit fails everything since
  // beginWriteGroup is rolled back, the waiting work is dropped (nobody hears of what was
  // not stored), 12056 is logged and the answer is false. Callers that keep the group's
  // input retry it when transientFailureCount() moved (a busy or full disk).
  bool commitWriteGroup();
  // Rolls the group back and drops its waiting work: the caller keeps its input to try
  // again (a step of the group met a busy, full or failing disk).
  void abandonWriteGroup();
  // TLWSqliteStore::transientFailureCount of the open connection (0 when none), and the
  // latest such failure in words ("" before the first).
  std::uint64_t transientFailureCount() const;
  std::string lastTransientFailureDescription() const;
  // A write group or another transaction is open.
  bool isInTransaction() const;
  bool isInWriteGroup() const { return inWriteGroup_; }
  void runAfterCommit(std::function<void()> work);
  // A passive WAL checkpoint when the log has grown; the worker calls it when idle.
  bool checkpointIfIdle();
  // Rows in raw_events, kept exactly by the connection (no table walk); nullopt when the
  // count fails (the trim then falls back to the row-ID span).
  std::optional<std::int64_t> rawEventRowCount();

  // Generic record helpers. The block turns a row into a record or null (skipped).
  template <class T>
  using CreateBlock = std::function<std::shared_ptr<T>(const Row&)>;
  template <class T>
  std::optional<std::vector<std::shared_ptr<T>>> allDataTypesFromTableWithName(const std::string& table,
                                                                               std::int64_t tableLimit,
                                                                               TLWError* error,
                                                                               const CreateBlock<T>& block);
  template <class T>
  std::optional<std::vector<std::shared_ptr<T>>> dataTypesFromTableWithName(const std::string& table,
                                                                            const std::string& columnName,
                                                                            const platform::Value& columnValue,
                                                                            TLWError* error,
                                                                            const CreateBlock<T>& block);
  [[nodiscard]] bool insertDataType(const Row& record, const std::string& table, TLWError* error);
  [[nodiscard]] bool upsertDataType(const Row& record, const std::string& table, const std::string& columnName,
                                    const platform::Value& columnValue, std::int64_t tableLimit, TLWError* error);
  [[nodiscard]] bool updateDataType(const Row& record, const std::string& table, const std::string& columnName,
                                    const platform::Value& columnValue, TLWError* error);

  // App metadata and daily counts
  std::shared_ptr<TLWAppMetadata> queryAppMetadata(TLWError* error);
  [[nodiscard]] bool updateAppMetadata(const TLWAppMetadata& metadata, TLWError* error);
  std::optional<TLWDailyCounts> dailyCounts(TLWError* error);
  [[nodiscard]] bool updateDailyCounts(const TLWDailyCounts& counts, TLWError* error);
  // floor((now - midnight offset) / 86400).
  std::int32_t currentDayNumber();

  // Raw events and their metadata
  [[nodiscard]] bool insertIfNotExistsRawEventMetadata(const TLWPBMeasurementBundle& metadata, TLWError* error);
  // The same for metadata already serialised; the fingerprint the row is stored under, or
  // nullopt (with the error). Inside a write group the row found or stored for the previous
  // event is not looked up again until the group ends or one of its transactions fails.
  [[nodiscard]] std::optional<std::int64_t> insertIfNotExistsRawEventMetadataBytes(
      const std::vector<std::uint8_t>& bytes, TLWError* error);
  std::shared_ptr<TLWPBMeasurementBundle> queryRawEventsMetadataWithFingerprint(std::int64_t fingerprint,
                                                                                 TLWError* error);
  [[nodiscard]] bool deleteRawEventMetadataWithMetadataFingerprint(std::int64_t fingerprint, TLWError* error);
  [[nodiscard]] bool deleteUnusedRawEventsMetadata(TLWError* error);
  [[nodiscard]] bool insertRawEvent(const TLWEvent* event, std::int64_t metadataFingerprint, bool isRealtime,
                                    TLWError* error);
  std::optional<bool> isRawEventsTableEmpty(TLWError* error);
  // 0 when the table is empty; nullopt only when the query failed.
  std::optional<double> queryLatestRawEventTime(TLWError* error);
  std::optional<bool> containsRawEventWithMetadataFingerprint(std::int64_t fingerprint, TLWError* error);
  std::optional<bool> containsRealtimeRawEventsWithError(TLWError* error);
  // nullopt with no error when the table is empty.
  std::optional<std::int64_t> nextMetadataFingerprintToProcess(TLWError* error);
  std::optional<std::vector<std::shared_ptr<TLWRawEventData>>> rawEventsWithMetadataFingerprint(
      std::int64_t fingerprint, TLWError* error, const RowFilter& eventFilter = nullptr);
  std::shared_ptr<TLWRawEventData> rawEventDataFromDictionary(const Row& row, TLWError* error);
  [[nodiscard]] bool deleteRawEventsWithMaxRowID(std::int64_t maxRowID, TLWError* error);
  // Deletes the oldest raw events so that `roomForRows` more fit under maxEventsStored
  // (1 before an insert; 0 after a write group's inserts); the number deleted.
  std::optional<std::int64_t> deleteRawEventsOverAbsoluteLimit(TLWError* error, std::int64_t roomForRows = 1);
  [[nodiscard]] bool deleteStaleRawEventsDataOlderThanMaxAge(double maxAgeSeconds, TLWError* error);

  // Bundle queue
  // `events`, serialised events, are spliced into the bundle's events after its own.
  [[nodiscard]] bool insertBundle(const TLWPBMeasurementBundle& bundle, bool isRealtime, TLWError* error,
                                  std::vector<std::vector<std::uint8_t>> events = {});
  std::optional<std::vector<BundleAndRowID>> queryBundlesWithCountLimit(std::int64_t countLimit,
                                                                        std::int64_t sizeLimit, TLWError* error);
  // The same bundles as their bytes, as an upload sends them (nothing decoded).
  std::optional<std::vector<BundleBytesAndRowID>> queryBundleBytesWithCountLimit(std::int64_t countLimit,
                                                                                 std::int64_t sizeLimit,
                                                                                 TLWError* error);
  std::optional<std::vector<BundleAndRowID>> queryBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs,
                                                                    TLWError* error);
  [[nodiscard]] bool incrementRetryCounterForBundlesWithIDs(const std::vector<std::int64_t>& rowIDs,
                                                            TLWError* error);
  [[nodiscard]] bool deleteBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs, TLWError* error);
  std::optional<bool> isQueuedBundleTableEmpty(TLWError* error);
  // 0 when the queue is empty; nullopt only when the query failed.
  std::optional<double> queryLatestBundleTime(TLWError* error);
  std::optional<bool> containsRealtimeBundlesWithError(TLWError* error);
  // Whether the clean-up ran; nullopt on failure.
  std::optional<bool> maybeDeleteStaleData(TLWError* error);
  [[nodiscard]] bool deleteStaleBundlesOlderThanMaxAge(double maxAgeSeconds, TLWError* error);

  // Event counters
  std::optional<std::int64_t> publicEventCount(TLWError* error);
  std::optional<std::vector<std::shared_ptr<TLWEventAggregates>>> allEventAggregates(TLWError* error);
  std::shared_ptr<TLWEventAggregates> eventAggregatesWithName(const std::string& name, TLWError* error);
  [[nodiscard]] bool updateEventAggregates(const TLWEventAggregates* aggregates, TLWError* error);
  [[nodiscard]] bool clearCurrentSessionCounts(TLWError* error);

  // Measurement configuration
  [[nodiscard]] bool updateRemoteConfig(const TLWPBMeasurementConfig& config, TLWError* error);
  [[nodiscard]] bool updateRemoteConfigSuccessfulTimestamp(double timestamp, TLWError* error);
  // Null with no error when nothing is stored.
  std::shared_ptr<TLWPBMeasurementConfig> queryMeasurementConfigWithError(TLWError* error);
  std::optional<double> lastRemoteConfigUpdateTimestamp(TLWError* error);

  // User properties
  std::optional<std::int64_t> publicUserAttributeCount(TLWError* error);
  std::optional<std::int64_t> userAttributeCountForOrigin(const std::string& origin, TLWError* error);
  std::optional<bool> containsUserAttributeWithName(const std::string& name, TLWError* error);
  std::shared_ptr<TLWUserAttribute> userAttributeWithName(const std::string& name, TLWError* error);
  std::optional<std::vector<std::shared_ptr<TLWUserAttribute>>> userAttributesIncludingInternal(bool includeInternal,
                                                                                                TLWError* error);
  // Names starting exactly with "_ltv_" (compared as a prefix, not a pattern), newest first.
  std::optional<std::vector<std::shared_ptr<TLWUserAttribute>>> allLifetimeValueUserAttributes(TLWError* error);
  [[nodiscard]] bool updateUserAttribute(const TLWUserAttribute* attribute, TLWError* error);
  [[nodiscard]] bool deleteUserAttributeWithName(const std::string& name, TLWError* error);

  // Audience filters. Reading takes the flags from each row's parsed filter message; rows
  // that cannot become a record are skipped. Updates upsert keyed by (audience, filter)
  // and stop at the first invalid item, leaving earlier ones written unless the caller
  // wraps them in performTransaction().
  std::optional<std::vector<std::shared_ptr<TLWEventFilter>>> eventFiltersForEventName(const std::string& eventName,
                                                                                       TLWError* error);
  std::optional<std::vector<std::shared_ptr<TLWPropertyFilter>>> propertyFiltersForPropertyName(
      const std::string& propertyName, TLWError* error);
  [[nodiscard]] bool updateEventFilters(const std::vector<std::shared_ptr<TLWEventFilter>>& filters, TLWError* error);
  [[nodiscard]] bool updatePropertyFilters(const std::vector<std::shared_ptr<TLWPropertyFilter>>& filters,
                                           TLWError* error);
  // Deletes exactly the (audience, filter) pairs of the list, in one statement.
  [[nodiscard]] bool deleteEventFilters(const std::vector<std::shared_ptr<TLWEventFilter>>& filters, TLWError* error);
  [[nodiscard]] bool deletePropertyFilters(const std::vector<std::shared_ptr<TLWPropertyFilter>>& filters,
                                           TLWError* error);
  [[nodiscard]] bool deleteAllEventFilters(TLWError* error);
  [[nodiscard]] bool deleteAllPropertyFilters(TLWError* error);
  // Every audience with an event or property filter.
  std::optional<std::set<std::int32_t>> allAudienceIDs(TLWError* error);
  // Audience ID to the IDs of its session-scoped filters (by the session_scoped column).
  std::optional<std::map<std::int32_t, std::set<std::int32_t>>> allSessionScopedFilters(TLWError* error);

  // Audience results. The single-audience read answers nullopt on failure and a null
  // record when the audience has none.
  std::optional<std::map<std::int32_t, std::shared_ptr<TLWFilterResult>>> allFilterResults(TLWError* error);
  std::optional<std::shared_ptr<TLWFilterResult>> filterResultForAudienceID(std::int32_t audienceID, TLWError* error);
  [[nodiscard]] bool updateFilterResults(const std::vector<std::shared_ptr<TLWFilterResult>>& results,
                                         TLWError* error);
  [[nodiscard]] bool deleteFilterResults(const std::vector<std::shared_ptr<TLWFilterResult>>& results,
                                         TLWError* error);

  // Conditional user properties. The single-name read answers nullopt on failure and a
  // null record when there is none (a row that no longer decodes counts as none, so a new
  // request for the name replaces it). List reads skip rows whose value or events no
  // longer decode and fail only when rows existed and none decoded.
  std::optional<std::shared_ptr<TLWConditionalUserProperty>> conditionalUserPropertyWithName(const std::string& name,
                                                                                             TLWError* error);
  // Upsert keyed by name; a new name beyond 1000 rows is refused ("Table is full").
  [[nodiscard]] bool updateConditionalUserProperty(const TLWConditionalUserProperty* property, TLWError* error);
  [[nodiscard]] bool deleteConditionalUserPropertyWithName(const std::string& name, TLWError* error);
  // Whether any is stored, pending or active.
  std::optional<bool> hasConditionalUserProperties(TLWError* error);
  using ConditionalUserProperties = std::vector<std::shared_ptr<TLWConditionalUserProperty>>;
  // `condition` is SQL over the table's columns with "?" placeholders for `parameterValues`.
  std::optional<ConditionalUserProperties> conditionalUserPropertiesWithCondition(
      const std::string& condition, const platform::Array& parameterValues, TLWError* error);
  // Inactive, and |now - creation time| > trigger timeout.
  std::optional<ConditionalUserProperties> timedOutConditionalUserPropertiesWithError(TLWError* error);
  // Active, and |now - triggered time| > time to live.
  std::optional<ConditionalUserProperties> expiredConditionalUserPropertiesWithError(TLWError* error);
  // Inactive, waiting for `eventName`, and |now - creation time| <= trigger timeout.
  std::optional<ConditionalUserProperties> triggeredConditionalUserPropertiesWithEventName(
      const std::string& eventName, TLWError* error);
  // Names beginning exactly (case-sensitive, no wildcards) with `prefix` and, when an
  // origin is given, that origin exactly. An empty prefix / origin means "any".
  std::optional<ConditionalUserProperties> conditionalUserPropertiesWithPrefix(const std::string& prefix,
                                                                              const std::string& filterByOrigin,
                                                                              TLWError* error);

  // Purchases and subscriptions: true when new (and recorded), false for a duplicate.
  std::optional<bool> insertIfNotDuplicatePurchaseFingerprint(const std::string& fingerprint, TLWError* error);
  // Whether a purchase was recorded as reported.
  std::optional<bool> hasPurchaseFingerprint(const std::string& fingerprint, TLWError* error);
  std::optional<bool> insertIfNotDuplicateSubscriptionID(const std::string& subscriptionID, TLWError* error);
  // The number of oldest rows deleted to keep the table within kSubscriptionsLimit.
  std::optional<std::int64_t> deleteSubscriptionsOverLimit(TLWError* error);

  // Complex events for audience evaluation: [main event, children count].
  std::optional<std::pair<std::shared_ptr<TLWEvent>, std::int64_t>> mainEventAndChildCountPairWithEventID(
      std::int64_t eventID, TLWError* error);
  [[nodiscard]] bool updateComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID,
                                                                        std::int64_t childEventCount,
                                                                        const TLWEvent* mainEvent, TLWError* error);
  [[nodiscard]] bool deleteComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID, TLWError* error);

  // The metadata fingerprint: MD5 of the bytes, digest bytes 8 to 15 as a big-endian
  // signed 64-bit integer.
  static std::int64_t fingerprintOfBytes(const std::vector<std::uint8_t>& bytes);

 private:
  TLWDatabase(std::shared_ptr<TLWPersistedConfig> persistedConfig, std::shared_ptr<platform::Environment> env,
              std::shared_ptr<TLWMonitor> monitor);
  std::shared_ptr<TLWUserAttribute> userAttributeFromRow(const Row& row, TLWError* error);
  std::shared_ptr<TLWEventAggregates> eventAggregatesFromRow(const Row& row);
  // An events row read by position (name first; see the .cpp for the column order).
  std::shared_ptr<TLWEventAggregates> eventAggregatesFromColumns(const platform::Array& columns);
  // False (with the error) when a row keyed by `columnValue` is new and the table holds
  // `tableLimit` rows already.
  bool hasRoomForRow(const std::string& table, const std::string& columnName, const platform::Value& columnValue,
                     std::int64_t tableLimit, TLWError* error);
  std::optional<BundleAndRowID> bundleFromQueueRow(const Row& row, TLWError* error);
  std::optional<BundleBytesAndRowID> bundleBytesFromQueueRow(const Row& row, TLWError* error);
  std::shared_ptr<TLWConditionalUserProperty> conditionalUserPropertyFromRow(const Row& row, TLWError* error);
  std::optional<bool> boolForQuery(const std::string& sql, const platform::Array& values, TLWError* error);
  // MAX(...) of a time column; 0 for an empty table, nullopt only when the query failed.
  std::optional<double> latestTimeForQuery(const std::string& sql, TLWError* error);
  std::optional<platform::Value> appMetadataColumn(const std::string& column, TLWError* error);
  double now();
  void runWorkAfterCommit(bool committed);

  std::unique_ptr<TLWSqliteStore> sqliteStore_;
  bool inWriteGroup_ = false;
  // Consecutive events mostly share their metadata: its last bytes and fingerprint.
  std::vector<std::uint8_t> lastMetadataBytes_;
  std::int64_t lastMetadataFingerprint_ = 0;
  // What the open write group has read and nobody has changed since: every event of a
  // group asks the same questions. This connection is the tables' only writer and the
  // group's snapshot is its own, so only its own writes and rollbacks make an answer
  // stale; each forgets what it touches, a rollback forgets everything.
  struct GroupReads {
    bool holdsLastMetadata = false;
    std::optional<std::vector<std::shared_ptr<TLWUserAttribute>>> userAttributes;
    std::optional<bool> hasConditionalProperties;
  };
  GroupReads groupReads_;
  void forgetGroupReads() { groupReads_ = GroupReads{}; }
  std::uint64_t generation_ = 0;
  std::vector<std::function<void()>> afterCommit_;
  // Queued bundles are compressed one after another on the worker: one zlib state serves them all.
  platform::GzipDeflater bundleDeflater_{platform::kGzipFastestLevel};
  std::shared_ptr<TLWPersistedConfig> persistedConfig_;
  std::shared_ptr<platform::Environment> env_;
  std::shared_ptr<TLWMonitor> monitor_;
  std::string databasePath_;
};

template <class T>
std::optional<std::vector<std::shared_ptr<T>>> TLWDatabase::allDataTypesFromTableWithName(
    const std::string& table, std::int64_t tableLimit, TLWError* error, const CreateBlock<T>& block) {
  if (!block) {
    TLWSetError(error, TLWError::errorWithCode(1, "Received nil block to get all data types"));
    return std::nullopt;
  }
  auto rows = sqliteStore_->recordsForQuery(
      "SELECT rowid, * FROM " + table + " ORDER BY rowid LIMIT " + std::to_string(tableLimit), {}, error);
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<T>> out;
  for (const auto& row : *rows) {
    if (auto made = block(row)) out.push_back(std::move(made));
  }
  return out;
}

template <class T>
std::optional<std::vector<std::shared_ptr<T>>> TLWDatabase::dataTypesFromTableWithName(
    const std::string& table, const std::string& columnName, const platform::Value& columnValue, TLWError* error,
    const CreateBlock<T>& block) {
  if (table.empty()) {
    TLWSetError(error, TLWError::errorWithCode(1, "Received empty table name to create data type from table"));
    return std::nullopt;
  }
  if (columnName.empty()) {
    TLWSetError(error, TLWError::errorWithCode(1, "Received empty column name to create data type from table"));
    return std::nullopt;
  }
  if (columnValue.isNull()) {
    TLWSetError(error, TLWError::errorWithCode(1, "Received nil column value to create data type from table"));
    return std::nullopt;
  }
  if (!block) {
    TLWSetError(error, TLWError::errorWithCode(2, "Received nil block to create data type from table"));
    return std::nullopt;
  }
  auto rows = sqliteStore_->recordsForQuery("SELECT rowid, * FROM " + table + " WHERE " + columnName + " = ?",
                                            {columnValue}, error);
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<T>> out;
  for (const auto& row : *rows) {
    if (auto made = block(row)) out.push_back(std::move(made));
  }
  if (!rows->empty() && out.empty()) {
    TLWSetError(error, TLWError::errorWithCode(2, "Failed to initialize data types from dictionaries"));
    return std::nullopt;
  }
  return out;
}
