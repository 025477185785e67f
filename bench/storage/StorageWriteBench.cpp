// The per-event write transaction of the write pipeline (daily counts, event aggregates,
// raw-event insert) through TLWDatabase, against bare SQLite running the same statements
// on the same schema with statements prepared once. Both run on a real file in WAL mode
// with synchronous=NORMAL, in the same process and run.

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "measurement/monitor/TLWMonitor.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "measurement/storage/TLWUserDefaults.h"
#include "platform/Sandbox.h"

namespace {

constexpr int kDistinctNames = 50;

class RootedEnvironment : public platform::EnvironmentWrapper {
 public:
  explicit RootedEnvironment(std::string root)
      : EnvironmentWrapper(platform::Environment::makeDefault()),
        sandbox_(std::make_shared<platform::DirectorySandbox>(std::move(root))) {}
  std::shared_ptr<platform::Sandbox> sandbox() override { return sandbox_; }

 private:
  std::shared_ptr<platform::Sandbox> sandbox_;
};

std::string freshRoot(const char* tag) {
  auto root = std::filesystem::temp_directory_path() / (std::string("tw-bench-") + tag + "-" + std::to_string(getpid()));
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root);
  return root.string();
}

std::vector<std::shared_ptr<TLWEvent>> makeEvents() {
  std::vector<std::shared_ptr<TLWEvent>> events;
  for (int i = 0; i < kDistinctNames; ++i) {
    events.push_back(TLWEvent::initWithOrigin(
        "app", false, "event_" + std::to_string(i), 1700000000.0 + i, 0,
        platform::Dictionary{{"level", i}, {"hero", "mage"}, {"score", 12.5}, {"item", "sword_of_the_benchmark"}}));
  }
  return events;
}

void BM_DatabaseEventWrite(benchmark::State& state) {
  const std::string root = freshRoot("db");
  auto env = std::make_shared<RootedEnvironment>(root);
  auto monitor = TLWMonitor::initWithLogLevel(1, nullptr, kTLWLibraryNumericVersion, env);
  auto config = TLWPersistedConfig::initWithSuiteName("com.vorlix.zel.measurement", false, env,
                                                      TLWUserDefaults::initWithSuiteName("", env), monitor);
  TLWError error;
  auto db = TLWDatabase::initWithDatabaseName(kTLWDatabaseFileName, config, &error, env, monitor);
  if (!db) {
    state.SkipWithError("database did not open");
    return;
  }
  auto events = makeEvents();
  std::size_t i = 0;
  for (auto _ : state) {
    const auto& event = events[i++ % events.size()];
    bool ok = db->performTransaction([&] {
      auto counts = db->dailyCounts(nullptr);
      if (!counts) return false;
      counts->incrementCountsForCurrentDay(counts->day(), true, false);
      if (!db->updateDailyCounts(*counts, nullptr)) return false;
      auto aggregates = db->eventAggregatesWithName(event->name(), nullptr);
      if (!aggregates) aggregates = TLWEventAggregates::initWithName(event->name(), 0, 0, 0, 0);
      aggregates->incrementLifetimeCount();
      aggregates->incrementCurrentBundleCount();
      aggregates->setLastFireTimestamp(event->timestamp());
      if (!db->updateEventAggregates(aggregates.get(), nullptr)) return false;
      return db->insertRawEvent(event.get(), 42, false, nullptr);
    });
    if (!ok) {
      state.SkipWithError("write failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  db.reset();
  std::filesystem::remove_all(root);
}

struct Bare {
  sqlite3* db = nullptr;
  std::vector<sqlite3_stmt*> statements;
  sqlite3_stmt* prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr);
    statements.push_back(s);
    return s;
  }
  ~Bare() {
    for (auto* s : statements) sqlite3_finalize(s);
    sqlite3_close(db);
  }
};

bool stepDone(sqlite3_stmt* s) {
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
  }
  sqlite3_reset(s);
  return rc == SQLITE_DONE;
}

void BM_BareSqliteEventWrite(benchmark::State& state) {
  // The same schema, created by the database itself, then driven directly.
  const std::string root = freshRoot("bare");
  std::string path;
  {
    auto env = std::make_shared<RootedEnvironment>(root);
    auto monitor = TLWMonitor::initWithLogLevel(1, nullptr, kTLWLibraryNumericVersion, env);
    auto config = TLWPersistedConfig::initWithSuiteName("com.vorlix.zel.measurement", false, env,
                                                        TLWUserDefaults::initWithSuiteName("", env), monitor);
    auto db = TLWDatabase::initWithDatabaseName(kTLWDatabaseFileName, config, nullptr, env, monitor);
    if (!db) {
      state.SkipWithError("database did not open");
      return;
    }
    path = db->databasePath();
  }
  Bare bare;
  sqlite3_open_v2(path.c_str(), &bare.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
  sqlite3_exec(bare.db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
  auto* selectDaily = bare.prepare(
      "SELECT day, daily_conversions_count, daily_events_count, daily_public_events_count, daily_error_events_count, "
      "daily_real_time_conversion_events_count FROM app_metadata WHERE rowid = ?");
  auto* countMetadata = bare.prepare("SELECT count(1) FROM app_metadata WHERE rowid=?");
  auto* updateDaily = bare.prepare(
      "UPDATE app_metadata SET day=?,daily_conversions_count=?,daily_events_count=?,daily_public_events_count=?,"
      "daily_error_events_count=?,daily_real_time_conversion_events_count=? WHERE rowid=?");
  auto* selectAggregates = bare.prepare("SELECT rowid, * FROM events WHERE name = ?");
  auto* countName = bare.prepare("SELECT count(1) FROM events WHERE name=?");
  auto* countAll = bare.prepare("SELECT count(1) FROM events");
  auto* upsertAggregates = bare.prepare(
      "INSERT OR REPLACE INTO events (name, lifetime_count, current_bundle_count, last_fire_timestamp, "
      "last_bundled_timestamp, last_sampling_rate, last_exempt_from_sampling, last_bundled_day, "
      "current_session_count) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?);");
  auto* insertRaw = bare.prepare(
      "INSERT OR REPLACE INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) VALUES (?, ?, ?, "
      "?, ?);");
  auto events = makeEvents();
  std::size_t i = 0;
  for (auto _ : state) {
    const auto& event = events[i++ % events.size()];
    const std::string& name = event->name();
    sqlite3_exec(bare.db, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr);
    sqlite3_bind_text(selectDaily, 1, "1", 1, SQLITE_STATIC);
    std::int64_t all = 0;
    if (sqlite3_step(selectDaily) == SQLITE_ROW) all = sqlite3_column_int64(selectDaily, 2);
    sqlite3_reset(selectDaily);
    sqlite3_bind_text(countMetadata, 1, "1", 1, SQLITE_STATIC);
    stepDone(countMetadata);
    for (int c = 1; c <= 6; ++c) sqlite3_bind_int64(updateDaily, c, c == 3 ? all + 1 : 0);
    sqlite3_bind_text(updateDaily, 7, "1", 1, SQLITE_STATIC);
    stepDone(updateDaily);
    sqlite3_bind_text(selectAggregates, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    std::int64_t lifetime = 0;
    if (sqlite3_step(selectAggregates) == SQLITE_ROW) lifetime = sqlite3_column_int64(selectAggregates, 2);
    sqlite3_reset(selectAggregates);
    sqlite3_bind_text(countName, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    bool exists = sqlite3_step(countName) == SQLITE_ROW && sqlite3_column_int64(countName, 0) > 0;
    sqlite3_reset(countName);
    if (!exists) stepDone(countAll);
    sqlite3_bind_text(upsertAggregates, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    sqlite3_bind_int64(upsertAggregates, 2, lifetime + 1);
    sqlite3_bind_int64(upsertAggregates, 3, lifetime + 1);
    sqlite3_bind_double(upsertAggregates, 4, event->timestamp());
    sqlite3_bind_double(upsertAggregates, 5, 0);
    sqlite3_bind_int64(upsertAggregates, 6, 1);
    sqlite3_bind_int64(upsertAggregates, 7, 0);
    sqlite3_bind_int64(upsertAggregates, 8, 0);
    sqlite3_bind_int64(upsertAggregates, 9, 0);
    stepDone(upsertAggregates);
    // The same payload the database stores: the event message without its name.
    auto message = event->protoEvent();
    message->ClearField(TLWPBEvent::kName);
    auto payload = *message->protoBuffer();
    sqlite3_bind_text(insertRaw, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    sqlite3_bind_double(insertRaw, 2, event->timestamp());
    sqlite3_bind_int64(insertRaw, 3, 42);
    sqlite3_bind_blob(insertRaw, 4, payload.data(), static_cast<int>(payload.size()), SQLITE_STATIC);
    sqlite3_bind_int64(insertRaw, 5, 0);
    stepDone(insertRaw);
    if (sqlite3_exec(bare.db, "END TRANSACTION", nullptr, nullptr, nullptr) != SQLITE_OK) {
      state.SkipWithError("commit failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  std::filesystem::remove_all(root);
}

BENCHMARK(BM_BareSqliteEventWrite)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_DatabaseEventWrite)->MinTime(2.0)->UseRealTime();

}  // namespace
