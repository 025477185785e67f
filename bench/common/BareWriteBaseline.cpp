#include "bench/common/BareWriteBaseline.h"

#include <sqlite3.h>

#include "measurement/model/TLWEvent.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"

namespace tw_bench {
namespace {

// The counters row is addressed the way the library binds it: as the text "1".
constexpr const char* kMetadataRowID = "1";

bool stepDone(sqlite3_stmt* s) {
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
  }
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  return rc == SQLITE_DONE;
}

// The first column of the single row; nullopt without a row or on failure.
std::optional<std::int64_t> stepInt64(sqlite3_stmt* s) {
  std::optional<std::int64_t> value;
  if (sqlite3_step(s) == SQLITE_ROW && sqlite3_column_type(s, 0) != SQLITE_NULL) value = sqlite3_column_int64(s, 0);
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  return value;
}

void bindText(sqlite3_stmt* s, int index, const std::string& text) {
  sqlite3_bind_text(s, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

}  // namespace

BareWriteBaseline::BareWriteBaseline(const std::string& databasePath) {
  if (sqlite3_open_v2(databasePath.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr) !=
      SQLITE_OK) {
    return;
  }
  sqlite3_busy_timeout(db_, 5000);
  if (sqlite3_exec(db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr) !=
      SQLITE_OK) {
    return;
  }
  selectDailyCounts_ = prepare(
      "SELECT day, daily_conversions_count, daily_events_count, daily_public_events_count, daily_error_events_count, "
      "daily_real_time_conversion_events_count FROM app_metadata WHERE rowid = ?");
  updateDailyCounts_ = prepare(
      "UPDATE app_metadata SET day=?,daily_conversions_count=?,daily_events_count=?,daily_public_events_count=?,"
      "daily_error_events_count=?,daily_real_time_conversion_events_count=? WHERE rowid=?");
  selectAggregates_ = prepare(
      "SELECT name, lifetime_count, current_bundle_count, current_session_count, last_fire_timestamp, "
      "last_bundled_timestamp, last_sampled_complex_event_id, last_sampling_rate, last_exempt_from_sampling, "
      "last_bundled_day FROM events WHERE name = ?");
  countName_ = prepare("SELECT count(1) FROM events WHERE name=?");
  countEvents_ = prepare("SELECT count(1) FROM events");
  upsertAggregates_ = prepare(
      "INSERT OR REPLACE INTO events (name, lifetime_count, current_bundle_count, last_fire_timestamp, "
      "last_bundled_timestamp, last_sampling_rate, last_exempt_from_sampling, last_bundled_day, "
      "current_session_count) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?);");
  countPublicNames_ = prepare("SELECT count(1) FROM events WHERE name NOT LIKE '!_%' ESCAPE '!'");
  selectUserAttributes_ = prepare("SELECT rowid, * FROM user_attributes ORDER BY rowid LIMIT 1000");
  countFingerprint_ = prepare("SELECT count(1) FROM raw_events_metadata WHERE metadata_fingerprint=?");
  countAllMetadata_ = prepare("SELECT count(1) FROM raw_events_metadata");
  insertMetadata_ =
      prepare("INSERT OR REPLACE INTO raw_events_metadata (metadata_fingerprint, metadata) VALUES (?, ?);");
  rawEventCutoff_ = prepare(
      "SELECT CASE WHEN (SELECT max(rowid) FROM raw_events) - (SELECT min(rowid) FROM raw_events) >= ? THEN "
      "(SELECT rowid FROM raw_events ORDER BY rowid DESC LIMIT 1 OFFSET ?) END AS cutoff");
  deleteRawEventsUpTo_ = prepare("DELETE FROM raw_events WHERE rowid <= ?");
  insertRawEvent_ = prepare(
      "INSERT OR REPLACE INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) VALUES (?, ?, ?, "
      "?, ?);");
  savepoint_ = prepare("SAVEPOINT tw_sp0");
  release_ = prepare("RELEASE tw_sp0");
  rollbackTo_ = prepare("ROLLBACK TO tw_sp0");
  ready_ = true;
  for (auto* s : statements_) ready_ = ready_ && s;
}

BareWriteBaseline::~BareWriteBaseline() {
  for (auto* s : statements_) sqlite3_finalize(s);
  sqlite3_close(db_);
}

sqlite3_stmt* BareWriteBaseline::prepare(const char* sql) {
  sqlite3_stmt* s = nullptr;
  if (!db_ || sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) s = nullptr;
  statements_.push_back(s);
  return s;
}

bool BareWriteBaseline::begin() {
  return sqlite3_exec(db_, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool BareWriteBaseline::commit() {
  return sqlite3_exec(db_, "END TRANSACTION", nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool BareWriteBaseline::rollback() { return sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr) == SQLITE_OK; }

bool BareWriteBaseline::savepoint() { return stepDone(savepoint_); }
bool BareWriteBaseline::release() { return stepDone(release_); }
bool BareWriteBaseline::rollbackToSavepoint() { return stepDone(rollbackTo_) && stepDone(release_); }

std::optional<BareWriteBaseline::DailyCounts> BareWriteBaseline::readDailyCounts() {
  sqlite3_bind_text(selectDailyCounts_, 1, kMetadataRowID, -1, SQLITE_STATIC);
  std::optional<DailyCounts> counts;
  if (sqlite3_step(selectDailyCounts_) == SQLITE_ROW) {
    auto* s = selectDailyCounts_;
    counts = DailyCounts{sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1), sqlite3_column_int64(s, 2),
                         sqlite3_column_int64(s, 3), sqlite3_column_int64(s, 4), sqlite3_column_int64(s, 5)};
  }
  sqlite3_reset(selectDailyCounts_);
  sqlite3_clear_bindings(selectDailyCounts_);
  return counts;
}

bool BareWriteBaseline::writeDailyCounts(const DailyCounts& counts) {
  auto* s = updateDailyCounts_;
  sqlite3_bind_int64(s, 1, counts.day);
  sqlite3_bind_int64(s, 2, counts.conversions);
  sqlite3_bind_int64(s, 3, counts.allEvents);
  sqlite3_bind_int64(s, 4, counts.publicEvents);
  sqlite3_bind_int64(s, 5, counts.errorEvents);
  sqlite3_bind_int64(s, 6, counts.realtimeConversions);
  sqlite3_bind_text(s, 7, kMetadataRowID, -1, SQLITE_STATIC);
  return stepDone(s) && sqlite3_changes(db_) == 1;
}

std::optional<BareWriteBaseline::Aggregates> BareWriteBaseline::readAggregates(const std::string& name) {
  auto* s = selectAggregates_;
  bindText(s, 1, name);
  std::optional<Aggregates> found;
  if (sqlite3_step(s) == SQLITE_ROW) {
    found = Aggregates{sqlite3_column_int64(s, 1), sqlite3_column_int64(s, 2), sqlite3_column_int64(s, 3),
                       sqlite3_column_double(s, 4)};
  }
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  return found;
}

bool BareWriteBaseline::writeAggregates(const std::string& name, const Aggregates& aggregates) {
  bindText(countName_, 1, name);
  auto existing = stepInt64(countName_);
  if (!existing) return false;
  if (*existing == 0) {
    auto total = stepInt64(countEvents_);
    if (!total || *total >= 1000) return false;
  }
  auto* s = upsertAggregates_;
  bindText(s, 1, name);
  sqlite3_bind_int64(s, 2, aggregates.lifetimeCount);
  sqlite3_bind_int64(s, 3, aggregates.currentBundleCount);
  sqlite3_bind_double(s, 4, aggregates.lastFireTimestamp);
  sqlite3_bind_double(s, 5, 0);
  sqlite3_bind_int64(s, 6, 1);
  sqlite3_bind_int64(s, 7, 0);
  sqlite3_bind_int64(s, 8, 0);
  sqlite3_bind_int64(s, 9, aggregates.currentSessionCount);
  return stepDone(s);
}

std::optional<std::int64_t> BareWriteBaseline::countPublicEventNames() { return stepInt64(countPublicNames_); }

bool BareWriteBaseline::readUserAttributes() { return stepDone(selectUserAttributes_); }

bool BareWriteBaseline::insertMetadataIfMissing(std::int64_t fingerprint, const std::vector<std::uint8_t>& metadata) {
  sqlite3_bind_int64(countFingerprint_, 1, fingerprint);
  auto existing = stepInt64(countFingerprint_);
  if (!existing) return false;
  if (*existing > 0) return true;
  // The library's upsert repeats the existence check before the table-size check.
  sqlite3_bind_int64(countFingerprint_, 1, fingerprint);
  if (!stepInt64(countFingerprint_)) return false;
  auto total = stepInt64(countAllMetadata_);
  if (!total || *total >= 100000) return false;
  sqlite3_bind_int64(insertMetadata_, 1, fingerprint);
  sqlite3_bind_blob(insertMetadata_, 2, metadata.data(), static_cast<int>(metadata.size()), SQLITE_STATIC);
  return stepDone(insertMetadata_);
}

std::optional<std::int64_t> BareWriteBaseline::trimRawEvents(std::int64_t keep) {
  sqlite3_bind_int64(rawEventCutoff_, 1, keep);
  sqlite3_bind_int64(rawEventCutoff_, 2, keep);
  std::optional<std::int64_t> cutoff;
  const int rc = sqlite3_step(rawEventCutoff_);
  if (rc == SQLITE_ROW && sqlite3_column_type(rawEventCutoff_, 0) != SQLITE_NULL) {
    cutoff = sqlite3_column_int64(rawEventCutoff_, 0);
  }
  sqlite3_reset(rawEventCutoff_);
  sqlite3_clear_bindings(rawEventCutoff_);
  if (rc != SQLITE_ROW) return std::nullopt;
  if (!cutoff) return 0;
  sqlite3_bind_int64(deleteRawEventsUpTo_, 1, *cutoff);
  if (!stepDone(deleteRawEventsUpTo_)) return std::nullopt;
  return sqlite3_changes(db_);
}

bool BareWriteBaseline::insertRawEvent(const std::string& name, double timestamp, std::int64_t metadataFingerprint,
                                       const std::vector<std::uint8_t>& payload, bool isRealtime) {
  auto* s = insertRawEvent_;
  bindText(s, 1, name);
  sqlite3_bind_double(s, 2, timestamp);
  sqlite3_bind_int64(s, 3, metadataFingerprint);
  sqlite3_bind_blob(s, 4, payload.data(), static_cast<int>(payload.size()), SQLITE_STATIC);
  sqlite3_bind_int64(s, 5, isRealtime ? 1 : 0);
  return stepDone(s);
}

std::int64_t BareWriteBaseline::rowCount(const char* table) {
  sqlite3_stmt* s = nullptr;
  const std::string sql = std::string("SELECT count(1) FROM ") + table;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) return -1;
  const std::int64_t n = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
  sqlite3_finalize(s);
  return n;
}

std::vector<std::uint8_t> rawEventPayload(const TLWEvent& event) { return event.protoEventBytes(false); }

}  // namespace tw_bench
