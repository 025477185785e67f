#include "measurement/storage/TLWSqliteStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>

#include "measurement/monitor/TLWMonitor.h"
#include "platform/DispatchQueue.h"

namespace {

using platform::Value;

// Statements are cached by their text; callers build texts from a fixed set of shapes,
// and the bound keeps a caller that does not from growing the cache without end.
constexpr std::size_t kMaxCachedStatements = 256;
constexpr int kOpenFlags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string trimLeft(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  return std::string(s.substr(i));
}

bool onlyWhitespaceOrSemicolons(const char* tail) {
  if (!tail) return true;
  for (; *tail; ++tail) {
    if (!std::isspace(static_cast<unsigned char>(*tail)) && *tail != ';') return false;
  }
  return true;
}

std::string parentDirectory(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string firstWord(std::string_view definition) {
  std::string s = trimLeft(definition);
  auto end = s.find_first_of(" \t\n");
  return end == std::string::npos ? s : s.substr(0, end);
}

TLWError makeError(std::int64_t code, std::string_view description) {
  return TLWError::errorWithCode(code, description);
}

bool fail(TLWError* error, std::int64_t code, std::string_view description) {
  TLWSetError(error, makeError(code, description));
  return false;
}

// Values the store accepts as column values.
bool isStorableValue(const Value& v) {
  return v.isNull() || v.isNumber() || v.isString() || v.isData();
}

bool isTransientFailure(int code) {
  if (code == SQLITE_ABORT_ROLLBACK) return true;
  switch (code & 0xff) {
    case SQLITE_IOERR:
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_NOMEM:
    case SQLITE_FULL:
      return true;
    default:
      return false;
  }
}

bool acceptAll(std::size_t, const platform::Dictionary&) { return true; }

// Whether the text starts with SELECT (any case, after white space), without copying it.
bool isSelect(std::string_view sql) {
  std::size_t i = 0;
  while (i < sql.size() && std::isspace(static_cast<unsigned char>(sql[i]))) ++i;
  constexpr std::string_view kSelect = "select";
  if (sql.size() - i < kSelect.size()) return false;
  for (std::size_t k = 0; k < kSelect.size(); ++k) {
    if (std::tolower(static_cast<unsigned char>(sql[i + k])) != kSelect[k]) return false;
  }
  return true;
}

}  // namespace

TLWSqliteStore::TLWSqliteStore(std::string databasePath, std::shared_ptr<platform::Environment> env,
                               std::shared_ptr<TLWMonitor> monitor)
    : queueLabel_(platform::DispatchQueue::currentLabel()),
      databasePath_(std::move(databasePath)),
      env_(std::move(env)),
      monitor_(std::move(monitor)) {}

TLWSqliteStore::~TLWSqliteStore() { closeDatabase(); }

std::unique_ptr<TLWSqliteStore> TLWSqliteStore::initWithDatabasePath(const std::string& databasePath,
                                                                     TLWError* error,
                                                                     std::shared_ptr<platform::Environment> env,
                                                                     std::shared_ptr<TLWMonitor> monitor) {
  if (databasePath.empty()) {
    fail(error, kErrorCodeInvalidArgument, "Received empty database path on init");
    return nullptr;
  }
  if (!env) env = platform::Environment::current();
  if (!monitor) monitor = TLWMonitor::sharedInstance();
  std::unique_ptr<TLWSqliteStore> store(new TLWSqliteStore(databasePath, std::move(env), std::move(monitor)));
  if (store->openAndValidateDatabase(error)) return store;
  // Only a file SQLite cannot open or that fails its integrity check is replaced. Anything
  // else (an I/O error, a lock held elsewhere, no memory, no space while configuring it)
  // says nothing about the file; deleting the unsent events for it would turn a hiccup
  // into data loss. The caller retries later.
  if (!store->fileUnusable_) return nullptr;
  // A file we cannot use is replaced by a fresh one, once.
  store->closeDatabase();
  if (!store->closeAndDeleteDatabase()) return nullptr;
  if (store->openAndValidateDatabase(error)) return store;
  return nullptr;
}

void TLWSqliteStore::log(std::int64_t level, std::int64_t code, std::string_view message) {
  if (monitor_) monitor_->logWithLevel(level, code, message);
}

void TLWSqliteStore::log(std::int64_t level, std::int64_t code, std::string_view message, const Value& context) {
  if (monitor_) monitor_->logWithLevel(level, code, message, context);
}

// ------------------------------------------------------------------ lifecycle

bool TLWSqliteStore::openAndValidateDatabase(TLWError* error) {
  auto fs = env_->fileSystem();
  if (fs->exists(databasePath_)) {
    // Linux has no immutable flag a process may clear on its own files; nothing to undo.
  } else {
    std::string reason;
    if (!fs->createDirectories(parentDirectory(databasePath_), &reason)) {
      return fail(error, kErrorCodeInvalidState, "Failed to create database directory: " + reason);
    }
    // Created owner-only before SQLite opens it: SQLite gives the -wal, -shm and journal
    // files it makes the permissions of the database file (an empty file is a new database).
    if (!fs->writeFileAtomically(databasePath_, "", 0600, &reason)) {
      return fail(error, kErrorCodeInvalidState, "Failed to create database file: " + reason);
    }
  }
  // Files an older build made readable by everyone are narrowed too.
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    const std::string path = databasePath_ + suffix;
    if (fs->exists(path) && !fs->setPermissions(path, 0600)) {
      log(4, 34023, "Failed to make database file private", Value(path));
    }
  }
  fileUnusable_ = false;
  if (sqliteHandle_) closeDatabase();
  sqlite3* handle = nullptr;
  int rc = sqlite3_open_v2(databasePath_.c_str(), &handle, kOpenFlags, nullptr);
  sqliteHandle_ = handle;
  lastOpenFailureCode_ = rc;
  if (rc != SQLITE_OK) {
    if (handle) lastOpenFailureCode_ = sqlite3_extended_errcode(handle);
    setDatabaseError(error, "initialize sqlite handle");
    fileUnusable_ = !isTransientFailure(lastOpenFailureCode_);
    closeDatabase();
    return false;
  }
  if (!fs->setExcludedFromBackup(databasePath_, true)) {
    log(4, 34017, "Failed to exclude database file from backup", Value(databasePath_));
  }
  if (!validateDatabaseWithError(error)) {
    fileUnusable_ = !isTransientFailure(lastOpenFailureCode_);
    closeDatabase();
    return false;
  }
  if (!configureConnection(error)) {
    // The file passed its integrity check: a failure here (the journal switch meeting a
    // lock held by another process, no space) is the connection's, not the file's.
    closeDatabase();
    return false;
  }
  return true;
}

// WAL keeps readers and the single writer apart and, with synchronous=NORMAL, makes a
// commit one append to the log; a crash of the process never loses a committed write.
bool TLWSqliteStore::configureConnection(TLWError* error) {
  sqlite3_busy_timeout(sqliteHandle_, 5000);
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(sqliteHandle_, "PRAGMA journal_mode=WAL", -1, &stmt, nullptr) != SQLITE_OK) {
    setDatabaseError(error, "configure journal mode");
    return false;
  }
  int rc = sqlite3_step(stmt);
  std::string mode;
  if (rc == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(stmt, 0);
    if (text) mode = lower(reinterpret_cast<const char*>(text));
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_ROW || mode != "wal") {
    setDatabaseError(error, "configure journal mode");
    return false;
  }
  if (sqlite3_exec(sqliteHandle_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr) != SQLITE_OK) {
    setDatabaseError(error, "configure synchronous mode");
    return false;
  }
  // Replaces SQLite's checkpoint-on-commit (see checkpointIfNeeded).
  walPages_ = 0;
  sqlite3_wal_hook(sqliteHandle_, &TLWSqliteStore::walCommitted, this);
  sqlite3_rollback_hook(sqliteHandle_, &TLWSqliteStore::rolledBack, this);
  if (rowTally_) {
    rowTally_->known = false;
    sqlite3_update_hook(sqliteHandle_, &TLWSqliteStore::rowChanged, this);
  }
  return true;
}

void TLWSqliteStore::rolledBack(void* context) { ++static_cast<TLWSqliteStore*>(context)->undos_; }

void TLWSqliteStore::rowChanged(void* context, int operation, const char* database, const char* table,
                                long long) {
  auto& tally = *static_cast<TLWSqliteStore*>(context)->rowTally_;
  ++tally.hookedChanges;
  if (operation == SQLITE_UPDATE || std::strcmp(database, "main") != 0 || tally.table != table) return;
  tally.rows += operation == SQLITE_INSERT ? 1 : -1;
}

void TLWSqliteStore::trackRowCountOfTable(const std::string& tableName) {
  rowTally_.emplace(tableName);
  if (sqliteHandle_) sqlite3_update_hook(sqliteHandle_, &TLWSqliteStore::rowChanged, this);
}

std::optional<std::int64_t> TLWSqliteStore::trackedRowCount(TLWError* error) {
  if (!rowTally_ || !sqliteHandle_) {
    fail(error, kErrorCodeInvalidState, "Row count is not kept");
    return std::nullopt;
  }
  RowTally& tally = *rowTally_;
  const std::int64_t totalChanges = sqlite3_total_changes64(sqliteHandle_);
  // The hook misses the rows of a whole-table delete: the connection's total changes then
  // outgrow what it saw.
  if (tally.known && tally.undosAtCount == undos_ &&
      static_cast<std::uint64_t>(totalChanges - tally.totalChangesAtCount) ==
          tally.hookedChanges - tally.hookedAtCount) {
    return tally.rows;
  }
  auto counted = rowCountForTableWithName(tally.table, error);
  if (!counted) return std::nullopt;
  tally.rows = *counted;
  tally.known = true;
  tally.hookedAtCount = tally.hookedChanges;
  tally.totalChangesAtCount = totalChanges;
  tally.undosAtCount = undos_;
  return tally.rows;
}

int TLWSqliteStore::walCommitted(void* context, sqlite3* handle, const char* database, int pages) {
  auto* store = static_cast<TLWSqliteStore*>(context);
  store->walPages_ = pages;
  // A worker that is never idle still keeps the log bounded.
  if (pages >= kCheckpointHardLimitPages) {
    if (sqlite3_wal_checkpoint_v2(handle, database, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr) == SQLITE_OK) {
      store->walPages_ = 0;
    }
  }
  return SQLITE_OK;
}

bool TLWSqliteStore::checkpointIfNeeded() {
  if (!sqliteHandle_ || walPages_ < kCheckpointIdlePages || !sqlite3_get_autocommit(sqliteHandle_)) return false;
  int logPages = 0, checkpointed = 0;
  if (sqlite3_wal_checkpoint_v2(sqliteHandle_, nullptr, SQLITE_CHECKPOINT_PASSIVE, &logPages, &checkpointed) !=
      SQLITE_OK) {
    return false;
  }
  // The log restarts from its beginning once every frame is in the database.
  walPages_ = checkpointed >= logPages ? 0 : logPages - checkpointed;
  return true;
}

bool TLWSqliteStore::validateDatabaseWithError(TLWError* error) {
  if (!sqliteHandle_) return fail(error, kErrorCodeInvalidState, "Validate database failed. Database not open.");
  sqlite3_stmt* stmt = nullptr;
  bool ok = false;
  lastOpenFailureCode_ = SQLITE_CORRUPT;
  if (sqlite3_prepare_v2(sqliteHandle_, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK) {
    if (sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_count(stmt) == 1) {
      const unsigned char* text = sqlite3_column_text(stmt, 0);
      ok = text && std::string_view(reinterpret_cast<const char*>(text)) == "ok";
    } else if (sqlite3_errcode(sqliteHandle_) != SQLITE_OK) {
      lastOpenFailureCode_ = sqlite3_extended_errcode(sqliteHandle_);
    }
  } else {
    lastOpenFailureCode_ = sqlite3_extended_errcode(sqliteHandle_);
  }
  if (ok) lastOpenFailureCode_ = SQLITE_OK;
  if (!ok) setDatabaseError(error, "validate database");
  sqlite3_finalize(stmt);
  return ok;
}

void TLWSqliteStore::closeDatabase() {
  if (!sqliteHandle_) return;
  for (auto& [sql, stmt] : statementCache_) sqlite3_finalize(stmt);
  statementCache_.clear();
  columnNameCache_.clear();
  int rc = sqlite3_close(sqliteHandle_);
  if (rc != SQLITE_OK) {
    log(1, 34018, "Failed to close database. Got error code", Value(rc));
    // Statements prepared outside the cache keep the handle alive; let SQLite release
    // it once they are finalized rather than leaking it.
    sqlite3_close_v2(sqliteHandle_);
  }
  sqliteHandle_ = nullptr;
}

bool TLWSqliteStore::closeAndDeleteDatabase() {
  closeDatabase();
  auto fs = env_->fileSystem();
  bool ok = true;
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    std::string path = databasePath_ + suffix;
    if (!fs->exists(path)) continue;
    std::string reason;
    bool removed = fs->isDirectory(path) ? fs->removeAll(path, &reason) : fs->removeFile(path, &reason);
    if (!removed) {
      log(1, 34019, "Failed to delete database. Error", Value(reason));
      ok = false;
    }
  }
  return ok;
}

// ------------------------------------------------------------------ statements

sqlite3_stmt* TLWSqliteStore::prepareSQL(const std::string& sql, TLWError* error) {
  if (sql.empty()) {
    fail(error, kErrorCodeInvalidArgument, "Received empty SQL string to prepare");
    return nullptr;
  }
  if (!sqliteHandle_) {
    fail(error, kErrorCodeInvalidState, "Prepare SQL failed. Database not open.");
    return nullptr;
  }
  sqlite3_stmt* stmt = nullptr;
  const char* tail = nullptr;
  int rc = SQLITE_ERROR;
#if SQLITE_VERSION_NUMBER >= 3020000
  if (sqlite3_libversion_number() >= 3020000) {
    rc = sqlite3_prepare_v3(sqliteHandle_, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                            &stmt, &tail);
  }
#endif
  if (rc != SQLITE_OK) {
    stmt = nullptr;
    tail = nullptr;
    rc = sqlite3_prepare_v2(sqliteHandle_, sql.c_str(), static_cast<int>(sql.size()), &stmt, &tail);
  }
  if (rc != SQLITE_OK || !stmt) {
    noteFailure(rc);
    setDatabaseError(error, "prepare statement");
    if (stmt) sqlite3_finalize(stmt);
    return nullptr;
  }
  if (!onlyWhitespaceOrSemicolons(tail)) {
    sqlite3_finalize(stmt);
    fail(error, kErrorCodeInvalidArgument, "Query contained more than one SQL statement.");
    return nullptr;
  }
  return stmt;
}

sqlite3_stmt* TLWSqliteStore::statementForQuery(const std::string& sql, TLWError* error) {
  return statementForQuery(sql, platform::Array{}, error);
}

sqlite3_stmt* TLWSqliteStore::statementForQuery(const std::string& sql, const platform::Array& parameterValues,
                                                TLWError* error) {
  if (!transactionHolds(error)) return nullptr;
  sqlite3_stmt* stmt = nullptr;
  bool cached = false;
  if (auto it = statementCache_.find(sql); it != statementCache_.end()) {
    stmt = it->second;
    cached = true;
  } else {
    if (!sqliteHandle_) {
      fail(error, kErrorCodeInvalidState, "Statement for query failed. Database not open.");
      return nullptr;
    }
    bool hasPlaceholder = sql.find('?') != std::string::npos;
    if (hasPlaceholder && parameterValues.empty()) {
      fail(error, kErrorCodeInvalidArgument, "Received empty parameters");
      return nullptr;
    }
    stmt = prepareSQL(sql, error);
    if (!stmt) return nullptr;
    // Literal conditions would fill the cache with one-off statements.
    if ((hasPlaceholder || lower(sql).find("where") == std::string::npos) &&
        statementCache_.size() < kMaxCachedStatements) {
      statementCache_.emplace(sql, stmt);
      cached = true;
    }
  }
  if (!parameterValues.empty() && !bindValues(parameterValues, stmt, error)) {
    if (cached) {
      sqlite3_reset(stmt);
      sqlite3_clear_bindings(stmt);
    } else {
      sqlite3_finalize(stmt);
    }
    return nullptr;
  }
  return stmt;
}

void TLWSqliteStore::cleanUpStatement(sqlite3_stmt* statement, const std::string& sql) {
  if (!statement) return;
  auto it = statementCache_.find(sql);
  if (it != statementCache_.end()) {
    if (it->second != statement) {
      log(5, 34016, "Statement is not the same one in the cache");
      sqlite3_finalize(statement);
      statement = it->second;
    }
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
  } else {
    sqlite3_finalize(statement);
  }
}

bool TLWSqliteStore::bindValues(const platform::Array& values, sqlite3_stmt* statement, TLWError* error) {
  if (!statement) return fail(error, kErrorCodeInvalidArgument, "Failed to bind to NULL statement");
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  int index = 1;
  for (const Value& v : values) {
    int rc = SQLITE_OK;
    switch (v.kind()) {
      case Value::Kind::Data: {
        const auto* bytes = v.dataBytes();
        // An empty blob bound through a null pointer would read back as NULL.
        rc = bytes->empty() ? sqlite3_bind_zeroblob(statement, index, 0)
                            : sqlite3_bind_blob64(statement, index, bytes->data(), bytes->size(), SQLITE_TRANSIENT);
        break;
      }
      case Value::Kind::Double:
        rc = sqlite3_bind_double(statement, index, *v.doubleValue());
        break;
      case Value::Kind::Bool:
      case Value::Kind::Int:
      case Value::Kind::UInt:
        rc = sqlite3_bind_int64(statement, index, *v.int64Value());
        break;
      case Value::Kind::String: {
        const std::string* s = v.string();
        rc = sqlite3_bind_text64(statement, index, s->data(), s->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        break;
      }
      case Value::Kind::Null:
        rc = sqlite3_bind_null(statement, index);
        break;
      default:
        rc = SQLITE_MISMATCH;
        break;
    }
    if (rc != SQLITE_OK) {
      setDatabaseError(error, "bind values");
      return false;
    }
    ++index;
  }
  return true;
}

bool TLWSqliteStore::executeSQL(const std::string& sql, TLWError* error) {
  if (sql.empty()) return fail(error, kErrorCodeInvalidArgument, "Received empty SQL string to execute");
  if (!sqliteHandle_) return fail(error, kErrorCodeInvalidState, "Execute SQL failed. Database not open.");
  if (!transactionHolds(error)) return false;
  sqlite3_stmt* stmt = prepareSQL(sql, error);
  if (!stmt) return false;
  return executeSQLStatement(stmt, error);
}

bool TLWSqliteStore::executeSQLStatement(sqlite3_stmt* statement, TLWError* error) {
  if (!statement) return fail(error, kErrorCodeInvalidArgument, "Execute SQL statement failed. Statement is NULL.");
  if (!sqliteHandle_) {
    sqlite3_finalize(statement);
    return fail(error, kErrorCodeInvalidState, "Execute SQL statement failed. Database not open.");
  }
  int rc = step(statement);
  bool ok = rc == SQLITE_DONE;
  // The connection's error is read before finalize, which would keep it but may reword it.
  if (!ok) setDatabaseError(error, "execute statement");
  sqlite3_finalize(statement);
  return ok;
}

bool TLWSqliteStore::stepStatementToDone(sqlite3_stmt* statement) {
  int rc;
  do {
    rc = step(statement);
  } while (rc == SQLITE_ROW);
  return rc == SQLITE_DONE;
}

// ------------------------------------------------------------------ tables

std::optional<bool> TLWSqliteStore::tableExists(const std::string& name, TLWError* error) {
  if (name.empty()) {
    fail(error, kErrorCodeInvalidArgument, "Received empty table name for table exists");
    return std::nullopt;
  }
  if (!sqliteHandle_) {
    fail(error, kErrorCodeInvalidState, "Table exists failed. Database not open.");
    return std::nullopt;
  }
  const std::string sql = "SELECT name FROM sqlite_master WHERE type='table' AND name=?";
  sqlite3_stmt* stmt = statementForQuery(sql, {Value(name)}, error);
  if (!stmt) return std::nullopt;
  int rc = step(stmt);
  std::optional<bool> result;
  if (rc == SQLITE_ROW) {
    result = true;
  } else if (rc == SQLITE_DONE) {
    result = false;
  } else {
    setDatabaseError(error, "table exists");
  }
  cleanUpStatement(stmt, sql);
  return result;
}

std::optional<std::vector<std::string>> TLWSqliteStore::columnsForTableWithName(const std::string& name,
                                                                                 TLWError* error) {
  if (name.empty()) {
    fail(error, kErrorCodeInvalidArgument, "Received empty table name for get columns");
    return std::nullopt;
  }
  if (!sqliteHandle_) {
    fail(error, kErrorCodeInvalidState, "Get table columns failed. Database not open.");
    return std::nullopt;
  }
  auto rows = queryRows("PRAGMA table_info(" + name + ")", {}, error, acceptAll);
  if (!rows) return std::nullopt;
  std::vector<std::string> names;
  for (const auto& row : *rows) {
    std::string n = row.get("name").stringOr();
    if (!n.empty()) names.push_back(std::move(n));
  }
  return names;
}

std::optional<std::map<std::string, std::string>> TLWSqliteStore::columnInfoForTableWithName(const std::string& name,
                                                                                              TLWError* error) {
  if (name.empty()) {
    fail(error, kErrorCodeInvalidArgument, "Received empty table name for column info");
    return std::nullopt;
  }
  if (!sqliteHandle_) {
    fail(error, kErrorCodeInvalidState, "Get table column info failed. Database not open.");
    return std::nullopt;
  }
  auto rows = queryRows("PRAGMA table_info(" + name + ")", {}, error, acceptAll);
  if (!rows) return std::nullopt;
  std::map<std::string, std::string> info;
  for (const auto& row : *rows) {
    std::string n = row.get("name").stringOr();
    std::string t = row.get("type").stringOr();
    if (!n.empty() && !t.empty()) info[n] = t;
  }
  return info;
}

bool TLWSqliteStore::ensureTableWithName(const std::string& name, const ColumnInfo& elementaryColumnInfo,
                                         const ColumnInfo& addOnColumnInfo, TLWError* error) {
  if (name.empty()) return fail(error, kErrorCodeInvalidArgument, "Received empty table name for ensure table");
  if (elementaryColumnInfo.empty()) {
    return fail(error, kErrorCodeInvalidArgument, "Received empty elementary column info for ensure table");
  }
  std::string create = "CREATE TABLE IF NOT EXISTS " + name + " ( ";
  std::vector<std::string> required;
  for (const auto& [column, definition] : elementaryColumnInfo) {
    create += column + " " + definition + ", ";
    if (column != "PRIMARY KEY") required.push_back(column);
  }
  if (create.size() < 2) return fail(error, kErrorCodeInvalidState, "Failed to create statement for table");
  create.replace(create.size() - 2, 2, ");");
  std::vector<std::pair<std::string, std::string>> addOns;
  for (const auto& [column, type] : addOnColumnInfo) {
    if (column.empty() || type.empty()) {
      return fail(error, kErrorCodeInvalidState, "Failed to create alter statement for table");
    }
    addOns.emplace_back(column, "ALTER TABLE " + name + " ADD COLUMN " + column + " " + type);
  }
  return ensureTableWithName(name, create, required, addOns, error);
}

bool TLWSqliteStore::ensureTableWithName(const std::string& name, const std::string& createSQL,
                                         const std::vector<std::string>& requiredColumnNames,
                                         const std::vector<std::pair<std::string, std::string>>& addOnColumns,
                                         TLWError* error) {
  if (name.empty()) return fail(error, kErrorCodeInvalidArgument, "Received empty table name for ensure table");
  if (requiredColumnNames.empty()) {
    return fail(error, kErrorCodeInvalidArgument, "Received no table columns for ensure table");
  }
  if (createSQL.empty()) {
    return fail(error, kErrorCodeInvalidArgument, "Received empty create statement for ensure table");
  }
  if (!sqliteHandle_) return fail(error, kErrorCodeInvalidState, "Ensure table failed. Database not open.");
  auto exists = tableExists(name, error);
  if (!exists) return false;
  if (!*exists && !executeSQL(createSQL, error)) return false;
  auto valid = validateTableWithName(name, requiredColumnNames, addOnColumns, error);
  return valid.value_or(false);
}

std::optional<bool> TLWSqliteStore::validateTableWithName(
    const std::string& name, const std::vector<std::string>& requiredColumnNames,
    const std::vector<std::pair<std::string, std::string>>& addOnColumns, TLWError* error) {
  if (name.empty()) {
    fail(error, kErrorCodeInvalidArgument, "Received empty table name for validate table");
    return std::nullopt;
  }
  if (requiredColumnNames.empty()) {
    fail(error, kErrorCodeInvalidArgument, "Received no table columns for validate table");
    return std::nullopt;
  }
  if (!sqliteHandle_) {
    fail(error, kErrorCodeInvalidState, "Validate table failed. Database not open.");
    return std::nullopt;
  }
  auto columns = columnsForTableWithName(name, error);
  if (!columns || columns->empty()) return std::nullopt;
  std::set<std::string> present(columns->begin(), columns->end());
  for (const auto& required : requiredColumnNames) {
    if (!present.count(required)) {
      fail(error, kErrorCodeInvalidState, "Table is missing required columns");
      return false;
    }
    present.erase(required);
  }
  for (const auto& [column, alter] : addOnColumns) {
    if (present.erase(column)) continue;
    if (alter.empty() || !executeSQL(alter, error)) return false;
  }
  if (!present.empty()) {
    auto rows = queryRows("PRAGMA table_info(" + name + ")", {}, error, acceptAll);
    if (!rows) return false;
    for (const auto& row : *rows) {
      if (!present.count(row.get("name").stringOr())) continue;
      if (row.get("notnull").int64Value().value_or(0) != 0) {
        fail(error, kErrorCodeInvalidState, "Table contains unknown non-optional columns");
        return false;
      }
    }
  }
  return true;
}

bool TLWSqliteStore::ensureSchemaOfTableWithName(const std::string& name, const ColumnInfo& elementaryColumnInfo,
                                                 const ColumnInfo& addOnColumnInfo, TLWError* error) {
  if (name.empty()) {
    return fail(error, kErrorCodeInvalidArgument, "Received empty table name for ensure table schema");
  }
  if (elementaryColumnInfo.empty()) {
    return fail(error, kErrorCodeInvalidArgument, "Received empty column info for ensure table schema");
  }
  auto current = columnInfoForTableWithName(name, error);
  if (!current) return false;
  if (current->empty()) return fail(error, kErrorCodeInvalidState, "Table does not exist for ensure table schema");
  std::map<std::string, std::string> expected;
  for (const auto& [column, definition] : elementaryColumnInfo) {
    if (column != "PRIMARY KEY") expected[column] = firstWord(definition);
  }
  for (const auto& [column, type] : addOnColumnInfo) expected[column] = type;
  if (*current == expected) return true;

  TLWError stepError;
  bool stepFailed = false;
  TLWError transactionError;
  const std::string oldName = name + "_old";
  bool ok = performTransactionWithError(&transactionError, [&] {
    auto step = [&](bool result) {
      if (!result && !stepFailed) stepFailed = true;
      return result;
    };
    return step(renameTable(name, oldName, &stepError)) &&
           step(ensureTableWithName(name, elementaryColumnInfo, addOnColumnInfo, &stepError)) &&
           step(copyContentsFromTable(oldName, name, &stepError)) && step(dropTableWithName(oldName, &stepError));
  });
  // The failing step says more than the rollback does.
  if (!ok) TLWSetError(error, stepFailed && stepError.code() != 0 ? stepError : transactionError);
  return ok;
}

bool TLWSqliteStore::ensureTableWithName(const std::string& name, const ColumnInfo& elementaryColumnInfo,
                                         const ColumnInfo& addOnColumnInfo, const ModifyColumnInfo& modifyColumnInfo,
                                         TLWError* error) {
  if (modifyColumnInfo.empty()) return ensureTableWithName(name, elementaryColumnInfo, addOnColumnInfo, error);
  auto apply = [&](const ColumnInfo& in) {
    ColumnInfo out;
    for (const auto& [column, definition] : in) {
      auto it = modifyColumnInfo.find(column);
      out.emplace_back(column, it == modifyColumnInfo.end() ? definition : it->second);
    }
    return out;
  };
  const ColumnInfo elementary = apply(elementaryColumnInfo);
  const ColumnInfo addOn = apply(addOnColumnInfo);
  // A table created now gets the changed definitions at once; creating it the old way
  // would only have it rebuilt a moment later.
  if (!ensureTableWithName(name, elementary, addOn, error)) return false;
  return ensureSchemaOfTableWithName(name, elementary, addOn, error);
}

bool TLWSqliteStore::dropTableWithName(const std::string& name, TLWError* error) {
  if (name.empty()) return fail(error, kErrorCodeInvalidArgument, "Received empty table name for drop table");
  return executeSQL("DROP TABLE " + name, error);
}

bool TLWSqliteStore::renameTable(const std::string& oldName, const std::string& newName, TLWError* error) {
  if (oldName.empty()) return fail(error, kErrorCodeInvalidArgument, "Received empty old name for rename table");
  if (newName.empty()) return fail(error, kErrorCodeInvalidArgument, "Received empty new name for rename table");
  if (oldName == newName) return fail(error, kErrorCodeInvalidArgument, "Received duplicate name for rename table");
  return executeSQL("ALTER TABLE " + oldName + " RENAME TO " + newName, error);
}

bool TLWSqliteStore::copyContentsFromTable(const std::string& source, const std::string& destination,
                                           TLWError* error) {
  if (source.empty()) return fail(error, kErrorCodeInvalidArgument, "Received empty source name for copy table");
  if (destination.empty()) {
    return fail(error, kErrorCodeInvalidArgument, "Received empty destination name for copy table");
  }
  if (source == destination) return fail(error, kErrorCodeInvalidArgument, "Received duplicate name for copy table");
  auto sourceColumns = columnsForTableWithName(source, error);
  if (!sourceColumns) return false;
  auto destinationColumns = columnsForTableWithName(destination, error);
  if (!destinationColumns) return false;
  std::set<std::string> inSource(sourceColumns->begin(), sourceColumns->end());
  std::string list;
  for (const auto& column : *destinationColumns) {
    if (!inSource.count(column)) continue;
    if (!list.empty()) list += ", ";
    list += column;
  }
  if (list.empty()) return fail(error, kErrorCodeInvalidState, "Tables share no columns for copy table");
  return executeSQL("INSERT INTO " + destination + " (" + list + ") SELECT " + list + " FROM " + source, error);
}

// ------------------------------------------------------------------ records

bool TLWSqliteStore::upsertRecord(const Record& record, const std::string& tableName, TLWError* error) {
  if (record.empty()) return fail(error, kErrorCodeInvalidArgument, "Received empty record for upsert");
  if (tableName.empty()) return fail(error, kErrorCodeInvalidArgument, "Received empty table name for upsert");
  if (!sqliteHandle_) return fail(error, kErrorCodeInvalidState, "Upsert record failed. Database not open.");
  std::string columns;
  std::string placeholders;
  platform::Array values;
  values.reserve(record.size());
  for (const auto& [key, value] : record) {
    if (!isStorableValue(value)) {
      log(4, 34020, "Record has value of unexpected type", Value(value.kindName()));
      return false;
    }
    columns += key.stringOr() + ", ";
    placeholders += "?, ";
    values.push_back(value);
  }
  columns.resize(columns.size() - 2);
  placeholders.resize(placeholders.size() - 2);
  const std::string sql = "INSERT OR REPLACE INTO " + tableName + " (" + columns + ") VALUES (" + placeholders + ");";
  return runWriteStatement(sql, values, error);
}

// The text of an upsert or update depends only on the record's columns, which repeat
// call after call; keeping the prepared statement makes a write one bind and one step.
bool TLWSqliteStore::runWriteStatement(const std::string& sql, const platform::Array& values, TLWError* error) {
  sqlite3_stmt* stmt = statementForQuery(sql, values, error);
  if (!stmt) return false;
  bool ok = step(stmt) == SQLITE_DONE;
  if (!ok) setDatabaseError(error, "execute statement");
  cleanUpStatement(stmt, sql);
  return ok;
}

std::optional<std::int64_t> TLWSqliteStore::executeWriteStatement(const std::string& sql,
                                                                  const platform::Array& values, TLWError* error) {
  if (sql.empty()) {
    fail(error, kErrorCodeInvalidArgument, "Received empty SQL string to execute");
    return std::nullopt;
  }
  if (!sqliteHandle_) {
    fail(error, kErrorCodeInvalidState, "Execute SQL failed. Database not open.");
    return std::nullopt;
  }
  for (const Value& value : values) {
    if (!isStorableValue(value)) {
      fail(error, kErrorCodeInvalidArgument, "Failed to bind parameter of unexpected type");
      return std::nullopt;
    }
  }
  if (!runWriteStatement(sql, values, error)) return std::nullopt;
  return sqlite3_changes(sqliteHandle_);
}

bool TLWSqliteStore::updateRecord(const Record& record, const std::string& tableName, const std::string& columnName,
                                  const Value& columnValue, TLWError* error) {
  if (record.empty()) return fail(error, kErrorCodeInvalidArgument, "Empty record for update");
  if (tableName.empty()) return fail(error, kErrorCodeInvalidArgument, "Empty table name for update");
  if (columnName.empty()) return fail(error, kErrorCodeInvalidArgument, "Empty column name for update");
  if (columnValue.isNull()) return fail(error, kErrorCodeInvalidArgument, "Nil column value for update");
  if (!sqliteHandle_) return fail(error, kErrorCodeInvalidState, "Update record failed. Database not open.");
  std::string set;
  platform::Array values;
  for (const auto& [key, value] : record) {
    if (!isStorableValue(value)) {
      log(4, 34021, "Record has value of unexpected type (update)", Value(value.kindName()));
      return fail(error, kErrorCodeInvalidArgument, "Failed to bind parameter of unexpected type to update statement");
    }
    set += key.stringOr() + "=?,";
    values.push_back(value);
  }
  set.pop_back();
  values.push_back(columnValue);
  return runWriteStatement("UPDATE " + tableName + " SET " + set + " WHERE " + columnName + "=?", values, error);
}

bool TLWSqliteStore::updateAllRecordsInTableWithName(const std::string& tableName, const std::string& columnName,
                                                     const Value& columnValue, TLWError* error) {
  if (tableName.empty()) return fail(error, kErrorCodeInvalidArgument, "Empty table name for update");
  if (columnName.empty()) return fail(error, kErrorCodeInvalidArgument, "Empty column name for update");
  if (!sqliteHandle_) return fail(error, kErrorCodeInvalidState, "Update record failed. Database not open.");
  const std::string sql = "UPDATE " + tableName + " SET " + columnName + "=?";
  sqlite3_stmt* stmt = statementForQuery(sql, {columnValue}, error);
  if (!stmt) return false;
  bool ok = stepStatementToDone(stmt);
  if (!ok) setDatabaseError(error, "update all records value");
  cleanUpStatement(stmt, sql);
  return ok;
}

bool TLWSqliteStore::increaseColumn(const std::string& column, std::int64_t byValue, const std::string& table,
                                    const std::string& condition, const platform::Array& parameterValues,
                                    TLWError* error) {
  if (table.empty()) return fail(error, kErrorCodeInvalidArgument, "Empty table name for increase column");
  if (column.empty()) return fail(error, kErrorCodeInvalidArgument, "Empty column name for increase column");
  if (condition.empty()) return fail(error, kErrorCodeInvalidArgument, "Empty condition for increase column");
  if (!sqliteHandle_) return fail(error, kErrorCodeInvalidState, "Increase column failed. Database not open.");
  auto info = columnInfoForTableWithName(table, error);
  if (!info) return false;
  auto it = info->find(column);
  if (it == info->end()) return fail(error, kErrorCodeInvalidArgument, "Invalid column or table name");
  if (upper(it->second) != "INTEGER") return fail(error, kErrorCodeInvalidArgument, "Column type is not integer.");
  // A NULL counter (a column added to rows that predate it) counts from 0; NULL + 1
  // would stay NULL and the counter would never move.
  const std::string sql = "UPDATE " + table + " SET " + column + " = COALESCE(" + column + ", 0) + " +
                          std::to_string(byValue) + " WHERE " + condition;
  sqlite3_stmt* stmt = statementForQuery(sql, parameterValues, error);
  if (!stmt) return false;
  bool ok = stepStatementToDone(stmt);
  if (!ok) setDatabaseError(error, "increase records value");
  cleanUpStatement(stmt, sql);
  return ok;
}

bool TLWSqliteStore::deleteRecordFromTableWithName(const std::string& tableName, const std::string& columnName,
                                                   const Value& columnValue, TLWError* error) {
  if (tableName.empty()) return fail(error, kErrorCodeInvalidArgument, "Received empty table name for delete record");
  if (columnName.empty()) return fail(error, kErrorCodeInvalidArgument, "Received empty column for delete record");
  if (columnValue.isNull()) return fail(error, kErrorCodeInvalidArgument, "Received nil value for delete record");
  if (!sqliteHandle_) return fail(error, kErrorCodeInvalidState, "Delete record failed. Database not open.");
  const std::string sql = "DELETE FROM " + tableName + " WHERE " + columnName + "=?";
  sqlite3_stmt* stmt = statementForQuery(sql, {columnValue}, error);
  if (!stmt) return false;
  bool ok = stepStatementToDone(stmt);
  if (!ok) setDatabaseError(error, "delete record");
  cleanUpStatement(stmt, sql);
  return ok;
}

std::optional<std::int64_t> TLWSqliteStore::deleteRecordsFromTableWithName(const std::string& tableName,
                                                                           const std::string& condition,
                                                                           const platform::Array& parameterValues,
                                                                           TLWError* error) {
  if (tableName.empty()) {
    fail(error, kErrorCodeInvalidArgument, "Received empty table name for delete record");
    return std::nullopt;
  }
  if (condition.empty()) {
    fail(error, kErrorCodeInvalidArgument, "Received empty condition for delete record");
    return std::nullopt;
  }
  if (!sqliteHandle_) {
    fail(error, kErrorCodeInvalidState, "Delete records with condition failed. Database not open.");
    return std::nullopt;
  }
  const std::string sql = "DELETE FROM " + tableName + " WHERE " + condition;
  sqlite3_stmt* stmt = statementForQuery(sql, parameterValues, error);
  if (!stmt) return std::nullopt;
  std::optional<std::int64_t> deleted;
  if (stepStatementToDone(stmt)) {
    deleted = sqlite3_changes(sqliteHandle_);
  } else {
    setDatabaseError(error, "delete records with condition");
  }
  cleanUpStatement(stmt, sql);
  return deleted;
}

bool TLWSqliteStore::deleteAllRecordsFromTableWithName(const std::string& tableName, TLWError* error) {
  if (tableName.empty()) {
    return fail(error, kErrorCodeInvalidArgument, "Received empty table name for delete all records");
  }
  if (!sqliteHandle_) return fail(error, kErrorCodeInvalidState, "Delete all records failed. Database not open.");
  const std::string sql = "DELETE FROM " + tableName;
  sqlite3_stmt* stmt = statementForQuery(sql, error);
  if (!stmt) return false;
  bool ok = stepStatementToDone(stmt);
  if (!ok) setDatabaseError(error, "delete all records");
  cleanUpStatement(stmt, sql);
  return ok;
}

std::optional<std::int64_t> TLWSqliteStore::rowCountForTableWithName(const std::string& tableName, TLWError* error) {
  return rowCountForTableWithName(tableName, {}, Value(), error);
}

std::optional<std::int64_t> TLWSqliteStore::rowCountForTableWithName(const std::string& tableName,
                                                                     const std::string& columnName,
                                                                     const Value& columnValue, TLWError* error) {
  if (tableName.empty()) {
    fail(error, kErrorCodeInvalidArgument, "Received empty table name for row count");
    return std::nullopt;
  }
  if (!sqliteHandle_) {
    fail(error, kErrorCodeInvalidState, "Row count failed. Database not open.");
    return std::nullopt;
  }
  std::string sql = "SELECT count(1) FROM " + tableName;
  platform::Array values;
  if (!columnName.empty() && !columnValue.isNull()) {
    sql += " WHERE " + columnName + "=?";
    values.push_back(columnValue);
  }
  auto number = numberForQuery(sql, values, error);
  if (!number) return std::nullopt;
  return number->int64Value();
}

// ------------------------------------------------------------------ queries

Value TLWSqliteStore::columnValue(sqlite3_stmt* statement, int column) {
  switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER:
      return Value(static_cast<long long>(sqlite3_column_int64(statement, column)));
    case SQLITE_FLOAT:
      return Value(sqlite3_column_double(statement, column));
    case SQLITE_TEXT: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
      int size = sqlite3_column_bytes(statement, column);
      return Value(std::string(text ? text : "", text ? static_cast<std::size_t>(size) : 0));
    }
    case SQLITE_BLOB: {
      const auto* blob = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, column));
      int size = sqlite3_column_bytes(statement, column);
      if (!blob || size <= 0) return Value::data(Value::Data{});
      return Value::data(Value::Data(blob, blob + size));
    }
    default:
      return Value();
  }
}

std::optional<TLWSqliteStore::Records> TLWSqliteStore::recordsForQuery(const std::string& sql,
                                                                       const platform::Array& parameterValues,
                                                                       TLWError* error) {
  return recordsForQuery(sql, parameterValues, error, acceptAll);
}

std::optional<TLWSqliteStore::Records> TLWSqliteStore::recordsForQuery(const std::string& sql,
                                                                       const platform::Array& parameterValues,
                                                                       TLWError* error, const RowFilter& filter) {
  if (!checkSelectQuery(sql, error)) return std::nullopt;
  return queryRows(sql, parameterValues, error, filter);
}

std::optional<std::vector<platform::Array>> TLWSqliteStore::valueRowsForQuery(const std::string& sql,
                                                                              const platform::Array& parameterValues,
                                                                              TLWError* error) {
  if (!checkSelectQuery(sql, error)) return std::nullopt;
  std::vector<platform::Array> rows;
  bool ok = stepEachRow(sql, parameterValues, error, [&](sqlite3_stmt* stmt) {
    const int count = sqlite3_column_count(stmt);
    platform::Array row;
    row.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) row.push_back(columnValue(stmt, i));
    rows.push_back(std::move(row));
    return true;
  });
  if (!ok) return std::nullopt;
  return rows;
}

bool TLWSqliteStore::checkSelectQuery(const std::string& sql, TLWError* error) {
  if (sql.empty()) return fail(error, kErrorCodeInvalidArgument, "Received empty query for records for query");
  if (!isSelect(sql)) return fail(error, kErrorCodeInvalidArgument, "Received invalid select query");
  return true;
}

bool TLWSqliteStore::stepEachRow(const std::string& sql, const platform::Array& parameterValues, TLWError* error,
                                 const std::function<bool(sqlite3_stmt*)>& onRow) {
  if (!sqliteHandle_) return fail(error, kErrorCodeInvalidState, "Query records failed. Database not open.");
  sqlite3_stmt* stmt = statementForQuery(sql, parameterValues, error);
  if (!stmt) return false;
  int rc;
  while ((rc = step(stmt)) == SQLITE_ROW) {
    if (!onRow(stmt)) {
      rc = SQLITE_DONE;
      break;
    }
  }
  if (rc != SQLITE_DONE) setDatabaseError(error, "query records");
  cleanUpStatement(stmt, sql);
  return rc == SQLITE_DONE;
}

std::optional<TLWSqliteStore::Records> TLWSqliteStore::queryRows(const std::string& sql,
                                                                 const platform::Array& parameterValues,
                                                                 TLWError* error, const RowFilter& filter) {
  if (!filter) {
    fail(error, kErrorCodeInvalidArgument, "Received empty filter for selecting records");
    return std::nullopt;
  }
  // Column names of a cached statement never change; building them once saves an
  // allocation per column and row on the write path's reads.
  std::vector<Value> localNames;
  std::vector<Value>* names = nullptr;
  Records records;
  std::size_t read = 0;
  bool ok = stepEachRow(sql, parameterValues, error, [&](sqlite3_stmt* stmt) {
    if (!names) {
      names = &localNames;
      if (auto it = statementCache_.find(sql); it != statementCache_.end() && it->second == stmt) {
        names = &columnNameCache_[stmt];
      }
      if (names->empty()) {
        int count = sqlite3_column_count(stmt);
        names->reserve(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) {
          const char* name = sqlite3_column_name(stmt, i);
          if (!name) log(4, 34003, "Failed to get column name");
          names->push_back(name ? Value(name) : Value());
        }
      }
    }
    platform::Dictionary row;
    for (std::size_t i = 0; i < names->size(); ++i) {
      if ((*names)[i].isNull()) continue;
      row.set((*names)[i], columnValue(stmt, static_cast<int>(i)));
    }
    std::size_t index = read++;
    if (!filter(index, row)) return false;
    records.push_back(std::move(row));
    return true;
  });
  if (!ok) return std::nullopt;
  if (read > 0 && records.empty()) log(4, 34005, "Database contains records that were all filtered out");
  return records;
}

std::optional<Value> TLWSqliteStore::numberForQuery(const std::string& sql, const platform::Array& parameterValues,
                                                    TLWError* error) {
  if (sql.empty()) {
    fail(error, kErrorCodeInvalidArgument, "Received empty query to get numeric result");
    return std::nullopt;
  }
  if (!sqliteHandle_) {
    fail(error, kErrorCodeInvalidState, "Query numeric result failed. Database not open.");
    return std::nullopt;
  }
  sqlite3_stmt* stmt = statementForQuery(sql, parameterValues, error);
  if (!stmt) return std::nullopt;
  std::optional<Value> result;
  if (step(stmt) == SQLITE_ROW) {
    switch (sqlite3_column_type(stmt, 0)) {
      case SQLITE_INTEGER:
      case SQLITE_FLOAT:
        result = columnValue(stmt, 0);
        break;
      case SQLITE_NULL:
        break;
      default:
        fail(error, kErrorCodeInvalidArgument, "Found result that was not numeric");
        break;
    }
  } else {
    setDatabaseError(error, "query numeric result");
  }
  cleanUpStatement(stmt, sql);
  return result;
}

// ------------------------------------------------------------------ transactions

bool TLWSqliteStore::beginTransaction() {
  return sqliteHandle_ && transactionHolds(nullptr) && exec("BEGIN EXCLUSIVE TRANSACTION");
}

bool TLWSqliteStore::endTransaction() { return sqliteHandle_ && exec("END TRANSACTION"); }

bool TLWSqliteStore::rollbackTransaction() { return sqliteHandle_ && exec("ROLLBACK"); }

int TLWSqliteStore::step(sqlite3_stmt* statement) {
  const int rc = sqlite3_step(statement);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    ++undos_;
    noteFailure(rc);
  }
  return rc;
}

bool TLWSqliteStore::exec(const char* sql) {
  const int rc = sqlite3_exec(sqliteHandle_, sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    ++undos_;
    noteFailure(rc);
  }
  return rc == SQLITE_OK;
}

void TLWSqliteStore::noteFailure(int code) {
  if (!isTransientFailure(code)) return;
  ++transientFailures_;
  lastTransientFailure_ = code;
}

bool TLWSqliteStore::transactionHolds(TLWError* error) {
  if (!transactionExpected_ || !sqliteHandle_ || !sqlite3_get_autocommit(sqliteHandle_)) return true;
  // Counted as the failure that ended the transaction: the caller's work is retried whole.
  noteFailure(SQLITE_ABORT_ROLLBACK);
  return fail(error, kErrorCodeSqliteFailure, "The enclosing transaction was rolled back");
}

bool TLWSqliteStore::isInTransaction() const { return sqliteHandle_ && !sqlite3_get_autocommit(sqliteHandle_); }

bool TLWSqliteStore::performTransactionWithError(TLWError* error, const std::function<bool()>& block) {
  if (!block) return fail(error, kErrorCodeInvalidArgument, "Received nil transaction block");
  if (!sqliteHandle_) return fail(error, kErrorCodeInvalidState, "Database not open");
  if (isInTransaction()) return performInSavepoint(error, block);
  if (!beginTransaction()) {
    TLWSetError(error, TLWError::errorWithCode(kErrorCodeSqliteFailure, "Failed to begin transaction",
                                               monitorContextForDatabaseOperation("begin transaction")));
    return false;
  }
  // SQLite rolls back on its own after some failures (a full disk during commit, for
  // one); a ROLLBACK then would fail for no reason, so it is issued only when needed.
  auto rollbackIfOpen = [this](std::int64_t code, std::string_view message) {
    if (sqliteHandle_ && !sqlite3_get_autocommit(sqliteHandle_) && !rollbackTransaction()) log(1, code, message);
  };
  bool committed = false;
  try {
    committed = block();
  } catch (...) {
    rollbackIfOpen(34009, "Failed to rollback transaction after exception");
    throw;
  }
  if (committed) {
    if (endTransaction()) return true;
    TLWSetError(error, TLWError::errorWithCode(kErrorCodeSqliteFailure, "Failed to end transaction",
                                               monitorContextForDatabaseOperation("end transaction")));
    // A commit that failed leaves the transaction open; without this rollback every
    // later BEGIN would fail and the half-done work would stay visible.
    rollbackIfOpen(34011, "Failed to rollback transaction");
    return false;
  }
  TLWSetError(error, TLWError::errorWithCode(kErrorCodeSqliteFailure, "Transaction failed",
                                             monitorContextForDatabaseOperation("transaction")));
  rollbackIfOpen(34011, "Failed to rollback transaction");
  return false;
}

bool TLWSqliteStore::performInSavepoint(TLWError* error, const std::function<bool()>& block) {
  // Nested savepoints each get their own name, so an inner rollback never reaches out.
  const std::string name = "tw_sp" + std::to_string(savepointDepth_);
  auto run = [this](const std::string& sql) {
    TLWError ignored;
    auto* statement = statementForQuery(sql, &ignored);
    const bool ok = statement && stepStatementToDone(statement);
    if (statement) cleanUpStatement(statement, sql);
    return ok;
  };
  if (!run("SAVEPOINT " + name)) {
    TLWSetError(error, TLWError::errorWithCode(kErrorCodeSqliteFailure, "Failed to begin transaction",
                                               monitorContextForDatabaseOperation("begin savepoint")));
    return false;
  }
  ++savepointDepth_;
  // The enclosing transaction may have ended under the block (SQLite rolls back on its
  // own after a full disk); then there is no savepoint left to undo.
  auto undo = [&] {
    ++undos_;
    if (isInTransaction() && !(run("ROLLBACK TO " + name) && run("RELEASE " + name))) {
      log(1, 34011, "Failed to rollback transaction");
    }
  };
  bool keep = false;
  try {
    keep = block();
  } catch (...) {
    --savepointDepth_;
    undo();
    throw;
  }
  --savepointDepth_;
  if (keep) {
    if (run("RELEASE " + name)) return true;
    TLWSetError(error, TLWError::errorWithCode(kErrorCodeSqliteFailure, "Failed to end transaction",
                                               monitorContextForDatabaseOperation("end transaction")));
    undo();
    return false;
  }
  TLWSetError(error, TLWError::errorWithCode(kErrorCodeSqliteFailure, "Transaction failed",
                                             monitorContextForDatabaseOperation("transaction")));
  undo();
  return false;
}

// ------------------------------------------------------------------ diagnostics

std::optional<std::string> TLWSqliteStore::lastErrorMessage() {
  if (!sqliteHandle_) {
    log(1, 34022, "Failed to get last error message. Database not open");
    return std::nullopt;
  }
  const char* message = sqlite3_errmsg(sqliteHandle_);
  return std::string(message ? message : "");
}

std::string TLWSqliteStore::errorDescriptionForDatabaseOperation(std::string_view operation) {
  int code = sqliteHandle_ ? sqlite3_errcode(sqliteHandle_) : SQLITE_MISUSE;
  std::string message = sqliteHandle_ ? sqlite3_errmsg(sqliteHandle_) : "Database not open";
  return "Database operation \"" + std::string(operation) + "\" failed with sqlite code " + std::to_string(code) +
         " and error message \"" + message + "\"";
}

std::string TLWSqliteStore::monitorContextForDatabaseOperation(std::string_view operation) {
  int code = sqliteHandle_ ? sqlite3_errcode(sqliteHandle_) : SQLITE_MISUSE;
  std::string context = operation.empty() ? std::string("Unknown operation") : std::string(operation);
  context += "," + std::to_string(code);
  auto fs = env_ ? env_->fileSystem() : nullptr;
  context += (fs && fs->isWritable(databasePath_)) ? ",A" : ",NA";
  context += ",";
  if (auto free = fs ? fs->freeSpace(parentDirectory(databasePath_)) : std::nullopt) {
    if (*free >= 1048576) {
      double megabytes = static_cast<double>(*free) / 1048576.0;
      context += std::to_string(static_cast<long long>(std::floor(std::log10(megabytes))));
    } else {
      context += "-1";
    }
  }
  return context;
}

void TLWSqliteStore::setDatabaseError(TLWError* error, std::string_view operation) {
  if (!error) return;
  *error = TLWError::errorWithCode(kErrorCodeSqliteFailure, errorDescriptionForDatabaseOperation(operation),
                                   monitorContextForDatabaseOperation(operation));
}
