#include "measurement/storage/TLWSqliteStore.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <stdexcept>

#include "tests/measurement/storage/SqliteFaultVfs.h"
#include "tests/measurement/storage/StorageTestSupport.h"

using platform::Value;
using storage_test::CapturedMonitor;
using storage_test::TempDir;
using storage_test::TestStorageEnvironment;

namespace {

class TLWSqliteStoreTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::shared_ptr<TestStorageEnvironment> env = std::make_shared<TestStorageEnvironment>(dir.path());
  CapturedMonitor captured{env};
  std::string path = dir.path() + "/Library/Application Support/Vorlix/Measurement/test.sql";

  std::unique_ptr<TLWSqliteStore> store;
  TLWError error;

  std::unique_ptr<TLWSqliteStore> open(TLWError* error = nullptr) {
    return TLWSqliteStore::initWithDatabasePath(path, error, env, captured.monitor);
  }
  void openStore() {
    store = open(&error);
    ASSERT_TRUE(store) << error.localizedDescription();
  }

  static TLWSqliteStore::ColumnInfo itemsColumns() {
    return {{"name", "TEXT NOT NULL PRIMARY KEY"}, {"count", "INTEGER NOT NULL"}};
  }

  static std::int64_t count(TLWSqliteStore& store, const std::string& table) {
    return store.rowCountForTableWithName(table, nullptr).value_or(-1);
  }
};

// ----------------------------------------------------------------- opening

TEST_F(TLWSqliteStoreTest, OpensNewFileInWalModeAndCreatesItsFolder) {
  ASSERT_NO_FATAL_FAILURE(openStore());
  EXPECT_TRUE(std::filesystem::exists(path));
  auto mode = store->recordsForQuery("SELECT journal_mode FROM pragma_journal_mode", {}, &error);
  ASSERT_TRUE(mode);
  ASSERT_EQ(mode->size(), 1u);
  EXPECT_EQ(mode->at(0).get("journal_mode").stringOr(), "wal");
  auto sync = store->numberForQuery("SELECT synchronous FROM pragma_synchronous", {}, &error);
  ASSERT_TRUE(sync);
  EXPECT_EQ(sync->int64Value(), 1);  // NORMAL
  EXPECT_TRUE(env->fileSystem()->isExcludedFromBackup(path));

  TLWError empty;
  EXPECT_FALSE(TLWSqliteStore::initWithDatabasePath("", &empty, env, captured.monitor));
  EXPECT_EQ(empty.code(), 1);
  EXPECT_EQ(empty.localizedDescription(), "Received empty database path on init");
}

// The database and the files SQLite makes beside it are the owner's alone, as the
// preference and keychain files are; files an older build left readable are narrowed.
TEST_F(TLWSqliteStoreTest, DatabaseFilesAreOwnerOnly) {
  namespace fs = std::filesystem;
  auto modeOf = [](const std::string& file) { return fs::status(file).permissions() & fs::perms::all; };
  {
    auto store = open();
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->ensureTableWithName("items", itemsColumns(), {}, nullptr));
    ASSERT_TRUE(store->executeSQL("INSERT INTO items VALUES ('a', 1)", nullptr));
    for (const char* suffix : {"", "-wal", "-shm"}) {
      ASSERT_TRUE(fs::exists(path + suffix)) << suffix;
      EXPECT_EQ(modeOf(path + suffix), fs::perms::owner_read | fs::perms::owner_write) << suffix;
    }
  }
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
  auto reopened = open();
  ASSERT_TRUE(reopened);
  EXPECT_EQ(modeOf(path), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(count(*reopened, "items"), 1);
}

TEST_F(TLWSqliteStoreTest, FileThatIsNotSqliteIsReplacedAndStoreKeepsWorking) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  storage_test::writeBytes(path, std::string(8192, 'x') + "definitely not a database");
  ASSERT_NO_FATAL_FAILURE(openStore());
  EXPECT_TRUE(store->ensureTableWithName("items", itemsColumns(), {}, &error));
  EXPECT_TRUE(store->upsertRecord({{"name", "a"}, {"count", 1}}, "items", &error));
  EXPECT_EQ(count(*store, "items"), 1);
  EXPECT_NE(storage_test::readBytes(path).substr(0, 15), std::string(15, 'x'));
}

TEST_F(TLWSqliteStoreTest, TruncatedDatabaseIsDeletedAndRecreatedEmpty) {
  {
    auto store = open();
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->ensureTableWithName("items", itemsColumns(), {}, nullptr));
    ASSERT_TRUE(store->performTransactionWithError(nullptr, [&] {
      for (int i = 0; i < 3000; ++i) {
        if (!store->upsertRecord({{"name", "item-" + std::to_string(i) + std::string(100, 'p')}, {"count", i}},
                                 "items", nullptr)) {
          return false;
        }
      }
      return true;
    }));
    // Move everything into the main file so the truncation hits real pages.
    ASSERT_EQ(sqlite3_wal_checkpoint_v2(store->sqliteHandle(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr),
              SQLITE_OK);
  }
  auto size = std::filesystem::file_size(path);
  ASSERT_GT(size, 100000u);
  std::filesystem::resize_file(path, size / 2);
  ASSERT_NO_FATAL_FAILURE(openStore());
  auto exists = store->tableExists("items", &error);
  ASSERT_TRUE(exists);
  EXPECT_FALSE(*exists);
  ASSERT_TRUE(store->ensureTableWithName("items", itemsColumns(), {}, &error));
  EXPECT_TRUE(store->upsertRecord({{"name", "fresh"}, {"count", 1}}, "items", &error));
  EXPECT_EQ(count(*store, "items"), 1);
}

TEST_F(TLWSqliteStoreTest, DirectoryInPlaceOfFileIsRemovedAndReplaced) {
  std::filesystem::create_directories(path + "/nested");
  storage_test::writeBytes(path + "/nested/file", "x");
  ASSERT_NO_FATAL_FAILURE(openStore());
  EXPECT_FALSE(std::filesystem::is_directory(path));
  EXPECT_TRUE(store->ensureTableWithName("items", itemsColumns(), {}, &error));
  EXPECT_TRUE(store->upsertRecord({{"name", "a"}, {"count", 1}}, "items", &error));
}

TEST_F(TLWSqliteStoreTest, CloseAndDeleteRemovesLogCompanionsAndMissingFileIsSuccess) {
  ASSERT_NO_FATAL_FAILURE(openStore());
  ASSERT_TRUE(store->ensureTableWithName("items", itemsColumns(), {}, nullptr));
  ASSERT_TRUE(store->upsertRecord({{"name", "a"}, {"count", 1}}, "items", nullptr));
  EXPECT_TRUE(std::filesystem::exists(path + "-wal"));
  EXPECT_TRUE(store->closeAndDeleteDatabase());
  EXPECT_FALSE(store->isOpen());
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_FALSE(std::filesystem::exists(path + "-wal"));
  EXPECT_FALSE(std::filesystem::exists(path + "-shm"));
  EXPECT_TRUE(store->closeAndDeleteDatabase());

  // Reopening after the delete starts from an empty file; the old rows do not come back
  // from a stale log.
  auto again = open();
  ASSERT_TRUE(again);
  EXPECT_FALSE(*again->tableExists("items", nullptr));
}

TEST_F(TLWSqliteStoreTest, ClosedStoreRefusesWithStateErrors) {
  ASSERT_NO_FATAL_FAILURE(openStore());
  store->closeDatabase();
  EXPECT_FALSE(store->validateDatabaseWithError(&error));
  EXPECT_EQ(error.code(), 2);
  EXPECT_EQ(error.localizedDescription(), "Validate database failed. Database not open.");
  EXPECT_FALSE(store->executeSQL("CREATE TABLE t (a INTEGER)", &error));
  EXPECT_EQ(error.localizedDescription(), "Execute SQL failed. Database not open.");
  EXPECT_FALSE(store->tableExists("t", &error));
  EXPECT_EQ(error.code(), 2);
  EXPECT_FALSE(store->lastErrorMessage());
  EXPECT_TRUE(captured.logged(34022));
  // Argument errors are reported before the state is looked at.
  EXPECT_FALSE(store->recordsForQuery("DELETE FROM t", {}, &error));
  EXPECT_EQ(error.code(), 1);
  EXPECT_EQ(error.localizedDescription(), "Received invalid select query");
}

// ----------------------------------------------------------------- tables and migration

TEST_F(TLWSqliteStoreTest, EnsureTableCreatesAddsOnColumnsAndChecksRequiredOnes) {
  ASSERT_NO_FATAL_FAILURE(openStore());
  ASSERT_TRUE(store->ensureTableWithName("items", itemsColumns(), {}, &error));
  ASSERT_TRUE(store->upsertRecord({{"name", "a"}, {"count", 4}}, "items", &error));
  ASSERT_TRUE(store->ensureTableWithName("items", itemsColumns(), {{"note", "TEXT"}, {"extra", "INTEGER"}}, &error));
  auto info = store->columnInfoForTableWithName("items", &error);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->at("note"), "TEXT");
  EXPECT_EQ(info->at("extra"), "INTEGER");
  EXPECT_EQ(count(*store, "items"), 1);

  TLWSqliteStore::ColumnInfo needsMore = itemsColumns();
  needsMore.emplace_back("required_later", "TEXT NOT NULL");
  EXPECT_FALSE(store->ensureTableWithName("items", needsMore, {}, &error));
  EXPECT_EQ(error.code(), 2);
  EXPECT_EQ(error.localizedDescription(), "Table is missing required columns");

  EXPECT_FALSE(store->ensureTableWithName("", itemsColumns(), {}, &error));
  EXPECT_EQ(error.localizedDescription(), "Received empty table name for ensure table");
  EXPECT_FALSE(store->ensureTableWithName("items", TLWSqliteStore::ColumnInfo{}, {}, &error));
  EXPECT_EQ(error.localizedDescription(), "Received empty elementary column info for ensure table");
}

TEST_F(TLWSqliteStoreTest, UnknownColumnsAreToleratedOnlyWhenNullable) {
  ASSERT_NO_FATAL_FAILURE(openStore());
  ASSERT_TRUE(store->executeSQL("CREATE TABLE loose (name TEXT NOT NULL, legacy BLOB)", &error));
  EXPECT_TRUE(store->ensureTableWithName("loose", {{"name", "TEXT NOT NULL"}}, {}, &error));
  ASSERT_TRUE(store->executeSQL("CREATE TABLE strict (name TEXT NOT NULL, legacy BLOB NOT NULL)", &error));
  EXPECT_FALSE(store->ensureTableWithName("strict", {{"name", "TEXT NOT NULL"}}, {}, &error));
  EXPECT_EQ(error.code(), 2);
  EXPECT_EQ(error.localizedDescription(), "Table contains unknown non-optional columns");
}

TEST_F(TLWSqliteStoreTest, PrimaryKeyConstraintEntryIsNotAColumn) {
  ASSERT_NO_FATAL_FAILURE(openStore());
  TLWSqliteStore::ColumnInfo filters = {{"audience_id", "INTEGER NOT NULL"},
                                        {"filter_id", "INTEGER NOT NULL"},
                                        {"PRIMARY KEY", "(audience_id, filter_id)"}};
  ASSERT_TRUE(store->ensureTableWithName("filters", filters, {}, &error)) << error.localizedDescription();
  auto columns = store->columnsForTableWithName("filters", &error);
  ASSERT_TRUE(columns);
  EXPECT_EQ(*columns, (std::vector<std::string>{"audience_id", "filter_id"}));
  ASSERT_TRUE(store->upsertRecord({{"audience_id", 1}, {"filter_id", 2}}, "filters", &error));
  ASSERT_TRUE(store->upsertRecord({{"audience_id", 1}, {"filter_id", 2}}, "filters", &error));
  EXPECT_EQ(count(*store, "filters"), 1);
}

TEST_F(TLWSqliteStoreTest, RetypedColumnRebuildsTableAndKeepsRows) {
  ASSERT_NO_FATAL_FAILURE(openStore());
  TLWSqliteStore::ColumnInfo before = {{"name", "TEXT NOT NULL"}, {"timestamp", "INTEGER NOT NULL"}};
  ASSERT_TRUE(store->ensureTableWithName("events", before, {{"is_realtime", "INTEGER"}}, &error));
  ASSERT_TRUE(store->upsertRecord({{"name", "a"}, {"timestamp", 10}, {"is_realtime", 1}}, "events", &error));
  ASSERT_TRUE(store->upsertRecord({{"name", "b"}, {"timestamp", 20}}, "events", &error));

  ASSERT_TRUE(store->ensureTableWithName("events", before, {{"is_realtime", "INTEGER"}},
                                         {{"timestamp", "REAL NOT NULL"}}, &error))
      << error.localizedDescription();
  auto info = store->columnInfoForTableWithName("events", &error);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->at("timestamp"), "REAL");
  EXPECT_FALSE(*store->tableExists("events_old", &error));
  auto rows = store->recordsForQuery("SELECT name, timestamp, is_realtime FROM events ORDER BY name", {}, &error);
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 2u);
  EXPECT_EQ(rows->at(0).get("timestamp").kind(), Value::Kind::Double);
  EXPECT_EQ(rows->at(0).get("timestamp"), Value(10.0));
  EXPECT_EQ(rows->at(0).get("is_realtime"), Value(1));
  EXPECT_TRUE(rows->at(1).get("is_realtime").isNull());

  // Already in the wanted shape: nothing to do, rows stay.
  ASSERT_TRUE(store->ensureTableWithName("events", before, {{"is_realtime", "INTEGER"}},
                                         {{"timestamp", "REAL NOT NULL"}}, &error));
  EXPECT_EQ(count(*store, "events"), 2);
}

TEST_F(TLWSqliteStoreTest, NewTableIsCreatedWithTheModifiedDefinitions) {
  ASSERT_NO_FATAL_FAILURE(openStore());
  auto version = [&] { return store->numberForQuery("PRAGMA schema_version", {}, nullptr)->int64Value(); };
  const auto start = version();
  TLWSqliteStore::ColumnInfo columns = {{"name", "TEXT NOT NULL"}, {"timestamp", "INTEGER NOT NULL"}};
  ASSERT_TRUE(store->ensureTableWithName("events", columns, {{"flag", "INTEGER"}},
                                         {{"timestamp", "REAL NOT NULL"}, {"flag", "REAL"}}, &error))
      << error.localizedDescription();
  EXPECT_EQ(version(), *start + 2);  // CREATE TABLE and ADD COLUMN, no rebuild afterwards
  auto info = store->columnInfoForTableWithName("events", &error);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->at("timestamp"), "REAL");
  EXPECT_EQ(info->at("flag"), "REAL");
}

TEST_F(TLWSqliteStoreTest, RebuildCopiesByNameDespiteExtraAndReorderedColumns) {
  ASSERT_NO_FATAL_FAILURE(openStore());
  // An older layout: columns in another order plus a tolerated extra column.
  ASSERT_TRUE(store->executeSQL(
      "CREATE TABLE raw (data BLOB NOT NULL, legacy TEXT, timestamp INTEGER NOT NULL, name TEXT NOT NULL)", &error));
  ASSERT_TRUE(store->upsertRecord(
      {{"data", Value::data(std::string("\x01\x02", 2))}, {"legacy", "old"}, {"timestamp", 5}, {"name", "n"}}, "raw",
      &error));
  TLWSqliteStore::ColumnInfo columns = {
      {"name", "TEXT NOT NULL"}, {"timestamp", "INTEGER NOT NULL"}, {"data", "BLOB NOT NULL"}};
  ASSERT_TRUE(store->ensureTableWithName("raw", columns, {}, {{"timestamp", "REAL NOT NULL"}}, &error))
      << error.localizedDescription();
  auto rows = store->recordsForQuery("SELECT * FROM raw", {}, &error);
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 1u);
  EXPECT_EQ(rows->at(0).get("name"), Value("n"));
  EXPECT_EQ(rows->at(0).get("timestamp"), Value(5.0));
  EXPECT_EQ(rows->at(0).get("data"), Value::data(std::string("\x01\x02", 2)));
  EXPECT_FALSE(rows->at(0).contains("legacy"));
}

TEST_F(TLWSqliteStoreTest, RenameCopyAndDropCheckTheirArguments) {
  ASSERT_NO_FATAL_FAILURE(openStore());
  EXPECT_FALSE(store->renameTable("a", "a", &error));
  EXPECT_EQ(error.localizedDescription(), "Received duplicate name for rename table");
  EXPECT_FALSE(store->copyContentsFromTable("a", "", &error));
  EXPECT_EQ(error.localizedDescription(), "Received empty destination name for copy table");
  EXPECT_FALSE(store->dropTableWithName("", &error));
  EXPECT_EQ(error.code(), 1);
  EXPECT_FALSE(store->dropTableWithName("missing", &error));
  EXPECT_EQ(error.code(), 3);
  EXPECT_EQ(error.monitorContext().value_or("").rfind("prepare statement,1,A,", 0), 0u)
      << error.monitorContext().value_or("");
}

// ----------------------------------------------------------------- records and queries

TEST_F(TLWSqliteStoreTest, ValuesRoundTripWithTheirKinds) {
  ASSERT_NO_FATAL_FAILURE(openStore());
  ASSERT_TRUE(store->executeSQL("CREATE TABLE v (k TEXT PRIMARY KEY, x BLOB)", &error));
  std::string withNul("a\0b", 3);
  std::vector<std::pair<std::string, Value>> cases = {
      {"int", Value(static_cast<long long>(9007199254740993LL))},
      {"double", Value(1.5)},
      {"bool", Value(true)},
      {"text", Value(withNul)},
      {"blob", Value::data(std::string("\x00\xff", 2))},
      {"emptyblob", Value::data(std::string())},
      {"null", Value()},
  };
  for (const auto& [k, v] : cases) ASSERT_TRUE(store->upsertRecord({{"k", k}, {"x", v}}, "v", &error)) << k;
  for (const auto& [k, v] : cases) {
    auto rows = store->recordsForQuery("SELECT x FROM v WHERE k = ?", {Value(k)}, &error);
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 1u);
    const Value& got = rows->at(0).get("x");
    if (k == "bool") {
      EXPECT_EQ(got.kind(), Value::Kind::Int);
      EXPECT_EQ(got.int64Value(), 1);
    } else {
      EXPECT_EQ(got.kind(), v.kind()) << k;
      EXPECT_EQ(got, v) << k;
    }
  }
  // An empty blob is still a blob, not NULL.
  EXPECT_EQ(*store->numberForQuery("SELECT count(1) FROM v WHERE x IS NULL", {}, &error), Value(1));

  EXPECT_FALSE(store->upsertRecord({{"k", "arr"}, {"x", Value::array({1, 2})}}, "v", &error));
  EXPECT_TRUE(captured.logged(34020));
  EXPECT_EQ(*store->rowCountForTableWithName("v", "k", Value("arr"), &error), 0);
}

TEST_F(TLWSqliteStoreTest, UpdateIncreaseAndDeleteChangeExactlyTheMatchingRows) {
  ASSERT_NO_FATAL_FAILURE(openStore());
  ASSERT_TRUE(store->ensureTableWithName("items", itemsColumns(), {{"label", "TEXT"}}, &error));
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(store->upsertRecord({{"name", "n" + std::to_string(i)}, {"count", i}}, "items", &error));
  }
  ASSERT_TRUE(store->updateRecord({{"count", 40}, {"label", "x"}}, "items", "name", Value("n4"), &error));
  ASSERT_TRUE(store->increaseColumn("count", 3, "items", "name IN (?, ?)", {Value("n1"), Value("n2")}, &error));
  auto rows = store->recordsForQuery("SELECT name, count, label FROM items ORDER BY name", {}, &error);
  ASSERT_TRUE(rows);
  std::vector<std::int64_t> counts;
  for (const auto& r : *rows) counts.push_back(*r.get("count").int64Value());
  EXPECT_EQ(counts, (std::vector<std::int64_t>{0, 4, 5, 3, 40}));
  EXPECT_EQ(rows->at(4).get("label"), Value("x"));

  EXPECT_FALSE(store->increaseColumn("label", 1, "items", "1", {}, &error));
  EXPECT_EQ(error.code(), 1);
  EXPECT_EQ(error.localizedDescription(), "Column type is not integer.");
  EXPECT_FALSE(store->increaseColumn("nope", 1, "items", "1", {}, &error));
  EXPECT_EQ(error.localizedDescription(), "Invalid column or table name");

  EXPECT_TRUE(store->updateAllRecordsInTableWithName("items", "label", Value("all"), &error));
  EXPECT_EQ(*store->rowCountForTableWithName("items", "label", Value("all"), &error), 5);

  EXPECT_EQ(store->deleteRecordsFromTableWithName("items", "count > ?", {Value(4)}, &error), 2);
  EXPECT_EQ(store->deleteRecordsFromTableWithName("items", "count > ?", {Value(4)}, &error), 0);
  EXPECT_TRUE(store->deleteRecordFromTableWithName("items", "name", Value("n0"), &error));
  EXPECT_EQ(count(*store, "items"), 2);
  EXPECT_TRUE(store->deleteAllRecordsFromTableWithName("items", &error));
  EXPECT_EQ(count(*store, "items"), 0);

  EXPECT_FALSE(store->updateRecord({{"count", Value::array({})}}, "items", "name", Value("n1"), &error));
  EXPECT_EQ(error.code(), 1);
  EXPECT_EQ(error.localizedDescription(), "Failed to bind parameter of unexpected type to update statement");
}

TEST_F(TLWSqliteStoreTest, PositionalReadsAndCountedWritesFollowTheSameRules) {
  ASSERT_NO_FATAL_FAILURE(openStore());
  ASSERT_TRUE(store->ensureTableWithName("items", itemsColumns(), {{"label", "TEXT"}, {"blob", "BLOB"}}, &error));
  const std::string insert = "INSERT INTO items (name, count, label, blob) VALUES (?, ?, ?, ?)";
  EXPECT_EQ(store->executeWriteStatement(insert, {Value("a"), Value(1), Value(), Value::data("xy")}, &error), 1);
  EXPECT_EQ(store->executeWriteStatement(insert, {Value("b"), Value(2.5), Value("B"), Value::data("")}, &error), 1);
  // A constraint failure is an SQLite error and leaves the cached statement usable.
  EXPECT_FALSE(store->executeWriteStatement(insert, {Value("a"), Value(9), Value(), Value()}, &error));
  EXPECT_EQ(error.code(), TLWSqliteStore::kErrorCodeSqliteFailure);
  EXPECT_EQ(store->executeWriteStatement(insert, {Value("c"), Value(3), Value(), Value()}, &error), 1);
  EXPECT_FALSE(store->executeWriteStatement(insert, {Value("d"), Value::array({}), Value(), Value()}, &error));
  EXPECT_EQ(error.code(), TLWSqliteStore::kErrorCodeInvalidArgument);
  EXPECT_EQ(count(*store, "items"), 3);

  // Columns come back in the query's order with their kinds, NULL and empty blobs included.
  auto rows = store->valueRowsForQuery("SELECT count, name, label, blob FROM items WHERE name <> ? ORDER BY name",
                                       {Value("c")}, &error);
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 2u);
  EXPECT_EQ((*rows)[0], (platform::Array{Value(1), Value("a"), Value(), Value::data("xy")}));
  EXPECT_EQ((*rows)[1], (platform::Array{Value(2.5), Value("b"), Value("B"), Value::data("")}));
  EXPECT_FALSE(store->valueRowsForQuery("DELETE FROM items", {}, &error));
  EXPECT_EQ(error.localizedDescription(), "Received invalid select query");
  EXPECT_EQ(count(*store, "items"), 3);

  // The number changed, zero for an update that matched nothing.
  const std::string bump = "UPDATE items SET count = count + 1 WHERE name >= ?";
  EXPECT_EQ(store->executeWriteStatement(bump, {Value("b")}, &error), 2);
  EXPECT_EQ(store->executeWriteStatement(bump, {Value("z")}, &error), 0);
  store->closeDatabase();
  EXPECT_FALSE(store->executeWriteStatement(bump, {Value("a")}, &error));
  EXPECT_EQ(error.code(), TLWSqliteStore::kErrorCodeInvalidState);
  EXPECT_FALSE(store->valueRowsForQuery("SELECT 1", {}, &error));
  EXPECT_EQ(error.code(), TLWSqliteStore::kErrorCodeInvalidState);
}

TEST_F(TLWSqliteStoreTest, QueryArgumentAndResultRules) {
  ASSERT_NO_FATAL_FAILURE(openStore());
  ASSERT_TRUE(store->ensureTableWithName("items", itemsColumns(), {}, &error));

  EXPECT_FALSE(store->statementForQuery("SELECT * FROM items WHERE name = ?", {}, &error));
  EXPECT_EQ(error.code(), 1);
  EXPECT_EQ(error.localizedDescription(), "Received empty parameters");

  EXPECT_FALSE(store->executeSQL("DELETE FROM items; DROP TABLE items", &error));
  EXPECT_EQ(error.code(), 1);
  EXPECT_EQ(error.localizedDescription(), "Query contained more than one SQL statement.");
  EXPECT_TRUE(*store->tableExists("items", &error));

  EXPECT_FALSE(store->recordsForQuery("  update items set count = 1", {}, &error));
  EXPECT_EQ(error.code(), 1);
  EXPECT_TRUE(store->recordsForQuery("  SeLeCt * FROM items", {}, &error));

  TLWError none;
  auto max = store->numberForQuery("SELECT MAX(count) FROM items", {}, &none);
  EXPECT_FALSE(max);
  EXPECT_EQ(none.code(), 0);
  ASSERT_TRUE(store->upsertRecord({{"name", "a"}, {"count", 7}}, "items", &error));
  EXPECT_FALSE(store->numberForQuery("SELECT name FROM items", {}, &error));
  EXPECT_EQ(error.localizedDescription(), "Found result that was not numeric");
  EXPECT_EQ(store->numberForQuery("SELECT MAX(count) FROM items", {}, &error)->int64Value(), 7);
}

TEST_F(TLWSqliteStoreTest, FilterStopsReadingAndCachedStatementsAreReusable) {
  ASSERT_NO_FATAL_FAILURE(openStore());
  ASSERT_TRUE(store->ensureTableWithName("items", itemsColumns(), {}, &error));
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(store->upsertRecord({{"name", "n" + std::to_string(i)}, {"count", i}}, "items", &error));
  }
  const std::string sql = "SELECT * FROM items WHERE count >= ? ORDER BY count";
  std::size_t calls = 0;
  auto rows = store->recordsForQuery(sql, {Value(2)}, &error, [&](std::size_t index, const platform::Dictionary&) {
    ++calls;
    return index < 3;
  });
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->size(), 3u);
  EXPECT_EQ(calls, 4u);
  // The same cached statement, rebound, starts from the beginning with new values.
  auto again = store->recordsForQuery(sql, {Value(8)}, &error);
  ASSERT_TRUE(again);
  ASSERT_EQ(again->size(), 2u);
  EXPECT_EQ(again->at(0).get("count"), Value(8));

  auto none = store->recordsForQuery(sql, {Value(0)}, &error, [](std::size_t, const platform::Dictionary&) {
    return false;
  });
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
  EXPECT_TRUE(captured.logged(34005));
}

// ----------------------------------------------------------------- transactions

TEST_F(TLWSqliteStoreTest, TransactionCommitsOrRollsBackEverything) {
  ASSERT_NO_FATAL_FAILURE(openStore());
  ASSERT_TRUE(store->ensureTableWithName("items", itemsColumns(), {}, &error));
  ASSERT_TRUE(store->performTransactionWithError(&error, [&] {
    return store->upsertRecord({{"name", "a"}, {"count", 1}}, "items", nullptr) &&
           store->upsertRecord({{"name", "b"}, {"count", 2}}, "items", nullptr);
  }));
  EXPECT_EQ(count(*store, "items"), 2);

  EXPECT_FALSE(store->performTransactionWithError(&error, [&] {
    EXPECT_TRUE(store->upsertRecord({{"name", "c"}, {"count", 3}}, "items", nullptr));
    return false;
  }));
  EXPECT_EQ(error.code(), 3);
  EXPECT_EQ(error.localizedDescription(), "Transaction failed");
  EXPECT_EQ(count(*store, "items"), 2);

  EXPECT_THROW((void)store->performTransactionWithError(&error,
                                                        [&]() -> bool {
                                                          (void)store->upsertRecord({{"name", "d"}, {"count", 4}},
                                                                                    "items", nullptr);
                                                          throw std::runtime_error("boom");
                                                        }),
               std::runtime_error);
  EXPECT_EQ(count(*store, "items"), 2);
  // No transaction was left open by any of the above.
  EXPECT_TRUE(store->performTransactionWithError(&error, [] { return true; }));
  EXPECT_FALSE(store->performTransactionWithError(&error, nullptr));
  EXPECT_EQ(error.localizedDescription(), "Received nil transaction block");
}

TEST_F(TLWSqliteStoreTest, ExclusiveTransactionKeepsOtherConnectionsOut) {
  ASSERT_NO_FATAL_FAILURE(openStore());
  ASSERT_TRUE(store->ensureTableWithName("items", itemsColumns(), {}, nullptr));
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path.c_str(), &other, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  int otherResult = SQLITE_OK;
  ASSERT_TRUE(store->performTransactionWithError(nullptr, [&] {
    otherResult = sqlite3_exec(other, "INSERT INTO items (name, count) VALUES ('z', 1)", nullptr, nullptr, nullptr);
    return store->upsertRecord({{"name", "a"}, {"count", 1}}, "items", nullptr);
  }));
  EXPECT_EQ(otherResult, SQLITE_BUSY);
  sqlite3_close(other);
  EXPECT_EQ(count(*store, "items"), 1);
}

// ----------------------------------------------------------------- injected faults

class TLWSqliteStoreFaultTest : public TLWSqliteStoreTest {
 protected:
  ScopedSqliteFaultVfs faults;
};

TEST_F(TLWSqliteStoreFaultTest, DiskFullFailsWithContextLeavesNothingAndRecovers) {
  auto store = open();
  ASSERT_TRUE(store);
  TLWError error;
  ASSERT_TRUE(store->ensureTableWithName("items", itemsColumns(), {}, &error));
  ASSERT_TRUE(store->upsertRecord({{"name", "before"}, {"count", 1}}, "items", &error));

  faults->noSpace = true;
  EXPECT_FALSE(store->upsertRecord({{"name", "single"}, {"count", 2}}, "items", &error));
  EXPECT_EQ(error.code(), 3);
  EXPECT_EQ(error.monitorContext().value_or("").rfind("execute statement,13,A,", 0), 0u)
      << error.monitorContext().value_or("");

  EXPECT_FALSE(store->performTransactionWithError(&error, [&] {
    for (int i = 0; i < 200; ++i) {
      if (!store->upsertRecord({{"name", "batch" + std::to_string(i) + std::string(500, 'q')}, {"count", i}}, "items",
                               nullptr)) {
        return false;
      }
    }
    return true;
  }));
  EXPECT_EQ(error.code(), 3);
  EXPECT_TRUE(error.monitorContext().has_value());
  EXPECT_GT(faults->faultsHit.load(), 0);

  faults->noSpace = false;
  EXPECT_EQ(count(*store, "items"), 1);
  ASSERT_TRUE(store->performTransactionWithError(&error, [&] {
    return store->upsertRecord({{"name", "after"}, {"count", 3}}, "items", nullptr);
  })) << error.localizedDescription();
  EXPECT_EQ(count(*store, "items"), 2);

  // What is on disk agrees once the store is reopened.
  store.reset();
  auto reopened = open();
  ASSERT_TRUE(reopened);
  EXPECT_EQ(count(*reopened, "items"), 2);
}

TEST_F(TLWSqliteStoreFaultTest, WriteErrorAtCommitRollsBackAndNextTransactionWorks) {
  auto store = open();
  ASSERT_TRUE(store);
  TLWError error;
  ASSERT_TRUE(store->ensureTableWithName("items", itemsColumns(), {}, &error));
  ASSERT_TRUE(store->performTransactionWithError(&error, [&] {
    faults->failWrite = true;  // the log is written only at commit
    return store->upsertRecord({{"name", "a"}, {"count", 1}}, "items", nullptr) &&
           store->upsertRecord({{"name", "b"}, {"count", 2}}, "items", nullptr);
  }) == false);
  EXPECT_EQ(error.code(), 3);
  EXPECT_EQ(error.localizedDescription(), "Failed to end transaction");
  EXPECT_EQ(error.monitorContext().value_or("").rfind("end transaction,", 0), 0u);
  faults->failWrite = false;
  EXPECT_EQ(count(*store, "items"), 0);
  EXPECT_TRUE(store->performTransactionWithError(&error, [&] {
    return store->upsertRecord({{"name", "c"}, {"count", 3}}, "items", nullptr);
  })) << error.localizedDescription();
  EXPECT_EQ(count(*store, "items"), 1);
}

TEST_F(TLWSqliteStoreFaultTest, ReadErrorAtOpenKeepsTheFile) {
  {
    auto store = open();
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->ensureTableWithName("items", itemsColumns(), {}, nullptr));
    ASSERT_TRUE(store->upsertRecord({{"name", "kept"}, {"count", 1}}, "items", nullptr));
  }
  faults->failRead = true;
  TLWError error;
  EXPECT_FALSE(open(&error));
  EXPECT_EQ(error.code(), 3);
  faults->failRead = false;
  auto store = open(&error);
  ASSERT_TRUE(store) << error.localizedDescription();
  EXPECT_EQ(count(*store, "items"), 1);
}

}  // namespace
