#pragma once
// TLWSqliteStore: a small generic wrapper over one SQLite database file. It opens the
// file (creating its folder), checks its integrity, creates tables from column
// descriptions and migrates them, runs parameterised queries through a statement cache,
// reads rows as dictionaries of platform::Value and wraps work in exclusive transactions.
// It knows nothing about measurement data.
//
// Thread-safety: none of its own. The connection is opened in SQLite's serialized mode,
// but the statement cache is a plain map: every call must come from one queue at a time
// (the queue that created the store, whose label is kept in queueLabel()).
//
// Ownership and lifetime: the store owns its connection and its cached statements; they
// live exactly as long as the connection. Destroying the store closes the database.
// Statements handed out by statementForQuery() belong to the store and must be handed
// back through cleanUpStatement(); they are invalid after closeDatabase().
//
// Storage mode: the file is opened in write-ahead-log journal mode with synchronous=NORMAL,
// so a committed transaction survives a crash of the process. Deleting the database
// always deletes its "-wal" and "-shm" companions with it.
//
// Failures: every fallible operation returns false / nullopt / null and fills the optional
// error (domain "com.vorlix.zel.measurement.ErrorDomain"; code 1 bad argument, 2 not open
// or wrong schema, 3 SQLite failure with a monitor context). Argument and state errors
// never touch the database; SQLite failures leave the statement cache intact; a failed
// transaction is rolled back before the call returns.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "measurement/monitor/TLWError.h"
#include "platform/Environment.h"
#include "platform/Value.h"

struct sqlite3;
struct sqlite3_stmt;
class TLWMonitor;

class TLWSqliteStore {
 public:
  // [column name, column definition]; an entry named "PRIMARY KEY" is a table constraint.
  using ColumnInfo = std::vector<std::pair<std::string, std::string>>;
  // Column name to new definition.
  using ModifyColumnInfo = std::map<std::string, std::string>;
  using Record = platform::Dictionary;
  using Records = std::vector<platform::Dictionary>;
  // Called with the row index and the row; returning false drops the row and stops reading.
  using RowFilter = std::function<bool(std::size_t index, const platform::Dictionary& row)>;

  static constexpr std::int64_t kErrorCodeInvalidArgument = 1;
  static constexpr std::int64_t kErrorCodeInvalidState = 2;
  static constexpr std::int64_t kErrorCodeSqliteFailure = 3;

  // initWithDatabasePath:error:. Opens and validates the file; a file that fails is
  // closed, deleted (with its companions) and opened once more. A transient failure (an
  // I/O error, a busy lock, no memory or space) deletes nothing and returns null. Null when both attempts
  // failed. `env` provides the file system; `monitor` receives log lines (the shared
  // monitor when null).
  static std::unique_ptr<TLWSqliteStore> initWithDatabasePath(const std::string& databasePath, TLWError* error,
                                                              std::shared_ptr<platform::Environment> env = nullptr,
                                                              std::shared_ptr<TLWMonitor> monitor = nullptr);
  ~TLWSqliteStore();
  TLWSqliteStore(const TLWSqliteStore&) = delete;
  TLWSqliteStore& operator=(const TLWSqliteStore&) = delete;

  const std::string& databasePath() const { return databasePath_; }
  const std::string& queueLabel() const { return queueLabel_; }
  bool isOpen() const { return sqliteHandle_ != nullptr; }

  // Lifecycle
  [[nodiscard]] bool openAndValidateDatabase(TLWError* error);
  [[nodiscard]] bool validateDatabaseWithError(TLWError* error);
  void closeDatabase();
  // Closes and removes the file, its "-wal", "-shm" and "-journal" companions; a missing
  // file counts as success. A directory standing in the file's place is removed too.
  [[nodiscard]] bool closeAndDeleteDatabase();

  // Statements
  sqlite3_stmt* prepareSQL(const std::string& sql, TLWError* error);
  sqlite3_stmt* statementForQuery(const std::string& sql, const platform::Array& parameterValues, TLWError* error);
  sqlite3_stmt* statementForQuery(const std::string& sql, TLWError* error);
  void cleanUpStatement(sqlite3_stmt* statement, const std::string& sql);
  [[nodiscard]] bool bindValues(const platform::Array& values, sqlite3_stmt* statement, TLWError* error);
  [[nodiscard]] bool executeSQL(const std::string& sql, TLWError* error);
  // Steps once and finalizes the statement (it must not be a cached one).
  [[nodiscard]] bool executeSQLStatement(sqlite3_stmt* statement, TLWError* error);

  // Tables
  std::optional<bool> tableExists(const std::string& name, TLWError* error);
  std::optional<std::vector<std::string>> columnsForTableWithName(const std::string& name, TLWError* error);
  std::optional<std::map<std::string, std::string>> columnInfoForTableWithName(const std::string& name,
                                                                                TLWError* error);
  [[nodiscard]] bool ensureTableWithName(const std::string& name, const ColumnInfo& elementaryColumnInfo,
                                         const ColumnInfo& addOnColumnInfo, TLWError* error);
  [[nodiscard]] bool ensureTableWithName(const std::string& name, const std::string& createSQL,
                                         const std::vector<std::string>& requiredColumnNames,
                                         const std::vector<std::pair<std::string, std::string>>& addOnColumns,
                                         TLWError* error);
  std::optional<bool> validateTableWithName(const std::string& name,
                                            const std::vector<std::string>& requiredColumnNames,
                                            const std::vector<std::pair<std::string, std::string>>& addOnColumns,
                                            TLWError* error);
  [[nodiscard]] bool ensureSchemaOfTableWithName(const std::string& name, const ColumnInfo& elementaryColumnInfo,
                                                 const ColumnInfo& addOnColumnInfo, TLWError* error);
  [[nodiscard]] bool ensureTableWithName(const std::string& name, const ColumnInfo& elementaryColumnInfo,
                                         const ColumnInfo& addOnColumnInfo, const ModifyColumnInfo& modifyColumnInfo,
                                         TLWError* error);
  [[nodiscard]] bool dropTableWithName(const std::string& name, TLWError* error);
  [[nodiscard]] bool renameTable(const std::string& oldName, const std::string& newName, TLWError* error);
  // Copies the columns the two tables have in common, by name, so that an extra or
  // reordered column in either table does not break the copy.
  [[nodiscard]] bool copyContentsFromTable(const std::string& source, const std::string& destination,
                                           TLWError* error);

  // Records
  [[nodiscard]] bool upsertRecord(const Record& record, const std::string& tableName, TLWError* error);
  [[nodiscard]] bool updateRecord(const Record& record, const std::string& tableName, const std::string& columnName,
                                  const platform::Value& columnValue, TLWError* error);
  [[nodiscard]] bool updateAllRecordsInTableWithName(const std::string& tableName, const std::string& columnName,
                                                     const platform::Value& columnValue, TLWError* error);
  // Adds `byValue` to an INTEGER column in the rows matching `condition`; NULL counts as 0.
  [[nodiscard]] bool increaseColumn(const std::string& column, std::int64_t byValue, const std::string& table,
                                    const std::string& condition, const platform::Array& parameterValues,
                                    TLWError* error);
  [[nodiscard]] bool deleteRecordFromTableWithName(const std::string& tableName, const std::string& columnName,
                                                   const platform::Value& columnValue, TLWError* error);
  // The number of deleted rows.
  std::optional<std::int64_t> deleteRecordsFromTableWithName(const std::string& tableName,
                                                             const std::string& condition,
                                                             const platform::Array& parameterValues, TLWError* error);
  [[nodiscard]] bool deleteAllRecordsFromTableWithName(const std::string& tableName, TLWError* error);
  std::optional<std::int64_t> rowCountForTableWithName(const std::string& tableName, TLWError* error);
  std::optional<std::int64_t> rowCountForTableWithName(const std::string& tableName, const std::string& columnName,
                                                       const platform::Value& columnValue, TLWError* error);
  // The rows of one table of the main database, kept in step with each row this connection
  // inserts or deletes, so asking costs no table walk. Whatever may have undone rows the
  // count saw (a transaction or one of the store's savepoints rolled back, a statement that
  // failed part way) or removed rows it did not see (a delete of the whole table) makes the
  // next question count the table again. Not seen: rows a REPLACE pushes out (the table
  // must have no unique key its inserts can meet) and other connections' writes.
  void trackRowCountOfTable(const std::string& tableName);
  std::optional<std::int64_t> trackedRowCount(TLWError* error);

  // Queries
  std::optional<Records> recordsForQuery(const std::string& sql, const platform::Array& parameterValues,
                                         TLWError* error, const RowFilter& filter);
  std::optional<Records> recordsForQuery(const std::string& sql, const platform::Array& parameterValues,
                                         TLWError* error);
  // Rows as their column values in the query's column order, for callers that know their
  // columns: no names, no dictionaries.
  std::optional<std::vector<platform::Array>> valueRowsForQuery(const std::string& sql,
                                                                const platform::Array& parameterValues,
                                                                TLWError* error);
  // Runs one INSERT, UPDATE or DELETE through the statement cache; the number of rows it
  // changed.
  std::optional<std::int64_t> executeWriteStatement(const std::string& sql, const platform::Array& values,
                                                    TLWError* error);
  // The first column of the first row as a number. nullopt with no error for a NULL result.
  std::optional<platform::Value> numberForQuery(const std::string& sql, const platform::Array& parameterValues,
                                                TLWError* error);

  // Transactions. The block runs inside "BEGIN EXCLUSIVE TRANSACTION"; returning false
  // rolls everything back. A block that throws is rolled back and the exception goes on.
  // Inside a transaction already open (a write group, below) the block runs inside its own
  // savepoint instead: returning false undoes the block's work alone, and what it did
  // becomes durable with the enclosing transaction's commit.
  [[nodiscard]] bool performTransactionWithError(TLWError* error, const std::function<bool()>& block);
  // True while a transaction is open on the connection.
  bool isInTransaction() const;
  [[nodiscard]] bool beginTransaction();
  [[nodiscard]] bool endTransaction();
  [[nodiscard]] bool rollbackTransaction();

  // Failures that say nothing about the data: another connection's lock (busy), no space,
  // an I/O error, no memory, or the open transaction rolled back under its caller. The
  // same work may succeed later, so a caller that keeps its input can try again. The
  // count only grows; compare it before and after a piece of work.
  std::uint64_t transientFailureCount() const { return transientFailures_; }
  // The SQLite result code of the latest such failure (0 before the first).
  int lastTransientFailureCode() const { return lastTransientFailure_; }
  // While set, statements and BEGIN outside a transaction are refused (and counted
  // above): after SQLite rolled back the caller's transaction on its own (it may after a
  // full disk or an I/O error), work that went on would commit piece by piece instead of
  // with the rest. Set by the owner of a transaction that spans many calls.
  void setTransactionExpected(bool expected) { transactionExpected_ = expected; }

  // Diagnostics
  std::optional<std::string> lastErrorMessage();
  std::string errorDescriptionForDatabaseOperation(std::string_view operation);
  std::string monitorContextForDatabaseOperation(std::string_view operation);
  void setDatabaseError(TLWError* error, std::string_view operation);

  // WAL checkpoints. The connection does not checkpoint on commit (that would stall the
  // committing event for milliseconds); its owner calls checkpointIfNeeded when idle.
  // Only a log that outgrew kCheckpointHardLimitPages is checkpointed at commit.
  static constexpr int kCheckpointIdlePages = 1000;
  static constexpr int kCheckpointHardLimitPages = 16000;
  // A passive checkpoint when the log holds at least kCheckpointIdlePages; true when one ran.
  bool checkpointIfNeeded();
  // Pages in the log after the last commit.
  int walPages() const { return walPages_; }

  // The raw connection, for callers that batch their own statements (benchmarks).
  sqlite3* sqliteHandle() const { return sqliteHandle_; }

 private:
  TLWSqliteStore(std::string databasePath, std::shared_ptr<platform::Environment> env,
                 std::shared_ptr<TLWMonitor> monitor);
  bool stepStatementToDone(sqlite3_stmt* statement);
  // sqlite3_step and sqlite3_exec that count transient failures.
  int step(sqlite3_stmt* statement);
  bool exec(const char* sql);
  void noteFailure(int code);
  // False (counted, error filled) when a transaction is expected and none is open.
  bool transactionHolds(TLWError* error);
  bool runWriteStatement(const std::string& sql, const platform::Array& values, TLWError* error);
  bool configureConnection(TLWError* error);
  bool performInSavepoint(TLWError* error, const std::function<bool()>& block);
  void log(std::int64_t level, std::int64_t code, std::string_view message);
  void log(std::int64_t level, std::int64_t code, std::string_view message, const platform::Value& context);
  // Reads rows of any statement (the store's own PRAGMA reads included).
  std::optional<Records> queryRows(const std::string& sql, const platform::Array& parameterValues, TLWError* error,
                                   const RowFilter& filter);
  static platform::Value columnValue(sqlite3_stmt* statement, int column);
  bool checkSelectQuery(const std::string& sql, TLWError* error);
  // Steps the cached statement of `sql` through its rows; `onRow` returns false to stop
  // reading. False with the error when SQLite fails.
  bool stepEachRow(const std::string& sql, const platform::Array& parameterValues, TLWError* error,
                   const std::function<bool(sqlite3_stmt*)>& onRow);

  static int walCommitted(void* store, sqlite3* handle, const char* database, int pages);
  static void rowChanged(void* store, int operation, const char* database, const char* table, long long rowID);
  static void rolledBack(void* store);

  sqlite3* sqliteHandle_ = nullptr;
  int walPages_ = 0;
  int savepointDepth_ = 0;
  // Transactions and savepoints rolled back, and statements that failed (SQLite may have
  // undone part of one), since the connection opened.
  std::uint64_t undos_ = 0;
  struct RowTally {
    // Not an aggregate: clang cannot build a nested struct with member initialisers by
    // default inside its own class's optional.
    explicit RowTally(std::string tableName) : table(std::move(tableName)) {}
    std::string table;
    std::int64_t rows = 0;
    bool known = false;
    // Row changes the hook saw, and the marks of the last count: while the connection's
    // total changes grow by what the hook saw and nothing was undone, `rows` holds.
    std::uint64_t hookedChanges = 0;
    std::uint64_t hookedAtCount = 0;
    std::int64_t totalChangesAtCount = 0;
    std::uint64_t undosAtCount = 0;
  };
  std::optional<RowTally> rowTally_;
  std::uint64_t transientFailures_ = 0;
  int lastTransientFailure_ = 0;
  bool transactionExpected_ = false;
  // The SQLite result of the last failed open or integrity check.
  int lastOpenFailureCode_ = 0;
  // The last open failed because the file cannot be opened or is corrupt (not because of
  // a lock, I/O error or lack of space): only then is it worth replacing.
  bool fileUnusable_ = false;
  std::unordered_map<std::string, sqlite3_stmt*> statementCache_;
  std::unordered_map<sqlite3_stmt*, std::vector<platform::Value>> columnNameCache_;
  std::string queueLabel_;
  std::string databasePath_;
  std::shared_ptr<platform::Environment> env_;
  std::shared_ptr<TLWMonitor> monitor_;
};
