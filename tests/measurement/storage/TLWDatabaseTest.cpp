#include "measurement/storage/TLWDatabase.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>

#include "measurement/model/TLWLimits.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "measurement/proto/TLWPBMeasurementConfig.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "measurement/storage/TLWUserDefaults.h"
#include "platform/Gzip.h"
#include "tests/measurement/storage/SqliteFaultVfs.h"
#include "tests/measurement/storage/StorageTestSupport.h"

using platform::Value;
using storage_test::CapturedMonitor;
using storage_test::TempDir;
using storage_test::TestStorageEnvironment;

namespace {

std::shared_ptr<TLWEvent> makeEvent(const std::string& name, double timestamp, platform::Dictionary params = {}) {
  return TLWEvent::initWithOrigin("app", false, name, timestamp, 0, params);
}

std::shared_ptr<TLWPBMeasurementBundle> makeBundle(const std::string& appID, std::int64_t endMs,
                                                   std::size_t serializedSize = 0) {
  auto bundle = TLWPBMeasurementBundle::initWithMessageInfo();
  bundle->SetString(TLWPBMeasurementBundle::kAppId, appID);
  bundle->SetInt64(TLWPBMeasurementBundle::kEndTimestamp, endMs);
  if (serializedSize) {
    // Pad with a string field until the serialised bundle has exactly the wanted size.
    for (std::size_t pad = 0; pad < serializedSize; ++pad) {
      bundle->SetString(TLWPBMeasurementBundle::kMonitoringData, std::string(pad, 'p'));
      if (bundle->protoBuffer()->size() == serializedSize) break;
    }
  }
  return bundle;
}

// Caps the stored events for one test; the default limits come back even when it stops early.
struct ScopedEventCap {
  explicit ScopedEventCap(std::int64_t cap) {
    struct Limits : TLWLimits {
      explicit Limits(std::int64_t c) : cap(c) {}
      std::int64_t maxEventsStored() const override { return cap; }
      std::int64_t cap;
    };
    TLWLimits::setCurrent(std::make_shared<Limits>(cap));
  }
  ~ScopedEventCap() { TLWLimits::setCurrent(nullptr); }
};

class TLWDatabaseTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::shared_ptr<TestStorageEnvironment> env = std::make_shared<TestStorageEnvironment>(dir.path());
  CapturedMonitor captured{env};
  std::shared_ptr<TLWPersistedConfig> config = TLWPersistedConfig::initWithSuiteName(
      "com.vorlix.zel.measurement", false, env, TLWUserDefaults::initWithSuiteName("", env), captured.monitor);
  std::string path = dir.path() + "/Library/Application Support/Vorlix/Measurement/vorlix-tally-wise.sql";

  std::unique_ptr<TLWDatabase> db;
  TLWError error;

  std::unique_ptr<TLWDatabase> open(TLWError* error = nullptr) {
    return TLWDatabase::initWithDatabaseName(kTLWDatabaseFileName, config, error, env, captured.monitor);
  }
  void openDb() {
    db = open(&error);
    ASSERT_TRUE(db) << error.localizedDescription();
  }

  // Runs SQL on the file with a connection of its own.
  void rawExec(const std::string& sql) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* message = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << (message ? message : "");
    sqlite3_free(message);
    sqlite3_close(db);
  }

  std::int64_t count(TLWDatabase& db, const std::string& table) {
    return db.sqliteStore()->rowCountForTableWithName(table, nullptr).value_or(-1);
  }

  static std::vector<std::string> storedNames(TLWDatabase& db) {
    std::vector<std::string> out;
    auto rows = db.sqliteStore()->recordsForQuery("SELECT name FROM raw_events ORDER BY rowid", {}, nullptr);
    for (const auto& row : rows.value_or(TLWSqliteStore::Records{})) out.push_back(row.get("name").stringOr());
    return out;
  }

  // An event as the pipeline stores it: counters, aggregate and row in one transaction.
  static bool writeCountedEvent(TLWDatabase& db, const std::string& name, bool failMidway = false) {
    return db.performTransaction([&] {
      auto counts = db.dailyCounts(nullptr);
      if (!counts) return false;
      counts->incrementCountsForCurrentDay(counts->day(), true, false);
      if (!db.updateDailyCounts(*counts, nullptr) || failMidway) return false;
      auto agg = TLWEventAggregates::initWithName(name, 1, 1, 1, 1.0);
      return db.updateEventAggregates(agg.get(), nullptr) &&
             db.insertRawEvent(makeEvent(name, 1700000000).get(), 1, false, nullptr);
    });
  }
};

// ----------------------------------------------------------------- schema

TEST_F(TLWDatabaseTest, FirstOpenCreatesEveryTableAndAMetadataRowThatReopenKeepsAndResetClears) {
  ASSERT_NO_FATAL_FAILURE(openDb());
  EXPECT_EQ(db->databasePath(), path);
  for (const char* table : {"app_metadata", "raw_events_metadata", "raw_events", "events", "queue", "user_attributes",
                            "event_filters", "property_filters", "audience_filter_values", "purchase_transactions",
                            "subscriptions", "conditional_properties", "main_event_params"}) {
    EXPECT_TRUE(db->sqliteStore()->tableExists(table, nullptr).value_or(false)) << table;
  }
  EXPECT_EQ(db->sqliteStore()->columnInfoForTableWithName("raw_events", nullptr)->at("timestamp"), "REAL");
  auto metadata = db->queryAppMetadata(&error);
  ASSERT_TRUE(metadata);
  EXPECT_EQ(metadata->lastBundleIndex(), 0);
  EXPECT_EQ(metadata->lastBundleStartTimestamp(), 0.0);
  EXPECT_EQ(metadata->lastBundleEndTimestamp(), 0.0);
  EXPECT_EQ(count(*db, "app_metadata"), 1);

  auto daily = db->dailyCounts(&error);
  ASSERT_TRUE(daily);
  const double offset = config->midnightOffset();
  EXPECT_EQ(daily->day(), static_cast<std::int32_t>(std::floor((env->settableClock().now() - offset) / 86400)));
  EXPECT_EQ(daily->allEventsCount() + daily->conversionsCount() + daily->publicEventsCount() +
                daily->errorEventsCount() + daily->realtimeCount(),
            0);

  metadata->incrementLastBundleIndex(captured.monitor);
  metadata->setLastBundleEndTimestamp(5.5);
  ASSERT_TRUE(db->updateAppMetadata(*metadata, &error));
  db.reset();
  ASSERT_NO_FATAL_FAILURE(openDb());
  EXPECT_EQ(count(*db, "app_metadata"), 1);
  EXPECT_EQ(db->queryAppMetadata(&error)->lastBundleIndex(), 1);
  EXPECT_EQ(db->queryAppMetadata(&error)->lastBundleEndTimestamp(), 5.5);

  ASSERT_TRUE(db->insertRawEvent(makeEvent("x", 1).get(), 1, false, &error));
  ASSERT_TRUE(db->reset(&error)) << error.localizedDescription();
  EXPECT_EQ(count(*db, "raw_events"), 0);
  EXPECT_EQ(count(*db, "app_metadata"), 1);
  EXPECT_EQ(db->queryAppMetadata(&error)->lastBundleIndex(), 0);
}

TEST_F(TLWDatabaseTest, FreshDatabaseIsCreatedInItsFinalShapeWithoutARebuild) {
  ASSERT_NO_FATAL_FAILURE(openDb());
  // Every schema change bumps schema_version: thirteen CREATE TABLEs, twenty-one ADD
  // COLUMNs for the add-on columns and two CREATE INDEXes. A table created in an old shape and then rebuilt would
  // add a rename, a create, an add-on column and a drop.
  auto version = db->sqliteStore()->numberForQuery("PRAGMA schema_version", {}, nullptr);
  ASSERT_TRUE(version);
  EXPECT_EQ(version->int64Value(), 36);
  auto sql = db->sqliteStore()->recordsForQuery("SELECT sql FROM sqlite_master WHERE name = 'raw_events'", {}, nullptr);
  ASSERT_TRUE(sql && sql->size() == 1);
  EXPECT_NE(sql->front().get("sql").stringOr().find("timestamp REAL NOT NULL"), std::string::npos);
  db.reset();
  ASSERT_NO_FATAL_FAILURE(openDb());
  EXPECT_EQ(db->sqliteStore()->numberForQuery("PRAGMA schema_version", {}, nullptr)->int64Value(), 36);
}

TEST_F(TLWDatabaseTest, OldRawEventsLayoutIsRebuiltKeepingEveryRow) {
  auto event = makeEvent("lvl", 1700000000.25, {{"hero", "mage"}});
  auto message = event->protoEvent();
  message->ClearField(TLWPBEvent::kName);
  auto bytes = *message->protoBuffer();
  std::string hex;
  for (auto b : bytes) {
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02x", b);
    hex += buf;
  }
  // Integer time stamps, another column order and a legacy nullable column.
  rawExec("CREATE TABLE raw_events (data BLOB NOT NULL, legacy TEXT, metadata_fingerprint INTEGER NOT NULL, "
          "timestamp INTEGER NOT NULL, name TEXT NOT NULL);"
          "INSERT INTO raw_events VALUES (x'" + hex + "', 'x', 7, 1700000000, 'lvl');"
          "INSERT INTO raw_events VALUES (x'" + hex + "', NULL, 7, 1700000001, 'lvl');");
  ASSERT_NO_FATAL_FAILURE(openDb());
  EXPECT_EQ(db->sqliteStore()->columnInfoForTableWithName("raw_events", nullptr)->at("timestamp"), "REAL");
  auto events = db->rawEventsWithMetadataFingerprint(7, &error);
  ASSERT_TRUE(events) << error.localizedDescription();
  ASSERT_EQ(events->size(), 2u);
  EXPECT_EQ(events->at(0)->rawEvent()->timestamp(), 1700000000.0);
  EXPECT_EQ(events->at(1)->rawEvent()->parameters().at("hero"), TLWValue::initWithString("mage"));
  // The rebuild dropped the old table with its indexes; the schedule's queries must still
  // find theirs rather than walk every unsent event.
  auto indexes = db->sqliteStore()->recordsForQuery(
      "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = 'raw_events' ORDER BY name", {}, nullptr);
  ASSERT_TRUE(indexes);
  ASSERT_EQ(indexes->size(), 2u);
  EXPECT_EQ(indexes->at(0).get("name").stringOr(), "raw_events_realtime");
  EXPECT_EQ(indexes->at(1).get("name").stringOr(), "raw_events_timestamp");
}

TEST_F(TLWDatabaseTest, QueueGainsMissingAddOnColumnButMissingRequiredColumnStartsOver) {
  rawExec("CREATE TABLE queue (data BLOB NOT NULL, bundle_end_timestamp REAL NOT NULL);"
          "INSERT INTO queue VALUES (x'00', 1.0);");
  {
    auto db = open();
    ASSERT_TRUE(db);
    EXPECT_TRUE(db->sqliteStore()->columnInfoForTableWithName("queue", nullptr)->count("retry_count"));
    EXPECT_EQ(count(*db, "queue"), 1);
  }
  std::filesystem::remove(path);
  std::filesystem::remove(path + "-wal");
  std::filesystem::remove(path + "-shm");
  rawExec("CREATE TABLE queue (bundle_end_timestamp REAL NOT NULL);");
  EXPECT_FALSE(open(&error));
  EXPECT_TRUE(captured.logged(12002));
  EXPECT_FALSE(std::filesystem::exists(path));
  ASSERT_NO_FATAL_FAILURE(openDb());
  EXPECT_EQ(count(*db, "queue"), 0);
}

// ----------------------------------------------------------------- raw events

TEST_F(TLWDatabaseTest, RawEventsRoundTripUnderSharedMetadata) {
  ASSERT_NO_FATAL_FAILURE(openDb());
  auto metadata = makeBundle("1:1:ios:a", 0);
  metadata->SetString(TLWPBMeasurementBundle::kOsVersion, "17.2");
  ASSERT_TRUE(db->insertIfNotExistsRawEventMetadata(*metadata, &error));
  ASSERT_TRUE(db->insertIfNotExistsRawEventMetadata(*metadata, &error));
  EXPECT_EQ(count(*db, "raw_events_metadata"), 1);
  const std::int64_t fingerprint = TLWDatabase::fingerprintOfBytes(*metadata->protoBuffer());
  auto stored = db->queryRawEventsMetadataWithFingerprint(fingerprint, &error);
  ASSERT_TRUE(stored);
  EXPECT_TRUE(stored->isEqualMessage(*metadata));

  TLWValueArray items = {{{"item_id", TLWValue::initWithString("sku-1")}, {"quantity", TLWValue::initWithInt64(2)}}};
  auto purchase = TLWEvent::initWithOrigin("app", false, "purchase", 1700000000.5, 1699999999.25, platform::Dictionary{});
  ASSERT_TRUE(purchase);
  TLWParameters params = purchase->parameters();
  params.emplace("items", TLWValue::initWithArray(items));
  params.emplace("value", TLWValue::initWithDouble(1.5));
  params.emplace("count", TLWValue::initWithInt64(3));
  purchase = purchase->copyWithParameters(params);
  ASSERT_TRUE(purchase);
  ASSERT_TRUE(purchase->parameters().count("items"));
  ASSERT_TRUE(db->insertRawEvent(purchase.get(), fingerprint, true, &error));
  ASSERT_TRUE(db->insertRawEvent(makeEvent("_s", 1700000001).get(), fingerprint, false, &error));
  EXPECT_FALSE(db->insertRawEvent(nullptr, fingerprint, false, &error));
  EXPECT_EQ(error.localizedDescription(), "Received empty event for inserting in the database");

  EXPECT_EQ(db->nextMetadataFingerprintToProcess(&error), fingerprint);
  EXPECT_EQ(db->containsRealtimeRawEventsWithError(&error), true);
  EXPECT_EQ(db->isRawEventsTableEmpty(&error), false);
  EXPECT_EQ(db->queryLatestRawEventTime(&error), 1700000001.0);

  auto events = db->rawEventsWithMetadataFingerprint(fingerprint, &error);
  ASSERT_TRUE(events);
  ASSERT_EQ(events->size(), 2u);
  const auto& first = *events->at(0)->rawEvent();
  EXPECT_EQ(first.name(), "purchase");
  EXPECT_EQ(first.origin(), "app");
  EXPECT_EQ(first.timestamp(), 1700000000.5);
  EXPECT_EQ(first.previousTimestamp(), 1699999999.25);
  EXPECT_EQ(first.parameters().at("value"), TLWValue::initWithDouble(1.5));
  EXPECT_EQ(first.parameters().at("count"), TLWValue::initWithInt64(3));
  ASSERT_TRUE(first.parameters().at("items").arrayValue());
  EXPECT_EQ(*first.parameters().at("items").arrayValue(), items);
  EXPECT_EQ(events->at(0)->metadataFingerprint(), fingerprint);
  EXPECT_LT(events->at(0)->rowID(), events->at(1)->rowID());

  ASSERT_TRUE(db->deleteRawEventsWithMaxRowID(events->at(0)->rowID(), &error));
  EXPECT_EQ(count(*db, "raw_events"), 1);
  ASSERT_TRUE(db->deleteRawEventsWithMaxRowID(events->at(1)->rowID(), &error));
  ASSERT_TRUE(db->deleteUnusedRawEventsMetadata(&error));
  EXPECT_EQ(count(*db, "raw_events_metadata"), 0);
  EXPECT_EQ(db->nextMetadataFingerprintToProcess(&error), std::nullopt);
}

TEST_F(TLWDatabaseTest, UndecodableRawEventsAreSkippedAndTheRestStillReads) {
  ASSERT_NO_FATAL_FAILURE(openDb());
  ASSERT_TRUE(db->insertRawEvent(makeEvent("good", 1700000000).get(), 5, false, &error));
  // A payload without the origin parameter, and bytes that are not an event message.
  auto noOrigin = TLWPBEvent::initWithMessageInfo();
  auto param = TLWPBEventParam::initWithMessageInfo();
  param->SetString(TLWPBEventParam::kName, "x");
  param->SetInt64(TLWPBEventParam::kIntValue, 1);
  noOrigin->AddRepeatedMessage(TLWPBEvent::kParams, *param);
  auto noOriginBytes = *noOrigin->protoBuffer();
  ASSERT_TRUE(db->sqliteStore()->upsertRecord({{"name", "orphan"},
                                               {"timestamp", 1700000001.0},
                                               {"metadata_fingerprint", 5},
                                               {"data", Value::data(Value::Data(noOriginBytes.begin(), noOriginBytes.end()))}},
                                              "raw_events", &error));
  ASSERT_TRUE(db->sqliteStore()->upsertRecord(
      {{"name", "junk"}, {"timestamp", 1700000002.0}, {"metadata_fingerprint", 5}, {"data", Value::data("\xff\xff\xff")}},
      "raw_events", &error));
  ASSERT_TRUE(db->insertRawEvent(makeEvent("good2", 1700000003).get(), 5, false, &error));
  auto events = db->rawEventsWithMetadataFingerprint(5, &error);
  ASSERT_TRUE(events);
  ASSERT_EQ(events->size(), 2u);
  EXPECT_EQ(events->at(0)->rawEvent()->name(), "good");
  EXPECT_EQ(events->at(1)->rawEvent()->name(), "good2");
  EXPECT_TRUE(captured.logged(12021));

  TLWError rowError;
  platform::Dictionary missingOrigin{{"rowid", 1}, {"name", "n"}, {"timestamp", 1.0}, {"metadata_fingerprint", 5},
                                     {"data", Value::data(Value::Data(noOriginBytes.begin(), noOriginBytes.end()))}};
  EXPECT_FALSE(db->rawEventDataFromDictionary(missingOrigin, &rowError));
  EXPECT_EQ(rowError.code(), 2);
  EXPECT_EQ(rowError.localizedDescription(), "Cannot create an event from database. Missing origin parameter");
}

TEST_F(TLWDatabaseTest, StaleAndOverLimitRawEventsAreTrimmed) {
  ASSERT_NO_FATAL_FAILURE(openDb());
  const double now = env->settableClock().now();
  ASSERT_TRUE(db->insertRawEvent(makeEvent("old", now - 3000000).get(), 1, false, &error));
  ASSERT_TRUE(db->insertRawEvent(makeEvent("future", now + 3000000).get(), 2, false, &error));
  ASSERT_TRUE(db->insertRawEvent(makeEvent("fresh", now - 10).get(), 3, false, &error));
  ASSERT_TRUE(db->sqliteStore()->upsertRecord({{"metadata_fingerprint", 1}, {"metadata", Value::data("m")}},
                                              "raw_events_metadata", &error));
  EXPECT_FALSE(db->deleteStaleRawEventsDataOlderThanMaxAge(-1, &error));
  EXPECT_EQ(error.code(), 1);
  ASSERT_TRUE(db->deleteStaleRawEventsDataOlderThanMaxAge(2419200, &error));
  EXPECT_EQ(count(*db, "raw_events"), 1);
  EXPECT_EQ(count(*db, "raw_events_metadata"), 0);

  ScopedEventCap cap(10);
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(db->insertRawEvent(makeEvent("e" + std::to_string(i), now).get(), 3, false, &error));
  auto deleted = db->deleteRawEventsOverAbsoluteLimit(&error);
  EXPECT_EQ(deleted, 12);
  auto names = [&] { return storedNames(*db); };
  const std::vector<std::string> atLimit = {"e11", "e12", "e13", "e14", "e15", "e16", "e17", "e18", "e19"};
  EXPECT_EQ(names(), atLimit);
  // At the limit nothing goes; one past it, exactly the oldest row goes.
  EXPECT_EQ(db->deleteRawEventsOverAbsoluteLimit(&error), 0);
  EXPECT_EQ(names(), atLimit);
  ASSERT_TRUE(db->insertRawEvent(makeEvent("e20", now).get(), 3, false, &error));
  EXPECT_EQ(db->deleteRawEventsOverAbsoluteLimit(&error), 1);
  EXPECT_EQ(names(), (std::vector<std::string>{"e12", "e13", "e14", "e15", "e16", "e17", "e18", "e19", "e20"}));
  // Rows deleted from the middle leave the rowids wider apart than the row count: still
  // nothing over the limit, then the oldest beyond it once the count exceeds it again.
  ASSERT_TRUE(db->sqliteStore()->deleteRecordsFromTableWithName("raw_events", "name IN ('e14', 'e15')", {}, &error));
  EXPECT_EQ(db->deleteRawEventsOverAbsoluteLimit(&error), 0);
  EXPECT_EQ(names(), (std::vector<std::string>{"e12", "e13", "e16", "e17", "e18", "e19", "e20"}));
  for (int i = 21; i <= 24; ++i) {
    ASSERT_TRUE(db->insertRawEvent(makeEvent("e" + std::to_string(i), now).get(), 3, false, &error));
  }
  EXPECT_EQ(db->deleteRawEventsOverAbsoluteLimit(&error), 2);
  EXPECT_EQ(names(), (std::vector<std::string>{"e16", "e17", "e18", "e19", "e20", "e21", "e22", "e23", "e24"}));
}

TEST_F(TLWDatabaseTest, WriteGroupKeepsEachTransactionAtomicAndHandsOverOnlyWhatItCommitted) {
  ScopedSqliteFaultVfs faults;
  auto db = open();
  ASSERT_TRUE(db);
  std::vector<std::string> heard;
  auto writeEvent = [&](const std::string& name, bool failMidway) {
    const bool ok = writeCountedEvent(*db, name, failMidway);
    db->runAfterCommit([&heard, name] { heard.push_back(name); });
    return ok;
  };
  auto names = [&] { return storedNames(*db); };

  ASSERT_TRUE(db->beginWriteGroup());
  EXPECT_TRUE(writeEvent("a", false));
  EXPECT_FALSE(writeEvent("b", true));
  EXPECT_TRUE(writeEvent("c", false));
  // Later transactions read what earlier ones wrote; the failed one left nothing, and the
  // kept row count follows the savepoints.
  EXPECT_EQ(db->dailyCounts(nullptr)->allEventsCount(), 2);
  EXPECT_EQ(db->rawEventRowCount(), 2);
  EXPECT_TRUE(heard.empty());
  ASSERT_TRUE(db->commitWriteGroup());
  EXPECT_EQ(heard, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(names(), (std::vector<std::string>{"a", "c"}));

  // A group whose commit fails stores nothing and hands nothing over.
  heard.clear();
  ASSERT_TRUE(db->beginWriteGroup());
  EXPECT_TRUE(writeEvent("d", false));
  faults->noSpace = true;
  EXPECT_FALSE(db->commitWriteGroup());
  faults->noSpace = false;
  EXPECT_TRUE(captured.logged(12056));
  EXPECT_TRUE(heard.empty());
  EXPECT_EQ(names(), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(db->rawEventRowCount(), 2);
  EXPECT_EQ(db->dailyCounts(nullptr)->allEventsCount(), 2);
  ASSERT_TRUE(db->beginWriteGroup());
  EXPECT_TRUE(writeEvent("e", false));
  ASSERT_TRUE(db->commitWriteGroup());
  EXPECT_EQ(heard, (std::vector<std::string>{"e"}));
  EXPECT_EQ(names(), (std::vector<std::string>{"a", "c", "e"}));
}

// Each group trims to the cap at its end from the kept row count; whatever undid rows the
// count saw, or removed rows it never saw, must not make a trim drop an event there was
// room for or keep one too many.
TEST_F(TLWDatabaseTest, TrimAtTheCapKeepsExactlyTheNewestRowsWhateverHappenedToTheCount) {
  ASSERT_NO_FATAL_FAILURE(openDb());
  ScopedEventCap cap(6);
  std::vector<std::string> stored;  // what the table must hold, oldest first
  int next = 0;
  auto insert = [&](bool keep) {
    const std::string name = "e" + std::to_string(next++);
    const bool ok = db->performTransaction(
        [&] { return db->insertRawEvent(makeEvent(name, 1700000000).get(), 1, false, nullptr) && keep; });
    if (ok) stored.push_back(name);
  };
  auto sql = [&](const char* statement) { (void)db->sqliteStore()->executeSQL(statement, nullptr); };
  const struct {
    const char* what;
    std::function<void()> inGroup;
    bool abandoned;
  } cases[] = {
      {"an abandoned group", [] {}, true},
      {"a plain group", [] {}, false},
      {"a savepoint rolled back", [&] { insert(false); }, false},
      {"a whole-table delete", [&] { sql("DELETE FROM raw_events"), stored.clear(); }, false},
      // The rows one misses and the other counts would cancel out in the totals.
      {"a whole-table delete elsewhere and a statement undone part way",
       [&] {
         sql("CREATE TEMP TABLE scratch (x)"), sql("INSERT INTO scratch VALUES (1)"), sql("DELETE FROM scratch");
         sql("INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data) VALUES "
             "('x', 1, 1, x'00'), (NULL, 1, 1, x'00')");
       },
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(db->beginWriteGroup());
    const auto before = stored;
    for (int i = 0; i < 4; ++i) insert(true);
    c.inGroup();
    insert(true);
    ASSERT_TRUE(db->deleteRawEventsOverAbsoluteLimit(nullptr, 0).has_value());
    if (c.abandoned) {
      db->abandonWriteGroup();
      stored = before;
    } else {
      EXPECT_TRUE(db->commitWriteGroup());
    }
    if (stored.size() > 6) stored.erase(stored.begin(), stored.end() - 6);
    EXPECT_EQ(storedNames(*db), stored);
    EXPECT_EQ(db->rawEventRowCount(), static_cast<std::int64_t>(stored.size()));
  }
}

// Events of one group share their metadata row without looking it up again; every way
// the row can vanish (the savepoint that stored it rolled back, a failed commit, unused
// metadata deleted) must make the next event store it again.
TEST_F(TLWDatabaseTest, EventsOfAGroupKeepTheirMetadataRowWhateverRemovedItBefore) {
  ScopedSqliteFaultVfs faults;
  auto db = open();
  ASSERT_TRUE(db);
  const auto bytes = *makeBundle("1:1:ios:a", 0)->protoBuffer();
  auto writeEvent = [&](const std::string& name, bool fail) {
    return db->performTransaction([&] {
      auto fingerprint = db->insertIfNotExistsRawEventMetadataBytes(bytes, nullptr);
      return fingerprint && !fail && db->insertRawEvent(makeEvent(name, 1700000000).get(), *fingerprint, false, nullptr);
    });
  };
  auto metadataOfEveryEventIsStored = [&] {
    return db->sqliteStore()
        ->recordsForQuery("SELECT count(*) AS n FROM raw_events WHERE metadata_fingerprint NOT IN "
                          "(SELECT metadata_fingerprint FROM raw_events_metadata)",
                          {}, nullptr)
        ->front()
        .get("n")
        .int64Value() == 0;
  };

  ASSERT_TRUE(db->beginWriteGroup());
  EXPECT_FALSE(writeEvent("stored_the_row_then_failed", true));
  EXPECT_TRUE(writeEvent("a", false));
  EXPECT_TRUE(writeEvent("b", false));
  ASSERT_TRUE(db->commitWriteGroup());
  EXPECT_EQ(count(*db, "raw_events"), 2);
  EXPECT_TRUE(metadataOfEveryEventIsStored());

  ASSERT_TRUE(db->sqliteStore()->executeWriteStatement("DELETE FROM raw_events", {}, nullptr).has_value());
  ASSERT_TRUE(db->deleteUnusedRawEventsMetadata(nullptr));
  ASSERT_EQ(count(*db, "raw_events_metadata"), 0);
  ASSERT_TRUE(db->beginWriteGroup());
  EXPECT_TRUE(writeEvent("c", false));
  faults->noSpace = true;
  EXPECT_FALSE(db->commitWriteGroup());
  faults->noSpace = false;
  ASSERT_TRUE(db->beginWriteGroup());
  EXPECT_TRUE(writeEvent("d", false));
  ASSERT_TRUE(db->commitWriteGroup());
  EXPECT_EQ(count(*db, "raw_events"), 1);
  EXPECT_EQ(count(*db, "raw_events_metadata"), 1);
  EXPECT_TRUE(metadataOfEveryEventIsStored());
}

// ----------------------------------------------------------------- bundle queue

TEST_F(TLWDatabaseTest, BundleQueueHonoursSizeLimitsAndSkipsUndecodableRows) {
  ASSERT_NO_FATAL_FAILURE(openDb());
  const auto nowMs = static_cast<std::int64_t>(env->settableClock().now() * 1000);
  EXPECT_FALSE(db->insertBundle(*makeBundle("", nowMs), false, &error));
  EXPECT_EQ(error.localizedDescription(), "Failed to insert bundle without App ID");
  EXPECT_FALSE(db->insertBundle(*makeBundle("app", 0), false, &error));
  EXPECT_EQ(error.localizedDescription(), "Failed to insert bundle without valid timestamp");

  ASSERT_TRUE(db->insertBundle(*makeBundle("app", nowMs - 3000, 600), false, &error));
  ASSERT_TRUE(db->insertBundle(*makeBundle("app", nowMs - 2000, 300), true, &error));
  ASSERT_TRUE(db->insertBundle(*makeBundle("app", nowMs - 1000, 200), false, &error));
  // Queued bundles are stored compressed.
  auto raw = db->sqliteStore()->recordsForQuery("SELECT data FROM queue ORDER BY rowid LIMIT 1", {}, &error);
  ASSERT_TRUE(raw);
  const auto* gz = raw->front().get("data").dataBytes();
  ASSERT_TRUE(gz && gz->size() > 2);
  EXPECT_EQ((*gz)[0], 0x1f);
  EXPECT_EQ((*gz)[1], 0x8b);

  auto two = db->queryBundlesWithCountLimit(100, 1000, &error);
  ASSERT_TRUE(two);
  ASSERT_EQ(two->size(), 2u);
  EXPECT_EQ(two->at(0).first->protoBuffer()->size(), 600u);
  EXPECT_EQ(two->at(1).first->protoBuffer()->size(), 300u);
  EXPECT_EQ(db->containsRealtimeBundlesWithError(&error), true);

  // A row whose bytes no longer inflate is skipped; the others still read. With it at
  // the head of the queue, the first decodable bundle still goes even though it alone
  // is over the limit (600 of 500 bytes).
  ASSERT_TRUE(db->sqliteStore()->upsertRecord(
      {{"data", Value::data("not gzip at all")}, {"bundle_end_timestamp", 1.0}, {"retry_count", 0}}, "queue", &error));
  auto one = db->queryBundlesWithCountLimit(100, 500, &error);
  ASSERT_TRUE(one);
  ASSERT_EQ(one->size(), 1u);
  EXPECT_EQ(one->at(0).first->protoBuffer()->size(), 600u);
  auto all = db->queryBundlesWithCountLimit(100, 1 << 20, &error);
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), 3u);
  EXPECT_TRUE(captured.logged(12020));

  std::vector<std::int64_t> ids = {all->at(0).second, all->at(1).second};
  ASSERT_TRUE(db->incrementRetryCounterForBundlesWithIDs(ids, &error));
  ASSERT_TRUE(db->incrementRetryCounterForBundlesWithIDs(ids, &error));
  auto again = db->queryBundlesWithRowIDs(ids, &error);
  ASSERT_TRUE(again);
  ASSERT_EQ(again->size(), 2u);
  EXPECT_EQ(again->at(0).first->GetInt32(TLWPBMeasurementBundle::kRetryCount), 2);

  ASSERT_TRUE(db->sqliteStore()->updateRecord({{"retry_count", 2147483647LL}}, "queue", "rowid", Value(ids[0]), &error));
  ASSERT_TRUE(db->incrementRetryCounterForBundlesWithIDs(ids, &error));
  EXPECT_TRUE(captured.logged(12054));
  auto capped = db->queryBundlesWithRowIDs(ids, &error);
  EXPECT_EQ(capped->at(0).first->GetInt32(TLWPBMeasurementBundle::kRetryCount), 2147483647);
  EXPECT_EQ(capped->at(1).first->GetInt32(TLWPBMeasurementBundle::kRetryCount), 3);

  ASSERT_TRUE(db->deleteBundlesWithRowIDs(ids, &error));
  EXPECT_EQ(count(*db, "queue"), 2);
  EXPECT_FALSE(db->queryBundlesWithRowIDs({}, &error));
  EXPECT_EQ(error.code(), 3);
}

TEST_F(TLWDatabaseTest, LatestTimesOfEmptyTablesAreZeroAndOnlyAFailedQueryIsAnError) {
  ASSERT_NO_FATAL_FAILURE(openDb());
  EXPECT_EQ(db->queryLatestBundleTime(&error), 0.0);
  EXPECT_EQ(db->queryLatestRawEventTime(&error), 0.0);
  EXPECT_TRUE(error.domain().empty()) << error.description();
  ASSERT_TRUE(db->insertBundle(*makeBundle("app", 5000), false, &error));
  EXPECT_EQ(db->queryLatestBundleTime(&error), 5.0);
  ASSERT_TRUE(db->sqliteStore()->executeSQL("DROP TABLE raw_events", &error));
  EXPECT_FALSE(db->queryLatestRawEventTime(&error));
  EXPECT_FALSE(error.domain().empty());
}

TEST_F(TLWDatabaseTest, RetryCountThatIsNullStillCounts) {
  // Rows queued before the column existed carry NULL; they must still reach the limit
  // that makes the uploader give up on them.
  rawExec("CREATE TABLE queue (data BLOB NOT NULL, bundle_end_timestamp REAL NOT NULL);");
  ASSERT_NO_FATAL_FAILURE(openDb());
  const auto nowMs = static_cast<std::int64_t>(env->settableClock().now() * 1000);
  ASSERT_TRUE(db->insertBundle(*makeBundle("app", nowMs), false, &error));
  ASSERT_TRUE(db->sqliteStore()->updateRecord({{"retry_count", Value()}}, "queue", "rowid", Value(1), &error));
  auto before = db->queryBundlesWithRowIDs({1}, &error);
  ASSERT_TRUE(before && before->size() == 1);
  EXPECT_EQ(before->front().first->GetInt32(TLWPBMeasurementBundle::kRetryCount), 0);

  ASSERT_TRUE(db->incrementRetryCounterForBundlesWithIDs({1}, &error));
  ASSERT_TRUE(db->incrementRetryCounterForBundlesWithIDs({1}, &error));
  auto after = db->queryBundlesWithRowIDs({1}, &error);
  ASSERT_TRUE(after && after->size() == 1);
  EXPECT_EQ(after->front().first->GetInt32(TLWPBMeasurementBundle::kRetryCount), 2);
}

TEST_F(TLWDatabaseTest, StaleDataIsDeletedOncePerInterval) {
  ASSERT_NO_FATAL_FAILURE(openDb());
  const double now = env->settableClock().now();
  ASSERT_TRUE(db->sqliteStore()->upsertRecord(
      {{"data", Value::data("x")}, {"bundle_end_timestamp", now - 3000000}, {"retry_count", 0}}, "queue", &error));
  ASSERT_TRUE(db->insertRawEvent(makeEvent("old", now - 3000000).get(), 1, false, &error));
  EXPECT_EQ(db->maybeDeleteStaleData(&error), true);
  EXPECT_EQ(count(*db, "queue"), 0);
  EXPECT_EQ(count(*db, "raw_events"), 0);
  EXPECT_EQ(config->lastDeleteStaleBundlesTimestamp(), now);
  EXPECT_EQ(db->maybeDeleteStaleData(&error), false);
  env->settableClock().advance(86401);
  EXPECT_EQ(db->maybeDeleteStaleData(&error), true);
}

// ----------------------------------------------------------------- counters and configuration

TEST_F(TLWDatabaseTest, EventAggregatesAndDailyCountsPersistWithTheirLimits) {
  ASSERT_NO_FATAL_FAILURE(openDb());
  auto agg = TLWEventAggregates::initWithName("level_up", 3, 2, 1, 1700000000.5);
  agg->setLastSampledComplexEventID(77);
  ASSERT_TRUE(db->updateEventAggregates(agg.get(), &error));
  ASSERT_TRUE(db->updateEventAggregates(TLWEventAggregates::initWithName("_s", 1, 1, 1, 1.0).get(), &error));
  auto read = db->eventAggregatesWithName("level_up", &error);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->lifetimeCount(), 3);
  EXPECT_EQ(read->currentSessionCount(), 1);
  EXPECT_EQ(read->lastSampledComplexEventID(), 77);
  EXPECT_EQ(read->lastSamplingRate(), 1);
  EXPECT_EQ(db->publicEventCount(&error), 1);
  ASSERT_TRUE(db->clearCurrentSessionCounts(&error));
  EXPECT_EQ(db->eventAggregatesWithName("level_up", &error)->currentSessionCount(), 0);

  // Rows written before the add-on columns existed read with the defaults.
  ASSERT_TRUE(db->sqliteStore()->upsertRecord(
      {{"name", "legacy"}, {"lifetime_count", 9}, {"current_bundle_count", 0}, {"last_fire_timestamp", 2.0}}, "events",
      &error));
  auto legacy = db->eventAggregatesWithName("legacy", &error);
  ASSERT_TRUE(legacy);
  EXPECT_EQ(legacy->lastSamplingRate(), 1);
  EXPECT_FALSE(legacy->lastSampledComplexEventID().has_value());
  EXPECT_FALSE(legacy->lastExemptFromSampling());

  ASSERT_TRUE(db->performTransaction([&] {
    for (int i = 3; i < 1000; ++i) {
      if (!db->updateEventAggregates(TLWEventAggregates::initWithName("e" + std::to_string(i), 1, 1, 1, 1.0).get(),
                                     nullptr)) {
        return false;
      }
    }
    return true;
  }));
  EXPECT_EQ(count(*db, "events"), 1000);
  EXPECT_FALSE(db->updateEventAggregates(TLWEventAggregates::initWithName("one_too_many", 1, 1, 1, 1.0).get(), &error));
  EXPECT_EQ(error.localizedDescription(), "Failed to insert data type. Table is full");
  EXPECT_TRUE(db->updateEventAggregates(TLWEventAggregates::initWithName("level_up", 4, 1, 1, 2.0).get(), &error));
  EXPECT_EQ(db->allEventAggregates(&error)->size(), 1000u);

  TLWDailyCounts counts(20000, 1, 2, 3, 4, 5);
  ASSERT_TRUE(db->updateDailyCounts(counts, &error));
  auto daily = db->dailyCounts(&error);
  ASSERT_TRUE(daily);
  EXPECT_EQ(daily->day(), 20000);
  EXPECT_EQ(daily->publicEventsCount(), 3);
  EXPECT_EQ(daily->realtimeCount(), 5);

  // A stored row that no longer makes an aggregate is an error; a missing name is not.
  ASSERT_TRUE(db->sqliteStore()->executeSQL("UPDATE events SET lifetime_count = -5 WHERE name = 'e3'", &error));
  error = TLWError();
  EXPECT_FALSE(db->eventAggregatesWithName("e3", &error));
  EXPECT_EQ(error.code(), 2);
  error = TLWError();
  EXPECT_FALSE(db->eventAggregatesWithName("never_logged", &error));
  EXPECT_EQ(error.code(), 0);

  // The counters row is updated in place; without it the update fails instead of adding one.
  ASSERT_TRUE(db->sqliteStore()->executeSQL("DELETE FROM app_metadata", &error));
  EXPECT_FALSE(db->updateDailyCounts(counts, &error));
  EXPECT_EQ(error.code(), 2);
  EXPECT_EQ(error.localizedDescription(), "Failed to update record. Item doesn't exist");
  EXPECT_EQ(count(*db, "app_metadata"), 0);
  EXPECT_FALSE(db->dailyCounts(&error));
  EXPECT_EQ(error.localizedDescription(), "App metadata row is missing");
}

TEST_F(TLWDatabaseTest, MeasurementConfigurationIsStoredAndCorruptionReported) {
  ASSERT_NO_FATAL_FAILURE(openDb());
  EXPECT_FALSE(db->queryMeasurementConfigWithError(&error));
  EXPECT_EQ(error.code(), 0);
  auto configMessage = TLWPBMeasurementConfig::initWithMessageInfo();
  configMessage->SetInt64(TLWPBMeasurementConfig::kVersion, 12);
  EXPECT_FALSE(db->updateRemoteConfig(*configMessage, &error));
  EXPECT_EQ(error.localizedDescription(), "Missing Vorlix app ID in measurement configuration");
  configMessage->SetString(TLWPBMeasurementConfig::kAppId, "1:1:ios:a");
  ASSERT_TRUE(db->updateRemoteConfig(*configMessage, &error));
  auto stored = db->queryMeasurementConfigWithError(&error);
  ASSERT_TRUE(stored);
  EXPECT_TRUE(stored->isEqualMessage(*configMessage));
  EXPECT_EQ(db->lastRemoteConfigUpdateTimestamp(&error), env->settableClock().now());
  ASSERT_TRUE(db->updateRemoteConfigSuccessfulTimestamp(42.0, &error));
  EXPECT_EQ(db->lastRemoteConfigUpdateTimestamp(&error), 42.0);

  ASSERT_TRUE(db->sqliteStore()->updateRecord({{"remote_config_data", Value::data("\x0a\xff\xff")}}, "app_metadata",
                                              "rowid", Value("1"), &error));
  TLWError corrupt;
  EXPECT_FALSE(db->queryMeasurementConfigWithError(&corrupt));
  EXPECT_EQ(corrupt.code(), 2);
  EXPECT_EQ(corrupt.localizedDescription(), "Remote config data is corrupted");
}

// ----------------------------------------------------------------- properties and purchases

TEST_F(TLWDatabaseTest, UserPropertiesKeepTheirValueKindsAndPrefixesAreExact) {
  ASSERT_NO_FATAL_FAILURE(openDb());
  auto set = [&](const std::string& name, TLWValue value, double ts = 1.0) {
    auto attribute = TLWUserAttribute::initWithOrigin("app", name, value, ts);
    return attribute && db->updateUserAttribute(attribute.get(), &error);
  };
  ASSERT_TRUE(set("level", TLWValue::initWithInt64(42)));
  ASSERT_TRUE(set("ratio", TLWValue::initWithDouble(1.5)));
  ASSERT_TRUE(set("hero", TLWValue::initWithString("mage")));
  ASSERT_TRUE(set("_fot", TLWValue::initWithInt64(1)));
  ASSERT_TRUE(set("user_id", TLWValue::initWithString("u")));
  ASSERT_TRUE(set("_ltv_USD", TLWValue::initWithInt64(100), 5.0));
  ASSERT_TRUE(set("_ltv_EUR", TLWValue::initWithInt64(50), 9.0));
  ASSERT_TRUE(set("altv_score", TLWValue::initWithInt64(7)));
  ASSERT_TRUE(set("_LTV_odd", TLWValue::initWithInt64(7)));
  EXPECT_FALSE(set("empty", TLWValue::initWithString("")));
  EXPECT_FALSE(db->containsUserAttributeWithName("empty", &error).value_or(true));

  auto level = db->userAttributeWithName("level", &error);
  ASSERT_TRUE(level);
  EXPECT_TRUE(level->value().isInt64());
  EXPECT_EQ(level->value().int64Value(), 42);
  auto ratio = db->userAttributeWithName("ratio", &error);
  ASSERT_TRUE(ratio);
  EXPECT_TRUE(ratio->value().isDouble());
  EXPECT_EQ(ratio->value().doubleValue(), 1.5);
  EXPECT_EQ(ratio->origin(), "app");

  auto ltv = db->allLifetimeValueUserAttributes(&error);
  ASSERT_TRUE(ltv);
  ASSERT_EQ(ltv->size(), 2u);
  EXPECT_EQ(ltv->at(0)->name(), "_ltv_EUR");
  EXPECT_EQ(ltv->at(1)->name(), "_ltv_USD");

  auto publicOnes = db->userAttributesIncludingInternal(false, &error);
  ASSERT_TRUE(publicOnes);
  std::set<std::string> names;
  for (const auto& a : *publicOnes) names.insert(a->name());
  EXPECT_TRUE(names.count("level") && names.count("hero") && names.count("altv_score"));
  EXPECT_FALSE(names.count("_fot") || names.count("user_id") || names.count("_ltv_USD"));
  EXPECT_EQ(db->userAttributesIncludingInternal(true, &error)->size(), 9u);
  EXPECT_EQ(db->publicUserAttributeCount(&error), 5);
  EXPECT_EQ(db->userAttributeCountForOrigin("app", &error), 9);
  EXPECT_EQ(db->containsUserAttributeWithName("hero", &error), true);
  ASSERT_TRUE(db->deleteUserAttributeWithName("hero", &error));
  EXPECT_EQ(db->containsUserAttributeWithName("hero", &error), false);
}

TEST_F(TLWDatabaseTest, PurchaseFingerprintsAreDeduplicatedAndTrimmed) {
  ASSERT_NO_FATAL_FAILURE(openDb());
  EXPECT_EQ(db->insertIfNotDuplicatePurchaseFingerprint("p0", &error), true);
  EXPECT_EQ(db->insertIfNotDuplicatePurchaseFingerprint("p0", &error), false);
  EXPECT_EQ(db->insertIfNotDuplicatePurchaseFingerprint("", &error), false);
  ASSERT_TRUE(db->performTransaction([&] {
    for (int i = 1; i <= 1000; ++i) {
      if (db->insertIfNotDuplicatePurchaseFingerprint("p" + std::to_string(i), nullptr) != true) return false;
    }
    return true;
  }));
  EXPECT_EQ(count(*db, "purchase_transactions"), 1000);
  // One past the limit: exactly the oldest (p0) went, p1 is still known.
  EXPECT_EQ(db->insertIfNotDuplicatePurchaseFingerprint("p1", &error), false);
  EXPECT_EQ(db->insertIfNotDuplicatePurchaseFingerprint("p0", &error), true);
  EXPECT_EQ(count(*db, "purchase_transactions"), 1000);
  EXPECT_EQ(db->insertIfNotDuplicatePurchaseFingerprint("p2", &error), false);  // p1 went for p0
  EXPECT_EQ(count(*db, "purchase_transactions"), 1000);

  EXPECT_EQ(db->insertIfNotDuplicateSubscriptionID("s1", &error), true);
  EXPECT_EQ(db->insertIfNotDuplicateSubscriptionID("s1", &error), false);
  EXPECT_EQ(db->deleteSubscriptionsOverLimit(&error), 0);
  EXPECT_EQ(count(*db, "subscriptions"), 1);
  ASSERT_TRUE(db->performTransaction([&] {
    for (int i = 2; i <= 1000; ++i) {
      if (db->insertIfNotDuplicateSubscriptionID("s" + std::to_string(i), nullptr) != true) return false;
    }
    return true;
  }));
  EXPECT_EQ(db->deleteSubscriptionsOverLimit(&error), 0);  // exactly at the limit
  EXPECT_EQ(db->insertIfNotDuplicateSubscriptionID("s1001", &error), true);
  EXPECT_EQ(db->insertIfNotDuplicateSubscriptionID("s1002", &error), true);
  EXPECT_EQ(db->deleteSubscriptionsOverLimit(&error), 2);
  EXPECT_EQ(count(*db, "subscriptions"), 1000);
  EXPECT_EQ(db->insertIfNotDuplicateSubscriptionID("s3", &error), false);  // the two oldest went, s3 stays
  EXPECT_EQ(db->insertIfNotDuplicateSubscriptionID("s1", &error), true);
}

TEST_F(TLWDatabaseTest, ComplexMainEventsRoundTrip) {
  ASSERT_NO_FATAL_FAILURE(openDb());
  auto event = makeEvent("_ltv", 1700000000, {{"value", 2.5}});
  ASSERT_TRUE(db->updateComplexEventForAudienceEvaluationWithEventID(9, 3, event.get(), &error));
  auto pair = db->mainEventAndChildCountPairWithEventID(9, &error);
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->first->name(), "_ltv");
  EXPECT_EQ(pair->first->parameters().at("value"), TLWValue::initWithDouble(2.5));
  EXPECT_EQ(pair->second, 3);
  EXPECT_FALSE(db->updateComplexEventForAudienceEvaluationWithEventID(9, 3, nullptr, &error));
  ASSERT_TRUE(db->deleteComplexEventForAudienceEvaluationWithEventID(9, &error));
  EXPECT_FALSE(db->mainEventAndChildCountPairWithEventID(9, &error));
}

// ----------------------------------------------------------------- faults

TEST_F(TLWDatabaseTest, DiskFullDuringTheEventWriteLeavesNothingHalfWritten) {
  ScopedSqliteFaultVfs faults;
  auto db = open();
  ASSERT_TRUE(db);
  auto writeEvent = [&](const std::string& name) { return writeCountedEvent(*db, name); };
  ASSERT_TRUE(writeEvent("first"));
  faults->noSpace = true;
  EXPECT_FALSE(writeEvent("second"));
  EXPECT_TRUE(captured.logged(12056));
  faults->noSpace = false;
  EXPECT_EQ(count(*db, "raw_events"), 1);
  EXPECT_EQ(count(*db, "events"), 1);
  EXPECT_EQ(db->dailyCounts(&error)->allEventsCount(), 1);
  ASSERT_TRUE(writeEvent("third"));
  EXPECT_EQ(count(*db, "raw_events"), 2);
  EXPECT_EQ(db->dailyCounts(&error)->allEventsCount(), 2);
}

TEST_F(TLWDatabaseTest, AFailedOpenStepAfterTheIntegrityCheckKeepsTheFileAndItsEvents) {
  auto storedEvents = [&] {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    std::int64_t n = -1;
    if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM raw_events", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      n = sqlite3_column_int64(stmt, 0);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return n;
  };
  {
    auto db = open();
    ASSERT_TRUE(db);
    ASSERT_TRUE(db->insertRawEvent(makeEvent("unsent", 1700000000).get(), 1, false, nullptr));
  }
  // No space while the upload-schedule indexes are created.
  rawExec("DROP INDEX raw_events_timestamp;");
  {
    ScopedSqliteFaultVfs faults;
    faults->noSpace = true;
    TLWError error;
    EXPECT_FALSE(open(&error));
  }
  ASSERT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(storedEvents(), 1);

  // The switch to WAL while another process reads the file (a rollback-journal file, as
  // an older library or a tool leaves it) meets a lock.
  rawExec("PRAGMA journal_mode=DELETE;");
  {
    sqlite3* reader = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &reader), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(reader, "BEGIN; SELECT COUNT(*) FROM raw_events;", nullptr, nullptr, nullptr), SQLITE_OK);
    TLWError error;
    EXPECT_FALSE(open(&error));
    sqlite3_exec(reader, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(reader);
  }
  ASSERT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(storedEvents(), 1);

  // Once the obstacle is gone the same file opens with its event.
  ASSERT_NO_FATAL_FAILURE(openDb());
  EXPECT_EQ(count(*db, "raw_events"), 1);
}

}  // namespace
