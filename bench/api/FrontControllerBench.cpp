// Caller-thread cost of TWKAnalytics::logEventWithName with five parameters while the
// worker is busy writing, and sustained ingest (public call -> committed row) against bare
// SQLite running the same statements in the same run.
//
// The writer behind the front controller here is a bench stand-in (TLWAnalyticsBackend)
// that commits each event as one row on its own serial queue, so these numbers isolate the
// front controller: validation, copies, time stamps, the start gate and the queue hops.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "measurement/api/TLWAnalytics.h"
#include "measurement/api/TLWAnalyticsBackend.h"
#include "measurement/api/TWKAnalytics.h"
#include "platform/DispatchQueue.h"
#include "platform/core/TWKApp.h"
#include "platform/testing/TestEnvironment.h"

namespace {

using platform::Dictionary;
using platform::Value;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS raw_events (name TEXT NOT NULL, timestamp REAL NOT NULL, data BLOB NOT NULL)";
constexpr const char* kInsert = "INSERT INTO raw_events (name, timestamp, data) VALUES (?, ?, ?)";

struct Db {
  explicit Db(const std::string& path) {
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db, kInsert, -1, &insert, nullptr);
  }
  ~Db() {
    sqlite3_finalize(insert);
    sqlite3_close(db);
  }
  // One committed row per event, as the pipeline commits one transaction per event.
  void write(const std::string& name, double timestamp, const std::string& data) {
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_bind_text(insert, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    sqlite3_bind_double(insert, 2, timestamp);
    sqlite3_bind_blob(insert, 3, data.data(), static_cast<int>(data.size()), SQLITE_TRANSIENT);
    sqlite3_step(insert);
    sqlite3_reset(insert);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  }
  sqlite3* db = nullptr;
  sqlite3_stmt* insert = nullptr;
};

class WriterBackend final : public TLWAnalyticsBackend {
 public:
  explicit WriterBackend(const std::string& path)
      : db_(path), worker_(platform::DispatchQueue::create("bench.worker", platform::QueuePriority::Background)) {}
  void initializeEngine(const std::string&, bool, bool, const std::optional<std::vector<std::string>>&,
                        EventSink) override {}
  bool hasEngine() override { return true; }
  bool wasEnabledDuringInitialization() override { return true; }
  bool didInitializeComponents() override { return true; }
  void setEnabled(bool) override {}
  bool resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>&) override { return true; }
  void logEvent(TLWEngineEventRequest r) override {
    worker_->async([this, r = std::move(r)] {
      db_.write(r.name, r.timestamp, Value(r.parameters).description());
      std::lock_guard<std::mutex> lock(mutex_);
      ++written_;
      cv_.notify_all();
    });
  }
  void setDefaultEventParameters(const std::optional<Dictionary>&) override {}
  void setSessionTimeoutInterval(double) override {}
  std::optional<std::int64_t> shouldDisableAdPersonalization() override { return std::nullopt; }
  void setUserAttribute(std::shared_ptr<TLWUserAttribute>) override {}
  void removeUserAttribute(std::shared_ptr<TLWUserAttribute>) override {}
  void userPropertiesIncludingInternal(bool, UserPropertiesCallback) override {}
  void maxUserPropertiesForOrigin(const std::string&, MaxUserPropertiesCallback) override {}
  void setMeasurementEnabledState(std::int64_t) override {}
  void setAllowPersonalizedAds(const Value&) override {}
  std::int64_t consentSource() override { return 100; }
  void setConsentSource(std::int64_t) override {}
  std::optional<Dictionary> consentSettings() override { return std::nullopt; }
  void setConsentSettings(std::optional<Dictionary>) override {}
  void updateSettings(const Dictionary&) override {}
  bool isConsentSourceHigherPriority(std::int64_t) override { return true; }
  bool didWithdrawPreviousConsent(const std::optional<Dictionary>&) override { return false; }
  bool isAnalyticsStorageDenied() override { return false; }
  std::string appIDFromZEL() override { return "1:1:ios:1"; }
  void setAppIDFromZEL(const std::string&) override {}
  std::string appIDFromQuado() override { return {}; }
  void setAppIDFromQuado(const std::string&) override {}
  std::string randomAppInstanceID() override { return "A"; }
  std::string appInstanceID() override { return "A"; }
  void setTarnwickInstallationID(const std::optional<std::string>&) override {}
  void setIdentifiersOrigin(const std::string&) override {}

  void waitForWritten(std::uint64_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return written_ >= count; });
  }
  std::uint64_t written() {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
  }

 private:
  Db db_;
  std::shared_ptr<platform::DispatchQueue> worker_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::uint64_t written_ = 0;
};

struct Fixture {
  Fixture() {
    env = platform::testing::TestEnvironment::create();
    current = std::make_unique<platform::testing::ScopedCurrentEnvironment>(env);
    backend = std::make_shared<WriterBackend>(env->root() + "/front-bench.sql");
    TLWAnalyticsSetUpProcessState(backend, env);
    if (!platform::TWKApp::isDefaultAppConfigured()) {
      (void)platform::TWKApp::configureWithOptions(platform::TWKOptions("1:1:ios:1"), env);
    }
    TLWAnalytics::startWithAppID("1:1:ios:1", "tq", Value(Dictionary{{"tally_wise_log_tag", "[bench]"}}));
  }
  std::shared_ptr<platform::testing::TestEnvironment> env;
  std::unique_ptr<platform::testing::ScopedCurrentEnvironment> current;
  std::shared_ptr<WriterBackend> backend;
};

Value fiveParameters(int i) {
  return Value{{"level", i % 50}, {"character", "mage"}, {"score", 1870.5}, {"success", true}, {"zone", "north"}};
}

void BM_LogEventCallerCost(benchmark::State& state) {
  Fixture f;
  const Value name("level_up");
  std::vector<double> samples;
  samples.reserve(1 << 20);
  int i = 0;
  // Keep the worker busy: start with a backlog.
  for (int k = 0; k < 2000; ++k) TWKAnalytics::logEventWithName(name, fiveParameters(k));
  for (auto _ : state) {
    Value params = fiveParameters(i++);
    auto t0 = std::chrono::steady_clock::now();
    TWKAnalytics::logEventWithName(name, params);
    auto t1 = std::chrono::steady_clock::now();
    samples.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  std::sort(samples.begin(), samples.end());
  state.counters["median_us"] = samples[samples.size() / 2];
  state.counters["p99_us"] = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
  state.counters["worker_backlog"] = static_cast<double>(2000 + i) - static_cast<double>(f.backend->written());
  f.backend->waitForWritten(static_cast<std::uint64_t>(2000 + i));
}
BENCHMARK(BM_LogEventCallerCost)->Iterations(40000)->Repetitions(5)->ReportAggregatesOnly(false)->UseRealTime();

// 40 000 events: public call to committed row, against the same statements on bare SQLite.
void BM_SustainedIngest(benchmark::State& state) {
  constexpr int kEvents = 40000;
  for (auto _ : state) {
    double viaLibrary = 0;
    double bare = 0;
    {
      Fixture f;
      auto t0 = std::chrono::steady_clock::now();
      for (int i = 0; i < kEvents; ++i) TWKAnalytics::logEventWithName(Value("level_up"), fiveParameters(i));
      f.backend->waitForWritten(kEvents);
      viaLibrary = kEvents / std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    {
      auto env = platform::testing::TestEnvironment::create();
      Db db(env->root() + "/bare.sql");
      auto t0 = std::chrono::steady_clock::now();
      for (int i = 0; i < kEvents; ++i) {
        Value params = fiveParameters(i);
        db.write("level_up", 1700000000.0 + i, params.description());
      }
      bare = kEvents / std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    state.counters["library_events_per_s"] = viaLibrary;
    state.counters["bare_sqlite_events_per_s"] = bare;
    state.counters["ratio"] = viaLibrary / bare;
  }
}
BENCHMARK(BM_SustainedIngest)->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
