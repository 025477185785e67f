// Sustained ingest: 40 000 events with 5 parameters each, from the pipeline's entry point
// (logEventWithOrigin, which schedules onto the worker queue) to committed raw-event rows,
// against bare SQLite running the statements the pipeline's write transaction runs, on the
// same schema, with statements prepared once. Both run on a real file in WAL mode, in the
// same process and the same benchmark iteration, so machine load affects both alike.
//
//   build/<dir>/bench/bench_pipeline --benchmark_repetitions=5   (medians: add --benchmark_report_aggregates_only=true)
//
// Counters: bare_events_per_s, pipeline_events_per_s and pipeline_to_bare (the ratio).

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "measurement/engine/TLWEventPipeline.h"
#include "measurement/engine/TLWScheduler.h"
#include "measurement/engine/TLWUserPropertyPipeline.h"
#include "measurement/model/TLWUserAttribute.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/proto/TLWPBMeasurementBatch.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "measurement/storage/TLWUserDefaults.h"
#include "platform/Sandbox.h"

namespace {

constexpr int kEvents = 40000;
constexpr int kDistinctNames = 20;

class RootedEnvironment : public platform::EnvironmentWrapper {
 public:
  explicit RootedEnvironment(std::string root)
      : EnvironmentWrapper(platform::Environment::makeDefault()),
        sandbox_(std::make_shared<platform::DirectorySandbox>(std::move(root))) {}
  std::shared_ptr<platform::Sandbox> sandbox() override { return sandbox_; }

 private:
  std::shared_ptr<platform::Sandbox> sandbox_;
};

class EnabledHost : public TLWEventPipelineHost {
 public:
  bool isMeasurementEnabled() override { return true; }
  std::vector<std::string> safelistedEvents() override { return {}; }
  bool isAppActive() override { return true; }
  bool isSessionExpired() override { return false; }
  bool extendSession() override { return true; }
  void reportSessionStartOnWorkerQueueWithTimestamp(double, bool) override {}
  void notifyEventListeners(std::shared_ptr<TLWEvent>) override {}
  void updateSchedule() override {}
};

class BenchIdentity : public TLWEventPipelineIdentity {
 public:
  TLWRawEventMetadataInputs rawEventMetadataInputs() override {
    TLWRawEventMetadataInputs in;
    in.appID = "com.vorlix.tallywise.bench";
    in.appVersion = "1.0";
    in.appIDFromZEL = "1:1234567890:ios:abcdef";
    in.identifiers.appInstanceID = "0123456789ABCDEF0123456789ABCDEF";
    return in;
  }
};

std::string freshRoot(const char* tag) {
  auto root =
      std::filesystem::temp_directory_path() / (std::string("tw-bench-pipeline-") + tag + "-" + std::to_string(getpid()));
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root);
  return root.string();
}

std::string eventName(int i) { return "event_" + std::to_string(i % kDistinctNames); }

platform::Dictionary eventParameters(int i) {
  return platform::Dictionary{{"level", i % 100},
                              {"hero", "mage"},
                              {"score", 12.5 + i},
                              {"item", "sword_of_the_benchmark"},
                              {"stage", "forest"}};
}

struct Store {
  std::string root;
  std::shared_ptr<RootedEnvironment> env;
  std::shared_ptr<TLWMonitor> monitor;
  std::shared_ptr<TLWPersistedConfig> config;
  std::shared_ptr<TLWDatabase> db;

  explicit Store(const char* tag) : root(freshRoot(tag)), env(std::make_shared<RootedEnvironment>(root)) {
    monitor = TLWMonitor::initWithLogLevel(1, nullptr, kTLWLibraryNumericVersion, env);
    config = TLWPersistedConfig::initWithSuiteName("com.vorlix.zel.measurement", false, env,
                                                   TLWUserDefaults::initWithSuiteName("", env), monitor);
    db = std::shared_ptr<TLWDatabase>(TLWDatabase::initWithDatabaseName(kTLWDatabaseFileName, config, nullptr, env, monitor));
  }
  ~Store() {
    db.reset();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  void addUserProperties() {
    for (int i = 0; i < 3; ++i) {
      auto a = TLWUserAttribute::initWithOrigin("app", "prop_" + std::to_string(i), TLWValue::initWithString("value"),
                                                1700000000.0);
      (void)db->updateUserAttribute(a.get(), nullptr);
    }
  }
};

std::int64_t rawEventCount(sqlite3* db) {
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(db, "SELECT count(1) FROM raw_events", -1, &s, nullptr);
  std::int64_t n = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
  sqlite3_finalize(s);
  return n;
}

// Seconds for the pipeline to take kEvents from its entry point to committed rows.
double runPipeline(std::int64_t* stored) {
  Store store("pipeline");
  if (!store.db) return -1;
  store.addUserProperties();
  auto scheduler = TLWScheduler::initWithWorkerQueueLabel("com.vorlix.twka.worker.bench");
  auto host = std::make_shared<EnabledHost>();
  auto userProperties = TLWUserPropertyPipeline::create(
      {store.db, store.config, scheduler, host, nullptr, store.env, store.monitor, nullptr});
  auto pipeline = TLWEventPipeline::create({store.db, store.config, scheduler, userProperties, host, nullptr,
                                            std::make_shared<BenchIdentity>(), nullptr, nullptr, nullptr, nullptr,
                                            store.env, store.monitor});
  if (!pipeline) return -1;
  const double now = 1700000000.0;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kEvents; ++i) {
    pipeline->logEventWithOrigin("app", true, eventName(i), eventParameters(i), now + i * 0.001, true, false, false,
                                 nullptr);
  }
  (void)scheduler->dispatchSyncOnWorkerQueueBlockID("bench", [] {});
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  *stored = store.db->sqliteStore()->rowCountForTableWithName("raw_events", nullptr).value_or(-1);
  return seconds;
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

void bindText(sqlite3_stmt* s, int index, const std::string& text) {
  sqlite3_bind_text(s, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// Seconds for bare SQLite to run the write transaction's statements kEvents times. The
// event payload is serialised per event, the metadata once (its bytes do not change).
double runBare(std::int64_t* stored) {
  std::string path;
  std::vector<std::uint8_t> metadataBytes;
  Store store("bare");
  if (!store.db) return -1;
  store.addUserProperties();
  path = store.db->databasePath();
  {
    auto attributes = store.db->userAttributesIncludingInternal(true, nullptr);
    TLWEnvironmentInfo info(store.env, store.monitor);
    auto metadata = TLWCreateRawEventMetadata(BenchIdentity().rawEventMetadataInputs(), info, *attributes);
    metadataBytes = *metadata->protoBuffer();
  }
  const std::int64_t fingerprint = TLWDatabase::fingerprintOfBytes(metadataBytes);

  Bare bare;
  sqlite3_open_v2(path.c_str(), &bare.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
  sqlite3_exec(bare.db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
  auto* selectDaily = bare.prepare(
      "SELECT day, daily_conversions_count, daily_events_count, daily_public_events_count, daily_error_events_count, "
      "daily_real_time_conversion_events_count FROM app_metadata WHERE rowid = ?");
  auto* countMetadataRow = bare.prepare("SELECT count(1) FROM app_metadata WHERE rowid=?");
  auto* updateDaily = bare.prepare(
      "UPDATE app_metadata SET day=?,daily_conversions_count=?,daily_events_count=?,daily_public_events_count=?,"
      "daily_error_events_count=?,daily_real_time_conversion_events_count=? WHERE rowid=?");
  auto* selectAggregates = bare.prepare("SELECT rowid, * FROM events WHERE name = ?");
  auto* publicNames = bare.prepare("SELECT count(1) FROM events WHERE name NOT LIKE '!_%' ESCAPE '!'");
  auto* countName = bare.prepare("SELECT count(1) FROM events WHERE name=?");
  auto* countEvents = bare.prepare("SELECT count(1) FROM events");
  auto* insertAggregates = bare.prepare(
      "INSERT OR REPLACE INTO events (name, lifetime_count, current_bundle_count, last_fire_timestamp, "
      "last_bundled_timestamp, last_sampling_rate, last_exempt_from_sampling, last_bundled_day, "
      "current_session_count) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?);");
  auto* selectAttributes = bare.prepare("SELECT rowid, * FROM user_attributes ORDER BY rowid LIMIT 1000");
  auto* countFingerprint = bare.prepare("SELECT count(1) FROM raw_events_metadata WHERE metadata_fingerprint=?");
  auto* countAllMetadata = bare.prepare("SELECT count(1) FROM raw_events_metadata");
  auto* insertMetadata =
      bare.prepare("INSERT OR REPLACE INTO raw_events_metadata (metadata_fingerprint, metadata) VALUES (?, ?);");
  auto* trim = bare.prepare(
      "DELETE FROM raw_events WHERE rowid IN (SELECT rowid FROM raw_events ORDER BY rowid DESC LIMIT -1 OFFSET ?)");
  auto* insertRaw = bare.prepare(
      "INSERT OR REPLACE INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) VALUES (?, ?, ?, "
      "?, ?);");

  const double now = 1700000000.0;
  const auto start = std::chrono::steady_clock::now();
  std::int64_t all = 0;
  for (int i = 0; i < kEvents; ++i) {
    const std::string name = eventName(i);
    auto event = TLWEvent::initWithOrigin("app", true, name, now + i * 0.001, 0, eventParameters(i));
    sqlite3_exec(bare.db, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr);
    sqlite3_bind_int64(selectDaily, 1, 1);
    if (sqlite3_step(selectDaily) == SQLITE_ROW) all = sqlite3_column_int64(selectDaily, 2);
    sqlite3_reset(selectDaily);
    sqlite3_bind_int64(countMetadataRow, 1, 1);
    stepDone(countMetadataRow);
    for (int c = 1; c <= 6; ++c) sqlite3_bind_int64(updateDaily, c, c == 3 || c == 4 ? all + 1 : 0);
    sqlite3_bind_int64(updateDaily, 7, 1);
    stepDone(updateDaily);
    bindText(selectAggregates, 1, name);
    const bool known = sqlite3_step(selectAggregates) == SQLITE_ROW;
    sqlite3_reset(selectAggregates);
    if (!known) {
      stepDone(publicNames);
      bindText(countName, 1, name);
      stepDone(countName);
      stepDone(countEvents);
      bindText(insertAggregates, 1, name);
      for (int c = 2; c <= 9; ++c) sqlite3_bind_int64(insertAggregates, c, c == 6 ? 1 : 0);
      stepDone(insertAggregates);
    }
    stepDone(selectAttributes);
    sqlite3_bind_int64(countFingerprint, 1, fingerprint);
    const bool haveMetadata = sqlite3_step(countFingerprint) == SQLITE_ROW && sqlite3_column_int64(countFingerprint, 0) > 0;
    sqlite3_reset(countFingerprint);
    if (!haveMetadata) {
      sqlite3_bind_int64(countFingerprint, 1, fingerprint);
      stepDone(countFingerprint);
      stepDone(countAllMetadata);
      sqlite3_bind_int64(insertMetadata, 1, fingerprint);
      sqlite3_bind_blob(insertMetadata, 2, metadataBytes.data(), static_cast<int>(metadataBytes.size()), SQLITE_STATIC);
      stepDone(insertMetadata);
    }
    sqlite3_bind_int64(trim, 1, 99999);
    stepDone(trim);
    auto message = event->protoEvent();
    message->ClearField(TLWPBEvent::kName);
    auto payload = *message->protoBuffer();
    bindText(insertRaw, 1, name);
    sqlite3_bind_double(insertRaw, 2, event->timestamp());
    sqlite3_bind_int64(insertRaw, 3, fingerprint);
    sqlite3_bind_blob(insertRaw, 4, payload.data(), static_cast<int>(payload.size()), SQLITE_STATIC);
    sqlite3_bind_int64(insertRaw, 5, 0);
    stepDone(insertRaw);
    if (sqlite3_exec(bare.db, "END TRANSACTION", nullptr, nullptr, nullptr) != SQLITE_OK) return -1;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  *stored = rawEventCount(bare.db);
  return seconds;
}

void BM_IngestPipelineVsBareSqlite(benchmark::State& state) {
  double bareSeconds = 0, pipelineSeconds = 0;
  for (auto _ : state) {
    std::int64_t bareStored = 0, pipelineStored = 0;
    bareSeconds = runBare(&bareStored);
    pipelineSeconds = runPipeline(&pipelineStored);
    if (bareSeconds <= 0 || pipelineSeconds <= 0 || bareStored != kEvents || pipelineStored != kEvents) {
      state.SkipWithError("a run did not store every event");
      return;
    }
    state.SetIterationTime(pipelineSeconds);
  }
  state.counters["bare_events_per_s"] = kEvents / bareSeconds;
  state.counters["pipeline_events_per_s"] = kEvents / pipelineSeconds;
  state.counters["pipeline_to_bare"] = bareSeconds / pipelineSeconds;
}

BENCHMARK(BM_IngestPipelineVsBareSqlite)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
