// The per-event write transaction of the write pipeline (daily counts, event aggregates,
// raw-event insert) through TLWDatabase, against bare SQLite running the same statements
// on the same schema with statements prepared once (bench/common/BareWriteBaseline). Both
// run on a real file under TMPDIR in WAL mode with synchronous=NORMAL, in the same
// process and iteration, alternating in short rounds so that machine load hits both alike.
//
//   TMPDIR=<dir> build/<dir>/bench/bench_storage --benchmark_repetitions=6
//       --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true
//
// Counters: bare_events_per_s, tlw_events_per_s and tlw_to_bare (their ratio).

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/common/BareWriteBaseline.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWPersistedConfig.h"
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

constexpr int kRounds = 8;
constexpr int kEventsPerRound = 500;

struct Store {
  std::string root;
  std::shared_ptr<RootedEnvironment> env;
  std::shared_ptr<TLWMonitor> monitor;
  std::shared_ptr<TLWPersistedConfig> config;
  std::unique_ptr<TLWDatabase> db;

  explicit Store(const char* tag) : root(freshRoot(tag)), env(std::make_shared<RootedEnvironment>(root)) {
    monitor = TLWMonitor::initWithLogLevel(1, nullptr, kTLWLibraryNumericVersion, env);
    config = TLWPersistedConfig::initWithSuiteName("com.vorlix.zel.measurement", false, env,
                                                   TLWUserDefaults::initWithSuiteName("", env), monitor);
    db = TLWDatabase::initWithDatabaseName(kTLWDatabaseFileName, config, nullptr, env, monitor);
  }
  ~Store() {
    db.reset();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
};

bool databaseWrite(TLWDatabase& db, const TLWEvent& event) {
  return db.performTransaction([&] {
    auto counts = db.dailyCounts(nullptr);
    if (!counts) return false;
    counts->incrementCountsForCurrentDay(counts->day(), true, false);
    if (!db.updateDailyCounts(*counts, nullptr)) return false;
    auto aggregates = db.eventAggregatesWithName(event.name(), nullptr);
    if (!aggregates) aggregates = TLWEventAggregates::initWithName(event.name(), 0, 0, 0, 0);
    aggregates->incrementLifetimeCount();
    aggregates->incrementCurrentBundleCount();
    aggregates->setLastFireTimestamp(event.timestamp());
    if (!db.updateEventAggregates(aggregates.get(), nullptr)) return false;
    return db.insertRawEvent(&event, 42, false, nullptr);
  });
}

bool bareWrite(tw_bench::BareWriteBaseline& bare, const TLWEvent& event) {
  if (!bare.begin()) return false;
  bool ok = [&] {
    auto counts = bare.readDailyCounts();
    if (!counts) return false;
    ++counts->allEvents;
    if (!bare.writeDailyCounts(*counts)) return false;
    auto aggregates = bare.readAggregates(event.name()).value_or(tw_bench::BareWriteBaseline::Aggregates{});
    ++aggregates.lifetimeCount;
    ++aggregates.currentBundleCount;
    aggregates.lastFireTimestamp = event.timestamp();
    if (!bare.writeAggregates(event.name(), aggregates)) return false;
    // The library serialises the event inside the transaction; so does the baseline.
    return bare.insertRawEvent(event.name(), event.timestamp(), 42, tw_bench::rawEventPayload(event), false);
  }();
  if (!ok) {
    bare.rollback();
    return false;
  }
  return bare.commit();
}

void BM_EventWriteTransaction(benchmark::State& state) {
  auto events = makeEvents();
  double bareSeconds = 0, databaseSeconds = 0;
  std::int64_t written = 0;
  for (auto _ : state) {
    // The baseline opens the file the library created, so both have one schema.
    Store bareStore("bare");
    Store store("db");
    if (!bareStore.db || !store.db) {
      state.SkipWithError("database did not open");
      return;
    }
    const std::string barePath = bareStore.db->databasePath();
    bareStore.db.reset();
    tw_bench::BareWriteBaseline bare(barePath);
    if (!bare.isOpen()) {
      state.SkipWithError("baseline did not open");
      return;
    }
    double iterationSeconds = 0;
    std::size_t next = 0;
    for (int round = 0; round < kRounds; ++round) {
      for (int side = 0; side < 2; ++side) {
        // Alternate which side goes first so neither always follows the other's checkpoint.
        const bool database = (side == 0) == (round % 2 == 0);
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kEventsPerRound; ++i) {
          const TLWEvent& event = *events[(next + static_cast<std::size_t>(i)) % events.size()];
          if (!(database ? databaseWrite(*store.db, event) : bareWrite(bare, event))) {
            state.SkipWithError("write failed");
            return;
          }
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        (database ? databaseSeconds : bareSeconds) += seconds;
        if (database) iterationSeconds += seconds;
      }
      next += kEventsPerRound;
    }
    written += static_cast<std::int64_t>(kRounds) * kEventsPerRound;
    if (bare.rowCount("raw_events") != kRounds * kEventsPerRound ||
        store.db->sqliteStore()->rowCountForTableWithName("raw_events", nullptr) != kRounds * kEventsPerRound) {
      state.SkipWithError("a side did not store every event");
      return;
    }
    state.SetIterationTime(iterationSeconds);
  }
  state.SetItemsProcessed(written);
  state.counters["bare_events_per_s"] = static_cast<double>(written) / bareSeconds;
  state.counters["tlw_events_per_s"] = static_cast<double>(written) / databaseSeconds;
  state.counters["tlw_to_bare"] = bareSeconds / databaseSeconds;
}

BENCHMARK(BM_EventWriteTransaction)->Iterations(2)->UseManualTime()->Unit(benchmark::kMillisecond);

// The engine's write of one event with the stored-events trim, 64 to a write group as the
// backlog drain stores them (one trim at the group's end), on a database
// holding 100 000 raw events (at the default cap: every write deletes the oldest row)
// against an empty one, alternating in short rounds.
//
//   TMPDIR=<dir> build/<dir>/bench/bench_storage --benchmark_filter=AtTheCap
//
// Counters: below_cap_events_per_s, at_cap_events_per_s and at_cap_to_below_cap, for a
// queue filled in logging order (time stamps rise with the row ID, as stored events' do).
// at_cap_unordered_to_below_cap is the same write on a queue whose time stamps repeat
// every 1 000 rows: the oldest rows' timestamp-index entries then lie on a different leaf
// page each, and every trimmed row costs a page write of its own.
bool groupedWrites(TLWDatabase& db, const std::vector<std::shared_ptr<TLWEvent>>& events, std::size_t first, int count,
                   std::int64_t* deleted) {
  if (!db.beginWriteGroup()) return false;
  bool ok = true;
  // As the pipeline does: the trim waits for the group's end.
  auto trimAndCommit = [&] {
    auto trimmed = db.deleteRawEventsOverAbsoluteLimit(nullptr, 0);
    if (trimmed) *deleted += *trimmed;
    return trimmed && db.commitWriteGroup();
  };
  for (int i = 0; i < count && ok; ++i) {
    const TLWEvent& event = *events[(first + static_cast<std::size_t>(i)) % events.size()];
    ok = db.performTransaction([&] { return db.insertRawEvent(&event, 42, false, nullptr); });
    if (i % 64 == 63 && ok) ok = trimAndCommit() && db.beginWriteGroup();
  }
  return trimAndCommit() && ok;
}

void BM_WriteAtTheCapVsBelowIt(benchmark::State& state) {
  constexpr std::int64_t kCap = 100000;
  constexpr int kCapRounds = 10;
  constexpr int kCapEventsPerRound = 640;
  auto eventAt = [](double start, int i) {
    return TLWEvent::initWithOrigin("app", false, "event_" + std::to_string(i % kDistinctNames), start + i * 0.01, 0,
                                    platform::Dictionary{{"level", i}, {"hero", "mage"}, {"score", 12.5}});
  };
  // Time stamps rise, as logged events' do, so index inserts land at the end as in use.
  auto eventsAt = [&](double start, int count) {
    std::vector<std::shared_ptr<TLWEvent>> out;
    for (int i = 0; i < count; ++i) out.push_back(eventAt(start, i));
    return out;
  };
  const auto recycled = eventsAt(1700000000.0, 1000);
  const auto events = eventsAt(1700100000.0, kCapRounds * kCapEventsPerRound);
  enum Side { kOrdered, kUnordered, kBelow, kSides };
  double seconds[kSides] = {};
  std::int64_t written = 0;
  for (auto _ : state) {
    Store ordered("ordered");
    Store unordered("unordered");
    Store empty("empty");
    TLWDatabase* databases[kSides] = {ordered.db.get(), unordered.db.get(), empty.db.get()};
    if (!databases[kOrdered] || !databases[kUnordered] || !databases[kBelow]) {
      state.SkipWithError("database did not open");
      return;
    }
    // Fill to the cap in one transaction, then checkpoint the fill's log as an idle worker
    // would; reading pages through a log of thousands of pages would be a cost of the
    // set-up, not of the trim.
    auto fill = [&](TLWDatabase& db, bool inLoggingOrder) {
      const bool filled = db.performTransaction([&] {
        for (std::int64_t i = 0; i < kCap; ++i) {
          const int n = static_cast<int>(i);
          const auto event = inLoggingOrder ? eventAt(1700000000.0, n) : recycled[static_cast<std::size_t>(n % 1000)];
          if (!db.insertRawEvent(event.get(), 42, false, nullptr)) return false;
        }
        return true;
      });
      (void)db.checkpointIfIdle();
      return filled;
    };
    if (!fill(*databases[kOrdered], true) || !fill(*databases[kUnordered], false)) {
      state.SkipWithError("cannot fill the table");
      return;
    }
    std::int64_t deleted[kSides] = {};
    std::size_t next = 0;
    for (int round = 0; round < kCapRounds; ++round) {
      for (int turn = 0; turn < kSides; ++turn) {
        // Rotate which side goes first so none always follows another's writes.
        const int side = (turn + round) % kSides;
        const auto start = std::chrono::steady_clock::now();
        if (!groupedWrites(*databases[side], events, next, kCapEventsPerRound, &deleted[side])) {
          state.SkipWithError("write failed");
          return;
        }
        seconds[side] += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      }
      next += kCapEventsPerRound;
    }
    written += static_cast<std::int64_t>(kCapRounds) * kCapEventsPerRound;
    // Every write at the cap deleted exactly one row; none below it did.
    const std::int64_t all = static_cast<std::int64_t>(kCapRounds) * kCapEventsPerRound;
    for (Side side : {kOrdered, kUnordered}) {
      if (deleted[side] != all || databases[side]->sqliteStore()->rowCountForTableWithName("raw_events", nullptr) != kCap) {
        state.SkipWithError("the trim did not keep the table at the cap");
        return;
      }
    }
    if (deleted[kBelow] != 0) {
      state.SkipWithError("the trim deleted below the cap");
      return;
    }
    state.SetIterationTime(seconds[kOrdered]);
  }
  state.counters["below_cap_events_per_s"] = static_cast<double>(written) / seconds[kBelow];
  state.counters["at_cap_events_per_s"] = static_cast<double>(written) / seconds[kOrdered];
  state.counters["at_cap_to_below_cap"] = seconds[kBelow] / seconds[kOrdered];
  state.counters["at_cap_unordered_to_below_cap"] = seconds[kBelow] / seconds[kUnordered];
}

BENCHMARK(BM_WriteAtTheCapVsBelowIt)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
