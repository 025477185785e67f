#include "measurement/storage/TLWDatabase.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <utility>

#include "measurement/model/TLWAliasTables.h"
#include "measurement/model/TLWDataTypeValidator.h"
#include "measurement/model/TLWLimits.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "measurement/proto/TLWPBMeasurementConfig.h"
#include "measurement/storage/TLWDatabaseInternal.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "platform/Digest.h"
#include "platform/Gzip.h"

using namespace tlw_database_internal;

namespace {

using ColumnInfo = TLWSqliteStore::ColumnInfo;

struct TableSchema {
  const char* name;
  ColumnInfo elementary;
  ColumnInfo addOn;
  TLWSqliteStore::ModifyColumnInfo modify;
};

const std::vector<TableSchema>& schema() {
  // Never destroyed: a worker thread may still open a database while the process exits.
  static const auto* tables = new std::vector<TableSchema>{
      {"app_metadata",
       {{"last_bundle_index", "INTEGER NOT NULL"}, {"last_bundle_end_timestamp", "REAL NOT NULL"}},
       {{"last_bundle_start_timestamp", "REAL"},
        {"day", "INTEGER"},
        {"daily_conversions_count", "INTEGER"},
        {"daily_events_count", "INTEGER"},
        {"daily_public_events_count", "INTEGER"},
        {"daily_error_events_count", "INTEGER"},
        {"remote_config_data", "BLOB"},
        {"remote_config_timestamp", "REAL"},
        {"daily_real_time_conversion_events_count", "INTEGER"}},
       {}},
      {"raw_events_metadata",
       {{"metadata_fingerprint", "INTEGER NOT NULL PRIMARY KEY"}, {"metadata", "BLOB NOT NULL"}},
       {},
       {}},
      {"raw_events",
       {{"name", "TEXT NOT NULL"},
        {"timestamp", "INTEGER NOT NULL"},
        {"metadata_fingerprint", "INTEGER NOT NULL"},
        {"data", "BLOB NOT NULL"}},
       {{"is_realtime", "INTEGER"}},
       {{"timestamp", "REAL NOT NULL"}}},
      {"events",
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"lifetime_count", "INTEGER NOT NULL"},
        {"current_bundle_count", "INTEGER NOT NULL"},
        {"last_fire_timestamp", "REAL NOT NULL"}},
       {{"last_bundled_timestamp", "REAL"},
        {"last_sampled_complex_event_id", "INTEGER"},
        {"last_sampling_rate", "INTEGER"},
        {"last_exempt_from_sampling", "INTEGER"},
        {"last_bundled_day", "INTEGER"},
        {"current_session_count", "INTEGER"}},
       {}},
      {"queue",
       {{"data", "BLOB NOT NULL"}, {"bundle_end_timestamp", "REAL NOT NULL"}},
       {{"is_realtime", "INTEGER"}, {"retry_count", "INTEGER"}},
       {}},
      {"user_attributes",
       {{"name", "TEXT NOT NULL PRIMARY KEY"}, {"set_timestamp", "REAL NOT NULL"}, {"value", "BLOB NOT NULL"}},
       {{"origin", "TEXT"}},
       {}},
      {"event_filters",
       {{"audience_id", "INTEGER NOT NULL"},
        {"filter_id", "INTEGER NOT NULL"},
        {"event_name", "TEXT NOT NULL"},
        {"data", "BLOB NOT NULL"},
        {"PRIMARY KEY", "(audience_id, filter_id)"}},
       {{"session_scoped", "INTEGER"}},
       {}},
      {"property_filters",
       {{"audience_id", "INTEGER NOT NULL"},
        {"filter_id", "INTEGER NOT NULL"},
        {"property_name", "TEXT NOT NULL"},
        {"data", "BLOB NOT NULL"},
        {"PRIMARY KEY", "(audience_id, filter_id)"}},
       {{"session_scoped", "INTEGER"}},
       {}},
      {"audience_filter_values",
       {{"audience_id", "INTEGER NOT NULL PRIMARY KEY"}, {"current_results", "BLOB"}, {"previous_results", "BLOB"}},
       {},
       {}},
      {"purchase_transactions", {{"fingerprint", "TEXT NOT NULL PRIMARY KEY"}}, {}, {}},
      {"subscriptions", {{"subscription_id", "TEXT NOT NULL PRIMARY KEY"}}, {}, {}},
      {"conditional_properties",
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"origin", "TEXT NOT NULL"},
        {"value", "BLOB NOT NULL"},
        {"creation_timestamp", "REAL NOT NULL"},
        {"active", "INTEGER NOT NULL"},
        {"trigger_timeout", "REAL NOT NULL"},
        {"triggered_timestamp", "REAL NOT NULL"},
        {"time_to_live", "REAL NOT NULL"},
        {"trigger_event_name", "TEXT"},
        {"timed_out_event", "BLOB"},
        {"triggered_event", "BLOB"},
        {"expired_event", "BLOB"}},
       {},
       {}},
      {"main_event_params",
       {{"event_id", "INTEGER NOT NULL PRIMARY KEY"},
        {"children_to_process", "INTEGER NOT NULL"},
        {"main_event", "BLOB NOT NULL"}},
       {},
       {}},
  };
  return *tables;
}

// Never destroyed: library threads may still use it while the process exits.
const Value& kAppMetadataRowID = *new Value("1");

// The texts of the statements every logged event runs. They are built once and kept for
// the life of the process (a worker may still write while the process exits), and the
// store keeps each prepared under its text.
const std::string& statementText(const char* text) { return *new std::string(text); }

const std::string& selectDailyCountsSQL() {
  static const std::string& sql = statementText(
      "SELECT day, daily_conversions_count, daily_events_count, daily_public_events_count, daily_error_events_count, "
      "daily_real_time_conversion_events_count FROM app_metadata WHERE rowid = ?");
  return sql;
}

const std::string& updateDailyCountsSQL() {
  static const std::string& sql = statementText(
      "UPDATE app_metadata SET day=?,daily_conversions_count=?,daily_events_count=?,daily_public_events_count=?,"
      "daily_error_events_count=?,daily_real_time_conversion_events_count=? WHERE rowid=?");
  return sql;
}

// The columns of an events row, in the order eventAggregatesFromColumns() reads them.
constexpr const char* kAggregatesColumns[] = {"name",
                                              "lifetime_count",
                                              "current_bundle_count",
                                              "current_session_count",
                                              "last_fire_timestamp",
                                              "last_bundled_timestamp",
                                              "last_sampled_complex_event_id",
                                              "last_sampling_rate",
                                              "last_exempt_from_sampling",
                                              "last_bundled_day"};
constexpr std::size_t kAggregatesColumnCount = std::size(kAggregatesColumns);

const std::string& selectAggregatesSQL() {
  static const std::string& sql = []() -> const std::string& {
    std::string text = "SELECT ";
    for (std::size_t i = 0; i < kAggregatesColumnCount; ++i) {
      if (i) text += ", ";
      text += kAggregatesColumns[i];
    }
    return statementText((text + " FROM events WHERE name = ?").c_str());
  }();
  return sql;
}

const std::string& upsertAggregatesSQL(bool withComplexEventID) {
  static const std::string& plain = statementText(
      "INSERT OR REPLACE INTO events (name, lifetime_count, current_bundle_count, last_fire_timestamp, "
      "last_bundled_timestamp, last_sampling_rate, last_exempt_from_sampling, last_bundled_day, "
      "current_session_count) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?);");
  static const std::string& withID = statementText(
      "INSERT OR REPLACE INTO events (name, lifetime_count, current_bundle_count, last_fire_timestamp, "
      "last_bundled_timestamp, last_sampling_rate, last_exempt_from_sampling, last_bundled_day, "
      "current_session_count, last_sampled_complex_event_id) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?);");
  return withComplexEventID ? withID : plain;
}

const std::string& insertRawEventSQL() {
  static const std::string& sql = statementText(
      "INSERT OR REPLACE INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) VALUES (?, ?, ?, "
      "?, ?);");
  return sql;
}
constexpr std::int64_t kMaxRetryCount = std::numeric_limits<std::int32_t>::max();
constexpr std::size_t kMaxInflatedBundleBytes = 16u << 20;

std::string rowIDCondition(std::size_t count) {
  std::string placeholders = "?";
  for (std::size_t i = 1; i < count; ++i) placeholders += ",?";
  return "rowid IN (" + placeholders + ")";
}

platform::Array rowIDValues(const std::vector<std::int64_t>& ids) {
  platform::Array values;
  values.reserve(ids.size());
  for (auto id : ids) values.emplace_back(static_cast<long long>(id));
  return values;
}

// Deletes the oldest rows (by rowid) so that at most `keep` remain; the number deleted.
// Runs after every write, so the usual case (nothing to delete) must not walk the table:
// the rowid span bounds the row count from above and costs two index look-ups; only a
// wider span looks for the newest row beyond `keep`.
std::optional<std::int64_t> deleteOldestRowsBeyond(TLWSqliteStore& store, const std::string& table,
                                                   std::int64_t keep, TLWError* error) {
  const long long bound = static_cast<long long>(keep);
  auto rows = store.recordsForQuery("SELECT CASE WHEN (SELECT max(rowid) FROM " + table +
                                        ") - (SELECT min(rowid) FROM " + table + ") >= ? THEN (SELECT rowid FROM " +
                                        table + " ORDER BY rowid DESC LIMIT 1 OFFSET ?) END AS cutoff",
                                    {Value(bound), Value(bound)}, error);
  if (!rows) return std::nullopt;
  auto cutoff = rows->empty() ? std::nullopt : rows->front().get("cutoff").int64Value();
  if (!cutoff) return 0;
  return store.deleteRecordsFromTableWithName(table, "rowid <= ?", {Value(static_cast<long long>(*cutoff))}, error);
}

}  // namespace

namespace tlw_database_internal {

std::shared_ptr<TLWEvent> eventFromBlob(const Value& column, TLWError* error) {
  const auto* bytes = column.dataBytes();
  if (!bytes) {
    failWith(error, 2, "Failed to convert data to an event. Data must be a NSData instance");
    return nullptr;
  }
  auto message = TLWPBEvent::initWithBuffer(std::span<const std::uint8_t>(bytes->data(), bytes->size()));
  if (!message) {
    failWith(error, 2, "Failed to parse event from data");
    return nullptr;
  }
  auto event = TLWEvent::initWithEventProto(*message);
  if (!event) failWith(error, 2, "Failed to initialize event from proto data");
  return event;
}

std::optional<std::vector<std::uint8_t>> serializedEvent(const TLWEvent& event, bool includeName) {
  return event.protoEventBytes(includeName);
}

}  // namespace tlw_database_internal

// ------------------------------------------------------------------ lifecycle

TLWDatabase::TLWDatabase(std::shared_ptr<TLWPersistedConfig> persistedConfig,
                         std::shared_ptr<platform::Environment> env, std::shared_ptr<TLWMonitor> monitor)
    : persistedConfig_(std::move(persistedConfig)), env_(std::move(env)), monitor_(std::move(monitor)) {}

TLWDatabase::~TLWDatabase() = default;

std::string TLWDatabase::databasePathForName(const std::string& databaseName, platform::Environment& env) {
  auto sandbox = env.sandbox();
  if (!sandbox || sandbox->root().empty()) return "";
  return sandbox->applicationSupportDirectory() + "/Vorlix/Measurement/" + databaseName;
}

std::unique_ptr<TLWDatabase> TLWDatabase::initWithDatabaseName(const std::string& databaseName,
                                                               std::shared_ptr<TLWPersistedConfig> persistedConfig,
                                                               TLWError* error,
                                                               std::shared_ptr<platform::Environment> env,
                                                               std::shared_ptr<TLWMonitor> monitor) {
  if (databaseName.empty() || databaseName.find('/') != std::string::npos) {
    failWith(error, 1, "Received empty database name in init");
    return nullptr;
  }
  if (!env) env = platform::Environment::current();
  if (!monitor) monitor = TLWMonitor::sharedInstance();
  if (!persistedConfig) persistedConfig = TLWPersistedConfig::sharedInstance();
  std::unique_ptr<TLWDatabase> database(new TLWDatabase(std::move(persistedConfig), env, monitor));
  std::string path = databasePathForName(databaseName, *env);
  if (path.empty()) monitor->logWithLevel(2, 19001, "NSSearchPath for ApplicationSupport directory is empty");
  if (!database->initializeDatabaseResourcesWithContext("Init", path, error)) return nullptr;
  return database;
}

bool TLWDatabase::initializeDatabaseResourcesWithContext(const std::string& context, const std::string& databasePath,
                                                         TLWError* error) {
  databasePath_ = databasePath;
  sqliteStore_ = TLWSqliteStore::initWithDatabasePath(databasePath, error, env_, monitor_);
  if (!sqliteStore_) return false;
  bool incompatible = false;
  if (!ensureAllTables(&incompatible)) {
    monitor_->logWithLevel(1, 12002, "Failed to create or validate required database tables (" + context + ")");
    // Only tables this library cannot use justify starting over; an SQLite failure (the
    // disk full, a lock) leaves the file and its unsent events for a later attempt.
    if (!incompatible) {
      sqliteStore_.reset();
      return failWith(error, 2, "Failed to create or validate required database tables");
    }
    if (!sqliteStore_->closeAndDeleteDatabase()) {
      monitor_->logWithLevel(4, 12003, "Failed to delete old database file after failed validation. Error (" +
                                           context + ")");
    }
    sqliteStore_.reset();
    return failWith(error, 2, "Failed to create or validate required database tables");
  }
  if (!initializeAppMetadata()) {
    monitor_->logWithLevel(1, 12004, "Failed to initialize App Metadata table (" + context + ")");
    sqliteStore_.reset();
    return failWith(error, 2, "Failed to initialize App Metadata table");
  }
  // At the cap every group deletes its oldest rows; counting 100 000 rows for that would
  // cost milliseconds.
  sqliteStore_->trackRowCountOfTable("raw_events");
  return true;
}

std::optional<std::int64_t> TLWDatabase::rawEventRowCount() {
  if (!sqliteStore_) return std::nullopt;
  return sqliteStore_->trackedRowCount(nullptr);
}

bool TLWDatabase::beginWriteGroup() {
  if (!sqliteStore_ || inWriteGroup_ || sqliteStore_->isInTransaction()) return false;
  if (!sqliteStore_->beginTransaction()) {
    monitor_->logWithLevel(1, 12056, "Transaction failed. " +
                                         sqliteStore_->errorDescriptionForDatabaseOperation("begin transaction"));
    return false;
  }
  sqliteStore_->setTransactionExpected(true);
  inWriteGroup_ = true;
  forgetGroupReads();
  return true;
}

bool TLWDatabase::commitWriteGroup() {
  if (!inWriteGroup_) return false;
  inWriteGroup_ = false;
  forgetGroupReads();
  if (sqliteStore_) sqliteStore_->setTransactionExpected(false);
  bool committed = sqliteStore_ && sqliteStore_->isInTransaction() && sqliteStore_->endTransaction();
  if (!committed) {
    const std::string description = sqliteStore_
                                        ? sqliteStore_->errorDescriptionForDatabaseOperation("end transaction")
                                        : std::string("Database not open");
    // SQLite may have rolled back already (a full disk); otherwise nothing of the group
    // may stay half-visible.
    if (sqliteStore_ && sqliteStore_->isInTransaction() && !sqliteStore_->rollbackTransaction()) {
      monitor_->logWithLevel(1, 34011, "Failed to rollback transaction");
    }
    monitor_->logWithLevel(1, 12056, "Transaction failed. " + description);
  }
  runWorkAfterCommit(committed);
  return committed;
}

void TLWDatabase::abandonWriteGroup() {
  if (!inWriteGroup_) return;
  inWriteGroup_ = false;
  forgetGroupReads();
  if (sqliteStore_) {
    sqliteStore_->setTransactionExpected(false);
    if (sqliteStore_->isInTransaction() && !sqliteStore_->rollbackTransaction()) {
      monitor_->logWithLevel(1, 34011, "Failed to rollback transaction");
    }
  }
  runWorkAfterCommit(false);
}

std::uint64_t TLWDatabase::transientFailureCount() const {
  return sqliteStore_ ? sqliteStore_->transientFailureCount() : 0;
}

std::string TLWDatabase::lastTransientFailureDescription() const {
  const int code = sqliteStore_ ? sqliteStore_->lastTransientFailureCode() : 0;
  if (code == 0) return {};
  const char* text = sqlite3_errstr(code);
  return std::string(text ? text : "unknown error") + " (" + std::to_string(code) + ")";
}

bool TLWDatabase::isInTransaction() const { return inWriteGroup_ || (sqliteStore_ && sqliteStore_->isInTransaction()); }

void TLWDatabase::runAfterCommit(std::function<void()> work) {
  if (!work) return;
  if (inWriteGroup_ || (sqliteStore_ && sqliteStore_->isInTransaction())) {
    afterCommit_.push_back(std::move(work));
    return;
  }
  work();
}

void TLWDatabase::runWorkAfterCommit(bool committed) {
  // Work may hand over more work or open transactions of its own; take the list first.
  std::vector<std::function<void()>> work;
  work.swap(afterCommit_);
  if (!committed) return;
  for (auto& item : work) item();
}

bool TLWDatabase::checkpointIfIdle() { return sqliteStore_ && sqliteStore_->checkpointIfNeeded(); }

bool TLWDatabase::ensureAllTables(bool* incompatible) {
  for (const auto& table : schema()) {
    TLWError error;
    if (!sqliteStore_->ensureTableWithName(table.name, table.elementary, table.addOn, table.modify, &error)) {
      monitor_->logWithLevel(1, 12047, "Failed to ensure table. Table, error", Value(table.name), error.asValue());
      *incompatible = error.code() != TLWSqliteStore::kErrorCodeSqliteFailure;
      return false;
    }
  }
  // The upload schedule asks for the newest event time and for pending real-time events
  // after every write; without these both walk the whole queue of unsent events.
  static constexpr std::pair<const char*, const char*> kIndexes[] = {
      {"raw_events_timestamp", "CREATE INDEX IF NOT EXISTS raw_events_timestamp ON raw_events (timestamp)"},
      {"raw_events_realtime",
       "CREATE INDEX IF NOT EXISTS raw_events_realtime ON raw_events (is_realtime) WHERE is_realtime = 1"},
  };
  for (const auto& [name, sql] : kIndexes) {
    TLWError error;
    if (!sqliteStore_->executeSQL(sql, &error)) {
      monitor_->logWithLevel(1, 12047, "Failed to ensure table. Table, error", Value(name), error.asValue());
      return false;
    }
  }
  return true;
}

bool TLWDatabase::initializeAppMetadata() {
  return performTransaction([&] {
    TLWError error;
    auto rows = sqliteStore_->recordsForQuery("SELECT rowid FROM app_metadata WHERE rowid = ?", {kAppMetadataRowID},
                                              &error);
    if (!rows) {
      monitor_->logWithLevel(1, 12005, "Failed to query app metadata", error.asValue());
      return false;
    }
    if (!rows->empty()) return true;
    Row initial{{"last_bundle_index", 0}, {"last_bundle_start_timestamp", 0.0}, {"last_bundle_end_timestamp", 0.0}};
    if (!upsertDataType(initial, "app_metadata", "rowid", kAppMetadataRowID, 1, &error)) {
      monitor_->logWithLevel(1, 12006, "Unable to update the app metadata. Error", error.asValue());
      return false;
    }
    return true;
  });
}

bool TLWDatabase::reset(TLWError* error) {
  if (sqliteStore_ && !sqliteStore_->closeAndDeleteDatabase()) return failWith(error, 2, "Failed to delete database data");
  ++generation_;
  forgetGroupReads();
  sqliteStore_.reset();
  return initializeDatabaseResourcesWithContext("Reset", databasePath_, error);
}

bool TLWDatabase::performTransaction(const std::function<bool()>& block) {
  if (!sqliteStore_) return false;
  const bool outermost = !inWriteGroup_ && !sqliteStore_->isInTransaction();
  TLWError error;
  const bool ok = sqliteStore_->performTransactionWithError(&error, block);
  if (!ok) {
    // The rolled-back savepoint may have made any of the group's answers.
    forgetGroupReads();
    monitor_->logWithLevel(1, 12056, "Transaction failed. " + error.localizedDescription());
  }
  // A failed outermost transaction stored nothing; work waiting on it goes too.
  if (outermost && !afterCommit_.empty()) runWorkAfterCommit(ok);
  return ok;
}

double TLWDatabase::now() { return env_->clock()->now(); }

// ------------------------------------------------------------------ generic helpers

bool TLWDatabase::insertDataType(const Row& record, const std::string& table, TLWError* error) {
  if (table.empty()) return failWith(error, 1, "Received empty table name for inserting");
  if (record.empty()) return failWith(error, 2, "Failed to insert empty record");
  return sqliteStore_->upsertRecord(record, table, error);
}

bool TLWDatabase::upsertDataType(const Row& record, const std::string& table, const std::string& columnName,
                                 const Value& columnValue, std::int64_t tableLimit, TLWError* error) {
  if (record.empty()) return failWith(error, 1, "Received empty data type to upsert");
  if (table.empty()) return failWith(error, 1, "Received empty table name for checking upsert");
  if (!hasRoomForRow(table, columnName, columnValue, tableLimit, error)) return false;
  return sqliteStore_->upsertRecord(record, table, error);
}

bool TLWDatabase::hasRoomForRow(const std::string& table, const std::string& columnName, const Value& columnValue,
                                std::int64_t tableLimit, TLWError* error) {
  auto existing = sqliteStore_->rowCountForTableWithName(table, columnName, columnValue, error);
  if (!existing) return false;
  if (*existing == 0) {
    auto total = sqliteStore_->rowCountForTableWithName(table, error);
    if (!total) return false;
    if (*total >= tableLimit) return failWith(error, 2, "Failed to insert data type. Table is full");
  }
  return true;
}

bool TLWDatabase::updateDataType(const Row& record, const std::string& table, const std::string& columnName,
                                 const Value& columnValue, TLWError* error) {
  if (record.empty()) return failWith(error, 1, "Received empty data type to update");
  if (table.empty()) return failWith(error, 1, "Received empty table name for updating");
  auto existing = sqliteStore_->rowCountForTableWithName(table, columnName, columnValue, error);
  if (!existing) return false;
  if (*existing == 0) return failWith(error, 2, "Failed to update record. Item doesn't exist");
  return sqliteStore_->updateRecord(record, table, columnName, columnValue, error);
}

std::optional<bool> TLWDatabase::boolForQuery(const std::string& sql, const platform::Array& values, TLWError* error) {
  auto number = sqliteStore_->numberForQuery(sql, values, error);
  if (!number) return std::nullopt;
  return number->int64Value().value_or(0) != 0;
}

std::optional<Value> TLWDatabase::appMetadataColumn(const std::string& column, TLWError* error) {
  auto rows = sqliteStore_->recordsForQuery("SELECT " + column + " FROM app_metadata LIMIT 1", {}, error);
  if (!rows) return std::nullopt;
  if (rows->empty()) return Value();
  return rows->front().get(column);
}

// ------------------------------------------------------------------ app metadata and daily counts

std::shared_ptr<TLWAppMetadata> TLWDatabase::queryAppMetadata(TLWError* error) {
  auto rows = sqliteStore_->recordsForQuery(
      "SELECT last_bundle_index, last_bundle_start_timestamp, last_bundle_end_timestamp FROM app_metadata WHERE "
      "rowid = ?",
      {kAppMetadataRowID}, error);
  if (!rows) return nullptr;
  if (rows->empty()) {
    failWith(error, 2, "App metadata row is missing");
    return nullptr;
  }
  const Row& row = rows->front();
  return TLWAppMetadata::initWithLastBundleIndex(clampToInt32(int64Of(row, "last_bundle_index").value_or(0)),
                                                 doubleOf(row, "last_bundle_start_timestamp").value_or(0.0),
                                                 doubleOf(row, "last_bundle_end_timestamp").value_or(0.0), monitor_);
}

bool TLWDatabase::updateAppMetadata(const TLWAppMetadata& metadata, TLWError* error) {
  Row record{{"last_bundle_index", metadata.lastBundleIndex()},
             {"last_bundle_start_timestamp", metadata.lastBundleStartTimestamp()},
             {"last_bundle_end_timestamp", metadata.lastBundleEndTimestamp()}};
  return updateDataType(record, "app_metadata", "rowid", kAppMetadataRowID, error);
}

std::int32_t TLWDatabase::currentDayNumber() {
  return TLWDailyCounts::dayNumber(now(), persistedConfig_ ? persistedConfig_->midnightOffset() : 0.0);
}

std::optional<TLWDailyCounts> TLWDatabase::dailyCounts(TLWError* error) {
  // Read by position: this runs for every logged event.
  auto rows = sqliteStore_->valueRowsForQuery(selectDailyCountsSQL(), {kAppMetadataRowID}, error);
  if (!rows) return std::nullopt;
  if (rows->empty() || rows->front().size() != 6) {
    failWith(error, 2, "App metadata row is missing");
    return std::nullopt;
  }
  const platform::Array& row = rows->front();
  auto counter = [&](std::size_t column) { return clampToInt32(row[column].int64Value().value_or(0)); };
  auto day = row[0].int64Value();
  return TLWDailyCounts(day ? clampToInt32(*day) : currentDayNumber(), counter(1), counter(2), counter(3), counter(4),
                        counter(5));
}

bool TLWDatabase::updateDailyCounts(const TLWDailyCounts& counts, TLWError* error) {
  // The update itself tells whether the row exists; no count query first.
  auto changed = sqliteStore_->executeWriteStatement(
      updateDailyCountsSQL(),
      {counts.day(), counts.conversionsCount(), counts.allEventsCount(), counts.publicEventsCount(),
       counts.errorEventsCount(), counts.realtimeCount(), kAppMetadataRowID},
      error);
  if (!changed) return false;
  if (*changed == 0) return failWith(error, 2, "Failed to update record. Item doesn't exist");
  return true;
}

// ------------------------------------------------------------------ raw events

std::int64_t TLWDatabase::fingerprintOfBytes(const std::vector<std::uint8_t>& bytes) {
  auto digest = platform::md5Digest(std::span<const std::uint8_t>(bytes.data(), bytes.size()));
  std::uint64_t v = 0;
  for (std::size_t i = 8; i < 16 && i < digest.size(); ++i) v = (v << 8) | digest[i];
  return static_cast<std::int64_t>(v);
}

bool TLWDatabase::insertIfNotExistsRawEventMetadata(const TLWPBMeasurementBundle& metadata, TLWError* error) {
  auto bytes = metadata.protoBuffer(error);
  return bytes && insertIfNotExistsRawEventMetadataBytes(*bytes, error).has_value();
}

std::optional<std::int64_t> TLWDatabase::insertIfNotExistsRawEventMetadataBytes(const std::vector<std::uint8_t>& bytes,
                                                                                 TLWError* error) {
  if (bytes.empty()) {
    failWith(error, 3, "Received empty measurement bundle metadata for getting dictionary representation");
    return std::nullopt;
  }
  if (bytes != lastMetadataBytes_) {
    lastMetadataBytes_ = bytes;
    lastMetadataFingerprint_ = fingerprintOfBytes(bytes);
    groupReads_.holdsLastMetadata = false;
  }
  const std::int64_t fingerprint = lastMetadataFingerprint_;
  if (groupReads_.holdsLastMetadata && inWriteGroup_) return fingerprint;
  auto exists = sqliteStore_->rowCountForTableWithName("raw_events_metadata", "metadata_fingerprint",
                                                       Value(static_cast<long long>(fingerprint)), error);
  if (!exists) return std::nullopt;
  if (*exists == 0) {
    Row record{{"metadata_fingerprint", static_cast<long long>(fingerprint)}, {"metadata", bytesValue(bytes)}};
    if (!upsertDataType(record, "raw_events_metadata", "metadata_fingerprint",
                        Value(static_cast<long long>(fingerprint)), kRawEventsMetadataTableLimit, error)) {
      return std::nullopt;
    }
  }
  groupReads_.holdsLastMetadata = inWriteGroup_;
  return fingerprint;
}

std::shared_ptr<TLWPBMeasurementBundle> TLWDatabase::queryRawEventsMetadataWithFingerprint(std::int64_t fingerprint,
                                                                                            TLWError* error) {
  auto rows = sqliteStore_->recordsForQuery("SELECT metadata FROM raw_events_metadata WHERE metadata_fingerprint = ?",
                                            {Value(static_cast<long long>(fingerprint))}, error);
  if (!rows || rows->empty()) return nullptr;
  const auto* bytes = rows->front().get("metadata").dataBytes();
  if (!bytes || bytes->empty()) {
    failWith(error, 3, "Event metadata should not be empty for getting measurement bundle");
    return nullptr;
  }
  TLWError parseError;
  auto bundle = TLWPBMeasurementBundle::initWithBuffer(std::span<const std::uint8_t>(bytes->data(), bytes->size()),
                                                       &parseError);
  if (!bundle) {
    monitor_->logWithLevel(4, 12022, "Stored event metadata cannot be decoded. Fingerprint",
                           Value(static_cast<long long>(fingerprint)));
    TLWSetError(error, parseError);
  }
  return bundle;
}

bool TLWDatabase::deleteRawEventMetadataWithMetadataFingerprint(std::int64_t fingerprint, TLWError* error) {
  groupReads_.holdsLastMetadata = false;
  return sqliteStore_
      ->deleteRecordsFromTableWithName("raw_events_metadata", "metadata_fingerprint == ?",
                                       {Value(static_cast<long long>(fingerprint))}, error)
      .has_value();
}

bool TLWDatabase::deleteUnusedRawEventsMetadata(TLWError* error) {
  groupReads_.holdsLastMetadata = false;
  return sqliteStore_
      ->deleteRecordsFromTableWithName(
          "raw_events_metadata",
          "metadata_fingerprint NOT IN (SELECT DISTINCT metadata_fingerprint FROM raw_events)", {}, error)
      .has_value();
}

bool TLWDatabase::insertRawEvent(const TLWEvent* event, std::int64_t metadataFingerprint, bool isRealtime,
                                 TLWError* error) {
  if (!event) return failWith(error, 1, "Received empty event for inserting in the database");
  auto bytes = serializedEvent(*event, false);
  if (!bytes) return failWith(error, 3, "Failed to serialize event");
  return sqliteStore_
      ->executeWriteStatement(insertRawEventSQL(),
                              {Value(event->name()), Value(event->timestamp()),
                               Value(static_cast<long long>(metadataFingerprint)), bytesValue(*bytes),
                               Value(isRealtime ? 1 : 0)},
                              error)
      .has_value();
}

std::optional<bool> TLWDatabase::isRawEventsTableEmpty(TLWError* error) {
  return boolForQuery("SELECT NOT EXISTS (SELECT 1 FROM raw_events LIMIT 1)", {}, error);
}

std::optional<double> TLWDatabase::queryLatestRawEventTime(TLWError* error) {
  return latestTimeForQuery("SELECT MAX(timestamp) FROM raw_events", error);
}

std::optional<double> TLWDatabase::latestTimeForQuery(const std::string& sql, TLWError* error) {
  // An empty table answers NULL: that is "no time yet" (0), not a failed query.
  TLWError queryError;
  auto v = sqliteStore_->numberForQuery(sql, {}, &queryError);
  if (v) return v->doubleValue();
  if (queryError.domain().empty()) return 0.0;
  TLWSetError(error, queryError);
  return std::nullopt;
}

std::optional<bool> TLWDatabase::containsRawEventWithMetadataFingerprint(std::int64_t fingerprint, TLWError* error) {
  return boolForQuery("SELECT EXISTS (SELECT 1 FROM raw_events WHERE metadata_fingerprint = ? LIMIT 1)",
                      {Value(static_cast<long long>(fingerprint))}, error);
}

std::optional<bool> TLWDatabase::containsRealtimeRawEventsWithError(TLWError* error) {
  return boolForQuery("SELECT EXISTS (SELECT 1 FROM raw_events WHERE is_realtime = 1 LIMIT 1)", {}, error);
}

std::optional<std::int64_t> TLWDatabase::nextMetadataFingerprintToProcess(TLWError* error) {
  auto rows = sqliteStore_->recordsForQuery("SELECT metadata_fingerprint, MIN(rowid) FROM raw_events", {}, error);
  if (!rows) return std::nullopt;
  if (rows->size() > 1) {
    failWith(error, 2, "Only one event metadata should be processed");
    return std::nullopt;
  }
  if (rows->empty()) return std::nullopt;
  return rows->front().get("metadata_fingerprint").int64Value();
}

std::shared_ptr<TLWRawEventData> TLWDatabase::rawEventDataFromDictionary(const Row& row, TLWError* error) {
  auto rowID = int64Of(row, "rowid");
  if (!rowID) {
    failWith(error, 1, "Unable to find row ID in the database dictionary");
    return nullptr;
  }
  const Value& data = row.get("data");
  if (!data.isData()) {
    failWith(error, 1, "Unable to find event data in the database dictionary");
    return nullptr;
  }
  auto fingerprint = int64Of(row, "metadata_fingerprint");
  if (!fingerprint) {
    failWith(error, 1, "Unable to find event metadata in the database dictionary");
    return nullptr;
  }
  std::optional<std::string> name;
  if (const std::string* n = row.get("name").string()) name = *n;
  const auto* bytes = data.dataBytes();
  auto event = TLWEvent::initWithStoredEventBytes(std::span<const std::uint8_t>(bytes->data(), bytes->size()), name,
                                                 doubleOf(row, "timestamp"), error);
  if (!event) return nullptr;
  auto made = TLWRawEventData::initWithRawEvent(event, *rowID, *fingerprint);
  if (!made) failWith(error, 2, "Failed to initialize raw event data from dictionary");
  return made;
}

std::optional<std::vector<std::shared_ptr<TLWRawEventData>>> TLWDatabase::rawEventsWithMetadataFingerprint(
    std::int64_t fingerprint, TLWError* error, const RowFilter& eventFilter) {
  auto accept = eventFilter ? eventFilter : [](std::size_t, const Row&) { return true; };
  auto rows = sqliteStore_->recordsForQuery(
      "SELECT rowid, * FROM raw_events WHERE metadata_fingerprint = ? ORDER BY rowid ASC LIMIT ?",
      {Value(static_cast<long long>(fingerprint)), Value(static_cast<long long>(kRawEventsPerFingerprintLimit))},
      error, accept);
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<TLWRawEventData>> events;
  for (const auto& row : *rows) {
    TLWError rowError;
    if (auto made = rawEventDataFromDictionary(row, &rowError)) {
      events.push_back(std::move(made));
    } else {
      monitor_->logWithLevel(4, 12021, "Skipping stored event that cannot be decoded. Error", rowError.asValue());
    }
  }
  if (!rows->empty() && events.empty()) {
    failWith(error, 2, "Failed to initialize data types from dictionaries");
    return std::nullopt;
  }
  return events;
}

bool TLWDatabase::deleteRawEventsWithMaxRowID(std::int64_t maxRowID, TLWError* error) {
  return sqliteStore_
      ->deleteRecordsFromTableWithName("raw_events", "rowid <= ?", {Value(static_cast<long long>(maxRowID))}, error)
      .has_value();
}

std::optional<std::int64_t> TLWDatabase::deleteRawEventsOverAbsoluteLimit(TLWError* error, std::int64_t roomForRows) {
  std::int64_t keep = std::max<std::int64_t>(TLWLimits::current()->maxEventsStored() - std::max<std::int64_t>(roomForRows, 0), 0);
  auto count = rawEventRowCount();
  if (!count) return deleteOldestRowsBeyond(*sqliteStore_, "raw_events", keep, error);
  if (*count <= keep) return 0;
  // One range of the row-ID b-tree: the boundary is found by stepping over the rows to go.
  return sqliteStore_->deleteRecordsFromTableWithName(
      "raw_events", "rowid <= (SELECT rowid FROM raw_events ORDER BY rowid ASC LIMIT 1 OFFSET ?)",
      {Value(static_cast<long long>(*count - keep - 1))}, error);
}

bool TLWDatabase::deleteStaleRawEventsDataOlderThanMaxAge(double maxAgeSeconds, TLWError* error) {
  if (maxAgeSeconds < 0) return failWith(error, 1, "Cannot delete stale raw events given negative time period");
  auto deleted = sqliteStore_->deleteRecordsFromTableWithName(
      "raw_events", "abs(timestamp - cast(? as REAL)) > cast(? as REAL)", {Value(now()), Value(maxAgeSeconds)}, error);
  if (!deleted) return false;
  if (*deleted > 0) return deleteUnusedRawEventsMetadata(error);
  return true;
}

// ------------------------------------------------------------------ bundle queue

bool TLWDatabase::insertBundle(const TLWPBMeasurementBundle& bundle, bool isRealtime, TLWError* error,
                               std::vector<std::vector<std::uint8_t>> events) {
  auto bytes = bundle.protoBuffer(error);
  if (bytes && !events.empty()) {
    auto spliced = TLWPBBundleBytes::initWithBuffer(std::move(*bytes));
    if (!spliced || !spliced->AddRepeatedMessageBytes(TLWPBMeasurementBundle::kEvents, std::move(events))) {
      return failWith(error, 1, "Failed to add events to the bundle");
    }
    bytes = spliced->bytes();
  }
  if (!bytes || bytes->empty()) return failWith(error, 1, "Failed to insert nil bundle");
  auto appID = bundle.GetString(TLWPBMeasurementBundle::kAppId);
  if (!appID || appID->empty()) return failWith(error, 1, "Failed to insert bundle without App ID");
  const std::int64_t endMilliseconds = bundle.GetInt64(TLWPBMeasurementBundle::kEndTimestamp);
  if (endMilliseconds < 1) return failWith(error, 1, "Failed to insert bundle without valid timestamp");
  if (!maybeDeleteStaleData(error)) return false;
  const double endSeconds = static_cast<double>(endMilliseconds) / 1000.0;
  if (std::fabs(now() - endSeconds) > TLWLimits::current()->maxQueueTime()) {
    monitor_->logWithLevel(4, 12016, "Storing bundle outside of the max uploading time span");
  }
  std::string why;
  // Only this library reads the queue back; the upload compresses its batch again at the default level.
  auto compressed = bundleDeflater_.compress(std::span<const std::uint8_t>(bytes->data(), bytes->size()), &why);
  if (!compressed || compressed->empty()) return failWith(error, 2, "Failed to compress bundle");
  monitor_->logWithLevel(7, 12018, "Saving bundle. size (bytes)", Value(static_cast<long long>(compressed->size())));
  Row record{{"bundle_end_timestamp", endSeconds},
             {"data", bytesValue(*compressed)},
             {"is_realtime", isRealtime ? 1 : 0},
             {"retry_count", bundle.GetInt32(TLWPBMeasurementBundle::kRetryCount)}};
  return insertDataType(record, "queue", error);
}

std::optional<TLWDatabase::BundleBytesAndRowID> TLWDatabase::bundleBytesFromQueueRow(const Row& row,
                                                                                    TLWError* error) {
  if (row.empty()) {
    failWith(error, 3, "Cannot process empty rowData");
    return std::nullopt;
  }
  const auto* data = row.get("data").dataBytes();
  if (!data || data->empty()) {
    failWith(error, 3, "Cannot decompress an empty bundle data");
    return std::nullopt;
  }
  std::string why;
  auto inflated = platform::vxl_dataByInflatingGzippedData(std::span<const std::uint8_t>(data->data(), data->size()),
                                                           &why, kMaxInflatedBundleBytes);
  if (!inflated) {
    failWith(error, 2, why.empty() ? "Failed to decompress bundle" : why);
    return std::nullopt;
  }
  auto bundle = TLWPBBundleBytes::initWithBuffer(std::move(*inflated));
  if (!bundle) {
    failWith(error, 2, "Unable to parse bundle from decompressed data");
    return std::nullopt;
  }
  auto retry = int64Of(row, "retry_count");
  if (retry && *retry >= 1) bundle->SetInt32(TLWPBMeasurementBundle::kRetryCount, clampToInt32(*retry));
  return BundleBytesAndRowID{std::move(*bundle), int64Of(row, "rowid").value_or(0)};
}

std::optional<TLWDatabase::BundleAndRowID> TLWDatabase::bundleFromQueueRow(const Row& row, TLWError* error) {
  auto stored = bundleBytesFromQueueRow(row, error);
  if (!stored) return std::nullopt;
  const std::vector<std::uint8_t> bytes = stored->first.bytes();
  auto bundle = TLWPBMeasurementBundle::initWithBuffer(std::span<const std::uint8_t>(bytes));
  if (!bundle) {
    failWith(error, 2, "Unable to parse bundle from decompressed data");
    return std::nullopt;
  }
  return BundleAndRowID{bundle, stored->second};
}

std::optional<std::vector<TLWDatabase::BundleBytesAndRowID>> TLWDatabase::queryBundleBytesWithCountLimit(
    std::int64_t countLimit, std::int64_t sizeLimit, TLWError* error) {
  auto rows = sqliteStore_->recordsForQuery(
      "SELECT rowid, data, retry_count FROM queue ORDER BY bundle_end_timestamp ASC LIMIT ?",
      {Value(static_cast<long long>(countLimit))}, error);
  if (!rows) return std::nullopt;
  std::vector<BundleBytesAndRowID> out;
  std::int64_t total = 0;
  for (const auto& row : *rows) {
    TLWError rowError;
    auto stored = bundleBytesFromQueueRow(row, &rowError);
    if (!stored) {
      monitor_->logWithLevel(4, 12020, "Skipping queued bundle that cannot be decoded. Error", rowError.asValue());
      continue;
    }
    const auto bytes = static_cast<std::int64_t>(stored->first.encodedSize());
    // The first decodable bundle always goes, whatever its size, so that one oversized
    // bundle cannot hold back the queue behind it.
    if (!out.empty() && total + bytes > sizeLimit) break;
    total += bytes;
    out.push_back(std::move(*stored));
  }
  return out;
}

std::optional<std::vector<TLWDatabase::BundleAndRowID>> TLWDatabase::queryBundlesWithCountLimit(std::int64_t countLimit,
                                                                                               std::int64_t sizeLimit,
                                                                                               TLWError* error) {
  auto stored = queryBundleBytesWithCountLimit(countLimit, sizeLimit, error);
  if (!stored) return std::nullopt;
  std::vector<BundleAndRowID> out;
  for (const auto& [bundleBytes, rowID] : *stored) {
    const std::vector<std::uint8_t> bytes = bundleBytes.bytes();
    auto bundle = TLWPBMeasurementBundle::initWithBuffer(std::span<const std::uint8_t>(bytes));
    if (!bundle) {
      monitor_->logWithLevel(4, 12020, "Skipping queued bundle that cannot be decoded. Error",
                             Value("Unable to parse bundle from decompressed data"));
      continue;
    }
    out.emplace_back(bundle, rowID);
  }
  return out;
}

std::optional<std::vector<TLWDatabase::BundleAndRowID>> TLWDatabase::queryBundlesWithRowIDs(
    const std::vector<std::int64_t>& rowIDs, TLWError* error) {
  if (rowIDs.empty()) {
    failWith(error, 3, "Received empty row IDs to process");
    return std::nullopt;
  }
  auto rows = sqliteStore_->recordsForQuery("SELECT rowid, data, retry_count FROM queue WHERE " +
                                                rowIDCondition(rowIDs.size()),
                                            rowIDValues(rowIDs), error);
  if (!rows) return std::nullopt;
  std::vector<BundleAndRowID> out;
  for (const auto& row : *rows) {
    TLWError rowError;
    if (auto decoded = bundleFromQueueRow(row, &rowError)) {
      out.push_back(std::move(*decoded));
    } else {
      monitor_->logWithLevel(4, 12020, "Skipping queued bundle that cannot be decoded. Error", rowError.asValue());
    }
  }
  return out;
}

bool TLWDatabase::incrementRetryCounterForBundlesWithIDs(const std::vector<std::int64_t>& rowIDs, TLWError* error) {
  if (rowIDs.empty()) return failWith(error, 1, "Failed to increment retry counter");
  platform::Array values = rowIDValues(rowIDs);
  values.emplace_back(static_cast<long long>(kMaxRetryCount));
  auto atLimit = boolForQuery("SELECT EXISTS (SELECT 1 FROM queue WHERE " + rowIDCondition(rowIDs.size()) +
                                  " AND retry_count >= ?)",
                              values, error);
  if (!atLimit) return false;
  if (*atLimit) {
    monitor_->logWithLevel(1, 12054, "The number of upload retries exceeds the limit. Will remain unchanged.");
  }
  return sqliteStore_->increaseColumn("retry_count", 1, "queue",
                                      rowIDCondition(rowIDs.size()) + " AND COALESCE(retry_count, 0) < ?", values, error);
}

bool TLWDatabase::deleteBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs, TLWError* error) {
  if (rowIDs.empty()) return failWith(error, 1, "Received empty row IDs to delete");
  return sqliteStore_->deleteRecordsFromTableWithName("queue", rowIDCondition(rowIDs.size()), rowIDValues(rowIDs), error)
      .has_value();
}

std::optional<bool> TLWDatabase::isQueuedBundleTableEmpty(TLWError* error) {
  return boolForQuery("SELECT NOT EXISTS (SELECT 1 FROM queue LIMIT 1)", {}, error);
}

std::optional<double> TLWDatabase::queryLatestBundleTime(TLWError* error) {
  return latestTimeForQuery("SELECT MAX(bundle_end_timestamp) FROM queue", error);
}

std::optional<bool> TLWDatabase::containsRealtimeBundlesWithError(TLWError* error) {
  return boolForQuery("SELECT EXISTS (SELECT 1 FROM queue WHERE is_realtime = 1 LIMIT 1)", {}, error);
}

std::optional<bool> TLWDatabase::maybeDeleteStaleData(TLWError* error) {
  const double current = now();
  auto limits = TLWLimits::current();
  if (std::fabs(current - persistedConfig_->lastDeleteStaleBundlesTimestamp()) <=
      limits->databaseDeleteStaleBundlesInterval()) {
    return false;
  }
  if (!deleteStaleRawEventsDataOlderThanMaxAge(limits->maxQueueTime(), error)) return std::nullopt;
  if (!deleteStaleBundlesOlderThanMaxAge(limits->maxQueueTime(), error)) return std::nullopt;
  persistedConfig_->setLastDeleteStaleBundlesTimestamp(current);
  return true;
}

bool TLWDatabase::deleteStaleBundlesOlderThanMaxAge(double maxAgeSeconds, TLWError* error) {
  if (maxAgeSeconds < 0) return failWith(error, 1, "Cannot delete stale bundles after negative time period");
  return sqliteStore_
      ->deleteRecordsFromTableWithName("queue", "abs(bundle_end_timestamp - cast(? as REAL)) > cast(? as REAL)",
                                       {Value(now()), Value(maxAgeSeconds)}, error)
      .has_value();
}

// ------------------------------------------------------------------ event counters

std::optional<std::int64_t> TLWDatabase::publicEventCount(TLWError* error) {
  auto v = sqliteStore_->numberForQuery("SELECT count(1) FROM events WHERE name NOT LIKE '!_%' ESCAPE '!'", {}, error);
  if (!v) return std::nullopt;
  return v->int64Value();
}

std::shared_ptr<TLWEventAggregates> TLWDatabase::eventAggregatesFromRow(const Row& row) {
  platform::Array columns;
  columns.reserve(kAggregatesColumnCount);
  for (const char* column : kAggregatesColumns) {
    const Value* value = row.find(column);
    columns.push_back(value ? *value : Value());
  }
  return eventAggregatesFromColumns(columns);
}

std::shared_ptr<TLWEventAggregates> TLWDatabase::eventAggregatesFromColumns(const platform::Array& columns) {
  if (columns.size() != kAggregatesColumnCount) return nullptr;
  const std::string* name = columns[0].string();
  if (!name || name->empty()) return nullptr;
  auto int32At = [&](std::size_t i, std::int64_t fallback) {
    return clampToInt32(columns[i].int64Value().value_or(fallback));
  };
  auto aggregates = TLWEventAggregates::initWithName(*name, int32At(1, 0), int32At(2, 0), int32At(3, 0),
                                                     columns[4].doubleValue().value_or(0));
  if (!aggregates) return nullptr;
  aggregates->setLastBundledTimestamp(columns[5].doubleValue().value_or(0));
  aggregates->setLastSampledComplexEventID(columns[6].int64Value());
  aggregates->setLastSamplingRate(int32At(7, 1));
  aggregates->setLastExemptFromSampling(columns[8].int64Value().value_or(0) != 0);
  aggregates->setLastBundledDay(int32At(9, 0));
  return aggregates;
}

std::optional<std::vector<std::shared_ptr<TLWEventAggregates>>> TLWDatabase::allEventAggregates(TLWError* error) {
  return allDataTypesFromTableWithName<TLWEventAggregates>(
      "events", kEventsTableLimit, error, [this](const Row& row) { return eventAggregatesFromRow(row); });
}

std::shared_ptr<TLWEventAggregates> TLWDatabase::eventAggregatesWithName(const std::string& name, TLWError* error) {
  if (name.empty()) return nullptr;
  // Read by position: this runs for every logged event.
  auto rows = sqliteStore_->valueRowsForQuery(selectAggregatesSQL(), {Value(name)}, error);
  if (!rows) return nullptr;
  for (const auto& row : *rows) {
    if (auto aggregates = eventAggregatesFromColumns(row)) return aggregates;
  }
  if (!rows->empty()) failWith(error, 2, "Failed to initialize data types from dictionaries");
  return nullptr;
}

bool TLWDatabase::updateEventAggregates(const TLWEventAggregates* aggregates, TLWError* error) {
  if (!aggregates) {
    return failWith(error, 3, "Received empty event aggregates object for getting dictionary representation");
  }
  if (aggregates->name().empty()) {
    return failWith(error, 1, "Received event aggregates object with empty name for getting dictionary representation");
  }
  const Value name(aggregates->name());
  if (!hasRoomForRow("events", "name", name, kEventsTableLimit, error)) return false;
  platform::Array values{name,
                         Value(aggregates->lifetimeCount()),
                         Value(aggregates->currentBundleCount()),
                         Value(aggregates->lastFireTimestamp()),
                         Value(aggregates->lastBundledTimestamp()),
                         Value(aggregates->lastSamplingRate()),
                         Value(aggregates->lastExemptFromSampling() ? 1 : 0),
                         Value(aggregates->lastBundledDay()),
                         Value(aggregates->currentSessionCount())};
  const auto complexEventID = aggregates->lastSampledComplexEventID();
  if (complexEventID) values.emplace_back(static_cast<long long>(*complexEventID));
  return sqliteStore_->executeWriteStatement(upsertAggregatesSQL(complexEventID.has_value()), values, error)
      .has_value();
}

bool TLWDatabase::clearCurrentSessionCounts(TLWError* error) {
  return sqliteStore_->updateAllRecordsInTableWithName("events", "current_session_count", Value(0), error);
}

// ------------------------------------------------------------------ measurement configuration

bool TLWDatabase::updateRemoteConfig(const TLWPBMeasurementConfig& config, TLWError* error) {
  auto bytes = config.protoBuffer(error);
  if (!bytes || bytes->empty()) return failWith(error, 1, "Invalid measurement config data");
  auto appID = config.GetString(TLWPBMeasurementConfig::kAppId);
  if (!appID || appID->empty()) return failWith(error, 1, "Missing Vorlix app ID in measurement configuration");
  Row record{{"remote_config_data", bytesValue(*bytes)}, {"remote_config_timestamp", now()}};
  return updateDataType(record, "app_metadata", "rowid", kAppMetadataRowID, error);
}

bool TLWDatabase::updateRemoteConfigSuccessfulTimestamp(double timestamp, TLWError* error) {
  return updateDataType({{"remote_config_timestamp", timestamp}}, "app_metadata", "rowid", kAppMetadataRowID, error);
}

std::shared_ptr<TLWPBMeasurementConfig> TLWDatabase::queryMeasurementConfigWithError(TLWError* error) {
  auto v = appMetadataColumn("remote_config_data", error);
  if (!v) return nullptr;
  const auto* bytes = v->dataBytes();
  if (!bytes || bytes->empty()) return nullptr;
  auto config = TLWPBMeasurementConfig::initWithBuffer(std::span<const std::uint8_t>(bytes->data(), bytes->size()));
  if (!config) failWith(error, 2, "Remote config data is corrupted");
  return config;
}

std::optional<double> TLWDatabase::lastRemoteConfigUpdateTimestamp(TLWError* error) {
  auto v = appMetadataColumn("remote_config_timestamp", error);
  if (!v) return std::nullopt;
  return v->doubleValue();
}

// ------------------------------------------------------------------ user properties

std::optional<std::int64_t> TLWDatabase::publicUserAttributeCount(TLWError* error) {
  auto v = sqliteStore_->numberForQuery("SELECT count(1) FROM user_attributes WHERE name NOT LIKE '!_%' ESCAPE '!'",
                                        {}, error);
  if (!v) return std::nullopt;
  return v->int64Value();
}

std::optional<std::int64_t> TLWDatabase::userAttributeCountForOrigin(const std::string& origin, TLWError* error) {
  if (origin.empty()) {
    failWith(error, 1, "Received empty user property origin for count query");
    return std::nullopt;
  }
  auto v = sqliteStore_->numberForQuery("SELECT count(1) FROM user_attributes WHERE origin = ?", {Value(origin)}, error);
  if (!v) return std::nullopt;
  return v->int64Value();
}

std::optional<bool> TLWDatabase::containsUserAttributeWithName(const std::string& name, TLWError* error) {
  if (name.empty()) {
    failWith(error, 1, "Received empty user property name for exists query");
    return std::nullopt;
  }
  return boolForQuery("SELECT EXISTS (SELECT 1 FROM user_attributes WHERE name = ? LIMIT 1)", {Value(name)}, error);
}

std::shared_ptr<TLWUserAttribute> TLWDatabase::userAttributeFromRow(const Row& row, TLWError* error) {
  if (row.empty()) {
    failWith(error, 3, "Received empty dictionary for getting user property");
    return nullptr;
  }
  auto value = TLWValue::valueFromObject(row.get("value"));
  const std::string* name = row.get("name").string();
  if (!value || !name) return nullptr;
  return TLWUserAttribute::initWithOrigin(row.get("origin").stringOr(), *name, *value,
                                          doubleOf(row, "set_timestamp").value_or(0));
}

std::shared_ptr<TLWUserAttribute> TLWDatabase::userAttributeWithName(const std::string& name, TLWError* error) {
  if (name.empty()) return nullptr;
  auto found = dataTypesFromTableWithName<TLWUserAttribute>(
      "user_attributes", "name", Value(name), error, [&](const Row& row) { return userAttributeFromRow(row, nullptr); });
  if (!found || found->empty()) return nullptr;
  return found->front();
}

std::optional<std::vector<std::shared_ptr<TLWUserAttribute>>> TLWDatabase::userAttributesIncludingInternal(
    bool includeInternal, TLWError* error) {
  std::optional<std::vector<std::shared_ptr<TLWUserAttribute>>> all;
  if (inWriteGroup_ && groupReads_.userAttributes) {
    all = groupReads_.userAttributes;
  } else {
    all = allDataTypesFromTableWithName<TLWUserAttribute>(
        "user_attributes", kUserAttributesTableLimit, error,
        [&](const Row& row) { return userAttributeFromRow(row, nullptr); });
    if (!all) return std::nullopt;
    if (inWriteGroup_) groupReads_.userAttributes = all;
  }
  if (includeInternal) return all;
  std::erase_if(*all, [](const std::shared_ptr<TLWUserAttribute>& attribute) {
    const std::string& name = attribute->name();
    return name.empty() || name[0] == '_' || TLWDataTypeValidator::hasReservedPrefixes(name) ||
           TLWAliasTables::userPropertyNameAliases().count(name) > 0;
  });
  return all;
}

std::optional<std::vector<std::shared_ptr<TLWUserAttribute>>> TLWDatabase::allLifetimeValueUserAttributes(
    TLWError* error) {
  // An exact, case-sensitive prefix: LIKE would read "_" as a wildcard and ignore case,
  // so a public "altv_score" would pass for a lifetime-value property.
  const std::string prefix = "_ltv_";
  auto rows = sqliteStore_->recordsForQuery(
      "SELECT * FROM user_attributes WHERE substr(name, 1, length(?)) = ? ORDER BY set_timestamp DESC",
      {Value(prefix), Value(prefix)}, error);
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<TLWUserAttribute>> out;
  for (const auto& row : *rows) {
    auto attribute = userAttributeFromRow(row, error);
    if (!attribute) return std::nullopt;
    out.push_back(std::move(attribute));
  }
  return out;
}

bool TLWDatabase::updateUserAttribute(const TLWUserAttribute* attribute, TLWError* error) {
  if (!attribute) return failWith(error, 3, "Received empty user property for getting dictionary representation");
  if (attribute->origin().empty()) {
    return failWith(error, 3, "Received user property with empty origin for getting dictionary representation");
  }
  if (attribute->name().empty()) {
    return failWith(error, 1, "Received user property with empty name for getting dictionary representation");
  }
  const TLWValue& value = attribute->value();
  if (const std::string* s = value.stringValue(); s && s->empty()) {
    return failWith(error, 1, "Received empty string value for user property");
  }
  Value plain = value.plainObject();
  if (!(plain.isString() || plain.isNumber())) {
    return failWith(error, 1, "Received user property value of unsupported type");
  }
  Row record{{"origin", attribute->origin()},
             {"name", attribute->name()},
             {"value", plain},
             {"set_timestamp", attribute->lastSetTimestamp()}};
  groupReads_.userAttributes.reset();
  return upsertDataType(record, "user_attributes", "name", Value(attribute->name()), kUserAttributesTableLimit, error);
}

bool TLWDatabase::deleteUserAttributeWithName(const std::string& name, TLWError* error) {
  // Events of an expired session ask to delete the session's properties every time.
  if (inWriteGroup_ && groupReads_.userAttributes &&
      std::none_of(groupReads_.userAttributes->begin(), groupReads_.userAttributes->end(),
                   [&](const auto& attribute) { return attribute->name() == name; })) {
    return true;
  }
  groupReads_.userAttributes.reset();
  return sqliteStore_->deleteRecordFromTableWithName("user_attributes", "name", Value(name), error);
}

// ------------------------------------------------------------------ purchases and subscriptions

std::optional<bool> TLWDatabase::insertIfNotDuplicatePurchaseFingerprint(const std::string& fingerprint,
                                                                        TLWError* error) {
  if (fingerprint.empty()) return false;
  auto duplicate = hasPurchaseFingerprint(fingerprint, error);
  if (!duplicate) return std::nullopt;
  if (*duplicate) return false;
  if (!insertDataType({{"fingerprint", fingerprint}}, "purchase_transactions", error)) return std::nullopt;
  if (!deleteOldestRowsBeyond(*sqliteStore_, "purchase_transactions", kPurchaseTransactionsLimit, error)) {
    return std::nullopt;
  }
  return true;
}

std::optional<bool> TLWDatabase::hasPurchaseFingerprint(const std::string& fingerprint, TLWError* error) {
  return boolForQuery("SELECT EXISTS (SELECT 1 FROM purchase_transactions WHERE fingerprint = ? LIMIT 1)",
                      {Value(fingerprint)}, error);
}

std::optional<bool> TLWDatabase::insertIfNotDuplicateSubscriptionID(const std::string& subscriptionID,
                                                                   TLWError* error) {
  if (subscriptionID.empty()) return false;
  auto duplicate = boolForQuery("SELECT EXISTS (SELECT 1 FROM subscriptions WHERE subscription_id = ? LIMIT 1)",
                                {Value(subscriptionID)}, error);
  if (!duplicate) return std::nullopt;
  if (*duplicate) return false;
  if (!insertDataType({{"subscription_id", subscriptionID}}, "subscriptions", error)) return std::nullopt;
  return true;
}

std::optional<std::int64_t> TLWDatabase::deleteSubscriptionsOverLimit(TLWError* error) {
  return deleteOldestRowsBeyond(*sqliteStore_, "subscriptions", kSubscriptionsLimit, error);
}

// ------------------------------------------------------------------ complex events

std::optional<std::pair<std::shared_ptr<TLWEvent>, std::int64_t>> TLWDatabase::mainEventAndChildCountPairWithEventID(
    std::int64_t eventID, TLWError* error) {
  auto rows = sqliteStore_->recordsForQuery("SELECT * FROM main_event_params WHERE event_id=? LIMIT 1",
                                            {Value(static_cast<long long>(eventID))}, error);
  if (!rows || rows->empty()) return std::nullopt;
  const Row& row = rows->front();
  const auto* blob = row.get("main_event").dataBytes();
  if (!blob) {
    failWith(error, 3, "Main event blob is nil in database");
    return std::nullopt;
  }
  auto count = int64Of(row, "children_to_process");
  if (!count) {
    failWith(error, 3, "Complex event does not have children count in database");
    return std::nullopt;
  }
  auto event = eventFromBlob(row.get("main_event"), error);
  if (!event) return std::nullopt;
  return std::make_pair(event, *count);
}

bool TLWDatabase::updateComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID, std::int64_t childEventCount,
                                                                     const TLWEvent* mainEvent, TLWError* error) {
  if (!mainEvent) return failWith(error, 1, "Received nil main event");
  auto bytes = serializedEvent(*mainEvent, true);
  if (!bytes || bytes->empty()) return failWith(error, 1, "Cannot create the main event blob");
  Row record{{"event_id", static_cast<long long>(eventID)},
             {"children_to_process", static_cast<long long>(childEventCount)},
             {"main_event", bytesValue(*bytes)}};
  return insertDataType(record, "main_event_params", error);
}

bool TLWDatabase::deleteComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID, TLWError* error) {
  return sqliteStore_
      ->deleteRecordsFromTableWithName("main_event_params", "event_id=?", {Value(static_cast<long long>(eventID))},
                                       error)
      .has_value();
}
